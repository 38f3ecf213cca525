// Text forms of a game: the box-drawing grid, set and number formats.
#pragma once

#include <string>
#include <string_view>

#include "record.hpp"

namespace nonagame {

// UTF-8 forms of the box-drawing characters of the grids (this one and State's).
inline constexpr std::string_view kLightVertical = "\xE2\x94\x82";    // U+2502, between cells
inline constexpr std::string_view kHeavyVertical = "\xE2\x94\x83";    // U+2503, between rosters
inline constexpr std::string_view kLightHorizontal = "\xE2\x94\x80";  // U+2500
inline constexpr std::string_view kLightCross = "\xE2\x94\xBC";       // U+253C
inline constexpr std::string_view kHeavyHorizontal = "\xE2\x94\x81";  // U+2501
inline constexpr std::string_view kHeavyCross = "\xE2\x95\x8B";       // U+254B

// The line between two rows of cells in a band of rosters, 35 characters:
// three of U+2500 and U+253C between cells, U+2503 between rosters.
const std::string& thin_rule();

// The line between two bands of rosters, 35 characters: eleven U+2501 a roster, U+254B
// between them.
const std::string& heavy_rule();

// The letters of the marks in render_board: the core module's grid draws player 1 as O and
// player 2 as X; the lab draws player 1 as X and player 2 as O, as its notation does.
enum class BoardLetters : std::uint8_t { kCore, kLab };

// 17 lines of 35 characters joined by newlines, no newline at the end. Won rosters are
// drawn filled with the winner's mark.
std::string render_board(const GameRecord& game, BoardLetters letters = BoardLetters::kCore);

// "{\n    c,\n    ...}" in the set's order, or "{}" when empty.
std::string multiline_set(const CellSet& cells);

// The shortest decimal text that reads back to the same double, always with a fractional
// part ("-1.0"); exponent form ("1e-5", "1e16") below 1e-4 and from 1e16 on.
std::string format_double(double value);

}  // namespace nonagame
