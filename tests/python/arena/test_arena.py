"""The arena: its statistics against their closed forms, matches that must come out a known way,
and the ways players are named."""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import nonagame
import nonagame_lab
from nonagame_lab import Position, baseline_move
from nonagame_lab.arena import (
    Sprt,
    UGIEngine,
    elo_interval,
    likelihood_of_superiority,
    load_openings,
    log_likelihood_ratio,
    match,
)
from nonagame_lab.arena.__main__ import main

OPENING = ["9/9/9/9/9/9/9/9/9 x -"]


@pytest.mark.parametrize(
    "pentanomial, elo, low, high",
    [
        ((0, 0, 7, 0, 0), 0.0, 0.0, 0.0),  # every pair split: no spread
        ((2, 10, 40, 30, 18), 92.45553015463472, 58.039477710792845, 128.74742857366442),
        ((18, 30, 40, 10, 2), -92.45553015463472, -128.74742857366442, -58.039477710792845),
        ((0, 0, 0, 0, 3), math.inf, math.inf, math.inf),
    ],
)
def test_elo_and_interval_match_the_closed_form(pentanomial: tuple[int, ...], elo: float, low: float, high: float) -> None:
    assert elo_interval(pentanomial) == pytest.approx((elo, low, high), rel=1e-12, abs=1e-12)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.integers(0, 4), min_size=2, max_size=60))
def test_statistics_agree_with_the_pair_scores_they_count(scores: list[int]) -> None:
    """From a list of pair scores (in half points): the mean and spread computed directly give
    the same Elo, interval, LOS and likelihood ratio, and swapping the players mirrors them."""
    pentanomial = tuple(scores.count(k) for k in range(5))
    per_game = np.array(scores) / 4
    mean, error = per_game.mean(), 1.959963984540054 * per_game.std() / math.sqrt(len(scores))
    logistic = lambda s: -400 * math.log10(1 / s - 1) if 0 < s < 1 else math.copysign(math.inf, s - 0.5)  # noqa: E731
    elo, low, high = elo_interval(pentanomial)
    assert (elo, low, high) == pytest.approx((logistic(mean), logistic(mean - error), logistic(mean + error)), abs=1e-6)
    assert low <= elo <= high
    mirrored = elo_interval(pentanomial[::-1])
    assert mirrored == pytest.approx((-elo, -high, -low), abs=1e-6)
    if per_game.std() > 0:
        los = 0.5 * (1 + math.erf((mean - 0.5) / (math.sqrt(2) * per_game.std() / math.sqrt(len(scores)))))
        assert likelihood_of_superiority(pentanomial) == pytest.approx(los, abs=1e-9)
    llr = log_likelihood_ratio(pentanomial, -10, 10)
    assert llr == pytest.approx(-log_likelihood_ratio(pentanomial[::-1], -10, 10), abs=1e-6)
    assert (llr > 0) == (mean > 0.5) or mean == 0.5


def test_symmetric_sample_is_even_and_los_follows_the_normal_curve() -> None:
    elo, low, high = elo_interval((1, 4, 6, 4, 1))
    assert elo == pytest.approx(0.0, abs=1e-12) and low == pytest.approx(-high)
    assert likelihood_of_superiority((1, 4, 6, 4, 1)) == pytest.approx(0.5)
    assert likelihood_of_superiority((5, 20, 50, 15, 12)) == pytest.approx(0.8133300868318225, rel=1e-12)
    assert likelihood_of_superiority((12, 15, 50, 20, 5)) == pytest.approx(1 - 0.8133300868318225, rel=1e-12)


def test_log_likelihood_ratio_and_verdicts() -> None:
    assert log_likelihood_ratio((2, 10, 40, 30, 18), 0, 10) == pytest.approx(3.041029961216266, rel=1e-12)
    assert log_likelihood_ratio((0, 0, 0, 0, 0), 0, 10) == 0.0
    test = Sprt.of((0, 10, 0.05, 0.05))
    assert test.bounds == pytest.approx((-math.log(19), math.log(19)))
    assert [test.verdict(x) for x in (3.0, -3.0, 0.0)] == ["H1", "H0", None]
    assert test.verdict(30.0, pairs=test.min_pairs - 1) is None
    with pytest.raises(ValueError, match="elo0 < elo1"):
        Sprt.of((10, 0, 0.05, 0.05))


def test_random_against_random_stays_within_its_interval() -> None:
    result = match("random", "random", openings=OPENING, games=400, seed=11, progress=False)
    low, high = result.elo_interval
    assert low < 0 < high
    assert result.games == 400 and result.pairs == 200 and sum(result.pentanomial) == 200
    assert result.wins + result.draws + result.losses == 400
    half_points = sum(k * n for k, n in enumerate(result.pentanomial))
    assert half_points == 2 * result.wins + result.draws
    assert result.as_first[0] + result.as_first[1] + result.as_first[2] == 200


class Idle(nonagame.Player):
    def make_move(self, game: nonagame.Game) -> None:
        pass


