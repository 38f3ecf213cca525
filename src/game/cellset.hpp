// A fixed set of cells 0..80 kept as 81 bits in two words, so that copying a position
// is a plain value copy. Iteration is in ascending cell order.
#pragma once

#include <bit>
#include <cstdint>

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
    // The nine cells of roster r.
    static constexpr CellSet roster(int r) {
        CellSet s;
        const int first = 9 * r;
        for (int c = first; c < first + 9; ++c) s.insert(c);
        return s;
    }

    // Cells must be 0..80; callers check the range before calling.
    constexpr bool contains(int cell) const {
        return cell < 64 ? (lo_ >> cell) & 1 : (hi_ >> (cell - 64)) & 1;
    }
    constexpr void insert(int cell) {
        if (cell < 64) lo_ |= std::uint64_t{1} << cell;
        else hi_ |= std::uint64_t{1} << (cell - 64);
    }
    constexpr void erase(int cell) {
        if (cell < 64) lo_ &= ~(std::uint64_t{1} << cell);
        else hi_ &= ~(std::uint64_t{1} << (cell - 64));
    }
    constexpr void erase_all(const CellSet& other) {
        lo_ &= ~other.lo_;
        hi_ &= ~other.hi_;
    }
    constexpr bool intersects(const CellSet& other) const {
        return (lo_ & other.lo_) | (hi_ & other.hi_);
    }
    constexpr void clear() { lo_ = hi_ = 0; }
    constexpr bool empty() const { return (lo_ | hi_) == 0; }
    constexpr int size() const { return std::popcount(lo_) + std::popcount(hi_); }

    // Calls f(cell) for every cell in ascending order.
    template <class F>
    constexpr void for_each(F&& f) const {
        for (std::uint64_t w = lo_; w; w &= w - 1) f(std::countr_zero(w));
        for (std::uint64_t w = hi_; w; w &= w - 1) f(64 + std::countr_zero(w));
    }

    constexpr std::uint64_t low_word() const { return lo_; }
    constexpr std::uint64_t high_word() const { return hi_; }

    friend constexpr bool operator==(const CellSet&, const CellSet&) = default;

private:
    std::uint64_t lo_ = 0;
    std::uint64_t hi_ = 0;
};

}  // namespace nonagame
