// PlayoutResult, the named tuple (p1_wins, p2_wins, draws) that playouts returns.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

namespace nonagame::py {

PyTypeObject* playout_result_type();

// A new PlayoutResult for counts indexed by the engine's outcome (0 a draw, 1 or 2 the
// winner).
PyObject* make_playout_result(const std::array<std::int64_t, 3>& counts);

}  // namespace nonagame::py
