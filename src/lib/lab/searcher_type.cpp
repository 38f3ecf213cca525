#include "searcher_type.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "args.hpp"
#include "borrow.hpp"
#include "errors.hpp"
#include "lab_entry.hpp"
#include "gil.hpp"
#include "heap_type.hpp"
#include "lab_args.hpp"
#include "lab_globals.hpp"
#include "search/mcts.hpp"
#include "network_link.hpp"
#include "search/network_evaluator.hpp"
#include "search_result_type.hpp"
#include "search_settings.hpp"

namespace nonagame::py {

namespace {

// How long a search runs before it first takes the interpreter lock back to run signal
// handlers, and the least time between two such polls.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

struct SearcherBody {
    BorrowState borrow;
    // Declared before the search, which uses it, so that it is destroyed after.
    std::unique_ptr<mcts::NetworkEvaluator> evaluator;
    std::optional<mcts::Search> search;
    std::atomic<bool> stop{false};
    bool has_position = false;
};

SearcherBody& body(PyObject* self) { return Instance<SearcherBody>::of(self); }

// std::invalid_argument from the search is a caller's mistake: ValueError.
template <class F>
auto invalid_argument_as_value_error(F&& f) {
    try {
        return f();
    } catch (const std::invalid_argument& error) {
        raise(PyExc_ValueError, error.what());
    }
}

constexpr Params<9> kNewParams{"Searcher.__new__()",
                               {"exploration", "pool_nodes", "threads", "seed", "network", "c_puct", "dirichlet_alpha",
                                "dirichlet_fraction", "temperature"},
                               0, 0};
constexpr Params<3> kRunParams{"Searcher.run()", {"simulations", "seconds", "infinite"}, 0, 0};

PyObject* searcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return lab_entry([&] {
        auto [exploration, pool_object, threads_object, seed_object, network_object, c_puct, alpha, fraction,
              temperature] = parse(kNewParams, args, kwargs);
        mcts::SearchConfig config;
        if (exploration != nullptr) config.exploration = nonnegative_real(exploration, "exploration");
        if (pool_object != nullptr && pool_object != Py_None) {
            const std::int64_t nodes = count_value(pool_object, "pool_nodes");
            if (nodes < mcts::kMinTreeNodes || nodes > 0xFFFFFFFFLL) {
                raise(PyExc_ValueError, "argument 'pool_nodes': expected a node count in " +
                                            std::to_string(mcts::kMinTreeNodes) + "..4294967295");
            }
            config.pool_nodes = static_cast<std::uint32_t>(nodes);
        }
        config.threads = thread_count(threads_object, "threads");
        config.seed = seed_value(seed_object, "seed");
        read_guided_settings(config, c_puct, alpha, fraction, temperature);
        std::shared_ptr<const net::Network> network = network_value(network_object, "network");
        Ref self = Ref::steal(allocate<SearcherBody>(type));
        SearcherBody& b = body(self.get());
        if (network) {
            b.evaluator = std::make_unique<mcts::NetworkEvaluator>(std::move(network), config.threads);
            config.evaluator = b.evaluator.get();
        }
        building_pool(config, config.evaluator != nullptr,
                      [&] { invalid_argument_as_value_error([&] { b.search.emplace(config); }); });
        return self.release();
    });
}

PyObject* set_position(PyObject* self, PyObject* position) {
    return lab_entry([&]() -> PyObject* {
        const GameRecord record = position_record(position, "position");
        SearcherBody& b = body(self);
        ExclusiveBorrow borrow(b.borrow);
        b.search->set_position(record);
        b.has_position = true;
        Py_RETURN_NONE;
    });
}

PyObject* advance(PyObject* self, PyObject* cell_object) {
    return lab_entry([&]() -> PyObject* {
        const int cell = cell_value(cell_object, "cell");
        SearcherBody& b = body(self);
        std::optional<std::string> error;
        {
            ExclusiveBorrow borrow(b.borrow);
            if (!b.has_position) {
                error = "set_position() first";
            } else {
                try {
                    b.search->advance(cell);
                } catch (const std::invalid_argument& e) {
                    error = e.what();
                }
            }
        }
        if (error) raise(PyExc_ValueError, *error);
        Py_RETURN_NONE;
    });
}

// Budget::poll of a run, on the calling thread: takes the interpreter lock back to run pending
// signal handlers, and when one raises (KeyboardInterrupt for Ctrl-C) raises the stop flag, so
// that the search returns at its next simulation and the exception goes up. While another
// Python thread holds the lock, the wait for it is time the search does not run, so the next
// poll comes no sooner than 30 times that wait after it (at most about 3% of the search).
struct SignalPoll {
    ReleasedGil& released;
    std::atomic<bool>& stop;
    bool interrupted = false;
};

std::chrono::steady_clock::duration poll_signals(void* context) noexcept {
    SignalPoll& poll = *static_cast<SignalPoll*>(context);
    if (poll.interrupted) return kSignalPoll;
    const auto start = std::chrono::steady_clock::now();
    if (poll.released.with_gil([] { return PyErr_CheckSignals(); }) < 0) {
        poll.interrupted = true;
        poll.stop.store(true);
    }
    const std::chrono::steady_clock::duration waited = std::chrono::steady_clock::now() - start;
    return std::max<std::chrono::steady_clock::duration>(kSignalPoll, 30 * waited);
}

// Runs the search on the calling thread without the interpreter lock, polling for signals
// every kSignalPoll (a search shorter than that never takes the lock back).
mcts::SearchResult run_interruptible(SearcherBody& b, mcts::Budget budget) {
    std::optional<mcts::SearchResult> result;
    std::exception_ptr failure;
    bool interrupted = false;
    {
        ReleasedGil released;
        SignalPoll poll{released, b.stop};
        budget.poll = poll_signals;
        budget.poll_context = &poll;
        budget.poll_after = kSignalPoll;
        try {
            result = b.search->run(budget);
        } catch (...) {
            failure = std::current_exception();
        }
        interrupted = poll.interrupted;
    }
    if (interrupted) throw ErrorSet{};
    if (failure) std::rethrow_exception(failure);
    return *result;
}

// The budget of run(): exactly one of simulations, seconds or infinite.
mcts::Budget parse_budget(PyObject* simulations, PyObject* seconds, bool infinite) {
    mcts::Budget budget;
    if (simulations != nullptr && simulations != Py_None) {
        const std::int64_t count = count_value(simulations, "simulations");
        // A search of no simulations would answer with a move it never looked at.
        if (count == 0) raise(PyExc_ValueError, "argument 'simulations': expected a count >= 1, got 0");
        budget.simulations = static_cast<std::uint64_t>(count);
    }
    if (seconds != nullptr && seconds != Py_None) {
        if (PyBool_Check(seconds)) {
            raise(PyExc_TypeError, "argument 'seconds': expected a number of seconds, got 'bool'");
        }
        budget.seconds = nonnegative_real(seconds, "seconds");
    }
    const int limits = (budget.simulations ? 1 : 0) + (budget.seconds ? 1 : 0) + (infinite ? 1 : 0);
    if (limits != 1) raise(PyExc_ValueError, "give exactly one budget: simulations, seconds or infinite=True");
    return budget;
}

PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return lab_entry([&] {
        auto [simulations, seconds, infinite] = parse(kRunParams, args, nargs, kwnames);
        const int infinite_flag = infinite != nullptr ? PyObject_IsTrue(infinite) : 0;
        if (infinite_flag < 0) throw ErrorSet{};
        mcts::Budget budget = parse_budget(simulations, seconds, infinite_flag != 0);
        SearcherBody& b = body(self);
        if (!b.has_position) raise(PyExc_ValueError, "set_position() first");
        budget.stop = &b.stop;
        mcts::SearchResult result;
        {
            ExclusiveBorrow borrow(b.borrow);
            // A finished root leaves best_move at -1: refused below, once the borrow is back.
            if (!mcts::is_over(b.search->position())) {
                b.stop.store(false);
                result = invalid_argument_as_value_error([&] { return run_interruptible(b, budget); });
            }
        }
        if (result.best_move < 0) raise(PyExc_ValueError, "the position is already over: there is nothing to search");
        return wrap_search_result(result);
    });
}

