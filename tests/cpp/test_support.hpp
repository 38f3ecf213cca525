// Helpers shared by the engine tests: whole-record comparison and scripted games.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <vector>

#include "board.hpp"

namespace nonagame::testing {

inline bool same_record(const GameRecord& a, const GameRecord& b) {
    return a.available == b.available && a.id == b.id && a.next_player == b.next_player &&
           a.next_roster == b.next_roster && a.board == b.board && a.rosters == b.rosters &&
           a.winner == b.winner && a.log_enabled == b.log_enabled && a.finished == b.finished &&
           a.moves_accepted == b.moves_accepted && a.cell_masks == b.cell_masks &&
           a.roster_masks == b.roster_masks;
}

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
