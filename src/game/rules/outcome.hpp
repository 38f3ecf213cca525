// The winner of a position from its roster statuses alone. The line tests and the settling
// that follow a move are part of the move itself (place.hpp).
#pragma once

#include <array>
#include <cstdint>

#include "record.hpp"

namespace nonagame {

// Winner of a position from its roster statuses alone: the player who owns three
// rosters in a line (player 1 tested first), else 0.
std::int8_t winner_of_rosters(const std::array<std::int8_t, kRosters>& rosters);

}  // namespace nonagame
