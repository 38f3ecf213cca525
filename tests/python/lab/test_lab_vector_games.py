"""nonagame_lab.VectorGames: lockstep against nonagame.Game replays, all-or-nothing steps,
the array arguments it takes and refuses, its read-only arrays, seeds across thread counts,
load and position, reset, and use from a second thread."""
from __future__ import annotations

import copy
import gc
import os
import pickle
import random
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import nonagame
from lab_support import game_view, random_line, replay
from nonagame_lab import Position, Searcher, VectorGames

ARRAYS = ("boards", "legal", "to_move", "winner", "done", "moves_played", "last_move")


def snapshot(v: VectorGames) -> dict[str, np.ndarray]:
    return {name: getattr(v, name).copy() for name in ARRAYS}


def assert_same(a: dict[str, np.ndarray], b: dict[str, np.ndarray]) -> None:
    for name in ARRAYS:
        assert np.array_equal(a[name], b[name]), name


def random_cells(gen: np.random.Generator, v: VectorGames) -> np.ndarray:
    """One uniformly random legal cell per running game, -1 for the games that are done."""
    scores = gen.random(v.legal.shape) * v.legal
    return np.where(v.done, -1, scores.argmax(axis=1))


def check_against(v: VectorGames, games: list[nonagame.Game]) -> None:
    """Every array of v agrees with the games it mirrors."""
    views = [game_view(game) for game in games]
    legal = np.zeros((len(games), 81), dtype=bool)
    for i, (available, _, _, _) in enumerate(views):
        legal[i, available] = True
    boards = np.array([view[3] for view in views], dtype=np.int8).reshape(len(games), 81)
    assert np.array_equal(v.boards, boards)
    assert np.array_equal(v.legal, legal)
    assert v.to_move.tolist() == [view[1] for view in views]
    assert v.winner.tolist() == [view[2] for view in views]
    assert v.done.tolist() == [not view[0] for view in views]
    assert np.array_equal(v.moves_played, np.count_nonzero(boards, axis=1))


# Lockstep with nonagame.Game.

def test_steps_in_lockstep_with_game_replays():
    """64 games stepped 2,000 times (over 100,000 moves, some 2,000 whole games),
    alternately with chosen cells and with step_random; finished games are restarted every
    third call, so that step also sees -1 entries. Every array is compared with the games
    after every call."""
    n, calls = 64, 2_000
    gen = np.random.default_rng(7)
    v = VectorGames(n, seed=11)
    games = [nonagame.Game(i) for i in range(n)]
    check_against(v, games)
    last = np.full(n, -1)
    moves = 0
    for call in range(calls):
        was_running = ~v.done
        running = np.flatnonzero(was_running)
        to_move = v.to_move.copy()
        if call % 2:
            before = v.boards.copy()
            v.step_random()
            changed = v.boards != before
            assert np.array_equal(changed.sum(axis=1), was_running)  # one move in every running game
            cells = changed.argmax(axis=1)
        else:
            cells = random_cells(gen, v)
            v.step(cells)
        for i in running:
            games[i].make_move(int(cells[i]), int(to_move[i]))
        moves += len(running)
        last[running] = cells[running]
        check_against(v, games)
        assert np.array_equal(v.last_move, last)
        if call % 3 == 2:
            finished = np.flatnonzero(v.done)
            v.reset(finished)
            for i in finished:
                games[i] = nonagame.Game(int(i))
            last[finished] = -1
            check_against(v, games)
            assert np.array_equal(v.last_move, last)
    assert moves >= 100_000


