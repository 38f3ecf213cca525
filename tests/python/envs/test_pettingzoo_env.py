"""The PettingZoo AEC environment: PettingZoo's own conformance tests, then the rules it adds
(observation layout, rewards, illegal moves, bad input)."""
import types
import warnings

import numpy as np
import pytest

pytest.importorskip("pettingzoo", reason="the rl extra (gymnasium, pettingzoo) is not installed")

from pettingzoo.test import api_test, max_cycles_test, render_test, seed_test  # noqa: E402
from pettingzoo.utils import BaseParallelWrapper  # noqa: E402

from conftest import illegal_cell, random_game_moves, reference_mask, reference_planes  # noqa: E402
from nonagame_lab import Position  # noqa: E402
import gymnasium  # noqa: E402

from nonagame_lab.envs import NineBoardEnv, nineboard_v0  # noqa: E402

# PettingZoo's checks warn about dict observations except for the classic environments they
# list by name; nothing else may warn.
DICT_OBSERVATION_WARNINGS = ("Observation space for each agent probably", "Observation is not a NumPy array")


@pytest.fixture
def strict_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for message in DICT_OBSERVATION_WARNINGS:
            warnings.filterwarnings("ignore", message=message)
        yield


def test_api_test(strict_warnings):
    api_test(nineboard_v0.env(), num_cycles=1000)


def test_seed_test(strict_warnings):
    seed_test(nineboard_v0.env, num_cycles=200)


def test_render_test(strict_warnings, capsys):
    render_test(nineboard_v0.env, custom_tests={"ansi": lambda text: "player" in text and text.count("\n") == 13})
    assert "a b c" in capsys.readouterr().out  # "human" prints the board


class LegalActions(BaseParallelWrapper):
    """max_cycles_test samples actions without the mask; this maps each sampled cell onto a
    legal one, so that the test measures the truncation and not the illegal-move rule."""

    def step(self, actions):
        legal = self.unwrapped.position.legal_moves
        return super().step({agent: legal[int(a) % len(legal)] for agent, a in actions.items()})


class LegalActionsAEC:
    def __init__(self, env):
        self._env = env

    def __getattr__(self, name):
        return getattr(self._env, name)

    def step(self, action):
        if action is not None:
            legal = self._env.unwrapped.position.legal_moves
            action = legal[int(action) % len(legal)]
        self._env.step(action)


def test_max_cycles_test():
    # A game lasts at least 17 moves, so the test's limit (4 cycles) is always what ends it.
    module = types.SimpleNamespace(
        env=lambda **kwargs: LegalActionsAEC(nineboard_v0.env(**kwargs)),
        parallel_env=lambda **kwargs: LegalActions(nineboard_v0.parallel_env(**kwargs)),
    )
    max_cycles_test(module)


@pytest.mark.parametrize("max_cycles", [1, 6])
def test_max_cycles_truncates_both_agents_after_that_many_rounds(max_cycles):
    env = nineboard_v0.env(max_cycles=max_cycles)
    env.reset()
    plies = 0
    for agent in env.agent_iter():
        _, reward, terminated, truncated, _ = env.last()
        if terminated or truncated:
            assert truncated and not terminated and reward == 0
            env.step(None)
            continue
        env.step(int(env.unwrapped.position.legal_moves[0]))
        plies += 1
    assert plies == 2 * max_cycles
    parallel = nineboard_v0.parallel_env(max_cycles=max_cycles)
    parallel.reset()
    steps = 0
    while parallel.agents:
        legal = parallel.unwrapped.position.legal_moves
        parallel.step({agent: legal[0] for agent in parallel.agents})
        steps += 1
    assert steps == max_cycles


def play(env, moves):
    for cell in moves:
        env.step(cell)


@pytest.mark.parametrize("seed", range(6))
def test_observations_follow_the_grid_and_each_agents_view(seed):
    env = nineboard_v0.env()
    env.reset()
    moves = random_game_moves(seed, length=8 + seed)
    play(env, moves)
    position = Position.from_moves(moves)
    for number, agent in ((1, "player_1"), (2, "player_2")):
        observation = env.observe(agent)
        assert observation["observation"].dtype == np.int8 and observation["action_mask"].dtype == np.int8
        np.testing.assert_array_equal(observation["observation"], reference_planes(position, number))
        np.testing.assert_array_equal(observation["action_mask"], reference_mask(position, number))
    assert env.agent_selection == ("player_1" if position.to_move == 1 else "player_2")


@pytest.mark.parametrize("seed", range(12))
def test_final_rewards_match_the_result(seed):
    env = nineboard_v0.env()
    env.reset()
    moves = random_game_moves(seed)
    position = Position.from_moves(moves)
    totals = {"player_1": 0, "player_2": 0}
    for agent in env.agent_iter():
        _, reward, terminated, truncated, _ = env.last()
        totals[agent] += reward
        if terminated or truncated:
            env.step(None)
        else:
            env.step(moves.pop(0))
    winner = position.winner
    expected = {"player_1": 0, "player_2": 0}
    if winner:
        expected = {"player_1": 1 if winner == 1 else -1, "player_2": 1 if winner == 2 else -1}
    assert totals == expected


