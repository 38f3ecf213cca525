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

// Every line, in a roster that varies with the line: only the positions on the line see it.
TEST(Outcome, RosterLineIsSeenOnlyThroughItsPositions) {
    for (std::size_t l = 0; l < kLineCells.size(); ++l) {
        const auto& line = kLineCells[l];
        const int roster = static_cast<int>(l);
        GameRecord game = new_game(0, false);
        for (const int p : line) game.board[9 * roster + p] = 2;
        sync_masks(game);
        for (int p = 0; p < 9; ++p) {
            EXPECT_EQ(roster_won_by(game, 2, 9 * roster + p), on_line(line, p)) << "line " << l << " pos " << p;
            EXPECT_FALSE(roster_won_by(game, 1, 9 * roster + p));
        }
        game.board[9 * roster + line[1]] = 1;  // a broken line wins nowhere
        sync_masks(game);
        for (int p = 0; p < 9; ++p) EXPECT_FALSE(roster_won_by(game, 2, 9 * roster + p));
    }
}

TEST(Outcome, BoardLineIsSeenOnlyThroughItsRosters) {
    for (const auto& line : kLineCells) {
        GameRecord game = new_game(0, false);
        for (const int r : line) game.rosters[r] = 1;
        sync_masks(game);
        for (int r = 0; r < 9; ++r) {
            EXPECT_EQ(board_won_by(game, 1, r), on_line(line, r));
            EXPECT_FALSE(board_won_by(game, 2, r));
        }
        EXPECT_EQ(winner_of_rosters(game.rosters), 1);
        game.rosters[line[2]] = 2;  // two of one player and one of the other: nobody
        sync_masks(game);
        for (int r = 0; r < 9; ++r) EXPECT_FALSE(board_won_by(game, 1, r));
        EXPECT_EQ(winner_of_rosters(game.rosters), 0);
        game.rosters[line[2]] = ROSTER_DRAWN;  // a drawn roster belongs to nobody
        EXPECT_EQ(winner_of_rosters(game.rosters), 0);
    }
}

// The last stone of every line, whichever of its three positions it takes, wins the roster
// and closes the roster's remaining cells.
TEST(Outcome, SettlingWinsTheRosterForEveryLineAndLastPosition) {
    for (const auto& line : kLineCells) {
        for (const int last : line) {
            GameRecord game = played({40});
            for (const int p : line) place(game, {9 * 6 + p}, 1);
            int off = 0;
            while (on_line(line, off)) ++off;
            place(game, {9 * 6 + off}, 2);  // a foreign stone off the line
            settle_after_move(game, 1, 9 * 6 + last);
            EXPECT_EQ(game.rosters[6], 1);
            EXPECT_FALSE(game.available.intersects(CellSet::roster(6)));
            EXPECT_EQ(game.available.size(), 80 - 9);  // 40 and roster 6 are gone
            EXPECT_EQ(game.winner, 0);
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
    GameRecord game = played({40});
    for (int p = 0; p < 9; ++p) place(game, {p}, pattern[p]);
    settle_after_move(game, 1, 8);
    EXPECT_EQ(game.rosters[0], ROSTER_DRAWN);
    game.next_roster = 0;
    EXPECT_EQ(get_available_moves(game).size(), 80 - 9);
}

TEST(Outcome, ThirdRosterOnTheMainDiagonalWinsTheGame) {
    GameRecord game = played({40});
    game.next_player = 1;
    game.next_roster = 8;
    for (const int r : {0, 4}) {
        game.rosters[r] = 1;
        game.available.erase_all(CellSet::roster(r));
    }
    place(game, {72, 73}, 1);
    const MoveOutcome outcome = make_move(game, 74, 1);
    ASSERT_TRUE(outcome.accepted);
    EXPECT_FALSE(outcome.cells_remain);
    EXPECT_EQ(game.rosters[8], 1);
    EXPECT_EQ(get_winner(game), 1);
    EXPECT_TRUE(game.finished);
    EXPECT_EQ(get_available_moves(game).size(), 0);
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
