// The Position class: an immutable position value with equality, hashing, pickling,
// notation and symmetries.
#pragma once

#include <Python.h>

#include "board.hpp"
#include "position.hpp"

namespace nonagame::py {

PyTypeObject* position_type();

bool is_position(PyObject* object);

// The value of a Position object (which is never changed after it is made).
const Position& position_value(PyObject* object);

// A new Position object holding value.
PyObject* wrap_position(const Position& position);

// A new Position for a game record (re-settled from its board); ValueError when the record
// is not a position (a player to move other than 1 or 2).
PyObject* wrap_position_record(const GameRecord& record);

}  // namespace nonagame::py
