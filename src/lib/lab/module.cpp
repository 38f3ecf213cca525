// Initialisation of nonagame_lab._core, the native part of the lab package.
#include <Python.h>

#include "core_link.hpp"
#include "errors.hpp"
#include "lab_entry.hpp"
#include "grid.hpp"
#include "lab_globals.hpp"
#include "module_support.hpp"
#include "module_functions.hpp"
#include "network_type.hpp"
#include "playout_result_type.hpp"
#include "playouts.hpp"
#include "position_type.hpp"
#include "search/mcts.hpp"
#include "search_batch_type.hpp"
#include "search_result_type.hpp"
#include "searcher_type.hpp"
#include "vector_games_type.hpp"

namespace nonagame::py {

namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "nonagame_lab._core",
    "Native core of nonagame_lab: positions, batched simulation and search.",
    0,  // no per-module state, as for nonagame: a second interpreter is refused
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Cell -> the grid square 9 * row + col where it is drawn (grid.hpp): the one layout that
// the package's pictures and observation planes read.
Ref cell_squares() {
    Ref squares = Ref::checked(PyTuple_New(kCells));
    for (int cell = 0; cell < kCells; ++cell) {
        PyTuple_SET_ITEM(squares.get(), cell, Ref::checked(PyLong_FromLong(cell_square(cell))).release());
    }
    return squares;
}

void populate(PyObject* module) {
    add_class(module, position_type());
    add_class(module, vector_games_type());
    add_class(module, playout_result_type());
    add_class(module, searcher_type());
    add_class(module, search_result_type());
    add_class(module, network_type());
    add_class(module, search_batch_type());
    add_object(module, "DEFAULT_C_PUCT", Ref::checked(PyFloat_FromDouble(mcts::kDefaultCPuct)).get());
    add_object(module, "DEFAULT_EXPLORATION", Ref::checked(PyFloat_FromDouble(mcts::kDefaultExploration)).get());
    add_object(module, "DEFAULT_POOL_NODES",
               Ref::checked(PyLong_FromUnsignedLong(mcts::kDefaultPoolNodes)).get());
    // The limits the arguments are checked against, for Python code that checks or shows
    // them itself (the UGI options) instead of writing the numbers again.
    add_object(module, "MAX_THREADS", Ref::checked(PyLong_FromLong(mcts::kMaxThreads)).get());
    add_object(module, "MIN_POOL_NODES", Ref::checked(PyLong_FromUnsignedLong(mcts::kMinTreeNodes)).get());
    add_object(module, "CELL_COUNT", Ref::checked(PyLong_FromLong(kCells)).get());
    add_object(module, "CELL_SQUARES", cell_squares().get());
    add_function(module, playouts_definition());
    for (PyMethodDef* def = module_functions(); def->ml_name != nullptr; ++def) add_function(module, def);
}

PyObject* init() {
    return module_once(g_lab.module, g_definition, "nonagame_lab", [](PyObject* module) {
        link_core();
        populate(module);
    });
}

}  // namespace

}  // namespace nonagame::py

// The import system derives this name from the module's file name, _core.
PyMODINIT_FUNC PyInit__core() {  // NOLINT(bugprone-reserved-identifier)
    return nonagame::py::lab_entry([] { return nonagame::py::init(); });
}
