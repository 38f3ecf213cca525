"""Measures the ladder of graded opponents: each level against the one below it, over the
arena's built-in openings, and each level's Elo relative to random play as the sum of the
steps below it (the steps' standard errors combined as independent).

    PYTHONPATH=build/dev/python python3 bench/levels.py --games 200 --processes 2 --seed 1

``--budgets`` measures another ladder (0 is random play) before the levels are changed.
Prints a Markdown table for the README.
"""

from __future__ import annotations

import argparse
import math
import time

from nonagame_lab import LEVEL_SIMULATIONS
from nonagame_lab.arena import Z95, match


def spec(simulations: int) -> str:
    return "random" if simulations == 0 else f"uct:{simulations}"


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--budgets", type=int, nargs="+", default=list(LEVEL_SIMULATIONS))
    parser.add_argument("--games", type=int, default=200, help="games of each step")
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    rows = ["| level | player | games | step Elo (95%) | step score | Elo vs random (95%) |", "|---|---|---|---|---|---|"]
    rows.append(f"| 0 | {spec(args.budgets[0])} | | | | 0 |")
    total, variance = 0.0, 0.0
    started = time.perf_counter()
    for level in range(1, len(args.budgets)):
        upper, lower = spec(args.budgets[level]), spec(args.budgets[level - 1])
        result = match(upper, lower, games=args.games, seed=args.seed + level, processes=args.processes)
        low, high = result.elo_interval
        total += result.elo
        variance += ((high - low) / (2 * Z95)) ** 2
        spread = Z95 * math.sqrt(variance)
        rows.append(
            f"| {level} | {upper} | {result.games} | {result.elo:+.0f} [{low:+.0f}, {high:+.0f}] | "
            f"{result.score:.1%} ({result.wins}-{result.draws}-{result.losses}) | {total:+.0f} [{total - spread:+.0f}, "
            f"{total + spread:+.0f}] |"
        )
        print(result.table(), flush=True)
    print(f"\n{time.perf_counter() - started:.0f} s\n")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
