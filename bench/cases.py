"""The measurements of the suite, as batches.

Every batch function prepares its inputs untimed, times one stretch of work with the
garbage collector paused (as timeit does) and returns ``(nanoseconds, units)``, so that the
caller can turn repeated batches into a median time per unit. Positions "from real play"
are every position reached in uniformly random games.
"""
from __future__ import annotations

import gc
import random
import sys
import time
import tracemalloc
from dataclasses import dataclass

import nonagame

try:  # the peer is a benchmark-only dependency (the `bench` extra)
    import pyspiel
except ImportError as error:  # pragma: no cover - depends on the environment
    pyspiel = None
    PEER_MISSING = f"open-spiel is not installed ({error}); install it with: python3 -m pip install '.[bench]'"
else:
    PEER_MISSING = ""

PEER_GAME = "ultimate_tic_tac_toe"


@dataclass
class Sizes:
    """How much work one batch does, and how many batches make one measurement."""

    selfplay_games: int = 1000
    memory_games: int = 200
    position_games: int = 100  # about 5,900 positions
    position_passes: int = 10  # as many snapshots as one self-play batch makes
    python_games: int = 1000
    call_games: int = 2000
    peer_games: int = 500
    repeats: int = 7
    # nonagame_lab
    value_passes: int = 20  # hash and == over the positions of position_games games
    playout_games: int = 20000  # per playouts() call
    scaling_games: int = 200000  # per playouts() call of the thread-scaling rows (about 0.1 s)
    vector_games: int = 4096
    vector_calls: int = 100  # step() or step_random() calls per batch
    search_simulations: int = 20000  # per search, ours and the peer's
    search_plies: tuple[int, ...] = (10, 20, 30)  # midgame positions searched besides the opening
    search_repeats: int = 3
    scaling_simulations: int = 200000  # per search of the thread-scaling rows (about 0.2 s)
    env_count: int = 1024
    env_steps: int = 40  # step() calls per batch of the native vector environment
    sync_env_steps: int = 4  # step() calls per batch of Gymnasium's SyncVectorEnv
    network_calls_b1: int = 2000  # evaluate() calls of one position per batch
    network_calls_b256: int = 20  # evaluate() calls of 256 positions per batch
    network_search_simulations: int = 3000  # per search(network=) from each search position
    peer_guided_positions: int = 2  # positions searched by the peer's Python MCTSBot (slow)
    peer_guided_simulations: int = 400  # per search, ours and the Python MCTSBot's
    network_batch_simulations: int = 200  # per tree of search_batch over 256 positions
    network_scaling_simulations: int = 100000  # per search of the network thread rows

    @classmethod
    def quick(cls) -> "Sizes":
        return cls(selfplay_games=3, memory_games=3, position_games=2, position_passes=1,
                   python_games=3, call_games=3, peer_games=3, repeats=1, value_passes=1,
                   playout_games=100, scaling_games=200, vector_games=64, vector_calls=3,
                   search_simulations=100, search_plies=(10,), search_repeats=1, scaling_simulations=200, env_count=4,
                   env_steps=3, sync_env_steps=2, network_calls_b1=3, network_calls_b256=1,
                   network_search_simulations=20, peer_guided_positions=1, peer_guided_simulations=10,
                   network_batch_simulations=2, network_scaling_simulations=200)


# The clock of every batch: by default the CPU time of the measuring thread (user and
# system, so page faults count), which leaves out the time slices that other processes of a
# shared machine take; bench/run.py --wall switches to wall-clock time.
clock = time.thread_time_ns


