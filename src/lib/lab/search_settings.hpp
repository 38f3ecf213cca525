// The settings of a guided search (PUCT), read from the keywords of Searcher and SearchBatch.
#pragma once

#include <Python.h>

#include "search/mcts.hpp"

namespace nonagame::py {

// Sets config's c_puct, dirichlet_alpha, dirichlet_fraction and temperature from the given
// objects (nullptr keeps the default): numbers, c_puct and temperature >= 0, alpha > 0,
// fraction in 0..1 (ValueError outside, TypeError for a bool or a non-number).
void read_guided_settings(mcts::SearchConfig& config, PyObject* c_puct, PyObject* alpha, PyObject* fraction,
                          PyObject* temperature);

}  // namespace nonagame::py
