"""The single-agent Gymnasium environment: Gymnasium's checker, then its rules (sides,
opponents, rewards, illegal and bad actions, masks)."""
import subprocess
import sys
import warnings

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium", reason="the rl extra (gymnasium, pettingzoo) is not installed")
from gymnasium.utils.env_checker import check_env  # noqa: E402

import nonagame
from conftest import illegal_cell, reference_mask, reference_planes
from nonagame_lab import Position
from nonagame_lab.envs import ENV_ID, NineBoardEnv

OPPONENTS = {
    "random": lambda: "random",
    "player": lambda: nonagame.Player(2),
    "callable": lambda: (lambda position: position.legal_moves[-1]),
}


def test_the_core_package_does_not_import_the_rl_libraries():
    code = ("import sys, nonagame_lab; "
            "print(sorted(m for m in ('gymnasium', 'pettingzoo') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"


@pytest.mark.parametrize("agent_plays", ["first", "second", "alternate"])
@pytest.mark.parametrize("opponent", ["random", "callable"])
def test_check_env(agent_plays, opponent, capsys):
    env = gymnasium.make(ENV_ID, opponent=OPPONENTS[opponent](), agent_plays=agent_plays)
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        check_env(env.unwrapped)  # with each render mode, made through the spec
    assert not record, [str(w.message) for w in record]


class FirstCellPlayer(nonagame.Player):
    """Plays the first legal cell: a Player whose moves do not depend on its own generator
    (the built-in Player's random moves are not seeded by reset(seed=...))."""

    def make_move(self, game):
        game.make_move(game.get_available_moves()[0], 2)


def test_player_opponent_passes_check_env():
    check_env(NineBoardEnv(FirstCellPlayer(2)), skip_render_check=True)


def play_episode(env, seed, choose=lambda position: position.legal_moves[0]):
    observation, info = env.reset(seed=seed)
    trajectory = [observation]
    while True:
        position = env.unwrapped.position
        cell = choose(position)
        observation, reward, terminated, truncated, info = env.step(cell)
        trajectory.append(observation)
        assert not truncated
        if terminated:
            return trajectory, reward, info


@pytest.mark.parametrize("agent_plays", ["first", "second"])
@pytest.mark.parametrize("seed", range(5))
def test_episodes_follow_the_rules_and_the_reward_is_the_result(agent_plays, seed):
    env = NineBoardEnv(agent_plays=agent_plays)
    rng = np.random.default_rng(seed)
    observation, info = env.reset(seed=seed)
    agent = 1 if agent_plays == "first" else 2
    assert info["agent_player"] == agent == env.unwrapped.agent_player
    position = env.position
    assert (position.board != 0).sum() == (agent == 2)
    while True:
        np.testing.assert_array_equal(observation, reference_planes(position, agent))
        np.testing.assert_array_equal(info["action_mask"], reference_mask(position, agent))
        np.testing.assert_array_equal(env.action_masks(), reference_mask(position, agent).astype(bool))
        cell = int(rng.choice(position.legal_moves))
        observation, reward, terminated, truncated, info = env.step(cell)
        after_agent = position.play(cell)
        new = env.position
        if after_agent.is_over:
            assert new == after_agent and info["opponent_move"] == -1
        else:
            assert info["opponent_move"] in after_agent.legal_moves
            assert new == after_agent.play(info["opponent_move"])
        position = new
        if terminated:
            break
        assert reward == 0
    expected = 0.0 if position.winner == 0 else (1.0 if position.winner == agent else -1.0)
    assert reward == expected and position.is_over
    np.testing.assert_array_equal(observation, reference_planes(position, agent, legal=False))
    assert not info["action_mask"].any() and not env.action_masks().any()
    with pytest.raises(RuntimeError, match="episode is over"):
        env.step(0)


def test_seeded_resets_replay_the_same_games():
    first, second = NineBoardEnv(), NineBoardEnv()
    runs = [play_episode(env, seed=7) for env in (first, second)]
    assert len(runs[0][0]) == len(runs[1][0])
    assert all(np.array_equal(a, b) for a, b in zip(runs[0][0], runs[1][0]))
    assert runs[0][1] == runs[1][1]
    other = play_episode(NineBoardEnv(), seed=8)[0]
    assert len(other) != len(runs[0][0]) or any(not np.array_equal(a, b) for a, b in zip(other, runs[0][0]))


def test_alternate_switches_sides_every_episode_and_restarts_on_a_seed():
    env = NineBoardEnv(agent_plays="alternate")
    sides = []
    for episode in range(5):
        _, info = env.reset(seed=3 if episode == 3 else None)
        sides.append(info["agent_player"])
    assert sides == [1, 2, 1, 1, 2]


def test_an_illegal_action_ends_the_episode_with_the_position_unchanged():
    env = NineBoardEnv(opponent=lambda position: position.legal_moves[0])
    env.reset(seed=0)
    env.step(40)
    position = env.position
    observation, reward, terminated, truncated, info = env.step(illegal_cell(position))
    assert (reward, terminated, truncated, info["illegal_action"]) == (-1.0, True, False, True)
    assert env.position == position
    np.testing.assert_array_equal(observation, reference_planes(position, 1, legal=False))
    assert not info["action_mask"].any()


@pytest.mark.parametrize(
    "action, error, message",
    [
        (81, ValueError, "expected a cell 0..80, got 81"),
        (-3, ValueError, "expected a cell 0..80, got -3"),
        (2.0, TypeError, "expected an integer cell 0..80, got float"),
        ("40", TypeError, "expected an integer cell 0..80, got str"),
        (None, TypeError, "got NoneType"),
        (np.array([40]), ValueError, r"got an array of shape \(1,\)"),
        (np.array([[40]]), ValueError, r"got an array of shape \(1, 1\)"),
        (np.array(40, dtype=np.float32), TypeError, "dtype float32"),
    ],
)
def test_bad_actions_raise_and_change_nothing(action, error, message):
    env = NineBoardEnv()
    env.reset(seed=1)
    env.step(40)
    position, state = env.position, env.np_random.bit_generator.state
    with pytest.raises(error, match=message):
        env.step(action)
    assert env.position == position and env.np_random.bit_generator.state == state
    env.step(np.array(position.legal_moves[0]))  # a 0-d integer array is a cell


@pytest.mark.parametrize("agent_plays", ["first", "second"])
def test_callable_and_player_opponents_choose_the_replies(agent_plays):
    env = NineBoardEnv(opponent=lambda position: position.legal_moves[-1], agent_plays=agent_plays)
    env.reset()
    start = env.position
    assert start == (Position() if agent_plays == "first" else Position().play(80))
    env.step(start.legal_moves[0])
    mid = start.play(start.legal_moves[0])
    assert env.position == mid.play(mid.legal_moves[-1])
    player_side = 2 if agent_plays == "first" else 1
    env = NineBoardEnv(opponent=nonagame.Player(player_side), agent_plays=agent_plays)
    env.reset(seed=2)
    env.step(env.position.legal_moves[0])
    assert (env.position.board == player_side).sum() == (1 if agent_plays == "first" else 2)


def test_opponents_that_break_the_rules_are_reported():
    env = NineBoardEnv(opponent=nonagame.Player(1))  # a Player moves only for its own side
    env.reset()
    with pytest.raises(RuntimeError, match="did not make exactly one move for player 2"):
        env.step(40)
    env = NineBoardEnv(opponent=lambda position: 0)
    env.reset()
    with pytest.raises(ValueError, match=r"the opponent chose cell 0 \(a9\), which is not legal"):
        env.step(40)
    env = NineBoardEnv(opponent=lambda position: "e5")
    env.reset()
    with pytest.raises(TypeError, match="the opponent's move: expected an integer cell"):
        env.step(40)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"opponent": "minimax"}, ValueError),
        ({"opponent": 3}, TypeError),
        ({"agent_plays": "both"}, ValueError),
        ({"render_mode": "svg"}, ValueError),
        ({"opponent": "mcts", "simulations": 0}, ValueError),
    ],
)
def test_bad_arguments_are_refused(kwargs, error):
    with pytest.raises(error):
        NineBoardEnv(**kwargs)


