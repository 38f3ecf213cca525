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
import lab  # noqa: E402
import run  # noqa: E402

pytestmark = pytest.mark.programs

ALWAYS_MEASURED = [
    "selfplay_games_per_s", "selfplay_turn_ns", "make_state_ns", "make_state_kept_ns", "python_move_ns", "make_move_ns",
    "dict_get_ns", "make_checkpoint_ns", "load_checkpoint_ns", "state_retained_bytes",
    "state_footprint_bytes",
    # nonagame_lab
    "position_play_ns", "position_hash_ns", "int_hash_ns", "position_eq_ns", "int_eq_ns", "from_game_ns",
    "symmetries_ns", "playouts_games_per_s", "playouts_t1_wall_per_s", "playouts_t2_wall_per_s",
    "playouts_t2_cores", "vector_step_per_s", "vector_random_per_s", "search_sims_per_s",
    "search_t1_wall_per_s", "search_t2_wall_per_s", "search_t2_cores", "playouts_t1_cpu_per_s",
    "playouts_t2_cpu_per_s", "search_t1_cpu_per_s", "search_t2_cpu_per_s",
    "network_b1_ns", "numpy_b1_ns", "network_b256_ns", "numpy_b256_ns",
    "guided_sims_per_s", "planes_b1_per_s", "search_batch_rows_per_s", "evaluator_rows_per_s",
    "guided_t1_wall_per_s", "guided_t2_wall_per_s",
]
# Ratios (and targets on figures) that need neither the peer, the C++ part nor the environments.
ALWAYS_RATIOS = {"turn_vs_make_state", "turn_vs_make_state_released", "memory_vs_footprint",
                 "make_move_vs_builtin", "play_vs_make_move", "hash_vs_int", "eq_vs_int", "from_game",
                 "symmetries", "playouts_threads", "vector_step", "vector_random", "search_threads",
                 "playouts_threads_cpu", "search_threads_cpu", "network_b1_vs_numpy", "network_b256_vs_numpy",
                 "guided_vs_evals", "search_batch_vs_evaluator", "guided_threads", "guided_threads_cpu"}
PEER_RATIOS = {"selfplay_vs_peer", "python_play_vs_peer", "checkpoint_vs_clone", "vector_step_vs_peer",
               "vector_random_vs_peer", "search_vs_peer", "guided_vs_peer"}
ENGINE_RATIOS = {"engine_vs_turn", "engine_games", "playouts_vs_engine"}
ENV_RATIOS = {"env_rate", "env_vs_sync"}


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
    envs = not lab.envs_missing()
    expected = set(ALWAYS_RATIOS)
    if peer:
        expected |= PEER_RATIOS
    if with_engine:
        expected |= ENGINE_RATIOS
        assert report["figures"]["engine_games_per_s"] > 0
    if envs:
        expected |= ENV_RATIOS
        assert report["figures"]["env_steps_per_s"] > 0 and report["figures"]["sync_env_steps_per_s"] > 0
    assert set(report["ratios"]) == expected
    assert ("peer skipped: open-spiel is not installed" in out) == (not peer)
    assert ("C++ engine benchmark skipped" in out) == (not with_engine)
    assert ("vector environment skipped: nonagame_lab.envs is not available" in out) == (not envs)
    met = sum(t.met(report["ratios"][t.key]) for t in run.TARGETS if t.key in expected)
    assert f"targets met: {met} of {len(run.TARGETS)}" in out


def test_skipped_parts_are_reported_with_their_reason(tmp_path):
    out, report = quick_run(tmp_path, "--no-peer", "--no-engine", "--no-envs")
    assert "peer skipped: --no-peer" in out
    assert "C++ engine benchmark skipped: --no-engine" in out
    assert "vector environment skipped: --no-envs" in out
    assert set(report["ratios"]) == ALWAYS_RATIOS
    skipped_rows = [line for line in out.splitlines() if line.rstrip().endswith("skipped")]
    # Every target against the peer, the engine's and the environments' has a row saying so.
    assert len(skipped_rows) == len(PEER_RATIOS | ENGINE_RATIOS | ENV_RATIOS)
    assert f"({len(skipped_rows)} skipped)" in out


def test_thread_pairs_reports_every_round_and_build():
    import os
    build = os.pathsep.join(sys.path)  # the nonagame_lab under test, for the script's child processes
    result = subprocess.run([sys.executable, str(ROOT / "bench" / "thread_pairs.py"), build, build, "--rounds", "2",
                             "--pairs", "2", "--simulations", "300"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert [line.startswith(f"round {r} {build}: t1 ") for line, r in zip(lines, (1, 1, 2, 2))] == [True] * 4
    # Each build's summary gathers its pairs of every round, and a ratio of wall rates is positive.
    summaries = lines[-2:]
    assert all(line.endswith("4 pairs)") and float(line.split(": ")[-1].split("x")[0]) > 0 for line in summaries)


@pytest.mark.parametrize("target, value, met", [
    (run.Target("r", "", 2, False), 2.0, True),  # a ratio at its upper bound is met
    (run.Target("r", "", 2, False), 2.01, False),
    (run.Target("t", "", 1000, False, "ns"), 999.9, True),  # "under 1 us" is strict
    (run.Target("t", "", 1000, False, "ns"), 1000.0, False),
    (run.Target("s", "", 1e6, True, "/s"), 1e6, True),
    (run.Target("s", "", 1e6, True, "/s"), 999_999.0, False),
])
def test_targets_on_ratios_times_and_rates(target, value, met):
    assert target.met(value) is met


@pytest.mark.parametrize("names, games_per_s, seeded", [
    # The seeded playout (the path of nonagame_lab.playouts) is preferred when the binary has it.
    (["BM_RandomPlayout", "BM_CheckpointRoundTrip", "BM_SeededPlayout", "BM_RandomMove"], 1e9 / 500, 1.0),
    (["BM_RandomPlayout", "BM_CheckpointRoundTrip"], 1e9 / 2000, 0.0),
])
def test_engine_games_per_second_come_from_the_playout_row_it_has(monkeypatch, names, games_per_s, seeded):
    times = {"BM_RandomPlayout": 2.0, "BM_CheckpointRoundTrip": 0.02, "BM_SeededPlayout": 0.5,
             "BM_RandomMove": 0.01}
    rows = [{"name": name, "cpu_time": times[name], "real_time": 2 * times[name], "time_unit": "us",
             "moves_per_game": 50.0} for name in names]
    rows.append({"name": "BM_SeededPlayoutOn/pdep", "error_occurred": True})  # skipped: left out

    def fake_run(*args, **kwargs):
        return subprocess.CompletedProcess(args, 0, stdout=json.dumps({"benchmarks": rows}), stderr="")

    monkeypatch.setattr(engine.subprocess, "run", fake_run)
    figures = engine.run(Path("engine_bench"), 0.01)
    assert figures["engine_games_per_s"] == pytest.approx(games_per_s)
    assert figures["engine_games_seeded"] == seeded
    assert figures["engine_move_ns"] == pytest.approx(2000 / 50)
    assert ("engine_random_move_ns" in figures) == ("BM_RandomMove" in names)


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
