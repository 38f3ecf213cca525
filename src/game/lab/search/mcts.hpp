// Monte Carlo tree search for nine-board tic-tac-toe: UCT over uniformly random playouts,
// or PUCT guided by an evaluator (a network), with a solver for proven outcomes, a fixed
// node pool and root-parallel threads.
//
// Values. A simulation ends in +1, 0 or -1 for a player (win, draw, loss). Each node keeps
// the sum of the results seen through it from the point of view of the player who made the
// move leading to it, so a parent compares its children's means directly: they are all
// scored for the player to move at the parent. Sums are integers and exact.
//
// Selection. UCT: among the children of a node, an unvisited child is taken first (in
// ascending cell order); otherwise the child maximising mean + c * sqrt(ln N / n), with N
// the parent's visits and n the child's. Means lie in [-1, 1]; the default c is 0.7 on that
// scale (0.35 on a [0, 1] scale), well below the textbook sqrt(2) of [0, 1] rewards: the
// search leans on its means, which suits a tactical game where one move decides. In
// self-play (300 games, 1,000 simulations a move) c = 0.7 scored 56% against 1.4, 57%
// against 1.0 and 58% against 0.5; at 3,000 simulations it was level with 1.0 (200 games).
//
// Guided search. With an evaluator (SearchConfig::evaluator, see evaluator.hpp) there is
// no playout: a simulation descends to a node not yet expanded, asks the evaluator for its
// priors and its value, expands all its children at once with those priors and backs the
// value up. Selection is PUCT: the child maximising
//     Q + c_puct * P * sqrt(max(N, 1)) / (1 + n)
// with P the child's prior, n its visits and N the parent's (at least 1, so that the first
// simulation from a fresh root already follows the priors). Q is the child's mean for the
// player to move at the parent (capped at 0 when it has a drawn child, as below); an
// unvisited child takes its parent's mean for that player (first-play urgency equal to the
// parent's value, no reduction; 0 for a parent not yet visited). A reduction by
// r * sqrt(the priors of the children already visited) was measured with the shipped network
// and kept out: at 1,000 simulations a move r = 0.25 scored 52.2% (generation 290 of its run)
// and 51.0% (generation 261, the root left unreduced) against none, at 4,000 55.5% and 49.5%
// (200 games a match), so no gain that two networks agree on; with the root reduced as well,
// a network that puts almost no prior on a winning move keeps the search from trying it for
// hundreds of simulations. The priors are the plain softmax of the logits: a temperature T
// (softmax of logits / T) measured Elo -30 [-64, +4] at T = 1.4 and +5 [-25, +36] at T = 0.8
// against T = 1 (1,000 simulations, 200 games, generation 261). The default c_puct is
// kDefaultCPuct (its measurement is beside the constant). The root is evaluated before the
// first simulation and that evaluation is not counted as one. Finished games are never
// evaluated: they are proven as below, in every mode. Value sums of a guided search are
// real numbers, kept beside the pool (see Pool).
//
// Root noise and temperature (self-play). With dirichlet_fraction > 0 each run mixes the
// root's priors as (1 - fraction) * P + fraction * Dirichlet(alpha), drawn afresh per run
// from the tree's generator (the clean priors are kept, so noise never accumulates). With
// temperature > 0 the move returned is drawn among the root's visited moves with
// probability proportional to visits^(1 / temperature) from a generator of its own under
// the seed; a proven win is still always played, and proven losses are drawn only when
// every move is lost. Both are off by default.
//
// Expansion. A new leaf gets one playout from its own position; the next simulation that
// reaches it expands it: all its children at once, into one contiguous block of the pool,
// and descends into the first of them. A move that ends the game is found when its child is
// first entered and is never expanded.
//
// Solver. Proven outcomes are kept per node, for the player who moved into it:
//   a child whose move ends the game is a proven win for its mover (or a proven draw);
//   a node with a child proven won for the player to move there is a proven loss for the
//     player who moved into it;
//   a node all of whose children are proven is proven: a win for the player who moved into
//     it when every child is lost for the player to move there, otherwise a draw.
// Selection never enters a proven child: a lost move is never worth playing, and a drawn
// one is already counted on. A node that is unproven but has a child proven drawn is
// "capped": the player to move there can take the draw, so the player who moved into it
// gets at most 0, and its parent scores it with its mean capped at 0. Simulations thus go
// to the moves still open, which is what proves a position. The first simulation to enter a
// finished game ends there and proves it. A search stops as soon as its root is proven.
//
// Move choice (at the root, and along the principal variation): a proven win, one that ends
// the game first; else the most visited unproven move, unless a proven draw is available
// and that move's (capped) mean is not above 0, in which case the draw; when every move is
// proven lost, the most visited one (the loss that took longest to prove). Ties go to the
// higher mean, then to the lower cell.
//
// Tree relation. For every node: visits == stopped_here + sum of its children's visits,
// where stopped_here counts the simulations that stopped at that node: its playout as a
// fresh leaf (and later ones when the pool is full), or the visit that found its game
// finished. The root is
// expanded before any simulation, so its children's visits add up to every simulation that
// went through it. check_tree() verifies this, the legality of every child, the pool bounds,
// the proofs and caps; debug and checking builds (no NDEBUG, or NONAGAME_CHECK_INVARIANTS)
// check it after every run and throw Fault on the first fault found.
//
// Pool. Nodes live in one preallocated array of pool_nodes entries (20 bytes each, so the
// default 4,194,304 nodes take 80 MiB of address space; pages are touched only as nodes are
// used) and refer to each other by index. A guided search keeps a second array of the same
// length beside it, 16 bytes a node (the prior and a double value sum): 36 bytes a node in
// all, 144 MiB of address space for the default pool. A guided simulation expands one leaf
// with all its children, about 8 nodes (8.5 a simulation from the opening and 8.0 from a
// midgame, measured over 20,000), about 290 bytes: the default pool holds about 490,000
// guided simulations. When a tree's share is full it stops expanding
// and keeps simulating from its existing leaves; nothing grows during a search and the
// simulation loop allocates nothing. An array of 32 MiB or more is mapped with transparent
// huge pages where the system offers them (see pool_memory.hpp): it is then touched 2 MiB at
// a time as the trees grow into it.
//
// Threads. Root parallelism: each thread searches its own tree in its own share of the pool
// (pool_nodes / threads nodes, at least 82) with its own generator Rng(seed, thread index),
// and the root statistics of the trees are merged at the end (visits and scores summed per
// move, proofs combined since each is exact). Chosen over one shared tree with virtual loss
// because it needs no locks or atomics in the tree, keeps every thread's search reproducible
// on its own, and on the small thread counts this library targets plays about as well. The
// only shared state while searching is the caller's stop flag and a flag raised when any
// tree proves the root. With threads = 1 the search runs on the calling thread, and a given
// seed reproduces the same result exactly. A guided search without root noise draws nothing
// at random, so identical trees would add nothing: the network evaluator shows thread t the
// position under symmetry t % 8 (the identity on thread 0), and the merged visits average
// that many views of the network.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board.hpp"
#include "rng.hpp"
#include "search/pool_memory.hpp"

