#!/usr/bin/env python3
"""nonagame benchmark suite: measures the module and nonagame_lab side by side with OpenSpiel's
ultimate_tic_tac_toe (the peer) and the engine alone in C++, and prints one table with the
ratios and whether each performance target is met.

    python3 -m pip install '.[bench]' && python3 bench/run.py

The machines are shared and noisy, so every figure is the median of several batches within
a round, then the median over rounds; every ratio is taken within one round (batches that
are compared alternate) and its median over rounds is reported. Times are the CPU time of
the measuring thread (user and system), so that time slices taken by other processes do not
count; --wall uses the wall clock instead. Native calls of nonagame_lab are timed with the
CPU time of the whole process (with threads > 1 they run on more threads than the caller's), and the rows that
compare two threads with one use the wall clock (see bench/lab.py).

The strength match against the peer's MCTSBot takes minutes: bench/strength.py, or --strength.
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import random
import re
import statistics
import sys
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
# NumPy's matrix products on one thread, as the native network evaluates (set before NumPy loads).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import cases  # noqa: E402
import engine  # noqa: E402
import lab  # noqa: E402
import network  # noqa: E402
import network_search  # noqa: E402


@dataclass(frozen=True)
class Target:
    key: str
    label: str
    bound: float
    at_least: bool  # the value must be >= bound (else <= bound, or < bound for a time)
    unit: str = "x"  # "x": a ratio of two figures; "ns": a time per call; "/s": a rate

    def met(self, value: float) -> bool:
        if self.at_least:
            return value >= self.bound
        return value <= self.bound if self.unit == "x" else value < self.bound

    def text(self) -> str:
        if self.unit == "ns":
            return f"< {self.bound / 1e3:g} us" if self.bound >= 1e3 else f"< {self.bound:g} ns"
        if self.unit == "/s":
            return f">= {rate(self.bound)}"
        return f"{'>=' if self.at_least else '<='} {self.bound:g}x"


# Ratios, each computed from the figures of one round.
TARGETS = [
    Target("selfplay_vs_peer", "self-play games/s over the peer's random games/s", 10, True),
    Target("turn_vs_make_state", "runner time per turn over one make_state() (kept)", 1.1, False),
    Target("memory_vs_footprint", "bytes retained per State over State + arrays", 1.2, False),
    Target("python_play_vs_peer", "peer's time per move over nonagame's", 3, True),
    Target("make_move_vs_builtin", "make_move over dict.get", 2, False),
    Target("checkpoint_vs_clone", "peer's clone() over make + load checkpoint", 5, True),
    Target("engine_vs_turn", "C++ engine move over runner time per turn", 0.1, False),
    # nonagame_lab: Position
    Target("play_vs_make_move", "Position.play over Game.make_move", 2, False),
    Target("hash_vs_int", "hash(Position) over hash(int)", 1.5, False),
    Target("eq_vs_int", "Position == Position over int == int", 1.5, False),
    Target("from_game", "Position.from_game per call", 1000, False, "ns"),
    Target("symmetries", "Position.symmetries() per call", 2000, False, "ns"),
    # the engine, playouts and VectorGames
    Target("engine_games", "C++ engine: random games/s from the opening", 1e6, True, "/s"),
    Target("playouts_vs_engine", "playouts() games/s over the engine's", 0.9, True),
    Target("playouts_threads", "playouts() threads=2 over threads=1, wall clock", 1.8, True),
    Target("vector_step", "VectorGames.step game steps/s", 1e7, True, "/s"),
    Target("vector_random", "VectorGames.step_random game steps/s", 1.5e7, True, "/s"),
    Target("vector_step_vs_peer", "VectorGames.step over the peer's actions/s", 10, True),
    Target("vector_random_vs_peer", "VectorGames.step_random over the peer's actions/s", 10, True),
    # the search
    Target("search_vs_peer", "search simulations/s over the peer MCTSBot's", 5, True),
    Target("search_threads", "search threads=2 over threads=1, wall clock", 1.8, True),
    # the vector environment
    Target("env_rate", "NineBoardVectorEnv agent steps/s", 1e6, True, "/s"),
    Target("env_vs_sync", "NineBoardVectorEnv over SyncVectorEnv", 50, True),
    # the network runtime
    Target("network_b1_vs_numpy", "Network.evaluate at batch 1 over a NumPy forward", 5, True),
    Target("network_b256_vs_numpy", "Network.evaluate rows/s at batch 256 over NumPy's", 0.8, True),
    # searching with a network
    Target("guided_vs_evals", "search(network=) simulations/s over evaluate_planes calls/s at batch 1", 0.5, True),
    Target("guided_vs_peer", "search(network=) over the peer's Python MCTSBot with the net in NumPy", 20, True),
    Target("search_batch_vs_evaluator", "search_batch leaves/s over its NumPy evaluator's rows/s", 0.7, True),
    Target("guided_threads", "search(network=) threads=2 over threads=1, wall clock", 1.8, True),
]

RATIOS = {
    "selfplay_vs_peer": lambda m: m["selfplay_games_per_s"] / m["peer_games_per_s"],
    "turn_vs_make_state": lambda m: m["selfplay_turn_ns"] / m["make_state_kept_ns"],
    # Shown without a target: against snapshots whose memory is reused at once.
    "turn_vs_make_state_released": lambda m: m["selfplay_turn_ns"] / m["make_state_ns"],
    "memory_vs_footprint": lambda m: m["state_retained_bytes"] / m["state_footprint_bytes"],
    "python_play_vs_peer": lambda m: m["peer_move_ns"] / m["python_move_ns"],
    "make_move_vs_builtin": lambda m: m["make_move_ns"] / m["dict_get_ns"],
    "checkpoint_vs_clone": lambda m: m["peer_clone_ns"] / (m["make_checkpoint_ns"] + m["load_checkpoint_ns"]),
    "engine_vs_turn": lambda m: m["engine_move_ns"] / m["selfplay_turn_ns"],
    "play_vs_make_move": lambda m: m["position_play_ns"] / m["make_move_ns"],
    "hash_vs_int": lambda m: m["position_hash_ns"] / m["int_hash_ns"],
    "eq_vs_int": lambda m: m["position_eq_ns"] / m["int_eq_ns"],
    "from_game": lambda m: m["from_game_ns"],
    "symmetries": lambda m: m["symmetries_ns"],
    "engine_games": lambda m: m["engine_games_per_s"],
    "playouts_vs_engine": lambda m: m["playouts_games_per_s"] / m["engine_games_per_s"],
    "playouts_threads": lambda m: m["playouts_t2_wall_per_s"] / m["playouts_t1_wall_per_s"],
    # Shown without a target: games per CPU-second of two threads over one thread's, which a
    # busy machine does not distort (1.0: the second thread adds no work of its own).
    "playouts_threads_cpu": lambda m: m["playouts_t2_cpu_per_s"] / m["playouts_t1_cpu_per_s"],
    "vector_step": lambda m: m["vector_step_per_s"],
    "vector_random": lambda m: m["vector_random_per_s"],
    # The peer's rate: legal_actions() + apply_action(random.choice) per action.
    "vector_step_vs_peer": lambda m: m["vector_step_per_s"] * m["peer_action_ns"] / 1e9,
    "vector_random_vs_peer": lambda m: m["vector_random_per_s"] * m["peer_action_ns"] / 1e9,
    "search_vs_peer": lambda m: m["search_sims_per_s"] / m["peer_search_sims_per_s"],
    "search_threads": lambda m: m["search_t2_wall_per_s"] / m["search_t1_wall_per_s"],
    "search_threads_cpu": lambda m: m["search_t2_cpu_per_s"] / m["search_t1_cpu_per_s"],
    "env_rate": lambda m: m["env_steps_per_s"],
    "env_vs_sync": lambda m: m["env_steps_per_s"] / m["sync_env_steps_per_s"],
    "network_b1_vs_numpy": lambda m: m["numpy_b1_ns"] / m["network_b1_ns"],
    "network_b256_vs_numpy": lambda m: m["numpy_b256_ns"] / m["network_b256_ns"],
    "guided_vs_evals": lambda m: m["guided_sims_per_s"] / m["planes_b1_per_s"],
    "guided_vs_peer": lambda m: m["guided_few_sims_per_s"] / m["peer_guided_sims_per_s"],
    "search_batch_vs_evaluator": lambda m: m["search_batch_rows_per_s"] / m["evaluator_rows_per_s"],
    "guided_threads": lambda m: m["guided_t2_wall_per_s"] / m["guided_t1_wall_per_s"],
    "guided_threads_cpu": lambda m: m["guided_t2_cpu_per_s"] / m["guided_t1_cpu_per_s"],
}


def median_rate(batches) -> float:
    """Median of ns per unit over batches of (ns, units)."""
    return statistics.median(ns / units for ns, units in batches)


def measure_round(sizes: cases.Sizes, rng: random.Random, peer, engine_bench: Path | None,
                  min_time: float, wall: bool, envs=None) -> dict[str, float]:
    """Every measurement once, ours and the peer's interleaved. envs is None or the pair of
    vector environments (ours, Gymnasium's SyncVectorEnv) to measure."""
    repeats = range(sizes.repeats)
    m: dict[str, float] = {}

    # Positions and games from real play for this round.
    checkpoints = cases.real_positions(sizes.position_games, rng)
    games = cases.games_at(checkpoints)
    move_lists = cases.random_move_lists(sizes.call_games, rng)
    peer_states = cases.peer_positions(peer, sizes.position_games, rng) if peer else None

    # Batches that are compared with each other alternate, so that a change in the load of
    # the machine falls on both sides alike.
    runs, kept, released = [], [], []
    for _ in repeats:
        runs.append(cases.selfplay(sizes))
        kept.append(cases.make_state_kept(games, sizes.position_passes))
        released.append(cases.make_state(games, sizes.position_passes))
    m["selfplay_games_per_s"] = 1e9 / median_rate([(ns, games_played) for ns, games_played, _ in runs])
    m["selfplay_turn_ns"] = median_rate([(ns, turns) for ns, _, turns in runs])
    m["selfplay_turns_per_game"] = statistics.median(turns / n for _, n, turns in runs)
    m["make_state_kept_ns"] = median_rate(kept)
    m["make_state_ns"] = median_rate(released)

    ours, theirs = [], []
    for _ in repeats:
        ours.append(cases.python_play(sizes, rng))
        if peer:
            theirs.append(cases.peer_play(peer, sizes, rng))
    m["python_move_ns"] = median_rate(ours)
    if peer:
        m["peer_games_per_s"] = 1e9 / median_rate([(ns, n) for ns, n, _, _ in theirs])
        m["peer_move_ns"] = median_rate([(ns, marks) for ns, _, marks, _ in theirs])
        m["peer_action_ns"] = median_rate([(ns, actions) for ns, _, _, actions in theirs])
        m["peer_actions_per_move"] = statistics.median(a / marks for _, _, marks, a in theirs)

    makes, loads, clones = [], [], []
    for _ in repeats:
        makes.append(cases.make_checkpoint(games, sizes.position_passes))
        loads.append(cases.load_checkpoint(games, checkpoints, sizes.position_passes))
        if peer:
            clones.append(cases.peer_clone(peer_states, sizes.position_passes))
    m["make_checkpoint_ns"] = median_rate(makes)
    m["load_checkpoint_ns"] = median_rate(loads)
    if peer:
        m["peer_clone_ns"] = median_rate(clones)

    pairs = [(cases.make_move_calls(move_lists), cases.dict_get_calls(move_lists),
              lab.position_play_calls(move_lists)) for _ in repeats]
    m["make_move_ns"] = median_rate([p[0] for p in pairs])
    m["dict_get_ns"] = median_rate([p[1] for p in pairs])
    m["position_play_ns"] = median_rate([p[2] for p in pairs])
    measure_positions(m, sizes, move_lists[:sizes.position_games], games)
    measure_playouts(m, sizes, rng)
    if engine_bench is not None:
        m.update(engine.run(engine_bench, min_time, wall))
    measure_vector_games(m, sizes, rng)
    measure_search(m, sizes, rng, peer)
    measure_network(m, sizes, rng)
    measure_guided(m, sizes, rng, peer)
    if envs is not None:
        measure_envs(m, sizes, rng, *envs)
    m["state_retained_bytes"], m["state_footprint_bytes"] = cases.selfplay_memory(sizes)
    return m


def measure_positions(m: dict[str, float], sizes: cases.Sizes, move_lists, games) -> None:
    """Position as a value: hash and == beside the same loops over ints, from_game, symmetries."""
    positions = lab.positions_from(move_lists)
    keys = [position.key for position in positions]
    position_pairs, int_pairs = lab.equality_pairs(positions)
    batches: dict[str, list] = {name: [] for name in ("hash", "int_hash", "eq", "int_eq", "from_game", "sym")}
    for _ in range(sizes.repeats):
        batches["hash"].append(lab.hash_calls(positions, sizes.value_passes))
        batches["int_hash"].append(lab.hash_calls(keys, sizes.value_passes))
        batches["eq"].append(lab.equality_calls(position_pairs, sizes.value_passes))
        batches["int_eq"].append(lab.equality_calls(int_pairs, sizes.value_passes))
        batches["from_game"].append(lab.from_game_calls(games, sizes.position_passes))
        batches["sym"].append(lab.symmetries_calls(positions, sizes.position_passes))
    m["position_hash_ns"] = median_rate(batches["hash"])
    m["int_hash_ns"] = median_rate(batches["int_hash"])
    m["position_eq_ns"] = median_rate(batches["eq"])
    m["int_eq_ns"] = median_rate(batches["int_eq"])
    m["from_game_ns"] = median_rate(batches["from_game"])
    m["symmetries_ns"] = median_rate(batches["sym"])


def measure_playouts(m: dict[str, float], sizes: cases.Sizes, rng: random.Random) -> None:
    """playouts() from the opening on one thread (CPU time), then one thread against two in
    alternating wall-clock batches; "cores" is the process CPU time over the wall time of the
    two-thread batches (2.0 when both threads had a core to themselves)."""
    singles = [lab.playouts_batch(sizes.playout_games, rng.getrandbits(63)) for _ in range(sizes.repeats)]
    m["playouts_games_per_s"] = 1e9 / median_rate(singles)
    one, two = [], []
    for _ in range(sizes.search_repeats):
        seed = rng.getrandbits(63)
        one.append(lab.playouts_wall(sizes.scaling_games, seed, threads=1))
        two.append(lab.playouts_wall(sizes.scaling_games, seed, threads=2))
    m["playouts_t1_wall_per_s"] = 1e9 / median_rate([(ns, n) for ns, n, _ in one])
    m["playouts_t2_wall_per_s"] = 1e9 / median_rate([(ns, n) for ns, n, _ in two])
    m["playouts_t2_cores"] = statistics.median(cpu / ns for ns, _, cpu in two)
    m["playouts_t1_cpu_per_s"] = 1e9 / median_rate([(cpu, n) for _, n, cpu in one])
    m["playouts_t2_cpu_per_s"] = 1e9 / median_rate([(cpu, n) for _, n, cpu in two])


def measure_vector_games(m: dict[str, float], sizes: cases.Sizes, rng: random.Random) -> None:
    """VectorGames: step with cells prepared untimed, and step_random, batches alternating."""
    schedule = lab.vector_schedule(sizes.vector_games, sizes.vector_calls, rng.getrandbits(63))
    steps, randoms = [], []
    for _ in range(sizes.repeats):
        steps.append(lab.vector_step(schedule))
        randoms.append(lab.vector_step_random(sizes.vector_games, sizes.vector_calls, rng.getrandbits(63)))
    m["vector_step_per_s"] = 1e9 / median_rate(steps)
    m["vector_random_per_s"] = 1e9 / median_rate(randoms)


def measure_search(m: dict[str, float], sizes: cases.Sizes, rng: random.Random, peer) -> None:
    """search() against the peer's MCTSBot at the same number of simulations from the same
    positions (the opening and midgame positions of random play), alternating; then our
    search on one thread against two in wall-clock time."""
    lines = lab.search_positions(sizes.search_plies, rng)
    ours, theirs = [], []
    for _ in range(sizes.search_repeats):
        seed = rng.getrandbits(31)
        ours.append(lab.search_batch(lines, sizes.search_simulations, seed))
        if peer:
            theirs.append(lab.peer_search_batch(peer, lines, sizes.search_simulations, seed))
    m["search_sims_per_s"] = 1e9 / median_rate(ours)
    if peer:
        m["peer_search_sims_per_s"] = 1e9 / median_rate(theirs)
    one, two = [], []
    for _ in range(sizes.search_repeats):
        seed = rng.getrandbits(31)
        one.append(lab.search_wall(lines, sizes.scaling_simulations, seed, threads=1))
        two.append(lab.search_wall(lines, sizes.scaling_simulations, seed, threads=2))
    m["search_t1_wall_per_s"] = 1e9 / median_rate([(ns, n) for ns, n, _ in one])
    m["search_t2_wall_per_s"] = 1e9 / median_rate([(ns, n) for ns, n, _ in two])
    m["search_t2_cores"] = statistics.median(cpu / ns for ns, _, cpu in two)
    m["search_t1_cpu_per_s"] = 1e9 / median_rate([(cpu, n) for _, n, cpu in one])
    m["search_t2_cpu_per_s"] = 1e9 / median_rate([(cpu, n) for _, n, cpu in two])


def measure_network(m: dict[str, float], sizes: cases.Sizes, rng: random.Random) -> None:
    """Network.evaluate against the NumPy forward pass of the same weights, alternating, at
    batch 1 (one position per call) and batch 256; times per row."""
    net, forward, (singles, single_inputs), (wide, wide_inputs) = network.setup(
        sizes.network_calls_b1, sizes.network_calls_b256, rng)
    ours1, numpy1, ours256, numpy256 = [], [], [], []
    for _ in range(sizes.repeats):
        ours1.append(network.evaluate_batch(net, singles))
        numpy1.append(network.numpy_batch(forward, single_inputs))
        ours256.append(network.evaluate_batch(net, wide))
        numpy256.append(network.numpy_batch(forward, wide_inputs))
    m["network_b1_ns"] = median_rate(ours1)
    m["numpy_b1_ns"] = median_rate(numpy1)
    m["network_b256_ns"] = median_rate(ours256)
    m["numpy_b256_ns"] = median_rate(numpy256)


def measure_guided(m: dict[str, float], sizes: cases.Sizes, rng: random.Random, peer) -> None:
    """Searches guided by the reference network: search(network=) against evaluate_planes at
    batch 1 and against the peer's Python MCTSBot running the same weights in NumPy (from the
    same positions, at the same budget), search_batch over 256 positions against its NumPy
    evaluator alone, and two threads against one in wall-clock time; batches alternate."""
    net, numpy_net = network_search.setup(rng.getrandbits(31))
    lines = lab.search_positions(sizes.search_plies, rng)
    few = lines[:sizes.peer_guided_positions]
    roots = network_search.roots(256, rng.getrandbits(31))
    guided, evals, ours_few, theirs, batches = [], [], [], [], []
    for _ in range(sizes.search_repeats):
        seed = rng.getrandbits(31)
        guided.append(network_search.guided_search_batch(net, lines, sizes.network_search_simulations, seed))
        evals.append(network_search.planes_b1_batch(net, sizes.network_calls_b1))
        if peer:
            ours_few.append(network_search.guided_search_batch(net, few, sizes.peer_guided_simulations, seed))
            theirs.append(network_search.peer_guided_batch(peer, numpy_net, few, sizes.peer_guided_simulations, seed))
        batches.append(network_search.search_batch_round(numpy_net, roots, sizes.network_batch_simulations, seed))
    m["guided_sims_per_s"] = 1e9 / median_rate(guided)
    m["planes_b1_per_s"] = 1e9 / median_rate(evals)
    if peer:
        m["guided_few_sims_per_s"] = 1e9 / median_rate(ours_few)
        m["peer_guided_sims_per_s"] = 1e9 / median_rate(theirs)
    m["search_batch_rows_per_s"] = 1e9 / median_rate([(ns, rows) for ns, _, rows in batches])
    m["evaluator_rows_per_s"] = 1e9 / median_rate([(alone, rows) for _, alone, rows in batches])
    one, two = [], []
    for _ in range(sizes.search_repeats):
        seed = rng.getrandbits(31)
        one.append(network_search.guided_search_wall(net, lines[:1], sizes.network_scaling_simulations, seed, 1))
        two.append(network_search.guided_search_wall(net, lines[:1], sizes.network_scaling_simulations, seed, 2))
    m["guided_t1_wall_per_s"] = 1e9 / median_rate([(ns, n) for ns, n, _ in one])
    m["guided_t2_wall_per_s"] = 1e9 / median_rate([(ns, n) for ns, n, _ in two])
    m["guided_t2_cores"] = statistics.median(cpu / ns for ns, _, cpu in two)
    m["guided_t1_cpu_per_s"] = 1e9 / median_rate([(cpu, n) for _, n, cpu in one])
    m["guided_t2_cpu_per_s"] = 1e9 / median_rate([(cpu, n) for _, n, cpu in two])


def measure_envs(m: dict[str, float], sizes: cases.Sizes, rng: random.Random, ours, sync) -> None:
    """Agent steps against the random opponent: the native vector environment against
    Gymnasium's SyncVectorEnv over the single-agent environment, alternating."""
    native, python = [], []
    for _ in range(sizes.search_repeats):
        native.append(lab.vector_env_batch(ours, sizes.env_steps, rng.getrandbits(31)))
        python.append(lab.vector_env_batch(sync, sizes.sync_env_steps, rng.getrandbits(31)))
    m["env_steps_per_s"] = 1e9 / median_rate(native)
    m["sync_env_steps_per_s"] = 1e9 / median_rate(python)


def summarise(rounds: list[dict[str, float]]) -> tuple[dict[str, float], dict[str, float]]:
    """Median of every figure over rounds, and median of every per-round ratio that all
    rounds can compute."""
    figures = {key: statistics.median(r[key] for r in rounds) for key in rounds[0]}
    ratios = {}
    for key, ratio in RATIOS.items():
        try:
            ratios[key] = statistics.median(ratio(r) for r in rounds)
        except KeyError:  # a part was skipped
            pass
    return figures, ratios


def duration(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.3f} us"
    return f"{ns:.1f} ns"


def rate(per_s: float) -> str:
    return f"{per_s:,.0f} /s"


def table(figures: dict[str, float], ratios: dict[str, float]) -> list[list[str]]:
    """Rows: number, measurement, nonagame, compared with, ratio, target, met."""
    f = figures.get
    targets = {t.key: t for t in TARGETS}
    rows: list[list[str]] = []

    def row(number, label, ours, other="", key=None):
        if key is None:
            rows.append([number, label, ours, other, "", "", ""])
        elif key not in targets:
            rows.append([number, label, ours, other, f"{ratios[key]:.2f}x", "", ""])
        else:
            target = targets[key]
            # A target on a figure itself (a time or a rate) has no ratio to show.
            shown = f"{ratios[key]:.2f}x" if key in ratios and target.unit == "x" else ""
            if key not in ratios:
                rows.append([number, label, ours, other, "-" if target.unit == "x" else "",
                             target.text(), "skipped"])
            else:
                rows.append([number, label, ours, other, shown, target.text(),
                             "yes" if target.met(ratios[key]) else "NO"])

    peer = "peer_games_per_s" in figures
    row("1", "self-play: play_multiple_games, games/s", rate(f("selfplay_games_per_s")),
        f"peer {rate(f('peer_games_per_s'))}" if peer else "peer skipped", "selfplay_vs_peer")
    row("1", "self-play: time per turn", duration(f("selfplay_turn_ns")),
        f"make_state() kept {duration(f('make_state_kept_ns'))}", "turn_vs_make_state")
    row("1", "self-play: bytes retained per State", f"{f('state_retained_bytes'):.0f} B",
        f"State + arrays {f('state_footprint_bytes'):.0f} B", "memory_vs_footprint")
    row("2", "make_state() per call, States kept", duration(f("make_state_kept_ns")))
    row("2", "make_state() per call, each released", duration(f("make_state_ns")),
        f"runner turn {duration(f('selfplay_turn_ns'))}", "turn_vs_make_state_released")
    row("3", "Python-driven play per move", duration(f("python_move_ns")),
        f"peer {duration(f('peer_move_ns'))}" if peer else "peer skipped", "python_play_vs_peer")
    row("3", "make_move per call", duration(f("make_move_ns")),
        f"dict.get {duration(f('dict_get_ns'))}", "make_move_vs_builtin")
    row("4", "make_checkpoint per call", duration(f("make_checkpoint_ns")))
    row("4", "load_checkpoint per call", duration(f("load_checkpoint_ns")))
    row("4", "make_checkpoint + load_checkpoint",
        duration(f("make_checkpoint_ns") + f("load_checkpoint_ns")),
        f"peer clone() {duration(f('peer_clone_ns'))}" if peer else "peer skipped",
        "checkpoint_vs_clone")
    if "engine_move_ns" in figures:
        row("5", "C++ engine: random playout, per move", duration(f("engine_move_ns")),
            f"runner turn {duration(f('selfplay_turn_ns'))}", "engine_vs_turn")
        row("5", "C++ engine: checkpoint save + load", duration(f("engine_checkpoint_ns")))
    else:
        row("5", "C++ engine: random playout, per move", "skipped", "", "engine_vs_turn")
    if peer:
        row("6", "peer: whole random games from Python", rate(f("peer_games_per_s")))
        row("6", "peer: random game, per move (mark)", duration(f("peer_move_ns")))
        row("6", "peer: per action (legal_actions+apply)", duration(f("peer_action_ns")),
            f"{f('peer_actions_per_move'):.2f} actions per move")
        row("6", "peer: clone() per call", duration(f("peer_clone_ns")))
    row("", "turns per self-play game", f"{f('selfplay_turns_per_game'):.1f}")
    lab_rows(figures, row)
    return rows


def lab_rows(figures: dict[str, float], row) -> None:
    """Rows 7-13: nonagame_lab."""
    f = figures.get
    peer = "peer_games_per_s" in figures
    row("7", "Position.play per call", duration(f("position_play_ns")),
        f"make_move {duration(f('make_move_ns'))}", "play_vs_make_move")
    row("7", "hash(Position) per call", duration(f("position_hash_ns")),
        f"hash(int) {duration(f('int_hash_ns'))}", "hash_vs_int")
    row("7", "Position == Position per call", duration(f("position_eq_ns")),
        f"int == int {duration(f('int_eq_ns'))}", "eq_vs_int")
    row("7", "Position.from_game per call", duration(f("from_game_ns")), "", "from_game")
    row("7", "Position.symmetries() per call", duration(f("symmetries_ns")), "", "symmetries")

    engine_ran = "engine_games_per_s" in figures
    if engine_ran:
        path = "play_random_to_end" if f("engine_games_seeded") else "default player"
        row("8", f"C++ engine: random games/s ({path})", rate(f("engine_games_per_s")), "", "engine_games")
        for key, label in (("engine_random_move_ns", "C++ engine: one random move"),
                           ("engine_copy_play_ns", "C++ engine: copy record + play a cell"),
                           ("engine_save_restore_ns", "C++ engine: save + restore a record")):
            if key in figures:
                row("8", label, duration(f(key)))
    else:
        row("8", "C++ engine: random games/s", "skipped", "", "engine_games")
    row("8", "playouts(threads=1), games/s", rate(f("playouts_games_per_s")),
        f"engine {rate(f('engine_games_per_s'))}" if engine_ran else "engine skipped", "playouts_vs_engine")
    row("8", "playouts(threads=2), games/s, wall clock", rate(f("playouts_t2_wall_per_s")),
        f"threads=1 {rate(f('playouts_t1_wall_per_s'))}, {f('playouts_t2_cores'):.2f} cores",
        "playouts_threads")
    row("8", "playouts(threads=2), games per CPU-second", rate(f("playouts_t2_cpu_per_s")),
        f"threads=1 {rate(f('playouts_t1_cpu_per_s'))}", "playouts_threads_cpu")

    peer_actions = f"peer {1e9 / f('peer_action_ns'):,.0f} actions/s" if peer else "peer skipped"
    row("9", "VectorGames.step, game steps/s", rate(f("vector_step_per_s")), "", "vector_step")
    row("9", "VectorGames.step, same", rate(f("vector_step_per_s")), peer_actions, "vector_step_vs_peer")
    row("9", "VectorGames.step_random, game steps/s", rate(f("vector_random_per_s")), "", "vector_random")
    row("9", "VectorGames.step_random, same", rate(f("vector_random_per_s")), peer_actions,
        "vector_random_vs_peer")

    row("10", "search(threads=1), simulations/s", rate(f("search_sims_per_s")),
        f"peer MCTSBot {rate(f('peer_search_sims_per_s'))}" if "peer_search_sims_per_s" in figures
        else "peer skipped", "search_vs_peer")
    row("10", "search(threads=2), simulations/s, wall", rate(f("search_t2_wall_per_s")),
        f"threads=1 {rate(f('search_t1_wall_per_s'))}, {f('search_t2_cores'):.2f} cores", "search_threads")
    row("10", "search(threads=2), simulations per CPU-second", rate(f("search_t2_cpu_per_s")),
        f"threads=1 {rate(f('search_t1_cpu_per_s'))}", "search_threads_cpu")

    if "env_steps_per_s" in figures:
        row("11", "NineBoardVectorEnv, agent steps/s", rate(f("env_steps_per_s")), "", "env_rate")
        row("11", "NineBoardVectorEnv, same", rate(f("env_steps_per_s")),
            f"SyncVectorEnv {rate(f('sync_env_steps_per_s'))}", "env_vs_sync")
    else:
        row("11", "NineBoardVectorEnv, agent steps/s", "skipped", "", "env_rate")
        row("11", "NineBoardVectorEnv, same", "skipped", "SyncVectorEnv skipped", "env_vs_sync")

    row("12", "Network.evaluate, batch 1, per call", duration(f("network_b1_ns")),
        f"NumPy forward {duration(f('numpy_b1_ns'))}", "network_b1_vs_numpy")
    row("12", "Network.evaluate, batch 256, per row", duration(f("network_b256_ns")),
        f"NumPy forward {duration(f('numpy_b256_ns'))}", "network_b256_vs_numpy")

    row("13", "search(network=), threads=1, simulations/s", rate(f("guided_sims_per_s")),
        f"evaluate_planes batch 1 {rate(f('planes_b1_per_s'))}", "guided_vs_evals")
    row("13", "search(network=), same, fewer positions", rate(f("guided_few_sims_per_s"))
        if "guided_few_sims_per_s" in figures else "skipped",
        f"peer Python MCTSBot {rate(f('peer_guided_sims_per_s'))}" if "peer_guided_sims_per_s" in figures
        else "peer skipped", "guided_vs_peer")
    row("13", "search_batch, 256 positions, leaves/s", rate(f("search_batch_rows_per_s")),
        f"NumPy evaluator {rate(f('evaluator_rows_per_s'))}", "search_batch_vs_evaluator")
    row("13", "search(network=, threads=2), sims/s, wall", rate(f("guided_t2_wall_per_s")),
        f"threads=1 {rate(f('guided_t1_wall_per_s'))}, {f('guided_t2_cores'):.2f} cores", "guided_threads")
    row("13", "search(network=, threads=2), sims per CPU-s", rate(f("guided_t2_cpu_per_s")),
        f"threads=1 {rate(f('guided_t1_cpu_per_s'))}", "guided_threads_cpu")


def render(rows: list[list[str]]) -> str:
    header = ["#", "measurement", "nonagame", "compared with", "ratio", "target", "met"]
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    right = {2, 4}

    def line(cells):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(header), rule] + [line(r) for r in rows])


