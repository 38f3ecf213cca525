// The Player class: an engine player record (id and win counter) and its default move.
// The only class of the module that Python code may subclass.
#pragma once

#include <Python.h>

#include "player/player.hpp"
#include "game_type.hpp"

namespace nonagame::py {

struct PlayerBody {
    BorrowState borrow;
    PlayerRecord record;
};

PyTypeObject* player_type();

// Prints the line for a default move that the engine refused, through write_stdout
// (python_stdout.hpp): runs Python code.
void report_refused_move(const MoveError& error);

}  // namespace nonagame::py
