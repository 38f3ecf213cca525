#include "outcome.hpp"

#include <cstddef>

#include "lines.hpp"

namespace nonagame {

bool roster_won_by(const GameRecord& game, std::int8_t player, int cell) {
    const int roster = cell / 9;
    return lines::has_line_through(game.board.data() + std::ptrdiff_t{9} * roster, player, cell % 9);
}

bool board_won_by(const GameRecord& game, std::int8_t player, int roster) {
    return lines::has_line_through(game.rosters.data(), player, roster);
}

void settle_after_move(GameRecord& game, std::int8_t player, int cell) {
    const int roster = cell / 9;
    const CellSet roster_cells = CellSet::roster(roster);
    if (roster_won_by(game, player, cell)) {
        game.rosters[roster] = player;
        game.available.erase_all(roster_cells);
    } else if (game.available.empty() || !game.available.intersects(roster_cells)) {
        game.rosters[roster] = ROSTER_DRAWN;
    }
    // Every line of rosters through this roster contains it: unless the mover holds it
    // (in practice: has just won it), no line can be complete and the test is skipped.
    if (game.rosters[roster] == player && board_won_by(game, player, roster)) {
        // A decided game keeps its first winner; the line still closes the board.
        if (game.winner == 0) game.winner = player;
        game.available.clear();
    }
}

std::int8_t winner_of_rosters(const std::array<std::int8_t, kRosters>& rosters) {
    for (const std::int8_t player : {std::int8_t{1}, std::int8_t{2}}) {
        if (lines::has_line(rosters.data(), player)) return player;
    }
    return 0;
}

}  // namespace nonagame
