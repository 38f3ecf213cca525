#include "search/network_evaluator.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "planes.hpp"

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
    const int count = plane_indices(game, game.next_player, legal, inputs.data());
    float value = 0;
    // Only the legal cells' logits are read, so the policy head computes just those.
    const std::array<std::uint64_t, 2> wanted{legal.low_word(), legal.high_word()};
    network_->forward_indices(inputs.data(), count, logits.data(), &value,
                              scratch_[static_cast<std::size_t>(thread)].floats.data(), wanted.data());
    legal_softmax(logits.data(), legal, priors);
    return value;
}

}  // namespace nonagame::mcts
