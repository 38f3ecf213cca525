"""Self-play sharded over Ray workers.

Each worker plays its share of games between two built-in random players and returns plain
arrays (snapshots themselves are native objects and are not sent between processes) and its
win counts. Starts a local cluster by default; pass --address to use an existing one.
"""

from __future__ import annotations

import argparse
import time
from typing import Any

import numpy as np
import numpy.typing as npt
import ray

import nonagame


def play_shard(games: int) -> dict[str, Any]:
    """Plays games locally and returns boards, players to move, winners and win counts."""
    p1, p2 = nonagame.Player(1), nonagame.Player(2)
    boards: list[npt.NDArray[np.int8]] = []
    players: list[int] = []
    winners: list[int] = []
    for _ in range(games):
        game = nonagame.Game(0)
        states = nonagame.play_game(p1, p2, game)
        boards.extend(s.board for s in states)
        players.extend(s.player_id for s in states)
        winners.append(game.get_winner())
    return {
        "boards": np.stack(boards) if boards else np.zeros((0, 81), np.int8),
        "player_to_move": np.array(players, dtype=np.int8),
        "winners": np.array(winners, dtype=np.int8),
        "wins": (p1.get_wins(), p2.get_wins()),
    }


def run(workers: int, games_per_worker: int, address: str | None) -> dict[str, Any]:
    if address:
        ray.init(address=address)
    else:
        ray.init(num_cpus=workers, include_dashboard=False, log_to_driver=False)
    try:
        remote = ray.remote(play_shard)
        shards = ray.get([remote.remote(games_per_worker) for _ in range(workers)])
    finally:
        ray.shutdown()
    return {
        "boards": np.concatenate([s["boards"] for s in shards]),
        "player_to_move": np.concatenate([s["player_to_move"] for s in shards]),
        "winners": np.concatenate([s["winners"] for s in shards]),
        "wins": tuple(sum(s["wins"][i] for s in shards) for i in range(2)),
    }


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--games-per-worker", type=int, default=2000)
    parser.add_argument("--address", default=None, help="address of an existing Ray cluster")
    parser.add_argument("--out", default=None, help="optional .npz file for the collected arrays")
    args = parser.parse_args(argv)
    started = time.perf_counter()
    result = run(args.workers, args.games_per_worker, args.address)
    elapsed = time.perf_counter() - started
    games = args.workers * args.games_per_worker
    wins1, wins2 = result["wins"]
    print(f"{games} games on {args.workers} workers in {elapsed:.1f} s: player 1 won {wins1}, "
          f"player 2 won {wins2}, {games - wins1 - wins2} draws; {len(result['boards'])} snapshots")
    if args.out:
        np.savez_compressed(args.out, boards=result["boards"], player_to_move=result["player_to_move"],
                            winners=result["winners"])


if __name__ == "__main__":
    main()
