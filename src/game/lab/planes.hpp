// The observation planes of a position, as the lab's environments and networks read them,
// and the grid layout they use: the 9 x 9 board as a person sees it.
//
// Grid square (row, col) holds cell 9 * roster + p with row = 3 * (roster / 3) + p / 3 and
// col = 3 * (roster % 3) + p % 3: roster 0 is the top-left 3 x 3 block, cell 0 its top-left
// square, cell 80 the bottom-right square of the board.
#pragma once

#include <array>
#include <cstdint>

#include "record.hpp"

namespace nonagame {

inline constexpr int kGridSide = 9;
inline constexpr int kPlaneChannels = 3;
inline constexpr int kPlaneValues = kCells * kPlaneChannels;  // 243

constexpr int cell_row(int cell) { return 3 * (cell / 9 / 3) + cell % 9 / 3; }
constexpr int cell_col(int cell) { return 3 * (cell / 9 % 3) + cell % 9 % 3; }
// The grid square 9 * row + col where cell is drawn.
constexpr int cell_square(int cell) { return kGridSide * cell_row(cell) + cell_col(cell); }
// The cell drawn at grid square 9 * row + col.
constexpr int square_cell(int square) {
    const int row = square / kGridSide;
    const int col = square % kGridSide;
    return 9 * (3 * (row / 3) + col / 3) + 3 * (row % 3) + col % 3;
}

// Writes the 243 planes of game for player (1 or 2) in (row, column, channel) order:
// channel 0 the player's marks, channel 1 the opponent's, channel 2 the cells the player may
// play now (all 0 when it is not their turn or the game is over).
void write_planes(const GameRecord& game, int player, std::int8_t* out);

}  // namespace nonagame
