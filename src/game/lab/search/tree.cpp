#include "search/tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

#include "playout.hpp"

namespace nonagame::mcts::detail {

namespace {

constexpr Node kEmptyNode{0, 0, 0, 0, -1, 0, Proof::Unknown, 0};

std::int8_t other(std::int8_t player) { return player == 1 ? 2 : 1; }

// A standard normal draw (Box-Muller; 1 - unit() lies in (0, 1], so the logarithm is finite).
double normal_draw(Rng& rng) {
    const double radius = std::sqrt(-2.0 * std::log(1.0 - rng.unit()));
    return radius * std::cos(2.0 * std::numbers::pi * rng.unit());
}

// A Gamma(alpha, 1) draw, alpha > 0 (Marsaglia and Tsang; boosted by U^(1/alpha) below 1).
double gamma_draw(Rng& rng, double alpha) {
    if (alpha < 1.0) return gamma_draw(rng, alpha + 1.0) * std::pow(rng.unit(), 1.0 / alpha);
    const double d = alpha - 1.0 / 3.0;
    const double c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
        const double x = normal_draw(rng);
        double v = 1.0 + c * x;
        if (v <= 0) continue;
        v = v * v * v;
        const double u = rng.unit();
        if (u < 1.0 - 0.0331 * x * x * x * x) return d * v;
        if (u > 0 && std::log(u) < 0.5 * x * x + d * (1.0 - v + std::log(v))) return d * v;
    }
}

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

void Tree::attach(Node* nodes, Guide* guides, std::uint32_t capacity, const Rng& rng, const SearchConfig& config,
                  int thread) {
    nodes_ = nodes;
    guides_ = guides;
    capacity_ = capacity;
    rng_ = rng;
    exploration_ = config.exploration;
    c_puct_ = config.c_puct;
    dirichlet_alpha_ = config.dirichlet_alpha;
    dirichlet_fraction_ = config.dirichlet_fraction;
    evaluator_ = config.evaluator;
    thread_ = thread;
    clear();
}

void Tree::clear() {
    nodes_[0] = kEmptyNode;
    if (guides_ != nullptr) guides_[0] = Guide{0, 0};
    used_ = 1;
    has_clean_priors_ = false;
    completed_.store(0, std::memory_order_relaxed);
}

void Tree::prepare(const GameRecord& root) {
    if (nodes_[0].first_child == 0) {
        if (guides_ == nullptr) {
            expand(0, root);
        } else if (evaluator_ != nullptr && needs_root(root)) {
            std::array<float, kCells> priors{};
            evaluator_->evaluate(root, priors.data(), thread_);
            expand_root(root, priors.data());
        }
    }
    if (guides_ != nullptr && dirichlet_fraction_ > 0 && nodes_[0].first_child != 0) add_root_noise();
}

bool Tree::needs_root(const GameRecord& root) const {
    return guides_ != nullptr && nodes_[0].first_child == 0 && !root.available.empty() && !legal_cells(root).empty();
}

void Tree::expand_root(const GameRecord& root, const float* priors) noexcept {
    if (nodes_[0].first_child == 0) expand(0, root, priors);
    has_clean_priors_ = false;
}

std::array<float, kCells> Tree::root_priors() const {
    std::array<float, kCells> out{};
    if (guides_ == nullptr) return out;
    const Node& root = nodes_[0];
    for (std::uint32_t i = 0; i < root.child_count; ++i) {
        const Node& child = nodes_[root.first_child + i];
        out[static_cast<std::size_t>(child.cell)] = has_clean_priors_ ? clean_priors_[i] : guides_[root.first_child + i].prior;
    }
    return out;
}

void Tree::add_root_noise() {
    const Node& root = nodes_[0];
    Guide* children = guides_ + root.first_child;
    if (!has_clean_priors_) {
        for (std::uint32_t i = 0; i < root.child_count; ++i) clean_priors_[i] = children[i].prior;
        has_clean_priors_ = true;
    }
    std::array<double, kCells> noise{};
    double total = 0;
    for (std::uint32_t i = 0; i < root.child_count; ++i) {
        noise[i] = gamma_draw(rng_, dirichlet_alpha_);
        total += noise[i];
    }
    // A draw that underflows everywhere (a tiny alpha) leaves the priors clean.
    const double fraction = total > 0 && std::isfinite(total) ? dirichlet_fraction_ : 0.0;
    for (std::uint32_t i = 0; i < root.child_count; ++i) {
        const double mixed = (1.0 - fraction) * clean_priors_[i] + (fraction > 0 ? fraction * noise[i] / total : 0.0);
        children[i].prior = static_cast<float>(mixed);
    }
}

bool Tree::expand(std::uint32_t index, const GameRecord& game, const float* priors) noexcept {
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
    if (guides_ != nullptr) {
        // Priors normalised over the legal cells; uniform when they say nothing usable.
        double total = 0;
        if (priors != nullptr) {
            moves.for_each([&](int cell) {
                const float p = priors[cell];
                total += p > 0 ? static_cast<double>(p) : 0.0;  // NaN counts as 0 here, and below
            });
        }
        const bool usable = total > 0 && std::isfinite(total);
        Guide* guide = guides_ + used_;
        moves.for_each([&](int cell) {
            const float p = usable ? priors[cell] : 0.0F;
            const double share = usable ? (p > 0 ? p / total : 0.0) : 1.0 / count;
            *guide++ = Guide{0, static_cast<float>(share)};
        });
    }
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

std::uint32_t Tree::select_guided(std::uint32_t parent_index) const noexcept {
    const Node& parent = nodes_[parent_index];
    const Node* children = nodes_ + parent.first_child;
    const Guide* guides = guides_ + parent.first_child;
    const auto parent_visits = static_cast<double>(parent.visits);
    const double scale = c_puct_ * std::sqrt(std::max(parent_visits, 1.0));
    // First-play urgency: the parent's mean for the player to move there.
    const double urgency = parent.visits == 0 ? 0.0 : -value_sum(parent_index) / parent_visits;
    std::uint32_t best = 0;
    double best_score = -std::numeric_limits<double>::infinity();
    for (std::uint32_t i = 0; i < parent.child_count; ++i) {
        const Node& child = children[i];
        if (child.proof != Proof::Unknown) continue;  // as in select()
        const double q = child.visits == 0 ? urgency : mean(parent.first_child + i);
        const double score = q + scale * guides[i].prior / (1.0 + child.visits);
        if (score > best_score) {
            best_score = score;
            best = i;
        }
    }
    return parent.first_child + best;
}

bool Tree::begin(GameRecord& game, int slot, bool virtual_loss) noexcept {
    Path& path = slots_[static_cast<std::size_t>(slot)];
    path.nodes[0] = 0;
    path.depth = 0;
    std::uint32_t index = 0;
    while (nodes_[index].first_child != 0) {
        index = select_guided(index);
        path.nodes[static_cast<std::size_t>(++path.depth)] = index;
        Node& child = nodes_[index];
        if (child.proof != Proof::Unknown) {  // not selected
            backup_guided(path, proof_value(child.proof), false);
            return false;
        }
        const std::int8_t mover = game.next_player;
        play_legal(game, child.cell);
        if (game.available.empty()) {
            child.proof = game.winner == mover ? Proof::Win : Proof::Draw;
            backup_guided(path, proof_value(child.proof), true);
            return false;
        }
    }
    if (virtual_loss) lose_virtually(path, 1);
    return true;
}

void Tree::lose_virtually(const Path& path, int sign) noexcept {
    for (int d = 0; d <= path.depth; ++d) {
        const std::uint32_t index = path.nodes[static_cast<std::size_t>(d)];
        nodes_[index].visits = static_cast<std::uint32_t>(static_cast<std::int64_t>(nodes_[index].visits) + sign);
        nodes_[index].score += sign;
    }
}

void Tree::complete(const GameRecord& leaf, const float* priors, float value, int slot, bool virtual_loss) noexcept {
    const Path& path = slots_[static_cast<std::size_t>(slot)];
    if (virtual_loss) lose_virtually(path, -1);
    const std::uint32_t index = path.nodes[static_cast<std::size_t>(path.depth)];
    // A leaf reached by two pending descents is expanded by the first to complete; a full
    // pool leaves it as it is.
    if (nodes_[index].first_child == 0) expand(index, leaf, priors);
    const double v = std::isfinite(value) ? std::clamp(static_cast<double>(value), -1.0, 1.0) : 0.0;
    // The value is for the player to move at the leaf; sums are for the player who moved in.
    backup_guided(path, -v, false);
}

void Tree::abandon(int slot) noexcept { lose_virtually(slots_[static_cast<std::size_t>(slot)], -1); }

void Tree::set_slots(int count) { slots_.resize(static_cast<std::size_t>(std::max(count, 1))); }

void Tree::simulate_guided(const GameRecord& root) noexcept {
    GameRecord game = root;
    if (!begin(game)) return;
    std::array<float, kCells> priors{};
    const float value = evaluator_->evaluate(game, priors.data(), thread_);
    complete(game, priors.data(), value);
}

Tree::DescentEnd Tree::descend(GameRecord& game) noexcept {
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

// The child on the path below depth d has just been proven: so may the node at d be.
inline void Tree::prove_up(const std::uint32_t* path, int d, bool& proven) noexcept {
    Node& node = nodes_[path[d]];
    node.proof = proof_from_children(nodes_ + node.first_child, node.child_count);
    proven = node.proof != Proof::Unknown;
    if (!proven && nodes_[path[d + 1]].proof == Proof::Draw) node.has_drawn_child = 1;
}

void Tree::backup(const DescentEnd& end) noexcept {
    ++nodes_[path_[end.depth]].stopped_here;
    int value = end.value;
    bool proven = end.proven;
    for (int d = end.depth; d >= 0; --d) {
        Node& node = nodes_[path_[d]];
        ++node.visits;
        node.score += value;
        value = -value;
        if (proven && d < end.depth) prove_up(path_.data(), d, proven);
    }
}

void Tree::backup_guided(const Path& path, double value, bool proven) noexcept {
    const std::uint32_t* nodes = path.nodes.data();
    ++nodes_[nodes[path.depth]].stopped_here;
    for (int d = path.depth; d >= 0; --d) {
        ++nodes_[nodes[d]].visits;
        guides_[nodes[d]].value_sum += value;
        value = -value;
        if (proven && d < path.depth) prove_up(nodes, d, proven);
    }
}

void Tree::simulate(const GameRecord& root) noexcept {
    GameRecord game = root;
    backup(descend(game));
}

namespace {

// The limits that need the clock, read every 8 simulations: whether the deadline has passed,
// or the caller's hook, called when due, raised the stop flag (no simulation after it).
bool clock_stops(const RunLimits& limits) noexcept {
    const auto now = std::chrono::steady_clock::now();
    if (limits.timed && now >= limits.deadline) return true;
    if (limits.poll == nullptr || now < *limits.next_poll) return false;
    const auto interval = limits.poll(limits.poll_context);
    *limits.next_poll = std::chrono::steady_clock::now() + interval;
    return limits.stop != nullptr && limits.stop->load(std::memory_order_relaxed);
}

}  // namespace

std::uint64_t Tree::run(const GameRecord& root, const RunLimits& limits) noexcept {
    std::uint64_t completed = 0;
    completed_.store(0, std::memory_order_relaxed);
    while (completed < limits.quota) {
        if (nodes_[0].proof != Proof::Unknown) {
            limits.solved->store(true, std::memory_order_relaxed);
            break;
        }
        if (limits.solved->load(std::memory_order_relaxed)) break;
        if (limits.stop != nullptr && limits.stop->load(std::memory_order_relaxed)) break;
        if ((limits.timed || limits.poll != nullptr) && completed % 8 == 0 && clock_stops(limits)) break;
        if (nodes_[0].visits >= kMaxRootVisits) break;
        if (guides_ == nullptr) {
            simulate(root);
        } else {
            simulate_guided(root);
        }
        ++completed;
        completed_.store(completed, std::memory_order_relaxed);
    }
    return completed;
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
    if (guides_ != nullptr) guides_[0] = guides_[kept];
    std::uint32_t next = 1;
    for (Block& block : blocks) {
        block.new_start = next;
        std::memmove(nodes_ + next, nodes_ + block.old_start, sizeof(Node) * block.count);
        if (guides_ != nullptr) std::memmove(guides_ + next, guides_ + block.old_start, sizeof(Guide) * block.count);
        next += block.count;
    }
    has_clean_priors_ = false;  // the new root's children never had noise
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
    if (node.stopped_here > node.visits) return "more simulations ended here than visits";
    if (static_cast<std::uint32_t>(node.score < 0 ? -node.score : node.score) > node.visits) {
        return "score beyond its visits";
    }
    if (!is_root && node.visits == 0 &&
        (node.first_child != 0 || node.score != 0 || node.proof != Proof::Unknown || node.has_drawn_child != 0)) {
        return "unvisited but not fresh";
    }
    return {};
}

// Faults of a node whose game is over: never expanded, proven as its result once visited.
std::string check_finished(const Node& node, const GameRecord& game) {
    if (node.first_child != 0) return "finished game expanded";
    if (node.visits != node.stopped_here) return "finished game visits differ from simulations ended";
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
    if (node.visits != node.stopped_here + child_visits) {
        return "visits " + std::to_string(node.visits) + " != stopped here " + std::to_string(node.stopped_here) +
               " + children's " + std::to_string(child_visits);
    }
    if (node.proof != proof_from_children(children, node.child_count)) return "proof differs from the children's";
    if (node.proof == Proof::Unknown && node.has_drawn_child != (any_draw ? 1 : 0)) return "drawn-child mark differs from the children's";
    return {};
}

// Faults of node index of a tree whose first used nodes are nodes[0, used).
std::string check_node(const Node* nodes, std::uint32_t used, std::uint32_t index, const GameRecord& game) {
    const Node& node = nodes[index];
    std::string fault = check_counts(node, index == 0);
    if (!fault.empty()) return fault;
    if (game.available.empty()) return check_finished(node, game);
    if (node.first_child == 0) {
        if (node.proof != Proof::Unknown || node.has_drawn_child != 0) return "leaf in play proven or with a drawn child";
        return node.visits == node.stopped_here ? "" : "leaf visits differ from simulations ended";
    }
    if (node.first_child >= used || node.child_count > used - node.first_child) {
        return "children outside the pool's used part";
    }
    return check_children(node, nodes + node.first_child, game);
}

// Faults of a guided node (already checked as a node): its value sum within its visits,
// its children's priors finite, not negative and summing to 1.
std::string check_guides(const Node* nodes, const Guide* guides, std::uint32_t index) {
    const Node& node = nodes[index];
    const double sum = guides[index].value_sum;
    if (!std::isfinite(sum) || std::abs(sum) > node.visits * (1.0 + 1e-9)) return "value sum beyond its visits";
    if (node.visits == 0 && sum != 0) return "unvisited but with a value";
    if (node.first_child == 0) return {};
    double total = 0;
    for (std::uint32_t k = 0; k < node.child_count; ++k) {
        const float prior = guides[node.first_child + k].prior;
        if (!std::isfinite(prior) || prior < 0) return "a child's prior is not a probability";
        total += prior;
    }
    return std::abs(total - 1.0) <= 1e-4 ? "" : "children's priors sum to " + std::to_string(total);
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
        std::string fault = check_node(nodes_, used_, frame.index, frame.game);
        if (fault.empty() && guides_ != nullptr) fault = check_guides(nodes_, guides_, frame.index);
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
