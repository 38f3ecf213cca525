#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "board.hpp"
#include "rng.hpp"
#include "search/mcts.hpp"
#include "search/tree.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::mcts;

namespace {

GameRecord after(const GameRecord& game, int cell) {
    GameRecord next = game;
    const MoveOutcome outcome = make_move(next, static_cast<std::int8_t>(cell), next.next_player);
    EXPECT_TRUE(outcome.accepted) << "cell " << cell;
    return next;
}

std::vector<int> legal_list(const GameRecord& game) { return nonagame::testing::cells_of(legal_cells(game)); }

bool is_legal(const GameRecord& game, int cell) { return cell >= 0 && cell < kCells && legal_cells(game).contains(cell); }

// Whether playing cell wins the game for the player who plays it.
bool wins_at_once(const GameRecord& game, int cell) {
    const GameRecord next = after(game, cell);
    return next.winner == game.next_player;
}

// Whether playing cell lets the opponent win with their next move.
bool loses_at_once(const GameRecord& game, int cell) {
    const GameRecord next = after(game, cell);
    if (is_over(next)) return false;
    const std::vector<int> replies = legal_list(next);
    return std::ranges::any_of(replies, [&](int reply) { return wins_at_once(next, reply); });
}

// The position after `moves` uniformly random moves of seed's game (fewer if it ends).
GameRecord random_position(std::uint64_t seed, int moves) {
    GameRecord game = new_game(0, false);
    Rng rng(seed, 99);
    for (int i = 0; i < moves && !is_over(game); ++i) {
        const std::vector<int> cells = legal_list(game);
        game = after(game, cells[rng.below(static_cast<std::uint32_t>(cells.size()))]);
    }
    return game;
}

// Positions met in random games (one per game at most) that satisfy wanted, in seed order.
std::vector<GameRecord> positions_where(const std::function<bool(const GameRecord&)>& wanted, int count) {
    std::vector<GameRecord> found;
    for (std::uint64_t seed = 0; seed < 5000 && static_cast<int>(found.size()) < count; ++seed) {
        for (int moves = 0; moves < kCells; ++moves) {
            const GameRecord game = random_position(seed, moves);
            if (is_over(game)) break;
            if (wanted(game)) {
                found.push_back(game);
                break;
            }
        }
    }
    EXPECT_EQ(static_cast<int>(found.size()), count) << "too few positions found";
    return found;
}

std::uint64_t visit_sum(const SearchResult& result) {
    return std::accumulate(result.visits.begin(), result.visits.end(), std::uint64_t{0});
}

SearchResult run_sims(Search& search, std::uint64_t simulations) {
    Budget budget;
    budget.simulations = simulations;
    return search.run(budget);
}

SearchConfig config_of(int threads, std::uint64_t seed, std::uint32_t pool = kDefaultPoolNodes) {
    SearchConfig config;
    config.threads = threads;
    config.seed = seed;
    config.pool_nodes = pool;
    return config;
}

// The exact value of game for the player to move: 1 win, 0 draw, -1 loss.
int negamax(const GameRecord& game) {
    if (is_over(game)) return game.winner == 0 ? 0 : -1;  // only the last mover can have won
    int best = -1;
    for (const int cell : legal_list(game)) best = std::max(best, -negamax(after(game, cell)));
    return best;
}

Proof proof_of(int value) { return value > 0 ? Proof::Win : value < 0 ? Proof::Loss : Proof::Draw; }

// ---------------------------------------------------------------------------------------

TEST(SearchTactics, FindsTheWinningMoveAndProvesIt) {
    const auto positions = positions_where(
        [](const GameRecord& g) {
            const std::vector<int> cells = legal_list(g);
            const auto wins = std::ranges::count_if(cells, [&](int c) { return wins_at_once(g, c); });
            return wins == 1 && cells.size() >= 5;
        },
        6);
    for (const GameRecord& game : positions) {
        Search search(config_of(1, 7));
        search.set_position(game);
        const SearchResult result = run_sims(search, 500);
        ASSERT_TRUE(wins_at_once(game, result.best_move)) << "played " << result.best_move;
        EXPECT_EQ(result.proof, Proof::Win);
        EXPECT_EQ(result.value, 1.0);
        EXPECT_EQ(result.proofs[result.best_move], Proof::Win);
        EXPECT_EQ(result.principal_variation, std::vector<int>{result.best_move});
        // Every move is tried once before any twice, and the search ends once the root is proven.
        EXPECT_LE(result.simulations, legal_list(game).size());
        EXPECT_EQ(search.check_tree(), "");
    }
}

TEST(SearchTactics, AvoidsAMoveThatLetsTheOpponentWin) {
    const auto positions = positions_where(
        [](const GameRecord& g) {
            const std::vector<int> cells = legal_list(g);
            if (std::ranges::any_of(cells, [&](int c) { return wins_at_once(g, c); })) return false;
            const auto losing = std::ranges::count_if(cells, [&](int c) { return loses_at_once(g, c); });
            return losing * 2 >= static_cast<long>(cells.size()) && losing < static_cast<long>(cells.size());
        },
        8);
    for (const GameRecord& game : positions) {
        Search search(config_of(1, 3));
        search.set_position(game);
        const SearchResult result = run_sims(search, 3000);
        EXPECT_FALSE(loses_at_once(game, result.best_move)) << "played " << result.best_move;
        for (const int cell : legal_list(game)) {
            if (loses_at_once(game, cell)) {
                EXPECT_NE(result.proofs[cell], Proof::Win) << cell;
                EXPECT_NE(result.proofs[cell], Proof::Draw) << cell;
            }
        }
        EXPECT_EQ(search.check_tree(), "");
    }
}

// Endgames small enough to solve by brute force: the search must prove the same outcome,
// every move's proof must agree with its exact value, and the chosen move must be optimal.
class SearchSolver : public ::testing::TestWithParam<int> {};

TEST_P(SearchSolver, ProvesTheExactOutcomeOfEndgames) {
    const auto positions =
        positions_where([](const GameRecord& g) { return g.available.size() <= 9 && legal_list(g).size() >= 2; }, 14);
    std::array<int, 3> outcomes{};  // losses, draws, wins for the player to move
    for (const GameRecord& game : positions) {
        const int exact = negamax(game);
        ++outcomes[static_cast<std::size_t>(exact + 1)];
        Search search(config_of(GetParam(), 11, 1U << 20));
        search.set_position(game);
        const SearchResult result = run_sims(search, 200000);
        ASSERT_EQ(result.proof, proof_of(exact)) << "after " << result.simulations << " simulations";
        EXPECT_EQ(result.value, exact);
        EXPECT_LT(result.simulations, 200000U) << "the search went on after proving the root";
        EXPECT_EQ(negamax(after(game, result.best_move)), -exact) << "chose " << result.best_move;
        for (const int cell : legal_list(game)) {
            if (result.proofs[cell] != Proof::Unknown) {
                EXPECT_EQ(result.proofs[cell], proof_of(-negamax(after(game, cell)))) << cell;
            }
        }
        EXPECT_EQ(search.check_tree(), "");
    }
    for (const int count : outcomes) EXPECT_GT(count, 0) << "the sample misses an outcome";
}

INSTANTIATE_TEST_SUITE_P(Threads, SearchSolver, ::testing::Values(1, 2));

// ---------------------------------------------------------------------------------------

struct Shape {
    int moves;    // random moves before the search
    int threads;
    std::uint32_t pool;
    std::uint64_t simulations;
};

class SearchBudget : public ::testing::TestWithParam<Shape> {};

TEST_P(SearchBudget, RootVisitsAddUpToTheSimulations) {
    const Shape shape = GetParam();
    const GameRecord game = random_position(5, shape.moves);
    Search search(config_of(shape.threads, 21, shape.pool));
    search.set_position(game);
    const SearchResult result = run_sims(search, shape.simulations);
    EXPECT_EQ(result.simulations, shape.simulations);
    EXPECT_EQ(search.simulations_done(), shape.simulations);
    EXPECT_EQ(visit_sum(result), shape.simulations);
    EXPECT_TRUE(is_legal(game, result.best_move)) << result.best_move;
    EXPECT_EQ(result.principal_variation.front(), result.best_move);
    EXPECT_LE(search.nodes_used(), search.pool_capacity());
    EXPECT_EQ(search.check_tree(), "");
    for (int cell = 0; cell < kCells; ++cell) {
        if (!is_legal(game, cell)) {
            EXPECT_EQ(result.visits[cell], 0U) << cell;
        }
        EXPECT_GE(result.values[cell], -1.0F);
        EXPECT_LE(result.values[cell], 1.0F);
    }
    // The principal variation is a legal line of play.
    GameRecord line = game;
    for (const int cell : result.principal_variation) {
        ASSERT_TRUE(is_legal(line, cell));
        line = after(line, cell);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SearchBudget,
                         ::testing::Values(Shape{0, 1, kDefaultPoolNodes, 3000}, Shape{12, 1, kDefaultPoolNodes, 3000},
                                           Shape{0, 2, kDefaultPoolNodes, 3001}, Shape{12, 2, kDefaultPoolNodes, 2000},
                                           // Pools too small for the search: it keeps simulating from its leaves.
                                           Shape{0, 1, 100, 5000}, Shape{12, 1, 100, 5000}, Shape{8, 2, 10, 4000},
                                           Shape{20, 1, 2000, 20000}));

TEST(SearchBudget, TinyPoolStaysWithinItsShare) {
    Search search(config_of(2, 1, 10));
    EXPECT_EQ(search.pool_capacity(), 2U * kMinTreeNodes);
    search.set_position(random_position(3, 6));
    run_sims(search, 1000);
    EXPECT_LE(search.nodes_used(), search.pool_capacity());
}

TEST(SearchBudget, SameSeedSameSearch) {
    const GameRecord game = random_position(8, 10);
    auto searched = [&](std::uint64_t seed) {
        Search search(config_of(1, seed));
        search.set_position(game);
        return run_sims(search, 4000);
    };
    const SearchResult a = searched(42);
    const SearchResult b = searched(42);
    EXPECT_EQ(a.visits, b.visits);
    EXPECT_EQ(a.values, b.values);
    EXPECT_EQ(a.best_move, b.best_move);
    EXPECT_EQ(a.principal_variation, b.principal_variation);
    EXPECT_EQ(a.value, b.value);
    EXPECT_NE(searched(43).visits, a.visits) << "the seed does not reach the playouts";
}

TEST(SearchBudget, StopFlagEndsAnUnboundedSearch) {
    for (const int threads : {1, 2}) {
        Search search(config_of(threads, 2));
        std::atomic<bool> stop{false};
        Budget budget;
        budget.stop = &stop;
        SearchResult result;
        std::thread worker([&] { result = search.run(budget); });
        while (search.simulations_done() < 2000) std::this_thread::yield();
        stop.store(true);
        worker.join();
        EXPECT_GE(result.simulations, 2000U);
        EXPECT_EQ(visit_sum(result), result.simulations);
        EXPECT_TRUE(is_legal(search.position(), result.best_move));
    }
}

// The poll hook: called on the thread that called run() only, not before poll_after, and a
// stop flag it raises ends the search as one raised from outside would.
class SearchPoll : public ::testing::TestWithParam<int> {};

struct PollLog {
    std::thread::id caller;
    std::chrono::steady_clock::time_point start;
    std::atomic<bool>* stop = nullptr;
    int stop_after = 0;
    int calls = 0;
    int calls_elsewhere = 0;
    std::chrono::steady_clock::duration first_after{};
};

std::chrono::steady_clock::duration log_poll(void* context) noexcept {
    PollLog& log = *static_cast<PollLog*>(context);
    if (std::this_thread::get_id() != log.caller) ++log.calls_elsewhere;
    if (log.calls++ == 0) log.first_after = std::chrono::steady_clock::now() - log.start;
    if (log.calls == log.stop_after) log.stop->store(true);
    return std::chrono::milliseconds(1);
}

TEST_P(SearchPoll, HookRunsOnTheCallingThreadAndItsStopEndsTheSearch) {
    const int threads = GetParam();
    Search search(config_of(threads, 3));
    search.set_position(random_position(6, 4));
    std::atomic<bool> stop{false};
    PollLog log{std::this_thread::get_id(), std::chrono::steady_clock::now(), &stop, 5};
    Budget budget;
    budget.stop = &stop;
    budget.seconds = 20.0;  // only so that a hook never called fails the test instead of hanging it
    budget.poll = log_poll;
    budget.poll_context = &log;
    budget.poll_after = std::chrono::milliseconds(5);
    const SearchResult result = search.run(budget);
    EXPECT_LT(result.seconds, 10.0);
    EXPECT_GE(log.calls, 5);
    EXPECT_EQ(log.calls_elsewhere, 0);
    EXPECT_GE(log.first_after, std::chrono::milliseconds(5));
    EXPECT_GT(result.simulations, 0U);
    EXPECT_EQ(visit_sum(result), result.simulations);
    EXPECT_EQ(search.check_tree(), "");

    // A run over before the first interval never calls it.
    stop.store(false);
    PollLog quiet{std::this_thread::get_id(), std::chrono::steady_clock::now(), &stop, 1};
    budget.seconds.reset();
    budget.simulations = 200;
    budget.poll_context = &quiet;
    budget.poll_after = std::chrono::hours(1);
    EXPECT_EQ(search.run(budget).simulations, 200U);
    EXPECT_EQ(quiet.calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Threads, SearchPoll, ::testing::Values(1, 2));

TEST(SearchBudget, ZeroTimeRunsNothingButStillAnswers) {
    Search search(config_of(1, 2));
    search.set_position(random_position(4, 9));
    Budget budget;
    budget.seconds = 0.0;
    const SearchResult result = search.run(budget);
    EXPECT_EQ(result.simulations, 0U);
    EXPECT_TRUE(is_legal(search.position(), result.best_move));
    EXPECT_EQ(search.check_tree(), "");
    budget.seconds = 0.01;
    const SearchResult timed = search.run(budget);
    EXPECT_EQ(visit_sum(timed), timed.simulations);
}

TEST(SearchBudget, RefusesWhatItCannotSearch) {
    Search search;
    Budget none;
    EXPECT_THROW(search.run(none), std::invalid_argument);
    Budget negative;
    negative.seconds = -1.0;
    EXPECT_THROW(search.run(negative), std::invalid_argument);
    GameRecord over = positions_where([](const GameRecord&) { return true; }, 1).front();
    while (!is_over(over)) over = after(over, legal_list(over).front());
    EXPECT_TRUE(is_over(over));
    search.set_position(over);
    Budget some;
    some.simulations = 10;
    EXPECT_THROW(search.run(some), std::invalid_argument);
    for (const int threads : {0, -1, kMaxThreads + 1}) {
        EXPECT_THROW(Search(config_of(threads, 0)), std::invalid_argument) << threads;
    }
    SearchConfig bad;
    bad.exploration = -0.5;
    EXPECT_THROW(Search{bad}, std::invalid_argument);
    Search fresh;
    EXPECT_THROW(fresh.advance(81), std::invalid_argument);
    EXPECT_THROW(fresh.advance(-1), std::invalid_argument);
    fresh.advance(40);
    EXPECT_THROW(fresh.advance(40), std::invalid_argument);  // occupied
    EXPECT_THROW(fresh.advance(0), std::invalid_argument);   // outside the forced roster
}

// ---------------------------------------------------------------------------------------

TEST(SearchReuse, AdvanceKeepsTheSubtreeOfThePlayedMove) {
    const GameRecord game = random_position(12, 14);
    Search search(config_of(1, 5));
    search.set_position(game);
    const SearchResult first = run_sims(search, 5000);
    ASSERT_EQ(first.proof, Proof::Unknown);
    const int move = first.best_move;
    search.advance(move);
    GameRecord expected = after(game, move);
    expected.log_enabled = false;
    EXPECT_EQ(search.position(), expected);
    EXPECT_EQ(search.check_tree(), "");
    // The kept node had one playout of its own as a leaf before it was expanded.
    const SearchResult kept = search.result();
    EXPECT_EQ(visit_sum(kept), first.visits[move] - 1);
    const SearchResult more = run_sims(search, 1000);
    EXPECT_EQ(more.simulations, 1000U);
    EXPECT_EQ(visit_sum(more), visit_sum(kept) + 1000);
    EXPECT_EQ(search.check_tree(), "");
}

TEST(SearchReuse, SetPositionFollowsUpToTwoMoves) {
    const GameRecord game = random_position(13, 10);
    Search search(config_of(2, 5));
    search.set_position(game);
    const SearchResult first = run_sims(search, 6000);
    const int move = first.principal_variation.at(0);
    const int reply = first.principal_variation.at(1);
    GameRecord two = after(after(game, move), reply);
    two.id = 77;  // not part of the position
    search.set_position(two);
    EXPECT_GT(visit_sum(search.result()), 0U);
    EXPECT_EQ(search.position().id, 77U);
    EXPECT_EQ(search.check_tree(), "");
    search.set_position(two);  // the same position again keeps everything
    EXPECT_GT(visit_sum(search.result()), 0U);
    search.set_position(random_position(14, 30));
    EXPECT_EQ(visit_sum(search.result()), 0U);
    EXPECT_EQ(search.nodes_used(), 2U);  // two empty roots
    EXPECT_EQ(search.check_tree(), "");
}

// Searches from random positions, re-rooted along the way, in pools of several sizes.
class SearchTree : public ::testing::TestWithParam<int> {};

TEST_P(SearchTree, StaysConsistentThroughSearchesAndReRooting) {
    const int seed = GetParam();
    const std::uint32_t pool = seed % 2 == 0 ? 30000 : kDefaultPoolNodes;
    Search search(config_of(1 + seed % 3, static_cast<std::uint64_t>(seed), pool));
    GameRecord game = random_position(static_cast<std::uint64_t>(seed) + 100, (seed * 7) % 40);
    search.set_position(game);
    Rng rng(static_cast<std::uint64_t>(seed), 5);
    while (!is_over(game)) {
        const SearchResult result = run_sims(search, 1500);
        ASSERT_EQ(search.check_tree(), "");
        ASSERT_LE(search.nodes_used(), search.pool_capacity());
        game = after(game, result.best_move);
        search.advance(result.best_move);
        ASSERT_EQ(search.check_tree(), "");
        if (is_over(game)) break;
        const std::vector<int> cells = legal_list(game);
        game = after(game, cells[rng.below(static_cast<std::uint32_t>(cells.size()))]);
        search.set_position(game);
        ASSERT_EQ(search.check_tree(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SearchTree, ::testing::Range(0, 6));

// The checker itself: each kind of damage to a searched tree is reported.
class SearchTreeCheck : public ::testing::TestWithParam<int> {};

TEST_P(SearchTreeCheck, ReportsADamagedTree) {
    using mcts::detail::Node;
    std::vector<Node> pool(20000);
    mcts::detail::Tree tree;
    tree.attach(pool.data(), nullptr, static_cast<std::uint32_t>(pool.size()), Rng(1), SearchConfig{}, 0);
    const GameRecord game = random_position(31, 20);
    std::atomic<bool> solved{false};
    mcts::detail::RunLimits limits;
    limits.quota = 600;
    limits.solved = &solved;
    tree.prepare(game);
    ASSERT_EQ(tree.run(game, limits), 600U);
    ASSERT_EQ(tree.check(game), "");
    // An expanded node below the root, and a visited leaf among its children.
    std::uint32_t inner = 0;
    std::uint32_t leaf = 0;
    for (std::uint32_t i = 1; i < tree.used() && leaf == 0; ++i) {
        const Node& parent = pool[i];
        for (std::uint32_t k = 0; k < parent.child_count && leaf == 0; ++k) {
            const Node& child = pool[parent.first_child + k];
            if (child.visits > 0 && child.first_child == 0 && child.proof == Proof::Unknown) {
                inner = i;
                leaf = parent.first_child + k;
            }
        }
    }
    ASSERT_NE(leaf, 0U);
    Node& node = pool[inner];
    switch (GetParam()) {
        case 0: ++node.visits; break;
        case 1: ++pool[leaf].stopped_here; break;
        case 2: node.proof = Proof::Win; break;
        case 3: pool[leaf].cell = static_cast<std::int8_t>((pool[leaf].cell + 1) % kCells); break;
        case 4: node.first_child = pool[0].first_child; break;  // shares the root's children
        case 5: node.first_child = 0; break;                     // its children become unreachable
        case 6: node.score = static_cast<std::int32_t>(node.visits) + 1; break;
        case 7: --node.child_count; break;
        default: FAIL();
    }
    EXPECT_NE(tree.check(game), "");
}

INSTANTIATE_TEST_SUITE_P(Damage, SearchTreeCheck, ::testing::Range(0, 8));

// ---------------------------------------------------------------------------------------

TEST(SearchStrength, BeatsUniformRandomPlay) {
    int wins = 0;
    constexpr int kGames = 20;
    for (int g = 0; g < kGames; ++g) {
        const std::int8_t searcher = g % 2 == 0 ? 1 : 2;
        Search search(config_of(1, static_cast<std::uint64_t>(g)));
        Rng rng(static_cast<std::uint64_t>(g), 1000);
        GameRecord game = new_game(0, false);
        while (!is_over(game)) {
            int cell = 0;
            if (game.next_player == searcher) {
                search.set_position(game);  // reuses the tree from the previous turn
                cell = run_sims(search, 1000).best_move;
            } else {
                const std::vector<int> cells = legal_list(game);
                cell = cells[rng.below(static_cast<std::uint32_t>(cells.size()))];
            }
            game = after(game, cell);
        }
        wins += game.winner == searcher ? 1 : 0;
    }
    EXPECT_GE(wins, kGames - 1);
}

}  // namespace
