#!/usr/bin/env python3
"""The time of small searches, call by call, for two builds side by side: what a search costs
beyond its simulations shows in the short ones.

    OPENBLAS_NUM_THREADS=1 python3 bench/search_fixed_cost.py BEFORE_PYTHONPATH AFTER_PYTHONPATH [--rounds 5]

Each round runs every row once in a fresh process per build, the builds alternating, and the
ratio (before over after, so > 1 is faster) is taken within the round. A row is the median
over batches of the time per call of search() from the opening, wall clock and process CPU
time (which counts every thread of the process): with the shipped network
at 50 and 400 simulations, and the rollout search at 50.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

CHILD = """
import json, statistics, time
from nonagame_lab import Network, Position, search
net = Network.baseline()
root = Position()
rows = {{}}
for name, kwargs, calls in [("net 50", dict(simulations=50, network=net), 400),
                            ("net 400", dict(simulations=400, network=net), 100),
                            ("uct 50", dict(simulations=50), 1000)]:
    search(root, seed=1, **kwargs)
    wall, cpu = [], []
    for batch in range(7):
        start, start_cpu = time.perf_counter(), time.process_time()
        for i in range(calls):
            search(root, seed=i, **kwargs)
        wall.append((time.perf_counter() - start) / calls * 1e6)
        cpu.append((time.process_time() - start_cpu) / calls * 1e6)
    rows[name + " wall"] = statistics.median(wall)
    rows[name + " cpu"] = statistics.median(cpu)
print(json.dumps(rows))
"""


def measure(path: str) -> dict[str, float]:
    env = dict(os.environ, PYTHONPATH=path)
    out = subprocess.run([sys.executable, "-c", CHILD.format()], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    ratios: dict[str, list[float]] = {}
    times: dict[str, dict[str, list[float]]] = {"before": {}, "after": {}}
    for round_ in range(args.rounds):
        pair = {}
        order = ("before", "after") if round_ % 2 == 0 else ("after", "before")
        for which in order:
            pair[which] = measure(getattr(args, which))
            for name, us in pair[which].items():
                times[which].setdefault(name, []).append(us)
        line = []
        for name in pair["before"]:
            ratio = pair["before"][name] / pair["after"][name]
            ratios.setdefault(name, []).append(ratio)
            line.append(f"{name}: {pair['before'][name]:.1f} -> {pair['after'][name]:.1f} us ({ratio:.3f}x)")
        print(f"round {round_ + 1}: " + "; ".join(line), flush=True)
    print("median over rounds (us a call, before -> after, ratio within rounds):")
    for name, values in ratios.items():
        before = statistics.median(times["before"][name])
        after = statistics.median(times["after"][name])
        print(f"  {name:12} {before:9.1f} -> {after:9.1f} us   {statistics.median(values):.3f}x "
              f"({min(values):.3f} - {max(values):.3f})")


if __name__ == "__main__":
    main()
