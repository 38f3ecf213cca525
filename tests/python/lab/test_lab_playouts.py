"""nonagame_lab.playouts: outcome frequencies against nonagame's own runner, seeds across
thread counts, the accepted position types, argument checks and Ctrl-C."""
from __future__ import annotations

import math
import pickle
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import nonagame
from lab_support import random_line
from nonagame_lab import PlayoutResult, Position, VectorGames, playouts


def test_outcome_frequencies_agree_with_the_runner():
    """Random players of the runner and random playouts sample the same distribution of
    outcomes from the opening: every frequency agrees within 5 standard errors."""
    runs = 20_000
    first, second = nonagame.Player(1), nonagame.Player(2)
    nonagame.play_multiple_games(first, second, runs)
    runner = [first.get_wins(), second.get_wins()]
    runner.append(runs - sum(runner))
    n = 200_000
    ours = playouts(Position(), n, seed=2024)
    for wins, own in zip(runner, ours):
        pooled = (wins + own) / (runs + n)
        error = math.sqrt(pooled * (1 - pooled) * (1 / runs + 1 / n))
        assert abs(wins / runs - own / n) < 5 * error, (runner, ours)
    assert ours.p1_wins > ours.p2_wins > ours.draws > 0


@pytest.mark.threads
@pytest.mark.parametrize("plies", [0, 9, 30])
def test_the_same_seed_gives_the_same_counts_for_any_thread_count(plies):
    _, p = random_line(plies, plies)
    counts = {threads: playouts(p, 5_000, seed=77, threads=threads) for threads in (1, 2, 3)}
    assert counts[1] == counts[2] == counts[3] and sum(counts[1]) == 5_000
    others = {playouts(p, 5_000, seed=seed) for seed in (1, 2, 3, 4)}
    assert len(others) == 4 and counts[1] not in others
    assert playouts(p, 5_000) != playouts(p, 5_000)  # seeds from the operating system


def test_playout_i_draws_from_the_stream_of_seed_and_i():
    """A batch of games played out from the opening with seed s uses the same streams as
    playouts(..., seed=s), so the outcomes add up to the same counts."""
    v = VectorGames(3_000, seed=99)
    v.playout()
    winners = np.bincount(v.winner, minlength=3)
    assert tuple(playouts(Position(), 3_000, seed=99)) == (winners[1], winners[2], winners[0])


def test_positions_games_and_states_give_the_same_counts():
    moves, p = random_line(5, 20)
    game = nonagame.Game(0)
    for cell in moves:
        game.make_move(cell, game.make_state().player_id)
    sources = [p, game, game.make_state(), p.to_game(), p.to_game().make_state()]
    results = {playouts(source, 4_000, seed=3) for source in sources}
    assert len(results) == 1
    # The game is read, not played.
    assert Position.from_game(game) == p


def test_finished_positions_give_every_game_to_the_winner(finished_by_outcome):
    for winner, (moves, p) in finished_by_outcome.items():
        expected = [0, 0, 0]
        expected[(winner - 1) % 3] = 1_000  # p1_wins, p2_wins, draws
        for source in (p, p.to_game(), p.to_game().make_state()):
            assert list(playouts(source, 1_000, seed=1, threads=2)) == expected


def test_the_result_is_a_named_tuple():
    result = playouts(Position.from_moves([40]), 1_234, seed=8)
    assert type(result) is PlayoutResult and isinstance(result, tuple) and len(result) == 3
    assert (result.p1_wins, result.p2_wins, result.draws) == tuple(result)
    assert sum(result) == 1_234 and all(count >= 0 for count in result)
    p1, p2, draws = result
    assert result == (p1, p2, draws)
    assert tuple(playouts(Position(), 0, seed=1)) == (0, 0, 0)


@pytest.mark.parametrize("kwargs, error", [
    ({"n": -1}, ValueError),
    ({"seed": -1}, ValueError),
    ({"seed": 2**64}, ValueError),
    ({"threads": 0}, ValueError),
    ({"threads": -2}, ValueError),
    ({"threads": 10**6}, ValueError),
    ({"n": 1.5}, TypeError),
    ({"n": "10"}, TypeError),
    ({"n": None}, TypeError),
    ({"n": True}, TypeError),
    ({"seed": 1.0}, TypeError),
    ({"seed": "1"}, TypeError),
    ({"threads": 2.0}, TypeError),
    ({"threads": None}, TypeError),
    ({"position": "9/9/9/9/9/9/9/9/9 x -"}, TypeError),
    ({"position": None}, TypeError),
    ({"position": nonagame.Player(1)}, TypeError),
])
def test_bad_arguments(kwargs, error):
    arguments = {"position": Position(), "n": 10, "seed": 1, "threads": 1} | kwargs
    position, n = arguments.pop("position"), arguments.pop("n")
    with pytest.raises(error):
        playouts(position, n, **arguments)


def test_seed_and_threads_are_keyword_only():
    with pytest.raises(TypeError):
        playouts(Position(), 10, 1)  # type: ignore[misc]
    assert playouts(Position(), 10, seed=2**64 - 1, threads=256) == playouts(Position(), 10, seed=2**64 - 1)
    assert playouts(n=10, position=Position(), seed=np.uint64(5)) == playouts(Position(), np.int8(10), seed=5)


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_call(threads):
    code = textwrap.dedent(f"""
        import os, signal, threading, time
        signal.signal(signal.SIGINT, signal.default_int_handler)  # a runner may have started us with SIGINT ignored
        from nonagame_lab import Position, playouts
        sent = []
        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Timer(0.3, interrupt).start()
        try:
            playouts(Position(), 10**9, seed=1, threads={threads})
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - sent[0])
        else:
            print("finished")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    word, delay = out.stdout.split()
    assert word == "interrupted" and float(delay) < 1.0


@pytest.mark.threads
def test_other_python_threads_run_during_a_call():
    """The interpreter lock is released while the games are played: the main thread keeps
    running Python code meanwhile."""
    started = threading.Event()
    results = []

    def work():
        started.set()
        results.append(playouts(Position(), 200_000, seed=4, threads=1))

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    naps = 0
    while worker.is_alive():
        time.sleep(0.001)  # returns only once this thread has the interpreter lock again
        naps += 1
    worker.join()
    assert sum(results[0]) == 200_000 and naps > 10


def test_results_pickle():
    result = playouts(Position(), 100, seed=1)
    copy = pickle.loads(pickle.dumps(result))
    assert type(copy) is PlayoutResult and copy == result and copy.draws == result.draws
