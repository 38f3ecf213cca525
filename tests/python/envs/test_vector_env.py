"""The vector environment, checked step by step against a model built from positions: every
row's observation, reward, termination and mask must be what the single-game rules give,
with next-step autoreset, illegal actions and every side assignment."""
import signal

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium", reason="the rl extra (gymnasium, pettingzoo) is not installed")

from conftest import reference_mask, reference_planes
from nonagame_lab import Position
from nonagame_lab.envs import ENV_ID, NineBoardEnv, NineBoardVectorEnv


def check_row_is_fresh(env, i, observation, mask, agent):
    position = env.position(i)
    if agent == 1:
        assert position == Position()
    else:
        assert (position.board == 1).sum() == 1 and (position.board == 2).sum() == 0
    np.testing.assert_array_equal(observation, reference_planes(position, agent))
    np.testing.assert_array_equal(mask, reference_mask(position, agent))


def run_against_model(env, steps, seed, illegal_rate=0.05):
    """Steps the env with random legal (and some illegal) actions, checking every row."""
    rng = np.random.default_rng(seed)
    n = env.num_envs
    observations, info = env.reset(seed=seed)
    agents = env.unwrapped.agent_player
    for i in range(n):
        check_row_is_fresh(env, i, observations[i], info["action_mask"][i], agents[i])
    restarting = np.zeros(n, dtype=bool)
    outcomes = {"win": 0, "loss": 0, "draw": 0, "illegal": 0, "restart": 0}
    for _ in range(steps):
        before = [env.position(i) for i in range(n)]
        actions = np.empty(n, dtype=np.int64)
        for i, position in enumerate(before):
            legal = position.legal_moves
            if restarting[i] or not legal:
                actions[i] = rng.integers(81)  # ignored: the row restarts
            elif rng.random() < illegal_rate and len(legal) < 81:
                actions[i] = next(c for c in range(81) if c not in legal)
            else:
                actions[i] = rng.choice(legal)
        observations, rewards, terminated, truncated, info = env.step(actions)
        assert observations.shape == (n, 9, 9, 3) and observations.dtype == np.int8
        assert info["action_mask"].shape == (n, 81) and info["action_mask"].dtype == np.int8
        assert rewards.dtype == np.float64 and not truncated.any()
        new_agents = env.unwrapped.agent_player
        for i in range(n):
            agent = int(agents[i])
            if restarting[i]:
                assert rewards[i] == 0 and not terminated[i]
                check_row_is_fresh(env, i, observations[i], info["action_mask"][i], new_agents[i])
                outcomes["restart"] += 1
                continue
            assert new_agents[i] == agent
            cell = int(actions[i])
            if cell not in before[i].legal_moves:
                assert rewards[i] == -1 and terminated[i]
                np.testing.assert_array_equal(observations[i], reference_planes(before[i], agent, legal=False))
                assert not info["action_mask"][i].any()
                outcomes["illegal"] += 1
                continue
            after_agent = before[i].play(cell)
            now = env.position(i)
            if not after_agent.is_over:
                replies = [c for c in after_agent.legal_moves if after_agent.play(c) == now]
                assert len(replies) == 1, "the opponent must have played exactly one legal move"
            else:
                assert now == after_agent
            assert terminated[i] == now.is_over
            if now.is_over:
                result = "draw" if now.winner == 0 else ("win" if now.winner == agent else "loss")
                outcomes[result] += 1
                assert rewards[i] == {"draw": 0, "win": 1, "loss": -1}[result]
            else:
                assert rewards[i] == 0
            np.testing.assert_array_equal(observations[i], reference_planes(now, agent))
            np.testing.assert_array_equal(info["action_mask"][i], reference_mask(now, agent))
        restarting = terminated.copy()
        agents = new_agents
    return outcomes


