// The Searcher class: a native Monte Carlo tree search that keeps its tree between runs.
#pragma once

#include <Python.h>

namespace nonagame::py {

PyTypeObject* searcher_type();

}  // namespace nonagame::py
