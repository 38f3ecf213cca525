// One search tree in its share of the node pool: the simulation loop, re-rooting and the
// consistency check. Internal to the search library (mcts.hpp describes the algorithm).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "board.hpp"
#include "rng.hpp"
#include "search/evaluator.hpp"
#include "search/mcts.hpp"

namespace nonagame::mcts::detail {

// Left uninitialised on allocation (trivial), so an unused pool costs no page touches.
struct Node {
    std::uint32_t first_child;  // index of the first child; 0 (the root's slot) when not expanded
    std::uint32_t visits;
    std::uint32_t stopped_here;  // simulations that ended at this node
    std::int32_t score;         // sum of results for the player who moved into this node
    std::int8_t cell;           // the move leading here; -1 for a root that has none
    std::uint8_t child_count;
    Proof proof;                // for the player who moved into this node
    // 1 when the node is unproven but has a child proven drawn: the player to move here can
    // take the draw, so the node is worth at most 0 to the player who moved into it (its
    // mean is capped at 0).
    std::uint8_t has_drawn_child;
};
static_assert(sizeof(Node) == 20);
static_assert(std::is_trivially_default_constructible_v<Node>);

// Beside each node of a guided search, at the same index: its prior as a child of its
// parent, and the sum of the values backed up through it for the player who moved into it.
struct Guide {
    double value_sum;
    float prior;
};
static_assert(sizeof(Guide) == 16);
static_assert(std::is_trivially_default_constructible_v<Guide>);

// A tree stops before its root's visits could overflow the 32-bit counts and sums.
inline constexpr std::uint32_t kMaxRootVisits = 0x7FFF'FFF0U;

// Proof of a node from its children's, for the player who moved into it (see mcts.hpp).
Proof proof_from_children(const Node* children, int count);

// The mean a parent uses for child (unproven and visited) of a playout tree, for the player
// who moved into it.
inline double child_mean(const Node& child) {
    const double mean = child.score / static_cast<double>(child.visits);
    return child.has_drawn_child != 0 && mean > 0 ? 0.0 : mean;
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
    // The caller's hook (Budget::poll), given to the tree run on the calling thread only,
    // and when it is next due; run() moves next_poll on at each call.
    std::chrono::steady_clock::duration (*poll)(void* context) = nullptr;
    void* poll_context = nullptr;
    std::chrono::steady_clock::time_point* next_poll = nullptr;
};

class Tree {
public:
    // Gives the tree its pool share (and, for a guided search, the guides beside it; nullptr
    // otherwise), its generator and its settings, and empties it. thread is the index passed
    // to the evaluator.
    void attach(Node* nodes, Guide* guides, std::uint32_t capacity, const Rng& rng, const SearchConfig& config,
                int thread);
    void clear();

    // Expands the root of position when it is not (the pool always has room for it): a
    // guided tree asks its evaluator, or is left for expand_root() when it has none. Then
    // mixes fresh noise into a guided root's priors when noise is on.
    void prepare(const GameRecord& root);
    // Runs simulations from root until a limit; returns how many ran.
    std::uint64_t run(const GameRecord& root, const RunLimits& limits) noexcept;

    // A guided simulation in two halves, for evaluations made elsewhere (search_batch).
    // begin() descends from game (a copy of the root) and returns true when the simulation
    // needs game, now its leaf, evaluated; complete() then expands that leaf with priors
    // (per cell) and backs value (for the player to move there) up. When begin() returns
    // false the simulation is complete already: it ended in a proven node or a finished game.
    //
    // Several descents may be pending at once, each in its own slot (set_slots). With
    // virtual_loss each pending descent counts along its path as a visit lost for the player
    // who moved into each node (visits + 1, value - 1, the loss kept in the node's score), so
    // that the next descents turn to other moves; complete() and abandon() take it back
    // before anything else.
    bool begin(GameRecord& game, int slot = 0, bool virtual_loss = false) noexcept;
    void complete(const GameRecord& leaf, const float* priors, float value, int slot = 0,
                  bool virtual_loss = false) noexcept;
    void abandon(int slot) noexcept;
    void set_slots(int count);
    // A guided root not yet expanded, in play: it needs an evaluation before begin().
    bool needs_root(const GameRecord& root) const;
    void expand_root(const GameRecord& root, const float* priors) noexcept;
    void set_completed(std::uint64_t count) { completed_.store(count, std::memory_order_relaxed); }