def _timed(work, *args) -> int:
    """Runs work(*args) with the collector paused and returns the elapsed nanoseconds."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = clock()
        work(*args)
        return clock() - start
    finally:
        if enabled:
            gc.enable()


def warm_up() -> None:
    """Pays the one-time costs (locating NumPy at the first snapshot, creating the types)
    before anything is timed."""
    game = nonagame.Game(0)
    game.make_state()
    game.load_checkpoint(game.make_checkpoint())
    nonagame.play_multiple_games(nonagame.Player(1), nonagame.Player(2), 1)


# --- positions from real play -------------------------------------------------------------

def random_move_lists(games: int, rng: random.Random) -> list[list[tuple[int, int]]]:
    """The (cell, player) moves of uniformly random games, played through the Python API."""
    lists = []
    for _ in range(games):
        game = nonagame.Game(0)
        moves = []
        player = 1
        while True:
            cells = game.get_available_moves()
            if not cells:
                break
            cell = rng.choice(cells)
            game.make_move(cell, player)
            moves.append((cell, player))
            player = 3 - player
        lists.append(moves)
    return lists


def real_positions(games: int, rng: random.Random) -> list[nonagame.Checkpoint]:
    """A checkpoint of every position of `games` random games, the final ones included."""
    checkpoints = []
    for moves in random_move_lists(games, rng):
        game = nonagame.Game(0)
        for cell, player in moves:
            game.make_move(cell, player)
            checkpoints.append(game.make_checkpoint())
    return checkpoints


def games_at(checkpoints: list[nonagame.Checkpoint]) -> list[nonagame.Game]:
    games = []
    for checkpoint in checkpoints:
        game = nonagame.Game(0)
        game.load_checkpoint(checkpoint)
        games.append(game)
    return games


# --- 1. native self-play -----------------------------------------------------------------

def _selfplay_and_release(player1, player2, count):
    states = nonagame.play_multiple_games(player1, player2, count)
    turns = len(states)
    del states  # releasing the snapshots is part of the cost, as it is for make_state()
    return turns


def selfplay(sizes: Sizes) -> tuple[int, int, int]:
    """play_multiple_games with two plain players: (ns, games, turns), releases included."""
    player1, player2 = nonagame.Player(1), nonagame.Player(2)
    turns = []
    ns = _timed(lambda: turns.append(_selfplay_and_release(player1, player2, sizes.selfplay_games)))
    return ns, sizes.selfplay_games, turns[0]


def state_footprint(state) -> int:
    """sys.getsizeof of a State and of its two arrays (NumPy counts the data it owns)."""
    return sys.getsizeof(state) + sys.getsizeof(state.board) + sys.getsizeof(state.possible_moves)


def selfplay_memory(sizes: Sizes) -> tuple[float, float]:
    """Bytes that tracemalloc sees retained per returned State, and the mean footprint."""
    player1, player2 = nonagame.Player(1), nonagame.Player(2)
    # Hold more States than the free list of released ones can keep, so that every State
    # of the measured call is a new allocation that tracemalloc sees.
    game = nonagame.Game(0)
    held = [game.make_state() for _ in range(1000)]
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        states = nonagame.play_multiple_games(player1, player2, sizes.memory_games)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    del held
    footprint = sum(state_footprint(state) for state in states) / len(states)
    return (after - before) / len(states), footprint


# --- 2. the snapshot floor ---------------------------------------------------------------

def _make_states(games, passes):
    for _ in range(passes):
        for game in games:
            game.make_state()


def make_state(games: list[nonagame.Game], passes: int) -> tuple[int, int]:
    """make_state() per call, each State released at once (its memory is reused at once)."""
    return _timed(_make_states, games, passes), passes * len(games)


def _keep_states(games, passes):
    states = []
    for _ in range(passes):
        states += [game.make_state() for game in games]
    del states


def make_state_kept(games: list[nonagame.Game], passes: int) -> tuple[int, int]:
    """make_state() per call, every State kept in one list until the end and then released:
    what the runner has to do with its snapshots, at the same scale."""
    return _timed(_keep_states, games, passes), passes * len(games)


# --- 3. Python-driven play ---------------------------------------------------------------

def _python_games(count, choice):
    moves = 0
    for _ in range(count):
        game = nonagame.Game(0)
        player = 1
        while True:
            cells = game.get_available_moves()
            if not cells:
                break
            game.make_move(choice(cells), player)
            player = 3 - player
            moves += 1
    return moves


def python_play(sizes: Sizes, rng: random.Random) -> tuple[int, int]:
    """get_available_moves() + make_move(choice) until the end: (ns, moves)."""
    moves = []
    ns = _timed(lambda: moves.append(_python_games(sizes.python_games, rng.choice)))
    return ns, moves[0]


def _make_moves(pairs):
    for game, moves in pairs:
        for cell, player in moves:
            game.make_move(cell, player)


def _dict_gets(pairs):
    for table, moves in pairs:
        for cell, player in moves:
            table.get(cell, player)


def make_move_calls(move_lists) -> tuple[int, int]:
    """make_move alone, replaying recorded games on fresh Game objects: (ns, calls)."""
    pairs = [(nonagame.Game(0), moves) for moves in move_lists]
    return _timed(_make_moves, pairs), sum(len(moves) for moves in move_lists)


def dict_get_calls(move_lists) -> tuple[int, int]:
    """The same loop with a trivial two-argument builtin method: dict.get(cell, player)."""
    table = {cell: cell for cell in range(81)}
    pairs = [(table, moves) for moves in move_lists]
    return _timed(_dict_gets, pairs), sum(len(moves) for moves in move_lists)


# --- 4. tree-search pattern --------------------------------------------------------------

def _make_checkpoints(games, passes):
    for _ in range(passes):
        for game in games:
            game.make_checkpoint()


def _load_checkpoints(pairs, passes):
    for _ in range(passes):
        for game, checkpoint in pairs:
            game.load_checkpoint(checkpoint)


def make_checkpoint(games, passes) -> tuple[int, int]:
    return _timed(_make_checkpoints, games, passes), passes * len(games)


def load_checkpoint(games, checkpoints, passes) -> tuple[int, int]:
    # Each game restores another position of real play, as a search restores its root.
    pairs = list(zip(games, checkpoints[1:] + checkpoints[:1]))
    return _timed(_load_checkpoints, pairs, passes), passes * len(pairs)


# --- 6. the peer -------------------------------------------------------------------------

def peer_game():
    return pyspiel.load_game(PEER_GAME)


def _peer_games(game, count, choice, finals):
    actions = 0
    for _ in range(count):
        state = game.new_initial_state()
        while True:
            legal = state.legal_actions()
            if not legal:
                break
            state.apply_action(choice(legal))
            actions += 1
        finals.append(state)
    return actions


def marks_placed(state) -> int:
    """Cells marked on the peer's board. Its turn is one action, or two when the mover
    first picks the sub-board, so per move means per mark, as for nonagame."""
    board = str(state).split("\n\n" + "Current player")[0]
    return board.count("x") + board.count("o")


def peer_play(game, sizes: Sizes, rng: random.Random) -> tuple[int, int, int, int]:
    """legal_actions() + apply_action(choice) until the end: (ns, games, marks, actions)."""
    finals, actions = [], []
    ns = _timed(lambda: actions.append(_peer_games(game, sizes.peer_games, rng.choice, finals)))
    return ns, sizes.peer_games, sum(marks_placed(state) for state in finals), actions[0]


def peer_positions(game, games: int, rng: random.Random) -> list:
    """A copy of every state reached in `games` random games of the peer."""
    states = []
    for _ in range(games):
        state = game.new_initial_state()
        while not state.is_terminal():
            state.apply_action(rng.choice(state.legal_actions()))
            states.append(state.clone())
    return states


def _clones(states, passes):
    for _ in range(passes):
        for state in states:
            state.clone()


def peer_clone(states, passes) -> tuple[int, int]:
    return _timed(_clones, states, passes), passes * len(states)
