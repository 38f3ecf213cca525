#!/usr/bin/env python3
"""The guided search's two threads over one (the benchmark's thread row), pair by pair, for one
or more builds side by side, with what else ran on the machine meanwhile.

    OPENBLAS_NUM_THREADS=1 python3 bench/thread_pairs.py PYTHONPATH [PYTHONPATH ...] [--rounds 3] [--pairs 10]

A pair is search(position, network=net, simulations=...) with threads=1 and then threads=2
from the row's position, wall clock. Each round runs every build once in a fresh process,
the builds alternating. A line per process gives every pair's ratio, the median ratio, the
median simulations per CPU-second of two threads over one, and per pair the CPU seconds that
other processes took meanwhile (from /proc/stat). Two busy threads are exposed twice to
whatever else the machine runs: a ratio far below 2 with no other CPU time in the guest
points at the host, where /proc/stat cannot see.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent

CHILD = """
import json, os, sys, time
sys.path.insert(0, {bench!r})
import numpy as np
import cases, lab, network
from nonagame_lab import Network, Position, search

net = Network.from_arrays(network.reference_arrays(1))
line = lab.search_positions(cases.Sizes().search_plies, np.random.default_rng(3))[0]
position = Position.from_moves([int(c) for c in line])
tick = os.sysconf("SC_CLK_TCK")


def busy():
    # CPU seconds of the whole machine so far, but for idle and iowait (Linux only).
    try:
        with open("/proc/stat") as f:
            values = [int(v) for v in f.readline().split()[1:]]
    except OSError:
        return float("nan")
    return (sum(values) - values[3] - values[4]) / tick


search(position, simulations=1000, seed=1, network=net)
pairs = []
for i in range({pairs}):
    machine, own = busy(), time.process_time()
    rates, per_cpu = {{}}, {{}}
    for threads in (1, 2):
        wall, cpu = time.perf_counter(), time.process_time()
        done = search(position, simulations={simulations}, seed=i, threads=threads, network=net).simulations
        rates[threads] = done / (time.perf_counter() - wall)
        per_cpu[threads] = done / max(time.process_time() - cpu, 1e-9)
    other = (busy() - machine) - (time.process_time() - own)
    pairs.append([rates[1], rates[2], per_cpu[2] / per_cpu[1], other])
print(json.dumps(pairs))
"""


def measure(path: str, pairs: int, simulations: int) -> list[list[float]]:
    env = dict(os.environ, PYTHONPATH=path)
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    code = CHILD.format(bench=str(BENCH), pairs=pairs, simulations=simulations)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs="+", help="a PYTHONPATH holding nonagame_lab, per build")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--pairs", type=int, default=10, help="pairs per process (default 10)")
    parser.add_argument("--simulations", type=int, default=100000, help="per search (default 100000, the row's)")
    args = parser.parse_args()
    ratios: list[list[float]] = [[] for _ in args.builds]  # per build, in the order given
    for round_ in range(args.rounds):
        for index, path in enumerate(args.builds):
            pairs = measure(path, args.pairs, args.simulations)
            ratio = [two / one for one, two, _, _ in pairs]
            ratios[index].extend(ratio)
            print(f"round {round_ + 1} {path}: t1 {statistics.median(p[0] for p in pairs):,.0f}/s "
                  f"t2 {statistics.median(p[1] for p in pairs):,.0f}/s, ratio {statistics.median(ratio):.2f}x "
                  f"(pairs {' '.join(f'{r:.2f}' for r in ratio)}), per CPU-second "
                  f"{statistics.median(p[2] for p in pairs):.2f}x, other processes' CPU s "
                  f"{' '.join(f'{p[3]:.2f}' for p in pairs)}", flush=True)
    print("median over all pairs (quartiles):")
    for path, values in zip(args.builds, ratios):
        values.sort()
        print(f"  {path}: {statistics.median(values):.2f}x "
              f"({values[len(values) // 4]:.2f} - {values[(3 * len(values)) // 4]:.2f}, {len(values)} pairs)")


if __name__ == "__main__":
    main()
