// Whole random games for simulation and search: uniformly random legal moves from a
// position until the game is over, with no checks, no error texts and no move log. Built on
// the legal-move fast paths of the rules (legal.hpp, included here for the callers that
// play chosen moves along the way).
#pragma once

#include <cstdint>

#include "legal.hpp"
#include "record.hpp"
#include "rng.hpp"

namespace nonagame {

// Plays uniformly random legal moves until the game is over and returns the winner
// (0 for a draw). A finished game is returned as it is. The moves, their draws and the
// final record are those of play_random_move repeated, on either SelectPath.
std::int8_t play_random_to_end(GameRecord& game, Rng& rng);
// The same, setting last_cell to the last cell played (left as it is when the game was
// already over).
std::int8_t play_random_to_end(GameRecord& game, Rng& rng, int& last_cell);

}  // namespace nonagame
