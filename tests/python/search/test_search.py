"""The native search from Python: budgets, proven results, reproducibility, threads,
memory bounds, tree reuse by the player, interruption and strength."""

from __future__ import annotations

import copy
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import nonagame
from nonagame_lab import MCTSPlayer, Network, Position, SearchResult, Searcher, search
from nonagame_lab._core import MIN_POOL_NODES

def random_position(seed: int, plies: int) -> Position:
    rng = np.random.default_rng(seed)
    position = Position()
    for _ in range(plies):
        if position.is_over:
            break
        position = position.play(int(rng.choice(position.legal_moves)))
    return position


def win_in_one() -> Position:
    """A midgame position where the player to move wins the game with one of its moves."""
    for seed in range(1000):
        position = random_position(seed, 30)
        if position.is_over:
            continue
        for cell in position.legal_moves:
            if position.play(cell).winner == position.to_move:
                return position
    raise AssertionError("no position with a winning move found")


def test_result_shape_and_policy() -> None:
    root = Position().play(40)
    result = search(root, simulations=3000, seed=1)
    assert result.visits.shape == (81,) and result.policy.shape == (81,)
    legal = root.legal_moves
    assert result.best_move in legal
    assert result.visits.sum() == result.simulations == 3000
    outside = np.setdiff1d(np.arange(81), legal)
    assert (result.visits[outside] == 0).all() and (result.policy[outside] == 0).all()
    assert result.policy.sum() == pytest.approx(1.0)
    assert -1.0 <= result.value <= 1.0
    assert result.principal_variation[0] == result.best_move
    # The principal variation is a legal line from the root.
    position = root
    for cell in result.principal_variation:
        position = position.play(cell)


FIELDS = ("visits", "policy", "best_move", "value", "simulations", "principal_variation", "proven", "seconds",
          "move_values", "move_proofs", "priors")


def small_network(seed: int) -> Network:
    rng = np.random.default_rng(seed)
    shapes = {"hidden.0": (16, 243), "policy": (81, 16), "value": (1, 16)}
    arrays = {f"{name}.{kind}": rng.standard_normal(shape if kind == "weight" else shape[:1]).astype(np.float32)
              for name, shape in shapes.items() for kind in ("weight", "bias")}
    return Network.from_arrays({**arrays, "format": np.array("nonagame-mlp-1")})


@pytest.mark.parametrize("guided", [False, True])
def test_result_is_an_immutable_value(guided: bool) -> None:
    network = small_network(1) if guided else None
    result = search(random_position(2, 10), simulations=300, seed=5, network=network)
    assert type(result) is SearchResult and (result.priors is not None) == guided
    fields = {name: getattr(result, name) for name in FIELDS}
    rebuilt = SearchResult(**fields)
    for other in (rebuilt, pickle.loads(pickle.dumps(result)), copy.deepcopy(result)):
        assert other == result and hash(other) == hash(result)
    changed = SearchResult(**{**fields, "move_proofs": ["win"] + fields["move_proofs"][1:]})
    assert changed != result
    for array in (result.visits, result.policy, result.move_values):
        with pytest.raises(ValueError, match="read-only"):
            array[0] = 1
    assert repr(result).startswith(f"SearchResult(best_move={result.best_move}, ")
    with pytest.raises(ValueError, match="visits"):
        SearchResult(**{**fields, "visits": fields["visits"][:80]})
    with pytest.raises(ValueError, match="proven"):
        SearchResult(**{**fields, "proven": "won"})


def test_network_must_be_a_network() -> None:
    with pytest.raises(TypeError, match="nonagame_lab.Network"):
        search(Position(), simulations=10, network={"hidden.0.weight": np.zeros((4, 243), np.float32)})


def test_forced_win_is_played_and_proven() -> None:
    position = win_in_one()
    winning = {c for c in position.legal_moves if position.play(c).winner == position.to_move}
    result = search(position, simulations=5000, seed=3)
    assert result.best_move in winning
    assert result.proven == "win"
    assert result.value == pytest.approx(1.0)


@pytest.mark.parametrize("budget", [{}, {"simulations": 10, "seconds": 0.1}])
def test_exactly_one_budget(budget: dict[str, float]) -> None:
    with pytest.raises(ValueError, match="exactly one budget"):
        search(Position(), **budget)


def test_finished_position_is_refused() -> None:
    position = random_position(0, 81)
    assert position.is_over
    with pytest.raises(ValueError, match="already over"):
        search(position, simulations=10)


@pytest.mark.parametrize("kind", ["position", "game", "state"])
def test_accepts_every_kind_of_position(kind: str) -> None:
    position = random_position(5, 12)
    given = {"position": position, "game": position.to_game(), "state": position.to_game().make_state()}[kind]
    result = search(given, simulations=500, seed=9)
    reference = search(position, simulations=500, seed=9)
    assert result.best_move == reference.best_move
    assert (result.visits == reference.visits).all()


