// The grid layout: where each cell is drawn on the 9 x 9 board as a person sees it, rows top
// to bottom and columns left to right. Cell c (roster r = c / 9, position p = c % 9) lies in
// row 3 * (r / 3) + p / 3 and column 3 * (r % 3) + p % 3: roster 0 is the top-left 3 x 3
// block, cell 0 its top-left square, cell 80 the bottom-right square of the board. Every
// drawing of the board (text grids, observation planes, symmetries) derives it from here.
#pragma once

namespace nonagame {

inline constexpr int kGridSide = 9;

constexpr int cell_row(int cell) { return 3 * (cell / 27) + cell % 9 / 3; }
constexpr int cell_col(int cell) { return 3 * (cell / 9 % 3) + cell % 3; }
// The cell drawn at (row, col).
constexpr int cell_at(int row, int col) { return 9 * (3 * (row / 3) + col / 3) + 3 * (row % 3) + col % 3; }
// The grid square 9 * row + col where cell is drawn.
constexpr int cell_square(int cell) { return kGridSide * cell_row(cell) + cell_col(cell); }
// The cell drawn at grid square 9 * row + col.
constexpr int square_cell(int square) { return cell_at(square / kGridSide, square % kGridSide); }

}  // namespace nonagame