@pytest.mark.parametrize("source", ["position", "game", "state"])
def test_a_loaded_game_continues_like_the_game_it_came_from(source):
    v = VectorGames(6, seed=4)
    games = []
    for i in range(6):
        moves, p = random_line(100 + i, [0, 5, 20, 40, None, 3][i])
        game = replay(moves)
        v.load(i, {"position": p, "game": game, "state": game.make_state()}[source])
        games.append(game)
        assert v.position(i) == p
    check_against(v, games)
    assert (v.last_move == -1).all()  # a position carries no last move
    gen = np.random.default_rng(1)
    for call in range(90):
        to_move, running = v.to_move.copy(), np.flatnonzero(~v.done)
        if call % 2:
            before = v.boards.copy()
            v.step_random()
            cells = (v.boards != before).argmax(axis=1)
        else:
            cells = random_cells(gen, v)
            v.step(cells)
        for i in running:
            games[i].make_move(int(cells[i]), int(to_move[i]))
        check_against(v, games)
    assert v.done.all()


def test_position_and_load_round_trip():
    v = VectorGames(3, seed=2)
    for seed in range(40):
        moves, p = random_line(seed, seed * 2 if seed % 3 else None)
        i = seed % 3
        v.load(i, p)
        q = v.position(i)
        assert q == p and q.key == p.key
        assert np.array_equal(v.boards[i], p.board)
        assert np.flatnonzero(v.legal[i]).tolist() == p.legal_moves
        assert (v.to_move[i], v.winner[i], v.done[i]) == (p.to_move, p.winner, p.is_over)
        assert v.moves_played[i] == len(moves)
    v.step_random()
    assert all(v.position(i) == Position.parse(v.position(i).notation) for i in range(3))


def test_positions_follow_the_steps():
    v = VectorGames(4, seed=6)
    lines = [[] for _ in range(4)]
    while not v.done.all():
        before = v.boards.copy()
        running = ~v.done
        v.step_random()
        for i in np.flatnonzero(running):
            lines[i].append(int((v.boards[i] != before[i]).argmax()))
        for i in range(4):
            assert v.position(i) == Position.from_moves(lines[i])


# step is all-or-nothing.

def _batch_with_a_finished_game() -> tuple[VectorGames, list[list[int]]]:
    """Five running games at different stages and a finished one (game 3)."""
    v = VectorGames(6, seed=9)
    lines = []
    for i, plies in enumerate([0, 3, 10, None, 25, 41]):
        moves, p = random_line(200 + i, plies)
        v.load(i, p)
        lines.append(moves)
    assert v.done.tolist() == [False, False, False, True, False, False]
    return v, lines


def _occupied(v, i):
    return int(np.flatnonzero(v.boards[i])[0])


def _wrong_roster(v, i):
    return int(np.flatnonzero(~v.legal[i] & (v.boards[i] == 0))[0])


BAD_ENTRIES = {
    "occupied cell": (2, _occupied, None),
    "wrong roster": (4, _wrong_roster, None),
    "cell 81": (1, lambda v, i: 81, "cells are 0..80"),
    "cell -2": (0, lambda v, i: -2, "cells are 0..80"),
    "cell 1000": (5, lambda v, i: 1000, "cells are 0..80"),
    "cell 2**40": (5, lambda v, i: 2**40, "cells are 0..80"),
    "cell -2**40": (0, lambda v, i: -(2**40), "cells are 0..80"),
    "-1 for a running game": (1, lambda v, i: -1, "-1 is only for games that are over, and this game is running"),
    "a cell for a finished game": (3, lambda v, i: 40, "the game is over; its entry must be -1"),
}


@pytest.mark.parametrize("game, bad_cell, reason", BAD_ENTRIES.values(), ids=BAD_ENTRIES.keys())
def test_a_bad_entry_changes_nothing(game, bad_cell, reason):
    v, lines = _batch_with_a_finished_game()
    before = snapshot(v)
    positions = [v.position(i) for i in range(6)]
    cells = random_cells(np.random.default_rng(0), v).astype(np.int64)
    bad = bad_cell(v, game)
    cells[game] = bad
    if reason is None:  # an illegal cell on the board: the engine's own refusal
        reason = _engine_text(lines[game], bad)
    for later in range(game + 1, 6):  # only the first bad entry is named
        cells[later] = 81
    with pytest.raises(ValueError) as refused:
        v.step(cells)
    assert str(refused.value) == f"game {game}, cell {bad}: {reason}"
    assert_same(before, snapshot(v))
    assert [v.position(i) for i in range(6)] == positions
    good = random_cells(np.random.default_rng(0), v)
    v.step(good)  # the batch still works, from where it was
    assert [v.position(i) for i in range(6)] == [
        p if p.is_over else p.play(int(c)) for p, c in zip(positions, good)]