def test_an_illegal_move_ends_the_game_against_the_mover(caplog):
    env = nineboard_v0.env()
    env.reset()
    play(env, [40, 36])
    env.step(illegal_cell(env.unwrapped.position))
    assert "Illegal move made" in caplog.text
    assert env.terminations == {"player_1": True, "player_2": True}
    assert env.truncations == {"player_1": True, "player_2": True}
    assert env.rewards == {"player_1": -1, "player_2": 0}
    assert env.unwrapped.position == Position.from_moves([40, 36])
    rewards = {}
    for agent in env.agent_iter():
        rewards[agent] = env.last()[1]
        env.step(None)
    assert rewards == {"player_1": -1, "player_2": 0}


def test_the_raw_env_refuses_an_illegal_move_and_keeps_the_position():
    env = nineboard_v0.raw_env()
    env.reset()
    play(env, [40])
    with pytest.raises(ValueError, match=r"player_2 played cell 0 \(a9\), which is not legal"):
        env.step(0)
    assert env.unwrapped.position == Position.from_moves([40]) and env.agent_selection == "player_2"


@pytest.mark.parametrize("make", [nineboard_v0.env, nineboard_v0.raw_env], ids=["env", "raw_env"])
@pytest.mark.parametrize(
    "action, error, message",
    [
        (81, ValueError, "expected a cell 0..80, got 81"),
        (-1, ValueError, "expected a cell 0..80, got -1"),
        (np.int64(200), ValueError, "expected a cell 0..80"),
        (3.0, TypeError, "expected an integer cell 0..80, got float"),
        ("3", TypeError, "expected an integer cell 0..80, got str"),
        (True, TypeError, "expected an integer cell 0..80, got bool"),
        (None, TypeError, "expected an integer cell 0..80, got NoneType"),
        (np.array([3]), ValueError, r"a scalar\), got an array of shape \(1,\)"),
        (np.array(3.0), TypeError, "got an array of dtype float64"),
    ],
)
def test_bad_actions_raise_and_change_nothing(make, action, error, message):
    env = make()
    env.reset()
    play(env, [40, 36])
    before = (env.unwrapped.position, env.agent_selection, dict(env.terminations), dict(env.rewards))
    with pytest.raises(error, match=message):
        env.step(action)
    assert (env.unwrapped.position, env.agent_selection, dict(env.terminations), dict(env.rewards)) == before
    env.step(np.int32(0))  # a NumPy integer is a cell like any other
    assert env.unwrapped.position == Position.from_moves([40, 36, 0])


def test_parallel_view_moves_only_the_player_to_move():
    env = nineboard_v0.parallel_env()
    observations, _ = env.reset()
    assert set(observations) == {"player_1", "player_2"}
    env.step({"player_1": 40, "player_2": 0})
    assert env.unwrapped.position == Position.from_moves([40])


@pytest.mark.parametrize("kwargs", [{"render_mode": "svg"}, {"max_cycles": 0}, {"max_cycles": 2.5}])
def test_bad_arguments_are_refused(kwargs):
    with pytest.raises(ValueError):
        nineboard_v0.raw_env(**kwargs)


@pytest.mark.parametrize("seed", [-1, 2.5, "0", np.int64(3)])
def test_reset_refuses_the_seeds_gymnasium_refuses(seed):
    with pytest.raises(gymnasium.error.Error) as pettingzoo_error:
        nineboard_v0.env().reset(seed=seed)
    with pytest.raises(gymnasium.error.Error) as gymnasium_error:
        NineBoardEnv().reset(seed=seed)
    assert str(pettingzoo_error.value) == str(gymnasium_error.value)


def test_parallel_step_without_the_agent_to_move_names_it():
    env = nineboard_v0.parallel_env()
    env.reset(seed=0)
    with pytest.raises(KeyError, match="no entry for 'player_1', the agent to move"):
        env.step({"player_2": 0})
    env.step({"player_1": 40})
    assert env.unwrapped.position == Position.from_moves([40])


def test_rllib_observations_are_the_flat_planes_under_the_names_rllib_reads():
    from nonagame_lab.envs import rllib_env

    wrapped, plain = rllib_env(), nineboard_v0.env()
    for env in (wrapped, plain):
        env.reset(seed=0)
        play(env, random_game_moves(2, length=9))
    for agent in ("player_1", "player_2"):
        ours, theirs = wrapped.observe(agent), plain.observe(agent)
        assert ours["observations"].dtype == np.float32 and ours in wrapped.observation_space(agent)
        np.testing.assert_array_equal(ours["observations"].reshape(9, 9, 3), theirs["observation"])
        np.testing.assert_array_equal(ours["action_mask"], theirs["action_mask"])
    api_test(rllib_env(), num_cycles=10)
