// The settings of a guided search (PUCT), read from the keywords of Searcher and SearchBatch,
// and the memory its node pool takes.
#pragma once

#include <Python.h>

#include <new>

#include "errors.hpp"
#include "search/mcts.hpp"

namespace nonagame::py {

// Sets config's c_puct, dirichlet_alpha, dirichlet_fraction and temperature from the given
// objects (nullptr keeps the default): numbers, c_puct and temperature >= 0, alpha > 0,
// fraction in 0..1 (ValueError outside, TypeError for a bool or a non-number).
void read_guided_settings(mcts::SearchConfig& config, PyObject* c_puct, PyObject* alpha, PyObject* fraction,
                          PyObject* temperature);

// The MemoryError text of a node pool that cannot be had: its nodes, their bytes (20 a
// node, 36 for a search with priors) and what to change.
std::string pool_memory_text(const mcts::SearchConfig& config, bool guided);

// Runs build, which allocates the node pool of config; a failed allocation becomes
// MemoryError(pool_memory_text(...)).
template <class Build>
void building_pool(const mcts::SearchConfig& config, bool guided, Build&& build) {
    try {
        build();
    } catch (const OutOfMemory&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw OutOfMemory(pool_memory_text(config, guided));
    }
}

}  // namespace nonagame::py
