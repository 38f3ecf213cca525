#include "planes.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

#include "board.hpp"

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
    int count = 0;
    std::int32_t index = 0;
    for (const std::uint8_t cell : kSquareCells) {
        // Branch-free: the slot is written every square and kept when a channel is set; the
        // channels of a square exclude one another (legal cells are empty).
        const std::int8_t mark = game.board[cell];
        const bool mine = mark == player;
        const bool theirs = mark != 0 && !mine;
        const bool open = legal.contains(cell);
        out[count] = index + (theirs ? 1 : 0) + (open ? 2 : 0);
        count += (mine || theirs || open) ? 1 : 0;
        index += kPlaneChannels;
    }
    return count;
}

}  // namespace nonagame
