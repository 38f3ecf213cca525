"""Trains a policy-value network for nine-board tic-tac-toe by self-play, AlphaZero-style.

One run, in a working directory (--out), goes through:

1. Bootstrapping: games of the native rollout search (--bootstrap-simulations a move, the
   first --sample-plies moves drawn from its visit distribution) label positions with the
   search's visit policy, its root value and the game's result. They are written as Parquet
   shards under OUT/bootstrap/ until --bootstrap-positions are there (0: none).
2. Generations. Each one trains the network (JAX, flax, optax; a random one of the eight
   symmetries of the board applied to every sample) on the bootstrap positions and the
   self-play of the last --window generations, exports it in the nonagame-mlp-1 format
   (OUT/generations/gen-NNNN.npz), and then:
   - evaluates it with nonagame_lab.arena: a match against the previous best network and
     one against a fixed rollout-search reference (--reference), both guided players at
     --eval-simulations a move, over the built-in balanced openings; the Elo of both is
     logged (OUT/history.json) and drawn against the minutes (OUT/curve.png);
   - gates it: it becomes the best (OUT/best.npz) when it scores at least --gate against
     the previous best;
   - plays --games self-play games with the best network through search_batch (one tree a
     game, the leaves of all trees evaluated natively in one batch a round), with root noise
     and a temperature of 1 for the first --sample-plies moves, written as
     OUT/selfplay/gen-NNNN.parquet: the columns of examples/dataset.py plus root_value (the
     search's value at the root) and generation (the network that played).
3. The state (parameters, optimiser, history, random generator) goes to OUT/checkpoint.pkl
   after every generation, so --resume loses at most the generation in progress.

--init FILE (or "baseline") starts the parameters from a network file of --hidden's widths
instead of at random, for example to go on improving the shipped network by self-play with
--bootstrap-positions 0.

The value target is (1 - m) * result + m * root_value with m = --value-mix. --minutes bounds
the whole run (checked between steps); progress bars go to standard error. With --address
HOST:PORT the self-play games are played by Ray actors (--workers of them) on that cluster,
and the trainer stays on the driver; otherwise --processes local processes play them (each a
share of the games on --threads tree threads; one process evaluates the leaves of all its
trees on one core, so a second core needs a second process).

    pip install '.[train,data]'
    python3 examples/alphazero.py --out run --minutes 60
    python3 examples/alphazero.py --out run --minutes 60 --resume     # after a stop
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import math
import multiprocessing
import os
import pickle
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

import flax.linen as nn
import jax
import jax.numpy as jnp
import numpy as np
import numpy.typing as npt
import optax
import pyarrow as pa
import pyarrow.parquet as pq
from tqdm import tqdm

import nonagame
from nonagame_lab import Network, Position, SearchSettings, search, search_batch
from nonagame_lab._core import symmetry_cell_map
from nonagame_lab.arena import MatchResult, load_openings, match
from nonagame_lab.envs import GRID_TO_CELL

sys.path.insert(0, str(Path(__file__).resolve().parent))
import dataset  # noqa: E402  (the sibling example: the row arrays and the Parquet table)

Arrays = dict[str, npt.NDArray[Any]]
Params = Any
NEG_INF = -1e9
FORMAT = "nonagame-mlp-1"
VALIDATE_EVERY = 500

# Gather form of the eight symmetries on cell-order arrays: out[:, j] = in[:, INVERSE[k, j]]
# is transform_policy(k, in).
INVERSE = np.stack([np.argsort(symmetry_cell_map(k)) for k in range(8)]).astype(np.int32)


# ---------------------------------------------------------------- the network


class MLP(nn.Module):
    """The nonagame-mlp-1 layout: ReLU layers, 81 policy logits and a tanh value."""

    hidden: Sequence[int]

    @nn.compact
    def __call__(self, x: jax.Array) -> tuple[jax.Array, jax.Array]:
        for i, width in enumerate(self.hidden):
            x = nn.relu(nn.Dense(width, name=f"hidden_{i}")(x))
        logits = nn.Dense(81, name="policy")(x)
        value = jnp.tanh(nn.Dense(1, name="value")(x))[:, 0]
        return logits, value


def export(params: Params) -> dict[str, npt.NDArray[Any]]:
    """The arrays of a network file: flax kernels are (in, out), the file's weights (out, in)."""
    out: dict[str, npt.NDArray[Any]] = {"format": np.array(FORMAT)}
    for name, layer in params["params"].items():
        key = name.replace("_", ".")
        out[f"{key}.weight"] = np.asarray(layer["kernel"], dtype=np.float32).T.copy()
        out[f"{key}.bias"] = np.asarray(layer["bias"], dtype=np.float32)
    return out


