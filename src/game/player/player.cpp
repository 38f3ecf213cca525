#include "player.hpp"

#include "../fault.hpp"
#include "random.hpp"

namespace nonagame {

std::shared_ptr<DefaultPlayer> DefaultPlayer::create(std::int8_t id) {
    if (id != 1 && id != 2) throw Fault("ID SHOULD BE EQUAL TO 1 OR 2");
    return std::make_shared<DefaultPlayer>(id);
}

MoveOutcome DefaultPlayer::make_move(GameRecord& game) const {
    const CellList moves = get_available_moves(game);
    if (moves.size() == 0) throw Fault("first attempt");
    const std::uint32_t choice = uniform_index(static_cast<std::uint32_t>(moves.size()));
    return nonagame::make_move(game, moves.cells[choice], id_);
}

}  // namespace nonagame
