// The search guided by an evaluator: proofs under any evaluator, priors steering visits,
// the stepwise form against a run, reuse, noise and temperature.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <set>
#include <vector>

#include "board.hpp"
#include "playout.hpp"
#include "rng.hpp"
#include "search/evaluator.hpp"
#include "search/mcts.hpp"
#include "search/pool_memory.hpp"
#include "search/search_batch.hpp"

using namespace nonagame;
using namespace nonagame::mcts;

namespace {

GameRecord random_position(std::uint64_t seed, int moves) {
    GameRecord game = new_game(0, false);
    Rng rng(seed, 99);
    for (int i = 0; i < moves && !is_over(game); ++i) play_random_move(game, rng);
    return game;
}

// Fixed priors (cell `favourite` gets `weight`, the others share the rest equally over 81)
// and a fixed value; weight 0 and value 0 is the all-zero network.
class FixedEvaluator : public Evaluator {
public:
    FixedEvaluator(int favourite, float weight, float value) : favourite_(favourite), weight_(weight), value_(value) {}
    float evaluate(const GameRecord&, float* priors, int) noexcept override {
        for (int c = 0; c < kCells; ++c) priors[c] = c == favourite_ ? weight_ : (weight_ == 0 ? 0.0F : 0.01F);
        return value_;
    }

private:
    int favourite_;
    float weight_;
    float value_;
};

// Uniform priors and the result of one random playout, from a generator per thread.
class PlayoutEvaluator : public Evaluator {
public:
    float evaluate(const GameRecord& game, float* priors, int thread) noexcept override {
        std::fill(priors, priors + kCells, 1.0F);
        GameRecord copy = game;
        const std::int8_t me = game.next_player;
        const std::int8_t winner = play_random_to_end(copy, rngs_[static_cast<std::size_t>(thread)]);
        return winner == 0 ? 0.0F : winner == me ? 1.0F : -1.0F;
    }

private:
    std::array<Rng, 4> rngs_{Rng(1, 0), Rng(1, 1), Rng(1, 2), Rng(1, 3)};
};

SearchConfig guided(Evaluator* evaluator, std::uint64_t seed = 3, int threads = 1) {
    SearchConfig config;
    config.evaluator = evaluator;
    config.seed = seed;
    config.threads = threads;
    config.pool_nodes = 200000;
    return config;
}

SearchResult run_sims(Search& search, std::uint64_t simulations) {
    Budget budget;
    budget.simulations = simulations;
    return search.run(budget);
}

// A midgame position with exactly one winning move among several, and that move.
std::pair<GameRecord, int> win_in_one(std::uint64_t seed) {
    for (std::uint64_t s = seed;; ++s) {
        for (int moves = 20; moves < 60; ++moves) {
            const GameRecord game = random_position(s, moves);
            if (is_over(game)) break;
            int wins = 0;
            int winning = -1;
            legal_cells(game).for_each([&](int cell) {
                GameRecord next = game;
                play_legal(next, cell);
                if (next.winner == game.next_player) {
                    ++wins;
                    winning = cell;
                }
            });
            if (wins == 1 && legal_cells(game).size() >= 4) return {game, winning};
        }
    }
}

}  // namespace

// Whatever the evaluator says, a move that wins at once is found and proven: finished
// games are never evaluated, and proofs propagate as in the playout search.
TEST(GuidedSearch, ProvesWinsUnderAnyEvaluator) {
    for (std::uint64_t seed : {1U, 2U, 3U}) {
        const auto [game, winning] = win_in_one(seed * 100);
        FixedEvaluator zero(0, 0.0F, 0.0F);
        // Steered away from the winning move, and told the position is lost.
        FixedEvaluator misleading((winning + 1) % kCells, 1.0F, -1.0F);
        for (Evaluator* evaluator : {static_cast<Evaluator*>(&zero), static_cast<Evaluator*>(&misleading)}) {
            Search search(guided(evaluator));
            search.set_position(game);
            const SearchResult result = run_sims(search, 400);
            EXPECT_EQ(result.best_move, winning);
            EXPECT_EQ(result.proof, Proof::Win);
            EXPECT_TRUE(result.guided);
            EXPECT_EQ(search.check_tree(), "");
        }
    }
}

