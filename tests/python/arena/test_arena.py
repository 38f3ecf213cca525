"""The arena: its statistics against their closed forms, matches that must come out a known way,
and the ways players are named."""

from __future__ import annotations

import math
import sys

import numpy as np
import pytest

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
from nonagame_lab.envs._opponents import make_opponent

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


def test_a_seed_replays_the_match_for_any_process_count() -> None:
    one = match("uct:20", "random", games=16, seed=5, progress=False)
    two = match("uct:20", "random", games=16, seed=5, processes=2, progress=False)
    assert (one.pentanomial, one.as_first) == (two.pentanomial, two.as_first)


def test_sprt_stops_on_a_clearly_stronger_player() -> None:
    result = match("uct:100", "level:0", games=200, seed=2, sprt=(0, 100, 0.05, 0.05), progress=False)
    assert result.verdict == "H1" and result.llr is not None and result.llr >= result.sprt.bounds[1]  # type: ignore[union-attr]
    assert 2 * result.sprt.min_pairs <= result.games < 200  # type: ignore[union-attr]


@pytest.mark.parametrize("lower", [0, 1, 2])
def test_each_level_beats_the_one_below(lower: int) -> None:
    result = match(f"level:{lower + 1}", f"level:{lower}", games=40, seed=3, progress=False)
    assert result.score > 0.5, result.table()


def test_builtin_openings_are_distinct_playable_positions() -> None:
    openings = load_openings()
    assert len(openings) >= 50 and not any(p.is_over for p in openings)
    classes = {min(s.notation for s in p.symmetries()) for p in openings}
    assert len(classes) == len(openings)


@pytest.mark.parametrize(
    "spec, error, text",
    [
        ("uct:0", ValueError, "positive int"),
        ("uct:fast", ValueError, "positive"),
        ("level:10", ValueError, "level"),
        ("net:baseline:1000", ValueError, "no network support"),
        ("mcts", ValueError, "expected 'random'"),
        (42, TypeError, "expected 'random'"),
    ],
)
def test_bad_players_are_refused_before_any_game(spec: object, error: type, text: str) -> None:
    if spec == "net:baseline:1000" and hasattr(nonagame_lab, "Network"):
        pytest.skip("this installation has network support")
    with pytest.raises(error, match=text):
        match(spec, "random", openings=OPENING, progress=False)  # type: ignore[arg-type]


def test_external_engine_over_ugi_and_the_command_line(capsys: pytest.CaptureFixture[str]) -> None:
    engine = UGIEngine([sys.executable, "-m", "nonagame_lab.ugi"], go="nodes 300")
    result = match(engine, "random", games=4, seed=1, progress=False)
    assert result.games == 4 and result.score > 0.5
    assert engine._process is None  # the match quit the engine
    assert main(["uct:30", "random", "--games", "4", "--seed", "1", "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "uct:30 against random: 4 games (2 pairs)" in out and "pentanomial" in out


def test_levels_choose_legal_moves_in_environments_too() -> None:
    position = Position.from_moves([40, 36])
    opponent = make_opponent("level:2", simulations=1)
    assert opponent.reply(position, np.random.default_rng(0)) in position.legal_moves
    assert baseline_move(0, position, seed=1) in position.legal_moves
    with pytest.raises(ValueError, match="level"):
        make_opponent("level:-1", simulations=1)
