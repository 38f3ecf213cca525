// A fixed set of cells 0..80 kept as 81 bits in two words, so that copying a position
// is a plain value copy. Iteration is in ascending cell order.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "bits.hpp"

namespace nonagame {

class CellSet {
public:
    constexpr CellSet() = default;

    static constexpr CellSet full() {
        CellSet s;
        s.lo_ = ~std::uint64_t{0};
        s.hi_ = (std::uint64_t{1} << 17) - 1;
        return s;
    }
    // The set whose cells 0..63 are the bits of low and cells 64..80 the low bits of high.
    static constexpr CellSet from_words(std::uint64_t low, std::uint64_t high) {
        CellSet s;
        s.lo_ = low;
        s.hi_ = high & ((std::uint64_t{1} << 17) - 1);
        return s;
    }
    // The nine cells of roster r (0..8), from a table: the rules ask for it on every move.
    static constexpr CellSet roster(int r);

    // Cells must be 0..80; callers check the range before calling.
    constexpr bool contains(int cell) const { return ((cell < 64 ? lo_ : hi_) & bit_of(cell)) != 0; }
    constexpr void insert(int cell) { (cell < 64 ? lo_ : hi_) |= bit_of(cell); }
    constexpr void erase(int cell) { (cell < 64 ? lo_ : hi_) &= ~bit_of(cell); }
    constexpr void erase_all(const CellSet& other) {
        lo_ &= ~other.lo_;
        hi_ &= ~other.hi_;
    }
    // The cells in both sets.
    constexpr CellSet operator&(const CellSet& other) const {
        CellSet s;
        s.lo_ = lo_ & other.lo_;
        s.hi_ = hi_ & other.hi_;
        return s;
    }
    constexpr bool intersects(const CellSet& other) const {
        return (lo_ & other.lo_) | (hi_ & other.hi_);
    }
    constexpr void clear() { lo_ = hi_ = 0; }
    constexpr bool empty() const { return (lo_ | hi_) == 0; }
    constexpr int size() const { return bits::popcount(lo_) + bits::popcount(hi_); }

    // Calls f(cell) for every cell in ascending order.
    template <class F>
    constexpr void for_each(F&& f) const {
        for (std::uint64_t w = lo_; w; w &= w - 1) f(std::countr_zero(w));
        for (std::uint64_t w = hi_; w; w &= w - 1) f(64 + std::countr_zero(w));
    }

    // The cell at index k (0 <= k < size()) of the ascending order that for_each visits.
    constexpr int nth(int k) const {
        const int in_low = bits::popcount(lo_);
        return k < in_low ? bits::select(lo_, k) : 64 + bits::select(hi_, k - in_low);
    }

    // The cells of roster r (0..8) as a 9-bit mask: bit p = cell 9 * r + p. Roster 7
    // straddles the two words.
    constexpr unsigned roster_bits(int r) const {
        const auto shift = static_cast<unsigned>(9 * r);
        std::uint64_t word = shift < 64 ? lo_ >> shift : hi_ >> ((shift - 64) & 63U);
        if (shift == 63) word |= hi_ << 1;
        return static_cast<unsigned>(word & 0x1FF);
    }

    constexpr std::uint64_t low_word() const { return lo_; }
    constexpr std::uint64_t high_word() const { return hi_; }

    friend constexpr bool operator==(const CellSet&, const CellSet&) = default;

private:
    // The bit of cell in its word (cells 0..63 in lo_, 64..80 in hi_): cell % 64 for the
    // cells of the set. Taken as cell & 63, so that the shift stays below 64 whatever the
    // argument and an out-of-range cell cannot make the shift itself undefined.
    static constexpr std::uint64_t bit_of(int cell) { return std::uint64_t{1} << (cell & 63); }

    std::uint64_t lo_ = 0;
    std::uint64_t hi_ = 0;
};

namespace detail {

inline constexpr std::array<CellSet, 9> kRosterCells = [] {
    std::array<CellSet, 9> sets{};
    for (int r = 0; r < 9; ++r) {
        for (int c = 9 * r; c < 9 * r + 9; ++c) sets[static_cast<std::size_t>(r)].insert(c);
    }
    return sets;
}();

}  // namespace detail

constexpr CellSet CellSet::roster(int r) { return detail::kRosterCells[static_cast<std::size_t>(r)]; }

}  // namespace nonagame
