#include "player.hpp"

#include "../fault.hpp"
#include "../legal.hpp"
#include "random.hpp"

namespace nonagame {

PlayerRecord new_player(std::int8_t id) {
    if (id != 1 && id != 2) throw Fault("ID SHOULD BE EQUAL TO 1 OR 2");
    return PlayerRecord{id};
}

MoveOutcome play_default_move(const PlayerRecord& player, GameRecord& game) {
    // Entry `choice` of get_available_moves, picked from the set the list is made of
    // without writing the list out: the list is that set in ascending order.
    const CellSet moves = legal_cells(game);
    const int count = moves.size();
    if (count == 0) throw Fault("first attempt");
    const std::uint32_t choice = uniform_index(static_cast<std::uint32_t>(count));
    return make_move(game, static_cast<std::int8_t>(nth_cell(moves, static_cast<int>(choice))), player.id);
}

}  // namespace nonagame
