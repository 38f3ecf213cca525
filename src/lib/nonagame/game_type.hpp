// The Game class: one game, its record guarded by a borrow state.
#pragma once

#include <Python.h>

#include "board.hpp"
#include "borrow.hpp"
#include "heap_type.hpp"

namespace nonagame::py {

struct GameBody {
    BorrowState borrow;
    GameRecord record;
};

PyTypeObject* game_type();

// A copy of the game's record, taken under its shared borrow (RuntimeError while a writer
// holds it). Runs no Python code and makes no Python object.
GameRecord game_record(PyObject* game);

// A new Game instance holding record.
PyObject* wrap_game(const GameRecord& record);

}  // namespace nonagame::py
