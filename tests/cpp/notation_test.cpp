#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notation.hpp"
#include "position.hpp"
#include "position_support.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

int index_of(const char* name) {
    const Result<int> cell = cell_index(name);
    EXPECT_TRUE(cell.ok()) << name;
    return cell.ok() ? cell.value() : -1;
}

TEST(PositionNotation, Opening) { EXPECT_EQ(notation(Position()), "9/9/9/9/9/9/9/9/9 x -"); }

// x takes the centre e5 (roster 4, position 4), o answers in roster 4 at its top-left d6
// (position 0), x answers in roster 0 at its bottom-right c7 (position 8): o must play
// in roster 8.
TEST(PositionNotation, ShortGame) {
    const std::vector<long long> moves = {index_of("e5"), index_of("d6"), index_of("c7")};
    EXPECT_EQ(moves, (std::vector<long long>{40, 36, 8}));
    const Result<Position> position = Position::from_moves(moves);
    ASSERT_TRUE(position.ok());
    EXPECT_EQ(notation(position.value()), "9/9/2x6/3o5/4x4/9/9/9/9 o 8");
}

TEST(PositionNotation, RoundTripsRandomPositions) {
    const Walk walk = random_walk(200, 21);
    ASSERT_GT(walk.positions.size(), 5000U);
    for (const Position& position : walk.positions) {
        const std::string text = notation(position);
        const Result<Position> parsed = parse_notation(text);
        ASSERT_TRUE(parsed.ok()) << text << ": " << parsed.refusal().message;
        EXPECT_EQ(parsed.value(), position) << text;
        EXPECT_EQ(parsed->key(), position.key()) << text;
        EXPECT_EQ(parsed->record().rosters, position.record().rosters) << text;
        EXPECT_EQ(parsed->winner(), position.winner()) << text;
        EXPECT_EQ(cells_of(parsed->legal_list()), cells_of(position.legal_list())) << text;
        EXPECT_EQ(notation(parsed.value()), text);
    }
}

struct BadText {
    std::string text;
    std::string message;
    int index;  // the offset of a grammar refusal, -1 for an unreachable position
};

class PositionParseRefusal : public ::testing::TestWithParam<BadText> {};

TEST_P(PositionParseRefusal, NamesTheProblem) {
    const BadText& c = GetParam();
    const Result<Position> parsed = parse_notation(c.text);
    ASSERT_FALSE(parsed.ok()) << c.text;
    EXPECT_EQ(parsed.refusal().message, c.message);
    EXPECT_EQ(parsed.refusal().index, c.index);
}

const std::string kEmpty = "9/9/9/9/9/9/9/9/9";

INSTANTIATE_TEST_SUITE_P(
    Grammar, PositionParseRefusal,
    ::testing::Values(
        BadText{"", "offset 0: expected a digit 1-9, 'x' or 'o', got the end of the text", 0},
        BadText{"9/9/0/9/9/9/9/9/9 x -", "offset 4: expected a digit 1-9, 'x' or 'o', got '0'", 4},
        BadText{"9//9/9/9/9/9/9/9 x -", "offset 2: expected a digit 1-9, 'x' or 'o', got '/'", 2},
        BadText{"9/9/X8/9/9/9/9/9/9 x -", "offset 4: expected a digit 1-9, 'x' or 'o', got 'X'", 4},
        BadText{"9/9/8/9/9/9/9/9/9 x -", "offset 5: row 3 from the top has 8 cells; a row has 9", 5},
        BadText{"9/9/x9/9/9/9/9/9/9 x -",
                "offset 5: a run of 9 empty cells does not fit in row 3 from the top, which has 1 of its 9 cells", 5},
        BadText{"9/9/45/9/9/9/9/9/9 x -", "offset 5: a run of empty cells is written as one digit", 5},
        BadText{"9/9/9x/9/9/9/9/9/9 x -", "offset 5: row 3 from the top has more than 9 cells", 5},
        BadText{"9|9/9/9/9/9/9/9/9 x -", "offset 1: expected '/' after row 1 from the top, got '|'", 1},
        BadText{"9\n9/9/9/9/9/9/9/9 x -", "offset 1: expected '/' after row 1 from the top, got byte 0x0a", 1},
        BadText{kEmpty, "offset 17: expected ' ' after the last row, got the end of the text", 17},
        BadText{kEmpty + "/9 x -", "offset 17: the board has more than 9 rows", 17},
        BadText{kEmpty + "  x -", "offset 18: expected the side to move, 'x' or 'o', got ' '", 18},
        BadText{kEmpty + " X -", "offset 18: expected the side to move, 'x' or 'o', got 'X'", 18},
        BadText{kEmpty + " x", "offset 19: expected ' ' after the side to move, got the end of the text", 19},
        BadText{kEmpty + " x 9", "offset 20: expected the forced roster, a digit 0-8 or '-', got '9'", 20},
        BadText{kEmpty + " x - ", "offset 21: expected the end of the text after the forced roster, got ' '", 21},
        BadText{kEmpty + " x -" + std::string(1, '\0'),
                "offset 21: expected the end of the text after the forced roster, got byte 0x00", 21},
        BadText{kEmpty + " x \xff", "offset 20: expected the forced roster, a digit 0-8 or '-', got byte 0xff",
                20}),
    [](const ::testing::TestParamInfo<BadText>& param) { return "Case" + std::to_string(param.index); });