TEST(GuidedSearch, PriorsSteerVisits) {
    const GameRecord game = new_game(0, false);
    for (int favourite : {3, 40, 77}) {
        FixedEvaluator evaluator(favourite, 5.0F, 0.0F);
        Search search(guided(&evaluator));
        search.set_position(game);
        const SearchResult result = run_sims(search, 300);
        const auto most = std::ranges::max_element(result.visits) - result.visits.begin();
        EXPECT_EQ(most, favourite);
        EXPECT_EQ(result.best_move, favourite);
        // The reported priors are the evaluator's, normalised over the 81 legal cells.
        EXPECT_NEAR(result.priors[static_cast<std::size_t>(favourite)], 5.0 / (5.0 + 80 * 0.01), 1e-6);
        EXPECT_EQ(std::accumulate(result.visits.begin(), result.visits.end(), 0U), 300U);
    }
}

// The stepwise form, fed by the same evaluator, makes exactly the tree a run makes.
TEST(GuidedSearch, StepsMatchARun) {
    for (std::uint64_t seed : {5U, 6U}) {
        const GameRecord game = random_position(seed, 12);
        for (double fraction : {0.0, 0.25}) {
            PlayoutEvaluator a;
            PlayoutEvaluator b;
            SearchConfig config = guided(&a, seed);
            config.dirichlet_fraction = fraction;
            Search run(config);
            run.set_position(game);
            const SearchResult expected = run_sims(run, 700);

            config.evaluator = nullptr;
            config.guided = true;
            Search steps(config);
            steps.set_position(game);
            steps.start_steps(700);
            GameRecord leaf;
            std::array<float, kCells> priors{};
            while (steps.next_leaves(&leaf) == 1) {
                const float value = b.evaluate(leaf, priors.data(), 0);
                steps.give(0, leaf, priors.data(), value);
            }
            const SearchResult got = steps.step_result();
            EXPECT_EQ(got.visits, expected.visits);
            EXPECT_EQ(got.best_move, expected.best_move);
            EXPECT_EQ(got.simulations, expected.simulations);
            EXPECT_EQ(got.priors, expected.priors);
            EXPECT_EQ(steps.check_tree(), "");
        }
    }
}

// Re-rooting keeps the guided tree consistent on one thread and on two, and more runs add
// their simulations to the kept subtree.
TEST(GuidedSearch, ReusesItsTreeAcrossMoves) {
    for (int threads : {1, 2}) {
        PlayoutEvaluator evaluator;
        SearchConfig config = guided(&evaluator, 9, threads);
        config.dirichlet_fraction = 0.25;
        Search search(config);
        GameRecord game = random_position(9, 8);
        search.set_position(game);
        for (int turn = 0; turn < 6 && !is_over(game); ++turn) {
            const SearchResult result = run_sims(search, 600);
            ASSERT_EQ(search.check_tree(), "") << "turn " << turn;
            if (result.proof != Proof::Unknown) break;
            search.advance(result.best_move);
            play_legal(game, result.best_move);
        }
    }
}

TEST(GuidedSearch, TemperatureDrawsAmongVisitedMoves) {
    const GameRecord game = new_game(0, false);
    std::set<int> drawn;
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        PlayoutEvaluator evaluator;
        SearchConfig config = guided(&evaluator, seed);
        config.temperature = 1.0;
        Search search(config);
        search.set_position(game);
        const SearchResult result = run_sims(search, 200);
        ASSERT_GT(result.visits[static_cast<std::size_t>(result.best_move)], 0U);
        EXPECT_EQ(result.principal_variation.front(), result.best_move);
        drawn.insert(result.best_move);
    }
    EXPECT_GT(drawn.size(), 2U);
}

namespace {

// Runs batch to its end with evaluator, dropping the round numbered drop (if any) first.
std::vector<SearchResult> run_batch(SearchBatch& batch, Evaluator& evaluator, int drop) {
    std::vector<float> logits;
    std::vector<float> values;
    for (int round = 0;; ++round) {
        const int count = batch.gather();
        if (count == 0) break;
        std::vector<std::int8_t> planes(static_cast<std::size_t>(count) * 243);
        std::vector<std::uint8_t> legal(static_cast<std::size_t>(count) * kCells);
        batch.write_leaves(planes.data(), legal.data());
        if (round == drop) {
            batch.abandon();
            EXPECT_EQ(batch.check_trees(), "");
            continue;
        }
        // Logits from the evaluator's priors, which the softmax gives back up to a factor.
        logits.assign(legal.size(), 0.0F);
        values.assign(static_cast<std::size_t>(count), 0.0F);
        for (int k = 0; k < count; ++k) {
            std::array<float, kCells> priors{};
            values[static_cast<std::size_t>(k)] = evaluator.evaluate(GameRecord{}, priors.data(), 0);
            for (int c = 0; c < kCells; ++c) logits[static_cast<std::size_t>(k * kCells + c)] = priors[static_cast<std::size_t>(c)];
        }
        batch.scatter(logits.data(), values.data());
    }
    std::vector<SearchResult> results;
    for (std::size_t i = 0; i < batch.size(); ++i) results.push_back(batch.result(i));
    return results;
}

}  // namespace

