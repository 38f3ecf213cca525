"""The measurements of nonagame_lab: positions as values, playouts, batches of games, the tree
search against the peer's MCTSBot, and the vector environment when it is installed.

Every batch returns ``(nanoseconds, units)`` like those of cases.py. Python loops over values
(Position) are timed with the CPU time of the calling thread (cases.clock). Native calls are
timed with the CPU time of the whole process (``native_clock``), because with threads > 1 they
run on threads besides the caller's; the thread-scaling rows use the wall clock, as only
it can show two threads finishing sooner than one.
"""
from __future__ import annotations

import gc
import time

import numpy as np

import cases
import nonagame_lab
import peer_map
from nonagame_lab import Position, VectorGames

native_clock = time.process_time_ns
wall_clock = time.perf_counter_ns


def _timed_with(clock, work, *args, **kwargs) -> int:
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = clock()
        work(*args, **kwargs)
        return clock() - start
    finally:
        if enabled:
            gc.enable()


def _timed_cpu_and_wall(work, *args, **kwargs) -> tuple[int, int]:
    """(wall ns, process CPU ns) of one run of work(*args, **kwargs)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        cpu, wall = time.process_time_ns(), time.perf_counter_ns()
        work(*args, **kwargs)
        return time.perf_counter_ns() - wall, time.process_time_ns() - cpu
    finally:
        if enabled:
            gc.enable()


def warm_up() -> None:
    position = Position()
    position.play(position.legal_moves[0]).symmetries()
    hash(position)
    Position.from_game(cases.nonagame.Game(0))
    nonagame_lab.playouts(position, 100, seed=0)
    games = VectorGames(8, seed=0)
    games.step_random()
    nonagame_lab.search(position, simulations=200, seed=0)


# --- Position: values (issue 12) ---------------------------------------------------------

def positions_from(move_lists) -> list[Position]:
    """Every position reached in the recorded games, the final ones included."""
    positions = []
    for moves in move_lists:
        position = Position()
        for cell, _ in moves:
            position = position.play(cell)
            positions.append(position)
    return positions


def _plays(pairs):
    for start, moves in pairs:
        position = start
        for cell, player in moves:
            position = position.play(cell)


def position_play_calls(move_lists) -> tuple[int, int]:
    """Position.play along recorded games, in the same loop shape as cases.make_move_calls
    (one method call per (cell, player) pair): (ns, calls)."""
    pairs = [(Position(), moves) for moves in move_lists]
    return cases._timed(_plays, pairs), sum(len(moves) for moves in move_lists)


def _hashes(values, passes):
    for _ in range(passes):
        for value in values:
            hash(value)


def hash_calls(values, passes) -> tuple[int, int]:
    """hash(x) over a list of objects: Positions, or ints (their keys, 64-bit values)."""
    return cases._timed(_hashes, values, passes), passes * len(values)


def _compares(pairs, passes):
    for _ in range(passes):
        for a, b in pairs:
            a == b  # noqa: B015 - the comparison is what is timed


def equality_pairs(positions) -> tuple[list[tuple], list[tuple]]:
    """Pairs to compare, alternately equal (distinct objects) and unequal: of Positions, and
    of the ints that are their keys, in the same pattern."""
    position_pairs, int_pairs = [], []
    for i, position in enumerate(positions):
        if i % 2 == 0:
            twin = Position.parse(position.notation)
            position_pairs.append((position, twin))
            int_pairs.append((position.key, int(str(position.key))))
        else:
            other = positions[i - 1]
            position_pairs.append((position, other))
            int_pairs.append((position.key, other.key))
    return position_pairs, int_pairs


def equality_calls(pairs, passes) -> tuple[int, int]:
    return cases._timed(_compares, pairs, passes), passes * len(pairs)


def _from_games(games, passes):
    from_game = Position.from_game
    for _ in range(passes):
        for game in games:
            from_game(game)


def from_game_calls(games, passes) -> tuple[int, int]:
    return cases._timed(_from_games, games, passes), passes * len(games)


def _symmetries(positions, passes):
    for _ in range(passes):
        for position in positions:
            position.symmetries()


def symmetries_calls(positions, passes) -> tuple[int, int]:
    return cases._timed(_symmetries, positions, passes), passes * len(positions)


# --- playouts (issue 13) -----------------------------------------------------------------

def playouts_batch(games: int, seed: int, threads: int = 1) -> tuple[int, int]:
    """playouts(Position(), games, threads=threads), in process CPU time: (ns, games)."""
    start = Position()
    ns = _timed_with(native_clock, nonagame_lab.playouts, start, games, seed=seed, threads=threads)
    return ns, games


def playouts_wall(games: int, seed: int, threads: int) -> tuple[int, int, int]:
    """The same in wall-clock time: (wall ns, games, process CPU ns)."""
    wall, cpu = _timed_cpu_and_wall(nonagame_lab.playouts, Position(), games, seed=seed, threads=threads)
    return wall, games, cpu


# --- VectorGames (issue 13) --------------------------------------------------------------

def _done_rows(games) -> list[int]:
    return np.flatnonzero(games.done).tolist()


def vector_schedule(n: int, calls: int, seed: int) -> np.ndarray:
    """(calls, n) int16 cells: the moves of n games stepped by step_random, each game reset
    as soon as it ends, so every call moves all n games. Replayed by step() from the opening
    with the same resets, every cell is legal."""
    games = VectorGames(n, seed=seed)
    cells = np.empty((calls, n), dtype=np.int16)
    for t in range(calls):
        before = games.boards.copy()
        games.step_random()
        cells[t] = np.argmax(games.boards != before, axis=1)
        done = _done_rows(games)
        if done:
            games.reset(done)
    return cells


def vector_step(cells: np.ndarray) -> tuple[int, int]:
    """VectorGames.step over a prepared schedule; only the step calls are timed (validation
    and array updates included), the resets of finished games are not: (ns, game steps)."""
    calls, n = cells.shape
    games = VectorGames(n, seed=0)
    step = games.step
    ns = 0
    enabled = gc.isenabled()
    gc.disable()
    try:
        for t in range(calls):
            row = cells[t]
            start = native_clock()
            step(row)
            ns += native_clock() - start
            done = _done_rows(games)
            if done:
                games.reset(done)
    finally:
        if enabled:
            gc.enable()
    return ns, calls * n


def vector_step_random(n: int, calls: int, seed: int) -> tuple[int, int]:
    """VectorGames.step_random, every game running at every call (finished games are reset
    untimed): (ns, game steps)."""
    games = VectorGames(n, seed=seed)
    step_random = games.step_random
    ns = 0
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(calls):
            start = native_clock()
            step_random()
            ns += native_clock() - start
            done = _done_rows(games)
            if done:
                games.reset(done)
    finally:
        if enabled:
            gc.enable()
    return ns, calls * n


# --- search against the peer's MCTSBot (issue 14) ----------------------------------------

def search_positions(midgame_plies, rng) -> list[list[int]]:
    """The opening and a position after each number of random plies, as cell lists."""
    lines = [[]]
    for plies in midgame_plies:
        while True:
            position, cells = Position(), []
            for _ in range(plies):
                if position.is_over:
                    break
                cell = rng.choice(position.legal_moves)
                position = position.play(cell)
                cells.append(cell)
            if not position.is_over:
                break
        lines.append(cells)
    return lines


def _searches(positions, simulations, threads, seed, done):
    search = nonagame_lab.search
    for position in positions:
        done.append(search(position, simulations=simulations, seed=seed, threads=threads).simulations)


def search_batch(lines, simulations: int, seed: int, threads: int = 1) -> tuple[int, int]:
    """nonagame_lab.search from each position, in process CPU time: (ns, simulations run)."""
    positions = [Position.from_moves(cells) for cells in lines]
    done: list[int] = []
    ns = _timed_with(native_clock, _searches, positions, simulations, threads, seed, done)
    return ns, sum(done)


def search_wall(lines, simulations: int, seed: int, threads: int) -> tuple[int, int, int]:
    """The same in wall-clock time: (wall ns, simulations, process CPU ns)."""
    positions = [Position.from_moves(cells) for cells in lines]
    done: list[int] = []
    wall, cpu = _timed_cpu_and_wall(_searches, positions, simulations, threads, seed, done)
    return wall, sum(done), cpu


PEER_UCT_C = 2.0  # the exploration constant of the peer's own MCTS examples
PEER_MEMORY_MB = 1000


def peer_bot(game, simulations: int, seed: int, seconds: float = -1.0):
    """The peer's native MCTSBot with a one-rollout random evaluator, solving proven nodes as
    our search does."""
    evaluator = cases.pyspiel.RandomRolloutEvaluator(1, seed)
    return cases.pyspiel.MCTSBot(game, evaluator, PEER_UCT_C, simulations, PEER_MEMORY_MB, True, seed, False,
                                 cases.pyspiel.ChildSelectionPolicy.UCT, seconds)


def _peer_searches(bot, states, done):
    for state in states:
        done.append(bot.mcts_search(state).explore_count)


def peer_search_batch(game, lines, simulations: int, seed: int) -> tuple[int, int]:
    """MCTSBot.mcts_search from the same positions, in process CPU time: (ns, simulations run,
    as the root's visit count)."""
    states = [peer_map.state_after(game, cells) for cells in lines]
    bot = peer_bot(game, simulations, seed)
    done: list[int] = []
    ns = _timed_with(native_clock, _peer_searches, bot, states, done)
    return ns, sum(done)


# --- the vector environment (issue 15), when nonagame_lab.envs exists --------------------

def envs_missing() -> str:
    """Why the environment rows cannot run, or "" when they can."""
    try:
        import nonagame_lab.envs  # noqa: F401
    except ImportError as error:
        return f"nonagame_lab.envs is not available ({error})"
    return ""


def _random_actions(mask, rng) -> np.ndarray:
    """A uniformly random legal cell per row of an (n, 81) mask (0 where none is legal)."""
    return np.argmax(rng.random(mask.shape) * mask, axis=1)


def _env_steps(env, steps: int, seed: int) -> tuple[int, int]:
    rng = np.random.default_rng(seed)
    _, info = env.reset(seed=seed)
    restarting = np.zeros(env.num_envs, dtype=np.bool_)
    ns = agent_steps = 0
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(steps):
            actions = _random_actions(np.asarray(info["action_mask"]), rng)
            start = native_clock()
            _, _, terminated, truncated, info = env.step(actions)
            ns += native_clock() - start
            # Next-step autoreset: a row that ended last step restarts now and makes no move.
            agent_steps += int(env.num_envs - restarting.sum())
            restarting = np.logical_or(terminated, truncated)
    finally:
        if enabled:
            gc.enable()
    return ns, agent_steps


def make_vector_env(num_envs: int):
    from nonagame_lab.envs import NineBoardVectorEnv

    return NineBoardVectorEnv(num_envs, opponent="random")


def make_sync_vector_env(num_envs: int):
    import gymnasium
    import nonagame_lab.envs  # registers the environment

    env_id = getattr(nonagame_lab.envs, "ENV_ID", "nonagame_lab/NineBoard-v0")
    return gymnasium.vector.SyncVectorEnv([lambda: gymnasium.make(env_id, opponent="random")
                                           for _ in range(num_envs)])


def vector_env_batch(env, steps: int, seed: int) -> tuple[int, int]:
    """env.step with a random legal action per environment (chosen untimed from
    info["action_mask"]), in process CPU time: (ns, agent moves)."""
    return _env_steps(env, steps, seed)
