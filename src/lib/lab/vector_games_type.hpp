// The VectorGames class: n independent games stepped together, their state published in
// read-only NumPy arrays over native memory.
#pragma once

#include <Python.h>

namespace nonagame::py {

PyTypeObject* vector_games_type();

}  // namespace nonagame::py
