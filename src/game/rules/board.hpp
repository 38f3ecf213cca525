// The move rules of nine-board tic-tac-toe: new games, the legal cells and the checked move.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "cellset.hpp"
#include "record.hpp"

namespace nonagame {

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
