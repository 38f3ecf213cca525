// The game record: a position of nine-board tic-tac-toe with the player and roster to move
// and the game's own fields, as a plain value that copies with one assignment.
//
// Cell c lies in roster c / 9 at position c % 9; positions and rosters both run row by
// row. Player 1 moves first; the position played inside a roster names the roster in
// which the opponent must play next.
#pragma once

#include <array>
#include <cstdint>

#include "cellset.hpp"

namespace nonagame {

inline constexpr int kCells = 81;
inline constexpr int kRosters = 9;

inline constexpr std::int8_t ROSTER_OPEN = -1;
inline constexpr std::int8_t ROSTER_DRAWN = 0;
// next_roster before the opening move.
inline constexpr std::int8_t ROSTER_ANY = 10;

struct GameRecord {
    CellSet available;                  // cells that may still be played
    std::uint32_t id = 0;               // names the move log file
    std::int8_t next_player = 1;        // 1 or 2
    std::int8_t next_roster = ROSTER_ANY;
    std::array<std::int8_t, kCells> board{};   // 0 empty, 1 or 2
    std::array<std::int8_t, kRosters> rosters{};  // ROSTER_OPEN, ROSTER_DRAWN, 1 or 2
    std::int8_t winner = 0;             // 1 or 2 once the board is won
    bool log_enabled = false;
    bool finished = false;              // set when a move leaves no cell available
    // Accepted moves so far. Not part of a checkpoint: the match runner uses it to tell
    // a turn that moved from one that did not.
    std::uint32_t moves_accepted = 0;
};

}  // namespace nonagame