def _engine_text(moves, cell):
    game = replay(moves)
    with pytest.raises(ValueError) as refused:
        game.make_move(cell, game.make_state().player_id)
    return str(refused.value)


# The arrays that step takes.

INTEGER_TYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64, np.intp,
                 np.longlong, np.ulonglong]


def _playable(v: VectorGames) -> np.ndarray:
    """Legal cells for every game of a fresh batch after one random step (no -1)."""
    return random_cells(np.random.default_rng(3), v)


@pytest.mark.parametrize("form", ["list", "tuple", "strided", "reversed", "column", "array"]
                         + [np.dtype(t).name for t in INTEGER_TYPES])
def test_step_takes_integer_array_likes_of_any_layout(form):
    v, w = VectorGames(7, seed=1), VectorGames(7, seed=1)
    v.step_random()
    w.step_random()
    cells = _playable(v)
    if form == "list":
        given = [int(c) for c in cells]
    elif form == "tuple":
        given = tuple(int(c) for c in cells)
    elif form == "strided":  # every other element of a longer array
        given = np.full(14, -99, dtype=np.int64)
        given[::2] = cells
        given = given[::2]
        assert not given.flags.c_contiguous
    elif form == "reversed":
        given = cells[::-1].copy()[::-1]
        assert given.strides[0] < 0
    elif form == "column":
        given = np.stack([cells, cells + 100], axis=1)[:, 0]
    elif form == "array":
        given = cells
    else:
        given = cells.astype(form)
    v.step(given)
    w.step(cells.astype(np.int64))
    assert_same(snapshot(v), snapshot(w))
    assert int(v.moves_played.sum()) == 14


@pytest.mark.parametrize("given, error, text", [
    (lambda n: np.full(n, 40.0), ValueError, "integer"),
    (lambda n: [40.0] * n, ValueError, "integer"),
    (lambda n: np.full(n, 40, dtype=np.float32), ValueError, "integer"),
    (lambda n: np.array(["40"] * n), ValueError, "integer"),
    (lambda n: ["40"] * n, ValueError, "integer"),
    (lambda n: np.full(n, True), ValueError, "integer"),
    (lambda n: np.full(n, 40, dtype=">i4"), ValueError, "native byte order"),
    (lambda n: np.full(n, 40, dtype=object), ValueError, "integer"),
    (lambda n: [40] * (n - 1) + [None], ValueError, "integer"),
    (lambda n: np.full(n + 1, 40), ValueError, "expected shape (5,), got shape (6,)"),
    (lambda n: np.full(n - 1, 40), ValueError, "expected shape (5,), got shape (4,)"),
    (lambda n: np.full((n, 1), 40), ValueError, "expected shape (5,), got shape (5, 1)"),
    (lambda n: np.full((1, n), 40), ValueError, "expected shape (5,), got shape (1, 5)"),
    (lambda n: np.array(40), ValueError, "expected shape (5,)"),
    (lambda n: [[40]] * n, ValueError, "expected shape (5,)"),
    (lambda n: "40" * n, TypeError, "array-like of ints"),
    (lambda n: b"\x28" * n, TypeError, "array-like of ints"),
    (lambda n: 40, TypeError, "array-like of ints"),
    (lambda n: None, TypeError, "array-like of ints"),
    (lambda n: {40: 1}, TypeError, "array-like of ints"),
])
def test_step_refuses_bad_arrays_and_changes_nothing(given, error, text):
    v = VectorGames(5, seed=5)
    v.step_random()
    before = snapshot(v)
    with pytest.raises(error) as refused:
        v.step(given(5))
    assert text in str(refused.value)
    assert_same(before, snapshot(v))