# An engine that answers the handshake and then always names the corner a9.
STUBBORN = (
    "import sys\n"
    "for line in sys.stdin:\n"
    "    word = line.split()[0] if line.split() else ''\n"
    "    reply = {'ugi': 'ugiok', 'isready': 'readyok', 'go': 'bestmove a9'}.get(word)\n"
    "    if reply: print(reply, flush=True)\n"
    "    if word == 'quit': break\n"
)


@pytest.mark.parametrize(
    "player, text",
    [(Idle, "did not make exactly one move"), (UGIEngine([sys.executable, "-c", STUBBORN]), "illegal")],
    ids=["idle", "illegal-ugi"],
)
def test_a_player_that_breaks_the_rules_stops_the_match(player: object, text: str) -> None:
    opening = Position.from_moves([40])  # a9 is not legal: the move must go to the centre roster
    with pytest.raises(RuntimeError, match=text):
        match(player, "random", openings=[opening], games=2, seed=1, progress=False)  # type: ignore[arg-type]


def test_a_seed_replays_the_match_for_any_process_count() -> None:
    one = match("uct:20", "random", games=16, seed=5, progress=False)
    two = match("uct:20", "random", games=16, seed=5, processes=2, progress=False)
    assert (one.pentanomial, one.as_first) == (two.pentanomial, two.as_first)


def test_sprt_stops_on_a_clearly_stronger_player() -> None:
    result = match("uct:100", "level:0", games=200, seed=2, sprt=(0, 100, 0.05, 0.05), progress=False)
    assert result.verdict == "H1" and result.llr is not None and result.llr >= result.sprt.bounds[1]  # type: ignore[union-attr]
    assert 2 * result.sprt.min_pairs <= result.games < 200  # type: ignore[union-attr]


@pytest.mark.parametrize("lower", [0, 1, 2, 3])
def test_each_level_beats_the_one_below(lower: int) -> None:
    result = match(f"level:{lower + 1}", f"level:{lower}", games=40, seed=3, progress=False)
    assert result.score > 0.5, result.table()


def test_openings_builtin_and_from_a_file(tmp_path: Path) -> None:
    openings = load_openings()
    assert len(openings) >= 50 and not any(p.is_over for p in openings)
    classes = {min(s.notation for s in p.symmetries()) for p in openings}
    assert len(classes) == len(openings)
    path = tmp_path / "mine.txt"
    path.write_text(f"# two of them\n{openings[0].notation}\n\n{openings[1].notation}  # the second\n")
    assert load_openings(path) == openings[:2] == load_openings([openings[0].notation, openings[1]])
    path.write_text(f"{openings[0].notation}\n9/9/9 x -\n")
    with pytest.raises(ValueError, match="line 2"):
        load_openings(path)


@pytest.mark.parametrize(
    "spec, error, text",
    [
        ("uct:0", ValueError, "positive int"),
        ("uct:fast", ValueError, "positive"),
        ("level:10", ValueError, "level"),
        ("net:baseline:1000", ValueError, "no network support"),
        ("net:no-such-file.npz:100", ValueError, "no-such-file.npz"),
        ("policy:none", ValueError, "expected a network"),
        ("mcts", ValueError, "expected 'random'"),
        (42, TypeError, "expected 'random'"),
    ],
)
def test_bad_players_are_refused_before_any_game(spec: object, error: type, text: str) -> None:
    if spec == "net:baseline:1000" and hasattr(nonagame_lab, "Network"):
        pytest.skip("this installation has network support")
    if spec in ("net:no-such-file.npz:100", "policy:none") and not hasattr(nonagame_lab, "Network"):
        pytest.skip("this installation has no network support")
    with pytest.raises(error, match=text):
        match(spec, "random", openings=OPENING, progress=False)  # type: ignore[arg-type]


def test_external_engine_over_ugi_and_the_command_line(capsys: pytest.CaptureFixture[str]) -> None:
    engine = UGIEngine([sys.executable, "-m", "nonagame_lab.ugi"], go="nodes 300")
    result = match(engine, "random", games=4, seed=1, progress=False)
    assert result.games == 4 and result.score > 0.5
    assert engine._process is None  # the match quit the engine
    assert match(engine, "random", games=2, seed=2, progress=False).games == 2  # and it starts again
    assert main(["uct:30", "random", "--games", "4", "--seed", "1", "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "uct:30 against random: 4 games (2 pairs)" in out and "pentanomial" in out


def test_levels_choose_legal_moves_in_environments_too() -> None:
    position = Position.from_moves([40, 36])
    assert baseline_move(0, position, seed=1) in position.legal_moves
    assert baseline_move(4, position, seed=1) in position.legal_moves
    gymnasium = pytest.importorskip("gymnasium")
    pytest.importorskip("nonagame_lab.envs")
    env = gymnasium.make("nonagame_lab/NineBoard-v0", opponent="level:2", agent_plays="second")
    _, info = env.reset(seed=0)
    assert info["opponent_move"] in range(81)  # the level opened for the agent
    with pytest.raises(ValueError, match="level"):
        gymnasium.make("nonagame_lab/NineBoard-v0", opponent="level:-1")
