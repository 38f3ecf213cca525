// An immutable position: what the next move may be and what it leads to, without the
// identity of a game (id, move log). Built from the opening, a game record, a snapshot, a
// list of moves or its notation (notation.hpp); every change makes a new value.
//
// A position is its board, its side to move and its legal cells. The forced roster is
// read off the legal cells: when all of them lie in one roster, that roster is forced,
// whether the last move named it or it is the only roster left open; otherwise (a free
// choice, or a finished game) there is none (-1). Two positions are equal when board,
// side to move and forced roster are equal; the rosters, the winner and the legal cells
// follow from these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "board.hpp"
#include "cellset.hpp"

namespace nonagame {

// Why a position could not be made. index is the place in the input that was refused:
// the index of the move (from_moves), the character offset (parse_notation, also written
// at the front of the message), or -1 when the refusal concerns the input as a whole.
struct Refusal {
    std::string message;
    int index = -1;
};

// A value or the refusal that stands in its place.
template <class T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    Result(Refusal refusal) : refusal_(std::move(refusal)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    const T& value() const { return *value_; }
    const T& operator*() const { return *value_; }
    const T* operator->() const { return &*value_; }
    // Only when !ok().
    const Refusal& refusal() const { return refusal_; }

private:
    std::optional<T> value_;
    Refusal refusal_;
};

// "cell must be 0..80, got N": the refusal of a cell index outside the board.
std::string cell_range_message(long long cell);

class Position {
public:
    // The opening position.
    Position();
    static Position opening() { return Position(); }

    // The position of a game record as a Game holds it. The rosters, winner and free cells
    // are settled again from the board, as loading a checkpoint built from it would; only
    // a player to move other than 1 or 2 is refused.
    static Result<Position> from_record(const GameRecord& game);

    // The position of a snapshot: the board (1 and 2 are marks, any other value an empty
    // cell), the player to move (1 or 2) and the roster the next move is forced into, or
    // -1 for a free choice. Built the way a State becomes a Checkpoint: the rosters are
    // settled from the board, a forced roster that is closed leaves the choice free.
    static Result<Position> from_snapshot(const std::array<std::int8_t, kCells>& board, int to_move,
                                          int forced_roster);

    // The opening followed by these moves, each by the player to move. A refused move
    // gives the index of the move and the refusal play() would give.
    static Result<Position> from_moves(std::span<const long long> cells);

    // The record of the position: id 0, no move log. Loading make_checkpoint(record())
    // into a game puts the game in this position.
    const GameRecord& record() const { return record_; }
    const std::array<std::int8_t, kCells>& board() const { return record_.board; }
    // 1 or 2; after the end of the game, the player who would have moved next.
    int to_move() const { return record_.next_player; }
    // 0..8 when every legal cell lies in one roster, else -1 (always -1 once the game is over).
    int forced_roster() const { return forced_; }
    // The legal cells as a set (legal_cells of board.hpp) and as an ascending list.
    CellSet legal_set() const { return nonagame::legal_cells(record_); }
    CellList legal_list() const { return get_available_moves(record_); }
    // 1 or 2 once a player has won, else 0 (also for a draw and a game in progress).
    int winner() const { return record_.winner; }
    bool is_over() const { return record_.available.empty(); }

    std::uint64_t key() const { return key_; }
    // The key computed from scratch; equal to key() (the tests hold the incremental
    // updates to it).
    std::uint64_t recompute_key() const;

    // The position after the player to move plays cell. Refused, with the texts of
    // make_move (MoveError::text()), when the game is over or the move is not legal; a
    // cell outside 0..80 in a game not over is refused with cell_range_message.
    Result<Position> play(long long cell) const;

    // play for a cell known to be in legal_set() of a game not over; no checks.
    Position play_unchecked(int cell) const;

    // The position under symmetry k (symmetry.hpp): board and forced roster mapped, side
    // to move and winner kept.
    Position transformed(int k) const;
    // The eight images, in the order of the symmetries (the identity first).
    std::array<Position, 8> symmetries() const;

    friend bool operator==(const Position& a, const Position& b) {
        return a.key_ == b.key_ && a.forced_ == b.forced_ && a.record_.next_player == b.record_.next_player &&
               a.record_.board == b.record_.board;
    }

private:
    // A settled record; computes the forced roster and the key.
    explicit Position(const GameRecord& record);

    GameRecord record_;
    std::int8_t forced_ = -1;
    std::uint64_t key_ = 0;
};

}  // namespace nonagame

template <>
struct std::hash<nonagame::Position> {
    std::size_t operator()(const nonagame::Position& position) const noexcept {
        return static_cast<std::size_t>(position.key());
    }
};