def versions() -> str:
    def version(name):
        try:
            return metadata.version(name)
        except metadata.PackageNotFoundError:
            return "not installed"

    ours = version("nonagame")
    if ours == "not installed":
        # A build of this tree on PYTHONPATH: the version of the tree, and where it was loaded.
        tree = re.search(r'^version = "([^"]+)"', (engine.ROOT / "pyproject.toml").read_text(), re.M)
        where = Path(cases.nonagame.__file__).parent
        if where.is_relative_to(engine.ROOT):
            where = where.relative_to(engine.ROOT)
        ours = f"{tree.group(1) if tree else '(unknown version)'} built in {where}"
    return (f"nonagame {ours}, open-spiel {version('open-spiel')} "
            f"({cases.PEER_GAME}), NumPy {version('numpy')}, Gymnasium {version('gymnasium')}, "
            f"Python {platform.python_version()}, {os.cpu_count()} CPUs")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3, help="rounds (default 3)")
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes and one round: a smoke run that checks the suite works")
    parser.add_argument("--no-peer", action="store_true", help="skip the OpenSpiel peer")
    parser.add_argument("--no-engine", action="store_true", help="skip the C++ engine benchmark")
    parser.add_argument("--no-envs", action="store_true", help="skip the vector environment rows")
    parser.add_argument("--strength", action="store_true",
                        help="after the table, play the strength match against the peer's MCTSBot "
                             "(bench/strength.py with its defaults; minutes)")
    parser.add_argument("--build-dir", type=Path,
                        default=Path(os.environ.get("NONAGAME_BENCH_BUILD_DIR",
                                                    engine.ROOT / "build" / "bench")),
                        help="CMake build directory of the engine benchmark")
    parser.add_argument("--wall", action="store_true",
                        help="time with the wall clock instead of the CPU time of the thread")
    parser.add_argument("--json", type=Path, help="also write the figures and ratios to this file")
    parser.add_argument("--seed", type=int, default=None, help="seed of the random games")
    args = parser.parse_args(argv)

    if args.wall:
        cases.clock = cases.time.perf_counter_ns
        lab.native_clock = cases.time.perf_counter_ns
    sizes = cases.Sizes.quick() if args.quick else cases.Sizes()
    rounds = 1 if args.quick else max(1, args.rounds)
    min_time = 0.01 if args.quick else 0.5
    rng = random.Random(args.seed)
    notes = []

    peer = None
    if args.no_peer:
        notes.append("peer skipped: --no-peer")
    elif cases.pyspiel is None:
        notes.append(f"peer skipped: {cases.PEER_MISSING}")
    else:
        peer = cases.peer_game()

    engine_bench = None
    if args.no_engine:
        notes.append("C++ engine benchmark skipped: --no-engine")
    else:
        reason = engine.ensure_library(install=not args.quick)
        if reason:
            notes.append(f"C++ engine benchmark skipped: {reason}")
        else:
            engine_bench = engine.build(args.build_dir)

    envs = None
    reason = "--no-envs" if args.no_envs else lab.envs_missing()
    if reason:
        notes.append(f"vector environment skipped: {reason}")
    else:
        envs = (lab.make_vector_env(sizes.env_count), lab.make_sync_vector_env(sizes.env_count))

    for note in notes:
        print(note, flush=True)
    cases.warm_up()
    lab.warm_up()
    if peer:
        lab.peer_search_batch(peer, [[]], 1000, 0)
    if envs:
        for env in envs:
            lab.vector_env_batch(env, 2, 0)
    results = []
    for number in range(rounds):
        print(f"round {number + 1} of {rounds} ...", flush=True)
        results.append(measure_round(sizes, rng, peer, engine_bench, min_time, args.wall, envs))
    figures, ratios = summarise(results)

    print()
    print(f"nonagame benchmark suite{' (quick smoke run: sizes too small to mean anything)' if args.quick else ''}: "
          f"{rounds} round{'s' if rounds > 1 else ''}, medians; ratios taken within each round; "
          f"{'wall-clock time' if args.wall else 'CPU time of the measuring thread'}")
    print(versions())
    print(render(table(figures, ratios)))
    met = [t for t in TARGETS if t.key in ratios and t.met(ratios[t.key])]
    skipped = [t for t in TARGETS if t.key not in ratios]
    print(f"\ntargets met: {len(met)} of {len(TARGETS)}"
          + (f" ({len(skipped)} skipped)" if skipped else ""))
    if args.json:
        args.json.write_text(json.dumps({"rounds": results, "figures": figures, "ratios": ratios,
                                         "notes": notes}, indent=2))
    if args.strength:
        import strength

        print()
        return strength.main([])
    return 0


if __name__ == "__main__":
    sys.exit(main())
