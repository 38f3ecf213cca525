#include "search/search_batch.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

#include "network.hpp"
#include "search/network_evaluator.hpp"
#include "parallel.hpp"
#include "planes.hpp"

namespace nonagame::mcts {

namespace {

// Runs body(i) for i in [0, count) over workers threads, in contiguous slices.
template <class Body>
void for_each_on(int workers, std::size_t count, Body&& body) {
    const int used = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(workers, 1)), count));
    if (used <= 1) {
        for (std::size_t i = 0; i < count; ++i) body(i);
        return;
    }
    run_workers(used, [&](int worker) {
        const std::size_t begin = count * static_cast<std::size_t>(worker) / static_cast<std::size_t>(used);
        const std::size_t end = count * static_cast<std::size_t>(worker + 1) / static_cast<std::size_t>(used);
        for (std::size_t i = begin; i < end; ++i) body(i);
    });
}

}  // namespace

SearchBatch::SearchBatch(const std::vector<GameRecord>& roots, const SearchConfig& config, std::uint64_t simulations,
                         int leaves_per_tree, const std::vector<std::uint64_t>& seeds) {
    if (config.threads < 1 || config.threads > kMaxThreads) {
        throw std::invalid_argument("threads must be between 1 and " + std::to_string(kMaxThreads));
    }
    if (leaves_per_tree < 1 || leaves_per_tree > kCells) {
        throw std::invalid_argument("leaves_per_tree must be between 1 and " + std::to_string(kCells));
    }
    if (!seeds.empty() && seeds.size() != roots.size()) {
        throw std::invalid_argument("seeds must be one a position: " + std::to_string(roots.size()) + " positions, " +
                                    std::to_string(seeds.size()) + " seeds");
    }
    workers_ = config.threads;
    per_tree_ = leaves_per_tree;
    SearchConfig own = config;
    own.threads = 1;
    own.evaluator = nullptr;
    own.guided = true;
    own.pool_nodes = pool_for(own, simulations);
    searches_.reserve(roots.size());
    for (std::size_t i = 0; i < roots.size(); ++i) {
        const GameRecord& root = roots[i];
        if (is_over(root)) throw std::invalid_argument("the game is over: there is no move to search");
        if (!seeds.empty()) own.seed = seeds[i];
        searches_.emplace_back(own);
        searches_.back().set_position(root);
        searches_.back().start_steps(simulations, per_tree_);
    }
    finished_.assign(roots.size(), 0);
    leaves_.resize(roots.size() * static_cast<std::size_t>(per_tree_));
    counts_.assign(roots.size(), 0);
}

void SearchBatch::gather_tree(std::size_t i) {
    counts_[i] = 0;
    if (finished_[i] != 0) return;
    counts_[i] = searches_[i].next_leaves(leaves_.data() + i * static_cast<std::size_t>(per_tree_));
    if (counts_[i] == 0) finished_[i] = 1;
}

int SearchBatch::collect_pending() {
    pending_.clear();
    for (std::size_t i = 0; i < searches_.size(); ++i) {
        for (int s = 0; s < counts_[i]; ++s) pending_.push_back({static_cast<std::uint32_t>(i), s});
    }
    return static_cast<int>(pending_.size());
}

std::vector<std::size_t> SearchBatch::first_leaves() const {
    // Each tree's leaves are contiguous in pending_: tree i's are [first[i], first[i + 1]).
    std::vector<std::size_t> first(searches_.size() + 1, 0);
    for (const Leaf& leaf : pending_) ++first[leaf.tree + 1];
    for (std::size_t i = 0; i < searches_.size(); ++i) first[i + 1] += first[i];
    return first;
}

void SearchBatch::give_tree(std::size_t tree, std::size_t begin, std::size_t end, const float* logits,
                            const float* values) {
    const auto per_tree = static_cast<std::size_t>(per_tree_);
    for (std::size_t k = begin; k < end; ++k) {
        const int slot = pending_[k].slot;
        const GameRecord& leaf = leaves_[tree * per_tree + static_cast<std::size_t>(slot)];
        std::array<float, kCells> priors{};
        legal_softmax(logits + k * kCells, legal_cells(leaf), priors.data());
        searches_[tree].give(slot, leaf, priors.data(), values[k]);
    }
}

int SearchBatch::gather() {
    for_each_on(workers_, searches_.size(), [&](std::size_t i) { gather_tree(i); });
    return collect_pending();
}

void SearchBatch::write_leaves(std::int8_t* planes, std::uint8_t* legal) const {
    const auto per_tree = static_cast<std::size_t>(per_tree_);
    for_each_on(workers_, pending_.size(), [&](std::size_t k) {
        const GameRecord& leaf = leaves_[pending_[k].tree * per_tree + static_cast<std::size_t>(pending_[k].slot)];
        write_planes(leaf, leaf.next_player, planes + k * kPlaneValues);
        std::uint8_t* mask = legal + k * kCells;
        std::fill(mask, mask + kCells, std::uint8_t{0});
        legal_cells(leaf).for_each([mask](int cell) { mask[cell] = 1; });
    });
}

void SearchBatch::scatter(const float* logits, const float* values) {
    const std::vector<std::size_t> first = first_leaves();
    for_each_on(workers_, searches_.size(),
                [&](std::size_t tree) { give_tree(tree, first[tree], first[tree + 1], logits, values); });
    pending_.clear();
}

int SearchBatch::scatter_and_gather(const float* logits, const float* values) {
    const std::vector<std::size_t> first = first_leaves();
    // One pass: a tree descends again while the nodes its values just went through are in cache.
    for_each_on(workers_, searches_.size(), [&](std::size_t tree) {
        give_tree(tree, first[tree], first[tree + 1], logits, values);
        gather_tree(tree);
    });
    return collect_pending();
}

void SearchBatch::abandon() {
    for (Search& search : searches_) search.abandon_leaves();
    pending_.clear();
}

std::string SearchBatch::check_trees() const {
    for (std::size_t i = 0; i < searches_.size(); ++i) {
        std::string fault = searches_[i].check_tree();
        if (!fault.empty()) return "position " + std::to_string(i) + ": " + fault;
    }
    return {};
}

}  // namespace nonagame::mcts
