"""The C++ part of the suite: builds bench/engine_bench.cpp (Google Benchmark) with CMake
and runs it, reporting nanoseconds per move of a random playout and random games per second
from the opening."""
from __future__ import annotations

import json
import os
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HEADER = "benchmark/benchmark.h"
INCLUDE_DIRS = ("/usr/include", "/usr/local/include")


def have_library() -> bool:
    return any(Path(d, HEADER).is_file() for d in INCLUDE_DIRS)


def ensure_library(install: bool) -> str:
    """Installs Google Benchmark with apt-get when missing and allowed (root); returns why
    the C++ part cannot run, or "" when it can."""
    if have_library():
        return ""
    if not install:
        return "Google Benchmark is not installed (libbenchmark-dev)"
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        return "Google Benchmark is missing; install it first: sudo apt-get install libbenchmark-dev"
    print("== installing Google Benchmark (libbenchmark-dev)", flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-qq", "libbenchmark-dev"], check=True, env=env,
                   stdout=subprocess.DEVNULL)
    return "" if have_library() else "Google Benchmark could not be installed"


def _tool_env() -> dict[str, str]:
    """The environment for build tools and the benchmark: without a preloaded library (the
    sanitized test run preloads its runtime for the Python module, not for make or cmake)."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def build(build_dir: Path) -> Path:
    """Configures (once) and builds the engine_bench target; returns the executable."""
    if shutil.which("cmake") is None:
        raise RuntimeError("cmake is not on PATH")
    if not (build_dir / "CMakeCache.txt").is_file():
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                        "-DNONAGAME_BUILD_BENCH=ON", "-DNONAGAME_BUILD_MODULE=OFF"],
                       check=True, stdout=subprocess.DEVNULL, env=_tool_env())
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "engine_bench", "-j",
                    str(os.cpu_count() or 1)], check=True, stdout=subprocess.DEVNULL, env=_tool_env())
    return build_dir / "bench" / "engine_bench"


_UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


# Optional rows of the engine benchmark, reported when the binary has them.
OPTIONAL_ROWS = {
    "BM_RandomMove": "engine_random_move_ns",
    "BM_CopyAndPlay": "engine_copy_play_ns",
    "BM_SaveRestoreRecord": "engine_save_restore_ns",
}


def run(executable: Path, min_time: float, wall: bool = False) -> dict[str, float]:
    """One run of every engine benchmark, in CPU time like the Python side (or wall-clock
    time): ns per playout move and per checkpoint round trip, random games per second from
    the opening, and the optional rows that the binary has.

    The games per second come from BM_SeededPlayout (play_random_to_end, the path of
    nonagame_lab.playouts) when the binary has it, else from BM_RandomPlayout (the default
    player's move, the path of the match runner); engine_games_seeded says which (1 or 0)."""
    result = subprocess.run([str(executable), "--benchmark_format=json",
                             f"--benchmark_min_time={min_time}"],
                            check=True, capture_output=True, text=True, env=_tool_env())
    report = json.loads(result.stdout)
    rows = {row["name"]: row for row in report["benchmarks"] if not row.get("error_occurred")}
    playout, roundtrip = rows["BM_RandomPlayout"], rows["BM_CheckpointRoundTrip"]

    def ns(row):
        return row["real_time" if wall else "cpu_time"] * _UNIT_NS[row["time_unit"]]

    seeded = rows.get("BM_SeededPlayout")
    figures = {
        "engine_move_ns": ns(playout) / playout["moves_per_game"],
        "engine_checkpoint_ns": ns(roundtrip),
        "engine_games_per_s": 1e9 / ns(seeded or playout),
        "engine_games_seeded": 1.0 if seeded else 0.0,
    }
    for name, key in OPTIONAL_ROWS.items():
        if name in rows:
            figures[key] = ns(rows[name])
    return figures