def test_ansi_render_shows_the_marks_where_the_grid_puts_them():
    env = NineBoardEnv(opponent=lambda position: position.legal_moves[0], render_mode="ansi")
    env.reset()
    env.step(80)  # i1: the bottom-right square; the reply goes to roster 8's first cell, g3
    text = env.render()
    rows = text.splitlines()
    assert rows[-1] == "player 1 (X) to move in roster 0"
    assert rows[11].split() == ["1", ".", ".", ".", "|", ".", ".", ".", "|", ".", ".", "X"]
    assert rows[9].split() == ["3", ".", ".", ".", "|", ".", ".", ".", "|", "O", ".", "."]
    assert rows[1].split() == ["9", "*", "*", "*", "|", ".", ".", ".", "|", ".", ".", "."]


def test_mcts_opponent_replays_with_a_seed_and_beats_random_play():
    runs = [play_episode(NineBoardEnv(opponent="mcts", simulations=30), seed=5)[0] for _ in range(2)]
    assert all(np.array_equal(a, b) for a, b in zip(*runs)) and len(runs[0]) == len(runs[1])
    env = NineBoardEnv(opponent="mcts", simulations=300, agent_plays="alternate")
    rng = np.random.default_rng(0)
    rewards = [play_episode(env, seed=None if game else 1, choose=lambda p: int(rng.choice(p.legal_moves)))[1]
               for game in range(6)]
    assert rewards.count(-1.0) >= 5, rewards