PyObject* current_result(PyObject* self, PyObject*) {
    return lab_entry([&] {
        SearcherBody& b = body(self);
        if (!b.has_position) raise(PyExc_ValueError, "set_position() first");
        const mcts::SearchResult result = [&] {
            SharedBorrow borrow(b.borrow);
            return b.search->result();
        }();
        return wrap_search_result(result);
    });
}

PyObject* stop(PyObject* self, PyObject*) {
    body(self).stop.store(true);
    Py_RETURN_NONE;
}

PyObject* simulations_done(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(body(self).search->simulations_done());
}

PyObject* nodes_used(PyObject* self, void*) {
    return lab_entry([&] {
        SharedBorrow borrow(body(self).borrow);
        return PyLong_FromUnsignedLongLong(body(self).search->nodes_used());
    });
}

PyObject* pool_capacity(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(body(self).search->pool_capacity());
}

PyObject* check_tree(PyObject* self, PyObject*) {
    return lab_entry([&] {
        const std::string fault = [&] {
            SharedBorrow borrow(body(self).borrow);
            return body(self).search->check_tree();
        }();
        return PyUnicode_FromStringAndSize(fault.data(), static_cast<Py_ssize_t>(fault.size()));
    });
}

PyMethodDef kMethods[] = {
    {"set_position", set_position, METH_O,
     "set_position($self, position, /)\n--\n\n"
     "Makes position (a Position, nonagame.Game or nonagame.State) the root. The tree is kept\n"
     "when the position is the current root or lies one or two moves below it."},
    {"advance", advance, METH_O,
     "advance($self, cell, /)\n--\n\nPlays cell at the root and keeps its subtree."},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_FASTCALL | METH_KEYWORDS,
     "run($self, /, *, simulations=None, seconds=None, infinite=False)\n--\n\n"
     "Searches the root within exactly one budget, without the interpreter lock, and returns\n"
     "its SearchResult. stop() from another thread or Ctrl-C ends it early. A budget of zero\n"
     "simulations is refused with ValueError, and so is a bool for either budget (TypeError)."},
    {"result", current_result, METH_NOARGS,
     "result($self, /)\n--\n\nThe SearchResult of the tree as it stands, without searching."},
    {"stop", stop, METH_NOARGS,
     "stop($self, /)\n--\n\nAsks a running search to end at its next simulation; safe from any thread."},
    {"check_tree", check_tree, METH_NOARGS,
     "check_tree($self, /)\n--\n\nAn empty string when the trees are consistent, else the first fault found."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"simulations_done", simulations_done, nullptr,
     "Simulations of the current run so far (of the last run once it has returned); safe from any thread.",
     nullptr},
    {"nodes_used", nodes_used, nullptr, "Nodes of the pool in use by the trees.", nullptr},
    {"pool_capacity", pool_capacity, nullptr, "Nodes of the pool.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(searcher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SearcherBody>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(
         "Searcher(*, exploration=0.7, pool_nodes=4194304, threads=1, seed=None, network=None,\n"
         "         c_puct=1.5, dirichlet_alpha=0.3, dirichlet_fraction=0.0, temperature=0.0)\n--\n\n"
         "Monte Carlo tree search (UCT with random playouts and proven results) over a fixed pool\n"
         "of nodes, kept between runs so that the subtree of the moves played is reused. With a\n"
         "network, PUCT over its priors with its values backed up (no playouts).")},
    {0, nullptr},
};

PyType_Spec kSpec{"nonagame_lab._core.Searcher", sizeof(Instance<SearcherBody>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* searcher_type() {
    return type_once(g_lab.searcher_type, kSpec, "Searcher");
}

}  // namespace nonagame::py
