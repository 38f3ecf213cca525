// Line tables shared by the outcome rules: the eight lines of a 3x3 grid, used both for
// the cells of a roster and for the rosters of the board.
#pragma once

#include <array>
#include <cstdint>

namespace nonagame::lines {

// Each line as a 9-bit mask of positions (bit p = position p).
inline constexpr std::array<std::uint16_t, 8> kLines = {
    0b000'000'111, 0b000'111'000, 0b111'000'000,  // rows
    0b001'001'001, 0b010'010'010, 0b100'100'100,  // columns
    0b100'010'001, 0b001'010'100,                 // diagonals
};

// For every 9-bit set of held positions, the positions through which some fully held
// line passes (bit p set = a complete line runs through position p).
inline constexpr std::array<std::uint16_t, 512> kWonThrough = [] {
    std::array<std::uint16_t, 512> table{};
    for (unsigned held = 0; held < 512; ++held) {
        unsigned through = 0;
        for (const std::uint16_t line : kLines) {
            if ((held & line) == line) through |= line;
        }
        table[held] = static_cast<std::uint16_t>(through);
    }
    return table;
}();

// The 9-bit mask of the entries of a 3x3 group equal to value.
inline unsigned held_mask(const std::int8_t* group, std::int8_t value) {
    unsigned mask = 0;
    for (unsigned p = 0; p < 9; ++p) mask |= static_cast<unsigned>(group[p] == value) << p;
    return mask;
}

inline bool has_line(const std::int8_t* group, std::int8_t value) {
    return kWonThrough[held_mask(group, value)] != 0;
}

inline bool has_line_through(const std::int8_t* group, std::int8_t value, int position) {
    return (kWonThrough[held_mask(group, value)] >> position) & 1U;
}

}  // namespace nonagame::lines
