"""The UGI engine driven as a child process through pipes, as a tournament manager does."""

from __future__ import annotations

import io
import os
import queue
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pytest

from nonagame_lab import Position, Searcher, cell_index, ugi



class EngineProcess:
    def __init__(self, command: list[str]) -> None:
        self.process = subprocess.Popen(
            command,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            bufsize=1,
            env=os.environ,
        )
        self.lines: queue.Queue[str] = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def send(self, line: str) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def expect(self, prefix: str, timeout: float = 20.0) -> tuple[str, list[str]]:
        """Reads lines until one starts with prefix; returns it and the lines before it."""
        before: list[str] = []
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no line starting {prefix!r}; got {before}")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line.startswith(prefix):
                return line, before
            before.append(line)

    def close(self) -> int:
        if self.process.poll() is None:
            self.send("quit")
        return self.process.wait(timeout=20)


@pytest.fixture
def engine() -> EngineProcess:
    process = EngineProcess([sys.executable, "-m", "nonagame_lab.ugi"])
    yield process
    process.process.kill() if process.process.poll() is None else None


def test_handshake(engine: EngineProcess) -> None:
    engine.send("ugi")
    _, before = engine.expect("ugiok")
    assert any(line.startswith("id name ") for line in before)
    assert any(line.startswith("id author ") for line in before)
    options = [line for line in before if line.startswith("option name ")]
    assert any("threads" in line for line in options) and any("pool_nodes" in line for line in options)
    engine.send("isready")
    engine.expect("readyok")
    assert engine.close() == 0


def test_full_game_against_itself(engine: EngineProcess) -> None:
    engine.send("uginewgame")
    moves: list[str] = []
    position = Position()
    while True:
        engine.send("query gameover")
        answer, _ = engine.expect("response")
        if answer == "response true":
            break
        engine.send("query p1turn")
        turn, _ = engine.expect("response")
        assert turn == f"response {'true' if position.to_move == 1 else 'false'}"
        engine.send("go nodes 300")
        line, infos = engine.expect("bestmove")
        assert any(info.startswith("info ") and " pv " in info for info in infos)
        move = line.split()[1]
        position = position.play(cell_index(move))  # raises if the engine played illegally
        moves.append(move)
        engine.send("position startpos moves " + " ".join(moves))
    engine.send("query result")
    result, _ = engine.expect("response")
    assert result == "response " + ["draw", "p1win", "p2win"][position.winner]
    assert engine.close() == 0


def test_position_fen_with_moves(engine: EngineProcess) -> None:
    start = Position().play(40).play(36)
    engine.send(f"position fen {start.notation} moves a9")
    engine.send("query p1turn")
    assert engine.expect("response")[0] == "response false"


@pytest.mark.parametrize("movetime", [200, 600])
def test_movetime_is_obeyed(engine: EngineProcess, movetime: int) -> None:
    engine.send("position startpos")
    engine.send("isready")
    engine.expect("readyok")
    start = time.monotonic()
    engine.send(f"go movetime {movetime}")
    engine.expect("bestmove")
    elapsed = (time.monotonic() - start) * 1000
    assert movetime * 0.8 <= elapsed <= movetime + 800


def test_clock_share_is_a_fraction_of_the_remaining_time(engine: EngineProcess) -> None:
    engine.send("position startpos")
    start = time.monotonic()
    engine.send("go p1time 9000 p2time 9000 p1inc 0 p2inc 0")
    engine.expect("bestmove")
    elapsed = (time.monotonic() - start) * 1000
    # A 30th of the clock is 300 ms; the margin allows for a loaded machine, far below half.
    assert 150 <= elapsed <= 9000 / 30 + 1200


def test_stop_ends_infinite_search(engine: EngineProcess) -> None:
    engine.send("position startpos")
    engine.send("go infinite")
    time.sleep(0.5)
    engine.send("isready")  # answered during the search
    engine.expect("readyok", timeout=2)
    start = time.monotonic()
    engine.send("stop")
    line, _ = engine.expect("bestmove", timeout=5)
    assert time.monotonic() - start < 1.0
    assert cell_index(line.split()[1]) in Position().legal_moves


@pytest.mark.parametrize(
    "garbage",
    [
        "flibble",
        "position",
        "position fen not/a/position x -",
        "position fen 9/9/9/9/4x4/9/9/9/9 o -",  # a free choice no game can reach
        "position startpos moves e5 a1",
        "position startpos moves zz9",
        "go nodes -5",
        "go movetime",
        "go sideways 10",
        "setoption name threads value many",
        "setoption name nonsense value 1",
        "query",
        "\x00\x01\xff",
        "position fen " + "x" * 5000,
        pytest.param("x" * 1_000_000, id="a-megabyte-line"),
        "go nodes \u0663",  # an Arabic-Indic three
        pytest.param("go p1time 1" + "0" * 400, id="go-p1time-1e400"),
        "setoption name threads value \u0663",
    ],
)
def test_garbage_is_answered_and_survived(engine: EngineProcess, garbage: str) -> None:
    engine.send("position startpos moves e5")
    engine.send(garbage)
    line, _ = engine.expect("info string")
    assert len(line) > len("info string ") and len(line) < 400 and "error:" not in line
    # The engine is alive and kept its previous position (o to move after e5).
    engine.send("query p1turn")
    assert engine.expect("response")[0] == "response false"
    assert engine.close() == 0