@pytest.mark.parametrize("agent_plays", ["first", "second", "alternate"])
def test_random_opponent_matches_the_model(agent_plays):
    env = NineBoardVectorEnv(12, agent_plays=agent_plays, seed=3)
    outcomes = run_against_model(env, steps=120, seed=agent_plays.__len__())
    # Enough games went by for every kind of ending and restart to be checked.
    assert all(outcomes[kind] > 0 for kind in ("win", "loss", "illegal", "restart")), outcomes


@pytest.mark.parametrize("agent_plays", ["first", "second", "alternate"])
def test_callable_opponent_matches_the_model_and_is_asked_for_each_reply(agent_plays):
    asked = []

    def last_cell(position):
        asked.append(position)
        return position.legal_moves[-1]

    env = NineBoardVectorEnv(6, opponent=last_cell, agent_plays=agent_plays, seed=1)
    outcomes = run_against_model(env, steps=60, seed=11)
    assert outcomes["restart"] > 0
    assert asked and all(not p.is_over for p in asked)


def test_alternate_starts_half_the_games_with_the_agent_second():
    env = NineBoardVectorEnv(8, agent_plays="alternate", seed=0)
    env.reset(seed=0)
    np.testing.assert_array_equal(env.agent_player, [1, 2, 1, 2, 1, 2, 1, 2])


def test_same_seed_same_batches():
    runs = []
    for _ in range(2):
        env = NineBoardVectorEnv(32, seed=99)
        observations, info = env.reset(seed=5)
        frames = [observations]
        for _ in range(40):
            actions = np.argmax(info["action_mask"], axis=1)
            observations, rewards, terminated, _, info = env.step(actions)
            frames.append((observations, rewards, terminated))
        runs.append(frames)
    np.testing.assert_array_equal(runs[0][0], runs[1][0])
    for (a, ra, ta), (b, rb, tb) in zip(runs[0][1:], runs[1][1:]):
        np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(ra, rb)
        np.testing.assert_array_equal(ta, tb)


@pytest.mark.parametrize(
    "actions, error, message",
    [
        (np.zeros(5, dtype=np.int64), ValueError, r"expected shape \(4,\).*got shape \(5,\)"),
        (np.zeros((4, 1), dtype=np.int64), ValueError, r"got shape \(4, 1\)"),
        (np.zeros(4, dtype=np.float32), TypeError, "got dtype float32"),
        (np.zeros(4, dtype=bool), TypeError, "got dtype bool"),
        ([0, 1, 81, 3], ValueError, "expected cells 0..80, got 81 for environment 2"),
        ([0, -1, 2, 3], ValueError, "got -1 for environment 1"),
        ("0123", TypeError, "got str"),
        (None, TypeError, "got NoneType"),
        (5, ValueError, r"got shape \(\)"),
    ],
)
def test_bad_actions_raise_and_change_nothing(actions, error, message):
    env = NineBoardVectorEnv(4, seed=2)
    _, info = env.reset(seed=2)
    env.step(np.argmax(info["action_mask"], axis=1))
    positions = [env.position(i) for i in range(4)]
    with pytest.raises(error, match=message):
        env.step(actions)
    assert [env.position(i) for i in range(4)] == positions
    _, rewards, _, _, _ = env.step([env.position(i).legal_moves[0] for i in range(4)])
    assert [env.position(i).board.sum() for i in range(4)] != [p.board.sum() for p in positions]


def test_step_before_reset_is_refused():
    env = NineBoardVectorEnv(2)
    with pytest.raises(RuntimeError, match="reset"):
        env.step([0, 0])


def test_spaces_and_registration():
    env = gymnasium.make_vec(ENV_ID, num_envs=3, vectorization_mode="vector_entry_point")
    assert isinstance(env.unwrapped, NineBoardVectorEnv) and env.num_envs == 3
    assert env.metadata["autoreset_mode"] == gymnasium.vector.AutoresetMode.NEXT_STEP
    assert env.single_action_space == gymnasium.spaces.Discrete(81)
    assert env.action_space == gymnasium.spaces.MultiDiscrete([81] * 3)
    assert env.observation_space.shape == (3, 9, 9, 3)
    observations, info = env.reset(seed=0)
    assert observations in env.observation_space
    sampled = env.action_space.sample()
    assert env.step(sampled)[0] in env.observation_space


