"""A tournament of four contestants: the built-in random player, a Python player with a
simple heuristic, the native Monte Carlo tree search of nonagame_lab, and that search guided
by the network shipped with the package.

The heuristic completes a line in a roster when it can, otherwise blocks the opponent's
line, otherwise plays at random. The search player (MCTSPlayer) runs a fixed number of
simulations a move with random playouts and keeps its tree between its turns; the network
player is the same search guided by a network (``--network``: ``baseline``, a file, or
``none`` to leave it out), which replaces the playouts by the network's values and weighs
the moves by its priors. Prints a progress bar, a results table for each pairing and the
board of one finished game.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from collections.abc import Callable

import numpy as np

import nonagame
from nonagame_lab import MCTSPlayer

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
    """Plays the random player against the heuristic; the heuristic moves first in half of
    the games."""
    return series(
        ("heuristic", lambda id: HeuristicPlayer(id, seed)), ("random", nonagame.Player), games, chunk
    )


Factory = Callable[[int], nonagame.Player]


def series(first: tuple[str, Factory], second: tuple[str, Factory], games: int, chunk: int = 50) -> dict[str, float]:
    """Plays games between two contestants, swapping seats halfway (player 1 always opens),
    and returns each contestant's wins, the draws and the games per second."""
    (name_a, make_a), (name_b, make_b) = first, second
    seats = [(make_b(1), make_a(2), False), (make_a(1), make_b(2), True)]
    results: dict[str, float] = {name_a: 0, name_b: 0, "draws": 0}
    started = time.perf_counter()
    done = 0
    while done < games:
        n = min(chunk, games - done)
        p1, p2, a_opens = seats[0] if done < games // 2 else seats[1]
        before = p1.get_wins(), p2.get_wins()
        nonagame.play_multiple_games(p1, p2, n)
        won1, won2 = p1.get_wins() - before[0], p2.get_wins() - before[1]
        results[name_a] += won1 if a_opens else won2
        results[name_b] += won2 if a_opens else won1
        results["draws"] += n - won1 - won2
        done += n
        progress(done, games, started)
    elapsed = time.perf_counter() - started
    print()
    results["games_per_second"] = games / elapsed
    return results


def report(results: dict[str, float], labels: dict[str, str], games: int) -> None:
    print(f"{'player':<26}{'wins':>8}{'share':>9}")
    for key in [k for k in results if k != "games_per_second"]:
        print(f"{labels.get(key, key):<26}{int(results[key]):>8}{results[key] / games:>9.1%}")
    print(f"{'games per second':<26}{results['games_per_second']:>8,.1f}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=4000, help="games of random against the heuristic")
    parser.add_argument("--search-games", type=int, default=20, help="games of each pairing with the search")
    parser.add_argument("--simulations", type=int, default=400, help="simulations per move of the search")
    parser.add_argument("--seed", type=int, default=None, help="seed of the heuristic's and the search's choices")
    parser.add_argument("--network", default="baseline",
                        help="network of the guided player: 'baseline' (shipped), a file, or 'none' to leave it out")
    parser.add_argument("--network-simulations", type=int, default=200, help="simulations per move of the network player")
    args = parser.parse_args(argv)
    labels = {"heuristic": "heuristic (Python)", "random": "random (built-in)", "search": "search (native MCTS)",
              "network": f"network ({args.network}, guided MCTS)"}

    def search_player(id: int) -> nonagame.Player:
        return MCTSPlayer(id, simulations=args.simulations, seed=args.seed)

    def heuristic(id: int) -> nonagame.Player:
        return HeuristicPlayer(id, args.seed)

    print(f"heuristic against random, {args.games} games")
    report(series(("heuristic", heuristic), ("random", nonagame.Player), args.games), labels, args.games)
    for opponent, make in (("heuristic", heuristic), ("random", nonagame.Player)):
        print(f"\nsearch ({args.simulations} simulations a move) against {opponent}, {args.search_games} games")
        results = series(("search", search_player), (opponent, make), args.search_games, chunk=2)
        report(results, labels, args.search_games)
    if args.network != "none":
        def network_player(id: int) -> nonagame.Player:
            return MCTSPlayer(id, simulations=args.network_simulations, seed=args.seed, network=args.network)

        for opponent, make in (("search", search_player), ("random", nonagame.Player)):
            print(f"\nnetwork ({args.network_simulations} simulations a move) against {opponent}, "
                  f"{args.search_games} games")
            results = series(("network", network_player), (opponent, make), args.search_games, chunk=2)
            report(results, labels, args.search_games)

    game = nonagame.Game(0)
    nonagame.play_game(search_player(1), HeuristicPlayer(2, args.seed), game)
    winner = game.get_winner()
    print("\nOne finished game (search O against heuristic X):")
    print(game)
    print(f"winner: player {winner}" if winner else "draw")


if __name__ == "__main__":
    main()