// Several leaves a tree a round, under virtual loss: the budget is kept, the trees stay
// consistent, a dropped round changes nothing, and the leaves of a round differ.
TEST(GuidedSearch, VirtualLossSpreadsARoundsLeaves) {
    const std::vector<GameRecord> roots{random_position(1, 6), random_position(2, 9), random_position(3, 14)};
    SearchConfig config;
    config.seed = 4;
    FixedEvaluator evaluator(40, 1.0F, 0.1F);
    SearchBatch whole(roots, config, 300, 8);
    SearchBatch dropped(roots, config, 300, 8);
    const std::vector<SearchResult> a = run_batch(whole, evaluator, -1);
    const std::vector<SearchResult> b = run_batch(dropped, evaluator, 3);
    EXPECT_EQ(whole.check_trees(), "");
    for (std::size_t i = 0; i < roots.size(); ++i) {
        EXPECT_EQ(a[i].simulations, 300U);
        EXPECT_EQ(a[i].visits, b[i].visits);
    }
    // One round of eight leaves from a fresh tree (after its root) goes to eight moves.
    SearchBatch fresh({new_game(0, false)}, config, 300, 8);
    ASSERT_EQ(fresh.gather(), 1);  // the root
    std::vector<float> logits(kCells, 0.0F);
    std::vector<float> values(1, 0.0F);
    fresh.scatter(logits.data(), values.data());
    ASSERT_EQ(fresh.gather(), 8);
    std::vector<std::int8_t> planes(8 * 243);
    std::vector<std::uint8_t> legal(8 * kCells);
    fresh.write_leaves(planes.data(), legal.data());
    std::set<std::vector<std::int8_t>> distinct;
    for (int k = 0; k < 8; ++k) distinct.insert(std::vector<std::int8_t>(planes.begin() + k * 243, planes.begin() + (k + 1) * 243));
    EXPECT_EQ(distinct.size(), 8U);
}

// A pool large enough to be mapped with huge pages searches exactly as one from the
// allocator, on one thread and on two, and the mapping is aligned to the huge page.
TEST(GuidedSearch, MappedPoolSearchesAsAnAllocatedOne) {
    const GameRecord game = random_position(4, 6);
    auto searched = [&](std::uint32_t pool_nodes, int threads) {
        PlayoutEvaluator evaluator;
        SearchConfig config = guided(&evaluator, 5, threads);
        config.pool_nodes = pool_nodes;
        Search search(config);
        search.set_position(game);
        SearchResult result = run_sims(search, 3000);
        EXPECT_EQ(search.check_tree(), "");
        return result;
    };
    constexpr std::uint32_t kMapped = 2'200'000;  // 44 MB of nodes, 35 MB of guides
    static_assert(std::size_t{kMapped} * 16 >= mcts::detail::kMappedPoolBytes);
    for (const int threads : {1, 2}) {
        const SearchResult small = searched(200'000, threads);
        const SearchResult large = searched(kMapped, threads);
        EXPECT_EQ(small.visits, large.visits) << threads;
        EXPECT_EQ(small.values, large.values) << threads;
        EXPECT_EQ(small.principal_variation, large.principal_variation) << threads;
    }
    for (const std::size_t bytes : {std::size_t{1000}, mcts::detail::kMappedPoolBytes + 12345}) {
        mcts::detail::PoolRelease release;
        auto* data = static_cast<unsigned char*>(mcts::detail::pool_allocate(bytes, release));
        data[0] = 1;
        data[bytes - 1] = 2;  // the whole block is writable
#if defined(__linux__)
        EXPECT_EQ(release.bytes != 0, bytes >= mcts::detail::kMappedPoolBytes) << bytes;
        if (release.bytes != 0) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % (std::size_t{2} << 20), 0U);
            EXPECT_GE(release.bytes, bytes);
        }
#endif
        release(data);
    }
}
