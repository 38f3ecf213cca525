#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "board.hpp"
#include "fault.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

std::vector<int> range(int first, int last) {
    std::vector<int> cells;
    for (int c = first; c <= last; ++c) cells.push_back(c);
    return cells;
}

TEST(Board, NewGameListsEveryCell) {
    const GameRecord game = new_game(42, false);
    EXPECT_EQ(cells_of(get_available_moves(game)), range(0, 80));
    EXPECT_EQ(game.id, 42U);
    EXPECT_EQ(game.next_player, 1);
    EXPECT_EQ(game.next_roster, ROSTER_ANY);
    for (const std::int8_t status : game.rosters) EXPECT_EQ(status, ROSTER_OPEN);
    EXPECT_EQ(get_winner(game), 0);
    EXPECT_FALSE(game.finished);
}

TEST(Board, EveryOpeningSendsTheReplyToThePositionsRoster) {
    for (int cell = 0; cell < kCells; ++cell) {
        GameRecord game = new_game(0, false);
        const MoveOutcome outcome = make_move(game, static_cast<std::int8_t>(cell), 1);
        ASSERT_TRUE(outcome.accepted && outcome.cells_remain);
        EXPECT_EQ(game.board[cell], 1);
        EXPECT_EQ(game.next_player, 2);
        EXPECT_EQ(game.next_roster, cell % 9);
        EXPECT_EQ(game.moves_accepted, 1U);
        std::vector<int> expected = range(9 * (cell % 9), 9 * (cell % 9) + 8);
        std::erase(expected, cell);
        EXPECT_EQ(cells_of(get_available_moves(game)), expected) << "opening " << cell;
    }
}

// P1 takes 1, 2 then 0: roster 0 is won and the reply is sent into it.
const std::initializer_list<int> kRosterZeroWon = {1, 9, 2, 18, 0};

struct Refusal {
    std::vector<int> moves;
    int cell;
    int player;
    MoveErrorKind kind;
    std::string message;
};

class MoveRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(MoveRefusal, LeavesTheRecordUnchanged) {
    const Refusal& c = GetParam();
    GameRecord game = new_game(3, false);
    for (const int cell : c.moves) play(game, {cell});
    const GameRecord before = game;
    const MoveOutcome outcome = make_move(game, static_cast<std::int8_t>(c.cell), static_cast<std::int8_t>(c.player));
    EXPECT_FALSE(outcome.accepted);
    EXPECT_EQ(outcome.error.kind, c.kind);
    EXPECT_EQ(outcome.error.message, c.message);
    EXPECT_EQ(outcome.error.text(), "ERROR: Invalid move error - " + c.message);
    EXPECT_EQ(game, before);
}

INSTANTIATE_TEST_SUITE_P(
    Board, MoveRefusal,
    ::testing::Values(
        Refusal{{}, 0, 2, MoveErrorKind::WrongPlayer, "Expected player: 1, but got player 2"},
        Refusal{{40}, 36, 1, MoveErrorKind::WrongPlayer, "Expected player: 2, but got player 1"},
        Refusal{{}, 0, -5, MoveErrorKind::WrongPlayer, "Expected player: 1, but got player -5"},
        // Wrong player is checked before the index.
        Refusal{{}, 81, 2, MoveErrorKind::WrongPlayer, "Expected player: 1, but got player 2"},
        // 40 is occupied and outside the required roster 0: occupancy comes first.
        Refusal{{40, 36}, 40, 1, MoveErrorKind::InvalidMove, "THIS CELL ALREADY CONTAINS INPUT"},
        Refusal{{3}, 0, 2, MoveErrorKind::InvalidMove, "Wrong roster! You have to play in roster 4"},
        Refusal{{80}, 0, 2, MoveErrorKind::InvalidMove, "Wrong roster! You have to play in roster 9"},
        Refusal{kRosterZeroWon, 3, 2, MoveErrorKind::InvalidMove, "THIS ROSTER IS ALREADY COMPLETE"}),
    [](const ::testing::TestParamInfo<Refusal>& param) { return "Case" + std::to_string(param.index); });