namespace nonagame::mcts {

// Proven outcome of a move, for the player who makes it (or of a position, for the player
// to move there).
enum class Proof : std::int8_t { Unknown = 0, Win = 1, Loss = 2, Draw = 3 };

class Evaluator;

inline constexpr double kDefaultExploration = 0.7;
// c_puct of a guided search, chosen by self-play with a trained network (generation 200 of the
// shipped network's run) at 800 simulations a move, 100 games a match over 50 balanced
// openings with the colours swapped: 1.5 scored 57.5% against 2.5 (and 62.0% on the next 50
// openings), 53.5% against 1.0 and 54.0% against 2.0; 4.0 scored 41.0% against 2.5. Before
// there was a trained network, the guided path with uniform priors and one random playout's
// result as the value had preferred 2.5 (55.0% and 52.8% against 1.5). A network of one's own
// may want another value: it is a setting.
inline constexpr double kDefaultCPuct = 1.5;
inline constexpr std::uint32_t kDefaultPoolNodes = std::uint32_t{1} << 22;
// A tree's share of the pool is never smaller than a root and a full set of children.
inline constexpr std::uint32_t kMinTreeNodes = 1 + kCells;
inline constexpr int kMaxThreads = 256;

struct SearchConfig {
    double exploration = kDefaultExploration;  // c of UCT, finite and >= 0
    std::uint32_t pool_nodes = kDefaultPoolNodes;  // total over all threads
    int threads = 1;                            // 1..kMaxThreads
    std::uint64_t seed = 0;
    // Guided search (PUCT) when set; not owned, and must outlive the Search. nullptr: random
    // playouts and UCT.
    Evaluator* evaluator = nullptr;
    // A guided search whose leaves the caller evaluates, through the stepwise calls
    // (next_leaf, give; one thread). Implied by an evaluator.
    bool guided = false;
    double c_puct = kDefaultCPuct;       // finite and >= 0
    double dirichlet_alpha = 0.3;        // > 0; used when dirichlet_fraction > 0
    double dirichlet_fraction = 0;       // in [0, 1]; 0 adds no noise
    double temperature = 0;              // >= 0; 0 returns the best move, not a drawn one
};

// Limits of one run; it ends at the first one reached (or when the root is proven). At least
// one must be given: a run with only a stop flag goes on until the flag is raised.
struct Budget {
    std::optional<std::uint64_t> simulations;  // total over all threads
    std::optional<double> seconds;             // wall time, finite and >= 0
    const std::atomic<bool>* stop = nullptr;   // polled before every simulation
    // Called on the thread that calls run(), between two of its simulations (or, with more
    // threads, while it waits for the others), once `poll_after` has passed since the run
    // began and then again each time the interval the hook returns has passed. The Python
    // layer runs signal handlers there and raises the stop flag on Ctrl-C, so that a search
    // needs no thread of its own to watch for it. Must not throw. A run that ends before the
    // first interval never calls it.
    std::chrono::steady_clock::duration (*poll)(void* context) = nullptr;
    void* poll_context = nullptr;
    std::chrono::steady_clock::duration poll_after{};
};

struct SearchResult {
    // Per cell, for the moves of the player to move at the root (zero for other cells).
    std::array<std::uint32_t, kCells> visits{};  // summed over threads, including reused ones
    std::array<float, kCells> values{};          // mean result of the move (capped), or its proven value
    std::array<Proof, kCells> proofs{};
    int best_move = -1;
    double value = 0;            // root mean for the player to move, in [-1, 1]; exact if proven
    Proof proof = Proof::Unknown;  // the root's proven outcome for the player to move
    std::uint64_t simulations = 0;  // run by this call (0 for result())
    double seconds = 0;             // wall time of this call
    std::vector<int> principal_variation;  // best_move, then the best replies in turn
    bool guided = false;                   // an evaluator guided the search
    std::array<float, kCells> priors{};    // the root's priors (without noise) when guided
};

// True when the game has no move left to search (won, drawn, or no legal cell).
bool is_over(const GameRecord& position);

namespace detail {
struct Node;
struct Guide;
class Tree;
}  // namespace detail

// A search that owns its node pool and its trees, and keeps them between runs so that a
// player can reuse the subtree of the moves actually played. Runs are blocking; while one
// runs, only simulations_done() may be called from another thread.
class Search {
public:
    // Throws std::invalid_argument for a configuration out of range.
    explicit Search(const SearchConfig& config = {});
    ~Search();
    Search(Search&&) noexcept;
    Search& operator=(Search&&) noexcept;
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    // Makes position the root. The trees are kept when it is the current root, or one of
    // its children or grandchildren (the tree is re-rooted there); otherwise they restart.
    void set_position(const GameRecord& position);
    // Plays cell at the root and keeps its subtree as the new tree (a fresh tree when it has
    // none). Throws std::invalid_argument unless cell is legal at the root.
    void advance(int cell);
    // Drops the trees, keeping the position and the generators' states.
    void clear();

