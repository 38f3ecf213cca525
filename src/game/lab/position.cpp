#include "position.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "checkpoint.hpp"
#include "legal.hpp"
#include "symmetry.hpp"
#include "zobrist.hpp"

namespace nonagame {

namespace {

// The canonical forced roster: the roster holding every legal cell, if there is one.
int canonical_forced(const GameRecord& game) {
    if (game.available.empty()) return -1;
    const CellSet legal = legal_cells(game);
    const int roster = legal.nth(0) / 9;
    return (legal & CellSet::roster(roster)) == legal ? roster : -1;
}

// The record without the identity of a game: no id, no move log.
GameRecord anonymous(const GameRecord& record) {
    GameRecord copy = record;
    copy.id = 0;
    copy.log_enabled = false;
    return copy;
}

bool has_marks(const std::array<std::int8_t, kCells>& board) {
    return std::ranges::any_of(board, [](std::int8_t value) { return value == 1 || value == 2; });
}

// A record settled from a board, as State.to_checkpoint and Game.load_checkpoint do. An
// empty board with player 1 to move and no forced roster is the record of a new game, so
// that its first move is the engine's opening move.
GameRecord settled_record(const std::array<std::int8_t, kCells>& board, std::int8_t to_move,
                          std::int8_t next_roster) {
    GameRecord game = new_game(0, false);
    const bool free = next_roster < 0 || next_roster >= kRosters;
    if (to_move == 1 && free && !has_marks(board)) return game;
    load_checkpoint(game, checkpoint_from_position(board, to_move, next_roster));
    return game;
}

Refusal player_refusal(int to_move) {
    return Refusal{"the player to move must be 1 or 2, got " + std::to_string(to_move)};
}

// Why the player to move may not play cell in game, or nothing when the move is legal.
// The engine's texts throughout; the engine tests a finished game before the cell index,
// and so does this.
std::optional<std::string> move_refusal(const GameRecord& game, long long cell) {
    const bool over = game.available.empty();
    if (!over) {
        if (cell < 0 || cell >= kCells) return cell_range_message(cell);
        if (legal_cells(game).contains(static_cast<int>(cell))) return std::nullopt;
    }
    GameRecord scratch = game;
    const MoveOutcome outcome =
        make_move(scratch, over ? std::int8_t{0} : static_cast<std::int8_t>(cell), game.next_player);
    // Positions hold settled records, on which the engine accepts exactly the legal cells.
    if (outcome.accepted) return std::nullopt;
    return outcome.error.text();
}

}  // namespace

std::string cell_range_message(long long cell) { return "cell must be 0..80, got " + std::to_string(cell); }

Position::Position() : Position(new_game(0, false)) {}

Position::Position(const GameRecord& record)
    : record_(anonymous(record)),
      forced_(static_cast<std::int8_t>(canonical_forced(record_))),
      key_(zobrist::full_key(record_.board, record_.next_player, forced_)) {}

Result<Position> Position::from_record(const GameRecord& game) {
    if (game.next_player != 1 && game.next_player != 2) return player_refusal(game.next_player);
    return Position(settled_record(game.board, game.next_player, game.next_roster));
}

Result<Position> Position::from_snapshot(const std::array<std::int8_t, kCells>& board, int to_move,
                                         int forced_roster) {
    if (to_move != 1 && to_move != 2) return player_refusal(to_move);
    if (forced_roster < -1 || forced_roster >= kRosters) {
        return Refusal{"the forced roster must be 0..8 or -1, got " + std::to_string(forced_roster)};
    }
    const auto player = static_cast<std::int8_t>(to_move);
    return Position(settled_record(board, player, static_cast<std::int8_t>(forced_roster)));
}

Result<Position> Position::from_moves(std::span<const long long> cells) {
    GameRecord game = new_game(0, false);
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (std::optional<std::string> refusal = move_refusal(game, cells[i])) {
            return Refusal{std::move(*refusal), static_cast<int>(i)};
        }
        nonagame::play_legal(game, static_cast<int>(cells[i]));
    }
    return Position(game);
}

std::uint64_t Position::recompute_key() const {
    return zobrist::full_key(record_.board, record_.next_player, canonical_forced(record_));
}

Result<Position> Position::play(long long cell) const {
    if (std::optional<std::string> refusal = move_refusal(record_, cell)) return Refusal{std::move(*refusal)};
    return play_unchecked(static_cast<int>(cell));
}

Position Position::play_unchecked(int cell) const {
    Position next(*this);
    nonagame::play_legal(next.record_, cell);
    next.forced_ = static_cast<std::int8_t>(canonical_forced(next.record_));
    next.key_ = key_ ^ zobrist::mark_term(cell, record_.next_player) ^ zobrist::side_term(1) ^ zobrist::side_term(2) ^
                zobrist::forced_term(forced_) ^ zobrist::forced_term(next.forced_);
    return next;
}

Position Position::transformed(int k) const {
    if (k == kIdentity) return *this;
    Position image(*this);
    GameRecord& out = image.record_;
    const std::array<std::int8_t, kCells>& map = detail::kCellMap[k];
    for (int cell = 0; cell < kCells; ++cell) out.board[map[cell]] = record_.board[cell];
    // Rosters and the masks move roster by roster; inside a roster the positions move by
    // the same map, so every 9-bit mask goes through one table.
    for (int roster = 0; roster < kRosters; ++roster) {
        const int to = transform_roster(k, roster);
        out.rosters[to] = record_.rosters[roster];
        for (std::size_t p = 0; p < 2; ++p) {
            out.cell_masks[p][to] = static_cast<std::uint16_t>(transform_mask(k, record_.cell_masks[p][roster]));
        }
    }
    for (std::size_t p = 0; p < 2; ++p) {
        out.roster_masks[p] = static_cast<std::uint16_t>(transform_mask(k, record_.roster_masks[p]));
    }
    out.available = transform_set(k, record_.available);
    if (record_.next_roster >= 0 && record_.next_roster < kRosters) {
        out.next_roster = static_cast<std::int8_t>(transform_roster(k, record_.next_roster));
    }
    image.forced_ = static_cast<std::int8_t>(forced_ < 0 ? -1 : transform_roster(k, forced_));
    image.key_ = zobrist::full_key(out.board, out.next_player, image.forced_);
    return image;
}

std::array<Position, 8> Position::symmetries() const {
    std::array<Position, 8> images;
    for (int k = 0; k < kSymmetries; ++k) images[k] = transformed(k);
    return images;
}

}  // namespace nonagame
