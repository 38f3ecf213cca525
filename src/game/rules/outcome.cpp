#include "outcome.hpp"

#include "lines.hpp"
#include "place.hpp"

namespace nonagame {

bool roster_won_by(const GameRecord& game, std::int8_t player, int cell) {
    return line_through_cell(game, player, cell);
}

bool board_won_by(const GameRecord& game, std::int8_t player, int roster) {
    return line_through_roster(game, player, roster);
}

void settle_after_move(GameRecord& game, std::int8_t player, int cell) { settle_move(game, player, cell); }

std::int8_t winner_of_rosters(const std::array<std::int8_t, kRosters>& rosters) {
    for (const std::int8_t player : {std::int8_t{1}, std::int8_t{2}}) {
        if (lines::has_line(rosters.data(), player)) return player;
    }
    return 0;
}

}  // namespace nonagame