    // Searches the root within budget and returns the merged result. Throws
    // std::invalid_argument when the root is over or the budget sets no limit.
    SearchResult run(const Budget& budget);
    // The merged result of the trees as they stand, without searching.
    SearchResult result() const;

    // A guided search in steps, for a caller that evaluates the leaves itself (one thread,
    // config.guided). start_steps() begins a run of at most simulations, gathering up to
    // leaves_per_round leaves a round. next_leaves() runs it on until that many simulations
    // need an evaluation (fewer when the budget is nearly spent), writes their leaves to
    // leaves (room for leaves_per_round) and returns how many; the root alone comes first
    // when it has no priors yet (that evaluation is not a simulation); 0 once the run is
    // over (budget spent or root proven). give() hands leaf index's priors (per cell) and
    // value (for the player to move there) back. With more than one leaf a round the
    // pending descents carry virtual loss (see Tree::begin). A round whose leaves are not
    // given back (none of them) is dropped by abandon_leaves() or by the next next_leaves(),
    // leaving the tree as it was. step_result() is the result.
    void start_steps(std::uint64_t simulations, int leaves_per_round = 1);
    int next_leaves(GameRecord* leaves);
    void give(int index, const GameRecord& leaf, const float* priors, float value);
    void abandon_leaves();
    SearchResult step_result();

    // Simulations of the current run so far (of the last run once it returned); safe to
    // call from another thread during a run.
    std::uint64_t simulations_done() const;
    const GameRecord& position() const { return root_; }
    const SearchConfig& config() const { return config_; }
    std::uint64_t nodes_used() const;
    std::uint64_t pool_capacity() const;
    // An empty string when every tree is consistent, else a description of the first fault.
    std::string check_tree() const;

private:
    SearchResult collect() const;
    std::vector<int> principal_variation(int first) const;
    int draw_move(const SearchResult& result);

    SearchConfig config_;
    std::unique_ptr<detail::Node[], detail::PoolRelease> pool_;
    std::unique_ptr<detail::Guide[], detail::PoolRelease> guides_;  // beside pool_ in a guided search
    Rng move_rng_;                             // the temperature's draws
    struct Steps {
        std::uint64_t quota = 0;
        std::uint64_t done = 0;
        bool prepared = false;
        bool root_pending = false;
        int per_round = 1;
        int pending = 0;  // leaves of the round not given back yet
        std::chrono::steady_clock::time_point start;
    } steps_;
    std::unique_ptr<detail::Tree[]> trees_;
    GameRecord root_;
};

// The pool a one-off search of config needs for at most simulations: config.pool_nodes, or
// less when that many simulations cannot fill it.
std::uint32_t pool_for(const SearchConfig& config, std::uint64_t simulations);

// A one-off search of position (a fresh Search of config). Throws as Search::run.
SearchResult search(const GameRecord& position, const Budget& budget, const SearchConfig& config = {});

}  // namespace nonagame::mcts
