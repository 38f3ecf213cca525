"""``python3 -m nonagame_lab.arena A B --games N``: a match between two players, as a table.

Players are spec strings: random, uct:N (simulations a move), uct:Xs (seconds a move),
level:K (a graded opponent), net:NAME:N and net:NAME:Xs (search guided by a network: baseline or
a file), policy:NAME (the network alone), ugi:COMMAND (an external engine over UGI).
"""

from __future__ import annotations

import argparse

from nonagame_lab.arena import match


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m nonagame_lab.arena", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("player_a", help="the player the result is given for")
    parser.add_argument("player_b", help="its opponent")
    parser.add_argument("--games", type=int, default=None, help="games to play, even (default: each opening twice)")
    parser.add_argument("--openings", default=None, help="a file of notations, one a line (default: the built-in suite)")
    parser.add_argument("--seed", type=int, default=None, help="seed of the players' choices (default: drawn)")
    parser.add_argument("--processes", type=int, default=1, help="worker processes playing pairs at once")
    parser.add_argument(
        "--sprt", type=float, nargs=4, metavar=("ELO0", "ELO1", "ALPHA", "BETA"), default=None,
        help="run a sequential test and stop at its verdict, e.g. --sprt 0 50 0.05 0.05",
    )
    parser.add_argument("--quiet", action="store_true", help="no progress line")
    args = parser.parse_args(argv)
    try:
        result = match(
            args.player_a, args.player_b, openings=args.openings, games=args.games, seed=args.seed,
            processes=args.processes, sprt=args.sprt, progress=not args.quiet,
        )
    except (TypeError, ValueError, RuntimeError, OSError) as error:
        parser.error(str(error))
    print(result.table())
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
