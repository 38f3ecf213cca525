// The board model and the move rules of nine-board tic-tac-toe.
//
// Cell c lies in roster c / 9 at position c % 9; positions and rosters both run row by
// row. Player 1 moves first; the position played inside a roster names the roster in
// which the opponent must play next.
#pragma once

#include <array>
#include <cstdint>
#include <string>

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

enum class MoveErrorKind : std::uint8_t { InvalidMove = 0, WrongPlayer = 1 };

struct MoveError {
    MoveErrorKind kind = MoveErrorKind::InvalidMove;
    std::string message;

    // "ERROR: Invalid move error - " followed by the message.
    std::string text() const;
};

// The result of make_move: either accepted (with whether cells remain) or refused.
struct MoveOutcome {
    bool accepted = false;
    bool cells_remain = false;  // meaningful when accepted
    MoveError error;            // meaningful when refused
};

// A list of at most 81 cells, in the engine's order, that needs no allocation. Only the
// first count entries are meaningful: the rest stay uninitialised, so listing costs no clearing.
struct CellList {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::array<std::int8_t, kCells> cells;
    int count = 0;

    const std::int8_t* begin() const { return cells.data(); }
    const std::int8_t* end() const { return cells.data() + count; }
    int size() const { return count; }
};

GameRecord new_game(std::uint32_t id, bool log_enabled);

// The cells the player to move may play, as a set: the available cells of a forced open
// roster, otherwise every available cell.
CellSet legal_cells(const GameRecord& game);

// legal_cells as a list, in ascending order (the order in which the set iterates).
CellList get_available_moves(const GameRecord& game);

// Checks, in order: player to move, game not over, then (opening move on an empty board)
// the cell index, or (every later move) the cell index, occupancy, won roster and the
// roster constraint. Applies and settles an accepted move. Out-of-range cells raise an
// index Fault before anything changes.
MoveOutcome make_move(GameRecord& game, std::int8_t cell, std::int8_t player);

inline std::int8_t get_winner(const GameRecord& game) { return game.winner; }

}  // namespace nonagame
