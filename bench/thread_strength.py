"""What a second thread adds to the guided search's strength. Two threads at 2N simulations a
move play one thread at N (what two identical trees would amount to) and one thread at 2N
(one tree with the whole budget), over the arena's balanced openings with both colours.

    python3 bench/thread_strength.py [--simulations N] [--games 100] [--network baseline]
        [--processes 1]
"""

from __future__ import annotations

import argparse
import functools

from nonagame_lab import MCTSPlayer
from nonagame_lab.arena import match


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--simulations", type=int, default=500, help="N: the one-thread budget")
    parser.add_argument("--games", type=int, default=100)
    parser.add_argument("--network", default="baseline", help='"baseline" or a network file')
    parser.add_argument("--processes", type=int, default=1)
    parser.add_argument("--seed", type=int, default=21)
    args = parser.parse_args(argv)
    n = args.simulations

    def player(threads: int, simulations: int) -> functools.partial[MCTSPlayer]:
        return functools.partial(MCTSPlayer, simulations=simulations, threads=threads, network=args.network, seed=1)

    for label, other in ((f"1 thread at {n}", player(1, n)), (f"1 thread at {2 * n}", player(1, 2 * n))):
        result = match(player(2, 2 * n), other, games=args.games, seed=args.seed, processes=args.processes,
                       progress=False)
        print(f"2 threads at {2 * n} against {label}:\n{result}", flush=True)


if __name__ == "__main__":
    main()
