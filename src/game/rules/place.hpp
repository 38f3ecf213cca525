// Writing a move into a record, shared by make_move, play_legal and the playouts: the mark
// with its masks, then the settling of its roster and of the board. Inline, as it runs on
// every move of a simulation.
//
// Marks of players 1 and 2 are tested through the record's masks (one table lookup per
// line test); any other player id, which only a position built for such an id can bring to
// the board, is tested by reading the board itself, with the same results.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lines.hpp"
#include "record.hpp"

namespace nonagame {

// Whether the masks of the record cover player's marks.
constexpr bool has_masks(std::int8_t player) { return player == 1 || player == 2; }

// A roster the next move is confined to, or -1 when the mover may play in any roster:
// before the opening move, when the target roster is decided, and for a next_roster
// outside 0..8 (only a loaded checkpoint can hold one).
inline int forced_roster(const GameRecord& game) {
    const int roster = game.next_roster;
    if (roster < 0 || roster >= kRosters) return -1;
    return game.rosters[static_cast<std::size_t>(roster)] < 0 ? roster : -1;
}

// The status a roster takes after a change to its cells, given whether a line of owner's
// now runs through it: a won roster takes owner and its cells leave available; otherwise a
// roster without an available cell left is drawn; otherwise it keeps status. Shared by the
// settling after a move and by positions built from a board.
inline std::int8_t settle_roster(CellSet& available, int roster, std::int8_t status, bool won,
                                 std::int8_t owner) {
    if (won) {
        available.erase_all(CellSet::roster(roster));
        return owner;
    }
    return available.roster_bits(roster) == 0 ? ROSTER_DRAWN : status;
}

inline void set_roster_status(GameRecord& game, int roster, std::int8_t status) {
    const auto r = static_cast<std::size_t>(roster);
    const unsigned bit = 1U << roster;
    game.rosters[r] = status;
    for (std::size_t i = 0; i < 2; ++i) {
        const unsigned held = status == static_cast<std::int8_t>(i + 1) ? bit : 0U;
        game.roster_masks[i] = static_cast<std::uint16_t>((game.roster_masks[i] & ~bit) | held);
    }
}

// Writes player's mark into cell (board and masks), takes the cell out of available and
// passes the turn: the opponent moves next, in the roster named by the cell's position.
inline void place_mark(GameRecord& game, int cell, std::int8_t player) {
    const auto r = static_cast<std::size_t>(cell / 9);
    const int position = cell % 9;
    const unsigned bit = 1U << position;
    game.board[static_cast<std::size_t>(cell)] = player;
    for (std::size_t i = 0; i < 2; ++i) {
        const unsigned held = player == static_cast<std::int8_t>(i + 1) ? bit : 0U;
        game.cell_masks[i][r] = static_cast<std::uint16_t>((game.cell_masks[i][r] & ~bit) | held);
    }
    game.available.erase(cell);
    game.next_player = player == 1 ? 2 : 1;
    game.next_roster = static_cast<std::int8_t>(position);
}

// Whether player owns every cell of some line of cell's roster through cell's position.
inline bool line_through_cell(const GameRecord& game, std::int8_t player, int cell) {
    const int roster = cell / 9;
    const int position = cell % 9;
    if (has_masks(player)) {
        const std::uint16_t held = game.cell_masks[static_cast<std::size_t>(player - 1)][static_cast<std::size_t>(roster)];
        return (lines::kWonThrough[held] >> position) & 1U;
    }
    return lines::has_line_through(game.board.data() + std::ptrdiff_t{9} * roster, player, position);
}

// Whether player has won every roster of some line of rosters through roster.
inline bool line_through_roster(const GameRecord& game, std::int8_t player, int roster) {
    if (has_masks(player)) {
        return (lines::kWonThrough[game.roster_masks[static_cast<std::size_t>(player - 1)]] >> roster) & 1U;
    }
    return lines::has_line_through(game.rosters.data(), player, roster);
}

// Settles the roster of player's mark just placed in cell and then the board: a won roster
// takes the mover's id and its cells leave available; a roster with no available cell left
// is drawn; a line of three rosters sets winner and empties available.
inline void settle_move(GameRecord& game, std::int8_t player, int cell) {
    const int roster = cell / 9;
    const std::int8_t before = game.rosters[static_cast<std::size_t>(roster)];
    const std::int8_t status =
        settle_roster(game.available, roster, before, line_through_cell(game, player, cell), player);
    if (status != before) set_roster_status(game, roster, status);
    // Every line of rosters through this roster contains it: unless the mover holds it
    // (in practice: has just won it), no line can be complete and the test is skipped.
    if (status == player && line_through_roster(game, player, roster)) {
        // A decided game keeps its first winner; the line still closes the board.
        if (game.winner == 0) game.winner = player;
        game.available.clear();
    }
}

}  // namespace nonagame
