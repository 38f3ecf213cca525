#include "search/network_evaluator.hpp"

#include <array>
#include <utility>

#include "planes.hpp"

namespace nonagame::mcts {

NetworkEvaluator::NetworkEvaluator(std::shared_ptr<const net::Network> network, int threads)
    : network_(std::move(network)), scratch_(static_cast<std::size_t>(threads)) {
    for (Scratch& s : scratch_) s.floats.resize(network_->scratch_size(1));
}

float NetworkEvaluator::evaluate(const GameRecord& game, float* priors, int thread) noexcept {
    std::array<std::int8_t, kPlaneValues> planes{};
    std::array<std::uint8_t, kCells> legal{};
    std::array<float, kCells> logits{};
    write_planes(game, game.next_player, planes.data());
    legal_cells(game).for_each([&legal](int cell) { legal[static_cast<std::size_t>(cell)] = 1; });
    float value = 0;
    network_->forward(planes.data(), 1, logits.data(), &value, scratch_[static_cast<std::size_t>(thread)].floats.data());
    net::masked_softmax(logits.data(), legal.data(), priors);
    return value;
}

}  // namespace nonagame::mcts
