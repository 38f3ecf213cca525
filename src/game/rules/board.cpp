#include "board.hpp"

#include <cstring>
#include <string>

#include "fault.hpp"
#include "movelog.hpp"
#include "place.hpp"

namespace nonagame {

namespace {

MoveOutcome refuse(MoveErrorKind kind, std::string message) {
    MoveOutcome outcome;
    outcome.error = MoveError{kind, std::move(message)};
    return outcome;
}

MoveOutcome accept(const GameRecord& game) {
    MoveOutcome outcome;
    outcome.accepted = true;
    outcome.cells_remain = !game.available.empty();
    return outcome;
}

bool board_is_empty(const GameRecord& game) {
    // Eight bytes at a time: 81 = 10 * 8 + 1.
    std::uint64_t any = static_cast<std::uint8_t>(game.board[kCells - 1]);
    for (std::size_t at = 0; at + 8 <= kCells; at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, game.board.data() + at, sizeof word);
        any |= word;
    }
    return any == 0;
}

// Bookkeeping shared by both kinds of accepted move, then the log entry (which may
// fault, but only once the record is complete).
MoveOutcome finish_move(GameRecord& game, int cell, bool opening) {
    ++game.moves_accepted;
    if (game.available.empty()) game.finished = true;
    if (game.log_enabled) append_move_log(game, static_cast<std::int8_t>(cell), opening);
    return accept(game);
}

}  // namespace

std::string MoveError::text() const { return "ERROR: Invalid move error - " + message; }

GameRecord new_game(std::uint32_t id, bool log_enabled) {
    GameRecord game;
    game.available = CellSet::full();
    game.id = id;
    game.rosters.fill(ROSTER_OPEN);
    game.log_enabled = log_enabled;
    return game;
}

CellSet legal_cells(const GameRecord& game) {
    const int roster = forced_roster(game);
    return roster < 0 ? game.available : game.available & CellSet::roster(roster);
}

CellList get_available_moves(const GameRecord& game) {
    CellList list;
    // Counted in a local: stores of int8 cells may alias list.count, which would otherwise
    // be reloaded and stored on every cell (this runs on every snapshot).
    int count = 0;
    std::int8_t* const out = list.cells.data();
    legal_cells(game).for_each([out, &count](int cell) { out[count++] = static_cast<std::int8_t>(cell); });
    list.count = count;
    return list;
}

MoveOutcome make_move(GameRecord& game, std::int8_t cell, std::int8_t player) {
    if (player != game.next_player) {
        return refuse(MoveErrorKind::WrongPlayer, "Expected player: " + std::to_string(game.next_player) +
                                                      ", but got player " + std::to_string(player));
    }
    if (game.available.empty()) return refuse(MoveErrorKind::InvalidMove, "THIS GAME IS ALREADY OVER");

    // A negative cell reads as its unsigned byte, so it is out of range as well.
    const int index = static_cast<std::uint8_t>(cell);
    if (index >= kCells) index_fault(kCells, static_cast<std::size_t>(index));

    if (game.next_roster == ROSTER_ANY && board_is_empty(game)) {
        place_mark(game, index, player);
        return finish_move(game, index, true);
    }

    const int roster = index / 9;
    if (game.board[index] != 0) {
        return refuse(MoveErrorKind::InvalidMove, "THIS CELL ALREADY CONTAINS INPUT");
    }
    if (game.rosters[roster] > 0) {
        return refuse(MoveErrorKind::InvalidMove, "THIS ROSTER IS ALREADY COMPLETE");
    }
    const int forced = forced_roster(game);
    if (forced >= 0 && forced != roster) {
        return refuse(MoveErrorKind::InvalidMove,
                      "Wrong roster! You have to play in roster " + std::to_string(forced + 1));
    }

    place_mark(game, index, player);
    settle_move(game, player, index);
    return finish_move(game, index, false);
}

}  // namespace nonagame
