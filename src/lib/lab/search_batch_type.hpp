// nonagame_lab._core.SearchBatch: many guided searches whose leaves a Python evaluator
// evaluates once a round.
#pragma once

#include <Python.h>

namespace nonagame::py {

PyTypeObject* search_batch_type();

}  // namespace nonagame::py
