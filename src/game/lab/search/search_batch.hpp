// Many guided searches advanced together in rounds, their leaves evaluated by the caller in
// one batch a round: a program with its own network (on a GPU, in another framework) gets
// the tree work done natively and evaluates all the trees' leaves at once.
//
// Each position gets its own Search of one thread (its own pool, sized as a one-off search
// of the same budget would be, and its own generator Rng(seed, 0) as search() gives it), so
// a tree's result does not depend on its batch companions, and with the same evaluations it
// equals search() of that position exactly. `seeds`, when given, holds one seed a tree (tree
// i as search() with seeds[i]); otherwise every tree has config.seed, so that equal positions
// searched under one seed give equal results, which self-play that wants distinct games must
// avoid by passing seeds. A round: gather() runs every unfinished tree on
// to its next leaf (first its root, whose evaluation is not a simulation), on `workers`
// threads; write_leaves() writes the leaves' planes and legal masks into the caller's
// buffers (the arrays the evaluator is given, with no copy between); the caller evaluates
// them and scatter() turns the logits into priors (masked softmax, as the native network
// does) and backs the values up. By default one leaf per tree per round: the descent of the next round
// sees the backed-up value, exactly as a sequential search does. With leaves_per_tree > 1 a
// tree gathers that many leaves a round under virtual loss: each pending descent counts on
// its path as a visit lost for the player who moved into each node, which turns the next
// descents to other moves; the loss is taken back when the leaf's evaluation arrives (or the
// round is dropped). Fewer rounds, each larger, at some cost in the search's precision.
#pragma once

#include <cstdint>
#include <vector>

#include "board.hpp"
#include "search/mcts.hpp"

namespace nonagame::mcts {

class SearchBatch {
public:
    // Throws std::invalid_argument for a configuration out of range (as Search), a root
    // that is over, or seeds that are neither empty nor one a root. config.threads is the
    // number of tree-work threads, config.evaluator is ignored (the caller evaluates).
    SearchBatch(const std::vector<GameRecord>& roots, const SearchConfig& config, std::uint64_t simulations,
                int leaves_per_tree = 1, const std::vector<std::uint64_t>& seeds = {});

    // Runs the tree work of one round and returns how many leaves it needs evaluated (0 once
    // every tree is done), in the order of the trees.
    int gather();
    // Writes the leaves of the last gather() straight into the caller's buffers: planes
    // (count x 243 int8, write_planes for the player to move) and legal (count x 81, 1 for a
    // legal cell), on the tree-work threads.
    void write_leaves(std::int8_t* planes, std::uint8_t* legal) const;
    // Gives back logits (count x 81) and values (count, for the player to move at each leaf)
    // of the last gather(): each leaf's priors are the softmax of its logits over its legal
    // cells, as the native network gives them. A gather() not followed by scatter() changes no
    // tree once abandon() (or the next gather()) has dropped its leaves.
    void scatter(const float* logits, const float* values);
    // scatter() then gather() in one pass over the trees, each tree given its evaluations and
    // run on to its next leaves at once (the same trees and leaves as the two calls); returns
    // the count of the new round.
    int scatter_and_gather(const float* logits, const float* values);
    void abandon();

    std::size_t size() const { return searches_.size(); }
    int leaf_count() const { return static_cast<int>(pending_.size()); }
    SearchResult result(std::size_t index) { return searches_[index].step_result(); }
    std::string check_trees() const;

private:
    void gather_tree(std::size_t i);
    int collect_pending();
    std::vector<std::size_t> first_leaves() const;
    void give_tree(std::size_t tree, std::size_t begin, std::size_t end, const float* logits, const float* values);

    std::vector<Search> searches_;
    // One byte a tree, not std::vector<bool>: the tree-work threads set the flags of different
    // trees at once, and the bits of a vector<bool> share words.
    std::vector<std::uint8_t> finished_;
    struct Leaf {
        std::uint32_t tree;
        int slot;
    };
    int per_tree_ = 1;
    std::vector<GameRecord> leaves_;  // per_tree_ per tree, the pending leaves
    std::vector<int> counts_;         // per tree, its leaves this round
    std::vector<Leaf> pending_;       // the round's leaves, in tree order
    int workers_ = 1;
};

}  // namespace nonagame::mcts
