// The observation planes of a position, as the lab's environments and networks read them,
// laid out on the grid of grid.hpp: the 9 x 9 board as a person sees it.
#pragma once

#include <array>
#include <cstdint>

#include "grid.hpp"
#include "record.hpp"

namespace nonagame {

inline constexpr int kPlaneChannels = 3;
inline constexpr int kPlaneValues = kCells * kPlaneChannels;  // 243

// Writes the 243 planes of game for player (1 or 2) in (row, column, channel) order:
// channel 0 the player's marks, channel 1 the opponent's, channel 2 the cells the player may
// play now (all 0 when it is not their turn or the game is over).
void write_planes(const GameRecord& game, int player, std::int8_t* out);

// The positions of the nonzero values among those planes (each value is 1), in increasing
// order, written to out (room for kCells entries: a square has at most one set channel);
// returns how many there are. What a network's first layer reads instead of the whole planes.
int plane_indices(const GameRecord& game, int player, std::int32_t* out);
// The same with the legal cells of game already known (the empty set when player is not to
// move): the caller that needs them anyway computes them once.
int plane_indices(const GameRecord& game, int player, CellSet legal, std::int32_t* out);
// The same for the image of game under symmetry (0..7, symmetry.hpp): the indices that
// write_planes gives for the transformed position, without transforming it.
int plane_indices(const GameRecord& game, int player, CellSet legal, int symmetry, std::int32_t* out);

}  // namespace nonagame
