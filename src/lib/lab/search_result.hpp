// A search's result handed to the Python layer, which builds its SearchResult from it.
#pragma once

#include <Python.h>

#include "search/mcts.hpp"

namespace nonagame::py {

// (visits bytes, values bytes, proofs, best_move, value, proof, simulations, seconds, pv,
// priors): ten items; priors is the bytes of 81 float32 when an evaluator guided the search,
// else None.
PyObject* result_tuple(const mcts::SearchResult& result);

}  // namespace nonagame::py
