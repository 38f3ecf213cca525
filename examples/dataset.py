"""Exports self-play positions ready for training, as a compressed NumPy file (.npz) or as
Parquet (.parquet, needs pyarrow: pip install '.[data]').

Two kinds of games:
  by default, games between the built-in random players; a row is the position after each
  turn (the first has one mark, the last is the finished position), and its policy target is
  the random player's own: uniform over the legal cells (all 0 in the finished position).
  With --simulations N, self-play by nonagame_lab.search with N simulations a move; a row is
  each position where the search chose a move (from the empty board to the last move), and
  its policy target is the search's visit distribution over the legal cells. The first
  --sample-plies moves of a game are drawn from that distribution, the later ones are the
  most visited move, so that games differ.
With --augment every row comes eight times, once per symmetry of the board (policy and masks
moved along with it).

Arrays in the .npz file, one row per position:
  boards          int8    [n, 81]  cell contents 0, 1, 2
  player_to_move  int8    [n]      1 or 2
  legal_mask      bool    [n, 81]  cells the player to move may play
  winner          int8    [n]      final result of the row's game: 1, 2, or 0 for a draw
  value           int8    [n]      that result for the player to move: 1 win, -1 loss, 0 draw
  game            int32   [n]      index of the game the row belongs to
  policy          float32 [n, 81]  policy target (see above); sums to 1 where a move is legal
  ply             int16   [n]      moves played to reach the position (marks on the board)
  key             uint64  [n]      Position.key of the position
  notation        str     [n]      Position.notation of the position
  symmetry        int8    [n]      symmetry (0..7, SYMMETRY_NAMES) applied to the game's position
The Parquet file has one column per array, a row per position: board, legal_mask and policy
are fixed-size lists of 81 (int8, bool, float32); the others are scalars of the types above
(notation a string).
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import nonagame
from nonagame_lab import Position, search, transform_policy

Arrays = dict[str, npt.NDArray[Any]]

COLUMNS = ("boards", "player_to_move", "legal_mask", "winner", "value", "game", "policy", "ply", "key",
           "notation", "symmetry")


def _mask(position: Position) -> npt.NDArray[np.bool_]:
    mask = np.zeros(81, dtype=np.bool_)
    mask[position.legal_moves] = True
    return mask


def _arrays(rows: list[tuple[Position, npt.NDArray[np.float32], int, int]]) -> Arrays:
    """Arrays from rows of (position, policy, winner, game)."""
    positions = [r[0] for r in rows]
    players = np.array([p.to_move for p in positions], dtype=np.int8)
    winners = np.array([r[2] for r in rows], dtype=np.int8)
    return {
        "boards": np.stack([p.board for p in positions]).astype(np.int8) if rows else np.zeros((0, 81), np.int8),
        "player_to_move": players,
        "legal_mask": np.stack([_mask(p) for p in positions]) if rows else np.zeros((0, 81), np.bool_),
        "winner": winners,
        "value": np.where(winners == 0, 0, np.where(winners == players, 1, -1)).astype(np.int8),
        "game": np.array([r[3] for r in rows], dtype=np.int32),
        "policy": np.stack([r[1] for r in rows]).astype(np.float32) if rows else np.zeros((0, 81), np.float32),
        "ply": np.array([int((p.board != 0).sum()) for p in positions], dtype=np.int16),
        "key": np.array([p.key for p in positions], dtype=np.uint64),
        "notation": np.array([p.notation for p in positions], dtype=np.str_),
        "symmetry": np.zeros(len(rows), dtype=np.int8),
    }


def generate(games: int, first_game: int = 0) -> Arrays:
    """Games between the built-in random players: the position after each turn. Games are
    numbered from ``first_game``."""
    p1, p2 = nonagame.Player(1), nonagame.Player(2)
    rows: list[tuple[Position, npt.NDArray[np.float32], int, int]] = []
    for g in range(first_game, first_game + games):
        game = nonagame.Game(g)
        states = nonagame.play_game(p1, p2, game)
        winner = game.get_winner()
        for state in states:
            position = Position.from_state(state)
            mask = _mask(position)
            policy = (mask / mask.sum() if mask.any() else np.zeros(81)).astype(np.float32)
            rows.append((position, policy, winner, g))
    return _arrays(rows)


def search_games(games: int, simulations: int, *, seed: int | None = None, sample_plies: int = 10,
                 threads: int = 1, first_game: int = 0) -> Arrays:
    """Self-play by the search: every position where it chose a move, with its visit
    distribution as the policy target. Games are numbered from ``first_game``."""
    rng = np.random.default_rng(seed)
    rows: list[tuple[Position, npt.NDArray[np.float32], int, int]] = []
    for g in range(first_game, first_game + games):
        position = Position()
        chosen: list[tuple[Position, npt.NDArray[np.float32]]] = []
        while not position.is_over:
            result = search(position, simulations=simulations, seed=int(rng.integers(2**63)), threads=threads)
            chosen.append((position, result.policy.astype(np.float32)))
            if len(chosen) <= sample_plies:
                cell = int(rng.choice(81, p=result.policy))
            else:
                cell = result.best_move
            position = position.play(cell)
        rows.extend((p, policy, position.winner, g) for p, policy in chosen)
    return _arrays(rows)


def augment(data: Arrays) -> Arrays:
    """Every row eight times, once per symmetry (k = 0..7, identity first)."""
    n = len(data["boards"])
    out: Arrays = {}
    for name, array in data.items():
        if name in ("boards", "legal_mask", "policy"):
            stacked = np.stack([transform_policy(k, array) for k in range(8)], axis=1)
            out[name] = stacked.reshape(8 * n, 81).astype(array.dtype)
        elif name not in ("key", "notation", "symmetry"):
            out[name] = np.repeat(array, 8)
    positions = [Position(text).transform(k) for text in data["notation"] for k in range(8)]
    out["key"] = np.array([p.key for p in positions], dtype=np.uint64)
    out["notation"] = np.array([p.notation for p in positions], dtype=np.str_)
    out["symmetry"] = np.tile(np.arange(8, dtype=np.int8), n)
    return {name: out[name] for name in COLUMNS}


def to_table(data: Arrays) -> Any:
    """The rows as a pyarrow Table (column names of the Parquet file)."""
    import pyarrow as pa

    def fixed(array: npt.NDArray[Any], kind: Any) -> Any:
        return pa.FixedSizeListArray.from_arrays(pa.array(array.reshape(-1), type=kind), 81)

    table = pa.table({
        "notation": pa.array(data["notation"].tolist(), type=pa.string()),
        "board": fixed(data["boards"], pa.int8()),
        "player_to_move": pa.array(data["player_to_move"], type=pa.int8()),
        "legal_mask": fixed(data["legal_mask"], pa.bool_()),
        "policy": fixed(data["policy"], pa.float32()),
        "value": pa.array(data["value"], type=pa.int8()),
        "winner": pa.array(data["winner"], type=pa.int8()),
        "game": pa.array(data["game"], type=pa.int32()),
        "ply": pa.array(data["ply"], type=pa.int16()),
        "key": pa.array(data["key"], type=pa.uint64()),
        "symmetry": pa.array(data["symmetry"], type=pa.int8()),
    })
    return table.replace_schema_metadata({"description": "nonagame self-play positions; see examples/dataset.py"})


def write(data: Arrays, out: str | Path) -> None:
    """Writes .npz (NumPy) or .parquet (pyarrow) by the file's extension."""
    path = Path(out)
    if path.suffix == ".parquet":
        import pyarrow.parquet as pq

        pq.write_table(to_table(data), path)
    elif path.suffix == ".npz":
        np.savez_compressed(
            path, boards=data["boards"], player_to_move=data["player_to_move"], legal_mask=data["legal_mask"],
            winner=data["winner"], value=data["value"], game=data["game"], policy=data["policy"], ply=data["ply"],
            key=data["key"], notation=data["notation"], symmetry=data["symmetry"],
        )
    else:
        raise SystemExit(f"--out: expected a .npz or .parquet file, got {str(path)!r}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=1000)
    parser.add_argument("--out", default="selfplay.npz", help="output file, .npz or .parquet")
    parser.add_argument("--simulations", type=int, default=0,
                        help="self-play by the search with this many simulations a move (0: random players)")
    parser.add_argument("--sample-plies", type=int, default=10,
                        help="with --simulations: moves of each game drawn from the visit distribution")
    parser.add_argument("--threads", type=int, default=1, help="with --simulations: threads of each search")
    parser.add_argument("--seed", type=int, default=None, help="with --simulations: seed of the games")
    parser.add_argument("--augment", action="store_true", help="add the seven other symmetries of every row")
    args = parser.parse_args(argv)
    if args.simulations < 0:
        parser.error("--simulations must be 0 (random players) or positive")
    started = time.perf_counter()
    if args.simulations:
        data = search_games(args.games, args.simulations, seed=args.seed, sample_plies=args.sample_plies,
                            threads=args.threads)
    else:
        data = generate(args.games)
    if args.augment:
        data = augment(data)
    write(data, args.out)
    elapsed = time.perf_counter() - started
    print(f"wrote {len(data['boards'])} positions of {args.games} games to {args.out} in {elapsed:.1f} s")


if __name__ == "__main__":
    main()