def test_an_empty_batch_takes_every_call():
    v = VectorGames(0, seed=1)
    assert len(v) == 0
    for name in ("boards", "legal"):
        assert getattr(v, name).shape == (0, 81)
    for name in ("to_move", "winner", "done", "moves_played"):
        assert getattr(v, name).shape == (0,)
    v.step(np.empty(0, dtype=np.int64))
    v.step([])
    v.step_random()
    v.playout()
    v.reset()
    v.reset([])
    v.reset(np.empty(0, dtype=np.int64), seed=3)
    with pytest.raises(IndexError, match="^argument 'i': index 0 is out of range: there are no games$"):
        v.position(0)
    with pytest.raises(IndexError):
        v.load(0, Position())
    with pytest.raises(ValueError):
        v.step([40])


@pytest.mark.parametrize("n", [10**15, 2**62, 2**63 - 1, 2**63, 2**64, 10**30])
def test_a_batch_too_large_for_memory_raises_memory_error(n):
    with pytest.raises(MemoryError, match=r"^VectorGames: a game takes \d+ bytes, and this machine's \d+ MiB"):
        VectorGames(n)


@pytest.mark.skipif(bool(os.environ.get("NONAGAME_SANITIZED")), reason="the sanitizer's allocator aborts instead")
def test_a_search_pool_too_large_for_memory_says_so():
    try:
        Searcher(pool_nodes=2**32 - 1)
    except MemoryError as error:
        assert str(error) == ("a search pool of 4294967295 nodes (81919 MiB) cannot be allocated; "
                              "choose a smaller pool_nodes")
    else:
        pytest.skip("this machine reserves 80 GiB at once")


@pytest.mark.parametrize("call, error", [
    (lambda: VectorGames(-1), ValueError),
    (lambda: VectorGames(1.0), TypeError),
    (lambda: VectorGames("3"), TypeError),
    (lambda: VectorGames(None), TypeError),
    (lambda: VectorGames(3, seed=-1), ValueError),
    (lambda: VectorGames(3, seed=2**64), ValueError),
    (lambda: VectorGames(3, seed=1.5), TypeError),
    (lambda: VectorGames(3, threads=0), ValueError),
    (lambda: VectorGames(3, threads=1.0), TypeError),
    (lambda: VectorGames(3, 1), TypeError),
])
def test_bad_constructor_arguments(call, error):
    with pytest.raises(error):
        call()


# The arrays.

def test_arrays_are_read_only_views_that_follow_the_games():
    v = VectorGames(9, seed=2)
    arrays = {name: getattr(v, name) for name in ARRAYS}
    expected = {"boards": (np.int8, (9, 81)), "legal": (np.bool_, (9, 81)), "to_move": (np.int8, (9,)),
                "winner": (np.int8, (9,)), "done": (np.bool_, (9,)), "moves_played": (np.int16, (9,)),
                "last_move": (np.int16, (9,))}
    for name, array in arrays.items():
        assert (array.dtype, array.shape) == (np.dtype(expected[name][0]), expected[name][1]), name
        assert getattr(v, name) is array and not array.flags.writeable
        with pytest.raises(ValueError):
            array[0] = 1
        with pytest.raises(ValueError):
            array.setflags(write=True)
        with pytest.raises(ValueError):
            np.copyto(array, 0)
    v.step_random()
    before = v.boards.copy()
    v.playout()
    assert all(getattr(v, name) is arrays[name] for name in ARRAYS)
    assert arrays["done"].all() and (arrays["moves_played"] >= 17).all()
    # The last move of a playout is a new mark of the player who moved last.
    last, rows = arrays["last_move"], np.arange(9)
    assert (before[rows, last] == 0).all() and (arrays["boards"][rows, last] == 3 - arrays["to_move"]).all()
    assert np.array_equal(arrays["moves_played"], np.count_nonzero(arrays["boards"], axis=1))
    assert len(v) == 9 and len(VectorGames(1)) == 1


