// The eight symmetries of the square acting on the cells.
//
// The 81 cells form the 9x9 grid of grid.hpp, rows top to bottom and columns left to right:
// cell c (roster r = c / 9, position p = c % 9) lies in grid row 3 * (r / 3) + p / 3 and
// grid column 3 * (r % 3) + p % 3. A symmetry of the square maps grid square (row, col) to
// another square; since 8 - (3 * a + b) = 3 * (2 - a) + (2 - b), the same map acts on the
// rosters of the board and on the positions inside every roster at once, so it carries
// the rules with it (a move at position p sends the opponent to roster p, and the image
// move at position k(p) sends them to roster k(p)).
//
// The symmetries, numbered 0..7, with n = 8 the last grid index (n = 2 for rosters and
// positions on their 3x3 grids):
//   0 identity        (row, col) -> (row, col)
//   1 rot90           (row, col) -> (col, n - row)       a quarter turn clockwise
//   2 rot180          (row, col) -> (n - row, n - col)
//   3 rot270          (row, col) -> (n - col, row)       a quarter turn anticlockwise
//   4 flip_h          (row, col) -> (row, n - col)       left and right swap
//   5 flip_v          (row, col) -> (n - row, col)       top and bottom swap
//   6 transpose       (row, col) -> (col, row)           about the top-left/bottom-right diagonal
//   7 anti_transpose  (row, col) -> (n - col, n - row)   about the top-right/bottom-left diagonal
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "board.hpp"
#include "cellset.hpp"
#include "grid.hpp"

namespace nonagame {

inline constexpr int kSymmetries = 8;

enum SymmetryIndex : std::uint8_t {
    kIdentity = 0,
    kRot90 = 1,
    kRot180 = 2,
    kRot270 = 3,
    kFlipH = 4,
    kFlipV = 5,
    kTranspose = 6,
    kAntiTranspose = 7,
};

namespace detail {

// Square (row, col) of an (n + 1) x (n + 1) grid under symmetry k.
constexpr std::pair<int, int> map_square(int k, int row, int col, int n) {
    switch (k) {
        case kRot90: return {col, n - row};
        case kRot180: return {n - row, n - col};
        case kRot270: return {n - col, row};
        case kFlipH: return {row, n - col};
        case kFlipV: return {n - row, col};
        case kTranspose: return {col, row};
        case kAntiTranspose: return {n - col, n - row};
        default: return {row, col};
    }
}

inline constexpr std::array<std::array<std::int8_t, kCells>, kSymmetries> kCellMap = [] {
    std::array<std::array<std::int8_t, kCells>, kSymmetries> table{};
    for (int k = 0; k < kSymmetries; ++k) {
        for (int cell = 0; cell < kCells; ++cell) {
            const auto [row, col] = map_square(k, cell_row(cell), cell_col(cell), 8);
            table[k][cell] = static_cast<std::int8_t>(cell_at(row, col));
        }
    }
    return table;
}();

// The same maps on a 3x3 grid: rosters of the board, or positions inside a roster.
inline constexpr std::array<std::array<std::int8_t, kRosters>, kSymmetries> kSmallMap = [] {
    std::array<std::array<std::int8_t, kRosters>, kSymmetries> table{};
    for (int k = 0; k < kSymmetries; ++k) {
        for (int i = 0; i < kRosters; ++i) {
            const auto [row, col] = map_square(k, i / 3, i % 3, 2);
            table[k][i] = static_cast<std::int8_t>(3 * row + col);
        }
    }
    return table;
}();

// kMaskMap[k][m]: the 9-bit mask of positions (or rosters) m moved along symmetry k.
inline constexpr std::array<std::array<std::uint16_t, 512>, kSymmetries> kMaskMap = [] {
    std::array<std::array<std::uint16_t, 512>, kSymmetries> table{};
    for (int k = 0; k < kSymmetries; ++k) {
        for (unsigned mask = 0; mask < 512; ++mask) {
            unsigned image = 0;
            for (int i = 0; i < kRosters; ++i) {
                if ((mask >> i) & 1U) image |= 1U << kSmallMap[k][i];
            }
            table[k][mask] = static_cast<std::uint16_t>(image);
        }
    }
    return table;
}();

// kCompose[a][b]: the symmetry that maps every cell as a followed by b does.
inline constexpr std::array<std::array<std::int8_t, kSymmetries>, kSymmetries> kCompose = [] {
    std::array<std::array<std::int8_t, kSymmetries>, kSymmetries> table{};
    for (int a = 0; a < kSymmetries; ++a) {
        for (int b = 0; b < kSymmetries; ++b) {
            for (int c = 0; c < kSymmetries; ++c) {
                bool same = true;
                for (int cell = 0; cell < kCells && same; ++cell) {
                    same = kCellMap[c][cell] == kCellMap[b][kCellMap[a][cell]];
                }
                if (same) table[a][b] = static_cast<std::int8_t>(c);
            }
        }
    }
    return table;
}();

}  // namespace detail

// The image of cell (0..80) under symmetry k (0..7).
constexpr int transform_cell(int k, int cell) { return detail::kCellMap[k][cell]; }

// The image of a roster, or of a position inside a roster (0..8), under symmetry k.
constexpr int transform_roster(int k, int roster) { return detail::kSmallMap[k][roster]; }

// The image of a 9-bit mask of positions inside a roster (or of rosters) under symmetry k.
constexpr unsigned transform_mask(int k, unsigned mask) { return detail::kMaskMap[k][mask & 0x1FF]; }

// The symmetry that undoes k: the quarter turns swap, every other one is its own inverse.
constexpr int inverse(int k) {
    if (k == kRot90) return kRot270;
    if (k == kRot270) return kRot90;
    return k;
}

// The symmetry equal to applying first, then second.
constexpr int compose(int first, int second) { return detail::kCompose[first][second]; }

// Lower-case names in the numbering above ("identity", "rot90", ...).
std::string_view symmetry_name(int k);

// The image of a set of cells under symmetry k.
CellSet transform_set(int k, const CellSet& cells);

// Moves per-cell values (a board, a policy over the cells) along symmetry k:
// out[transform_cell(k, c)] = in[c]. in and out must not overlap. To bring values computed
// on a transformed position back, use inverse(k).
template <class T>
void transform_values(int k, std::span<const T, kCells> in, std::span<T, kCells> out) {
    const std::array<std::int8_t, kCells>& map = detail::kCellMap[k];
    for (int cell = 0; cell < kCells; ++cell) out[map[cell]] = in[cell];
}

template <class T>
std::array<T, kCells> transform_values(int k, const std::array<T, kCells>& in) {
    std::array<T, kCells> out{};
    transform_values<T>(k, std::span<const T, kCells>(in), std::span<T, kCells>(out));
    return out;
}

}  // namespace nonagame
