// Text forms of a game: the box-drawing grid, set and number formats.
#pragma once

#include <string>

#include "record.hpp"

namespace nonagame {

// 17 lines of 35 characters joined by newlines, no newline at the end. Won rosters are
// drawn filled with the winner's mark.
std::string render_board(const GameRecord& game);

// "{\n    c,\n    ...}" in the set's order, or "{}" when empty.
std::string multiline_set(const CellSet& cells);

// The shortest decimal text that reads back to the same double, always with a fractional
// part ("-1.0"); exponent form ("1e-5", "1e16") below 1e-4 and from 1e16 on.
std::string format_double(double value);

}  // namespace nonagame