TEST(Board, IndexFaultsLeaveTheRecordUnchanged) {
    const struct {
        int cell;
        const char* text;
    } cases[] = {{81, "81"}, {127, "127"}, {-1, "255"}, {-128, "128"}};
    for (const std::vector<int>& moves : {std::vector<int>{}, std::vector<int>{40}}) {
        GameRecord game = new_game(0, false);
        for (const int cell : moves) play(game, {cell});
        for (const auto& c : cases) {
            const GameRecord before = game;
            try {
                make_move(game, static_cast<std::int8_t>(c.cell), game.next_player);
                ADD_FAILURE() << "no fault for cell " << c.cell;
            } catch (const Fault& fault) {
                EXPECT_EQ(fault.text(), std::string("index out of bounds: the len is 81 but the index is ") + c.text);
            }
            EXPECT_EQ(game, before);
        }
    }
}

TEST(Board, DecidedTargetRosterFreesTheChoice) {
    GameRecord game = played(kRosterZeroWon);
    ASSERT_EQ(game.rosters[0], 1);
    ASSERT_EQ(game.next_roster, 0);
    std::vector<int> expected = range(10, 80);  // roster 0 is closed; 9 and 18 are taken
    std::erase(expected, 18);
    EXPECT_EQ(cells_of(get_available_moves(game)), expected);
    const MoveOutcome outcome = make_move(game, 80, 2);
    EXPECT_TRUE(outcome.accepted && outcome.cells_remain);
}

// A next_roster outside 0..8 (loaded from a checkpoint) or ROSTER_ANY on a board with marks
// is a free choice that still refuses occupied cells.
TEST(Board, UnusualNextRosterIsAFreeChoice) {
    for (const int next_roster : {-1, 9, 10, 127, -128}) {
        GameRecord game = played({40});
        game.next_roster = static_cast<std::int8_t>(next_roster);
        EXPECT_EQ(cells_of(get_available_moves(game)).size(), 80U);
        GameRecord before = game;
        const MoveOutcome occupied = make_move(game, 40, 2);
        EXPECT_EQ(occupied.error.message, "THIS CELL ALREADY CONTAINS INPUT") << next_roster;
        EXPECT_EQ(game, before);
        const MoveOutcome outcome = make_move(game, 0, 2);
        ASSERT_TRUE(outcome.accepted) << next_roster;
        EXPECT_EQ(game.board[0], 2);
        EXPECT_EQ(game.next_roster, 0);
        EXPECT_EQ(game.next_player, 1);
    }
}

TEST(Board, FinishedGameRefusesEveryMove) {
    GameRecord game = played({40});
    game.available.clear();
    game.finished = true;
    for (const int cell : {0, 36, 81, -1}) {
        const GameRecord before = game;
        const MoveOutcome outcome = make_move(game, static_cast<std::int8_t>(cell), 2);
        EXPECT_EQ(outcome.error.kind, MoveErrorKind::InvalidMove);
        EXPECT_EQ(outcome.error.message, "THIS GAME IS ALREADY OVER");
        EXPECT_EQ(game, before);
    }
    EXPECT_EQ(make_move(game, 0, 1).error.kind, MoveErrorKind::WrongPlayer);
}

// Counts move sequences of the given length by playing every listed move on copies.
std::uint64_t perft(const GameRecord& game, int depth) {
    if (depth == 0) return 1;
    std::uint64_t count = 0;
    for (const std::int8_t cell : get_available_moves(game)) {
        GameRecord next = game;
        if (!make_move(next, cell, next.next_player).accepted) ADD_FAILURE() << "listed move refused";
        count += perft(next, depth - 1);
    }
    return count;
}

// Nothing can be won or drawn in four plies. Write the moves as (roster, position) pairs
// (R,p), (p,q), (q,s): a sequence is legal unless a cell repeats (R=p=q, p=q=s, or R=q and
// p=s), and a reply has the 9 cells of its roster minus those already played there:
//   2 plies: 81 * 9 - 9 (openings at position R of roster R)                    = 720
//   3 plies: 720 * 9 - 72 (R == q) - 72 (p == q)                                = 6336
//   4 plies: 6336 * 9 - 720 (R == s) - 576 (p == s) - 648 (q == s)              = 55080
// where e.g. the 729 tuples with p == s lose 81 with p == q and 81 with R == q, 9 of them
// in both, to the legality rule.
TEST(Board, PerftCountsOfTheFirstPlies) {
    const GameRecord game = new_game(0, false);
    EXPECT_EQ(perft(game, 1), 81U);
    EXPECT_EQ(perft(game, 2), 720U);
    EXPECT_EQ(perft(game, 3), 6336U);
    EXPECT_EQ(perft(game, 4), 55080U);
}

