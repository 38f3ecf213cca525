#include "playout.hpp"

#include <array>
#include <cstddef>
#include <optional>

#include "legal_bits.hpp"
#include "lines.hpp"
#include "place.hpp"

namespace nonagame {

namespace {

using legal_bits::PortableBits;
#if NONAGAME_HAVE_PDEP
using legal_bits::PdepBits;
#endif

// The rosters a move can be confined to (those whose status is below 0, as a 9-bit mask)
// when the record is regular: players 1 and 2 alternate, and available holds no cell of a
// decided roster (as ordinary play and positions built from boards keep it). Nothing for
// any other record, which random_to_end_wide below may not play.
std::optional<unsigned> open_rosters_if_regular(const GameRecord& game) {
    if (!has_masks(game.next_player)) return std::nullopt;
    unsigned open = 0;
    for (int r = 0; r < kRosters; ++r) {
        if (game.rosters[static_cast<std::size_t>(r)] < 0) open |= 1U << r;
        else if (game.available.roster_bits(r) != 0) return std::nullopt;
    }
    return open;
}

#if defined(__SIZEOF_INT128__)
__extension__ using Wide = unsigned __int128;

constexpr unsigned roster_of(const Wide& cells, int roster) {
    return static_cast<unsigned>(cells >> (9 * roster)) & 0x1FFU;
}

// A whole game of random moves with the position held in locals: the available set as one
// 128-bit value, the masks in a local copy, the roster statuses a move can be confined to
// in a 9-bit mask. Only the board and the decided rosters are written as the game goes;
// the rest of the record is written back at the end. The moves, their draws and the final
// record are those of play_random_move repeated (place_mark and settle_move): in a regular
// position a move's roster is open, so settling changes its status exactly when the roster
// is won or runs out of cells, and the board is won only through a roster just won.
template <class Bits>
std::int8_t random_to_end_wide(GameRecord& game, Rng& rng, unsigned open, int& last_cell) {
    Rng local = rng;
    Wide available = (Wide{game.available.high_word()} << 64) | game.available.low_word();
    std::array<std::array<std::uint16_t, kRosters>, 2> cells = game.cell_masks;
    std::array<unsigned, 2> won = {game.roster_masks[0], game.roster_masks[1]};
    auto mover = static_cast<unsigned>(game.next_player - 1);
    int target = game.next_roster;
    std::int8_t winner = game.winner;
    std::uint32_t moves = 0;
    int last = last_cell;  // a local, which the board's byte stores cannot alias
    while (available != 0) {
        int roster = target;
        int position = 0;
        unsigned free = 0;  // the roster's available cells
        if (static_cast<unsigned>(target) < 9U && ((open >> target) & 1U)) {
            free = roster_of(available, roster);
            position = Bits::select9(free, static_cast<int>(local.below(static_cast<std::uint32_t>(Bits::count9(free)))));
        } else {
            const auto low = static_cast<std::uint64_t>(available);
            const auto high = static_cast<std::uint64_t>(available >> 64);
            const int in_low = Bits::count(low);
            const auto choice =
                static_cast<int>(local.below(static_cast<std::uint32_t>(in_low + Bits::count(high))));
            const int cell = choice < in_low ? Bits::select(low, choice) : 64 + Bits::select(high, choice - in_low);
            roster = static_cast<int>(static_cast<unsigned>(cell) / 9U);
            position = cell - 9 * roster;
            free = roster_of(available, roster);
        }
        const int cell = 9 * roster + position;
        last = cell;
        const auto r = static_cast<std::size_t>(roster);
        const unsigned bit = 1U << position;
        game.board[static_cast<std::size_t>(cell)] = static_cast<std::int8_t>(mover + 1);
        std::uint16_t& mine = cells[mover][r];
        mine = static_cast<std::uint16_t>(mine | bit);
        cells[mover ^ 1U][r] = static_cast<std::uint16_t>(cells[mover ^ 1U][r] & ~bit);
        available &= ~(Wide{1} << cell);
        free &= ~bit;
        ++moves;
        target = position;
        if ((lines::kWonThrough[mine] >> position) & 1U) {
            game.rosters[r] = static_cast<std::int8_t>(mover + 1);
            open &= ~(1U << roster);
            won[mover] |= 1U << roster;
            available &= ~(Wide{0x1FF} << (9 * roster));
            if ((lines::kWonThrough[won[mover]] >> roster) & 1U) {
                if (winner == 0) winner = static_cast<std::int8_t>(mover + 1);
                available = 0;
            }
        } else if (free == 0) {
            game.rosters[r] = ROSTER_DRAWN;
            open &= ~(1U << roster);
        }
        mover ^= 1U;
    }
    if (moves != 0) {
        game.available.clear();
        game.cell_masks = cells;
        game.roster_masks = {static_cast<std::uint16_t>(won[0]), static_cast<std::uint16_t>(won[1])};
        game.next_player = static_cast<std::int8_t>(mover + 1);
        game.next_roster = static_cast<std::int8_t>(target);
        game.winner = winner;
        game.finished = true;
        game.moves_accepted += moves;
    }
    last_cell = last;
    rng = local;
    return game.winner;
}
#endif

template <class Bits>
std::int8_t random_to_end(GameRecord& game, Rng& rng, int& last_cell) {
#if defined(__SIZEOF_INT128__)
    if (const std::optional<unsigned> open = open_rosters_if_regular(game)) {
        return random_to_end_wide<Bits>(game, rng, *open, last_cell);
    }
#endif
    // Any other record, one checked-free move at a time. The generator is copied in and
    // out so that it lives in registers: the board's byte stores could otherwise alias it.
    Rng local = rng;
    int last = last_cell;
    while (!game.available.empty()) last = legal_bits::random_move<Bits>(game, local);
    last_cell = last;
    rng = local;
    return game.winner;
}

}  // namespace

std::int8_t play_random_to_end(GameRecord& game, Rng& rng, int& last_cell) {
#if NONAGAME_HAVE_PDEP
    if (select_path() == SelectPath::Pdep) return random_to_end<PdepBits>(game, rng, last_cell);
#endif
    return random_to_end<PortableBits>(game, rng, last_cell);
}

std::int8_t play_random_to_end(GameRecord& game, Rng& rng) {
    int last_cell = -1;
    return play_random_to_end(game, rng, last_cell);
}

}  // namespace nonagame
