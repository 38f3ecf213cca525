"""Exports self-play snapshots to a compressed NumPy file ready for training.

Arrays in the file, one row per snapshot (the position after each turn):
  boards          int8  [n, 81]  cell contents 0, 1, 2
  player_to_move  int8  [n]      1 or 2
  legal_mask      bool  [n, 81]  cells the player to move may play
  winner          int8  [n]      final result of the snapshot's game: 1, 2, or 0 for a draw
  value           int8  [n]      that result for the player to move: 1 win, -1 loss, 0 draw
  game            int32 [n]      index of the game the snapshot belongs to
"""

from __future__ import annotations

import argparse

import numpy as np
import numpy.typing as npt

import nonagame


def generate(games: int) -> dict[str, npt.NDArray[np.generic]]:
    p1, p2 = nonagame.Player(1), nonagame.Player(2)
    boards: list[npt.NDArray[np.int8]] = []
    players: list[int] = []
    masks: list[npt.NDArray[np.bool_]] = []
    winners: list[int] = []
    game_index: list[int] = []
    for g in range(games):
        game = nonagame.Game(g)
        states = nonagame.play_game(p1, p2, game)
        winner = game.get_winner()
        for state in states:
            boards.append(state.board)
            players.append(state.player_id)
            mask = np.zeros(81, dtype=np.bool_)
            mask[state.possible_moves] = True
            masks.append(mask)
            winners.append(winner)
            game_index.append(g)
    player_to_move = np.array(players, dtype=np.int8)
    winner_array = np.array(winners, dtype=np.int8)
    value = np.where(winner_array == 0, 0, np.where(winner_array == player_to_move, 1, -1)).astype(np.int8)
    return {
        "boards": np.stack(boards) if boards else np.zeros((0, 81), np.int8),
        "player_to_move": player_to_move,
        "legal_mask": np.stack(masks) if masks else np.zeros((0, 81), np.bool_),
        "winner": winner_array,
        "value": value,
        "game": np.array(game_index, dtype=np.int32),
    }


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=1000)
    parser.add_argument("--out", default="selfplay.npz", help="output file")
    args = parser.parse_args(argv)
    data = generate(args.games)
    np.savez_compressed(
        args.out,
        boards=data["boards"],
        player_to_move=data["player_to_move"],
        legal_mask=data["legal_mask"],
        winner=data["winner"],
        value=data["value"],
        game=data["game"],
    )
    print(f"wrote {len(data['boards'])} snapshots of {args.games} games to {args.out}")


if __name__ == "__main__":
    main()
