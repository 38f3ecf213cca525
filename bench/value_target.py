"""Which value target trains the stronger network: the game's result, the search's root value,
or a mix (examples/alphazero.py's --value-mix). From one starting network, each mix trains the
same number of steps on the same batches of the same self-play shards (held-out games aside);
then the trained networks play each other in the arena, guided at a fixed budget, and each
reports its squared error against the held-out games' results and root values.

    python3 bench/value_target.py START.npz SHARD.parquet... [--mixes 0,0.5,1] [--steps 3000]
        [--games 100] [--simulations 200] [--processes 2]
"""

from __future__ import annotations

import argparse
import itertools
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import alphazero  # noqa: E402

from nonagame_lab import Network  # noqa: E402
from nonagame_lab.arena import match  # noqa: E402


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("start", help="the network every mix starts from")
    parser.add_argument("shards", nargs="+", help="self-play shards to train on")
    parser.add_argument("--mixes", default="0,0.5,1", help="value-mix values to compare")
    parser.add_argument("--steps", type=int, default=3000)
    parser.add_argument("--learning-rate", type=float, default=5e-4)
    parser.add_argument("--games", type=int, default=100)
    parser.add_argument("--simulations", type=int, default=200)
    parser.add_argument("--processes", type=int, default=1)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    mixes = [float(m) for m in args.mixes.split(",")]
    start = Network.load(args.start)
    hidden = tuple(layer.shape[0] for name, layer in sorted(start.arrays().items())
                   if name.startswith("hidden.") and name.endswith(".weight"))
    train, held = alphazero.split_validation(alphazero.read_shards([Path(p) for p in args.shards]))
    print(f"{len(train['board'])} training positions, {len(held['board'])} held out; network {hidden}", flush=True)
    with tempfile.TemporaryDirectory() as work:
        specs = {}
        for mix in mixes:
            config = alphazero.Config(out=str(Path(work) / f"mix-{mix}"), hidden=hidden, seed=args.seed,
                                      init=args.start, value_mix=mix, learning_rate=args.learning_rate,
                                      bootstrap_positions=0, progress=False)
            run = alphazero.Run(config)
            run.state = run.fresh()
            # The same generator seed for every mix: the same batches and symmetries.
            losses = run.train(args.steps, {}, train, np.random.default_rng(args.seed), f"mix {mix}")
            held_out = run.validate(held)
            path = Path(work) / f"mix-{mix}.npz"
            Network.from_arrays(alphazero.export(run.state.params)).save(path)
            specs[mix] = f"net:{path}:{args.simulations}"
            print(f"value-mix {mix}: policy loss {losses['policy_loss']:.3f}, held-out squared error against "
                  f"the results {held_out['validation_result_mse']:.4f}, against the root values "
                  f"{held_out['validation_root_mse']:.4f}", flush=True)
        for a, b in itertools.combinations(mixes, 2):
            result = match(specs[a], specs[b], games=args.games, seed=args.seed, processes=args.processes,
                           progress=False)
            print(f"value-mix {a} against {b}:\n{result}", flush=True)


if __name__ == "__main__":
    main()
