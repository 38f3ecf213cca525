// The position key: a 64-bit Zobrist hash of the board, the side to move and the forced
// roster. The terms are generated at compile time by SplitMix64 (rng.hpp) from a fixed
// seed, so a key means the same position in every process and every build; keys may be
// stored.
// Changing the seed or the order in which the terms are drawn changes every key.
#pragma once

#include <array>
#include <cstdint>

#include "board.hpp"
#include "rng.hpp"

namespace nonagame::zobrist {

inline constexpr std::uint64_t kSeed = 0x6E6F6E6167616D65ULL;

struct Terms {
    std::array<std::array<std::uint64_t, 3>, kCells> mark{};  // [cell][player], [cell][0] = 0
    std::uint64_t o_to_move = 0;                              // present when player 2 is to move
    std::array<std::uint64_t, kRosters + 1> forced{};         // [roster], [kRosters] for a free choice
};

// Drawn in this order: the marks cell by cell (player 1, then 2), the side term, then the
// forced-roster terms 0..8 and the free-choice term.
inline constexpr Terms kTerms = [] {
    Terms terms;
    std::uint64_t state = kSeed;
    for (auto& cell : terms.mark) {
        cell[1] = splitmix64(state);
        cell[2] = splitmix64(state);
    }
    terms.o_to_move = splitmix64(state);
    for (auto& term : terms.forced) term = splitmix64(state);
    return terms;
}();

// player is 1 or 2.
constexpr std::uint64_t mark_term(int cell, int player) { return kTerms.mark[cell][player]; }

constexpr std::uint64_t side_term(int to_move) { return to_move == 2 ? kTerms.o_to_move : 0; }

// forced is a roster 0..8, or -1 for a free choice.
constexpr std::uint64_t forced_term(int forced) { return kTerms.forced[forced < 0 ? kRosters : forced]; }

// The key from scratch; board values other than 1 and 2 are empty cells.
constexpr std::uint64_t full_key(const std::array<std::int8_t, kCells>& board, int to_move, int forced) {
    std::uint64_t key = side_term(to_move) ^ forced_term(forced);
    for (int cell = 0; cell < kCells; ++cell) {
        // 1 and 2 pick their terms, anything else the zero term: no branch on the board.
        const std::int8_t value = board[cell];
        const int player = static_cast<int>(value == 1) | (static_cast<int>(value == 2) << 1);
        key ^= kTerms.mark[cell][player];
    }
    return key;
}

}  // namespace nonagame::zobrist
