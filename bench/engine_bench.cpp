// The engine alone, without Python: whole random playouts by the default player, the same
// move the match runner makes natively for a plain Player, reported per move; then the fast
// simulation paths of legal.hpp and playout.hpp (seeded playouts, single random moves,
// copy-and-play as a search expands a node) and the checked make_move for comparison.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "board.hpp"
#include "checkpoint.hpp"
#include "player/player.hpp"
#include "playout.hpp"
#include "rng.hpp"

namespace {

using nonagame::GameRecord;
using nonagame::PlayerRecord;
using nonagame::Rng;

// One game per iteration, from the empty board to the end, each player moving in turn.
void BM_RandomPlayout(benchmark::State& state) {
    const PlayerRecord player1 = nonagame::new_player(1);
    const PlayerRecord player2 = nonagame::new_player(2);
    std::int64_t moves = 0;
    for (auto _ : state) {
        GameRecord game = nonagame::new_game(0, false);
        while (!game.finished) {
            const PlayerRecord& mover = game.next_player == 1 ? player1 : player2;
            const nonagame::MoveOutcome outcome = nonagame::play_default_move(mover, game);
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
    const PlayerRecord player1 = nonagame::new_player(1);
    const PlayerRecord player2 = nonagame::new_player(2);
    GameRecord game = nonagame::new_game(0, false);
    for (int turn = 0; turn < 20 && !game.finished; ++turn) {
        nonagame::play_default_move(turn % 2 == 0 ? player1 : player2, game);
    }
    for (auto _ : state) {
        const nonagame::CheckpointRecord checkpoint = nonagame::make_checkpoint(game);
        benchmark::DoNotOptimize(checkpoint);
        nonagame::load_checkpoint(game, checkpoint);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CheckpointRoundTrip);

// A position after `turns` seeded random moves (fewer if the game ends first).
GameRecord seeded_position(int turns, std::uint64_t seed) {
    Rng rng(seed);
    GameRecord game = nonagame::new_game(0, false);
    for (int turn = 0; turn < turns && !game.available.empty(); ++turn) nonagame::play_random_move(game, rng);
    return game;
}

void report_games(benchmark::State& state, std::int64_t moves) {
    state.counters["games_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["moves_per_game"] =
        benchmark::Counter(static_cast<double>(moves), benchmark::Counter::kAvgIterations);
    state.counters["time_per_move"] = benchmark::Counter(
        static_cast<double>(moves), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Whole seeded random games from the opening through play_random_to_end: the simulation step of
// a tree search. One game per iteration.
void BM_SeededPlayout(benchmark::State& state) {
    const GameRecord opening = nonagame::new_game(0, false);
    Rng rng(1);
    std::int64_t moves = 0;
    for (auto _ : state) {
        GameRecord game = opening;
        benchmark::DoNotOptimize(nonagame::play_random_to_end(game, rng));
        moves += game.moves_accepted;
    }
    report_games(state, moves);
}
BENCHMARK(BM_SeededPlayout);

// The same with the k-th cell found by one given path (the default above is the machine's
// choice); a path the processor lacks is reported as skipped.
void BM_SeededPlayoutOn(benchmark::State& state, nonagame::SelectPath path) {
    if (nonagame::set_select_path(path) != path) {
        state.SkipWithError("path not supported by this processor");
        nonagame::set_select_path(nonagame::default_select_path());
        return;
    }
    BM_SeededPlayout(state);
    nonagame::set_select_path(nonagame::default_select_path());
}
BENCHMARK_CAPTURE(BM_SeededPlayoutOn, portable, nonagame::SelectPath::Portable);
BENCHMARK_CAPTURE(BM_SeededPlayoutOn, pdep, nonagame::SelectPath::Pdep);

// One random move per iteration (play_random_move); a finished game starts over from the
// opening, which adds a record copy every ~59 moves.
void BM_RandomMove(benchmark::State& state) {
    const GameRecord opening = nonagame::new_game(0, false);
    GameRecord game = opening;
    Rng rng(2);
    for (auto _ : state) {
        if (game.available.empty()) game = opening;
        benchmark::DoNotOptimize(nonagame::play_random_move(game, rng));
    }
}
BENCHMARK(BM_RandomMove);

// Expanding a node: copy a mid-game record and play one of its legal cells on the copy (the
// engine's "make and undo", as records are plain values). Cycles through the legal cells.
void BM_CopyAndPlay(benchmark::State& state) {
    const GameRecord position = seeded_position(20, 3);
    const nonagame::CellList legal = nonagame::get_available_moves(position);
    int next = 0;
    for (auto _ : state) {
        GameRecord child = position;
        nonagame::play_legal(child, legal.cells[static_cast<std::size_t>(next)]);
        benchmark::DoNotOptimize(child);
        next = next + 1 == legal.size() ? 0 : next + 1;
    }
}
BENCHMARK(BM_CopyAndPlay);

// The same through the checked make_move, which also validates the cell and the player.
void BM_CopyAndMakeMove(benchmark::State& state) {
    const GameRecord position = seeded_position(20, 3);
    const nonagame::CellList legal = nonagame::get_available_moves(position);
    int next = 0;
    for (auto _ : state) {
        GameRecord child = position;
        benchmark::DoNotOptimize(
            nonagame::make_move(child, legal.cells[static_cast<std::size_t>(next)], child.next_player).accepted);
        benchmark::DoNotOptimize(child);
        next = next + 1 == legal.size() ? 0 : next + 1;
    }
}
BENCHMARK(BM_CopyAndMakeMove);

// Saving and restoring a position as a plain record copy, the cheapest undo.
void BM_SaveRestoreRecord(benchmark::State& state) {
    GameRecord game = seeded_position(20, 4);
    for (auto _ : state) {
        const GameRecord saved = game;
        benchmark::DoNotOptimize(saved);
        game = saved;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SaveRestoreRecord);

}  // namespace

BENCHMARK_MAIN();
