// The SearchResult class: what a search found at its root, an immutable value. Its arrays
// (visits, policy, move_values, priors) are read-only NumPy arrays made on first read; it
// compares equal field by field, hashes, pickles through its constructor and copies as
// itself.
#pragma once

#include <Python.h>

#include "search/mcts.hpp"

namespace nonagame::py {

PyTypeObject* search_result_type();

// A new SearchResult of an engine result. Its policy is the visits normalised (all on
// best_move when nothing was visited); priors is None unless an evaluator guided the search.
PyObject* wrap_search_result(const mcts::SearchResult& result);

}  // namespace nonagame::py
