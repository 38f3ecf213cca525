#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "text.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

std::string utf8(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else {  // the grid only uses characters of the three-byte range
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

std::string repeat(char32_t c, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += utf8(c);
    return s;
}

// The expected grid, one line at a time, for cells that hold 0, 1 or 2 and rosters with
// ordinary statuses.
std::string expected_grid(const GameRecord& game) {
    const std::string thin_piece = repeat(0x2500, 3) + utf8(0x253C) + repeat(0x2500, 3) + utf8(0x253C) +
                                   repeat(0x2500, 3);
    const std::string thin = thin_piece + utf8(0x2503) + thin_piece + utf8(0x2503) + thin_piece;
    const std::string heavy = repeat(0x2501, 11) + utf8(0x254B) + repeat(0x2501, 11) + utf8(0x254B) +
                              repeat(0x2501, 11);
    std::string out;
    for (int line = 0; line < 9; ++line) {
        for (int k = 0; k < 3; ++k) {
            const int roster = 3 * (line / 3) + k;
            for (int j = 0; j < 3; ++j) {
                const int status = game.rosters[roster];
                const int value = status > 0 ? status : game.board[9 * roster + 3 * (line % 3) + j];
                out += value == 1 ? " O " : value == 2 ? " X " : "   ";
                if (j < 2) out += utf8(0x2502);
            }
            if (k < 2) out += utf8(0x2503);
        }
        if (line < 8) out += "\n" + (line % 3 == 2 ? heavy : thin) + "\n";
    }
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines(1);
    for (const char c : text) {
        if (c == '\n') lines.emplace_back();
        else lines.back() += c;
    }
    return lines;
}

int scalars(const std::string& s) {
    int n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

TEST(Text, NewGameGridHasSeventeenLinesOfThirtyFive) {
    const std::string grid = render_board(new_game(0, false));
    EXPECT_EQ(grid, expected_grid(new_game(0, false)));
    const auto lines = lines_of(grid);
    ASSERT_EQ(lines.size(), 17U);
    for (const auto& line : lines) EXPECT_EQ(scalars(line), 35);
}

TEST(Text, MarksAndWonRostersInPlay) {
    const std::string first = lines_of(render_board(played({9, 0})))[0];
    EXPECT_EQ(first.substr(0, 6), " X " + utf8(0x2502));
    EXPECT_EQ(first.substr(first.find(utf8(0x2503)) + 3, 3), " O ");

    // Player 1 wins roster 4 with 38, 40, 42; more marks follow elsewhere.
    const GameRecord game = played({38, 22, 42, 58, 40, 0, 1, 9, 4});
    EXPECT_EQ(render_board(game), expected_grid(game));
    const auto lines = lines_of(render_board(game));
    const std::string filled = " O " + utf8(0x2502) + " O " + utf8(0x2502) + " O ";
    for (const int line : {6, 8, 10}) {
        EXPECT_EQ(lines[line].substr(lines[line].find(utf8(0x2503)) + 3, filled.size()), filled);
    }
}

TEST(Text, ValuesThatAreNoMarkLeaveNoTrace) {
    GameRecord game = new_game(0, false);
    game.board[1] = 5;    // drops its cell text and the separator after it
    game.rosters[2] = 7;  // drops the whole piece of roster 2
    EXPECT_EQ(lines_of(render_board(game))[0], "   " + utf8(0x2502) + "   " + utf8(0x2503) + "   " +
                                                   utf8(0x2502) + "   " + utf8(0x2502) + "   " + utf8(0x2503));
    game.rosters[2] = 2;  // a won roster shows its mark whatever its cells hold
    game.board[20] = -3;
    const std::string line = lines_of(render_board(game))[0];
    const std::string won = " X " + utf8(0x2502) + " X " + utf8(0x2502) + " X ";
    EXPECT_EQ(line.substr(line.size() - won.size()), won);
}

TEST(Text, MultilineSet) {
    EXPECT_EQ(multiline_set(CellSet{}), "{}");
    CellSet cells;
    for (const int c : {80, 3, 40}) cells.insert(c);
    EXPECT_EQ(multiline_set(cells), "{\n    3,\n    40,\n    80,\n}");
}

TEST(Text, FormatDouble) {
    const std::pair<double, const char*> cases[] = {
        {-1.0, "-1.0"},
        {0.5, "0.5"},
        {0.1, "0.1"},
        {100.0, "100.0"},
        {1e-5, "1e-5"},
        {1.5e-7, "1.5e-7"},
        {0.0001, "0.0001"},
        {0.00012, "0.00012"},
        {1e16, "1e16"},
        {-2.5e20, "-2.5e20"},
        {9999999999999998.0, "9999999999999998.0"},
        {123456789012345.0, "123456789012345.0"},
        {1e300, "1e300"},
        {5e-324, "5e-324"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0 / 3.0, "0.3333333333333333"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::nan(""), "NaN"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(format_double(value), text);
}

}  // namespace
