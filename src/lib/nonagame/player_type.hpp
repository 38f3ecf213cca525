// The Player class: a handle to an engine player with its win counter and default move.
// The only class of the module that Python code may subclass.
#pragma once

#include <Python.h>

#include <memory>
#include <string_view>

#include "player/player.hpp"
#include "game_type.hpp"

namespace nonagame::py {

struct PlayerBody {
    BorrowState borrow;
    std::shared_ptr<PlayerBehavior> handle;
};

PyTypeObject* player_type();

// Writes text to the program's standard output as Python code sees it: through
// sys.stdout (write, then flush) so that it keeps its place among Python's own output,
// or straight to file descriptor 1 when sys.stdout is missing or None. Runs Python code:
// callers must hold no borrow and no pointer into a record. Throws ErrorSet when
// sys.stdout fails.
void write_stdout(std::string_view text);

// Prints the line for a default move that the engine refused.
void report_refused_move(const MoveError& error);

}  // namespace nonagame::py
