#include "search/search_batch.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

#include "network.hpp"
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

SearchBatch::SearchBatch(const std::vector<GameRecord>& roots, const SearchConfig& config, std::uint64_t simulations) {
    if (config.threads < 1 || config.threads > kMaxThreads) {
        throw std::invalid_argument("threads must be between 1 and " + std::to_string(kMaxThreads));
    }
    workers_ = config.threads;
    SearchConfig own = config;
    own.threads = 1;
    own.evaluator = nullptr;
    own.guided = true;
    own.pool_nodes = pool_for(own, simulations);
    searches_.reserve(roots.size());
    for (const GameRecord& root : roots) {
        if (is_over(root)) throw std::invalid_argument("the game is over: there is no move to search");
        searches_.emplace_back(own);
        searches_.back().set_position(root);
        searches_.back().start_steps(simulations);
    }
    finished_.assign(roots.size(), false);
    leaves_.resize(roots.size());
}

int SearchBatch::gather() {
    std::vector<std::uint8_t> has_leaf(searches_.size(), 0);
    for_each_on(workers_, searches_.size(), [&](std::size_t i) {
        if (finished_[i]) return;
        if (searches_[i].next_leaf(leaves_[i])) {
            has_leaf[i] = 1;
        } else {
            finished_[i] = true;
        }
    });
    pending_.clear();
    for (std::size_t i = 0; i < searches_.size(); ++i) {
        if (has_leaf[i] != 0) pending_.push_back(static_cast<std::uint32_t>(i));
    }
    const std::size_t count = pending_.size();
    planes_.assign(count * kPlaneValues, 0);
    legal_.assign(count * kCells, 0);
    for_each_on(workers_, count, [&](std::size_t k) {
        const GameRecord& leaf = leaves_[pending_[k]];
        write_planes(leaf, leaf.next_player, planes_.data() + k * kPlaneValues);
        std::uint8_t* mask = legal_.data() + k * kCells;
        legal_cells(leaf).for_each([mask](int cell) { mask[cell] = 1; });
    });
    return static_cast<int>(count);
}

void SearchBatch::copy_leaves(std::int8_t* planes, std::uint8_t* legal) const {
    std::copy(planes_.begin(), planes_.end(), planes);
    std::copy(legal_.begin(), legal_.end(), legal);
}

void SearchBatch::scatter(const float* logits, const float* values) {
    for_each_on(workers_, pending_.size(), [&](std::size_t k) {
        std::array<float, kCells> priors{};
        net::masked_softmax(logits + k * kCells, legal_.data() + k * kCells, priors.data());
        const std::uint32_t tree = pending_[k];
        searches_[tree].give(leaves_[tree], priors.data(), values[k]);
    });
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
