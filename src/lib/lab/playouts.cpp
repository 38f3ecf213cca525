// nonagame_lab.playouts: many uniformly random games from one position.
#include "playouts.hpp"

#include <array>
#include <atomic>
#include <cstdint>

#include "args.hpp"
#include "errors.hpp"
#include "lab_entry.hpp"
#include "lab_args.hpp"
#include "playout.hpp"
#include "playout_result_type.hpp"
#include "released_run.hpp"

namespace nonagame::py {

namespace {

// Playouts per chunk: about half a millisecond of work, so that Ctrl-C is noticed quickly
// and the threads share the work evenly.
constexpr std::int64_t kChunk = 512;

constexpr Params<4> kParams{"playouts()", {"position", "n", "seed", "threads"}, 2, 2};

PyObject* playouts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return lab_entry([&] {
        auto [position, n_object, seed_object, threads_object] = parse(kParams, args, nargs, kwnames);
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
        return make_playout_result({totals[0].load(), totals[1].load(), totals[2].load()});
    });
}

PyMethodDef kPlayouts = {
    "playouts",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(playouts)),
    METH_FASTCALL | METH_KEYWORDS,
    "playouts(position, n, *, seed=None, threads=1)\n--\n\n"
    "Plays n uniformly random games to the end from position (a Position, nonagame.Game or\n"
    "nonagame.State) and returns PlayoutResult(p1_wins, p2_wins, draws).\n\n"
    "Playout i draws from a random stream derived from (seed, i), so the same seed gives the\n"
    "same counts whatever the number of threads; seed=None takes a seed from the operating\n"
    "system. Runs without the interpreter lock; Ctrl-C stops it with KeyboardInterrupt.",
};

}  // namespace

PyMethodDef* playouts_definition() { return &kPlayouts; }

}  // namespace nonagame::py
