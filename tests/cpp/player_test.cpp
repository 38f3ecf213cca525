#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <vector>

#include "fault.hpp"
#include "player/player.hpp"
#include "player/random.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

// Pearson's statistic of counts against a uniform expectation.
double chi_square(const std::vector<int>& counts, int draws) {
    const double expected = static_cast<double>(draws) / static_cast<double>(counts.size());
    double sum = 0;
    for (const int n : counts) sum += (n - expected) * (n - expected) / expected;
    return sum;
}

TEST(Player, IdMustBeOneOrTwo) {
    for (const int id : {1, 2}) {
        const PlayerRecord player = new_player(static_cast<std::int8_t>(id));
        EXPECT_EQ(player.id, id);
        EXPECT_EQ(player.wins, 0U);
    }
    for (const int id : {0, 3, -1, 127, -128}) {
        try {
            new_player(static_cast<std::int8_t>(id));
            ADD_FAILURE() << "id " << id << " accepted";
        } catch (const Fault& fault) {
            EXPECT_EQ(fault.text(), "ID SHOULD BE EQUAL TO 1 OR 2");
        }
    }
}

TEST(Player, DefaultMovePlaysForItsOwnId) {
    GameRecord game = new_game(0, false);
    const GameRecord before = game;
    const MoveOutcome refused = play_default_move(new_player(2), game);
    EXPECT_EQ(refused.error.kind, MoveErrorKind::WrongPlayer);
    EXPECT_EQ(game, before);

    EXPECT_TRUE(play_default_move(new_player(1), game).accepted);
    EXPECT_EQ(game.next_player, 2);
    EXPECT_EQ(std::count(game.board.begin(), game.board.end(), 1), 1);
}

TEST(Player, NoListedCellIsAFault) {
    GameRecord game = played({40});
    game.available.clear();
    const GameRecord before = game;
    try {
        play_default_move(new_player(2), game);
        ADD_FAILURE() << "no fault";
    } catch (const Fault& fault) {
        EXPECT_EQ(fault.text(), "first attempt");
    }
    EXPECT_EQ(game, before);
}

TEST(Player, DefaultMoveChoosesEveryCellAlike) {
    const GameRecord opening = new_game(0, false);
    const PlayerRecord player = new_player(1);
    std::vector<int> counts(kCells);
    const int draws = 81 * 500;
    for (int i = 0; i < draws; ++i) {
        GameRecord game = opening;
        play_default_move(player, game);
        ++counts[static_cast<std::size_t>(std::find(game.board.begin(), game.board.end(), 1) - game.board.begin())];
    }
    // 80 degrees of freedom: mean 80, standard deviation about 12.6.
    EXPECT_LT(chi_square(counts, draws), 160.0);
}

// A forced roster whose cells straddle the two words of the set (roster 7: cells 63..71),
// with some of them taken: only its free cells are chosen, each alike.
TEST(Player, DefaultMoveChoosesAlikeInAForcedRoster) {
    // 7 sends to roster 7, 70 (its position 7) back to it, 64 to roster 1, 16 to roster 7.
    const GameRecord position = played({7, 70, 64, 16});
    ASSERT_EQ(position.next_roster, 7);
    const CellList listed = get_available_moves(position);
    const PlayerRecord player = new_player(position.next_player);
    std::vector<int> counts(kCells);
    const int draws = listed.size() * 2000;
    for (int i = 0; i < draws; ++i) {
        GameRecord game = position;
        ASSERT_TRUE(play_default_move(player, game).accepted);
        for (int c = 0; c < kCells; ++c) counts[static_cast<std::size_t>(c)] += game.board[c] != position.board[c];
    }
    std::vector<int> chosen;
    for (const std::int8_t cell : listed) chosen.push_back(counts[static_cast<std::size_t>(cell)]);
    EXPECT_EQ(std::accumulate(chosen.begin(), chosen.end(), 0), draws);
    // listed.size() - 1 degrees of freedom (at most 8): well below 30.
    EXPECT_LT(chi_square(chosen, draws), 30.0);
}

TEST(Random, UniformIndexStaysInBoundsAndIsUnbiased) {
    for (const std::uint32_t bound : {1U, 2U, 3U, 9U, 81U, 0x80000001U, 0xFFFFFFFFU}) {
        for (int i = 0; i < 2000; ++i) ASSERT_LT(uniform_index(bound), bound);
    }
    for (const std::uint32_t bound : {2U, 9U, 81U}) {
        std::vector<int> counts(bound);
        const int draws = static_cast<int>(bound) * 2000;
        for (int i = 0; i < draws; ++i) ++counts[uniform_index(bound)];
        // Far beyond any plausible deviation for up to 80 degrees of freedom.
        EXPECT_LT(chi_square(counts, draws), 40.0 + 2.0 * bound) << "bound " << bound;
    }
    // A plain remainder would put half the draws below 2^30 for this bound instead of a third.
    const std::uint32_t bound = 0xC0000000U;
    int low = 0;
    const int draws = 30000;
    for (int i = 0; i < draws; ++i) low += uniform_index(bound) < 0x40000000U;
    EXPECT_NEAR(static_cast<double>(low) / draws, 1.0 / 3.0, 0.02);
}

TEST(Random, ForkedChildDoesNotReplayTheParent) {
    uniform_index(2);  // the parent's generator is seeded before the fork
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    std::array<std::uint32_t, 8> draws{};
    if (child == 0) {
        for (auto& d : draws) d = uniform_index(0xFFFFFFFFU);
        const bool ok = write(fds[1], draws.data(), sizeof draws) == static_cast<ssize_t>(sizeof draws);
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    for (auto& d : draws) d = uniform_index(0xFFFFFFFFU);
    std::array<std::uint32_t, 8> from_child{};
    EXPECT_EQ(read(fds[0], from_child.data(), sizeof from_child), static_cast<ssize_t>(sizeof from_child));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(from_child, draws);
}

}  // namespace
