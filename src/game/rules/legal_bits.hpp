// The inline pieces of the legal-move fast paths, shared by legal.cpp and the lab's whole
// random games (lab/playout.cpp): the two ways of counting and selecting bits, the draw of
// a uniformly random legal cell and the unchecked move. Internal to the engine: callers
// outside it use legal.hpp.
#pragma once

#include <cstdint>

#include "bits.hpp"
#include "place.hpp"
#include "record.hpp"
#include "rng.hpp"

namespace nonagame::legal_bits {

// The two ways of counting and selecting bits; the simulation code is written once over them.
struct PortableBits {
    static int count(std::uint64_t word) { return bits::popcount(word); }
    static int select(std::uint64_t word, int k) { return bits::select(word, k); }
    static int count9(unsigned mask) { return bits::count9(mask); }
    static int select9(unsigned mask, int k) { return bits::select9(mask, k); }
};

#if NONAGAME_HAVE_PDEP
// Only for processors where pdep_supported() (legal.hpp) holds.
struct PdepBits {
    static int count(std::uint64_t word) { return bits::x86::popcount(word); }
    static int select(std::uint64_t word, int k) { return bits::x86::select(word, k); }
    static int count9(unsigned mask) { return bits::x86::popcount(mask); }
    static int select9(unsigned mask, int k) { return bits::x86::select(mask, k); }
};
#endif

// A uniformly random legal cell: one draw of rng.below over the legal count, then the cell
// at that index of the ascending legal cells.
template <class Bits>
int random_legal(const GameRecord& game, Rng& rng) {
    const int roster = forced_roster(game);
    if (roster >= 0) {
        const unsigned free = game.available.roster_bits(roster);
        const auto choice = static_cast<int>(rng.below(static_cast<std::uint32_t>(Bits::count9(free))));
        return 9 * roster + Bits::select9(free, choice);
    }
    const std::uint64_t low = game.available.low_word();
    const std::uint64_t high = game.available.high_word();
    const int in_low = Bits::count(low);
    const auto choice = static_cast<int>(rng.below(static_cast<std::uint32_t>(in_low + Bits::count(high))));
    return choice < in_low ? Bits::select(low, choice) : 64 + Bits::select(high, choice - in_low);
}

// Plays a legal cell for the player to move, as play_legal documents.
inline void play_unchecked(GameRecord& game, int cell) {
    const std::int8_t player = game.next_player;
    place_mark(game, cell, player);
    settle_move(game, player, cell);  // an opening move settles nothing
    ++game.moves_accepted;
    if (game.available.empty()) game.finished = true;
}

template <class Bits>
int random_move(GameRecord& game, Rng& rng) {
    const int cell = random_legal<Bits>(game, rng);
    play_unchecked(game, cell);
    return cell;
}

}  // namespace nonagame::legal_bits
