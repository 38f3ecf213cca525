"""Self-play throughput with a network: positions a second of examples/alphazero.py's
self_play (by default at 160 simulations a move, 32 games at once through search_batch), with
the tree work on 1 and 2 threads, run alternately twice so that both see the same machine.

    python3 bench/selfplay.py [NETWORK] [--games N] [--simulations N]   # default: the shipped network
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import alphazero  # noqa: E402

from nonagame_lab import Network  # noqa: E402


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("network", nargs="?", help="a network file (default: the shipped network)")
    parser.add_argument("--games", type=int, default=32, help="games played at once")
    parser.add_argument("--simulations", type=int, default=160, help="simulations a move")
    args = parser.parse_args(argv)
    network = Network.load(args.network) if args.network else Network.baseline()
    rates: dict[int, list[float]] = {1: [], 2: []}
    for repeat in range(2):
        for threads in (1, 2):
            started = time.perf_counter()
            table = alphazero.self_play(network.evaluate_planes, args.games, args.simulations, seed=repeat,
                                        sample_plies=12, generation=0, first_game=0, threads=threads)
            seconds = time.perf_counter() - started
            rates[threads].append(table.num_rows / seconds)
            print(f"threads {threads}: {table.num_rows} positions in {seconds:.1f} s = "
                  f"{table.num_rows / seconds:.0f} positions/s", flush=True)
    print(f"best of two: 1 thread {max(rates[1]):.0f}, 2 threads {max(rates[2]):.0f} positions/s, "
          f"ratio {max(rates[2]) / max(rates[1]):.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
