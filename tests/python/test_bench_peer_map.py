"""The move mapping between nonagame and the peer (OpenSpiel's ultimate_tic_tac_toe) that the
benchmark's search comparison and strength match rely on: random games replayed in both must
agree on the board, the legal cells, the side to move and the result at every move."""
import random
import sys
from pathlib import Path

import pytest

pyspiel = pytest.importorskip("pyspiel")
nonagame_lab = pytest.importorskip("nonagame_lab")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import peer_map  # noqa: E402

pytestmark = pytest.mark.programs

GAME = pyspiel.load_game("ultimate_tic_tac_toe")


def assert_same(position, state):
    assert peer_map.grid_marks(state) == list(position.board), (position.notation, str(state))
    assert position.is_over == state.is_terminal()
    if position.is_over:
        assert peer_map.winner(state) == position.winner
        assert peer_map.legal_cells(state) == []
    else:
        assert peer_map.to_move(state) == position.to_move
        assert peer_map.legal_cells(state) == position.legal_moves, (position.notation, str(state))


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("driver", ["ours", "peer"])
def test_random_games_agree_move_by_move(seed, driver):
    """Driven by our cells (mapped to one or two peer actions), or by the peer's own random
    actions (a board, then a cell, mapped back to one of our cells)."""
    rng = random.Random(seed)
    free_choices = 0
    for _ in range(25):
        position, state = nonagame_lab.Position(), GAME.new_initial_state()
        while True:
            assert_same(position, state)
            if position.is_over:
                break
            if driver == "ours":
                cell = rng.choice(position.legal_moves)
                free_choices += peer_map.chooses_board(state)
                peer_map.play(state, cell)
            else:
                board = peer_map.forced_board(state)
                if board is None:
                    free_choices += 1
                    board = rng.choice(state.legal_actions())
                    state.apply_action(board)
                inner = rng.choice(state.legal_actions())
                state.apply_action(inner)
                cell = peer_map.cell_of(board, inner)
            position = position.play(cell)
    assert free_choices > 0  # the two-action moves were exercised


def test_state_after_replays_cells_and_refuses_a_cell_off_the_forced_board():
    cells = [40, 36, 4]  # centre of the centre board; then forced to boards 4 and 0
    state = peer_map.state_after(GAME, cells)
    assert peer_map.forced_board(state) == 4
    assert_same(nonagame_lab.Position.from_moves(cells), state)
    with pytest.raises(ValueError, match="forced to board 4"):
        peer_map.actions_for(state, 0)
