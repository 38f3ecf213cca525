// The legal-move fast paths (legal.hpp) against the checked rules of board.hpp, on both
// ways of selecting the k-th cell, and the masks a record keeps beside its board.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bits.hpp"
#include "checkpoint.hpp"
#include "legal.hpp"
#include "select_path_support.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

class LegalOnPath : public OnPath {};

// play_legal and make_move on copies of the same record, every cell chosen through
// nth_legal_cell, which must name entry k of get_available_moves.
TEST_P(LegalOnPath, PlayLegalAgreesWithMakeMove) {
    Rng rng(11);
    int winners[3] = {0, 0, 0};
    for (int round = 0; round < 3000; ++round) {
        GameRecord checked = new_game(static_cast<std::uint32_t>(round), false);
        GameRecord fast = checked;
        while (!checked.finished) {
            const CellList listed = get_available_moves(checked);
            ASSERT_GT(listed.size(), 0);
            const int k = static_cast<int>(rng.below(static_cast<std::uint32_t>(listed.size())));
            const int cell = nth_legal_cell(fast, k);
            ASSERT_EQ(cell, listed.cells[static_cast<std::size_t>(k)]);
            const MoveOutcome outcome = make_move(checked, static_cast<std::int8_t>(cell), checked.next_player);
            ASSERT_TRUE(outcome.accepted);
            play_legal(fast, cell);
            expect_same(fast, checked, "after a move");
        }
        ++winners[checked.winner];
    }
    // Wins for both players and draws all occur, so every ending was compared.
    EXPECT_GT(winners[0], 0);
    EXPECT_GT(winners[1], 0);
    EXPECT_GT(winners[2], 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, LegalOnPath, ::testing::Values(SelectPath::Portable, SelectPath::Pdep), path_name);

// Both ways of selecting agree with the ascending order on sets of every density, including
// sets in one word only and sets whose cells straddle the two words.
TEST(Legal, NthCellPathsAgreeOnRandomSets) {
    std::mt19937_64 rng(2024);
    std::vector<CellSet> sets = {CellSet::full(), CellSet::roster(7), CellSet::roster(8),
                                 CellSet::from_words(~std::uint64_t{0}, 0), CellSet::from_words(0, 1)};
    for (int i = 0; i < 3000; ++i) {
        const std::uint64_t density = rng() % 8;
        std::uint64_t low = rng();
        std::uint64_t high = rng();
        for (std::uint64_t d = 0; d < density; ++d) {
            low &= rng();
            high &= rng();
        }
        if (i % 5 == 0) low = 0;
        if (i % 7 == 0) high = 0;
        sets.push_back(CellSet::from_words(low, high));
    }
    for (const CellSet& set : sets) {
        const std::vector<int> cells = cells_of(set);
        for (int k = 0; k < set.size(); ++k) {
            const int expected = cells[static_cast<std::size_t>(k)];
            ASSERT_EQ(set.nth(k), expected);
            ASSERT_EQ(nth_cell(set, k, SelectPath::Portable), expected);
            if (pdep_supported()) {
                ASSERT_EQ(nth_cell(set, k, SelectPath::Pdep), expected);
            }
        }
    }
}

// Every 9-bit roster mask and every rank, through the tables and the instructions.
TEST(Legal, RosterSelectionAgreesForEveryMask) {
    for (unsigned mask = 0; mask < 512; ++mask) {
        std::vector<int> positions;
        for (int p = 0; p < 9; ++p) {
            if ((mask >> p) & 1U) positions.push_back(p);
        }
        ASSERT_EQ(bits::count9(mask), static_cast<int>(positions.size()));
        for (int k = 0; k < bits::count9(mask); ++k) {
            ASSERT_EQ(bits::select9(mask, k), positions[static_cast<std::size_t>(k)]) << mask;
            ASSERT_EQ(bits::select(mask, k), positions[static_cast<std::size_t>(k)]) << mask;
#if NONAGAME_HAVE_PDEP
            if (pdep_supported()) {
                ASSERT_EQ(bits::x86::select(mask, k), positions[static_cast<std::size_t>(k)]) << mask;
                ASSERT_EQ(bits::x86::popcount(mask), bits::count9(mask));
            }
#endif
        }
    }
}

// Leaves of the game tree at each depth, counted through play_legal on copies.
std::uint64_t perft(const GameRecord& game, int depth) {
    if (depth == 0) return 1;
    std::uint64_t leaves = 0;
    legal_cells(game).for_each([&](int cell) {
        GameRecord child = game;
        play_legal(child, cell);
        leaves += depth == 1 ? 1 : perft(child, depth - 1);
    });
    return leaves;
}

class Perft : public ::testing::TestWithParam<std::pair<int, std::uint64_t>> {};

TEST_P(Perft, CountsTheGameTreeFromTheEmptyBoard) {
    const auto [depth, leaves] = GetParam();
    EXPECT_EQ(perft(new_game(0, false), depth), leaves);
}

// Depths 1 to 5 count placements under the roster rule alone: 81 openings, then 9 replies in
// the roster the opening names (8 when that is the opening's own roster), and so on. A roster
// can be won on the fifth move (336 of the positions after five moves hold one), which first
// changes what may be played at depth 6: the won roster's cells close and a reply sent there
// goes anywhere.
INSTANTIATE_TEST_SUITE_P(Depths, Perft,
                         ::testing::Values(std::pair<int, std::uint64_t>{1, 81}, std::pair<int, std::uint64_t>{2, 720},
                                           std::pair<int, std::uint64_t>{3, 6336},
                                           std::pair<int, std::uint64_t>{4, 55080},
                                           std::pair<int, std::uint64_t>{5, 473256},
                                           std::pair<int, std::uint64_t>{6, 4020960}));

// Loaded positions, from games and from arbitrary boards (values other than 0..2 included),
// carry masks that match their boards, and the fast and checked paths continue alike.
TEST(Legal, MasksFollowLoadedPositions) {
    std::mt19937_64 rng(99);
    Rng moves(1);
    for (int round = 0; round < 400; ++round) {
        CheckpointRecord checkpoint;
        if (round % 2 == 0) {
            GameRecord source = new_game(0, false);
            const int turns = static_cast<int>(rng() % 60);
            for (int t = 0; t < turns && !source.available.empty(); ++t) play_random_move(source, moves);
            checkpoint = make_checkpoint(source);
        } else {
            std::array<std::int8_t, kCells> board{};
            for (auto& value : board) {
                const std::uint64_t draw = rng() % 10;
                value = static_cast<std::int8_t>(draw < 5 ? 0 : draw < 7 ? 1 : draw < 9 ? 2 : static_cast<int>(rng() % 256) - 128);
            }
            checkpoint = checkpoint_from_position(board, static_cast<std::int8_t>(1 + rng() % 2),
                                                  static_cast<std::int8_t>(static_cast<int>(rng() % 12) - 1));
        }
        GameRecord checked = played({40, 37});  // a game in progress, its masks not empty
        load_checkpoint(checked, checkpoint);
        ASSERT_TRUE(masks_in_sync(checked)) << "round " << round;
        GameRecord fast = checked;
        while (!checked.available.empty() && get_available_moves(checked).size() > 0) {
            const CellList listed = get_available_moves(checked);
            const std::int8_t cell = listed.cells[rng() % static_cast<std::uint64_t>(listed.size())];
            ASSERT_TRUE(make_move(checked, cell, checked.next_player).accepted);
            play_legal(fast, cell);
            expect_same(fast, checked, "after a move from a loaded position");
        }
    }
}

// A position whose player to move is not 1 or 2 (a checkpoint can be built for any id) is
// played by the board itself rather than by masks, with the same results on both paths.
TEST(Legal, OtherPlayerIdsFollowTheBoard) {
    std::mt19937_64 rng(5);
    for (const int id : {0, 3, -1, 127}) {
        for (int round = 0; round < 50; ++round) {
            std::array<std::int8_t, kCells> board{};
            for (auto& value : board) value = static_cast<std::int8_t>(rng() % 4 == 0 ? 1 + rng() % 2 : 0);
            board[static_cast<std::size_t>(rng() % kCells)] = 1;  // never the opening move
            const CheckpointRecord checkpoint =
                checkpoint_from_position(board, static_cast<std::int8_t>(id), static_cast<std::int8_t>(rng() % 9));
            GameRecord checked = new_game(0, false);
            load_checkpoint(checked, checkpoint);
            GameRecord fast = checked;
            for (int turn = 0; turn < 3 && get_available_moves(checked).size() > 0; ++turn) {
                const CellList listed = get_available_moves(checked);
                const std::int8_t cell = listed.cells[rng() % static_cast<std::uint64_t>(listed.size())];
                ASSERT_TRUE(make_move(checked, cell, checked.next_player).accepted);
                play_legal(fast, cell);
                expect_same(fast, checked, "after a move by another id");
            }
        }
    }
}

}  // namespace
