"""Smoke runs of the benchmark suite (bench/run.py --quick) with tiny sizes, so that the suite
cannot rot. The figures of a quick run mean nothing; only that every part runs and reports."""
import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))

import engine  # noqa: E402
import run  # noqa: E402

ALWAYS_MEASURED = [
    "selfplay_games_per_s", "selfplay_turn_ns", "make_state_ns", "make_state_kept_ns", "python_move_ns", "make_move_ns",
    "dict_get_ns", "make_checkpoint_ns", "load_checkpoint_ns", "state_retained_bytes",
    "state_footprint_bytes",
]


def quick_run(tmp_path, *options):
    report = tmp_path / "report.json"
    result = subprocess.run([sys.executable, str(ROOT / "bench" / "run.py"), "--quick", "--json",
                             str(report), *options], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout, json.loads(report.read_text())


def test_quick_run_measures_every_part_it_can(tmp_path):
    out, report = quick_run(tmp_path)
    figures = report["figures"]
    for key in ALWAYS_MEASURED:
        assert math.isfinite(figures[key]) and figures[key] > 0, key
    # Games of nine-board tic-tac-toe last 17 to 81 turns.
    assert 17 <= figures["selfplay_turns_per_game"] <= 81
    # The peer and the C++ part run where they are installed; otherwise the run says why.
    try:
        import pyspiel  # noqa: F401
        peer = True
    except ImportError:
        peer = False
    with_engine = engine.have_library()
    expected = {"turn_vs_make_state", "turn_vs_make_state_released", "memory_vs_footprint",
                "make_move_vs_builtin"}
    if peer:
        expected |= {"selfplay_vs_peer", "python_play_vs_peer", "checkpoint_vs_clone"}
    if with_engine:
        expected.add("engine_vs_turn")
    assert set(report["ratios"]) == expected
    assert ("peer skipped: open-spiel is not installed" in out) == (not peer)
    assert ("C++ engine benchmark skipped" in out) == (not with_engine)
    assert f"targets met: {sum(t.met(report['ratios'][t.key]) for t in run.TARGETS if t.key in expected)} of 7" in out


def test_skipped_parts_are_reported_with_their_reason(tmp_path):
    out, report = quick_run(tmp_path, "--no-peer", "--no-engine")
    assert "peer skipped: --no-peer" in out
    assert "C++ engine benchmark skipped: --no-engine" in out
    assert set(report["ratios"]) == {"turn_vs_make_state", "turn_vs_make_state_released",
                                     "memory_vs_footprint", "make_move_vs_builtin"}
    skipped_rows = [line for line in out.splitlines() if line.rstrip().endswith("skipped")]
    assert len(skipped_rows) == 4  # the three targets against the peer, and the engine's


@pytest.mark.parametrize("rounds, expected", [
    # One noisy round moves the median of the per-round ratios, not the verdict.
    ([{"a": 10.0, "b": 1.0}, {"a": 12.0, "b": 1.0}, {"a": 100.0, "b": 50.0}], 10.0),
    ([{"a": 3.0, "b": 2.0}], 1.5),
])
def test_ratios_are_medians_of_per_round_ratios(monkeypatch, rounds, expected):
    monkeypatch.setattr(run, "RATIOS", {"a_over_b": lambda m: m["a"] / m["b"],
                                        "needs_c": lambda m: m["c"]})
    figures, ratios = run.summarise(rounds)
    assert ratios == {"a_over_b": expected}  # a ratio whose figures were skipped is left out
    assert figures["a"] == sorted(r["a"] for r in rounds)[len(rounds) // 2]
