"""Regenerates python/nonagame_lab/openings.txt, the arena's built-in suite of balanced openings.

Draws random positions ``--plies`` moves deep, keeps one of each symmetry class, scores each
with the rollout search (``--simulations`` a position, one thread, seeded) and writes the
``--count`` positions whose search value is nearest 0, in a shuffled order, so that a match
using only the first openings still gets a spread of them.

    PYTHONPATH=build/dev/python python3 scripts/make_openings.py --seed 1
"""

from __future__ import annotations

import argparse
import random
import time
from pathlib import Path

from nonagame_lab import Position, search

OUTPUT = Path(__file__).resolve().parent.parent / "python" / "nonagame_lab" / "openings.txt"


def canonical(position: Position) -> str:
    return min(p.notation for p in position.symmetries())


def candidates(plies: int, count: int, rng: random.Random) -> list[Position]:
    """Up to ``count`` distinct (up to symmetry) random positions ``plies`` moves deep."""
    seen: dict[str, Position] = {}
    for _ in range(count * 20):
        position = Position()
        for _ in range(plies):
            position = position.play(rng.choice(position.legal_moves))
        if not position.is_over:
            seen.setdefault(canonical(position), position)
        if len(seen) == count:
            break
    return list(seen.values())


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plies", type=int, default=4, help="moves played from the empty board")
    parser.add_argument("--candidates", type=int, default=600, help="random positions scored")
    parser.add_argument("--simulations", type=int, default=4000, help="search budget a position")
    parser.add_argument("--count", type=int, default=100, help="openings kept")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", type=Path, default=OUTPUT)
    args = parser.parse_args(argv)
    rng = random.Random(args.seed)
    started = time.perf_counter()
    scored = []
    pool = candidates(args.plies, args.candidates, rng)
    for index, position in enumerate(pool):
        value = search(position, simulations=args.simulations, seed=args.seed + index).value
        scored.append((abs(value), value, position.notation))
    scored.sort()
    kept = scored[: args.count]
    rng.shuffle(kept)
    header = [
        "# Balanced openings for nonagame_lab.arena, one notation a line.",
        f"# Made by scripts/make_openings.py --plies {args.plies} --candidates {args.candidates} "
        f"--simulations {args.simulations} --count {args.count} --seed {args.seed}:",
        f"# the {len(kept)} of {len(pool)} random {args.plies}-move positions (one a symmetry class) whose",
        f"# search value at {args.simulations} simulations is nearest 0 (all within {kept and max(k[0] for k in kept):.3f}).",
    ]
    args.output.write_text("\n".join(header + [notation for _, _, notation in kept]) + "\n")
    print(f"wrote {len(kept)} openings to {args.output} in {time.perf_counter() - started:.0f} s; "
          f"|value| <= {max(k[0] for k in kept):.3f}")


if __name__ == "__main__":
    main()
