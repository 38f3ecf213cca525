#include "checkpoint.hpp"

#include <cstddef>
#include <string>

#include "board.hpp"
#include "lines.hpp"
#include "outcome.hpp"
#include "place.hpp"
#include "text.hpp"

namespace nonagame {

namespace {

template <class T, std::size_t N, class Format>
std::string list_text(const std::array<T, N>& items, Format format) {
    std::string text = "[";
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) text += ", ";
        text += format(items[i]);
    }
    return text + "]";
}

}  // namespace

CheckpointRecord make_checkpoint(const GameRecord& game) {
    CheckpointRecord checkpoint;
    checkpoint.board = game.board;
    checkpoint.rosters = game.rosters;
    checkpoint.next_player = game.next_player;
    checkpoint.next_roster = game.next_roster;
    checkpoint.available = game.available;
    return checkpoint;
}

void load_checkpoint(GameRecord& game, const CheckpointRecord& checkpoint) {
    game.next_player = checkpoint.next_player;
    game.next_roster = checkpoint.next_roster;
    load_position(game, checkpoint.board, checkpoint.rosters);
    game.available = checkpoint.available;
    game.finished = game.available.empty();
    game.winner = winner_of_masks(game);
}

std::string checkpoint_text(const CheckpointRecord& checkpoint) {
    GameRecord scratch = new_game(0, false);
    load_checkpoint(scratch, checkpoint);
    std::string text = render_board(scratch);
    text += "\nnext player: " + std::to_string(checkpoint.next_player);
    text += "\nnext roster: " + std::to_string(checkpoint.next_roster);
    text += "\nrosters: " + list_text(checkpoint.rosters, [](std::int8_t s) { return std::to_string(s); });
    text += "\nodds: " + list_text(checkpoint.odds, format_double);
    return text;
}

CheckpointRecord checkpoint_from_position(const std::array<std::int8_t, kCells>& board,
                                          std::int8_t next_player, std::int8_t next_roster) {
    CheckpointRecord checkpoint;
    checkpoint.next_player = next_player;
    checkpoint.next_roster = next_roster;
    checkpoint.available = CellSet::full();
    for (int cell = 0; cell < kCells; ++cell) {
        const std::int8_t value = board[cell];
        if (value == 1 || value == 2) {
            checkpoint.board[cell] = value;
            checkpoint.available.erase(cell);
        }
    }
    for (int roster = 0; roster < kRosters; ++roster) {
        const std::int8_t* cells = checkpoint.board.data() + std::ptrdiff_t{9} * roster;
        std::int8_t owner = 0;
        if (lines::has_line(cells, 1)) owner = 1;
        else if (lines::has_line(cells, 2)) owner = 2;
        checkpoint.rosters[roster] = settle_roster(checkpoint.available, roster, ROSTER_OPEN, owner != 0, owner);
    }
    if (winner_of_rosters(checkpoint.rosters) != 0) checkpoint.available.clear();
    return checkpoint;
}

}  // namespace nonagame
