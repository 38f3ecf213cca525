#include "search/mcts.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <stdexcept>
#include <thread>

#include "fault.hpp"
#include "playout.hpp"
#include "search/tree.hpp"

namespace nonagame::mcts {

namespace {

using detail::Node;
using detail::Tree;
using Clock = std::chrono::steady_clock;

// A longer time limit is no limit at all in practice, and keeps the deadline representable.
constexpr double kMaxSeconds = 1e9;

// Waits until running (guarded by mutex, signalled through finished) is 0, calling the
// budget's poll hook each time it is due meanwhile.
void wait_polling(std::mutex& mutex, std::condition_variable& finished, const std::uint64_t& running,
                  const Budget& budget, Clock::time_point& next_poll) {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_until(lock, next_poll, [&] { return running == 0; })) {
        lock.unlock();
        next_poll = Clock::now() + budget.poll(budget.poll_context);
        lock.lock();
    }
}

bool same_position(const GameRecord& a, const GameRecord& b) {
    return a.available == b.available && a.next_player == b.next_player && a.next_roster == b.next_roster &&
           a.board == b.board && a.rosters == b.rosters && a.winner == b.winner;
}

GameRecord after(const GameRecord& game, int cell) {
    GameRecord next = game;
    play_legal(next, cell);
    return next;
}

struct Candidate {
    int cell;
    std::uint32_t visits;
    double value;
    Proof proof;
};

struct Candidates {
    std::array<Candidate, kCells> items;
    int count = 0;

    void add(const Candidate& candidate) { items[count++] = candidate; }
};

Candidates children_of(const Tree& tree, const Node& node) {
    Candidates candidates{};
    for (std::uint32_t i = 0; i < node.child_count; ++i) {
        const Node& child = tree.node(node.first_child + i);
        if (child.visits == 0) continue;
        const double value =
            child.proof != Proof::Unknown ? detail::proof_value(child.proof) : tree.mean(node.first_child + i);
        candidates.add({child.cell, child.visits, value, child.proof});
    }
    return candidates;
}

bool more_visited(const Candidate& a, const Candidate& b) {
    if (a.visits != b.visits) return a.visits > b.visits;
    if (a.value != b.value) return a.value > b.value;
    return a.cell < b.cell;
}

// The proven win to play, preferring one that ends the game, or nullptr.
const Candidate* pick_win(const Candidates& candidates, const GameRecord& position) {
    const Candidate* best = nullptr;
    bool best_ends = false;
    for (int i = 0; i < candidates.count; ++i) {
        const Candidate& c = candidates.items[i];
        if (c.proof != Proof::Win) continue;
        const bool ends = after(position, c.cell).available.empty();
        if (best == nullptr || (ends && !best_ends) || (ends == best_ends && more_visited(c, *best))) {
            best = &c;
            best_ends = ends;
        }
    }
    return best;
}

// The move to play among candidates: a proven win; else the most visited unproven move,
// unless a proven draw is available and that move's value is not above 0; else a proven
// draw; else (every move proven lost) the most visited move. Ties go to the higher value,
// then to the lower cell.
int pick(const Candidates& candidates, const GameRecord& position) {
    if (const Candidate* win = pick_win(candidates, position)) return win->cell;
    std::array<const Candidate*, 4> best{};  // per Proof
    for (int i = 0; i < candidates.count; ++i) {
        const Candidate& c = candidates.items[i];
        const Candidate*& slot = best[static_cast<std::size_t>(c.proof)];
        if (slot == nullptr || more_visited(c, *slot)) slot = &c;
    }
    const Candidate* open = best[static_cast<std::size_t>(Proof::Unknown)];
    const Candidate* draw = best[static_cast<std::size_t>(Proof::Draw)];
    const Candidate* lost = best[static_cast<std::size_t>(Proof::Loss)];
    if (draw != nullptr && (open == nullptr || open->value <= 0)) return draw->cell;
    if (open != nullptr) return open->cell;
    return lost == nullptr ? -1 : lost->cell;
}

// The index of the child of node for cell, or 0 when node has none.
std::uint32_t child_for(const Tree& tree, const Node& node, int cell) {
    for (std::uint32_t i = 0; i < node.child_count; ++i) {
        if (tree.node(node.first_child + i).cell == cell) return node.first_child + i;
    }
    return 0;
}

// count entries of the pool, left uninitialised (they are trivial: no page is touched here).
template <class T>
std::unique_ptr<T[], detail::PoolRelease> pool_array(std::size_t count) {
    detail::PoolRelease release;
    T* data = static_cast<T*>(detail::pool_allocate(sizeof(T) * count, release));
    std::uninitialized_default_construct_n(data, count);
    return std::unique_ptr<T[], detail::PoolRelease>(data, release);
}

// The sum of value(tree) over the first count trees (one a thread).
template <class Value>
std::uint64_t sum_over_trees(const Tree* trees, int count, Value value) {
    std::uint64_t sum = 0;
    for (int t = 0; t < count; ++t) sum += value(trees[t]);
    return sum;
}

}  // namespace

