// Bit counting and selection for the cell sets: population counts and "the k-th set bit",
// portable (tables and word-parallel arithmetic, usable in constant expressions) and, on
// x86-64, through the BMI2 instruction pdep. The instructions are reached through inline
// assembly so that the library itself is built for any x86-64 machine; callers use them
// only after checking the processor (see SelectPath in legal.hpp).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

// Whether the instruction forms below are compiled in; a macro, as it selects code.
// NOLINTBEGIN(cppcoreguidelines-macro-usage)
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NONAGAME_HAVE_PDEP 1
#else
#define NONAGAME_HAVE_PDEP 0
#endif
// NOLINTEND(cppcoreguidelines-macro-usage)

namespace nonagame::bits {

// Set bits of a word. Without a popcnt instruction in the target (the x86-64 baseline),
// std::popcount becomes a library call in GCC builds; the word-parallel sum is faster.
constexpr int popcount(std::uint64_t word) {
#if defined(__POPCNT__) || !defined(__x86_64__)
    return std::popcount(word);
#else
    word -= (word >> 1) & 0x5555555555555555ULL;
    word = (word & 0x3333333333333333ULL) + ((word >> 2) & 0x3333333333333333ULL);
    word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<int>((word * 0x0101010101010101ULL) >> 56);
#endif
}

namespace detail {

// The index of the k-th set bit of every value of Width bits, for k below the value's
// count, at [Width * value + k].
template <unsigned Width>
constexpr std::array<std::uint8_t, (std::size_t{1} << Width) * Width> select_table() {
    std::array<std::uint8_t, (std::size_t{1} << Width) * Width> table{};
    for (unsigned value = 0; value < (1U << Width); ++value) {
        unsigned k = 0;
        for (unsigned bit = 0; bit < Width; ++bit) {
            if ((value >> bit) & 1U) table[Width * value + k++] = static_cast<std::uint8_t>(bit);
        }
    }
    return table;
}

// For the bytes of a word: kSelectInByte[8 * byte + k].
inline constexpr auto kSelectInByte = select_table<8>();

// For the 9-bit masks of a roster: kSelect9[9 * mask + k].
inline constexpr auto kSelect9 = select_table<9>();

inline constexpr std::array<std::uint8_t, 512> kCount9 = [] {
    std::array<std::uint8_t, 512> table{};
    for (unsigned mask = 0; mask < 512; ++mask) table[mask] = static_cast<std::uint8_t>(std::popcount(mask));
    return table;
}();

}  // namespace detail

// The index of the k-th lowest set bit of word (0 <= k < popcount(word)), without a loop
// over the bits: byte counts summed in parallel locate the byte, a table the bit in it.
constexpr int select(std::uint64_t word, int k) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    std::uint64_t counts = word - ((word >> 1) & 0x5555555555555555ULL);
    counts = (counts & 0x3333333333333333ULL) + ((counts >> 2) & 0x3333333333333333ULL);
    counts = (counts + (counts >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    // Byte i of sums: the set bits in bytes 0..i (at most 64, so no byte overflows).
    const std::uint64_t sums = counts * kOnes;
    // A high bit for every byte whose running sum is at most k: the bytes before the one
    // that holds the k-th bit.
    const auto rank = static_cast<std::uint64_t>(k);
    const std::uint64_t below = ((rank * kOnes | kHighs) - sums) & kHighs;
    // Counting the marked bytes without popcount: each contributes one at bit 56.
    const int byte = static_cast<int>(((below >> 7) * kOnes) >> 56);
    const int shift = 8 * byte;
    // The running sum of the bytes before it (none for byte 0).
    const int before = static_cast<int>(((sums << 8) >> shift) & 0xFF);
    const auto in_byte = static_cast<std::size_t>((word >> shift) & 0xFF);
    return shift + detail::kSelectInByte[8 * in_byte + static_cast<std::size_t>(k - before)];
}

// Set bits and the k-th set bit of a 9-bit roster mask, from tables.
constexpr int count9(unsigned mask) { return detail::kCount9[mask]; }
constexpr int select9(unsigned mask, int k) {
    return detail::kSelect9[9 * static_cast<std::size_t>(mask) + static_cast<std::size_t>(k)];
}

#if NONAGAME_HAVE_PDEP
// Instruction forms; the processor must have BMI1, BMI2 and POPCNT.
namespace x86 {

inline std::uint64_t pdep(std::uint64_t source, std::uint64_t mask) {
    std::uint64_t result = 0;
    __asm__("pdepq %2, %1, %0" : "=r"(result) : "r"(source), "rm"(mask));
    return result;
}

inline int popcount(std::uint64_t word) {
    std::uint64_t result = 0;
    __asm__("popcntq %1, %0" : "=r"(result) : "rm"(word) : "cc");
    return static_cast<int>(result);
}

// Index of the lowest set bit; 64 for zero.
inline int countr_zero(std::uint64_t word) {
    std::uint64_t result = 0;
    __asm__("tzcntq %1, %0" : "=r"(result) : "rm"(word) : "cc");
    return static_cast<int>(result);
}

// The k-th set bit: deposit bit k into the set bits of word, then find it.
inline int select(std::uint64_t word, int k) { return countr_zero(pdep(std::uint64_t{1} << k, word)); }

}  // namespace x86
#endif

}  // namespace nonagame::bits