def planes_from_cells(board: jax.Array, me: jax.Array, legal: jax.Array) -> jax.Array:
    """envs.position_planes flattened, from cell-order boards (B, 81), the players to move (B,)
    and the legal masks (B, 81): (B, 243) float32 in (row, column, channel) order."""
    grid = board[:, GRID_TO_CELL]
    mine = grid == me[:, None]
    theirs = (grid != 0) & ~mine
    stacked = jnp.stack([mine, theirs, legal[:, GRID_TO_CELL]], axis=-1)
    return stacked.reshape(board.shape[0], 243).astype(jnp.float32)


# ---------------------------------------------------------------- positions and shards

COLUMNS = ("board", "player_to_move", "legal_mask", "policy", "value", "root_value", "generation", "game")


def rows_to_table(rows: list[tuple[Position, npt.NDArray[np.float32], int, int]],
                  root_values: list[float], generation: int) -> Any:
    """The Parquet table of examples/dataset.py with root_value and generation added."""
    data = dataset._arrays(rows)
    table = dataset.to_table(data)
    table = table.append_column("root_value", pa.array(np.asarray(root_values, dtype=np.float32), type=pa.float32()))
    return table.append_column("generation", pa.array(np.full(len(rows), generation, np.int32), type=pa.int32()))


def read_shards(paths: Sequence[Path]) -> Arrays:
    """The training columns of some shards, concatenated."""
    parts: list[Arrays] = []
    for path in paths:
        table = pq.read_table(path, columns=list(COLUMNS))
        part: Arrays = {}
        for name in COLUMNS:
            column = table.column(name).combine_chunks()
            if name in ("board", "legal_mask", "policy"):
                part[name] = column.flatten().to_numpy(zero_copy_only=False).reshape(-1, 81)
            else:
                part[name] = column.to_numpy(zero_copy_only=False)
        parts.append(part)
    if not parts:
        return {}
    return {name: np.concatenate([p[name] for p in parts]) for name in COLUMNS}


def label_games(games: int, simulations: int, seed: int, sample_plies: int, first_game: int) -> Any:
    """Rollout-search self-play: every position where the search moved, labelled with its
    visit policy and root value; the first ``sample_plies`` moves drawn from the visits."""
    rng = np.random.default_rng(seed)
    rows: list[tuple[Position, npt.NDArray[np.float32], int, int]] = []
    values: list[float] = []
    for g in range(first_game, first_game + games):
        position = Position()
        chosen: list[tuple[Position, npt.NDArray[np.float32], float]] = []
        while not position.is_over:
            result = search(position, simulations=simulations, seed=int(rng.integers(2**63)), threads=1)
            chosen.append((position, result.policy.astype(np.float32), result.value))
            if len(chosen) <= sample_plies:
                cell = int(rng.choice(81, p=result.policy))
            else:
                cell = result.best_move
            position = position.play(cell)
        rows.extend((p, policy, position.winner, g) for p, policy, _ in chosen)
        values.extend(v for _, _, v in chosen)
    return rows_to_table(rows, values, 0)


Evaluate = Callable[[npt.NDArray[np.int8], npt.NDArray[np.bool_]], tuple[Any, Any]]