bool is_over(const GameRecord& position) {
    return position.available.empty() || legal_cells(position).empty();
}

Search::Search(const SearchConfig& config) : config_(config), root_(new_game(0, false)) {
    if (config.threads < 1 || config.threads > kMaxThreads) {
        throw std::invalid_argument("threads must be between 1 and " + std::to_string(kMaxThreads));
    }
    if (!std::isfinite(config.exploration) || config.exploration < 0) {
        throw std::invalid_argument("exploration must be finite and not negative");
    }
    if (!std::isfinite(config.c_puct) || config.c_puct < 0) {
        throw std::invalid_argument("c_puct must be finite and not negative");
    }
    if (!std::isfinite(config.dirichlet_alpha) || config.dirichlet_alpha <= 0) {
        throw std::invalid_argument("dirichlet_alpha must be finite and above 0");
    }
    if (!(config.dirichlet_fraction >= 0 && config.dirichlet_fraction <= 1)) {
        throw std::invalid_argument("dirichlet_fraction must be in 0..1");
    }
    if (!std::isfinite(config.temperature) || config.temperature < 0) {
        throw std::invalid_argument("temperature must be finite and not negative");
    }
    const auto threads = static_cast<std::uint32_t>(config.threads);
    const std::uint32_t share = std::max(kMinTreeNodes, config.pool_nodes / threads);
    pool_ = pool_array<Node>(std::size_t{share} * threads);
    if (config.guided && config.threads != 1 && config.evaluator == nullptr) {
        throw std::invalid_argument("a search evaluated by its caller runs on one thread");
    }
    if (config.evaluator != nullptr || config.guided) guides_ = pool_array<detail::Guide>(std::size_t{share} * threads);
    trees_ = std::make_unique<Tree[]>(threads);
    for (std::uint32_t t = 0; t < threads; ++t) {
        detail::Guide* guides = guides_ ? guides_.get() + std::size_t{share} * t : nullptr;
        trees_[t].attach(pool_.get() + std::size_t{share} * t, guides, share, Rng(config.seed, t), config,
                         static_cast<int>(t));
    }
    // Beyond every tree's stream, so that the draws of moves never shift a tree's own.
    move_rng_ = Rng(config.seed, kMaxThreads + 1);
}

Search::~Search() = default;
Search::Search(Search&&) noexcept = default;
Search& Search::operator=(Search&&) noexcept = default;

void Search::set_position(const GameRecord& position) {
    GameRecord target = position;
    target.log_enabled = false;  // the search never logs, but a copy handed on should not either
    if (same_position(target, root_)) {
        root_ = target;
        return;
    }
    int first = -1;
    int second = -1;
    if (!is_over(root_)) {
        const CellSet moves = legal_cells(root_);
        moves.for_each([&](int cell) {
            if (first < 0 && same_position(after(root_, cell), target)) first = cell;
        });
        if (first < 0) {
            moves.for_each([&](int cell) {
                const GameRecord child = after(root_, cell);
                if (second >= 0 || is_over(child)) return;
                legal_cells(child).for_each([&](int reply) {
                    if (second < 0 && same_position(after(child, reply), target)) {
                        first = cell;
                        second = reply;
                    }
                });
            });
        }
    }
    if (first >= 0) {
        advance(first);
        if (second >= 0) advance(second);
    } else {
        clear();
    }
    root_ = target;
}

