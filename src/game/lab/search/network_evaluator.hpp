// The evaluator of a native network: the planes of the leaf for the player to move, one
// forward pass, and the softmax of the policy over the legal cells.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "network.hpp"
#include "search/evaluator.hpp"

namespace nonagame::mcts {

// net::masked_softmax over the cells of legal only: the same operations in the same order (the
// cells ascending), so the same priors to the bit; the entries of other cells are left alone.
void legal_softmax(const float* logits, CellSet legal, float* out);

class NetworkEvaluator : public Evaluator {
public:
    // Scratch for threads threads (1..kMaxThreads); the network is shared, read only.
    NetworkEvaluator(std::shared_ptr<const net::Network> network, int threads);
    float evaluate(const GameRecord& game, float* priors, int thread) noexcept override;

private:
    // One thread's buffers, on cache lines of their own.
    struct alignas(64) Scratch {
        net::AlignedFloats floats;
    };
    std::shared_ptr<const net::Network> network_;
    std::vector<Scratch> scratch_;
};

}  // namespace nonagame::mcts
