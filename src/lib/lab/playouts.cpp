// nonagame_lab.playouts: many uniformly random games from one position.
#include "playouts.hpp"

#include <array>
#include <atomic>
#include <cstdint>

#include "errors.hpp"
#include "lab_args.hpp"
#include "playout.hpp"
#include "released_run.hpp"

namespace nonagame::py {

namespace {

// Playouts per chunk: about half a millisecond of work, so that Ctrl-C is noticed quickly
// and the threads share the work evenly.
constexpr std::int64_t kChunk = 512;

PyTypeObject* g_result_type = nullptr;

PyStructSequence_Field kResultFields[] = {
    {"p1_wins", "games won by player 1"},
    {"p2_wins", "games won by player 2"},
    {"draws", "games that ended with no winner"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kResultDesc = {
    "nonagame_lab.PlayoutResult",
    "PlayoutResult(p1_wins, p2_wins, draws): outcome counts of random playouts.",
    kResultFields,
    3,
};

PyObject* make_result(const std::array<std::int64_t, 3>& counts) {
    Ref result = Ref::checked(PyStructSequence_New(playout_result_type()));
    const std::array<std::int64_t, 3> order = {counts[1], counts[2], counts[0]};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* value = PyLong_FromLongLong(order[static_cast<std::size_t>(i)]);
        if (value == nullptr) throw ErrorSet{};
        PyStructSequence_SetItem(result.get(), i, value);
    }
    return result.release();
}

PyObject* playouts(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* names[] = {"position", "n", "seed", "threads", nullptr};
        PyObject* position = nullptr;
        PyObject* n_object = nullptr;
        PyObject* seed_object = Py_None;
        PyObject* threads_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:playouts", const_cast<char**>(names),
                                         &position, &n_object, &seed_object, &threads_object)) {
            throw ErrorSet{};
        }
        const GameRecord start = position_record(position, "position");
        const std::int64_t n = count_value(n_object, "n");
        const std::uint64_t seed = seed_value(seed_object, "seed");
        const int threads = thread_count(threads_object, "threads");

        std::array<std::atomic<std::int64_t>, 3> totals{};
        run_released(n, kChunk, threads, [&](std::int64_t begin, std::int64_t end, int) {
            std::array<std::int64_t, 3> counts{};
            for (std::int64_t i = begin; i < end; ++i) {
                GameRecord game = start;
                Rng rng(seed, static_cast<std::uint64_t>(i));
                ++counts[static_cast<std::size_t>(play_random_to_end(game, rng))];
            }
            for (std::size_t k = 0; k < 3; ++k) totals[k].fetch_add(counts[k], std::memory_order_relaxed);
        });
        return make_result({totals[0].load(), totals[1].load(), totals[2].load()});
    });
}

PyMethodDef kPlayouts = {
    "playouts",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(playouts)),
    METH_VARARGS | METH_KEYWORDS,
    "playouts(position, n, *, seed=None, threads=1)\n--\n\n"
    "Plays n uniformly random games to the end from position (a Position, nonagame.Game or\n"
    "nonagame.State) and returns PlayoutResult(p1_wins, p2_wins, draws).\n\n"
    "Playout i draws from a random stream derived from (seed, i), so the same seed gives the\n"
    "same counts whatever the number of threads; seed=None takes a seed from the operating\n"
    "system. Runs without the interpreter lock; Ctrl-C stops it with KeyboardInterrupt.",
};

}  // namespace

PyTypeObject* playout_result_type() {
    if (g_result_type == nullptr) {
        g_result_type = PyStructSequence_NewType(&kResultDesc);
        if (g_result_type == nullptr) throw ErrorSet{};
    }
    return g_result_type;
}

PyMethodDef* playouts_definition() { return &kPlayouts; }

}  // namespace nonagame::py