void Search::advance(int cell) {
    if (cell < 0 || cell >= kCells || is_over(root_) || !legal_cells(root_).contains(cell)) {
        throw std::invalid_argument("cell " + std::to_string(cell) + " is not a legal move at the root");
    }
    for (int t = 0; t < config_.threads; ++t) trees_[t].advance(cell);
    play_legal(root_, cell);
}

void Search::clear() {
    for (int t = 0; t < config_.threads; ++t) trees_[t].clear();
}

SearchResult Search::run(const Budget& budget) {
    if (is_over(root_)) throw std::invalid_argument("the game is over: there is no move to search");
    if (!budget.simulations && !budget.seconds && budget.stop == nullptr) {
        throw std::invalid_argument("the search has no limit: give simulations, seconds or a stop flag");
    }
    if (budget.seconds && !(*budget.seconds >= 0 && *budget.seconds <= std::numeric_limits<double>::max())) {
        throw std::invalid_argument("seconds must be finite and not negative");
    }
    const Clock::time_point start = Clock::now();
    const auto threads = static_cast<std::uint64_t>(config_.threads);
    std::atomic<bool> halt{false};
    std::array<detail::RunLimits, kMaxThreads> limits{};
    for (std::uint64_t t = 0; t < threads; ++t) {
        detail::RunLimits& own = limits[t];
        own.quota = UINT64_MAX;
        if (budget.simulations) own.quota = *budget.simulations / threads + (t < *budget.simulations % threads);
        if (budget.seconds) {
            own.timed = true;
            own.deadline = start + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(std::min(*budget.seconds, kMaxSeconds)));
        }
        own.stop = budget.stop;
        own.solved = &halt;
        trees_[t].prepare(root_);
    }
    Clock::time_point next_poll = start + budget.poll_after;
    if (budget.poll != nullptr) {  // the calling thread's tree calls the hook
        limits[0].poll = budget.poll;
        limits[0].poll_context = budget.poll_context;
        limits[0].next_poll = &next_poll;
    }
    if (threads == 1) {
        trees_[0].run(root_, limits[0]);
    } else {
        std::mutex mutex;
        std::condition_variable finished;
        std::uint64_t running = threads - 1;
        std::vector<std::jthread> workers;
        try {
            workers.reserve(threads - 1);
            for (std::uint64_t t = 1; t < threads; ++t) {
                workers.emplace_back([this, &limits, &mutex, &finished, &running, t] {
                    trees_[t].run(root_, limits[t]);
                    {
                        const std::lock_guard<std::mutex> lock(mutex);
                        --running;
                    }
                    finished.notify_one();
                });
            }
        } catch (...) {
            halt.store(true);  // the started workers stop at once and are joined
            throw;
        }
        trees_[0].run(root_, limits[0]);
        // The hook keeps being called while the other trees finish their shares.
        if (budget.poll != nullptr) wait_polling(mutex, finished, running, budget, next_poll);
    }  // workers joined here
#if !defined(NDEBUG) || defined(NONAGAME_CHECK_INVARIANTS)
    // Debug and checking builds hold every tree to its invariants after every run.
    if (std::string fault = check_tree(); !fault.empty()) throw Fault("search tree invariant violated: " + fault);
#endif
    SearchResult result = collect();
    if (config_.temperature > 0 && result.best_move >= 0) {
        const int drawn = draw_move(result);
        if (drawn != result.best_move) {
            result.best_move = drawn;
            result.principal_variation = principal_variation(drawn);
        }
    }
    result.simulations = simulations_done();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

SearchResult Search::result() const { return collect(); }

