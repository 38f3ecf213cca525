#include "playout.hpp"

#include "outcome.hpp"

namespace nonagame {

void play_legal(GameRecord& game, int cell) {
    const std::int8_t player = game.next_player;
    game.board[cell] = player;
    game.available.erase(cell);
    game.next_player = player == 1 ? 2 : 1;
    game.next_roster = static_cast<std::int8_t>(cell % 9);
    settle_after_move(game, player, cell);  // an opening move settles nothing
    ++game.moves_accepted;
    if (game.available.empty()) game.finished = true;
}

int nth_legal_cell(const GameRecord& game, int choice) { return legal_cells(game).nth(choice); }

int play_random_move(GameRecord& game, Rng& rng) {
    const CellSet moves = legal_cells(game);
    const int cell = moves.nth(static_cast<int>(rng.below(static_cast<std::uint32_t>(moves.size()))));
    play_legal(game, cell);
    return cell;
}

std::int8_t random_playout(GameRecord& game, Rng& rng) {
    while (!game.available.empty()) play_random_move(game, rng);
    return game.winner;
}

}  // namespace nonagame
