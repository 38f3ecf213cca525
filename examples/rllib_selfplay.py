"""Multi-agent PPO with action masking on the PettingZoo environment, with Ray RLlib.

Both players share one policy (self-play): RLlib's ``PettingZooEnv`` steps the turn-based AEC
environment, each agent acting only on its turn, and RLlib's action-masking module
(``ActionMaskingTorchRLModule`` from its examples) reads the observations that
``nonagame_lab.envs.rllib_env()`` gives: ``{"observations": (243,) float32, "action_mask":
(81,) int8}``. After training, the policy plays --eval-games games against uniformly random
play and against the graded opponent of --level, half of them as X and half as O, and the
script prints its score in each (wins, draws, losses).

Starts a local Ray cluster by default; pass --address to use an existing one (every node
needs nonagame and the rl extra installed).

    pip install '.[rl]' 'ray[rllib]' torch
    python3 examples/rllib_selfplay.py --iterations 25 --env-runners 1
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from typing import Any

import numpy as np
import ray
import torch  # type: ignore[import-not-found, unused-ignore]
from ray.rllib.algorithms.ppo import PPOConfig
from ray.rllib.core.columns import Columns
from ray.rllib.core.rl_module.multi_rl_module import MultiRLModuleSpec
from ray.rllib.core.rl_module.rl_module import RLModuleSpec
from ray.rllib.env.wrappers.pettingzoo_env import PettingZooEnv
from ray.rllib.examples.rl_modules.classes.action_masking_rlm import ActionMaskingTorchRLModule
from ray.tune.registry import register_env

from nonagame_lab import baseline_move
from nonagame_lab.envs import nineboard_v0, rllib_env
from nonagame_lab.envs._rllib import flatten_observation

ENV_NAME = "nonagame_lab_nineboard"


def build(args: argparse.Namespace) -> Any:
    register_env(ENV_NAME, lambda _config: PettingZooEnv(rllib_env()))  # type: ignore[no-untyped-call]
    config = (
        PPOConfig()  # type: ignore[no-untyped-call]
        .environment(ENV_NAME)
        .env_runners(num_env_runners=args.env_runners, num_envs_per_env_runner=1,
                     sample_timeout_s=args.sample_timeout)
        .multi_agent(policies={"shared"}, policy_mapping_fn=lambda agent_id, *a, **k: "shared")
        .rl_module(
            rl_module_spec=MultiRLModuleSpec(
                rl_module_specs={
                    "shared": RLModuleSpec(
                        module_class=ActionMaskingTorchRLModule,
                        model_config={"fcnet_hiddens": [256, 256], "head_fcnet_hiddens": [128],
                                      "vf_share_layers": False},
                    )
                }
            )
        )
        .training(lr=3e-4, gamma=0.99, train_batch_size_per_learner=args.batch, minibatch_size=256,
                  num_epochs=6, entropy_coeff=0.01)
        .debugging(seed=args.seed)
    )
    return config.build_algo()


def greedy_move(module: Any, observation: dict[str, np.ndarray]) -> int:
    """The policy's most likely legal cell."""
    flat = flatten_observation(observation)
    batch = {Columns.OBS: {key: torch.as_tensor(value[None]) for key, value in flat.items()}}
    with torch.no_grad():
        logits = module.forward_inference(batch)[Columns.ACTION_DIST_INPUTS][0].numpy()
    logits = np.where(observation["action_mask"] != 0, logits, -np.inf)
    return int(np.argmax(logits))


def evaluate(module: Any, games: int, opponent: str, level: int, seed: int) -> dict[str, int]:
    """The policy against random play or a graded opponent, colours alternating."""
    rng = np.random.default_rng(seed)
    score = {"wins": 0, "draws": 0, "losses": 0}
    for game in range(games):
        env = nineboard_v0.env()
        env.reset(seed=game)
        ours = "player_1" if game % 2 == 0 else "player_2"
        for agent in env.agent_iter():
            observation, reward, terminated, truncated, _ = env.last()
            if terminated or truncated:
                if agent == ours:
                    score["wins" if reward > 0 else "losses" if reward < 0 else "draws"] += 1
                env.step(None)
                continue
            if agent == ours:
                action = greedy_move(module, observation)
            elif opponent == "random":
                action = int(rng.choice(np.flatnonzero(observation["action_mask"])))
            else:
                action = baseline_move(level, env.unwrapped.position, seed=int(rng.integers(2**63)))
            env.step(action)
    return score


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=25)
    parser.add_argument("--batch", type=int, default=4000, help="environment steps per training iteration")
    parser.add_argument("--env-runners", type=int, default=1)
    parser.add_argument("--sample-timeout", type=float, default=600.0,
                        help="seconds an iteration waits for its samples (RLlib's default, 60, is short on a busy machine)")
    parser.add_argument("--eval-games", type=int, default=100)
    parser.add_argument("--level", type=int, default=1, help="the graded opponent to evaluate against")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--address", default=None, help="an existing Ray cluster (default: start a local one)")
    parser.add_argument("--json", default=None, help="also write the figures to this file")
    args = parser.parse_args(argv)
    if args.address:
        ray.init(address=args.address)
    else:
        ray.init(num_cpus=args.env_runners + 1, include_dashboard=False)
    started = time.perf_counter()
    algo = build(args)
    for iteration in range(1, args.iterations + 1):
        result = algo.train()
        runners = result.get("env_runners", {})
        print(f"iteration {iteration}: episodes {runners.get('num_episodes_lifetime', '?')}, "
              f"episode length {runners.get('episode_len_mean', float('nan')):.1f}", flush=True)
    minutes = (time.perf_counter() - started) / 60
    module = algo.get_module("shared")
    figures = {
        "iterations": args.iterations,
        "minutes": round(minutes, 2),
        "random": evaluate(module, args.eval_games, "random", args.level, args.seed),
        f"level:{args.level}": evaluate(module, args.eval_games, "level", args.level, args.seed),
    }
    for name in ("random", f"level:{args.level}"):
        score = figures[name]
        rate = (score["wins"] + 0.5 * score["draws"]) / max(1, args.eval_games)
        print(f"against {name}: {score['wins']} wins, {score['draws']} draws, {score['losses']} losses "
              f"(score {100 * rate:.1f}%)")
    print(f"{args.iterations} iterations in {minutes:.1f} minutes")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(figures, out, indent=2)
    algo.stop()
    ray.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