int Search::draw_move(const SearchResult& result) {
    // A proven win is always played; proven losses only when nothing else is left.
    if (result.proofs[static_cast<std::size_t>(result.best_move)] == Proof::Win) return result.best_move;
    std::array<double, kCells> weights{};
    double total = 0;
    const double exponent = 1.0 / config_.temperature;
    for (int cell = 0; cell < kCells; ++cell) {
        const auto c = static_cast<std::size_t>(cell);
        if (result.visits[c] == 0 || result.proofs[c] == Proof::Loss) continue;
        // Relative to the best move's visits, so that a small temperature cannot overflow.
        weights[c] = std::pow(static_cast<double>(result.visits[c]) /
                                  result.visits[static_cast<std::size_t>(result.best_move)],
                              exponent);
        total += weights[c];
    }
    if (!(total > 0) || !std::isfinite(total)) return result.best_move;
    double point = move_rng_.unit() * total;
    for (int cell = 0; cell < kCells; ++cell) {
        const double weight = weights[static_cast<std::size_t>(cell)];
        if (weight > 0 && point < weight) return cell;
        point -= weight;
    }
    return result.best_move;
}

SearchResult Search::collect() const {
    SearchResult result;
    // Sums of integers (playouts) are exact in doubles; guided sums are real numbers.
    std::array<double, kCells> scores{};
    std::array<bool, kCells> has_drawn_child{};
    std::uint64_t total_visits = 0;
    double total_score = 0;
    result.guided = trees_[0].guided();
    if (result.guided) result.priors = trees_[0].root_priors();
    for (int t = 0; t < config_.threads; ++t) {
        const Tree& tree = trees_[t];
        const Node& root = tree.node(0);
        if (root.proof != Proof::Unknown) result.proof = detail::flip(root.proof);
        for (std::uint32_t i = 0; i < root.child_count; ++i) {
            const Node& child = tree.node(root.first_child + i);
            const double score = tree.value_sum(root.first_child + i);
            result.visits[child.cell] += child.visits;
            scores[child.cell] += score;
            has_drawn_child[child.cell] = has_drawn_child[child.cell] || child.has_drawn_child != 0;
            total_visits += child.visits;
            total_score += score;
            if (child.proof != Proof::Unknown) result.proofs[child.cell] = child.proof;
        }
    }
    if (is_over(root_)) return result;

    Candidates candidates{};
    legal_cells(root_).for_each([&](int cell) {
        const Proof proof = result.proofs[cell];
        const std::uint32_t visits = result.visits[cell];
        double value = visits == 0 ? 0.0 : scores[cell] / visits;
        if (has_drawn_child[cell]) value = std::min(value, 0.0);
        if (proof != Proof::Unknown) value = detail::proof_value(proof);
        result.values[cell] = static_cast<float>(value);
        candidates.add({cell, visits, value, proof});
    });
    // Trees prove different moves; together they may prove the root where none did alone.
    if (result.proof == Proof::Unknown) {
        std::array<Node, kCells> merged{};
        for (int i = 0; i < candidates.count; ++i) merged[i].proof = candidates.items[i].proof;
        result.proof = detail::flip(detail::proof_from_children(merged.data(), candidates.count));
    }
    result.value = result.proof != Proof::Unknown ? detail::proof_value(result.proof)
                   : total_visits == 0           ? 0.0
                                                 : total_score / static_cast<double>(total_visits);
    result.best_move = pick(candidates, root_);
    result.principal_variation = principal_variation(result.best_move);
    return result;
}

std::vector<int> Search::principal_variation(int first) const {
    std::vector<int> line{first};
    // Followed in the tree that visited the first move most.
    const Tree* tree = &trees_[0];
    std::uint32_t most = 0;
    for (int t = 0; t < config_.threads; ++t) {
        const std::uint32_t index = child_for(trees_[t], trees_[t].node(0), first);
        if (index != 0 && trees_[t].node(index).visits > most) {
            most = trees_[t].node(index).visits;
            tree = &trees_[t];
        }
    }
    std::uint32_t index = child_for(*tree, tree->node(0), first);
    GameRecord game = after(root_, first);
    while (index != 0 && tree->node(index).first_child != 0 && !is_over(game)) {
        const int cell = pick(children_of(*tree, tree->node(index)), game);
        if (cell < 0) break;
        line.push_back(cell);
        index = child_for(*tree, tree->node(index), cell);
        play_legal(game, cell);
    }
    return line;
}

std::uint64_t Search::simulations_done() const {
    return sum_over_trees(trees_.get(), config_.threads, [](const Tree& tree) { return tree.completed(); });
}

std::uint64_t Search::nodes_used() const {
    return sum_over_trees(trees_.get(), config_.threads, [](const Tree& tree) { return tree.used(); });
}

