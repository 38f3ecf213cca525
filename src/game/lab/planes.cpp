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

}  // namespace nonagame