def test_seed_reproduces_at_one_thread() -> None:
    first = search(Position(), simulations=4000, seed=11)
    again = search(Position(), simulations=4000, seed=11)
    other = search(Position(), simulations=4000, seed=12)
    assert (first.visits == again.visits).all() and first.value == again.value
    assert (first.visits != other.visits).any()


@pytest.mark.threads
def test_guided_threads_grow_different_trees_reproducibly() -> None:
    # Without root noise nothing in a guided search is random; each thread sees the position
    # under its own symmetry, so two threads are not one tree at half the budget twice over.
    position = random_position(3, 6)
    one = search(position, simulations=300, seed=2, network="baseline")
    two = [search(position, simulations=600, seed=2, threads=2, network="baseline") for _ in range(2)]
    assert (two[0].visits == two[1].visits).all() and two[0].value == two[1].value
    assert (two[0].visits != 2 * one.visits).any()


def test_tiny_pool_keeps_searching() -> None:
    searcher = Searcher(pool_nodes=82, seed=4)
    searcher.set_position(Position())
    searcher.run(simulations=5000)
    assert searcher.nodes_used <= searcher.pool_capacity == 82
    assert searcher.check_tree() == ""
    result = search(Position(), simulations=5000, seed=4, pool_nodes=82)
    assert result.simulations == 5000 and result.best_move in Position().legal_moves


@pytest.mark.parametrize("threads", [1, pytest.param(2, marks=pytest.mark.threads)])
@pytest.mark.parametrize("guided", [False, True])
def test_one_off_search_sized_to_its_budget_matches_the_full_pool(guided: bool, threads: int) -> None:
    # search() gives its Searcher a pool no larger than the simulations can fill; the tree
    # must grow exactly as in the default pool, from the opening's 81 children on.
    net = small_network(2) if guided else None
    for plies, simulations in ((0, 1), (0, 300), (12, 777), (30, 2000)):
        position = random_position(plies, plies)
        if position.is_over:
            continue
        one_off = search(position, simulations=simulations, seed=5, threads=threads, network=net)
        searcher = Searcher(seed=5, threads=threads, network=net)
        searcher.set_position(position)
        full = searcher.run(simulations=simulations)
        assert (one_off.visits == full.visits).all() and one_off.value == full.value
        # the two pools differ, so the comparison means something
        assert searcher.pool_capacity > 10 * (MIN_POOL_NODES + (simulations // threads + 1) * 81) * threads


@pytest.mark.parametrize("seed", range(4))
def test_tree_stays_consistent(seed: int) -> None:
    searcher = Searcher(seed=seed)
    position = random_position(seed, 20 + seed)
    searcher.set_position(position)
    searcher.run(simulations=3000)
    assert searcher.check_tree() == ""


def test_player_reuses_its_subtree() -> None:
    player = MCTSPlayer(1, simulations=2000, seed=1)
    game = nonagame.Game(0)
    player.make_move(game)
    first = player.last_result
    assert first is not None and first.simulations == 2000
    # The opponent replies with the move the search expected most; the next search starts
    # from the subtree that the first one grew, so its root already has visits.
    reply = first.principal_variation[1]
    game.make_move(reply, 2)
    searcher = player._searcher
    searcher.set_position(Position.from_game(game))
    reused = int(searcher.result().visits.sum())
    assert reused > 0
    player.make_move(game)
    assert player.last_result is not None
    assert player.last_result.visits.sum() == reused + 2000


def test_player_in_matches() -> None:
    one, two = MCTSPlayer(1, simulations=300, seed=1), nonagame.Player(2)
    states = nonagame.play_multiple_games(one, two, 6)
    assert states and one.get_wins() + two.get_wins() <= 6
    assert one.get_wins() >= 5


def test_stop_from_another_thread() -> None:
    searcher = Searcher(seed=1)
    searcher.set_position(Position())
    timer = threading.Timer(0.2, searcher.stop)
    start = time.monotonic()
    timer.start()
    raw = searcher.run(infinite=True)
    assert time.monotonic() - start < 2.0
    assert raw.simulations > 0  # some simulations ran


@pytest.mark.threads
def test_second_thread_gets_runtime_error() -> None:
    searcher = Searcher(seed=1)
    searcher.set_position(Position())
    errors: list[BaseException] = []

    def intruder() -> None:
        time.sleep(0.1)
        try:
            searcher.set_position(Position().play(40))
        except RuntimeError as error:
            errors.append(error)
        searcher.stop()

    thread = threading.Thread(target=intruder)
    thread.start()
    searcher.run(infinite=True)
    thread.join()
    assert len(errors) == 1 and "borrow" in str(errors[0]).lower()


@pytest.mark.parametrize("threads, network", [(1, None), (2, None), (1, "baseline"), (2, "baseline")])
def test_ctrl_c_ends_a_long_search(threads: int, network: str | None) -> None:
    program = textwrap.dedent(
        f"""
        import os, signal, threading, time
        signal.signal(signal.SIGINT, signal.default_int_handler)  # a runner may have started us with SIGINT ignored
        from nonagame_lab import Network, Position, search
        net = Network.baseline() if {network!r} else None
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            search(Position(), seconds=60, threads={threads}, network=net)
        except KeyboardInterrupt:
            print("interrupted", round(time.monotonic() - start, 2))
        """
    )
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=30, env=os.environ)
    assert out.stdout.startswith("interrupted"), out.stderr
    assert float(out.stdout.split()[1]) < 1.5


def test_signal_handlers_run_during_a_search_that_goes_on() -> None:
    # A handler that does not raise runs while the search does (not only once it returns),
    # and the search then keeps its whole budget.
    program = textwrap.dedent(
        """
        import os, signal, threading, time
        ran = []
        signal.signal(signal.SIGUSR1, lambda *_: ran.append(time.monotonic()))
        from nonagame_lab import Position, search
        threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGUSR1)).start()
        start = time.monotonic()
        result = search(Position(), seconds=1.0)
        end = time.monotonic()
        print(len(ran), round(ran[0] - start, 2), round(end - ran[0], 2), round(result.seconds, 2))
        """
    )
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=30, env=os.environ)
    count, handled_at, before_end, seconds = out.stdout.split()
    assert int(count) == 1, out.stderr
    assert float(handled_at) < 0.9 and float(before_end) > 0.05
    assert float(seconds) >= 0.99


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"exploration": -1.0}, ValueError),
        ({"pool_nodes": 10}, ValueError),
        ({"threads": 0}, ValueError),
        ({"seed": -1}, ValueError),
        ({"seed": "x"}, TypeError),
    ],
)
def test_bad_settings(kwargs: dict[str, object], error: type[Exception]) -> None:
    with pytest.raises(error):
        Searcher(**kwargs)  # type: ignore[arg-type]