    // Keeps the subtree of the root's child for cell as the whole tree, moved to the front
    // of the share; a tree whose root has no such child is cleared.
    void advance(int cell);

    // An empty string when the tree is consistent (see mcts.hpp), else the first fault.
    std::string check(const GameRecord& root) const;

    const Node& node(std::uint32_t index) const { return nodes_[index]; }
    bool guided() const { return guides_ != nullptr; }
    // The sum of results through node index, for the player who moved into it. In a guided
    // tree score counts the pending descents' virtual losses (0 between rounds): integers,
    // so that taking them back restores the sums exactly.
    double value_sum(std::uint32_t index) const {
        return guides_ != nullptr ? guides_[index].value_sum - nodes_[index].score : nodes_[index].score;
    }
    // The mean a parent uses for child index (visited), capped at 0 when it has a drawn child.
    double mean(std::uint32_t index) const {
        const double mean = value_sum(index) / static_cast<double>(nodes_[index].visits);
        return nodes_[index].has_drawn_child != 0 && mean > 0 ? 0.0 : mean;
    }
    // The root's priors per cell without noise (zero for other cells); all zero unless guided.
    std::array<float, kCells> root_priors() const;
    std::uint32_t used() const { return used_; }
    std::uint32_t capacity() const { return capacity_; }
    // Simulations completed by the current run (by the last one once it returned).
    std::uint64_t completed() const { return completed_.load(std::memory_order_relaxed); }

private:
    // Where a descent stopped and what the simulation found there.
    struct DescentEnd {
        int depth;   // of the node where the simulation ended, in path_
        int value;   // its result for the player who moved into that node
        bool proven; // the node was proven by this simulation
    };

    void simulate(const GameRecord& root) noexcept;
    void simulate_guided(const GameRecord& root) noexcept;
    DescentEnd descend(GameRecord& game) noexcept;
    void backup(const DescentEnd& end) noexcept;
    // A descent's nodes; nodes[0] is the root.
    struct alignas(64) Path {
        std::array<std::uint32_t, kCells + 1> nodes{};
        int depth = 0;
    };
    void backup_guided(const Path& path, double value, bool proven) noexcept;
    void prove_up(const std::uint32_t* path, int d, bool& proven) noexcept;
    void lose_virtually(const Path& path, int sign) noexcept;
    std::uint32_t select(const Node& parent) const noexcept;
    std::uint32_t select_guided(std::uint32_t parent) const noexcept;
    bool expand(std::uint32_t index, const GameRecord& game, const float* priors = nullptr) noexcept;
    void add_root_noise();

    // First, on a cache line of its own start: read by other threads while this tree's
    // thread writes the tree (the order of the rest packs the class).
    alignas(64) std::atomic<std::uint64_t> completed_{0};
    Node* nodes_ = nullptr;
    Guide* guides_ = nullptr;
    Evaluator* evaluator_ = nullptr;
    double exploration_ = kDefaultExploration;
    double c_puct_ = kDefaultCPuct;
    double dirichlet_alpha_ = 0;
    double dirichlet_fraction_ = 0;
    std::uint32_t capacity_ = 0;
    std::uint32_t used_ = 0;
    int thread_ = 0;
    std::array<float, kCells> clean_priors_{};
    std::vector<Path> slots_ = std::vector<Path>(1);  // pending guided descents
    Rng rng_;
    std::array<std::uint32_t, kCells + 1> path_{};  // nodes of a simulation; path_[0] is the root
    // The root's priors before noise (clean_priors_), once noise has been mixed into them.
    bool has_clean_priors_ = false;
};

}  // namespace nonagame::mcts::detail
