"""Trains a policy network for nine-board tic-tac-toe with PPO on the vector environment.

The network (flax) reads the (9, 9, 3) observation planes and has a policy head of 81 logits,
masked to the legal cells, and a value head; optax's Adam trains it on batches of games
against the random opponent in NineBoardVectorEnv, the agent taking either side in turn.
After training it reports its win rate against the random player and against MCTSPlayer
with a small budget, playing greedily (the most likely legal cell).

    pip install '.[train]' && python3 examples/train_agent.py --minutes 10
"""

from __future__ import annotations

import argparse
import time
from dataclasses import dataclass, field
from typing import Any, Callable, cast

import flax.linen as nn
import jax
import jax.numpy as jnp
import numpy as np
import numpy.typing as npt
import optax

import nonagame
from nonagame_lab import MCTSPlayer
from nonagame_lab.envs import AgentPlays, NineBoardVectorEnv

Params = Any
NEG_INF = -1e9


class PolicyValueNet(nn.Module):
    """Per-roster features (a 3x3 convolution with stride 3 lines up with the rosters),
    beside the whole board, then a shared trunk, 81 logits and a value in [-1, 1]."""

    hidden: int = 256

    @nn.compact
    def __call__(self, planes: jax.Array) -> tuple[jax.Array, jax.Array]:
        x = planes.astype(jnp.float32)
        rosters = nn.relu(nn.Conv(64, kernel_size=(3, 3), strides=(3, 3), padding="VALID")(x))
        features = jnp.concatenate([x.reshape(x.shape[0], -1), rosters.reshape(x.shape[0], -1)], axis=-1)
        h = nn.relu(nn.Dense(self.hidden)(features))
        h = nn.relu(nn.Dense(self.hidden)(h))
        logits = nn.Dense(81)(h)
        value = jnp.tanh(nn.Dense(1)(h))[:, 0]
        return logits, value


@dataclass
class Config:
    seed: int = 0
    num_envs: int = 256
    rollout: int = 32  # steps of every environment per update
    epochs: int = 3
    minibatches: int = 4
    learning_rate: float = 1e-3
    gamma: float = 0.99
    gae_lambda: float = 0.95
    clip: float = 0.2
    value_coef: float = 0.5
    entropy_coef: float = 0.01
    hidden: int = 256
    updates: int | None = None  # stop after this many updates ...
    minutes: float | None = None  # ... or after this much training time


@dataclass
class History:
    losses: list[float] = field(default_factory=list)  #: total loss per update
    value_losses: list[float] = field(default_factory=list)  #: value-head loss per update
    train_win_rate: list[float] = field(default_factory=list)  #: wins over finished games per update
    seconds: list[float] = field(default_factory=list)  #: training time at the end of each update


def masked_logits(logits: jax.Array, mask: jax.Array) -> jax.Array:
    return jnp.where(mask, logits, NEG_INF)


