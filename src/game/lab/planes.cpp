#include "planes.hpp"

#include <cstddef>

#include "board.hpp"

namespace nonagame {

void write_planes(const GameRecord& game, int player, std::int8_t* out) {
    const CellSet legal = game.next_player == player ? legal_cells(game) : CellSet{};
    for (int cell = 0; cell < kCells; ++cell) {
        std::int8_t* square = out + static_cast<std::ptrdiff_t>(kPlaneChannels) * cell_square(cell);
        const std::int8_t mark = game.board[static_cast<std::size_t>(cell)];
        square[0] = static_cast<std::int8_t>(mark == player);
        square[1] = static_cast<std::int8_t>(mark != 0 && mark != player);
        square[2] = static_cast<std::int8_t>(legal.contains(cell));
    }
}

}  // namespace nonagame