std::uint64_t Search::pool_capacity() const {
    return sum_over_trees(trees_.get(), config_.threads, [](const Tree& tree) { return tree.capacity(); });
}

std::string Search::check_tree() const {
    for (int t = 0; t < config_.threads; ++t) {
        std::string fault = trees_[t].check(root_);
        if (!fault.empty()) return "tree " + std::to_string(t) + ", " + fault;
    }
    return {};
}

void Search::start_steps(std::uint64_t simulations, int leaves_per_round) {
    abandon_leaves();
    steps_ = Steps{};
    steps_.quota = simulations;
    steps_.per_round = std::max(leaves_per_round, 1);
    steps_.start = Clock::now();
    trees_[0].set_slots(steps_.per_round);
    trees_[0].set_completed(0);
}

void Search::abandon_leaves() {
    if (!steps_.root_pending && steps_.per_round > 1) {
        for (int i = 0; i < steps_.pending; ++i) trees_[0].abandon(i);
    }
    steps_.pending = 0;
    steps_.root_pending = false;
}

int Search::next_leaves(GameRecord* leaves) {
    abandon_leaves();
    Tree& tree = trees_[0];
    if (is_over(root_)) return 0;
    if (tree.needs_root(root_)) {
        leaves[0] = root_;
        steps_.root_pending = true;
        steps_.pending = 1;
        return 1;
    }
    if (!steps_.prepared) {
        tree.prepare(root_);  // noise, as a run mixes it in
        steps_.prepared = true;
    }
    const bool virtual_loss = steps_.per_round > 1;
    int count = 0;
    while (count < steps_.per_round && steps_.done + static_cast<std::uint64_t>(count) < steps_.quota) {
        // The stops of Tree::run, in its order.
        if (tree.node(0).proof != Proof::Unknown || tree.node(0).visits >= detail::kMaxRootVisits) break;
        leaves[count] = root_;
        if (tree.begin(leaves[count], count, virtual_loss)) {
            ++count;
        } else {
            tree.set_completed(++steps_.done);
        }
    }
    steps_.pending = count;
    return count;
}

void Search::give(int index, const GameRecord& leaf, const float* priors, float value) {
    Tree& tree = trees_[0];
    --steps_.pending;
    if (steps_.root_pending) {
        tree.expand_root(root_, priors);
        steps_.root_pending = false;
        return;
    }
    tree.complete(leaf, priors, value, index, steps_.per_round > 1);
    tree.set_completed(++steps_.done);
}

SearchResult Search::step_result() {
#if !defined(NDEBUG) || defined(NONAGAME_CHECK_INVARIANTS)
    if (std::string fault = check_tree(); !fault.empty()) throw Fault("search tree invariant violated: " + fault);
#endif
    SearchResult result = collect();
    if (config_.temperature > 0 && result.best_move >= 0) {
        const int drawn = draw_move(result);
        if (drawn != result.best_move) {
            result.best_move = drawn;
            result.principal_variation = principal_variation(drawn);
        }
    }
    result.simulations = steps_.done;
    result.seconds = std::chrono::duration<double>(Clock::now() - steps_.start).count();
    return result;
}

std::uint32_t pool_for(const SearchConfig& config, std::uint64_t simulations) {
    // A simulation adds at most one block of children: a simulation limit bounds the pool needed.
    if (config.threads < 1 || config.threads > kMaxThreads) return config.pool_nodes;
    const auto threads = static_cast<std::uint64_t>(config.threads);
    const std::uint64_t per_tree = simulations / threads + 1;
    const std::uint64_t needed = kMinTreeNodes + per_tree * kCells;
    if (per_tree < (std::uint64_t{1} << 32) && needed * threads < config.pool_nodes) {
        return static_cast<std::uint32_t>(needed * threads);
    }
    return config.pool_nodes;
}

SearchResult search(const GameRecord& position, const Budget& budget, const SearchConfig& config) {
    SearchConfig sized = config;
    if (budget.simulations) sized.pool_nodes = pool_for(config, *budget.simulations);
    Search search(sized);
    search.set_position(position);
    return search.run(budget);
}

}  // namespace nonagame::mcts