@pytest.mark.parametrize("num_envs", [0, -2, 2.0, True])
def test_bad_sizes_are_refused(num_envs):
    with pytest.raises(ValueError, match="num_envs"):
        NineBoardVectorEnv(num_envs)


def test_mcts_opponent_matches_the_model():
    env = NineBoardVectorEnv(4, opponent="mcts", simulations=20, agent_plays="alternate", seed=4)
    outcomes = run_against_model(env, steps=40, seed=4, illegal_rate=0.0)
    assert outcomes["restart"] > 0


def test_bench_quick_run_reports_both_rates(tmp_path):
    import json
    import math
    import pathlib
    import subprocess
    import sys

    script = pathlib.Path(__file__).resolve().parents[3] / "bench" / "envs.py"
    report = tmp_path / "envs.json"
    subprocess.run([sys.executable, str(script), "--quick", "--json", str(report)], check=True,
                   capture_output=True, text=True, timeout=120)
    figures = json.loads(report.read_text())["figures"]
    assert all(math.isfinite(figures[key]) and figures[key] > 0
               for key in ("vector_steps_per_s", "sync_steps_per_s", "native_steps_per_s", "ratio", "native_ratio"))


def assert_same(ours, theirs, where="result"):
    """Recursive equality of two step or reset results: arrays with their dtypes, dicts by key,
    object arrays (same-step final observations) element by element."""
    if isinstance(theirs, dict):
        assert sorted(ours) == sorted(theirs), where
        for key in theirs:
            assert_same(ours[key], theirs[key], f"{where}[{key!r}]")
    elif isinstance(theirs, (tuple, list)):
        assert len(ours) == len(theirs), where
        for k, (a, b) in enumerate(zip(ours, theirs)):
            assert_same(a, b, f"{where}[{k}]")
    elif isinstance(theirs, np.ndarray) and theirs.dtype == object:
        assert ours.dtype == object and ours.shape == theirs.shape, where
        for k, (a, b) in enumerate(zip(ours, theirs)):
            assert (a is None) == (b is None), f"{where}[{k}]"
            if b is not None:
                assert_same(a, b, f"{where}[{k}]")
    else:
        assert np.asarray(ours).dtype == np.asarray(theirs).dtype, where
        np.testing.assert_array_equal(ours, theirs, err_msg=where)


def last_cell(position):
    return position.legal_moves[-1]


@pytest.mark.parametrize("mode", list(gymnasium.vector.AutoresetMode), ids=lambda m: m.value)
@pytest.mark.parametrize("agent_plays", ["first", "second"])
@pytest.mark.parametrize("opponent", ["callable", "random"])
def test_every_autoreset_mode_matches_sync_vector_env(mode, agent_plays, opponent):
    """The whole result of every step (observations, rewards, terminations, every info key
    with its mask, same-step final observations and infos) is what Gymnasium's SyncVectorEnv
    over the single environment gives, illegal actions and partial resets included, and so are
    the rendered frames (which frame each game's last move) every few steps. The random
    opponent's replies are replayed in the single environments from the vector one's info."""
    n = 5
    ours = NineBoardVectorEnv(n, opponent=last_cell if opponent == "callable" else "random",
                              agent_plays=agent_plays, autoreset_mode=mode, seed=7, render_mode="rgb_array")
    assert ours.metadata["autoreset_mode"] == mode
    replies = [[] for _ in range(n)]  # for the random opponent: the cells each game's opponent played

    def record(info):
        for i in range(n):
            for part in ([info["final_info"]] if info.get("_final_info", np.zeros(n, bool))[i] else []) + [info]:
                if part["_opponent_move"][i] and part["opponent_move"][i] >= 0:
                    replies[i].append(int(part["opponent_move"][i]))

    def replay(i):
        return (lambda position: replies[i].pop(0)) if opponent == "random" else last_cell

    theirs = gymnasium.vector.SyncVectorEnv(
        [lambda i=i: NineBoardEnv(opponent=replay(i), agent_plays=agent_plays, render_mode="rgb_array")
         for i in range(n)],
        autoreset_mode=mode)
    result = ours.reset(seed=0)
    record(result[-1])
    assert_same(result, theirs.reset(seed=0))
    rng = np.random.default_rng(1)
    kinds = set()
    for step in range(150):
        if step % 15 == 0:
            for frame, expected in zip(ours.render(), theirs.render(), strict=True):
                np.testing.assert_array_equal(frame, expected)
        mask = result[-1]["action_mask"]
        actions = np.array([rng.choice(np.flatnonzero(row)) if row.any() and rng.random() > 0.05
                            else rng.integers(81) for row in mask])
        result = ours.step(actions)
        record(result[-1])
        assert_same(result, theirs.step(actions))
        final = result[-1].get("final_info", {"illegal_action": np.zeros(n, bool)})
        kinds.update({"illegal"} if (result[-1]["illegal_action"] | final["illegal_action"]).any() else set())
        kinds.update({"ended"} if result[2].any() else set())
        if mode == gymnasium.vector.AutoresetMode.DISABLED and result[2].any():
            ended = result[2].copy()
            result = ours.reset(options={"reset_mask": ended})
            record(result[-1])
            assert_same(result, theirs.reset(options={"reset_mask": ended.copy()}))
    assert kinds == {"illegal", "ended"} and (opponent == "callable" or not any(replies))


