"""A Monte Carlo tree search player built on checkpoints, played against the random player.

Each move runs a number of search iterations from the current position: load the root
checkpoint, walk down the tree by the UCT rule, add one new node, finish the game with a
native random playout, and back the result up the path.
"""

from __future__ import annotations

import argparse
import math
import random

import nonagame


class Node:
    __slots__ = ("parent", "move", "mover", "untried", "children", "visits", "score")

    def __init__(self, parent: Node | None, move: int | None, mover: int, untried: list[int]) -> None:
        self.parent = parent
        self.move = move  # the cell played to reach this node
        self.mover = mover  # the player who played it
        self.untried = untried
        self.children: list[Node] = []
        self.visits = 0
        self.score = 0.0  # from the mover's point of view: 1 win, 0.5 draw

    def best_child(self, exploration: float) -> Node:
        log_visits = math.log(self.visits)
        return max(
            self.children,
            key=lambda c: c.score / c.visits + exploration * math.sqrt(log_visits / c.visits),
        )


class MCTSPlayer(nonagame.Player):
    """Chooses moves by Monte Carlo tree search with random playouts."""

    def __new__(cls, id: int, iterations: int = 300, seed: int | None = None) -> MCTSPlayer:
        return super().__new__(cls, id)

    def __init__(self, id: int, iterations: int = 300, seed: int | None = None) -> None:
        self.iterations = iterations
        self.exploration = 1.4
        self.rng = random.Random(seed)
        self.playout = (nonagame.Player(1), nonagame.Player(2))
        self.scratch = nonagame.Game(0)

    def make_move(self, game: nonagame.Game) -> None:
        me = game.make_state().player_id
        game.make_move(self.search(game, me), me)

    def search(self, game: nonagame.Game, me: int) -> int:
        root_checkpoint = game.make_checkpoint()
        root = Node(None, None, 3 - me, game.get_available_moves())
        sim = self.scratch
        for _ in range(self.iterations):
            sim.load_checkpoint(root_checkpoint)
            node = root
            while not node.untried and node.children:
                node = node.best_child(self.exploration)
                assert node.move is not None
                sim.make_move(node.move, node.mover)
            if node.untried:
                move = node.untried.pop(self.rng.randrange(len(node.untried)))
                mover = 3 - node.mover
                sim.make_move(move, mover)
                child = Node(node, move, mover, sim.get_available_moves())
                node.children.append(child)
                node = child
            if sim.get_available_moves():
                nonagame.play_game(self.playout[0], self.playout[1], sim)
            winner = sim.get_winner()
            walk: Node | None = node
            while walk is not None:
                walk.visits += 1
                walk.score += 1.0 if winner == walk.mover else 0.5 if winner == 0 else 0.0
                walk = walk.parent
        best = max(root.children, key=lambda c: c.visits)
        assert best.move is not None
        return best.move


def play_series(games: int, iterations: int, seed: int | None = None) -> tuple[int, int, int]:
    """Returns (search wins, random wins, draws); the search player opens every other game."""
    wins = losses = draws = 0
    for g in range(games):
        search_first = g % 2 == 0
        search = MCTSPlayer(1 if search_first else 2, iterations, None if seed is None else seed + g)
        rand = nonagame.Player(2 if search_first else 1)
        game = nonagame.Game(g)
        nonagame.play_game(search if search_first else rand, rand if search_first else search, game)
        winner = game.get_winner()
        search_id = 1 if search_first else 2
        if winner == 0:
            draws += 1
        elif winner == search_id:
            wins += 1
        else:
            losses += 1
    return wins, losses, draws


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=20)
    parser.add_argument("--iterations", type=int, default=300, help="search iterations per move")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args(argv)
    wins, losses, draws = play_series(args.games, args.iterations, args.seed)
    print(f"search wins {wins}, random wins {losses}, draws {draws} over {args.games} games "
          f"({wins / args.games:.0%} won by the search player)")


if __name__ == "__main__":
    main()
