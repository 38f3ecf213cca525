#!/usr/bin/env python3
"""Throughput of the learning environments: agent steps per second of NineBoardVectorEnv
against the random opponent, beside Gymnasium's SyncVectorEnv over the single-agent
NineBoardEnv with the same number of environments and beside the bare native batch
(VectorGames.step_random's game-steps per second, one random move in every running game),
measured in the same rounds.

    python3 -m pip install '.[rl]' && python3 bench/envs.py

Only the environments' step() calls are timed (CPU time of the measuring thread, as in
bench/run.py, unless --wall): the agent's random legal actions are drawn outside the clock.
Short batches of the three alternate within each round; figures are medians over rounds, and
the ratios are taken within each round. An agent step of NineBoardVectorEnv is two moves (the
agent's and the reply), plus the observation, the rewards and the resets; a game-step of
step_random is one move.
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

from nonagame_lab import VectorGames
from nonagame_lab.envs import NineBoardEnv, NineBoardVectorEnv

TARGET_RATIO = 200.0  # NineBoardVectorEnv / SyncVectorEnv
TARGET_NATIVE_RATIO = 0.3  # NineBoardVectorEnv agent steps / step_random game-steps


def random_legal(rng: np.random.Generator, mask: np.ndarray) -> np.ndarray:
    """One uniformly random legal cell per row (any cell where a row has none)."""
    scores = rng.random(mask.shape)
    scores[mask == 0] = -1.0
    return np.argmax(scores, axis=1)


class Stepper:
    """Steps an environment with random legal actions, timing only its step() calls."""

    def __init__(self, env: Any, seed: int, clock: Callable[[], float]) -> None:
        self.env, self.clock = env, clock
        self.rng = np.random.default_rng(seed)
        _, self.info = env.reset(seed=seed)
        self.steps = 0
        self.seconds = 0.0

    def run(self, steps: int) -> None:
        for _ in range(steps):
            actions = random_legal(self.rng, self.info["action_mask"])
            start = self.clock()
            _, _, _, _, self.info = self.env.step(actions)
            self.seconds += self.clock() - start
        self.steps += steps * self.env.num_envs

    def rate(self) -> float:
        return self.steps / self.seconds


class NativeStepper:
    """Calls VectorGames.step_random, counting the games that each call moves; the games are
    started again (outside the clock) when most have ended."""

    def __init__(self, num_envs: int, seed: int, clock: Callable[[], float]) -> None:
        self.games, self.clock = VectorGames(num_envs, seed=seed), clock
        self.steps = 0
        self.seconds = 0.0

    def run(self, steps: int) -> None:
        games = self.games
        for _ in range(steps):
            running = len(games) - int(games.done.sum())
            if running < len(games) // 2:
                games.reset()
                running = len(games)
            start = self.clock()
            games.step_random()
            self.seconds += self.clock() - start
            self.steps += running

    def rate(self) -> float:
        return self.steps / self.seconds


def measure(num_envs: int, rounds: int, chunks: int, vector_steps: int, sync_steps: int,
            wall: bool) -> dict[str, Any]:
    clock = time.perf_counter if wall else time.thread_time
    vector_env = NineBoardVectorEnv(num_envs, opponent="random", seed=0)
    sync_env = gymnasium.vector.SyncVectorEnv([lambda: NineBoardEnv(opponent="random") for _ in range(num_envs)])
    results = []
    for number in range(rounds):
        vector, sync = Stepper(vector_env, number, clock), Stepper(sync_env, number, clock)
        native = NativeStepper(num_envs, number, clock)
        vector.run(2)  # warm up (first calls build caches)
        sync.run(1)
        native.run(2)
        vector.steps = sync.steps = native.steps = 0
        vector.seconds = sync.seconds = native.seconds = 0.0
        # Short batches of the three alternate, so that a change in the machine's load falls
        # on all alike.
        for _ in range(chunks):
            vector.run(vector_steps)
            sync.run(sync_steps)
            native.run(vector_steps)
        ours, theirs, bare = vector.rate(), sync.rate(), native.rate()
        results.append({"vector_steps_per_s": ours, "sync_steps_per_s": theirs, "native_steps_per_s": bare,
                        "ratio": ours / theirs, "native_ratio": ours / bare})
        print(f"round {number + 1} of {rounds}: NineBoardVectorEnv {ours:,.0f} steps/s, "
              f"SyncVectorEnv {theirs:,.0f} steps/s, step_random {bare:,.0f} game-steps/s, "
              f"ratios {ours / theirs:.1f}x and {ours / bare:.2f}x", flush=True)
    figures = {key: statistics.median(r[key] for r in results) for key in results[0]}
    return {"num_envs": num_envs, "rounds": results, "figures": figures,
            "clock": "wall" if wall else "thread CPU time"}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--num-envs", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="tiny sizes: a smoke run that checks the script works")
    parser.add_argument("--wall", action="store_true", help="time with the wall clock instead of the thread's CPU time")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    args = parser.parse_args(argv)
    if args.quick:
        report = measure(min(args.num_envs, 16), 1, 2, 2, 1, args.wall)
    else:
        report = measure(args.num_envs, args.rounds, 10, 40, 1, args.wall)
    f = report["figures"]
    ratio_met = f["ratio"] >= TARGET_RATIO
    native_met = f["native_ratio"] >= TARGET_NATIVE_RATIO
    print(f"\n{report['num_envs']} environments against the random opponent, medians of "
          f"{len(report['rounds'])} round(s), {report['clock']}"
          f"{' (quick smoke run: sizes too small to mean anything)' if args.quick else ''}")
    print(f"  NineBoardVectorEnv          {f['vector_steps_per_s']:>14,.0f} agent steps/s")
    print(f"  SyncVectorEnv               {f['sync_steps_per_s']:>14,.0f} agent steps/s")
    print(f"  VectorGames.step_random     {f['native_steps_per_s']:>14,.0f} game-steps/s")
    print(f"  ratio to SyncVectorEnv      {f['ratio']:>14.1f}x   target >= {TARGET_RATIO:g}x   "
          f"met: {'yes' if ratio_met else 'NO'}")
    print(f"  ratio to step_random        {f['native_ratio']:>14.2f}x   target >= {TARGET_NATIVE_RATIO:g}x   "
          f"met: {'yes' if native_met else 'NO'}")
    if args.json:
        args.json.write_text(json.dumps(report, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
