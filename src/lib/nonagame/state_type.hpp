// The State class: a read-only snapshot of a position whose board and legal cells are
// NumPy int8 arrays.
#pragma once

#include <Python.h>

#include <cstdint>

#include "board.hpp"
#include "pyref.hpp"
#include "game_type.hpp"

namespace nonagame::py {

struct StateBody {
    BorrowState borrow;
    Ref board;           // numpy.ndarray of int8, shape (81,) when made
    Ref possible_moves;  // numpy.ndarray of int8, shape (n,) when made
    std::int8_t player_id = 0;
};

PyTypeObject* state_type();

// What a State holds, with references of its own to the arrays, taken under the State's
// shared borrow; Python code may then reshape or re-type the arrays, but not replace them.
struct StateContents {
    Ref board;
    Ref possible_moves;
    std::int8_t player_id = 0;
};
StateContents state_contents(PyObject* state);

// A new State holding fresh copies of the record's board, player to move and legal cells.
// Locates NumPy on first use (an import, which runs Python code: callers hold no borrow);
// raises a Fault when NumPy cannot be reached or an array cannot be made.
PyObject* make_snapshot(const GameRecord& record);

}  // namespace nonagame::py
