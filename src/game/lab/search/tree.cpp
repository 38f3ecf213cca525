#include "search/tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "playout.hpp"

namespace nonagame::mcts::detail {

namespace {

constexpr Node kEmptyNode{0, 0, 0, 0, -1, 0, Proof::Unknown, 0};

std::int8_t other(std::int8_t player) { return player == 1 ? 2 : 1; }

}  // namespace

Proof proof_from_children(const Node* children, int count) {
    bool all_proven = true;
    bool any_draw = false;
    for (int i = 0; i < count; ++i) {
        switch (children[i].proof) {
            case Proof::Win: return Proof::Loss;  // the player to move here takes it
            case Proof::Unknown: all_proven = false; break;
            case Proof::Draw: any_draw = true; break;
            case Proof::Loss: break;
        }
    }
    if (!all_proven) return Proof::Unknown;
    return any_draw ? Proof::Draw : Proof::Win;
}

void Tree::attach(Node* nodes, std::uint32_t capacity, const Rng& rng, double exploration) {
    nodes_ = nodes;
    capacity_ = capacity;
    rng_ = rng;
    exploration_ = exploration;
    clear();
}

void Tree::clear() {
    nodes_[0] = kEmptyNode;
    used_ = 1;
    done_.store(0, std::memory_order_relaxed);
}

void Tree::prepare(const GameRecord& root) {
    if (nodes_[0].first_child == 0) expand(0, root);
}

bool Tree::expand(std::uint32_t index, const GameRecord& game) noexcept {
    const CellSet moves = legal_cells(game);
    const auto count = static_cast<std::uint32_t>(moves.size());
    if (count == 0 || count > capacity_ - used_) return false;
    Node& node = nodes_[index];
    node.first_child = used_;
    node.child_count = static_cast<std::uint8_t>(count);
    Node* out = nodes_ + used_;
    moves.for_each([&out](int cell) {
        *out = kEmptyNode;
        out->cell = static_cast<std::int8_t>(cell);
        ++out;
    });
    used_ += count;
    return true;
}

std::uint32_t Tree::select(const Node& parent) const noexcept {
    const Node* children = nodes_ + parent.first_child;
    const double log_visits = std::log(static_cast<double>(std::max<std::uint32_t>(parent.visits, 1)));
    std::uint32_t best = 0;
    double best_score = -std::numeric_limits<double>::infinity();
    for (std::uint32_t i = 0; i < parent.child_count; ++i) {
        const Node& child = children[i];
        // A proven child teaches nothing more: lost, it is never played; drawn, the parent
        // already counts on it (capped). An unproven parent has no child proven won.
        if (child.proof != Proof::Unknown) continue;
        if (child.visits == 0) return parent.first_child + i;
        const auto visits = static_cast<double>(child.visits);
        const double score = child_mean(child) + exploration_ * std::sqrt(log_visits / visits);
        if (score > best_score) {
            best_score = score;
            best = i;
        }
    }
    // An unproven parent has an unproven child, so best names one.
    return parent.first_child + best;
}

Tree::Leaf Tree::descend(GameRecord& game) noexcept {
    std::uint32_t index = 0;
    int depth = 0;
    for (;;) {
        // A fresh leaf is played out; a visited one is expanded unless the pool is full.
        if (nodes_[index].first_child == 0 && ((index != 0 && nodes_[index].visits == 0) || !expand(index, game))) {
            const std::int8_t mover = other(game.next_player);
            const std::int8_t winner = play_random_to_end(game, rng_);
            return {depth, winner == 0 ? 0 : winner == mover ? 1 : -1, false};
        }
        index = select(nodes_[index]);
        path_[++depth] = index;
        Node& child = nodes_[index];
        if (child.proof != Proof::Unknown) return {depth, proof_value(child.proof), false};  // not selected
        const std::int8_t mover = game.next_player;
        play_legal(game, child.cell);
        if (game.available.empty()) {
            // Only the mover can complete a line, so a finished game is won by them or drawn.
            child.proof = game.winner == mover ? Proof::Win : Proof::Draw;
            return {depth, proof_value(child.proof), true};
        }
    }
}

void Tree::backup(const Leaf& leaf) noexcept {
    ++nodes_[path_[leaf.depth]].ended;
    int value = leaf.value;
    bool proven = leaf.proven;
    for (int d = leaf.depth; d >= 0; --d) {
        Node& node = nodes_[path_[d]];
        ++node.visits;
        node.score += value;
        value = -value;
        if (proven && d < leaf.depth) {
            // The child on the path has just been proven: so may this node be.
            node.proof = proof_from_children(nodes_ + node.first_child, node.child_count);
            proven = node.proof != Proof::Unknown;
            if (!proven && nodes_[path_[d + 1]].proof == Proof::Draw) node.capped = 1;
        }
    }
}

void Tree::simulate(const GameRecord& root) noexcept {
    GameRecord game = root;
    backup(descend(game));
}

std::uint64_t Tree::run(const GameRecord& root, const RunLimits& limits) noexcept {
    std::uint64_t done = 0;
    done_.store(0, std::memory_order_relaxed);
    while (done < limits.quota) {
        if (nodes_[0].proof != Proof::Unknown) {
            limits.solved->store(true, std::memory_order_relaxed);
            break;
        }
        if (limits.solved->load(std::memory_order_relaxed)) break;
        if (limits.stop != nullptr && limits.stop->load(std::memory_order_relaxed)) break;
        if (limits.timed && done % 8 == 0 && std::chrono::steady_clock::now() >= limits.deadline) break;
        if (nodes_[0].visits >= kMaxRootVisits) break;
        simulate(root);
        ++done;
        done_.store(done, std::memory_order_relaxed);
    }
    return done;
}

void Tree::advance(int cell) {
    const Node root = nodes_[0];
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < root.child_count; ++i) {
        if (nodes_[root.first_child + i].cell == cell) kept = root.first_child + i;
    }
    if (kept == 0) {
        clear();
        return;
    }
    // The child blocks of the kept subtree. Every block lies after the block holding its
    // parent, and blocks do not overlap; moving them in pool order, each to the next free
    // slot, therefore moves each one down and never over a block still to be moved.
    struct Block {
        std::uint32_t old_start;
        std::uint32_t count;
        std::uint32_t new_start;
    };
    std::vector<Block> blocks;
    std::vector<std::uint32_t> pending{kept};
    while (!pending.empty()) {
        const Node& node = nodes_[pending.back()];
        pending.pop_back();
        if (node.first_child == 0) continue;
        blocks.push_back({node.first_child, node.child_count, 0});
        for (std::uint32_t i = 0; i < node.child_count; ++i) pending.push_back(node.first_child + i);
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const Block& a, const Block& b) { return a.old_start < b.old_start; });
    nodes_[0] = nodes_[kept];  // slot 0 belongs to no block
    std::uint32_t next = 1;
    for (Block& block : blocks) {
        block.new_start = next;
        std::memmove(nodes_ + next, nodes_ + block.old_start, sizeof(Node) * block.count);
        next += block.count;
    }
    used_ = next;
    // Every moved node still names its children by their old start.
    for (std::uint32_t i = 0; i < used_; ++i) {
        Node& node = nodes_[i];
        if (node.first_child == 0) continue;
        const auto found = std::lower_bound(
            blocks.begin(), blocks.end(), node.first_child,
            [](const Block& block, std::uint32_t start) { return block.old_start < start; });
        node.first_child = found->new_start;
    }
}

