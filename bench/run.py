#!/usr/bin/env python3
"""nonagame benchmark suite: measures the module side by side with OpenSpiel's
ultimate_tic_tac_toe (the peer) and the engine alone in C++, and prints one table with the
ratios and whether each performance target is met.

    python3 -m pip install '.[bench]' && python3 bench/run.py

The machines are shared and noisy, so every figure is the median of several batches within
a round, then the median over rounds; every ratio is taken within one round (batches that
are compared alternate) and its median over rounds is reported. Times are the CPU time of
the measuring thread (user and system), so that time slices taken by other processes do not
count; --wall uses the wall clock instead.
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import random
import statistics
import sys
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cases  # noqa: E402
import engine  # noqa: E402


@dataclass(frozen=True)
class Target:
    key: str
    label: str
    bound: float
    at_least: bool  # the ratio must be >= bound (else <= bound)

    def met(self, ratio: float) -> bool:
        return ratio >= self.bound if self.at_least else ratio <= self.bound

    def text(self) -> str:
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
}


def median_rate(batches) -> float:
    """Median of ns per unit over batches of (ns, units)."""
    return statistics.median(ns / units for ns, units in batches)


def measure_round(sizes: cases.Sizes, rng: random.Random, peer, engine_bench: Path | None,
                  min_time: float, wall: bool) -> dict[str, float]:
    """Every measurement once, ours and the peer's interleaved."""
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

    pairs = [(cases.make_move_calls(move_lists), cases.dict_get_calls(move_lists)) for _ in repeats]
    m["make_move_ns"] = median_rate([p[0] for p in pairs])
    m["dict_get_ns"] = median_rate([p[1] for p in pairs])
    if engine_bench is not None:
        m.update(engine.run(engine_bench, min_time, wall))
    m["state_retained_bytes"], m["state_footprint_bytes"] = cases.selfplay_memory(sizes)
    return m


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
        elif key not in ratios:
            rows.append([number, label, ours, other, "-", targets[key].text(), "skipped"])
        else:
            target = targets[key]
            rows.append([number, label, ours, other, f"{ratios[key]:.2f}x", target.text(),
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
    return rows


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
        ours = f"from {Path(cases.nonagame.__file__).parent}"
    return (f"nonagame {ours}, open-spiel {version('open-spiel')} "
            f"({cases.PEER_GAME}), NumPy {version('numpy')}, Python {platform.python_version()}, "
            f"{os.cpu_count()} CPUs")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3, help="rounds (default 3)")
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes and one round: a smoke run that checks the suite works")
    parser.add_argument("--no-peer", action="store_true", help="skip the OpenSpiel peer")
    parser.add_argument("--no-engine", action="store_true", help="skip the C++ engine benchmark")
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

    for note in notes:
        print(note, flush=True)
    cases.warm_up()
    results = []
    for number in range(rounds):
        print(f"round {number + 1} of {rounds} ...", flush=True)
        results.append(measure_round(sizes, rng, peer, engine_bench, min_time, args.wall))
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
