#include <gtest/gtest.h>

#include <string>

#include "checkpoint.hpp"
#include "outcome.hpp"
#include "text.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

void expect_position(const GameRecord& game, const GameRecord& saved) {
    EXPECT_EQ(game.board, saved.board);
    EXPECT_EQ(game.rosters, saved.rosters);
    EXPECT_EQ(game.next_player, saved.next_player);
    EXPECT_EQ(game.next_roster, saved.next_roster);
    EXPECT_EQ(cells_of(get_available_moves(game)), cells_of(get_available_moves(saved)));
    EXPECT_EQ(render_board(game), render_board(saved));
}

TEST(Checkpoint, LoadRestoresThePositionButKeepsTheGamesOwnFields) {
    GameRecord game = played({38, 22, 42, 58, 40});  // roster 4 won by player 1
    game.id = 77;
    const GameRecord saved = game;
    const CheckpointRecord checkpoint = make_checkpoint(game);
    EXPECT_EQ(checkpoint.odds, (std::array<double, 3>{-1.0, -1.0, -1.0}));
    const std::string text = checkpoint_text(checkpoint);
    play(game, {0, 1, 9});
    load_checkpoint(game, checkpoint);
    expect_position(game, saved);
    EXPECT_EQ(game.id, 77U);
    EXPECT_EQ(game.moves_accepted, 8U);
    EXPECT_EQ(checkpoint_text(make_checkpoint(game)), text);
    load_checkpoint(game, checkpoint);  // loads again, unchanged
    expect_position(game, saved);
}

TEST(Checkpoint, OpeningCheckpointResetsAGameInProgress) {
    const CheckpointRecord opening = make_checkpoint(new_game(5, false));
    GameRecord game = played({40, 36});
    load_checkpoint(game, opening);
    EXPECT_EQ(game.id, 1U);
    expect_position(game, new_game(0, false));
    EXPECT_TRUE(make_move(game, 40, 1).accepted);
}

TEST(Checkpoint, LoadRecomputesWinnerAndFinished) {
    GameRecord won = new_game(0, false);
    for (const int r : {2, 4, 6}) won.rosters[r] = 2;
    won.available.clear();
    won.next_roster = 3;
    GameRecord game = new_game(9, false);
    load_checkpoint(game, make_checkpoint(won));
    EXPECT_EQ(get_winner(game), 2);
    EXPECT_TRUE(game.finished);
    EXPECT_EQ(get_available_moves(game).size(), 0);

    load_checkpoint(game, make_checkpoint(new_game(0, false)));
    EXPECT_EQ(get_winner(game), 0);
    EXPECT_FALSE(game.finished);
}

TEST(Checkpoint, TextOfANewGame) {
    const std::string text = checkpoint_text(make_checkpoint(new_game(3, false)));
    EXPECT_EQ(text, render_board(new_game(0, false)) +
                        "\nnext player: 1\nnext roster: 10\n"
                        "rosters: [-1, -1, -1, -1, -1, -1, -1, -1, -1]\nodds: [-1.0, -1.0, -1.0]");
}

TEST(Checkpoint, TextShowsTheFieldsOfTheRecord) {
    CheckpointRecord checkpoint = checkpoint_from_position(std::array<std::int8_t, kCells>{}, 2, -1);
    checkpoint.rosters[3] = 2;
    checkpoint.odds = {0.5, 1e-5, 100.0};
    const std::string text = checkpoint_text(checkpoint);
    EXPECT_NE(text.find("\nnext player: 2\nnext roster: -1\nrosters: [-1, -1, -1, 2, -1, -1, -1, -1, -1]\n"
                        "odds: [0.5, 1e-5, 100.0]"),
              std::string::npos);
}

struct Position {
    const char* name;
    std::vector<std::pair<int, int>> stones;  // (cell, value)
    std::array<std::int8_t, kRosters> rosters;
    int free_cells;
    int winner;
};

class FromPosition : public ::testing::TestWithParam<Position> {};

TEST_P(FromPosition, SettlesRostersAndFreeCells) {
    const Position& c = GetParam();
    std::array<std::int8_t, kCells> board{};
    for (const auto& [cell, value] : c.stones) board[cell] = static_cast<std::int8_t>(value);
    const CheckpointRecord checkpoint = checkpoint_from_position(board, 2, 7);
    EXPECT_EQ(checkpoint.rosters, c.rosters);
    EXPECT_EQ(checkpoint.available.size(), c.free_cells);
    EXPECT_EQ(checkpoint.next_player, 2);
    EXPECT_EQ(checkpoint.next_roster, 7);
    for (int cell = 0; cell < kCells; ++cell) {
        const bool mark = board[cell] == 1 || board[cell] == 2;
        EXPECT_EQ(checkpoint.board[cell], mark ? board[cell] : 0);
        if (mark) {
            EXPECT_FALSE(checkpoint.available.contains(cell));
        }
    }
    GameRecord game = new_game(0, false);
    load_checkpoint(game, checkpoint);
    EXPECT_EQ(get_winner(game), c.winner);
}

constexpr std::int8_t O = -1;  // open roster, for the tables below

INSTANTIATE_TEST_SUITE_P(
    Checkpoint, FromPosition,
    ::testing::Values(
        Position{"Empty", {}, {O, O, O, O, O, O, O, O, O}, 81, 0},
        // Values other than 1 and 2 are empty cells.
        Position{"ForeignValues", {{3, 3}, {4, -1}, {80, 127}}, {O, O, O, O, O, O, O, O, O}, 81, 0},
        // Roster 0 won by player 1 even with a 2 in it: its other free cells close.
        Position{"WonRoster", {{0, 1}, {1, 1}, {2, 1}, {5, 2}}, {1, O, O, O, O, O, O, O, O}, 72, 0},
        Position{"BothLinesPlayerOneFirst",
                 {{9, 2}, {10, 2}, {11, 2}, {15, 1}, {16, 1}, {17, 1}},
                 {O, 1, O, O, O, O, O, O, O}, 72, 0},
        Position{"FullWithoutLine",
                 {{18, 1}, {19, 2}, {20, 1}, {21, 1}, {22, 2}, {23, 2}, {24, 2}, {25, 1}, {26, 1}},
                 {O, O, 0, O, O, O, O, O, O}, 72, 0},
        // A full roster holding a line is won, whichever cell completed the line.
        Position{"FullWithLine",
                 {{18, 2}, {19, 2}, {20, 2}, {21, 1}, {22, 1}, {23, 2}, {24, 1}, {25, 2}, {26, 1}},
                 {O, O, 2, O, O, O, O, O, O}, 72, 0},
        // Player 2 owns rosters 2, 4 and 6: the game is over and nothing is free.
        Position{"WonBoard",
                 {{18, 2}, {19, 2}, {20, 2}, {36, 2}, {40, 2}, {44, 2}, {56, 2}, {58, 2}, {60, 2}, {0, 1}},
                 {O, O, 2, O, 2, O, 2, O, O}, 0, 2},
        // Both players own a line of rosters: player 1 is the winner.
        Position{"BothWinBoardPlayerOneFirst",
                 {{0, 1}, {1, 1}, {2, 1}, {9, 1}, {10, 1}, {11, 1}, {18, 1}, {19, 1}, {20, 1},
                  {27, 2}, {28, 2}, {29, 2}, {36, 2}, {37, 2}, {38, 2}, {45, 2}, {46, 2}, {47, 2}},
                 {1, 1, 1, 2, 2, 2, O, O, O}, 0, 1}),
    [](const ::testing::TestParamInfo<Position>& param) { return std::string(param.param.name); });

}  // namespace
