"""The network shipped with the package, and the names that stand for a network wherever the
search takes one."""
from __future__ import annotations

from importlib import resources
from pathlib import Path

import numpy as np
import pytest

import nonagame
from nonagame_lab import MCTSPlayer, Network, Position, Searcher, search
from nonagame_lab.arena import match
from test_lab_network import random_arrays


def midgame() -> Position:
    position = Position()
    for cell in (40, 36, 4, 41, 50, 45, 0):
        position = position.play(cell)
    return position


class GreedyPlayer(nonagame.Player):
    """The network alone: its most likely legal move."""

    def __new__(cls, id: int, network: Network) -> GreedyPlayer:
        player = super().__new__(cls, id)
        player.id, player.network = id, network
        return player

    def make_move(self, game: nonagame.Game) -> None:
        position = Position.from_game(game)
        policy, _ = self.network.evaluate(position)
        legal = position.legal_moves
        game.make_move(legal[int(np.argmax(policy[legal]))], self.id)


def test_the_baseline_is_packaged_loaded_once_and_beats_random_play_alone() -> None:
    with resources.as_file(resources.files("nonagame_lab").joinpath("baseline.npz")) as path:
        assert path.stat().st_size <= 4 << 20
    network = Network.baseline()
    assert network is Network.baseline() and network.parameters > 0
    result = match(lambda id: GreedyPlayer(id, network), "random", games=100, seed=1, progress=False)
    assert result.score >= 0.9, result.table()


@pytest.mark.parametrize("kind", ["baseline", "str", "pathlike"])
def test_a_name_gives_the_search_of_its_network(kind: str, tmp_path: Path) -> None:
    if kind == "baseline":
        network, name = Network.baseline(), "baseline"
    else:
        network = Network.from_arrays(random_arrays(3))
        network.save(tmp_path / "net.npz")
        name = str(tmp_path / "net.npz") if kind == "str" else tmp_path / "net.npz"
    position = midgame()
    expected = search(position, simulations=300, network=network, seed=1)
    assert expected.priors is not None
    by_name = search(position, simulations=300, network=name, seed=1)
    np.testing.assert_array_equal(by_name.visits, expected.visits)
    player = MCTSPlayer(1, simulations=300, network=name, seed=1)
    np.testing.assert_array_equal(player.choose(position).visits, expected.visits)
    searcher = Searcher(network=name, seed=1)
    searcher.set_position(position)
    np.testing.assert_array_equal(searcher.run(simulations=300).visits, expected.visits)


def test_none_is_the_playout_search() -> None:
    position = midgame()
    playouts = search(position, simulations=500, seed=2)
    named = search(position, simulations=500, seed=2, network="none")
    assert named.priors is None
    np.testing.assert_array_equal(named.visits, playouts.visits)


@pytest.mark.parametrize(
    "name, error",
    [("", ValueError), ("no-such-network.npz", FileNotFoundError), ("text", ValueError), (3, TypeError)],
)
def test_bad_names_are_refused(name: object, error: type[Exception], tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "text").write_text("not an archive")
    with pytest.raises(error):
        search(Position(), simulations=10, network=name)
    with pytest.raises(error):
        MCTSPlayer(1, network=name)