def test_arrays_outlive_the_batch():
    v = VectorGames(3, seed=1)
    v.step_random()
    arrays = {name: getattr(v, name) for name in ARRAYS}
    copies = snapshot(v)
    del v
    gc.collect()
    for w in [VectorGames(3, seed=9) for _ in range(20)]:
        w.playout()  # new batches reuse the freed memory, if any was freed
    assert_same(arrays, copies)


def test_a_batch_is_not_copied_or_pickled():
    v = VectorGames(2)
    for call in (lambda: pickle.dumps(v), lambda: copy.copy(v), lambda: copy.deepcopy(v)):
        with pytest.raises(TypeError):
            call()


def test_a_new_batch_is_at_the_opening():
    v = VectorGames(3, seed=0)
    assert not v.boards.any() and v.legal.all() and (v.to_move == 1).all()
    assert not v.winner.any() and not v.done.any() and not v.moves_played.any() and (v.last_move == -1).all()
    assert all(v.position(i) == Position() for i in range(3))


# Seeds and threads.

def _seeded_run(threads: int, seed: int | None = 21, n: int = 5_000) -> list[dict[str, np.ndarray]]:
    v = VectorGames(n, seed=seed, threads=threads)
    states = []
    calls = ["random", "cells", "random", "playout", "cells", "reset-evens", "random", "cells", "reset-all", "random"]
    for index, call in enumerate(calls):
        if call == "random":
            v.step_random()
        elif call == "cells":
            v.step(random_cells(np.random.default_rng(index), v))
        elif call == "playout":
            v.playout()
        elif call == "reset-evens":
            v.reset(np.arange(0, n, 2), seed=5)
        else:
            v.reset(seed=6)
        states.append(snapshot(v))
    return states


@pytest.mark.threads
def test_the_same_seed_gives_the_same_arrays_for_any_thread_count():
    runs = [_seeded_run(threads) for threads in (1, 2, 3)]
    for states in runs[1:]:
        for a, b in zip(runs[0], states):
            assert_same(a, b)


def test_seeds_differ_and_none_draws_one():
    a, b = VectorGames(64, seed=1), VectorGames(64, seed=2)
    c, d = VectorGames(64), VectorGames(64)
    for v in (a, b, c, d):
        for _ in range(3):
            v.step_random()
    assert not np.array_equal(a.boards, b.boards) and not np.array_equal(c.boards, d.boards)


def test_reset_with_a_seed_restarts_the_streams():
    fresh, used = VectorGames(50, seed=8), VectorGames(50, seed=1)
    used.step_random()
    used.playout()
    used.reset(seed=8)
    for v in (fresh, used):
        v.step_random()
        v.step_random()
    assert_same(snapshot(fresh), snapshot(used))
    # Without a seed the streams go on: a second reset does not repeat the games.
    used.reset()
    used.step_random()
    used.step_random()
    assert not np.array_equal(fresh.boards, used.boards)


def test_reset_with_a_seed_restarts_only_the_given_streams():
    fresh, used = VectorGames(5, seed=8), VectorGames(5, seed=1)
    for _ in range(3):
        used.step_random()
    kept = used.boards[[0, 2, 4]].copy()
    used.reset([1, 3], seed=8)
    for v in (fresh, used):
        v.step_random()
        v.step_random()
    assert np.array_equal(used.boards[[1, 3]], fresh.boards[[1, 3]])
    assert np.array_equal(np.count_nonzero(used.boards[[0, 2, 4]] != kept, axis=1), [2, 2, 2])


# reset.

