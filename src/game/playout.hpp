// Fast paths for simulation and search: moves already known to be legal, and whole random
// games, with no checks, no error texts and no move log.
#pragma once

#include <cstdint>

#include "board.hpp"
#include "rng.hpp"

namespace nonagame {

// Plays cell for the player to move. cell must be one of legal_cells(game) and the game
// must not be over; the record ends exactly as make_move would leave it (without a log
// entry; moves_accepted counts the move).
void play_legal(GameRecord& game, int cell);

// The cell at index choice (0 <= choice < legal count) of the ascending legal cells.
int nth_legal_cell(const GameRecord& game, int choice);

// One uniformly random legal move for the player to move; the game must not be over.
// Returns the cell played.
int play_random_move(GameRecord& game, Rng& rng);

// Plays uniformly random legal moves until the game is over and returns the winner
// (0 for a draw). A finished game is returned as it is.
std::int8_t random_playout(GameRecord& game, Rng& rng);

}  // namespace nonagame
