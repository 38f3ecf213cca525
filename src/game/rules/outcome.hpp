// Line tests for rosters and for the board of rosters, and the settling that follows a move.
// For players 1 and 2 they read the record's masks: code that writes board or rosters
// directly calls sync_masks first.
#pragma once

#include <cstdint>

#include "record.hpp"

namespace nonagame {

// True when player owns every cell of some line of cell's roster through cell's position.
bool roster_won_by(const GameRecord& game, std::int8_t player, int cell);

// True when player has won every roster of some line of rosters through roster.
bool board_won_by(const GameRecord& game, std::int8_t player, int roster);

// Settles the roster of an accepted move of player into cell and the game through it:
// a won roster takes the mover's id and its cells leave available; a roster with no
// available cell left is drawn; a line of three rosters sets winner and empties available.
void settle_after_move(GameRecord& game, std::int8_t player, int cell);

// Winner of a position from its roster statuses alone: the player who owns three
// rosters in a line (player 1 tested first), else 0.
std::int8_t winner_of_rosters(const std::array<std::int8_t, kRosters>& rosters);

}  // namespace nonagame
