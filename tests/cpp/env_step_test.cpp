#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "batch.hpp"
#include "board.hpp"
#include "env_step.hpp"
#include "planes.hpp"
#include "rng.hpp"

using namespace nonagame;

namespace {

// The arrays of n games' batch and environment, and of one step's results.
struct Arrays {
    explicit Arrays(std::size_t n)
        : boards(81 * n), to_move(n), winner(n), legal(81 * n), done(n), moves(n), last(n), planes(kPlaneValues * n),
          agent(n), rewards(n), terminated(n), illegal(n), restart(n), opponent(n),
          out_planes(kPlaneValues * n), out_mask(81 * n), out_rewards(n), out_terminated(n), out_illegal(n),
          out_agent(n), out_opponent(n) {}

    BatchArrays batch() {
        return {boards.data(), legal.data(), to_move.data(), winner.data(), done.data(), moves.data(), last.data()};
    }
    EnvArrays env() {
        return {planes.data(), rewards.data(), terminated.data(), illegal.data(),
                opponent.data(), agent.data(), restart.data()};
    }
    EnvOutputs outputs() {
        return {out_planes.data(), out_mask.data(), out_rewards.data(), out_terminated.data(), out_illegal.data(),
                out_agent.data(), out_opponent.data()};
    }

    std::vector<std::int8_t> boards, to_move, winner;
    std::vector<std::uint8_t> legal, done;
    std::vector<std::int16_t> moves, last;
    std::vector<std::int8_t> planes, agent;
    std::vector<double> rewards;
    std::vector<std::uint8_t> terminated, illegal, restart;
    std::vector<std::int64_t> opponent;
    std::vector<std::int8_t> out_planes, out_mask;
    std::vector<double> out_rewards;
    std::vector<std::uint8_t> out_terminated, out_illegal;
    std::vector<std::int64_t> out_agent, out_opponent;
};

// Game i's observation and mask as its last step handed them out, written whole from its
// record by write_planes: the legal channel and the mask are empty once the episode has
// ended (illegal, or the game over). The state's planes are the marks alone.
void expect_row_matches_record(const Arrays& a, const Batch& batch, std::size_t i) {
    const GameRecord& game = batch.game(i);
    const int agent = a.agent[i];
    std::array<std::int8_t, kPlaneValues> expected{};
    write_planes(game, agent, expected.data());
    const bool ended = a.restart[i] != 0;
    std::array<std::int8_t, kPlaneValues> marks = expected;
    for (int k = 2; k < kPlaneValues; k += kPlaneChannels) {
        marks[static_cast<std::size_t>(k)] = 0;
        if (ended) expected[static_cast<std::size_t>(k)] = 0;
    }
    ASSERT_EQ(0, std::memcmp(expected.data(), a.out_planes.data() + kPlaneValues * i, kPlaneValues)) << "game " << i;
    ASSERT_EQ(0, std::memcmp(marks.data(), a.planes.data() + kPlaneValues * i, kPlaneValues)) << "game " << i;
    const CellSet legal = legal_cells(game);
    for (int cell = 0; cell < kCells; ++cell) {
        const int want = !ended && game.next_player == agent && legal.contains(cell) ? 1 : 0;
        ASSERT_EQ(a.out_mask[81 * i + static_cast<std::size_t>(cell)], want) << "game " << i << ", cell " << cell;
    }
    // The batch's last move is the environment's: the last cell on the board.
    if (a.opponent[i] >= 0) {
        EXPECT_EQ(a.last[i], a.opponent[i]);
    }
}

// Over many steps of random, sometimes illegal, actions and every way of choosing sides,
// the planes and masks that the step hands out (the state's marks, the legal cells written
// roster by roster) are those written whole from the records, and a step's other outputs
// are copies of the state.
class EnvStepTest : public ::testing::TestWithParam<AgentPlays> {};

TEST_P(EnvStepTest, PlanesAndMasksFollowTheRecords) {
    const std::size_t n = 16;
    Arrays a(n);
    Batch batch(n, 11, a.batch());
    EnvSteps env(n, GetParam(), a.env());
    const EnvOutputs out = a.outputs();
    for (std::size_t i = 0; i < n; ++i) {
        env.start(batch, i, true);
        env.copy_out(batch, i, out);
        expect_row_matches_record(a, batch, i);
    }
    Rng rng(5, 0);
    int illegal = 0, ended = 0, free_choices = 0;
    for (int step = 0; step < 400; ++step) {
        for (std::size_t i = 0; i < n; ++i) {
            const CellSet legal = legal_cells(batch.game(i));
            free_choices += legal.size() > 9 ? 1 : 0;
            int cell = static_cast<int>(rng.below(kCells));
            if (!legal.empty() && rng.below(20) != 0) cell = legal.nth(static_cast<int>(rng.below(legal.size())));
            env.step(batch, i, cell, true);
            env.copy_out(batch, i, out);
            illegal += a.illegal[i];
            ended += a.terminated[i];
            expect_row_matches_record(a, batch, i);
            if (::testing::Test::HasFatalFailure()) return;
        }
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(a.rewards[i], a.out_rewards[i]);
            ASSERT_EQ(a.terminated[i], a.out_terminated[i]);
            ASSERT_EQ(a.illegal[i], a.out_illegal[i]);
            ASSERT_EQ(a.agent[i], a.out_agent[i]);
            ASSERT_EQ(a.opponent[i], a.out_opponent[i]);
        }
    }
    // The run went through every kind of step.
    EXPECT_GT(illegal, 50);
    EXPECT_GT(ended - illegal, 50);
    EXPECT_GT(free_choices, 50);
}

INSTANTIATE_TEST_SUITE_P(EnvStep, EnvStepTest,
                         ::testing::Values(AgentPlays::kFirst, AgentPlays::kSecond, AgentPlays::kAlternate));

}  // namespace