namespace {

// Faults of a node that ended simulations or was never visited.
std::string check_counts(const Node& node, bool is_root) {
    if (node.ended > node.visits) return "more simulations ended here than visits";
    if (static_cast<std::uint32_t>(node.score < 0 ? -node.score : node.score) > node.visits) {
        return "score beyond its visits";
    }
    if (!is_root && node.visits == 0 &&
        (node.first_child != 0 || node.score != 0 || node.proof != Proof::Unknown || node.capped != 0)) {
        return "unvisited but not fresh";
    }
    return {};
}

// Faults of a node whose game is over: never expanded, proven as its result once visited.
std::string check_finished(const Node& node, const GameRecord& game) {
    if (node.first_child != 0) return "finished game expanded";
    if (node.visits != node.ended) return "finished game visits differ from simulations ended";
    if (node.visits == 0) return node.proof == Proof::Unknown ? "" : "unvisited finished game proven";
    if (game.winner == game.next_player) return "finished game won by the player to move";
    const Proof expected = game.winner == 0 ? Proof::Draw : Proof::Win;
    return node.proof == expected ? "" : "finished game with a wrong proof";
}

// Faults of an expanded node against its children (which lie inside the used part).
std::string check_children(const Node& node, const Node* children, const GameRecord& game) {
    const CellSet moves = legal_cells(game);
    if (node.child_count != moves.size()) return "children differ from the legal moves";
    int i = 0;
    bool cells_match = true;
    moves.for_each([&](int cell) { cells_match = cells_match && children[i++].cell == cell; });
    if (!cells_match) return "children differ from the legal moves";
    std::uint64_t child_visits = 0;
    bool any_draw = false;
    for (int k = 0; k < node.child_count; ++k) {
        child_visits += children[k].visits;
        any_draw = any_draw || children[k].proof == Proof::Draw;
    }
    if (node.visits != node.ended + child_visits) {
        return "visits " + std::to_string(node.visits) + " != ended " + std::to_string(node.ended) +
               " + children's " + std::to_string(child_visits);
    }
    if (node.proof != proof_from_children(children, node.child_count)) return "proof differs from the children's";
    if (node.proof == Proof::Unknown && node.capped != (any_draw ? 1 : 0)) return "cap differs from the children's";
    return {};
}

// Faults of node index of a tree whose first used nodes are nodes[0, used).
std::string check_node(const Node* nodes, std::uint32_t used, std::uint32_t index, const GameRecord& game) {
    const Node& node = nodes[index];
    std::string fault = check_counts(node, index == 0);
    if (!fault.empty()) return fault;
    if (game.available.empty()) return check_finished(node, game);
    if (node.first_child == 0) {
        if (node.proof != Proof::Unknown || node.capped != 0) return "leaf in play proven or capped";
        return node.visits == node.ended ? "" : "leaf visits differ from simulations ended";
    }
    if (node.first_child >= used || node.child_count > used - node.first_child) {
        return "children outside the pool's used part";
    }
    return check_children(node, nodes + node.first_child, game);
}

}  // namespace

