// The engine alone, without Python: whole random playouts by the default player, the same
// move the match runner makes natively for a plain Player, reported per move.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "board.hpp"
#include "checkpoint.hpp"
#include "player/player.hpp"

namespace {

using nonagame::DefaultPlayer;
using nonagame::GameRecord;

// One game per iteration, from the empty board to the end, each player moving in turn.
void BM_RandomPlayout(benchmark::State& state) {
    const auto player1 = DefaultPlayer::create(1);
    const auto player2 = DefaultPlayer::create(2);
    std::int64_t moves = 0;
    for (auto _ : state) {
        GameRecord game = nonagame::new_game(0, false);
        while (!game.finished) {
            const DefaultPlayer& mover = game.next_player == 1 ? *player1 : *player2;
            const nonagame::MoveOutcome outcome = mover.make_move(game);
            benchmark::DoNotOptimize(outcome.accepted);
            ++moves;
        }
        benchmark::DoNotOptimize(game.winner);
    }
    state.counters["moves_per_game"] =
        benchmark::Counter(static_cast<double>(moves), benchmark::Counter::kAvgIterations);
    // Seconds per move: a rate over the moves, inverted.
    state.counters["time_per_move"] = benchmark::Counter(
        static_cast<double>(moves), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RandomPlayout);

// The tree-search pattern inside the engine: save a mid-game position and restore it.
void BM_CheckpointRoundTrip(benchmark::State& state) {
    const auto player1 = DefaultPlayer::create(1);
    const auto player2 = DefaultPlayer::create(2);
    GameRecord game = nonagame::new_game(0, false);
    for (int turn = 0; turn < 20 && !game.finished; ++turn) {
        (turn % 2 == 0 ? *player1 : *player2).make_move(game);
    }
    for (auto _ : state) {
        const nonagame::CheckpointRecord checkpoint = nonagame::make_checkpoint(game);
        benchmark::DoNotOptimize(checkpoint);
        nonagame::load_checkpoint(game, checkpoint);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CheckpointRoundTrip);

}  // namespace

BENCHMARK_MAIN();
