// nonagame_lab.playouts and its result type.
#pragma once

#include <Python.h>

namespace nonagame::py {

// PlayoutResult, a named tuple (p1_wins, p2_wins, draws).
PyTypeObject* playout_result_type();

PyMethodDef* playouts_definition();

}  // namespace nonagame::py
