// Helpers shared by the engine tests: a readable form of records for failed comparisons
// (records compare with their own operator==) and scripted games.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <ostream>
#include <vector>

#include "board.hpp"

namespace nonagame {

// How Google Test prints a record in a failed EXPECT_EQ: the fields by name, the board
// as nine rosters of nine digits, the available cells in order, and whether the masks
// agree with the board rather than their raw words.
inline void PrintTo(const GameRecord& game, std::ostream* out) {
    *out << "{id " << game.id << ", next player " << int{game.next_player} << ", next roster "
         << int{game.next_roster} << ", winner " << int{game.winner} << ", finished " << game.finished
         << ", log " << game.log_enabled << ", moves accepted " << game.moves_accepted << ", board ";
    for (int cell = 0; cell < kCells; ++cell) {
        if (cell > 0 && cell % 9 == 0) *out << '/';
        *out << int{game.board[cell]};
    }
    *out << ", rosters";
    for (const std::int8_t status : game.rosters) *out << ' ' << int{status};
    *out << ", available {";
    game.available.for_each([out](int cell) { *out << ' ' << cell; });
    *out << " }, masks " << (masks_in_sync(game) ? "in sync" : "OUT OF SYNC") << '}';
}

}  // namespace nonagame

namespace nonagame::testing {

inline std::vector<int> cells_of(const CellList& list) { return {list.begin(), list.end()}; }

inline std::vector<int> cells_of(const CellSet& set) {
    std::vector<int> cells;
    set.for_each([&cells](int c) { cells.push_back(c); });
    return cells;
}

// Plays cells in order, each by the player to move; every move must be accepted.
inline void play(GameRecord& game, std::initializer_list<int> cells) {
    for (const int cell : cells) {
        const MoveOutcome outcome = make_move(game, static_cast<std::int8_t>(cell), game.next_player);
        ASSERT_TRUE(outcome.accepted) << "cell " << cell << ": " << outcome.error.message;
    }
}

inline GameRecord played(std::initializer_list<int> cells) {
    GameRecord game = new_game(1, false);
    play(game, cells);
    return game;
}

// Puts marks straight onto the board of a game in progress, as a checkpoint load would.
inline void place(GameRecord& game, std::initializer_list<int> cells, std::int8_t player) {
    for (const int cell : cells) {
        game.board[cell] = player;
        game.available.erase(cell);
    }
    sync_masks(game);
}

// The eight lines of a 3x3 grid as positions, written out independently of the engine.
inline constexpr std::array<std::array<int, 3>, 8> kLineCells = {{
    {0, 1, 2}, {3, 4, 5}, {6, 7, 8}, {0, 3, 6}, {1, 4, 7}, {2, 5, 8}, {0, 4, 8}, {2, 4, 6},
}};

}  // namespace nonagame::testing
