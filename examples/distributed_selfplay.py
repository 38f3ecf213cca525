"""Search self-play sharded over Ray workers, written as one Parquet dataset.

Each worker plays its share of games by nonagame_lab.search (--simulations a move; 0 for the
built-in random players) and writes them as Parquet shards (--shard-games games each) into
one dataset directory, with the columns of examples/dataset.py. The driver then reads the
directory back with pyarrow.dataset and prints a summary: positions, results, and how many
positions a second each worker added.

Starts a local cluster by default (one CPU per worker); pass --address to use an existing
one. On a cluster of several machines, --out must be storage that every node sees (a shared
file system), and every node needs nonagame installed; the game code of examples/dataset.py
is shipped with the tasks.

    pip install '.[distributed]' && python3 examples/distributed_selfplay.py --workers 2
"""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import ray

sys.path.insert(0, str(Path(__file__).resolve().parent))
import dataset  # noqa: E402  (the sibling example: the games and the Parquet table)


def play_shard(worker: int, games: int, simulations: int, out_dir: str, shard_games: int,
               seed: int | None, sample_plies: int) -> dict[str, Any]:
    """Plays a worker's games and writes them as Parquet shards; returns its counts."""
    started = time.perf_counter()
    rng = np.random.default_rng(None if seed is None else [seed, worker])
    positions, shards = 0, []
    for number, offset in enumerate(range(0, games, shard_games)):
        count = min(shard_games, games - offset)
        first_game = worker * games + offset  # game ids are unique over the whole dataset
        if simulations:
            data = dataset.search_games(count, simulations, seed=int(rng.integers(2**63)),
                                        sample_plies=sample_plies, first_game=first_game)
        else:
            data = dataset.generate(count, first_game=first_game)
        path = Path(out_dir) / f"worker-{worker:03d}-shard-{number:04d}.parquet"
        pq.write_table(dataset.to_table(data), path)
        positions += len(data["boards"])
        shards.append(path.name)
    seconds = time.perf_counter() - started
    return {"worker": worker, "games": games, "positions": positions, "seconds": seconds, "shards": shards}


def summarise(out_dir: str) -> dict[str, Any]:
    """Reads the dataset directory back and sums it up."""
    table = ds.dataset(out_dir, format="parquet").to_table()
    games = table.column("game").to_numpy()
    winners = table.column("winner").to_numpy()
    order = np.unique(games, return_index=True)[1]
    per_game = winners[order]
    boards = table.column("board").combine_chunks().flatten().to_numpy().reshape(-1, 81)
    return {
        "positions": table.num_rows,
        "boards": boards,
        "player_to_move": table.column("player_to_move").to_numpy(),
        "winners": per_game,
        "wins": (int((per_game == 1).sum()), int((per_game == 2).sum())),
        "files": len(ds.dataset(out_dir, format="parquet").files),
    }


def run(workers: int, games_per_worker: int, address: str | None, *, out: str | None = None,
        simulations: int = 100, shard_games: int = 50, seed: int | None = None,
        sample_plies: int = 10) -> dict[str, Any]:
    """Runs the workers and reads their shards back. Without ``out`` the dataset goes to a
    temporary directory that is removed once read."""
    scratch = None
    if out is None:
        scratch = tempfile.mkdtemp(prefix="nonagame-selfplay-")
        out = scratch
    Path(out).mkdir(parents=True, exist_ok=True)
    if address:
        ray.init(address=address, log_to_driver=False)
    else:
        ray.init(num_cpus=workers, include_dashboard=False, log_to_driver=False)
    try:
        # The tasks carry the game code with them: workers need not find the examples folder.
        ray.cloudpickle.register_pickle_by_value(dataset)  # type: ignore[no-untyped-call, unused-ignore]
        remote = ray.remote(num_cpus=1)(play_shard)
        started = time.perf_counter()
        reports = ray.get([remote.remote(w, games_per_worker, simulations, out, shard_games, seed, sample_plies)
                           for w in range(workers)])
        seconds = time.perf_counter() - started
    finally:
        ray.shutdown()
    try:
        result = summarise(out)
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
    result.update({"workers": reports, "seconds": seconds, "out": out})
    return result


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--games-per-worker", type=int, default=50)
    parser.add_argument("--simulations", type=int, default=100, help="search simulations a move (0: random players)")
    parser.add_argument("--sample-plies", type=int, default=10,
                        help="moves of each game drawn from the visit distribution")
    parser.add_argument("--shard-games", type=int, default=25, help="games per Parquet shard")
    parser.add_argument("--seed", type=int, default=None, help="seed of the games (each worker its own stream)")
    parser.add_argument("--address", default=None, help="address of an existing Ray cluster")
    parser.add_argument("--out", default="selfplay-dataset", help="dataset directory for the Parquet shards")
    parser.add_argument("--overwrite", action="store_true", help="remove the shards of an earlier run in --out")
    args = parser.parse_args(argv)
    out = Path(args.out)
    earlier = sorted(out.glob("worker-*-shard-*.parquet")) if out.is_dir() else []
    if earlier and not args.overwrite:
        parser.error(f"{out} already holds {len(earlier)} shards; pass --overwrite or another --out")
    for path in earlier:
        path.unlink()
    result = run(args.workers, args.games_per_worker, args.address, out=str(out), simulations=args.simulations,
                 shard_games=args.shard_games, seed=args.seed, sample_plies=args.sample_plies)
    games = args.workers * args.games_per_worker
    wins1, wins2 = result["wins"]
    print(f"{games} games on {args.workers} workers in {result['seconds']:.1f} s: player 1 won {wins1}, "
          f"player 2 won {wins2}, {games - wins1 - wins2} draws")
    print(f"dataset {result['out']}: {result['positions']} positions in {result['files']} Parquet files")
    for report in result["workers"]:
        rate = report["positions"] / report["seconds"]
        print(f"  worker {report['worker']}: {report['positions']} positions of {report['games']} games "
              f"in {report['seconds']:.1f} s, {rate:,.0f} positions/s")
    rates = [r["positions"] / r["seconds"] for r in result["workers"]]
    print(f"positions per second per worker: median {float(np.median(rates)):,.0f}; "
          f"all workers together {result['positions'] / result['seconds']:,.0f}")


if __name__ == "__main__":
    main()
