// One search tree in its share of the node pool: the simulation loop, re-rooting and the
// consistency check. Internal to the search library (mcts.hpp describes the algorithm).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <type_traits>

#include "board.hpp"
#include "rng.hpp"
#include "search/mcts.hpp"

namespace nonagame::mcts::detail {

// Left uninitialised on allocation (trivial), so an unused pool costs no page touches.
struct Node {
    std::uint32_t first_child;  // index of the first child; 0 (the root's slot) when not expanded
    std::uint32_t visits;
    std::uint32_t ended;        // simulations that stopped at this node
    std::int32_t score;         // sum of results for the player who moved into this node
    std::int8_t cell;           // the move leading here; -1 for a root that has none
    std::uint8_t child_count;
    Proof proof;                // for the player who moved into this node
    // 1 when the node is unproven but has a child proven drawn: the player to move here can
    // take the draw, so the node is worth at most 0 to the player who moved into it.
    std::uint8_t capped;
};
static_assert(sizeof(Node) == 20);
static_assert(std::is_trivially_default_constructible_v<Node>);

// A tree stops before its root's visits could overflow the 32-bit counts and sums.
inline constexpr std::uint32_t kMaxRootVisits = 0x7FFF'FFF0U;

// Proof of a node from its children's, for the player who moved into it (see mcts.hpp).
Proof proof_from_children(const Node* children, int count);

// The mean a parent uses for child (unproven and visited), for the player who moved into it.
inline double child_mean(const Node& child) {
    const double mean = child.score / static_cast<double>(child.visits);
    return child.capped != 0 && mean > 0 ? 0.0 : mean;
}

// The proven result as a value for the player the proof is for.
inline int proof_value(Proof proof) { return proof == Proof::Win ? 1 : proof == Proof::Loss ? -1 : 0; }

// The same outcome for the other player.
inline Proof flip(Proof proof) {
    return proof == Proof::Win ? Proof::Loss : proof == Proof::Loss ? Proof::Win : proof;
}

struct RunLimits {
    std::uint64_t quota = 0;  // simulations for this tree
    bool timed = false;
    std::chrono::steady_clock::time_point deadline;
    const std::atomic<bool>* stop = nullptr;
    std::atomic<bool>* solved = nullptr;  // raised by the first tree to prove its root
};

class Tree {
public:
    // Gives the tree its pool share and generator, and empties it.
    void attach(Node* nodes, std::uint32_t capacity, const Rng& rng, double exploration);
    void clear();

    // Expands the root of position when it is not (the pool always has room for it).
    void prepare(const GameRecord& root);
    // Runs simulations from root until a limit; returns how many ran.
    std::uint64_t run(const GameRecord& root, const RunLimits& limits) noexcept;

    // Keeps the subtree of the root's child for cell as the whole tree, moved to the front
    // of the share; a tree whose root has no such child is cleared.
    void advance(int cell);

    // An empty string when the tree is consistent (see mcts.hpp), else the first fault.
    std::string check(const GameRecord& root) const;

    const Node& node(std::uint32_t index) const { return nodes_[index]; }
    std::uint32_t used() const { return used_; }
    std::uint32_t capacity() const { return capacity_; }
    std::uint64_t done() const { return done_.load(std::memory_order_relaxed); }

private:
    struct Leaf {
        int depth;   // of the node where the simulation ended, in path_
        int value;   // its result for the player who moved into that node
        bool proven; // the node was proven by this simulation
    };

    void simulate(const GameRecord& root) noexcept;
    Leaf descend(GameRecord& game) noexcept;
    void backup(const Leaf& leaf) noexcept;
    std::uint32_t select(const Node& parent) const noexcept;
    bool expand(std::uint32_t index, const GameRecord& game) noexcept;

    Node* nodes_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t used_ = 0;
    double exploration_ = kDefaultExploration;
    Rng rng_;
    std::array<std::uint32_t, kCells + 1> path_{};  // nodes of a simulation; path_[0] is the root
    // Its own cache line: read by other threads while this tree's thread writes the tree.
    alignas(64) std::atomic<std::uint64_t> done_{0};
};

}  // namespace nonagame::mcts::detail
