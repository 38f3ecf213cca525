#include "planes.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "board.hpp"
#include "symmetry.hpp"

namespace nonagame {

namespace {

// The cell drawn at each grid square, so that the planes are written in order, square after
// square, with no division per cell.
constexpr std::array<std::uint8_t, kCells> kSquareCells = [] {
    std::array<std::uint8_t, kCells> cells{};
    for (int square = 0; square < kCells; ++square)
        cells[static_cast<std::size_t>(square)] = static_cast<std::uint8_t>(square_cell(square));
    return cells;
}();

// kSourceSquares[k][d]: the grid square whose content lands on square d under symmetry k.
constexpr std::array<std::array<std::uint8_t, kCells>, kSymmetries> kSourceSquares = [] {
    std::array<std::array<std::uint8_t, kCells>, kSymmetries> table{};
    for (int k = 0; k < kSymmetries; ++k)
        for (int square = 0; square < kCells; ++square)
            table[static_cast<std::size_t>(k)][static_cast<std::size_t>(square)] =
                static_cast<std::uint8_t>(cell_square(transform_cell(inverse(k), square_cell(square))));
    return table;
}();

}  // namespace

void write_planes(const GameRecord& game, int player, std::int8_t* out) {
    const CellSet legal = game.next_player == player ? legal_cells(game) : CellSet{};
    for (const std::uint8_t cell : kSquareCells) {
        const std::int8_t mark = game.board[cell];
        out[0] = static_cast<std::int8_t>(mark == player);
        out[1] = static_cast<std::int8_t>(mark != 0 && mark != player);
        out[2] = static_cast<std::int8_t>(legal.contains(cell));
        out += kPlaneChannels;
    }
}

int plane_indices(const GameRecord& game, int player, std::int32_t* out) {
    return plane_indices(game, player, game.next_player == player ? legal_cells(game) : CellSet{}, out);
}

int plane_indices(const GameRecord& game, int player, CellSet legal, std::int32_t* out) {
    return plane_indices(game, player, legal, kIdentity, out);
}

int plane_indices(const GameRecord& game, int player, CellSet legal, int symmetry, std::int32_t* out) {
    // The three channels as sets of grid squares (bit s of word s / 64), built roster by
    // roster from the record's 9-bit masks: the three rows of a roster are three runs of
    // three squares. Then only the set squares are visited, ascending.
    const auto& mine_masks = game.cell_masks[static_cast<std::size_t>(player - 1)];
    const auto& their_masks = game.cell_masks[static_cast<std::size_t>(2 - player)];
    std::array<std::uint64_t, 2> theirs{}, open{}, any{};
    for (int r = 0; r < kRosters; ++r) {
        const int corner = 27 * (r / 3) + 3 * (r % 3);
        const unsigned mine_bits = mine_masks[static_cast<std::size_t>(r)];
        const unsigned their_bits = their_masks[static_cast<std::size_t>(r)];
        const unsigned open_bits = legal.roster_bits(r);
        for (int row = 0; row < 3; ++row) {
            const int square = corner + 9 * row;
            const auto word = static_cast<std::size_t>(square / 64);
            const int shift = square % 64;
            const auto run = [row](unsigned bits) { return std::uint64_t{(bits >> (3 * row)) & 7U}; };
            // A run of three may cross from word 0 into word 1 (squares 62 to 64).
            const auto put = [&](std::array<std::uint64_t, 2>& set, std::uint64_t bits) {
                set[word] |= bits << shift;
                if (shift > 61) set[1] |= bits >> (64 - shift);
            };
            put(theirs, run(their_bits));
            put(open, run(open_bits));
            put(any, run(mine_bits) | run(their_bits) | run(open_bits));
        }
    }
    const auto channel = [&](std::size_t w, std::uint64_t one) {
        return (theirs[w] & one) != 0 ? 1 : ((open[w] & one) != 0 ? 2 : 0);
    };
    int count = 0;
    if (symmetry == kIdentity) {
        for (std::size_t w = 0; w < 2; ++w) {
            for (std::uint64_t bits = any[w]; bits != 0; bits &= bits - 1) {
                const int bit = std::countr_zero(bits);
                out[count++] = kPlaneChannels * (64 * static_cast<int>(w) + bit) + channel(w, std::uint64_t{1} << bit);
            }
        }
        return count;
    }
    // The image squares ascending, each reading the square it comes from.
    const auto& sources = kSourceSquares[static_cast<std::size_t>(symmetry)];
    for (int square = 0; square < kCells; ++square) {
        const int from = sources[static_cast<std::size_t>(square)];
        const auto w = static_cast<std::size_t>(from / 64);
        const std::uint64_t one = std::uint64_t{1} << (from % 64);
        if ((any[w] & one) != 0) out[count++] = kPlaneChannels * square + channel(w, one);
    }
    return count;
}

}  // namespace nonagame