class Flaky:
    """The last-cell opponent, raising once on its call number ``fail_at`` (0-based)."""

    def __init__(self, fail_at, error):
        self.calls, self.fail_at, self.error = 0, fail_at, error

    def __call__(self, position):
        self.calls += 1
        if self.calls - 1 == self.fail_at:
            raise self.error
        return position.legal_moves[-1]


def snapshot(env):
    return ([env.position(i) for i in range(env.num_envs)], env.agent_player.tolist(),
            env.np_random.bit_generator.state)


@pytest.mark.parametrize("error", [RuntimeError("opponent failed"), KeyboardInterrupt()], ids=["raises", "ctrl-c"])
@pytest.mark.parametrize("agent_plays", ["first", "alternate"])
@pytest.mark.parametrize("fail_at", [2, 5, 9])
def test_a_failing_opponent_leaves_every_game_as_it_was(error, agent_plays, fail_at):
    """A step whose opponent raises changes nothing: retried, the run goes on exactly as a twin
    whose opponent never failed (the reproducer of a half-stepped batch: two games, a failure
    on the third call)."""
    flaky = Flaky(fail_at, error)
    env = NineBoardVectorEnv(2, opponent=flaky, agent_plays=agent_plays, seed=0)
    twin = NineBoardVectorEnv(2, opponent=last_cell, agent_plays=agent_plays, seed=0)
    assert_same(env.reset(seed=0), twin.reset(seed=0))
    failed = False
    for step in range(60):
        actions = [env.position(i).legal_moves[step % len(env.position(i).legal_moves)]
                   if env.position(i).legal_moves else 0 for i in range(2)]
        before = snapshot(env)
        try:
            result = env.step(actions)
        except type(error):
            assert snapshot(env) == before
            failed = True
            result = env.step(actions)
        assert_same(result, twin.step(actions))
    assert failed


