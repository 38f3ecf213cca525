"""The UGI engine driven as a child process through pipes, as a tournament manager does."""

from __future__ import annotations

import os
import queue
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from nonagame_lab import Position, cell_index



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
    ],
)
def test_garbage_is_answered_and_survived(engine: EngineProcess, garbage: str) -> None:
    engine.send("position startpos moves e5")
    engine.send(garbage)
    line, _ = engine.expect("info string")
    assert len(line) > len("info string ")
    # The engine is alive and kept its previous position (o to move after e5).
    engine.send("query p1turn")
    assert engine.expect("response")[0] == "response false"
    assert engine.close() == 0


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
