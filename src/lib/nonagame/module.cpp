// Module initialisation: binds the module to the first interpreter that imports it,
// creates it once and returns the same object on every later import (module_once).
#include <Python.h>

#include "checkpoint_type.hpp"
#include "core_api.hpp"
#include "core_api_capsule.hpp"
#include "errors.hpp"
#include "game_type.hpp"
#include "module_support.hpp"
#include "nonagame_globals.hpp"
#include "player_type.hpp"
#include "runner.hpp"
#include "state_type.hpp"

namespace nonagame::py {

namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "nonagame",
    "Nine-board tic-tac-toe: a Python module with a native implementation.",
    0,  // no per-module state: the init function runs again in another interpreter
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

void populate(PyObject* module) {
    add_class(module, game_type());
    add_class(module, player_type());
    add_class(module, checkpoint_type());
    add_class(module, state_type());
    add_function(module, play_game_definition());
    add_function(module, play_multiple_games_definition());
    // The distribution's version, as its metadata gives it (not in __all__). Compiled in
    // rather than read through importlib.metadata, which importing the module would then load.
    if (PyModule_AddStringConstant(module, "__version__", NONAGAME_VERSION) < 0) throw ErrorSet{};
    // For the lab module only: a private attribute, not in __all__.
    Ref capsule = Ref::steal(make_core_api_capsule());
    if (PyModule_AddObjectRef(module, kCoreApiAttribute, capsule.get()) < 0) throw ErrorSet{};
}

}  // namespace

}  // namespace nonagame::py

PyMODINIT_FUNC PyInit_nonagame() {
    using namespace nonagame::py;
    return entry([] { return module_once(g_nonagame.module, g_definition, "nonagame", populate); });
}