def test_commands_are_answered_during_a_search(engine: EngineProcess) -> None:
    engine.send("position startpos")
    engine.send("go movetime 5000")
    time.sleep(0.3)
    start = time.monotonic()
    engine.send("position startpos moves e5")  # stops the search, which answers first
    engine.send("isready")
    _, before = engine.expect("readyok", timeout=4)
    assert time.monotonic() - start < 2.5 and any(line.startswith("bestmove ") for line in before)
    engine.send("query p1turn")
    assert engine.expect("response")[0] == "response false"


def test_invalid_utf8_and_closed_output_are_survived() -> None:
    command = [sys.executable, "-m", "nonagame_lab.ugi"]
    env = {**os.environ, "PYTHONIOENCODING": "utf-8"}
    lines = b"isready\nposition startpos moves e5\n\xff\nisready\nquery p1turn\nquit\n"
    out = subprocess.run(command, input=lines, capture_output=True, env=env, timeout=60)
    answers = out.stdout.decode().splitlines()
    assert out.returncode == 0 and answers[0] == answers[2] == "readyok", out.stderr
    assert answers[1].startswith("info string ") and answers[3] == "response false"
    # Nobody reads the answers: the engine ends quietly at its first one.
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout is not None
    process.stdout.close()
    process.stdout = None
    _, errors = process.communicate(b"go nodes 500\n" + b"isready\n" * 100, timeout=60)
    assert process.returncode == 0 and errors == b""


def test_end_of_input_ends_cleanly() -> None:
    out = subprocess.run(
        [sys.executable, "-m", "nonagame_lab.ugi"], input="ugi\nisready\n", capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0
    assert out.stdout.splitlines()[-1] == "readyok"


def test_console_command_is_installed() -> None:
    command = Path(sys.executable).with_name("nonagame-ugi")
    if not command.exists():
        pytest.skip("nonagame-ugi is installed with the package's scripts (not in a development tree)")
    out = subprocess.run([str(command)], input="isready\nquit\n", capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "readyok" and out.returncode == 0


def test_serve_runs_a_player_class() -> None:
    program = (
        "import nonagame\n"
        "from nonagame_lab.ugi import serve\n"
        "class First(nonagame.Player):\n"
        "    def make_move(self, game):\n"
        "        state = game.make_state()\n"
        "        game.make_move(int(state.possible_moves[0]), state.player_id)\n"
        "serve(First)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", program],
        input="position startpos moves e5\ngo movetime 10\nquit\n",
        capture_output=True,
        text=True,
        timeout=60,
    )
    # After e5 (cell 40) o must play in roster 4; its first cell is 36, named d6.
    assert out.stdout.strip().splitlines()[-1] == "bestmove d6", out.stdout + out.stderr


def test_failures_are_refused_or_reported(monkeypatch: pytest.MonkeyPatch) -> None:
    def searcher(**settings: int) -> Searcher:
        if settings["pool_nodes"] > 10**9:
            raise MemoryError()  # as a pool that cannot be had fails, without a message
        return Searcher(**settings)

    def run(*commands: str) -> list[str]:
        answers = io.StringIO()
        ugi.Engine(ugi.SearchThinker(), answers).run(commands)
        return answers.getvalue().splitlines()

    monkeypatch.setattr(ugi, "Searcher", searcher)
    answers = run("setoption name pool_nodes value 4294967295", "go nodes 200")
    assert answers[0].startswith("info string setoption: pool_nodes 4294967295 refused") and "MemoryError" in answers[0]
    assert not any("failed" in line for line in answers) and answers[-1].startswith("bestmove ")

    def broken(*args: object) -> int:
        raise RuntimeError()

    monkeypatch.setattr(ugi.SearchThinker, "think", broken)
    *_, said, best = run("position startpos moves e5", "go nodes 200")
    assert said.startswith("info string search failed (RuntimeError)") and "fallback search" in said
    assert best.startswith("bestmove ") and cell_index(best.split()[1]) in Position().play(40).legal_moves


def test_the_engine_searches_with_the_baseline_unless_set_otherwise(tmp_path: Path) -> None:
    from nonagame_lab import Network, cell_name, search

    def run(*commands: str) -> list[str]:
        answers = io.StringIO()

        def lines() -> Iterator[str]:
            yield from commands
            deadline = time.monotonic() + 30  # the end of input would stop the search
            while "bestmove" not in answers.getvalue() and time.monotonic() < deadline:
                time.sleep(0.01)

        ugi.Engine(ugi.SearchThinker(), answers).run(lines())
        return answers.getvalue().splitlines()

    assert "option name network type string default baseline" in run("ugi", "go nodes 1")
    position = Position().play(40)
    rng = np.random.default_rng(5)
    other = {"format": np.array("nonagame-mlp-1")}
    for name, n_in, n_out in (("hidden.0", 243, 32), ("policy", 32, 81), ("value", 32, 1)):
        other[f"{name}.weight"] = (rng.standard_normal((n_out, n_in)) / np.sqrt(n_in)).astype(np.float32)
        other[f"{name}.bias"] = np.zeros(n_out, np.float32)
    Network.from_arrays(other).save(tmp_path / "other.npz")
    # A guided search without noise is deterministic: the engine's move is the search's.
    for setting, network in (([], "baseline"), ([f"setoption name network value {tmp_path / 'other.npz'}"], str(tmp_path / "other.npz"))):
        best = run(*setting, "position startpos moves e5", "go nodes 300")[-1]
        assert best == f"bestmove {cell_name(search(position, simulations=300, network=network).best_move)}"
    refused = run("setoption name network value /no/such/network.npz", "go nodes 100")
    assert refused[0].startswith("info string setoption: network /no/such/network.npz refused")
    assert refused[-1].startswith("bestmove ")
