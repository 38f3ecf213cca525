// The lab module's process-wide objects, gathered here as nonagame_globals.hpp gathers the
// core module's; boundary_globals.hpp says why one copy per process is sound (a second
// interpreter is refused) and holds what the boundary keeps for both modules.
#pragma once

#include <Python.h>

#include "core_api.hpp"

namespace nonagame::py {

struct LabGlobals {
    // Taken from nonagame's _core_api capsule when the module is imported (core_link.cpp);
    // it points into static data of nonagame, which stays loaded until the process ends.
    const CoreApi* core = nullptr;
    // nonagame_lab._core itself: module.cpp makes it once and hands it to every import.
    PyObject* module = nullptr;
    // Heap types, each made by its first use: Position, VectorGames, Searcher, SearchResult, the
    // PlayoutResult struct sequence, and the hidden owner of native array memory
    // (native_arrays.cpp).
    PyTypeObject* position_type = nullptr;
    PyTypeObject* vector_games_type = nullptr;
    PyTypeObject* searcher_type = nullptr;
    PyTypeObject* search_result_type = nullptr;
    PyTypeObject* playout_result_type = nullptr;
    PyTypeObject* block_type = nullptr;
    // Two NumPy functions, looked up when an array is first read (asarray, cell_array.cpp)
    // or made (frombuffer, native_arrays.cpp).
    PyObject* asarray = nullptr;
    PyObject* frombuffer = nullptr;
};

extern LabGlobals g_lab;

}  // namespace nonagame::py
