// What guides a search in place of random playouts: an evaluator turns a position that is
// still in play into priors over its legal cells and a value for the player to move there.
#pragma once

#include "board.hpp"

namespace nonagame::mcts {

class Evaluator {
public:
    virtual ~Evaluator() = default;

    // Evaluates game, which is in play (a finished game is never sent: its value is exact).
    // Writes priors[cell] for every legal cell (other entries are ignored; the search
    // normalises them over the legal cells, and falls back to uniform priors when they are
    // not finite or sum to 0) and returns the value for the player to move, clamped by the
    // search to [-1, 1]. Called from the search's threads at once, each with its own index
    // in 0..threads-1, so an implementation keeps per-thread scratch by that index. Must
    // not throw.
    virtual float evaluate(const GameRecord& game, float* priors, int thread) noexcept = 0;
};

}  // namespace nonagame::mcts
