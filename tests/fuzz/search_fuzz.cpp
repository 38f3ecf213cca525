// libFuzzer target for the search: the input picks a position (random moves from the
// opening), a tiny node pool and budget, and a sequence of searches, re-rootings and moves.
// Every result must name legal moves, count its simulations exactly, keep proofs consistent
// with the rules where they are easy to check, and leave trees that pass check_tree().
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.hpp"
#include "legal.hpp"
#include "search/mcts.hpp"

using namespace nonagame;

namespace {

void check(bool condition, const char* what, const std::string& detail = "") {
    if (!condition) fuzz::fail("search", what, detail);
}

void check_result(const mcts::SearchResult& result, const GameRecord& root, std::uint64_t budget) {
    const CellSet legal = legal_cells(root);
    check(legal.contains(result.best_move), "best move is legal");
    std::uint64_t visits = 0;
    for (int c = 0; c < kCells; ++c) {
        if (!legal.contains(c)) check(result.visits[c] == 0, "visits only on legal cells");
        visits += result.visits[c];
    }
    check(result.simulations <= budget, "no more simulations than the budget");
    check(visits >= result.simulations, "visits include this run's simulations");
    check(result.value >= -1.0 && result.value <= 1.0, "value in [-1, 1]");
    // A move that wins the game at once is proven, and the root with it.
    legal.for_each([&](int cell) {
        GameRecord next = root;
        play_legal(next, cell);
        if (next.winner == root.next_player && result.proofs[cell] != mcts::Proof::Unknown) {
            check(result.proofs[cell] == mcts::Proof::Win, "a winning move is proven won");
            check(result.proof == mcts::Proof::Win, "a root with a proven winning move is won");
        }
    });
    GameRecord line = root;
    for (const int cell : result.principal_variation) {
        check(!line.available.empty() && legal_cells(line).contains(cell), "principal variation is legal");
        play_legal(line, cell);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    GameRecord root = new_game(0, false);
    Rng rng(in.next(), in.next());
    const int plies = in.next() % 70;
    for (int k = 0; k < plies && !root.available.empty(); ++k) play_random_move(root, rng);
    if (root.available.empty()) return 0;

    mcts::SearchConfig config;
    config.pool_nodes = mcts::kMinTreeNodes + in.next() * 4U;
    config.exploration = (in.next() % 16) / 8.0;
    config.seed = in.next();
    mcts::Search search(config);
    search.set_position(root);
    while (!in.empty()) {
        const std::uint8_t op = in.next();
        if (op % 4 == 3) {
            // Play a legal move at the root and keep its subtree.
            const CellSet legal = legal_cells(root);
            const int cell = legal.nth(in.next() % legal.size());
            search.advance(cell);
            play_legal(root, cell);
            if (root.available.empty()) break;
            continue;
        }
        mcts::Budget budget;
        const std::uint64_t simulations = 1 + in.next() % 64;
        budget.simulations = simulations;
        const mcts::SearchResult result = search.run(budget);
        check_result(result, root, simulations);
        const std::string fault = search.check_tree();
        check(fault.empty(), "check_tree", fault);
        check(search.nodes_used() <= search.pool_capacity(), "the pool is never exceeded");
    }
    return 0;
}
