// Everything the boundary library keeps for the life of the process, in one place.
//
// Process-wide state is sound here because a module built on this library lives in one
// interpreter only: bind_interpreter (module_support.hpp) records the first interpreter
// that imports it and refuses every other with ImportError. So every object kept here (and
// in each module's own globals) belongs to that interpreter, is only touched with its GIL
// held, and needs no per-module state, no locking and no clean-up: like a static type it
// lives until the process ends.
//
// Each extension module links its own copy of this static library (with hidden symbols),
// so each module has its own BoundaryGlobals. The modules share one PanicException class
// through adopt_panic_type.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "record.hpp"

namespace nonagame::py {

inline constexpr std::int64_t kNoInterpreter = -1;  // the main interpreter's id is 0

struct BoundaryGlobals {
    // Id of the interpreter that imported the module first (module_support.cpp). Atomic
    // because interpreters with their own GIL may import concurrently.
    std::atomic<std::int64_t> interpreter{kNoInterpreter};
    // The PanicException class, made or adopted at first need (errors.cpp).
    PyObject* panic_type = nullptr;
    // NumPy's C API table, located at the first array creation (numpy_api.cpp); the
    // capsule that holds it is kept for ever so that the table stays valid.
    void** numpy_table = nullptr;
    // The int objects of the cells 0..80, made at first need (convert.cpp): the legal
    // cells are listed on every move of Python-driven play.
    std::array<PyObject*, kCells> cell_ints{};
};

extern BoundaryGlobals g_boundary;

}  // namespace nonagame::py
