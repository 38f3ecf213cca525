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
    // Derived from board and rosters so that the rules test a line with one table lookup
    // (index player - 1, players 1 and 2 only): bit p of cell_masks[i][r] is set when
    // board[9 * r + p] holds player i + 1, bit r of roster_masks[i] when rosters[r] does.
    // The engine keeps them in step with every write it makes; code that writes board or
    // rosters itself calls sync_masks before the record is used again.
    std::array<std::array<std::uint16_t, kRosters>, 2> cell_masks{};
    std::array<std::uint16_t, 2> roster_masks{};

    // Field by field, every field included (the masks and moves_accepted too), so that a
    // field added later cannot escape a comparison.
    friend bool operator==(const GameRecord&, const GameRecord&) = default;
};

// Recomputes cell_masks and roster_masks from board and rosters.
void sync_masks(GameRecord& game);

// Sets board and rosters together with their masks.
void load_position(GameRecord& game, const std::array<std::int8_t, kCells>& board,
                   const std::array<std::int8_t, kRosters>& rosters);

// The player who owns three rosters in a line, from the masks (player 1 tested first), else 0:
// winner_of_rosters(game.rosters) for a record whose masks are in sync.
std::int8_t winner_of_masks(const GameRecord& game);

// Whether cell_masks and roster_masks agree with board and rosters.
bool masks_in_sync(const GameRecord& game);

}  // namespace nonagame
