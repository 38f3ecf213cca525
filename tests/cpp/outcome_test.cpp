#include <gtest/gtest.h>

#include <algorithm>

#include "board.hpp"
#include "outcome.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

bool on_line(const std::array<int, 3>& line, int position) {
    return std::find(line.begin(), line.end(), position) != line.end();
}

// A fresh record with player 1 to move into roster; the marks placed before the move make
// it a later move, not an opening.
GameRecord to_move_into(int roster) {
    GameRecord game = new_game(0, false);
    game.next_player = 1;
    game.next_roster = static_cast<std::int8_t>(roster);
    return game;
}

// Every line of every roster, completed by a move at each of its three positions: the move
// wins the roster and closes its cells. The same two marks with the move anywhere off the
// line win nothing (two marks lie on one line only).
TEST(Outcome, AMoveCompletingARosterLineWinsItAndNoOtherMoveDoes) {
    for (int roster = 0; roster < kRosters; ++roster) {
        for (const auto& line : kLineCells) {
            for (const int last : line) {
                for (int p = 0; p < 9; ++p) {
                    if (p != last && on_line(line, p)) continue;
                    GameRecord game = to_move_into(roster);
                    for (const int q : line) {
                        if (q != last) place(game, {9 * roster + q}, 1);
                    }
                    ASSERT_TRUE(make_move(game, static_cast<std::int8_t>(9 * roster + p), 1).accepted);
                    const bool won = p == last;
                    EXPECT_EQ(game.rosters[roster], won ? 1 : ROSTER_OPEN) << roster << " " << p;
                    EXPECT_EQ(game.available.intersects(CellSet::roster(roster)), !won);
                    EXPECT_EQ(game.available.size(), won ? 81 - 9 : 81 - 3);
                    EXPECT_EQ(game.winner, 0);
                }
            }
        }
    }
}

// Every line of rosters, completed by winning each of its three rosters last: the move
// that wins the roster wins the game. With one roster of the line the opponent's, or
// drawn, the same move wins the roster only.
TEST(Outcome, WinningTheLastRosterOfABoardLineWinsTheGame) {
    for (const auto& line : kLineCells) {
        for (const int last : line) {
            for (const std::int8_t other : {std::int8_t{1}, std::int8_t{2}, ROSTER_DRAWN}) {
                GameRecord game = to_move_into(last);
                bool first = true;  // the first of the two other rosters takes other
                for (const int r : line) {
                    if (r == last) continue;
                    game.rosters[r] = first ? other : std::int8_t{1};
                    game.available.erase_all(CellSet::roster(r));
                    first = false;
                }
                place(game, {9 * last + 0, 9 * last + 1}, 1);
                const MoveOutcome outcome = make_move(game, static_cast<std::int8_t>(9 * last + 2), 1);
                ASSERT_TRUE(outcome.accepted);
                EXPECT_EQ(game.rosters[last], 1);
                EXPECT_EQ(get_winner(game), other == 1 ? 1 : 0) << "rosters " << line[0] << line[1] << line[2];
                EXPECT_EQ(game.finished, other == 1);
                EXPECT_EQ(outcome.cells_remain, other != 1);
            }
        }
    }
}

TEST(Outcome, AntiDiagonalThroughTheCentreWinsInPlay) {
    // P1 takes positions 2 and 6 of roster 4, then the centre 40.
    GameRecord game = played({38, 22, 42, 58, 40});
    EXPECT_EQ(game.rosters[4], 1);
    EXPECT_EQ(game.next_roster, 4);
    // Roster 4 is won, so the reply is free and lists no cell of it.
    const std::vector<int> listed = cells_of(get_available_moves(game));
    EXPECT_EQ(listed.size(), 81U - 5 - 6);
    EXPECT_TRUE(std::none_of(listed.begin(), listed.end(), [](int c) { return c / 9 == 4; }));
}

TEST(Outcome, FullRosterWithoutLineIsDrawnAndFreesTheChoice) {
    // 1 2 1 / 1 2 2 / 2 1 1 has no line; the last stone (position 8) is player 1's.
    const std::int8_t pattern[9] = {1, 2, 1, 1, 2, 2, 2, 1, 1};
    GameRecord game = to_move_into(0);
    for (int p = 0; p < 8; ++p) place(game, {p}, pattern[p]);
    ASSERT_TRUE(make_move(game, 8, 1).accepted);
    EXPECT_EQ(game.rosters[0], ROSTER_DRAWN);
    game.next_roster = 0;
    EXPECT_EQ(get_available_moves(game).size(), 81 - 9);
}

TEST(Outcome, LastCellOfADrawnGameEndsItWithoutWinner) {
    // Rosters 0..7 decided with no line of three for anybody; roster 8 has one cell left.
    GameRecord game = new_game(0, false);
    const std::int8_t statuses[8] = {1, 2, 1, 1, 2, 2, 2, 1};
    for (int r = 0; r < 8; ++r) {
        game.rosters[r] = statuses[r];
        game.available.erase_all(CellSet::roster(r));
    }
    const std::int8_t pattern[9] = {1, 2, 1, 1, 2, 2, 2, 1, 1};
    for (int p = 0; p < 8; ++p) place(game, {72 + p}, pattern[p]);
    game.next_roster = 8;
    const MoveOutcome outcome = make_move(game, 80, 1);
    ASSERT_TRUE(outcome.accepted);
    EXPECT_FALSE(outcome.cells_remain);
    EXPECT_EQ(game.rosters[8], ROSTER_DRAWN);
    EXPECT_EQ(get_winner(game), 0);
    EXPECT_TRUE(game.finished);
}

TEST(Outcome, PlayerOneIsTestedFirst) {
    std::array<std::int8_t, kRosters> rosters{2, 2, 2, 1, 1, 1, -1, 0, -1};
    EXPECT_EQ(winner_of_rosters(rosters), 1);
    rosters = {2, 1, 0, 2, 1, 0, 2, -1, -1};
    EXPECT_EQ(winner_of_rosters(rosters), 2);
    rosters.fill(ROSTER_OPEN);
    EXPECT_EQ(winner_of_rosters(rosters), 0);
}

}  // namespace
