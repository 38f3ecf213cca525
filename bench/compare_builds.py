"""The VectorGames rows of bench/lab.py for two builds side by side: each round runs every
row once in a fresh process per build, the builds alternating, and the ratio of the rates
(second build over first) is taken within each round. The best rate of each build over all
rounds is given as well: on a shared machine the other work only ever slows a run down.

    python3 bench/compare_builds.py BEFORE_PYTHONPATH AFTER_PYTHONPATH [--rounds 7] [--games 4096]

Each PYTHONPATH is a directory holding nonagame and nonagame_lab (such as build/dev/python
of each checkout). Rates are game steps per second of process CPU time, as in bench/run.py.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# One measurement in the child: the median over a few batches of each row.
CHILD = """
import json, statistics, sys
sys.path.insert(0, {here!r})
import lab
n, calls, threads = {games}, {calls}, {threads}
from nonagame_lab import VectorGames
schedule = lab.vector_schedule(n, calls, 1)
rows = {{"step": [], "step_random": [], "playout": []}}
for batch in range(5):
    ns, steps = lab.vector_step(schedule)
    rows["step"].append(steps / ns * 1e9)
    ns, steps = lab.vector_step_random(n, calls, batch)
    rows["step_random"].append(steps / ns * 1e9)
    games = VectorGames(n, seed=batch, threads=threads)
    ns = lab._timed_with(lab.native_clock, games.playout)
    rows["playout"].append(n / ns * 1e9)
print(json.dumps({{name: [statistics.median(rates), max(rates)] for name, rates in rows.items()}}))
"""


def measure(path: str, args: argparse.Namespace) -> dict[str, float]:
    code = CHILD.format(here=HERE, games=args.games, calls=args.calls, threads=1)
    env = dict(os.environ, PYTHONPATH=path)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--games", type=int, default=4096)
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()
    ratios: dict[str, list[float]] = {}
    rates: dict[str, dict[str, list[float]]] = {"before": {}, "after": {}}
    best: dict[str, dict[str, float]] = {"before": {}, "after": {}}
    for r in range(args.rounds):
        first, second = (("before", args.before), ("after", args.after))[:: 1 if r % 2 == 0 else -1]
        measured = {first[0]: measure(first[1], args), second[0]: measure(second[1], args)}
        for name in measured["before"]:
            for side in ("before", "after"):
                median, top = measured[side][name]
                rates[side].setdefault(name, []).append(median)
                best[side][name] = max(best[side].get(name, 0.0), top)
            ratios.setdefault(name, []).append(measured["after"][name][0] / measured["before"][name][0])
    print(f"{args.games} games, {args.calls} calls a batch, {args.rounds} rounds (builds alternating)")
    for name, values in ratios.items():
        before = statistics.median(rates["before"][name])
        after = statistics.median(rates["after"][name])
        print(f"{name:12} median rate before {before / 1e6:6.2f} M/s, after {after / 1e6:6.2f} M/s; "
              f"after/before within rounds median {statistics.median(values):.3f} "
              f"(range {min(values):.3f} - {max(values):.3f}); best rates "
              f"{best['before'][name] / 1e6:.2f} and {best['after'][name] / 1e6:.2f} M/s, "
              f"ratio {best['after'][name] / best['before'][name]:.3f}")


if __name__ == "__main__":
    main()
