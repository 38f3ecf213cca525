"""The rgb_array frames: the board read back from the pixels must be the position's, in every
environment that draws them, and the recording wrappers must take them."""
import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium", reason="the rl extra (gymnasium, pettingzoo) is not installed")

from conftest import grid_square, random_game_moves  # noqa: E402
from nonagame_lab import Position  # noqa: E402
from nonagame_lab._svg import COLORS  # noqa: E402
from nonagame_lab.envs import ENV_ID, NineBoardEnv, NineBoardVectorEnv, nineboard_v0, render_frame  # noqa: E402

CELL, GAP, MARGIN = 40, 6, 12


def rgb(name):
    return np.array([int(COLORS[name][i:i + 2], 16) for i in (1, 3, 5)])


def pixel(frame, cell, dx=0, dy=0):
    """The pixel at the centre of a cell (from the algebraic name, not the drawing code), moved
    by (dx, dy)."""
    row, col = grid_square(cell)
    y = MARGIN + row * CELL + (row // 3) * GAP + CELL // 2 + dy
    x = MARGIN + col * CELL + (col // 3) * GAP + CELL // 2 + dx
    return frame[y, x].astype(int)


def close(a, b, tolerance=12):
    return np.abs(a - b).max() <= tolerance


def read_board(frame):
    """The marks a person sees: X where the centre is red, O where the ring (11 px right of the
    centre) is teal."""
    board = np.zeros(81, dtype=np.int8)
    for cell in range(81):
        if close(pixel(frame, cell), rgb("x")):
            board[cell] = 1
        elif close(pixel(frame, cell, dx=11), rgb("o")):
            board[cell] = 2
    return board


@pytest.mark.parametrize("seed", range(8))
def test_the_frame_shows_the_position(seed):
    moves = random_game_moves(seed)
    moves = moves[: len(moves) - 1 - 3 * seed]  # short of the end: no winning line over the marks
    position = Position.from_moves(moves)
    frame = render_frame(position, last_move=moves[-1])
    assert frame.shape == (396, 396, 3) and frame.dtype == np.uint8
    np.testing.assert_array_equal(read_board(frame), position.board)
    legal = set(position.legal_moves)
    for cell in range(81):
        if position.board[cell] == 0:
            # Legal cells are highlighted; the others show their roster's shade.
            assert close(pixel(frame, cell), rgb("legal"), 90) == (cell in legal), cell
    # The last move's frame: dark just inside the cell's edge, where nothing else is.
    assert close(pixel(frame, moves[-1], dx=-CELL // 2 + 2, dy=-CELL // 2 + 6), rgb("frame"), 40)
    assert not close(pixel(frame, moves[0], dx=-CELL // 2 + 2, dy=-CELL // 2 + 6), rgb("frame"), 40) \
        or moves[0] == moves[-1]


def test_a_won_game_shows_its_winning_line_through_the_rosters():
    position = next(p for p in (Position.from_moves(random_game_moves(seed)) for seed in range(40)) if p.winner)
    color = rgb("x" if position.winner == 1 else "o")
    lines = [(0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6)]
    won = [line for line in lines if all(position.board.reshape(9, 9)[r].tolist().count(position.winner) >= 3
                                         for r in line)]
    frame = render_frame(position)
    # The line runs through the centres of its rosters' middle cells.
    assert any(all(close(pixel(frame, 9 * r + 4), color, 60) for r in line) for line in won), position.notation


def episode_frames(render_mode="rgb_array"):
    env = NineBoardEnv(opponent=lambda position: position.legal_moves[0], render_mode=render_mode)
    env.reset(seed=0)
    frames = [env.render()]
    env.step(40)
    frames.append(env.render())
    return env, frames


def test_each_environment_draws_its_position():
    env, frames = episode_frames()
    np.testing.assert_array_equal(read_board(frames[-1]), env.unwrapped.position.board)
    assert len(np.unique(frames[-1].reshape(-1, 3), axis=0)) > 20  # not blank
    aec = nineboard_v0.env(render_mode="rgb_array")
    aec.reset(seed=0)
    for cell in (40, 36, 4):
        aec.step(cell)
    np.testing.assert_array_equal(read_board(aec.render()), Position.from_moves([40, 36, 4]).board)
    vector = NineBoardVectorEnv(3, render_mode="rgb_array", seed=1)
    vector.reset(seed=1)
    vector.step([40, 40, 0])
    frames = vector.render()
    assert isinstance(frames, tuple) and len(frames) == 3
    for i, frame in enumerate(frames):
        np.testing.assert_array_equal(read_board(frame), vector.position(i).board)


def test_render_modes_are_offered_to_the_wrappers_and_unknown_ones_refused():
    env = gymnasium.make(ENV_ID, render_mode="rgb_array")  # what make_vec_env passes
    env.reset(seed=0)
    assert env.render().shape == (396, 396, 3)
    for make in (lambda: NineBoardEnv(render_mode="svg"), lambda: nineboard_v0.raw_env(render_mode="svg"),
                 lambda: NineBoardVectorEnv(2, render_mode="human")):
        with pytest.raises(ValueError, match="render_mode"):
            make()


def test_record_video_writes_episodes(tmp_path):
    pytest.importorskip("moviepy", reason="moviepy is not installed")
    from gymnasium.wrappers import RecordVideo
    env = RecordVideo(gymnasium.make(ENV_ID, render_mode="rgb_array"), str(tmp_path), episode_trigger=lambda _: True)
    for episode in range(2):
        _, info = env.reset(seed=episode)
        done = False
        while not done:
            _, _, terminated, truncated, info = env.step(int(np.argmax(info["action_mask"])))
            done = terminated or truncated
    env.close()
    assert len(list(tmp_path.glob("*.mp4"))) == 2
