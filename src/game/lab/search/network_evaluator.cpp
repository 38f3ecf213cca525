#include "search/network_evaluator.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "planes.hpp"
#include "symmetry.hpp"

namespace nonagame::mcts {

void legal_softmax(const float* logits, CellSet legal, float* out) {
    float top = -INFINITY;
    legal.for_each([&](int c) { top = std::max(top, logits[c]); });
    float total = 0.0F;
    legal.for_each([&](int c) {
        out[c] = std::exp(logits[c] - top);
        total += out[c];
    });
    if (total > 0.0F) legal.for_each([&](int c) { out[c] /= total; });
}

NetworkEvaluator::NetworkEvaluator(std::shared_ptr<const net::Network> network, int threads)
    : network_(std::move(network)), scratch_(static_cast<std::size_t>(threads)) {
    for (Scratch& s : scratch_) s.floats.resize(network_->scratch_size(1));
}

float NetworkEvaluator::evaluate(const GameRecord& game, float* priors, int thread) noexcept {
    // The first layer reads the planes' nonzero inputs straight from the position.
    std::array<std::int32_t, kCells> inputs;  // NOLINT(cppcoreguidelines-pro-type-member-init): written first
    std::array<float, kCells> logits;  // NOLINT(cppcoreguidelines-pro-type-member-init): written first
    const CellSet legal = legal_cells(game);
    // Thread t sees the position under symmetry t % 8, so that the trees of a root-parallel
    // search differ (the network is not exactly symmetric) and their summed visits average
    // several views; with one thread, or on thread 0, it is the position itself.
    const int symmetry = thread % kSymmetries;
    const CellSet seen = symmetry == kIdentity ? legal : transform_set(symmetry, legal);
    const int count = plane_indices(game, game.next_player, legal, symmetry, inputs.data());
    float value = 0;
    // Only the legal cells' logits are read, so the policy head computes just those.
    const std::array<std::uint64_t, 2> wanted{seen.low_word(), seen.high_word()};
    network_->forward_indices(inputs.data(), count, logits.data(), &value,
                              scratch_[static_cast<std::size_t>(thread)].floats.data(), wanted.data());
    if (symmetry != kIdentity) {
        // The logits back on the position's own cells.
        std::array<float, kCells> own;  // NOLINT(cppcoreguidelines-pro-type-member-init): legal cells written first
        legal.for_each([&](int c) {
            own[static_cast<std::size_t>(c)] = logits[static_cast<std::size_t>(transform_cell(symmetry, c))];
        });
        legal_softmax(own.data(), legal, priors);
    } else {
        legal_softmax(logits.data(), legal, priors);
    }
    return value;
}

}  // namespace nonagame::mcts
