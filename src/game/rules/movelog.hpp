// The optional per-game move log "games/<id>.txt", appended to after every accepted move
// of a game whose log_enabled is set. The directory is never created.
#pragma once

#include <cstdint>

#include "record.hpp"

namespace nonagame {

// Appends the entry of the move just applied to cell. opening selects the short entry of
// the opening move. A failure to open, write, flush or close raises a Fault whose text
// begins "called `Result::unwrap()` on an `Err` value".
void append_move_log(const GameRecord& game, std::int8_t cell, bool opening);

}  // namespace nonagame
