// The Checkpoint class: a saved position that Python code keeps and loads into any game,
// and State.to_checkpoint (Game's checkpoint methods are in game_type.cpp).
#pragma once

#include <Python.h>

#include "borrow.hpp"
#include "checkpoint.hpp"

namespace nonagame::py {

struct CheckpointBody {
    BorrowState borrow;
    CheckpointRecord record;  // never changed after the object is made
};

PyTypeObject* checkpoint_type();

// A new Checkpoint holding a copy of record.
PyObject* wrap_checkpoint(const CheckpointRecord& record);

// The position a State shows, rebuilt from its arrays as they are now (State.to_checkpoint).
// Takes the State's shared borrow; runs no Python code.
CheckpointRecord state_position(PyObject* self);

// State.to_checkpoint(): METH_NOARGS.
PyObject* state_to_checkpoint(PyObject* self, PyObject*);

}  // namespace nonagame::py