def self_play(evaluate: Evaluate, games: int, simulations: int, seed: int, sample_plies: int,
              generation: int, first_game: int, threads: int = 1,
              progress: Callable[[int], None] | None = None) -> Any:
    """Plays ``games`` games at once through search_batch: root noise on every move, the move
    drawn at temperature 1 for the first ``sample_plies`` plies, then the most visited."""
    rng = np.random.default_rng(seed)
    positions = [Position() for _ in range(games)]
    history: list[list[tuple[Position, npt.NDArray[np.float32], float]]] = [[] for _ in range(games)]
    noisy = SearchSettings(dirichlet_fraction=0.25, dirichlet_alpha=0.3, threads=threads)
    while True:
        active = [g for g in range(games) if not positions[g].is_over]
        if not active:
            break
        for temperature in (1.0, 0.0):
            group = [g for g in active if (len(history[g]) < sample_plies) == (temperature > 0)]
            if not group:
                continue
            # A seed a game: under one seed, games at the same position would draw the same noise
            # and moves, and every game would be the first one again.
            settings = noisy.replace(temperature=temperature)
            results = search_batch([positions[g] for g in group], evaluate, simulations=simulations,
                                   settings=settings, seeds=[int(s) for s in rng.integers(2**62, size=len(group))])
            for g, result in zip(group, results):
                history[g].append((positions[g], result.policy.astype(np.float32), result.value))
                positions[g] = positions[g].play(result.best_move)
                if positions[g].is_over and progress is not None:
                    progress(1)
    rows: list[tuple[Position, npt.NDArray[np.float32], int, int]] = []
    values: list[float] = []
    for g in range(games):
        rows.extend((p, policy, positions[g].winner, first_game + g) for p, policy, _ in history[g])
        values.extend(v for _, _, v in history[g])
    return rows_to_table(rows, values, generation)


def play_share(arrays: dict[str, npt.NDArray[Any]], games: int, simulations: int, seed: int, sample_plies: int,
               generation: int, first_game: int, threads: int = 1) -> Any:
    """self_play in a worker (a Ray actor or a local process) with the network of arrays."""
    network = Network.from_arrays(arrays)
    return self_play(network.evaluate_planes, games, simulations, seed, sample_plies, generation, first_game,
                     threads=threads)


