#!/usr/bin/env python3
"""Strength at equal time per move: nonagame_lab.MCTSPlayer against the peer's native MCTSBot
(OpenSpiel, ultimate_tic_tac_toe, random-rollout evaluator with one rollout), alternating who
opens. Prints the score (wins plus half the draws) with its standard error.

    python3 -m pip install '.[bench]' && python3 bench/strength.py --games 100 --ms 50

Both sides get the same wall-clock time per move (the machines are shared: the load falls on
both alike, game after game). The peer's move is one decision when its local board is forced
and two (the board, then the cell) when it picks the board; it searches each of the two with
half the time of the move, so that its move takes the same time as ours. Our player keeps its
tree between moves (MCTSPlayer does); the peer's bot starts each search afresh (it has no tree
reuse). Both run on one thread. Slow: about ms x 60 per game.
"""
from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cases  # noqa: E402
import lab  # noqa: E402
import peer_map  # noqa: E402

import nonagame  # noqa: E402
import nonagame_lab  # noqa: E402


class PeerPlayer:
    """The peer's MCTSBot choosing our cells: one search for a forced board, two of half the
    time each (board, then cell) for a free choice."""

    def __init__(self, game, seconds: float, seed: int):
        self.full = lab.peer_bot(game, 10**9, seed, seconds)
        self.half = lab.peer_bot(game, 10**9, seed + 1, seconds / 2)
        # A timed search that the clock stops before its first simulation (a loaded machine,
        # a budget of a few milliseconds) leaves a root with no children: such a decision is
        # made by a search of a few simulations instead.
        self.untimed = lab.peer_bot(game, 8, seed + 2)
        self.simulations = 0
        self.decisions = 0

    def _decide(self, bot, state) -> int:
        root = bot.mcts_search(state)  # MCTSBot.step is this search and its best child
        if root.best_child() is None:
            root = self.untimed.mcts_search(state)
        self.simulations += root.explore_count
        self.decisions += 1
        return root.best_child().action

    def move(self, state) -> int:
        if peer_map.chooses_board(state):
            board = self._decide(self.half, state)
            state.apply_action(board)
            inner = self._decide(self.half, state)
        else:
            board = peer_map.forced_board(state)
            inner = self._decide(self.full, state)
        state.apply_action(inner)
        return peer_map.cell_of(board, inner)


def play_one(peer_game, ours_first: bool, seconds: float, seed: int, threads: int) -> dict:
    """One game; returns our result (1 win, 0.5 draw, 0 loss) and the per-move figures."""
    our_id = 1 if ours_first else 2
    ours = nonagame_lab.MCTSPlayer(our_id, seconds=seconds, seed=seed, threads=threads)
    theirs = PeerPlayer(peer_game, seconds, seed)
    game = nonagame.Game(0)
    state = peer_game.new_initial_state()
    times = {"ours": 0.0, "peer": 0.0}
    moves = {"ours": 0, "peer": 0}
    our_simulations = 0
    mover = 1
    while game.get_available_moves():
        start = time.perf_counter()
        if mover == our_id:
            ours.make_move(game)
            cell = ours.last_result.best_move
            our_simulations += ours.last_result.simulations
            side = "ours"
            peer_map.play(state, cell)
        else:
            cell = theirs.move(state)
            game.make_move(cell, mover)
            side = "peer"
        times[side] += time.perf_counter() - start
        moves[side] += 1
        position = nonagame_lab.Position.from_game(game)
        if peer_map.grid_marks(state) != list(position.board):
            raise RuntimeError(f"the boards disagree after cell {cell}: {position.notation}\n{state}")
        mover = 3 - mover
    winner = nonagame_lab.Position.from_game(game).winner
    if not state.is_terminal() or peer_map.winner(state) != winner:
        raise RuntimeError("the peer's game did not end with the same result")
    return {
        "score": 0.5 if winner == 0 else float(winner == our_id),
        "ours_first": ours_first,
        "plies": moves["ours"] + moves["peer"],
        "our_ms_per_move": 1e3 * times["ours"] / max(moves["ours"], 1),
        "peer_ms_per_move": 1e3 * times["peer"] / max(moves["peer"], 1),
        "our_simulations_per_move": our_simulations / max(moves["ours"], 1),
        "peer_simulations_per_decision": theirs.simulations / max(theirs.decisions, 1),
    }


def summary(results: list[dict]) -> dict:
    n = len(results)
    score = sum(r["score"] for r in results) / n

    def mean(key, rows=results):
        return sum(r[key] for r in rows) / len(rows) if rows else float("nan")

    return {
        "games": n,
        "score": score,
        "standard_error": math.sqrt(score * (1 - score) / n),
        "wins": sum(r["score"] == 1.0 for r in results),
        "draws": sum(r["score"] == 0.5 for r in results),
        "losses": sum(r["score"] == 0.0 for r in results),
        "score_opening": mean("score", [r for r in results if r["ours_first"]]),
        "score_second": mean("score", [r for r in results if not r["ours_first"]]),
        "our_ms_per_move": mean("our_ms_per_move"),
        "peer_ms_per_move": mean("peer_ms_per_move"),
        "our_simulations_per_move": mean("our_simulations_per_move"),
        "peer_simulations_per_decision": mean("peer_simulations_per_decision"),
        "plies_per_game": mean("plies"),
    }


def report(s: dict, ms: float, threads: int) -> str:
    return "\n".join([
        f"strength at {ms:g} ms per move: nonagame_lab.MCTSPlayer (threads={threads}) against the peer's "
        f"MCTSBot (uct_c={lab.PEER_UCT_C:g}, RandomRolloutEvaluator(1), solve=True), {s['games']} games, "
        "alternating who opens",
        f"score {100 * s['score']:.1f}% +- {100 * s['standard_error']:.1f}% (target >= 80%: "
        f"{'met' if s['score'] >= 0.8 else 'NOT met'}): {s['wins']} wins, {s['draws']} draws, "
        f"{s['losses']} losses; {100 * s['score_opening']:.1f}% opening, {100 * s['score_second']:.1f}% second",
        f"per move: ours {s['our_ms_per_move']:.1f} ms, {s['our_simulations_per_move']:,.0f} simulations; "
        f"peer {s['peer_ms_per_move']:.1f} ms, {s['peer_simulations_per_decision']:,.0f} simulations per "
        f"search; {s['plies_per_game']:.1f} plies per game",
    ])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=100, help="games (default 100)")
    parser.add_argument("--ms", type=float, default=50.0, help="milliseconds per move (default 50)")
    parser.add_argument("--threads", type=int, default=1, help="threads of our search (default 1)")
    parser.add_argument("--seed", type=int, default=1, help="first seed of both sides (default 1)")
    parser.add_argument("--json", type=Path, help="also write the games and the summary to this file")
    args = parser.parse_args(argv)
    if cases.pyspiel is None:
        print(f"strength match skipped: {cases.PEER_MISSING}")
        return 0
    peer_game = cases.peer_game()
    results = []
    for i in range(args.games):
        results.append(play_one(peer_game, i % 2 == 0, args.ms / 1e3, args.seed + 2 * i, args.threads))
        if (i + 1) % 10 == 0 or i + 1 == args.games:
            done = summary(results)
            print(f"{i + 1} games: score {100 * done['score']:.1f}%", flush=True)
    final = summary(results)
    print(report(final, args.ms, args.threads))
    if args.json:
        args.json.write_text(json.dumps({"summary": final, "games": results}, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