def make_functions(net: PolicyValueNet, config: Config, optimizer: optax.GradientTransformation) -> Any:
    def forward(params: Params, planes: jax.Array) -> tuple[jax.Array, jax.Array]:
        return cast(tuple[jax.Array, jax.Array], net.apply(params, planes))

    @jax.jit
    def act(params: Params, planes: jax.Array, mask: jax.Array, key: jax.Array) -> tuple[jax.Array, ...]:
        logits, value = forward(params, planes)
        logits = masked_logits(logits, mask)
        action = jax.random.categorical(key, logits)
        log_prob = jax.nn.log_softmax(logits)[jnp.arange(action.shape[0]), action]
        return action, log_prob, value

    @jax.jit
    def greedy(params: Params, planes: jax.Array, mask: jax.Array) -> tuple[jax.Array, jax.Array]:
        logits, value = forward(params, planes)
        return jnp.argmax(masked_logits(logits, mask), axis=-1), value

    @jax.jit
    def values(params: Params, planes: jax.Array) -> jax.Array:
        return forward(params, planes)[1]

    def loss_fn(params: Params, batch: dict[str, jax.Array]) -> tuple[jax.Array, tuple[jax.Array, jax.Array]]:
        logits, value = forward(params, batch["planes"])
        logits = masked_logits(logits, batch["mask"])
        log_probs = jax.nn.log_softmax(logits)
        log_prob = jnp.take_along_axis(log_probs, batch["action"][:, None], axis=1)[:, 0]
        ratio = jnp.exp(log_prob - batch["log_prob"])
        advantage = batch["advantage"]
        weight = batch["valid"]
        count = jnp.maximum(weight.sum(), 1.0)
        surrogate = jnp.minimum(ratio * advantage, jnp.clip(ratio, 1 - config.clip, 1 + config.clip) * advantage)
        policy_loss = -(surrogate * weight).sum() / count
        value_loss = (((value - batch["target"]) ** 2) * weight).sum() / count
        probs = jnp.exp(log_probs)
        entropy = (-(jnp.where(batch["mask"], probs * log_probs, 0.0)).sum(-1) * weight).sum() / count
        total = policy_loss + config.value_coef * value_loss - config.entropy_coef * entropy
        return total, (value_loss, entropy)

    @jax.jit
    def update(params: Params, opt_state: Any, batch: dict[str, jax.Array]) -> tuple[Params, Any, jax.Array, jax.Array]:
        (total, (value_loss, _)), grads = jax.value_and_grad(loss_fn, has_aux=True)(params, batch)
        updates, opt_state = optimizer.update(grads, opt_state, params)
        return optax.apply_updates(params, updates), opt_state, total, value_loss

    @jax.jit
    def advantages(rewards: jax.Array, values_now: jax.Array, next_values: jax.Array, done: jax.Array,
                   valid: jax.Array) -> tuple[jax.Array, jax.Array]:
        """GAE over a rollout (time-major). A step that ends its episode has no next value;
        a step where the environment restarted (next-step autoreset) is not a transition."""

        def step(carry: jax.Array, t: tuple[jax.Array, ...]) -> tuple[jax.Array, jax.Array]:
            reward, value, next_value, terminal, is_valid = t
            delta = reward + config.gamma * next_value * (1 - terminal) - value
            advantage = (delta + config.gamma * config.gae_lambda * (1 - terminal) * carry) * is_valid
            return advantage, advantage

        _, adv = jax.lax.scan(step, jnp.zeros_like(rewards[0]),
                              (rewards, values_now, next_values, done, valid), reverse=True)
        return adv, adv + values_now

    return act, greedy, values, update, advantages


@dataclass
class Evaluation:
    wins: int
    losses: int
    draws: int
    #: Mean squared error of the value head against the final result, over the agent's moves.
    value_loss: float

    @property
    def games(self) -> int:
        return self.wins + self.losses + self.draws

    @property
    def win_rate(self) -> float:
        return self.wins / max(self.games, 1)

    def __str__(self) -> str:
        return (f"{self.wins} wins, {self.losses} losses, {self.draws} draws of {self.games} "
                f"(win rate {self.win_rate:.3f}; value loss against the results {self.value_loss:.3f})")


def play_out(policy: Callable[[npt.NDArray[np.int8], npt.NDArray[np.int8]], tuple[npt.NDArray[Any], npt.NDArray[Any]]],
             opponent: Any, games: int, seed: int, agent_plays: AgentPlays = "alternate",
             simulations: int = 100) -> Evaluation:
    """Plays one game per environment with ``policy`` (planes, masks -> cells, values)."""
    env = NineBoardVectorEnv(games, opponent=opponent, agent_plays=agent_plays, simulations=simulations, seed=seed)
    planes, info = env.reset(seed=seed)
    result = np.zeros(games, dtype=np.int8)
    finished = np.zeros(games, dtype=bool)
    predictions: list[tuple[npt.NDArray[Any], npt.NDArray[np.bool_]]] = []
    while not finished.all():
        actions, values = policy(planes, info["action_mask"])
        predictions.append((np.asarray(values), ~finished))
        planes, rewards, terminated, _, info = env.step(np.asarray(actions))
        newly = terminated & ~finished
        result[newly] = np.sign(rewards[newly]).astype(np.int8)
        finished |= terminated
    errors = [((v - result)[live]) ** 2 for v, live in predictions]
    return Evaluation(int((result == 1).sum()), int((result == -1).sum()), int((result == 0).sum()),
                      float(np.concatenate(errors).mean()))


