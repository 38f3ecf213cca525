#!/usr/bin/env python3
"""Throughput of the learning environments: agent steps per second of NineBoardVectorEnv
against the random opponent, beside Gymnasium's SyncVectorEnv over the single-agent
NineBoardEnv with the same number of environments, measured in the same rounds.

    python3 -m pip install '.[rl]' && python3 bench/envs.py

Only the environments' step() calls are timed (CPU time of the measuring thread, as in
bench/run.py, unless --wall): the agent's random legal actions are drawn outside the clock.
Batches of the two alternate within each round; figures are medians over rounds, and the ratio
is taken within each round.
"""
from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from pathlib import Path
from typing import Any, Callable

import gymnasium
import numpy as np

from nonagame_lab.envs import NineBoardEnv, NineBoardVectorEnv

TARGET_STEPS_PER_S = 1_000_000
TARGET_RATIO = 50.0


def random_legal(rng: np.random.Generator, mask: np.ndarray) -> np.ndarray:
    """One uniformly random legal cell per row (any cell where a row has none)."""
    scores = rng.random(mask.shape)
    scores[mask == 0] = -1.0
    return np.argmax(scores, axis=1)


def steps_per_second(env: Any, steps: int, seed: int, clock: Callable[[], float]) -> float:
    rng = np.random.default_rng(seed)
    _, info = env.reset(seed=seed)
    elapsed = 0.0
    for _ in range(steps):
        actions = random_legal(rng, info["action_mask"])
        start = clock()
        _, _, _, _, info = env.step(actions)
        elapsed += clock() - start
    return steps * env.num_envs / elapsed


def measure(num_envs: int, rounds: int, vector_steps: int, sync_steps: int, wall: bool) -> dict[str, Any]:
    clock = time.perf_counter if wall else time.thread_time
    vector = NineBoardVectorEnv(num_envs, opponent="random", seed=0)
    sync = gymnasium.vector.SyncVectorEnv([lambda: NineBoardEnv(opponent="random") for _ in range(num_envs)])
    # Warm both up once (first calls build caches).
    steps_per_second(vector, 2, 0, clock)
    steps_per_second(sync, 1, 0, clock)
    results = []
    for number in range(rounds):
        ours = steps_per_second(vector, vector_steps, number, clock)
        theirs = steps_per_second(sync, sync_steps, number, clock)
        results.append({"vector_steps_per_s": ours, "sync_steps_per_s": theirs, "ratio": ours / theirs})
        print(f"round {number + 1} of {rounds}: NineBoardVectorEnv {ours:,.0f} steps/s, "
              f"SyncVectorEnv {theirs:,.0f} steps/s, ratio {ours / theirs:.1f}x", flush=True)
    figures = {key: statistics.median(r[key] for r in results) for key in results[0]}
    return {"num_envs": num_envs, "rounds": results, "figures": figures,
            "clock": "wall" if wall else "thread CPU time"}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--num-envs", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="tiny sizes: a smoke run that checks the script works")
    parser.add_argument("--wall", action="store_true", help="time with the wall clock instead of the thread's CPU time")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    args = parser.parse_args(argv)
    if args.quick:
        report = measure(min(args.num_envs, 16), 1, 3, 1, args.wall)
    else:
        report = measure(args.num_envs, args.rounds, 300, 8, args.wall)
    f = report["figures"]
    steps_met = f["vector_steps_per_s"] >= TARGET_STEPS_PER_S
    ratio_met = f["ratio"] >= TARGET_RATIO
    print(f"\n{report['num_envs']} environments against the random opponent, medians of "
          f"{len(report['rounds'])} round(s), {report['clock']}"
          f"{' (quick smoke run: sizes too small to mean anything)' if args.quick else ''}")
    print(f"  NineBoardVectorEnv  {f['vector_steps_per_s']:>14,.0f} agent steps/s   target >= "
          f"{TARGET_STEPS_PER_S:,}   met: {'yes' if steps_met else 'NO'}")
    print(f"  SyncVectorEnv       {f['sync_steps_per_s']:>14,.0f} agent steps/s")
    print(f"  ratio               {f['ratio']:>14.1f}x               target >= {TARGET_RATIO:g}x      "
          f"met: {'yes' if ratio_met else 'NO'}")
    if args.json:
        args.json.write_text(json.dumps(report, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