def test_ctrl_c_during_a_search_reply_leaves_every_game_as_it_was():
    """A real SIGINT during an "mcts" reply, in a child process that restores Python's default
    handler first (so that a runner ignoring SIGINT cannot hang the test)."""
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent("""
        import os, signal, threading
        signal.signal(signal.SIGINT, signal.default_int_handler)
        from nonagame_lab.envs import NineBoardVectorEnv
        env = NineBoardVectorEnv(2, opponent="mcts", simulations=10**9, seed=0)
        env.reset(seed=0)
        def state():
            return [env.position(i) for i in range(2)], env.agent_player.tolist(), env.np_random.bit_generator.state
        before = state()
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            env.step([40, 40])
        except KeyboardInterrupt:
            print("interrupted", state() == before)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.strip() == "interrupted True", out.stderr


class InterruptedGames:
    """VectorGames whose native step is followed by a real SIGINT, delivered (as Ctrl-C
    would be) while the environment is still writing the step's results."""

    def __init__(self, games):
        self.games = games

    def __getattr__(self, name):
        return getattr(self.games, name)

    def _env_step(self, *args):
        result = self.games._env_step(*args)
        signal.raise_signal(signal.SIGINT)
        return result


@pytest.mark.parametrize("mode", list(gymnasium.vector.AutoresetMode), ids=lambda m: m.value)
def test_ctrl_c_while_a_native_step_writes_is_raised_by_the_next_call(mode):
    """A Ctrl-C during the random opponent's step neither stops it half done nor is lost:
    that step returns what a twin without the Ctrl-C returns, and the next step raises
    KeyboardInterrupt before changing anything; the run then goes on as the twin's."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        env, twin = (NineBoardVectorEnv(4, autoreset_mode=mode, seed=3) for _ in range(2))
        assert_same(env.reset(seed=0), twin.reset(seed=0))
        rng = np.random.default_rng(0)
        ended = np.zeros(4, dtype=bool)
        for step in range(40):
            if mode == gymnasium.vector.AutoresetMode.DISABLED and ended.any():
                assert_same(env.reset(options={"reset_mask": ended}), twin.reset(options={"reset_mask": ended.copy()}))
            moves = [env.position(i).legal_moves for i in range(4)]
            actions = np.array([rng.choice(legal) if legal else 0 for legal in moves])
            if step % 7 == 3:
                env._games = InterruptedGames(env._games)
                result = env.step(actions)  # the Ctrl-C is held back
                env._games = env._games.games
                before = [env.position(i) for i in range(4)], env.agent_player.tolist()
                with pytest.raises(KeyboardInterrupt):
                    env.step(actions)
                assert ([env.position(i) for i in range(4)], env.agent_player.tolist()) == before
            else:
                result = env.step(actions)
            assert_same(result, twin.step(actions))
            ended = result[2].copy()
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("actions, message", [([True, 0], "bool"), ([0, np.bool_(False)], "bool"),
                                              (np.array([True, False]), "dtype bool")])
def test_bools_are_refused_as_actions(actions, message):
    env = NineBoardVectorEnv(2, seed=0)
    env.reset(seed=0)
    with pytest.raises(TypeError, match=message):
        env.step(actions)


def test_numpy_integer_sizes_and_the_vector_wrappers():
    from gymnasium.wrappers.vector import RecordEpisodeStatistics
    env = RecordEpisodeStatistics(NineBoardVectorEnv(np.int64(4), seed=0))
    assert env.num_envs == 4
    _, info = env.reset(seed=0)
    episodes = 0
    for _ in range(200):
        _, _, terminated, _, info = env.step(np.argmax(info["action_mask"], axis=1))
        episodes += int(terminated.sum())
    assert episodes > 0 and len(env.return_queue) == min(episodes, 100)


def test_masked_logits_stay_finite_on_the_terminal_all_zero_mask():
    from nonagame_lab.envs import masked_logits

    env = NineBoardVectorEnv(64, seed=3)
    _, info = env.reset(seed=3)
    rng = np.random.default_rng(0)
    for _ in range(40):
        _, _, terminated, _, info = env.step(np.argmax(info["action_mask"], axis=1))
        if terminated.any():
            break
    mask = info["action_mask"]
    assert not mask[terminated].any()  # the terminal observations' masks are all zero
    logits = masked_logits(rng.normal(size=mask.shape) * 30, mask)
    probabilities = np.exp(logits - logits.max(axis=1, keepdims=True))
    probabilities /= probabilities.sum(axis=1, keepdims=True)
    assert np.isfinite(probabilities).all()
    running = mask.any(axis=1)
    assert (probabilities[running][mask[running] == 0] == 0).all()