def shares(games: int, workers: int, seed: int, first_game: int) -> list[tuple[int, int, int]]:
    """Each worker's (games, seed, first game number): the games split as evenly as they go."""
    counts = [games // workers + (i < games % workers) for i in range(workers)]
    starts = np.cumsum([0, *counts[:-1]])
    return [(count, seed * 1000 + i, first_game + int(start)) for i, (count, start) in enumerate(zip(counts, starts))
            if count]


def local_self_play(pool: Any, workers: int, arrays: dict[str, npt.NDArray[Any]], games: int, simulations: int,
                    seed: int, sample_plies: int, generation: int, first_game: int, threads: int,
                    progress: Callable[[int], None] | None = None) -> Any:
    """self_play split over the processes of pool (a ProcessPoolExecutor); the joined table."""
    futures = {pool.submit(play_share, arrays, count, simulations, share_seed, sample_plies, generation, start,
                           threads): count
               for count, share_seed, start in shares(games, workers, seed, first_game)}
    for future in concurrent.futures.as_completed(futures):
        if progress is not None:
            progress(futures[future])
    return pa.concat_tables([future.result() for future in futures])


def ray_self_play(address: str, workers: int, arrays: dict[str, npt.NDArray[Any]], games: int, simulations: int,
                  seed: int, sample_plies: int, generation: int, first_game: int) -> Any:
    """self_play split over Ray actors on an existing cluster; returns the joined table."""
    import ray

    if not ray.is_initialized():
        ray.init(address=address, log_to_driver=False)
    # The workers get this program's code and its sibling's with the tasks, not from their path.
    for module in (dataset, sys.modules[__name__]):
        if module.__name__ != "__main__":
            ray.cloudpickle.register_pickle_by_value(module)  # type: ignore[no-untyped-call, unused-ignore]

    @ray.remote(num_cpus=1)
    class Worker:
        def play(self, arrays: dict[str, Any], games: int, simulations: int, seed: int, sample_plies: int,
                 generation: int, first_game: int) -> Any:
            return play_share(arrays, games, simulations, seed, sample_plies, generation, first_game)

    actors = [Worker.remote() for _ in range(workers)]  # type: ignore[attr-defined]
    futures = [actor.play.remote(arrays, count, simulations, share_seed, sample_plies, generation, start)
               for actor, (count, share_seed, start) in zip(actors, shares(games, workers, seed, first_game))]
    return pa.concat_tables(ray.get(futures))


# ---------------------------------------------------------------- players for the arena


def guided(network: Network, simulations: int) -> Callable[[int], nonagame.Player]:
    from nonagame_lab import MCTSPlayer

    def make(id: int) -> nonagame.Player:
        return MCTSPlayer(id, simulations=simulations, network=network)

    return make


# ---------------------------------------------------------------- training


@dataclass
class Config:
    out: str = "alphazero-run"
    hidden: tuple[int, ...] = (1024, 512)
    seed: int = 0
    minutes: float | None = None
    generations: int | None = None
    bootstrap_positions: int = 100_000
    bootstrap_simulations: int = 2000
    bootstrap_steps: int = 20_000
    bootstrap_fraction: float = 0.5
    shard_games: int = 25
    games: int = 128
    simulations: int = 160
    sample_plies: int = 12
    steps: int = 2000
    batch: int = 512
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    value_mix: float = 1.0
    window: int = 8
    eval_games: int = 40
    eval_simulations: int = 200
    reference: str = "uct:1000"
    gate: float = 0.5
    threads: int = 1
    processes: int = 1
    address: str | None = None
    workers: int = 2
    init: str | None = None
    progress: bool = True


@dataclass
class State:
    params: Params
    opt_state: Any
    best: dict[str, npt.NDArray[Any]] | None
    generation: int = 0
    seconds: float = 0.0  #: run time over all sessions
    steps: int = 0
    games_played: int = 0
    rng: dict[str, Any] = field(default_factory=dict)
    history: list[dict[str, Any]] = field(default_factory=list)


def optimiser(config: Config) -> optax.GradientTransformation:
    return optax.chain(optax.clip_by_global_norm(1.0),
                       optax.adamw(config.learning_rate, weight_decay=config.weight_decay))


def make_step(model: MLP, tx: optax.GradientTransformation, value_mix: float) -> Callable[..., Any]:
    inverse = jnp.asarray(INVERSE)

    def losses(params: Params, batch: dict[str, jax.Array]) -> tuple[jax.Array, dict[str, jax.Array]]:
        legal = batch["legal_mask"]
        heads: tuple[jax.Array, jax.Array] = model.apply(  # type: ignore[assignment]
            params, planes_from_cells(batch["board"], batch["player_to_move"], legal))
        logits, value = heads
        logp = jax.nn.log_softmax(jnp.where(legal, logits, NEG_INF))
        policy_loss = -jnp.sum(jnp.where(legal, batch["policy"] * logp, 0.0), axis=-1).mean()
        target = (1 - value_mix) * batch["value"] + value_mix * batch["root_value"]
        value_loss = jnp.mean((value - target) ** 2)
        metrics = {"policy_loss": policy_loss, "value_loss": value_loss,
                   "result_mse": jnp.mean((value - batch["value"]) ** 2),  # whatever the target's mix
                   "root_mse": jnp.mean((value - batch["root_value"]) ** 2)}
        return policy_loss + value_loss, metrics

    def loss_fn(params: Params, batch: dict[str, jax.Array], k: jax.Array) -> tuple[jax.Array, dict[str, jax.Array]]:
        index = inverse[k]  # (B, 81): one symmetry a sample
        moved = dict(batch)
        for name in ("board", "legal_mask", "policy"):
            moved[name] = jnp.take_along_axis(batch[name], index, axis=1)
        return losses(params, moved)

    @jax.jit
    def step(params: Params, opt_state: Any, batch: dict[str, jax.Array], k: jax.Array) -> tuple[Any, ...]:
        (_, metrics), grads = jax.value_and_grad(loss_fn, has_aux=True)(params, batch, k)
        updates, opt_state = tx.update(grads, opt_state, params)
        return optax.apply_updates(params, updates), opt_state, metrics

    @jax.jit
    def evaluate(params: Params, batch: dict[str, jax.Array]) -> dict[str, jax.Array]:
        _, metrics = losses(params, batch)
        logp = jnp.log(jnp.clip(batch["policy"], 1e-12, 1.0))
        metrics["target_entropy"] = -jnp.sum(batch["policy"] * logp, axis=-1).mean()
        return metrics

    setattr(step, "evaluate", evaluate)
    return step


def as_batch(data: Arrays, index: npt.NDArray[np.intp]) -> dict[str, jax.Array]:
    return {
        "board": jnp.asarray(data["board"][index], jnp.int8),
        "player_to_move": jnp.asarray(data["player_to_move"][index], jnp.int8),
        "legal_mask": jnp.asarray(data["legal_mask"][index], jnp.bool_),
        "policy": jnp.asarray(data["policy"][index], jnp.float32),
        "value": jnp.asarray(data["value"][index], jnp.float32),
        "root_value": jnp.asarray(data["root_value"][index], jnp.float32),
    }


def split_validation(data: Arrays, fraction: float = 0.05) -> tuple[Arrays, Arrays]:
    """Whole games held out (every 20th game id), so that validation is not a near copy."""
    if not data:
        return {}, {}
    held = (data["game"] % int(round(1 / fraction))) == 0
    return ({k: v[~held] for k, v in data.items()}, {k: v[held] for k, v in data.items()})


class Run:
    def __init__(self, config: Config) -> None:
        self.config = config
        self.out = Path(config.out)
        for sub in ("bootstrap", "selfplay", "generations"):
            (self.out / sub).mkdir(parents=True, exist_ok=True)
        self.model = MLP(tuple(config.hidden))
        self.tx = optimiser(config)
        self.step_fn = make_step(self.model, self.tx, config.value_mix)
        self.session_start = time.perf_counter()
        self.state: State | None = None
        self.openings = load_openings()
        self._pool: Any = None

    # time ------------------------------------------------------------
    def elapsed(self) -> float:
        assert self.state is not None
        return self.state.seconds + time.perf_counter() - self.session_start

    def out_of_time(self) -> bool:
        return self.config.minutes is not None and self.elapsed() > 60 * self.config.minutes

    def bar(self, total: int, desc: str) -> tqdm[Any]:
        return tqdm(total=total, desc=desc, disable=not self.config.progress, file=sys.stderr,
                    dynamic_ncols=True, mininterval=1.0)

    # state -----------------------------------------------------------
    def fresh(self) -> State:
        params = self.model.init(jax.random.key(self.config.seed), jnp.zeros((1, 243), jnp.float32))
        if self.config.init is not None:
            params = self.import_network(params, self.config.init)
        rng = np.random.default_rng(self.config.seed)
        return State(params=params, opt_state=self.tx.init(params), best=None, rng=dict(rng.bit_generator.state))

    def import_network(self, params: Params, name: str) -> Params:
        """The parameters of a network file (or "baseline"), which must have --hidden's widths."""
        network = Network.baseline() if name == "baseline" else Network.load(name)
        arrays = network.arrays()
        layers = dict(params["params"])
        for layer, kept in layers.items():
            key = layer.replace("_", ".")
            weight = arrays.get(f"{key}.weight")
            if weight is None or weight.shape[::-1] != kept["kernel"].shape:
                raise SystemExit(f"--init {name}: its {key}.weight is {None if weight is None else weight.shape}, "
                                 f"not {kept['kernel'].shape[::-1]} as --hidden {self.config.hidden} needs")
            layers[layer] = {"kernel": jnp.asarray(weight.T), "bias": jnp.asarray(arrays[f"{key}.bias"])}
        return {"params": layers}

    def save(self) -> None:
        assert self.state is not None
        self.state.seconds = self.elapsed()
        self.session_start = time.perf_counter()
        temporary = self.out / "checkpoint.pkl.tmp"
        with open(temporary, "wb") as file:
            pickle.dump({"config": asdict(self.config), "state": jax.device_get(asdict(self.state))}, file)
        os.replace(temporary, self.out / "checkpoint.pkl")

    def load(self) -> State:
        with open(self.out / "checkpoint.pkl", "rb") as file:
            saved = pickle.load(file)
        state = State(**saved["state"])
        if tuple(saved["config"]["hidden"]) != tuple(self.config.hidden):
            raise SystemExit(f"--resume: the checkpoint's network is {saved['config']['hidden']}, "
                             f"not --hidden {self.config.hidden}")
        return state

    def rng(self) -> np.random.Generator:
        assert self.state is not None
        generator = np.random.default_rng()
        generator.bit_generator.state = self.state.rng
        return generator

    def keep_rng(self, generator: np.random.Generator) -> None:
        assert self.state is not None
        self.state.rng = dict(generator.bit_generator.state)

    # phases ----------------------------------------------------------
    def bootstrap_shards(self) -> list[Path]:
        return sorted((self.out / "bootstrap").glob("shard-*.parquet"))

    def bootstrap(self) -> None:
        """Labels rollout-search games until the bootstrap holds enough positions; each shard
        is written whole (a stop loses at most one)."""
        config = self.config
        shards = self.bootstrap_shards()
        have = sum(pq.ParquetFile(p).metadata.num_rows for p in shards)
        if have >= config.bootstrap_positions:
            return
        bar = self.bar(config.bootstrap_positions, "bootstrap positions")
        bar.update(have)
        number = len(shards)
        while have < config.bootstrap_positions and not self.out_of_time():
            table = label_games(config.shard_games, config.bootstrap_simulations, seed=config.seed * 100_003 + number,
                                sample_plies=config.sample_plies, first_game=number * config.shard_games)
            temporary = self.out / "bootstrap" / f"shard-{number:05d}.tmp"
            pq.write_table(table, temporary)
            os.replace(temporary, self.out / "bootstrap" / f"shard-{number:05d}.parquet")
            have += table.num_rows
            bar.update(table.num_rows)
            number += 1
        bar.close()

    def selfplay_shards(self) -> list[Path]:
        return sorted((self.out / "selfplay").glob("gen-*.parquet"))

    def train(self, steps: int, boot: Arrays, recent: Arrays, rng: np.random.Generator, desc: str,
              validation: Arrays | None = None) -> dict[str, float]:
        """Adam steps on batches drawn from the bootstrap (a share of each batch) and the recent
        self-play. With ``validation``, the parameters kept are those with the lowest held-out
        loss, checked every VALIDATE_EVERY steps from the first on (the bootstrap's labels are noisy enough for a
        wide network to learn the noise of its games after a few epochs)."""
        assert self.state is not None
        config = self.config
        sizes = (len(boot.get("board", ())), len(recent.get("board", ())))
        share = config.bootstrap_fraction if sizes[1] else 1.0
        if not sizes[0]:
            share = 0.0
        from_boot = int(round(config.batch * share))
        bar = self.bar(steps, desc)
        params, opt_state = self.state.params, self.state.opt_state
        sums = {"policy_loss": 0.0, "value_loss": 0.0}
        tail = max(1, steps // 10)
        kept: tuple[float, Params, Any, int] | None = None
        for i in range(steps):
            if validation is not None and i and i % VALIDATE_EVERY == 0:
                held = self.validate(validation, params)
                loss = held["validation_policy_loss"] + held["validation_value_loss"]
                if kept is None or loss < kept[0]:
                    kept = (loss, params, opt_state, i)
                bar.set_postfix(held_out=f"{loss:.3f}", best_at=kept[3])
            parts = []
            if from_boot:
                parts.append(as_batch(boot, rng.integers(sizes[0], size=from_boot)))
            if config.batch - from_boot:
                parts.append(as_batch(recent, rng.integers(sizes[1], size=config.batch - from_boot)))
            batch = parts[0] if len(parts) == 1 else jax.tree.map(lambda *x: jnp.concatenate(x), *parts)
            k = jnp.asarray(rng.integers(8, size=config.batch), jnp.int32)
            params, opt_state, metrics = self.step_fn(params, opt_state, batch, k)
            if i >= steps - tail:
                for name in sums:
                    sums[name] += float(metrics[name]) / tail
            bar.update(1)
            if i % 200 == 0 and validation is None:
                bar.set_postfix(policy=f"{float(metrics['policy_loss']):.3f}", value=f"{float(metrics['value_loss']):.3f}")
            if self.out_of_time():
                break
        bar.close()
        if validation is not None and kept is not None:
            held = self.validate(validation, params)
            if held["validation_policy_loss"] + held["validation_value_loss"] > kept[0]:
                params, opt_state = kept[1], kept[2]
                sums["kept_step"] = float(kept[3])
        self.state.params, self.state.opt_state = params, opt_state
        self.state.steps += steps
        return sums

    def validate(self, data: Arrays, params: Params = None) -> dict[str, float]:
        assert self.state is not None
        if not len(data.get("board", ())):
            return {}
        index = np.arange(min(len(data["board"]), 20_000))
        chosen = self.state.params if params is None else params
        metrics = getattr(self.step_fn, "evaluate")(chosen, as_batch(data, index))
        return {f"validation_{name}": float(value) for name, value in metrics.items()}

    def evaluate(self, network: Network) -> dict[str, Any]:
        assert self.state is not None
        config = self.config
        seed = config.seed * 7919 + self.state.generation
        record: dict[str, Any] = {}

        def summary(result: MatchResult) -> dict[str, Any]:
            low, high = result.elo_interval
            return {"wins": result.wins, "draws": result.draws, "losses": result.losses,
                    "score": result.score, "elo": result.elo, "elo_low": low, "elo_high": high}

        reference = match(guided(network, config.eval_simulations), config.reference, openings=self.openings,
                          games=config.eval_games, seed=seed, progress=config.progress)
        record["reference"] = summary(reference)
        if self.state.best is not None:
            best = Network.from_arrays(self.state.best)
            against = match(guided(network, config.eval_simulations), guided(best, config.eval_simulations),
                            openings=self.openings, games=config.eval_games, seed=seed, progress=config.progress)
            record["previous_best"] = summary(against)
        return record

    def plot(self) -> None:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        assert self.state is not None
        history = self.state.history
        minutes = [h["minutes"] for h in history]
        fig, ax = plt.subplots(figsize=(7, 4))
        elo = [h["reference"]["elo"] for h in history]
        low = [h["reference"]["elo_low"] for h in history]
        high = [h["reference"]["elo_high"] for h in history]
        finite = [max(-800.0, min(800.0, e)) for e in elo]
        ax.errorbar(minutes, finite, yerr=[[max(0.0, f - max(-800.0, lo)) for f, lo in zip(finite, low)],
                                           [max(0.0, min(800.0, hi) - f) for f, hi in zip(finite, high)]],
                    marker="o", capsize=3, label=f"vs {self.config.reference} (95% interval)")
        # The chained Elo adds up every accepted generation's score against the one before, its
        # luck included, and soon dwarfs the reference line: it gets an axis of its own.
        chained = ax.twinx()
        chained.plot(minutes, [h["chained_elo"] for h in history], marker="s", markersize=3, color="tab:orange",
                     label="chained over gated generations (vs previous best; right axis)")
        chained.set_ylabel("chained Elo")
        ax.axhline(0, color="grey", linewidth=0.8)
        ax.set_xlabel("minutes of training")
        ax.set_ylabel(f"Elo vs {self.config.reference}")
        ax.set_title(f"network {self.config.hidden}, {self.config.eval_simulations} simulations a move")
        lines = ax.get_legend_handles_labels()
        more = chained.get_legend_handles_labels()
        ax.legend(lines[0] + more[0], lines[1] + more[1], loc="upper left", fontsize=8)
        fig.tight_layout()
        fig.savefig(self.out / "curve.png", dpi=100)
        plt.close(fig)

    def generation(self, boot: Arrays, validation: Arrays) -> None:
        assert self.state is not None
        config = self.config
        rng = self.rng()
        shards = self.selfplay_shards()[-config.window:]
        recent = read_shards(shards)
        first = self.state.generation == 0
        steps = config.bootstrap_steps if first and len(boot.get("board", ())) else config.steps
        if not len(boot.get("board", ())) and not len(recent.get("board", ())):
            steps = 0  # --init without a bootstrap: the first generation is the imported network
        started = time.perf_counter()
        losses = self.train(steps, boot, recent, rng, f"gen {self.state.generation + 1} training",
                            validation if first and len(validation.get("board", ())) else None)
        train_seconds = time.perf_counter() - started
        self.state.generation += 1
        gen = self.state.generation
        arrays = export(self.state.params)
        network = Network.from_arrays(arrays)
        network.save(self.out / "generations" / f"gen-{gen:04d}.npz")
        record: dict[str, Any] = {"generation": gen, "train_steps": steps, "train_seconds": train_seconds,
                                  "train_positions": len(recent.get("board", ())), **losses,
                                  **self.validate(validation)}
        started = time.perf_counter()
        record.update(self.evaluate(network))
        record["eval_seconds"] = time.perf_counter() - started
        previous = self.state.history[-1]["chained_elo"] if self.state.history else 0.0
        against = record.get("previous_best")
        accepted = against is None or against["score"] >= config.gate
        record["accepted"] = accepted
        record["chained_elo"] = previous + (against["elo"] if against and accepted and math.isfinite(against["elo"])
                                            else 0.0)
        if accepted:
            self.state.best = arrays
            Network.from_arrays(arrays).save(self.out / "best.npz")
        best = Network.from_arrays(self.state.best) if self.state.best is not None else network
        started = time.perf_counter()
        seed = int(rng.integers(2**62))
        bar = self.bar(config.games, f"gen {gen} self-play")
        if config.address:
            table = ray_self_play(config.address, config.workers, self.state.best or arrays, config.games,
                                  config.simulations, seed, config.sample_plies, gen, self.state.games_played)
            bar.update(config.games)
        elif config.processes > 1:
            table = local_self_play(self.pool(), config.processes, self.state.best or arrays, config.games,
                                    config.simulations, seed, config.sample_plies, gen, self.state.games_played,
                                    config.threads, progress=bar.update)
        else:
            table = self_play(best.evaluate_planes, config.games, config.simulations, seed, config.sample_plies, gen,
                              first_game=self.state.games_played, threads=config.threads, progress=bar.update)
        bar.close()
        selfplay_seconds = time.perf_counter() - started
        temporary = self.out / "selfplay" / f"gen-{gen:04d}.tmp"
        pq.write_table(table, temporary)
        os.replace(temporary, self.out / "selfplay" / f"gen-{gen:04d}.parquet")
        self.state.games_played += config.games
        record.update({"selfplay_seconds": selfplay_seconds, "selfplay_positions": table.num_rows,
                       "positions_per_second": table.num_rows / max(selfplay_seconds, 1e-9)})
        record["minutes"] = self.elapsed() / 60
        self.state.history.append(record)
        self.keep_rng(rng)
        self.save()
        with open(self.out / "history.json", "w") as file:
            json.dump(self.state.history, file, indent=1)
        self.plot()
        ref = record["reference"]
        vs = record.get("previous_best")
        print(f"gen {gen}: train {train_seconds:.0f} s policy {losses['policy_loss']:.3f} value "
              f"{losses['value_loss']:.3f} | vs {config.reference}: {ref['score']:.3f} "
              f"(Elo {ref['elo']:+.0f} [{ref['elo_low']:+.0f}, {ref['elo_high']:+.0f}])"
              + (f" | vs best: {vs['score']:.3f} {'accepted' if accepted else 'rejected'}" if vs else "")
              + f" | self-play {table.num_rows} positions in {selfplay_seconds:.0f} s"
              f" | {record['minutes']:.1f} min", flush=True)

    def pool(self) -> Any:
        """The local self-play processes, started on first use and kept for the run. Spawned,
        not forked: JAX's threads do not survive a fork."""
        if self._pool is None:
            self._pool = concurrent.futures.ProcessPoolExecutor(
                self.config.processes, mp_context=multiprocessing.get_context("spawn"))
        return self._pool

    def run(self, resume: bool) -> State:
        if resume and (self.out / "checkpoint.pkl").exists():
            self.state = self.load()
            print(f"resumed at generation {self.state.generation} after {self.state.seconds / 60:.1f} min", flush=True)
        else:
            self.state = self.fresh()
        try:
            self.bootstrap()
            boot, validation = split_validation(read_shards(self.bootstrap_shards()))
            while not self.out_of_time():
                if self.config.generations is not None and self.state.generation >= self.config.generations:
                    break
                self.generation(boot, validation)
        finally:
            if self._pool is not None:
                self._pool.shutdown(cancel_futures=True)
                self._pool = None
        self.save()
        return self.state


def parse(argv: Sequence[str] | None = None) -> tuple[Config, bool]:
    defaults = Config()
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=defaults.out, help="working directory of the run")
    parser.add_argument("--resume", action="store_true", help="go on from OUT/checkpoint.pkl")
    parser.add_argument("--hidden", default=",".join(map(str, defaults.hidden)), help="hidden layer widths")
    parser.add_argument("--quiet", action="store_true", help="no progress bars")
    for name, value in asdict(defaults).items():
        if name in ("out", "hidden", "progress"):
            continue
        kind = type(value) if value is not None else (float if name == "minutes" else int if name == "generations" else str)
        parser.add_argument(f"--{name.replace('_', '-')}", type=kind, default=value)
    args = parser.parse_args(argv)
    values = {name: getattr(args, name) for name in asdict(defaults) if name not in ("hidden", "progress")}
    config = Config(**values, hidden=tuple(int(w) for w in args.hidden.split(",")), progress=not args.quiet)
    return config, bool(args.resume)


def main(argv: Sequence[str] | None = None) -> None:
    config, resume = parse(argv)
    run = Run(config)
    state = run.run(resume)
    if state.best is not None:
        print(f"best network: {Path(config.out) / 'best.npz'} after {state.generation} generations, "
              f"{state.seconds / 60:.1f} min")


if __name__ == "__main__":
    main()
