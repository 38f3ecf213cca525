// The tree search alone: simulations per second from the opening and from a midgame
// position, on one thread and on two (root parallelism). Not part of bench/run.py's table.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "board.hpp"
#include "legal.hpp"
#include "rng.hpp"
#include "search/mcts.hpp"

namespace {

using nonagame::GameRecord;

// The opening (moves = 0) or the position after that many seeded random moves.
GameRecord position_after(int moves) {
    GameRecord game = nonagame::new_game(0, false);
    nonagame::Rng rng(2024, 0);
    for (int i = 0; i < moves && !nonagame::mcts::is_over(game); ++i) nonagame::play_random_move(game, rng);
    return game;
}

// One search of 20,000 simulations per iteration, in a Search made once (cleared each time).
void BM_Search(benchmark::State& state) {
    const GameRecord game = position_after(static_cast<int>(state.range(0)));
    nonagame::mcts::SearchConfig config;
    config.threads = static_cast<int>(state.range(1));
    config.pool_nodes = std::uint32_t{1} << 22;
    nonagame::mcts::Search search(config);
    search.set_position(game);
    nonagame::mcts::Budget budget;
    budget.simulations = 20000;
    std::uint64_t simulations = 0;
    for (auto _ : state) {
        search.clear();
        const nonagame::mcts::SearchResult result = search.run(budget);
        benchmark::DoNotOptimize(result.best_move);
        simulations += result.simulations;
    }
    // Per second of the process's CPU time (all threads): the machines are shared, and the
    // wall-clock rate of a loaded machine says little.
    state.counters["simulations_per_cpu_second"] =
        benchmark::Counter(static_cast<double>(simulations), benchmark::Counter::kIsRate);
}
// Arguments: random moves before the search (0 = opening, 20 = midgame), threads.
BENCHMARK(BM_Search)->ArgsProduct({{0, 20}, {1, 2}})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
