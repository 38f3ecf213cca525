// Everything the nonagame module keeps for the life of the process, in one place. Why that
// is sound (a second interpreter is refused) is said in boundary_globals.hpp, which holds
// the boundary library's own items (the PanicException class, the NumPy table).
#pragma once

#include <Python.h>

#include <cstddef>

#include "core_api.hpp"
#include "free_list.hpp"

namespace nonagame::py {

// How many released State objects the State type keeps for reuse (state_type.cpp): the
// match runner makes one per turn and returns them all in one list.
inline constexpr std::size_t kStateFreeListCapacity = 500;

struct NonagameGlobals {
    // The module object, made by the first import and returned by every later one
    // (module.cpp); the process keeps one reference.
    PyObject* module = nullptr;
    // The four classes, created at first use (by module initialisation at the latest).
    PyTypeObject* game_type = nullptr;
    PyTypeObject* player_type = nullptr;
    PyTypeObject* checkpoint_type = nullptr;
    PyTypeObject* state_type = nullptr;
    // Memory of released State objects (state_type.cpp).
    FreeList<kStateFreeListCapacity> state_free_list;
    // The interned name "make_move", looked up on every turn of a Python player (runner.cpp).
    PyObject* make_move_name = nullptr;
    // The interface offered to the lab module through the _core_api capsule (core_api_capsule.cpp).
    CoreApi core_api{};
};

extern NonagameGlobals g_nonagame;

}  // namespace nonagame::py
