// Whole random games (playout.hpp) against the loop of make_move over the listed cells that
// draws the same indices, on both ways of selecting the k-th cell.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "checkpoint.hpp"
#include "playout.hpp"
#include "select_path_support.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

class PlayoutOnPath : public OnPath {};

// One below() draw over the legal count per move, then that entry of the ascending list:
// play_random_to_end is exactly that loop over make_move, whatever the path.
TEST_P(PlayoutOnPath, RandomPlayoutDrawsOneIndexPerMoveOverTheListedCells) {
    for (std::uint64_t stream = 0; stream < 500; ++stream) {
        Rng fast_rng(7, stream);
        Rng checked_rng(7, stream);
        GameRecord fast = new_game(3, false);
        GameRecord checked = fast;
        const std::int8_t winner = play_random_to_end(fast, fast_rng);
        while (!checked.available.empty()) {
            const CellList listed = get_available_moves(checked);
            const std::uint32_t k = checked_rng.below(static_cast<std::uint32_t>(listed.size()));
            ASSERT_TRUE(make_move(checked, listed.cells[k], checked.next_player).accepted);
        }
        expect_same(fast, checked, "after a playout");
        EXPECT_EQ(winner, checked.winner);
        EXPECT_EQ(fast_rng.next(), checked_rng.next()) << "the generators drew differently";
    }
}

// The same from built positions: mid-game boards with either player to move (the whole-game
// path), and with ids other than 1 and 2 to move, which play_random_to_end plays one move at a
// time through the board.
TEST_P(PlayoutOnPath, RandomPlayoutFromBuiltPositionsFollowsTheListedCells) {
    std::mt19937_64 rng(8);
    for (const int id : {1, 2, 3, 0, -1}) {
        for (std::uint64_t stream = 0; stream < 100; ++stream) {
            std::array<std::int8_t, kCells> board{};
            for (auto& value : board) value = static_cast<std::int8_t>(rng() % 5 == 0 ? 1 + rng() % 2 : 0);
            board[static_cast<std::size_t>(rng() % kCells)] = 2;  // never the opening move
            GameRecord fast = new_game(0, false);
            load_checkpoint(fast, checkpoint_from_position(board, static_cast<std::int8_t>(id),
                                                           static_cast<std::int8_t>(static_cast<int>(rng() % 11) - 1)));
            GameRecord checked = fast;
            Rng fast_rng(9, stream);
            Rng checked_rng(9, stream);
            play_random_to_end(fast, fast_rng);
            while (!checked.available.empty()) {
                const CellList listed = get_available_moves(checked);
                const std::uint32_t k = checked_rng.below(static_cast<std::uint32_t>(listed.size()));
                ASSERT_TRUE(make_move(checked, listed.cells[k], checked.next_player).accepted);
            }
            expect_same(fast, checked, "after a playout from a built position");
            EXPECT_EQ(fast_rng.next(), checked_rng.next());
        }
    }
}

// play_random_move agrees move by move with play_random_to_end on the same stream.
TEST_P(PlayoutOnPath, RandomMovesRepeatThePlayout) {
    for (std::uint64_t stream = 0; stream < 200; ++stream) {
        Rng whole_rng(5, stream);
        Rng step_rng(5, stream);
        GameRecord whole = new_game(0, false);
        GameRecord step = whole;
        play_random_to_end(whole, whole_rng);
        while (!step.available.empty()) {
            const GameRecord before = step;
            const int cell = play_random_move(step, step_rng);
            ASSERT_EQ(before.board[static_cast<std::size_t>(cell)], 0);
            ASSERT_EQ(step.board[static_cast<std::size_t>(cell)], before.next_player);
        }
        expect_same(step, whole, "after single moves");
    }
}

// A finished game is returned as it is and draws nothing.
TEST_P(PlayoutOnPath, PlayoutOfAFinishedGameChangesNothing) {
    Rng rng(3);
    GameRecord game = new_game(0, false);
    play_random_to_end(game, rng);
    const GameRecord finished = game;
    const Rng before = rng;
    EXPECT_EQ(play_random_to_end(game, rng), finished.winner);
    expect_same(game, finished, "second playout");
    Rng copy = before;
    EXPECT_EQ(rng.next(), copy.next());
}

INSTANTIATE_TEST_SUITE_P(Paths, PlayoutOnPath, ::testing::Values(SelectPath::Portable, SelectPath::Pdep), path_name);

// The same seed and stream give the same game, and both paths give the same games.
TEST(Playout, SameSeedSameGameOnEitherPath) {
    const SelectPath paths[2] = {SelectPath::Portable, SelectPath::Pdep};
    const int path_count = pdep_supported() ? 2 : 1;
    for (std::uint64_t stream = 0; stream < 1000; ++stream) {
        std::vector<GameRecord> games;
        for (int p = 0; p < path_count; ++p) {
            set_select_path(paths[p]);
            for (int repeat = 0; repeat < 2; ++repeat) {
                Rng rng(42, stream);
                GameRecord game = new_game(0, false);
                play_random_to_end(game, rng);
                games.push_back(game);
            }
        }
        for (const GameRecord& game : games) ASSERT_EQ(game, games[0]) << "stream " << stream;
    }
    set_select_path(default_select_path());
    // Different streams do not all give the same game.
    Rng one(42, 0);
    Rng two(42, 1);
    GameRecord a = new_game(0, false);
    GameRecord b = a;
    play_random_to_end(a, one);
    play_random_to_end(b, two);
    EXPECT_NE(a.board, b.board);
}

}  // namespace