def test_run_before_position_and_bad_advance() -> None:
    searcher = Searcher(seed=1)
    with pytest.raises(ValueError, match="set_position"):
        searcher.run(simulations=10)
    searcher.set_position(Position().play(40))
    with pytest.raises(ValueError):
        searcher.advance(0)  # not in the forced roster
    with pytest.raises(ValueError):
        searcher.advance(81)


def _searcher_at_root() -> Searcher:
    searcher = Searcher(seed=1)
    searcher.set_position(Position())
    return searcher


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: search(Position(), seconds=True), TypeError, "seconds"),
        (lambda: search(Position(), simulations=True), TypeError, "simulations"),
        (lambda: search(Position(), simulations=0), ValueError, ">= 1"),
        (lambda: _searcher_at_root().run(simulations=0), ValueError, ">= 1"),
        (lambda: MCTSPlayer(1, simulations=0), ValueError, ">= 1"),
        (lambda: MCTSPlayer(1, seconds=True), TypeError, "seconds"),
        (lambda: MCTSPlayer(3), ValueError, "argument 'id': expected 1 or 2"),
        (lambda: _searcher_at_root().advance(-1), ValueError, "cell must be 0..80, got -1"),
        (lambda: _searcher_at_root().advance(True), TypeError, "argument 'cell'"),
    ],
)
def test_refusals_name_what_was_expected(call: object, error: type[Exception], text: str) -> None:
    with pytest.raises(error, match=text.replace(".", r"\.").replace("(", r"\(")):
        call()  # type: ignore[operator]


def test_player_has_its_own_docstrings() -> None:
    for name in ("make_move", "choose"):
        doc = getattr(MCTSPlayer, name).__doc__
        assert doc and "search" in doc.lower() and doc != getattr(nonagame.Player, "make_move").__doc__


@pytest.mark.threads
def test_player_shared_between_threads_refuses_the_second() -> None:
    """A second thread that comes in between the player's set_position and run is refused
    whole, instead of moving the root under the first thread's feet."""
    player = MCTSPlayer(1, simulations=200, seed=3)
    inner = player._searcher
    errors: list[BaseException] = []

    def intrude() -> None:
        try:
            player.choose(Position().play(40).play(36))
        except BaseException as error:  # noqa: BLE001 - the test inspects what came up
            errors.append(error)

    class Interleaved:
        def __getattr__(self, name: str) -> object:
            return getattr(inner, name)

        def run(self, **budget: object) -> object:
            thread = threading.Thread(target=intrude)
            thread.start()
            thread.join()
            return inner.run(**budget)

    player._searcher = Interleaved()  # type: ignore[assignment]
    game = nonagame.Game(0)
    player.make_move(game)
    assert len(errors) == 1 and isinstance(errors[0], RuntimeError), errors
    assert int((Position.from_game(game).board != 0).sum()) == 1
