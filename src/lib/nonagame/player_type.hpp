// The Player class: a handle to an engine player with its win counter and default move.
// The only class of the module that Python code may subclass.
#pragma once

#include <Python.h>

#include <memory>

#include "player/player.hpp"
#include "game_type.hpp"

namespace nonagame::py {

struct PlayerBody {
    BorrowState borrow;
    std::shared_ptr<PlayerBehavior> handle;
};

PyTypeObject* player_type();

// Prints the line for a default move that the engine refused, through write_stdout
// (python_stdout.hpp): runs Python code.
void report_refused_move(const MoveError& error);

}  // namespace nonagame::py
