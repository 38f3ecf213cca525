"""A series between the built-in random player and a Python player with a simple heuristic.

The heuristic completes a line in a roster when it can, otherwise blocks the opponent's
line, otherwise plays at random. Prints a progress bar, a results table and the board of
one finished game.
"""

from __future__ import annotations

import argparse
import random
import sys
import time

import numpy as np

import nonagame

LINES = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))


def completes_line(board: np.ndarray, cell: int, player: int) -> bool:
    """Whether playing cell would give player a full line in the cell's roster."""
    base, position = cell - cell % 9, cell % 9
    return any(
        position in line and all(p == position or board[base + p] == player for p in line) for line in LINES
    )


class HeuristicPlayer(nonagame.Player):
    """Wins a roster when possible, else blocks the opponent's roster line, else plays at random."""

    def __new__(cls, id: int, seed: int | None = None) -> HeuristicPlayer:
        return super().__new__(cls, id)

    def __init__(self, id: int, seed: int | None = None) -> None:
        self.rng = random.Random(seed)

    def choose(self, state: nonagame.State) -> int:
        board = state.board
        me = state.player_id
        moves = state.possible_moves.tolist()
        for player in (me, 3 - me):  # first win, then block
            for cell in moves:
                if completes_line(board, cell, player):
                    return int(cell)
        return int(self.rng.choice(moves))

    def make_move(self, game: nonagame.Game) -> None:
        state = game.make_state()
        game.make_move(self.choose(state), state.player_id)


def progress(done: int, total: int, started: float, width: int = 40) -> None:
    filled = width * done // max(total, 1)
    rate = done / max(time.perf_counter() - started, 1e-9)
    sys.stdout.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} games, {rate:,.0f} games/s")
    sys.stdout.flush()


def run(games: int, chunk: int = 50, seed: int | None = None) -> dict[str, float]:
    """Plays the series; the heuristic moves first in half of the games."""
    random_player = nonagame.Player(1)
    heuristic = HeuristicPlayer(2, seed)
    # Seats: player1 always opens, so swap the seats for the second half.
    random_second = nonagame.Player(2)
    heuristic_first = HeuristicPlayer(1, seed)
    results: dict[str, float] = {"heuristic": 0, "random": 0, "draws": 0}
    started = time.perf_counter()
    done = 0
    while done < games:
        n = min(chunk, games - done)
        first_half = done < games // 2
        p1, p2 = (random_player, heuristic) if first_half else (heuristic_first, random_second)
        before = p1.get_wins(), p2.get_wins()
        nonagame.play_multiple_games(p1, p2, n)
        won1, won2 = p1.get_wins() - before[0], p2.get_wins() - before[1]
        heuristic_wins, random_wins = (won2, won1) if first_half else (won1, won2)
        results["heuristic"] += heuristic_wins
        results["random"] += random_wins
        results["draws"] += n - won1 - won2
        done += n
        progress(done, games, started)
    elapsed = time.perf_counter() - started
    print()
    results["games_per_second"] = games / elapsed
    return results


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=4000, help="number of games in the series")
    parser.add_argument("--seed", type=int, default=None, help="seed of the heuristic's random choices")
    args = parser.parse_args(argv)

    results = run(args.games, seed=args.seed)
    total = args.games
    print(f"{'player':<22}{'wins':>8}{'share':>9}")
    for name, key in (("heuristic (Python)", "heuristic"), ("random (built-in)", "random"), ("draws", "draws")):
        print(f"{name:<22}{int(results[key]):>8}{results[key] / total:>9.1%}")
    print(f"{'games per second':<22}{results['games_per_second']:>8,.0f}")

    game = nonagame.Game(0)
    nonagame.play_game(HeuristicPlayer(1, args.seed), nonagame.Player(2), game)
    winner = game.get_winner()
    print("\nOne finished game (heuristic O against random X):")
    print(game)
    print(f"winner: player {winner}" if winner else "draw")


if __name__ == "__main__":
    main()
