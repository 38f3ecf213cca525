// Everything the lab module keeps for the life of the process, in one place. Why that is
// sound (a second interpreter is refused) is said in boundary_globals.hpp, which holds the
// boundary library's own items (the PanicException class, the NumPy table, the cell ints).
#pragma once

#include <Python.h>

#include "core_api.hpp"

namespace nonagame::py {

struct LabGlobals {
    // The module object, made by the first import and returned by every later one
    // (module.cpp); the process keeps one reference.
    PyObject* module = nullptr;
    // The classes, created at first use (by module initialisation at the latest).
    PyTypeObject* position_type = nullptr;
    PyTypeObject* vector_games_type = nullptr;
    PyTypeObject* searcher_type = nullptr;
    PyTypeObject* playout_result_type = nullptr;
    // The exporter of native memory that the batch arrays view (native_arrays.cpp).
    PyTypeObject* block_type = nullptr;
    // numpy.asarray and numpy.frombuffer, looked up at first need (cell_array.cpp,
    // native_arrays.cpp).
    PyObject* asarray = nullptr;
    PyObject* frombuffer = nullptr;
    // The nonagame module's interface, taken from its capsule at import (core_link.cpp);
    // its data is static in that module, which the process never unloads.
    const CoreApi* core = nullptr;
};

extern LabGlobals g_lab;

}  // namespace nonagame::py