INSTANTIATE_TEST_SUITE_P(
    Unreachable, PositionParseRefusal,
    ::testing::Values(
        BadText{"x8/9/9/9/9/9/9/9/9 x -", "x to move needs as many x marks as o marks; found 1 x and 0 o", -1},
        BadText{"xo7/9/9/9/9/9/9/9/9 o -", "o to move needs one x mark more than o marks; found 1 x and 1 o", -1},
        BadText{"xxx6/ooo6/9/9/9/9/9/9/9 x -", "roster 0 holds a line of x and a line of o", -1},
        // x holds the top row of rosters 0-2, o the top row of rosters 3-5.
        BadText{"xxxxxxxxx/9/9/ooooooooo/9/9/9/9/9 x -", "x and o both hold a line of won rosters", -1},
        BadText{"xxxxxxxxx/9/9/o1o1o1o1o/9/9/o1o1o1o2/9/9 x -",
                "x holds a line of won rosters, so the game ended on a move of x and o is to move", -1},
        BadText{"xxxxxxxxx/9/9/o1o1o1o1o/9/9/o1o1o4/9/9 o 4", "the game is over, so the forced roster must be '-'",
                -1},
        BadText{"xxx6/oo7/9/9/9/9/9/9/9 o 0", "forced roster 0 is won by x", -1},
        BadText{"xox6/xoo6/oxx6/9/9/9/9/9/9 o 0", "forced roster 0 is full", -1},
        BadText{"x8/9/9/9/9/9/9/9/9 o 3",
                "forced roster 3 needs a mark of x, who moved last, at position 3 of some roster", -1},
        BadText{"9/9/9/9/9/9/9/9/9 x 4",
                "forced roster 4 needs a mark of o, who moved last, at position 4 of some roster", -1},
        // x's only mark, e5, sent o to roster 4, which is open: o cannot choose freely.
        BadText{"9/9/9/9/4x4/9/9/9/9 o -",
                "a free choice '-' needs a mark of x, who moved last, at position p of some roster while roster p "
                "is closed",
                -1}),
    [](const ::testing::TestParamInfo<BadText>& param) { return "Case" + std::to_string(param.index); });

// Positions the checks must let through: a finished game, a forced roster named by any
// mark of the last mover, and a free choice after a move into a closed roster's position.
TEST(PositionParse, AcceptsReachableForms) {
    for (const char* text : {"xxxxxxxxx/9/9/o1o1o1o1o/9/9/o1o1o4/9/9 o -", "x8/9/9/9/9/9/9/9/9 o 0",
                             "xxx6/oo7/9/9/9/9/9/9/9 o -", "9/9/2x6/3o5/4x4/9/9/9/9 o 8"}) {
        const Result<Position> parsed = parse_notation(text);
        ASSERT_TRUE(parsed.ok()) << text << ": " << parsed.refusal().message;
        EXPECT_EQ(notation(parsed.value()), text);
    }
    const Position won = parse_notation("xxxxxxxxx/9/9/o1o1o1o1o/9/9/o1o1o4/9/9 o -").value();
    EXPECT_TRUE(won.is_over());
    EXPECT_EQ(won.winner(), 1);
}

TEST(PositionCellNames, Corners) {
    EXPECT_EQ(index_of("a9"), 0);
    EXPECT_EQ(index_of("c7"), 8);
    EXPECT_EQ(index_of("i9"), 20);
    EXPECT_EQ(index_of("e5"), 40);
    EXPECT_EQ(index_of("a1"), 60);
    EXPECT_EQ(index_of("i1"), 80);
    EXPECT_EQ(index_of("d6"), 36);
}

TEST(PositionCellNames, RoundTrip) {
    std::vector<std::string> seen;
    for (int cell = 0; cell < kCells; ++cell) {
        const Result<std::string> name = cell_name(cell);
        ASSERT_TRUE(name.ok());
        EXPECT_EQ(cell_index(name.value()).value(), cell) << name.value();
        seen.push_back(name.value());
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
}

TEST(PositionCellNames, Refusals) {
    EXPECT_EQ(cell_name(81).refusal().message, "cell must be 0..80, got 81");
    EXPECT_EQ(cell_name(-1).refusal().message, "cell must be 0..80, got -1");
    const std::string expected = "a cell name is a column a-i and a row 1-9, such as e5; got ";
    EXPECT_EQ(cell_index("j1").refusal().message, expected + "\"j1\"");
    EXPECT_EQ(cell_index(std::string("a\0", 2)).refusal().message, expected + "\"a\\x00\"");
    for (const char* name : {"", "a", "a0", "A9", "a9 ", "a10", "9a", "i0"}) {
        EXPECT_FALSE(cell_index(name).ok()) << name;
    }
}

}  // namespace