// Owner of a complete line among nine values, checked with the written-out lines.
int line_owner(const std::int8_t* group) {
    for (const auto& line : kLineCells) {
        const std::int8_t v = group[line[0]];
        if ((v == 1 || v == 2) && group[line[1]] == v && group[line[2]] == v) return v;
    }
    return 0;
}

// nth(k) walks the same ascending order as for_each, also across the two words of the set
// (roster 7 holds cells 63..71) and for sets that live in one word only.
TEST(Board, CellSetNthFollowsTheIterationOrder) {
    std::mt19937_64 rng(81);
    std::vector<CellSet> sets = {CellSet::full(), CellSet::roster(0), CellSet::roster(7),
                                 CellSet::roster(8), CellSet::full() & CellSet::roster(7)};
    for (int i = 0; i < 200; ++i) {
        CellSet set;
        for (int c = 0; c < kCells; ++c) {
            if (rng() % 3 == 0) set.insert(c);
        }
        sets.push_back(set);
    }
    for (const CellSet& set : sets) {
        const std::vector<int> cells = cells_of(set);
        ASSERT_EQ(set.size(), static_cast<int>(cells.size()));
        for (int k = 0; k < set.size(); ++k) ASSERT_EQ(set.nth(k), cells[static_cast<std::size_t>(k)]);
    }
}

// Random games, checking after every move the record against the rules recomputed from
// the board alone.
TEST(Board, RandomGamesKeepTheRulesInvariants) {
    std::mt19937 rng(20240601);
    int results[3] = {0, 0, 0};
    for (int round = 0; round < 3000; ++round) {
        GameRecord game = new_game(0, false);
        while (!game.finished) {
            const CellList moves = get_available_moves(game);
            ASSERT_GT(moves.size(), 0);
            const std::int8_t cell = moves.cells[std::uniform_int_distribution<int>(0, moves.size() - 1)(rng)];
            const MoveOutcome outcome = make_move(game, cell, game.next_player);
            ASSERT_TRUE(outcome.accepted);

            int empty_in[9] = {};
            for (int c = 0; c < kCells; ++c) empty_in[c / 9] += game.board[c] == 0;
            for (int r = 0; r < kRosters; ++r) {
                const int owner = line_owner(game.board.data() + 9 * r);
                const int expected = owner != 0 ? owner : empty_in[r] == 0 ? 0 : -1;
                ASSERT_EQ(game.rosters[r], expected) << "roster " << r;
            }
            const int winner = line_owner(game.rosters.data());
            ASSERT_EQ(game.winner, winner);
            std::vector<int> free_cells;
            for (int c = 0; c < kCells && winner == 0; ++c) {
                if (game.board[c] == 0 && game.rosters[c / 9] == -1) free_cells.push_back(c);
            }
            ASSERT_EQ(cells_of(game.available), free_cells);
            ASSERT_EQ(outcome.cells_remain, !free_cells.empty());
            ASSERT_EQ(game.finished, free_cells.empty());

            std::vector<int> listed = free_cells;
            const int target = game.next_roster;
            if (game.rosters[target] == -1) std::erase_if(listed, [&](int c) { return c / 9 != target; });
            ASSERT_EQ(cells_of(get_available_moves(game)), listed);
            ASSERT_EQ(cells_of(legal_cells(game)), listed);
        }
        ++results[game.winner];
        EXPECT_EQ(make_move(game, 0, game.next_player).error.message, "THIS GAME IS ALREADY OVER");
    }
    EXPECT_GT(results[0], 0);
    EXPECT_GT(results[1], 0);
    EXPECT_GT(results[2], 0);
}

}  // namespace