@pytest.mark.parametrize("indices", [[1, 3], (3, 1, 1), np.array([1, 3]), np.array([3, 1], dtype=np.uint8),
                                     range(1, 4, 2), np.array([0, 1, 2, 3, 4])[1::2]])
def test_reset_restarts_only_the_given_games(indices):
    v = VectorGames(5, seed=3)
    for _ in range(4):
        v.step_random()
    before = snapshot(v)
    v.reset(indices)
    after = snapshot(v)
    for i in range(5):
        if i in (1, 3):
            assert v.position(i) == Position() and after["moves_played"][i] == 0
        else:
            assert all(np.array_equal(after[name][i], before[name][i]) for name in ARRAYS)


@pytest.mark.parametrize("index", [2, np.int64(2), np.array(2), np.array([2])])
def test_reset_takes_a_single_index(index):
    v = VectorGames(4, seed=3)
    v.step_random()
    v.reset(index)
    assert v.moves_played.tolist() == [1, 1, 0, 1]


@pytest.mark.parametrize("indices, error", [
    ([0, 4], ValueError), (4, ValueError), (-1, ValueError), ([-1], ValueError), (np.array([[0, 1]]), ValueError),
    # Anything but integers is a TypeError, alone or in an array-like.
    (1.0, TypeError), ("1", TypeError), (True, TypeError), ({1}, TypeError), ([0.0], TypeError), (["0"], TypeError),
    ([0, "1"], TypeError), (np.array([True, False, True, False]), TypeError),
])
def test_reset_refuses_bad_indices_and_changes_nothing(indices, error):
    v = VectorGames(4, seed=3)
    v.step_random()
    before = snapshot(v)
    with pytest.raises(error):
        v.reset(indices)
    assert_same(before, snapshot(v))


@pytest.mark.parametrize("call, error", [
    (lambda v: v.position(4), IndexError), (lambda v: v.position(-1), IndexError),
    (lambda v: v.position(1.0), TypeError), (lambda v: v.position(True), TypeError),
    (lambda v: v.load(4, Position()), IndexError), (lambda v: v.load(0, "9/9/9/9/9/9/9/9/9 x -"), TypeError),
    (lambda v: v.load(0, None), TypeError), (lambda v: v.load(0), TypeError),
    (lambda v: v.load(0.0, Position()), TypeError), (lambda v: v.reset(seed=-1), ValueError),
    (lambda v: v.reset(None, seed=1.0), TypeError),
])
def test_bad_load_position_and_reset_arguments(call, error):
    v = VectorGames(4, seed=3)
    v.step_random()
    before = snapshot(v)
    with pytest.raises(error):
        call(v)
    assert_same(before, snapshot(v))


# Ctrl-C.

CTRL_C = textwrap.dedent("""
    import os, signal, sys, threading, time
    signal.signal(signal.SIGINT, signal.default_int_handler)  # a runner may have started us with SIGINT ignored
    import numpy as np
    from nonagame_lab import VectorGames
    method = sys.argv[1]
    v = VectorGames(400_000, seed=1, threads=2)
    start = time.perf_counter()
    v.step_random()
    took = time.perf_counter() - start
    for attempt in range(4):
        before = v.moves_played.copy()
        cells = np.where(v.done, -1, (np.random.default_rng(attempt).random(v.legal.shape) * v.legal).argmax(1))
        timer = threading.Timer(took * (attempt + 0.5) / 4, os.kill, (os.getpid(), signal.SIGINT))
        try:
            timer.start()
            v.step_random() if method == "step_random" else v.step(cells)
            timer.join()  # the signal has been sent: its handler runs within the try
            time.sleep(0.05)
        except KeyboardInterrupt:
            pass
        timer.join()
        print(*np.unique(v.moves_played - before))
        if v.done.any():
            v.reset(np.flatnonzero(v.done))
""")


