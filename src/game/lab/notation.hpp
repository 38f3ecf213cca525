// A one-line text form of a position, and names for the cells.
//
// Notation: the nine rows of the 9x9 grid (symmetry.hpp), top to bottom, separated by
// '/'; in a row, 'x' for a mark of player 1, 'o' for a mark of player 2 and a digit 1-9
// for a run of empty cells (a run is always one digit, as long as it can be); a space and
// the side to move, 'x' or 'o'; a space and the forced roster, a digit 0-8, or '-' for a
// free choice and for a finished game. The opening is "9/9/9/9/9/9/9/9/9 x -".
//
// Cell names: a column letter a-i (left to right on the grid) and a row digit 1-9 (bottom
// to top), so cell 0 is a9, cell 8 is c7 and cell 80 is i1.
#pragma once

#include <string>
#include <string_view>

#include "position.hpp"

namespace nonagame {

std::string notation(const Position& position);

// The position a notation describes. Only the exact form notation() writes is accepted;
// the refusals name the character offset (0-based, in the message and as the index) and
// what was expected there. Text that follows the form but cannot arise in a game is
// refused as well, each case with its own message (index -1):
//   - mark counts that do not fit the side to move (x to move: as many x marks as o
//     marks; o to move: one x mark more);
//   - a roster holding a line of both players;
//   - both players holding a line of won rosters, or a winner who is to move (the
//     winning move ends the game, so the loser is to move);
//   - a forced roster given for a finished game;
//   - a forced roster that is won or full;
//   - '-' while exactly one roster is open: every legal cell lies in it, so it is the
//     forced roster and must be written;
//   - while more than one roster is open, a forced roster r that no move of the player
//     who moved last could have named (that player has no mark at position r of any
//     roster).
// Rosters are settled as the engine settles a loaded snapshot: a line wins a roster, a
// full roster without one is drawn.
Result<Position> parse_notation(std::string_view text);

// The name of a cell 0..80; other numbers are refused with cell_range_message.
Result<std::string> cell_name(long long cell);

// The cell a name denotes; anything but a lower-case column a-i followed by a row 1-9 is refused.
Result<int> cell_index(std::string_view name);

}  // namespace nonagame
