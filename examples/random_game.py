"""Plays one game between two uniformly random movers and prints every move and the board."""
import argparse
import random

import nonagame


def play_random_game(seed: int | None = None) -> nonagame.Game:
    rng = random.Random(seed)
    game = nonagame.Game(0)
    player = 1
    while True:
        cells = game.get_available_moves()
        if not cells:
            return game
        cell = rng.choice(cells)
        game.make_move(cell, player)
        print(f"player {player} plays cell {cell}")
        player = 3 - player


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seed", type=int, default=None, help="seed for reproducible games")
    args = parser.parse_args()
    game = play_random_game(args.seed)
    print(game)
    winner = game.get_winner()
    print(f"player {winner} wins" if winner else "draw")


if __name__ == "__main__":
    main()