std::string Tree::check(const GameRecord& root) const {
    if (used_ < 1 || used_ > capacity_) return "pool use " + std::to_string(used_) + " out of range";
    std::vector<bool> seen(used_, false);
    seen[0] = true;
    std::uint32_t reached = 1;
    struct Frame {
        std::uint32_t index;
        GameRecord game;
    };
    std::vector<Frame> pending{{0, root}};
    while (!pending.empty()) {
        const Frame frame = pending.back();
        pending.pop_back();
        const Node& node = nodes_[frame.index];
        const std::string fault = check_node(nodes_, used_, frame.index, frame.game);
        if (!fault.empty()) return "node " + std::to_string(frame.index) + ": " + fault;
        if (frame.game.available.empty() || node.first_child == 0) continue;
        for (std::uint32_t k = 0; k < node.child_count; ++k) {
            const std::uint32_t child = node.first_child + k;
            if (seen[child]) return "node " + std::to_string(child) + " reached twice";
            seen[child] = true;
            ++reached;
            Frame next{child, frame.game};
            play_legal(next.game, nodes_[child].cell);
            pending.push_back(next);
        }
    }
    if (reached != used_) return "pool holds " + std::to_string(used_ - reached) + " unreachable nodes";
    return {};
}

}  // namespace nonagame::mcts::detail