@pytest.mark.parametrize("method", ["step", "step_random"])
def test_ctrl_c_never_leaves_a_step_half_done(method):
    """An interrupt that arrives during step or step_random lets it move every running
    game; KeyboardInterrupt comes right after."""
    out = subprocess.run([sys.executable, "-c", CTRL_C, method], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split("\n")[:-1]
    # Each attempt moved every game once, or (when the interrupt came before the call began)
    # none: never some of them.
    assert len(lines) == 4 and set(lines) <= {"0", "1"} and "1" in lines, lines


# A second thread.

def whole_copies(v: VectorGames) -> dict[str, np.ndarray] | None:
    """Copies of the arrays with the same even sequence number before and after, else None."""
    before = v.sequence
    copies = {name: getattr(v, name).copy() for name in ARRAYS}
    return copies if before % 2 == 0 and v.sequence == before else None


# Not marked `threads`: the reader's copies race the writer's stores by design (the sequence
# number is what makes them safe), so the ThreadSanitizer run would report exactly that race.
@pytest.mark.parametrize("threads", [1, 2])
def test_a_reader_thread_copies_whole_calls(threads):
    """A thread that copies the arrays while another steps, resets and plays out 2,048 games
    gets, whenever the sequence number held still, the games between two calls: every game
    has moved as often as every other (none can end within 16 moves), the marks, the move
    counts, the last moves, the legal cells and done agree, and done.nonzero() is in range."""
    n = 2048
    v = VectorGames(n, seed=5, threads=threads)
    stop, torn, whole = threading.Event(), [], [0]

    def check(c: dict[str, np.ndarray]) -> None:
        moves, marks = c["moves_played"], np.count_nonzero(c["boards"], axis=1)
        finished = c["done"].nonzero()[0]
        if finished.size and not (0 <= finished.min() and finished.max() < n):
            torn.append("done")
        if not np.array_equal(marks, moves) or not np.array_equal(c["last_move"] < 0, moves == 0):
            torn.append("marks, moves and last moves")
        if not np.array_equal(c["legal"].any(axis=1), ~c["done"]):
            torn.append("legal and done")
        if not c["done"].any() and not (moves == moves[0]).all():
            torn.append("moves")

    def read() -> None:
        while not stop.is_set():
            copies = whole_copies(v)
            if copies is not None:
                whole[0] += 1
                check(copies)

    reader = threading.Thread(target=read)
    reader.start()
    try:
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline and not torn:
            for call in [v.reset] + [v.step_random] * 16 + [v.playout]:
                call()
                time.sleep(0.001)  # a pause between calls, in which a copy can be whole
    finally:
        stop.set()
        reader.join()
    assert not torn and whole[0] > 20, (torn[:5], whole[0])
    assert v.sequence % 2 == 0 and v.sequence > 0


@pytest.mark.threads
def test_a_second_thread_gets_runtime_error_during_a_long_call():
    """While one thread plays out a large batch without the interpreter lock, calls from
    another thread are refused with RuntimeError, and the batch comes out whole."""
    v = VectorGames(100_000, seed=12, threads=1)
    opening = np.full(len(v), 40, dtype=np.int64)
    refusals: dict[str, int] = {"step": 0, "position": 0, "step_random": 0}
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not all(refusals.values()):
        v.reset()
        worker = threading.Thread(target=v.playout)
        worker.start()
        while worker.is_alive():
            for name, call in (("step", lambda: v.step(opening)), ("position", lambda: v.position(0)),
                               ("step_random", v.step_random)):
                try:
                    call()
                except RuntimeError:
                    refusals[name] += 1
                except ValueError:
                    pass  # the step ran before or after the playout: its cells no longer fit
        worker.join()
        assert v.done.all()
        assert np.array_equal(v.moves_played, np.count_nonzero(v.boards, axis=1))
    assert all(refusals.values()), refusals
    sample = random.Random(0).sample(range(len(v)), 200)
    for i in sample:
        p = v.position(i)
        assert p.is_over and np.array_equal(p.board, v.boards[i]) and p.winner == v.winner[i]
        assert p == Position.parse(p.notation)