class Trainer:
    def __init__(self, config: Config) -> None:
        self.config = config
        self.net = PolicyValueNet(hidden=config.hidden)
        self.key = jax.random.PRNGKey(config.seed)
        self.key, init_key = jax.random.split(self.key)
        self.params = self.net.init(init_key, jnp.zeros((1, 9, 9, 3), jnp.int8))
        self.optimizer = optax.chain(optax.clip_by_global_norm(1.0), optax.adam(config.learning_rate))
        self.opt_state = self.optimizer.init(self.params)
        self.act, self.greedy_fn, self.values, self.update, self.advantages = make_functions(
            self.net, config, self.optimizer)
        self.env = NineBoardVectorEnv(config.num_envs, opponent="random", agent_plays="alternate", seed=config.seed)
        self.planes, info = self.env.reset(seed=config.seed)
        self.mask = info["action_mask"]
        self.restarting = np.zeros(config.num_envs, dtype=np.float32)
        self.history = History()
        self.elapsed = 0.0

    def greedy(self, planes: npt.NDArray[np.int8], mask: npt.NDArray[np.int8]) -> tuple[npt.NDArray[Any], npt.NDArray[Any]]:
        """The most likely legal cell of each row, and the value head's estimate."""
        cells, values = self.greedy_fn(self.params, planes, mask.astype(bool))
        return np.asarray(cells), np.asarray(values)

    def evaluate(self, opponent: Any, games: int, seed: int, agent_plays: AgentPlays = "alternate",
                 simulations: int = 100) -> Evaluation:
        return play_out(self.greedy, opponent, games, seed, agent_plays, simulations)

    def rollout(self) -> tuple[dict[str, npt.NDArray[Any]], int, int]:
        c = self.config
        planes, masks, actions, log_probs, values, rewards, dones, valid = [], [], [], [], [], [], [], []
        wins = finished = 0
        for _ in range(c.rollout):
            self.key, key = jax.random.split(self.key)
            mask = self.mask.astype(bool)
            action, log_prob, value = self.act(self.params, self.planes, mask, key)
            action_np = np.asarray(action)
            planes.append(self.planes)
            masks.append(mask)
            actions.append(action_np)
            log_probs.append(np.asarray(log_prob))
            values.append(np.asarray(value))
            # Steps of restarting environments ignore the action: they are not transitions.
            valid.append(1.0 - self.restarting)
            self.planes, reward, terminated, _, info = self.env.step(action_np)
            self.mask = info["action_mask"]
            rewards.append(reward.astype(np.float32))
            dones.append(terminated.astype(np.float32))
            wins += int((reward > 0).sum())
            finished += int(terminated.sum())
            self.restarting = terminated.astype(np.float32)
        last_value = np.asarray(self.values(self.params, self.planes))
        values_arr = np.stack(values)
        next_values = np.concatenate([values_arr[1:], last_value[None]], axis=0)
        advantage, target = self.advantages(jnp.asarray(np.stack(rewards)), jnp.asarray(values_arr),
                                            jnp.asarray(next_values), jnp.asarray(np.stack(dones)),
                                            jnp.asarray(np.stack(valid)))
        batch = {
            "planes": np.concatenate(planes),
            "mask": np.concatenate(masks),
            "action": np.concatenate(actions).astype(np.int32),
            "log_prob": np.concatenate(log_probs),
            "advantage": np.asarray(advantage).reshape(-1),
            "target": np.asarray(target).reshape(-1),
            "valid": np.concatenate(valid),
        }
        return batch, wins, finished

    def train_step(self) -> None:
        c = self.config
        started = time.perf_counter()
        batch, wins, finished = self.rollout()
        valid = batch["valid"] > 0
        adv = batch["advantage"]
        batch["advantage"] = np.where(valid, (adv - adv[valid].mean()) / (adv[valid].std() + 1e-8), 0.0)
        size = len(batch["action"])
        rng = np.random.default_rng(len(self.history.losses) + c.seed)
        totals, value_losses = [], []
        for _ in range(c.epochs):
            order = rng.permutation(size)
            for part in np.array_split(order, c.minibatches):
                minibatch = {name: jnp.asarray(array[part]) for name, array in batch.items()}
                self.params, self.opt_state, total, value_loss = self.update(self.params, self.opt_state, minibatch)
                totals.append(float(total))
                value_losses.append(float(value_loss))
        self.elapsed += time.perf_counter() - started
        self.history.losses.append(float(np.mean(totals)))
        self.history.value_losses.append(float(np.mean(value_losses)))
        self.history.train_win_rate.append(wins / max(finished, 1))
        self.history.seconds.append(self.elapsed)

    def train(self, log: Callable[[str], None] | None = None, log_every: int = 10) -> History:
        c = self.config
        update = 0
        while True:
            if c.updates is not None and update >= c.updates:
                break
            if c.minutes is not None and self.elapsed >= 60 * c.minutes:
                break
            self.train_step()
            update += 1
            if log and update % log_every == 0:
                h = self.history
                log(f"update {update:5d}  {h.seconds[-1]:7.1f} s  loss {np.mean(h.losses[-log_every:]):+.4f}  "
                    f"value loss {np.mean(h.value_losses[-log_every:]):.4f}  "
                    f"win rate against random (sampling) {np.mean(h.train_win_rate[-log_every:]):.3f}")
        return self.history


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10.0, help="training time (excluding evaluation)")
    parser.add_argument("--updates", type=int, default=None, help="stop after this many updates instead")
    parser.add_argument("--num-envs", type=int, default=Config.num_envs)
    parser.add_argument("--rollout", type=int, default=Config.rollout)
    parser.add_argument("--learning-rate", type=float, default=Config.learning_rate)
    parser.add_argument("--hidden", type=int, default=Config.hidden)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--eval-games", type=int, default=1000, help="games against the random player")
    parser.add_argument("--mcts-games", type=int, default=40, help="games against MCTSPlayer (half on each side)")
    parser.add_argument("--mcts-simulations", type=int, default=50, help="MCTSPlayer's budget a move")
    args = parser.parse_args(argv)
    config = Config(seed=args.seed, num_envs=args.num_envs, rollout=args.rollout, learning_rate=args.learning_rate,
                    hidden=args.hidden, updates=args.updates, minutes=None if args.updates else args.minutes)
    trainer = Trainer(config)
    before = trainer.evaluate("random", args.eval_games, seed=args.seed + 1)
    print(f"untrained, against the random player: {before}", flush=True)
    trainer.train(log=lambda line: print(line, flush=True))
    h = trainer.history
    print(f"trained {len(h.losses)} updates ({len(h.losses) * config.num_envs * config.rollout:,} agent steps) "
          f"in {h.seconds[-1]:.1f} s")
    after = trainer.evaluate("random", args.eval_games, seed=args.seed + 2)
    print(f"against the random player: {after}")
    half = args.mcts_games // 2
    results = []
    sides: tuple[tuple[int, AgentPlays], ...] = ((2, "first"), (1, "second"))
    for side, agent_plays in sides:
        opponent: nonagame.Player = MCTSPlayer(side, simulations=args.mcts_simulations, seed=args.seed)
        results.append(trainer.evaluate(opponent, half, seed=args.seed + 3, agent_plays=agent_plays))
    wins, losses, draws = (sum(getattr(r, name) for r in results) for name in ("wins", "losses", "draws"))
    print(f"against MCTSPlayer ({args.mcts_simulations} simulations a move): {wins} wins, {losses} losses, "
          f"{draws} draws of {2 * half} (win rate {wins / max(2 * half, 1):.3f})")

if __name__ == "__main__":
    main()
