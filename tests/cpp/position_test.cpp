#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "board.hpp"
#include "checkpoint.hpp"
#include "legal.hpp"
#include "notation.hpp"
#include "position.hpp"
#include "position_support.hpp"
#include "rng.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

Position from_moves(const std::vector<long long>& cells) {
    const Result<Position> result = Position::from_moves(cells);
    EXPECT_TRUE(result.ok()) << result.refusal().message;
    return result.ok() ? result.value() : Position();
}

int open_rosters(const GameRecord& game) {
    int open = 0;
    for (const std::int8_t status : game.rosters) open += status == ROSTER_OPEN;
    return open;
}

TEST(PositionBasics, Opening) {
    const Position opening;
    EXPECT_EQ(opening.to_move(), 1);
    EXPECT_EQ(opening.forced_roster(), -1);
    EXPECT_EQ(opening.legal_list().size(), kCells);
    EXPECT_EQ(opening.winner(), 0);
    EXPECT_FALSE(opening.is_over());
    EXPECT_EQ(opening.key(), opening.recompute_key());
    EXPECT_EQ(opening.record(), new_game(0, false));
}

// Keys may be stored (opening books, tables on disk): they must not change between builds.
// These values pin the seed and the order of the terms; changing them is a format change.
TEST(PositionBasics, KeysAreFixedAcrossBuilds) {
    EXPECT_EQ(Position().key(), 0xdf3030aff2fc5facULL);
    EXPECT_EQ(from_moves({40, 36, 8}).key(), 0x829fcac9e343a040ULL);
}

// Every position of random games, played by the engine and by Position side by side.
TEST(PositionBasics, FollowsTheEngineThroughRandomGames) {
    const Walk walk = random_walk(300, 11);
    for (std::size_t i = 0; i < walk.positions.size(); ++i) {
        const Position& position = walk.positions[i];
        const GameRecord& game = walk.records[i];
        ASSERT_EQ(position.key(), position.recompute_key()) << notation(position);
        EXPECT_EQ(position.board(), game.board);
        EXPECT_EQ(position.to_move(), game.next_player);
        EXPECT_EQ(cells_of(position.legal_list()), cells_of(get_available_moves(game)));
        EXPECT_EQ(position.winner(), game.winner);
        EXPECT_EQ(position.is_over(), game.available.empty());
        EXPECT_EQ(position.record().rosters, game.rosters);

        const Result<Position> rebuilt = Position::from_record(game);
        ASSERT_TRUE(rebuilt.ok());
        EXPECT_EQ(rebuilt.value(), position);
        EXPECT_EQ(rebuilt->key(), position.key());
        EXPECT_EQ(cells_of(rebuilt->legal_list()), cells_of(position.legal_list()));

        // The snapshot path sees only the board, the player and the forced roster.
        const Result<Position> snapshot =
            Position::from_snapshot(game.board, game.next_player, position.forced_roster());
        ASSERT_TRUE(snapshot.ok());
        EXPECT_EQ(snapshot.value(), position);
        EXPECT_EQ(cells_of(snapshot->legal_list()), cells_of(position.legal_list()));
    }
}

TEST(PositionBasics, ForcedRosterIsReadOffTheLegalCells) {
    const Walk walk = random_walk(300, 12);
    for (std::size_t i = 0; i < walk.positions.size(); ++i) {
        const Position& position = walk.positions[i];
        const CellList legal = position.legal_list();
        if (position.is_over()) {
            EXPECT_EQ(position.forced_roster(), -1);
            continue;
        }
        bool one_roster = true;
        for (const std::int8_t cell : legal) one_roster = one_roster && cell / 9 == legal.cells[0] / 9;
        EXPECT_EQ(position.forced_roster(), one_roster ? legal.cells[0] / 9 : -1) << notation(position);
    }
}

// A last move that points at a closed roster while only one roster is open: the position
// is the same as if the move had named the open roster.
TEST(PositionBasics, TheOnlyOpenRosterIsForced) {
    int found = 0;
    for (int g = 0; g < 4000 && found < 20; ++g) {
        Rng rng(13, static_cast<std::uint64_t>(g));
        GameRecord game = new_game(0, false);
        while (!game.available.empty()) {
            play_random_move(game, rng);
            if (game.available.empty() || open_rosters(game) != 1 || game.rosters[game.next_roster] == ROSTER_OPEN) {
                continue;
            }
            ++found;
            int open = 0;
            while (game.rosters[open] != ROSTER_OPEN) ++open;
            const Position position = Position::from_record(game).value();
            EXPECT_EQ(position.forced_roster(), open);
            const Position named = Position::from_snapshot(game.board, game.next_player, open).value();
            EXPECT_EQ(named, position);
            EXPECT_EQ(named.key(), position.key());

            const std::string text = notation(position);
            EXPECT_EQ(text.back(), static_cast<char>('0' + open));
            std::string free = text;
            free.back() = '-';
            const Result<Position> parsed = parse_notation(free);
            ASSERT_FALSE(parsed.ok()) << free;
            const std::string digit = std::to_string(open);
            EXPECT_EQ(parsed.refusal().message,
                      "only roster " + digit + " is open, so the forced roster must be written as " + digit);
        }
    }
    EXPECT_GT(found, 0) << "no game pointed at a closed roster with one roster open";
}

// Every cell of random positions: the legal ones play, the others are refused with the
// engine's own text.
TEST(PositionPlay, RefusesWithTheEngineTexts) {
    const Walk walk = random_walk(20, 14);
    for (const Position& position : walk.positions) {
        const CellSet legal = position.legal_set();
        for (int cell = 0; cell < kCells; ++cell) {
            const Result<Position> next = position.play(cell);
            GameRecord scratch = position.record();
            const MoveOutcome outcome =
                make_move(scratch, static_cast<std::int8_t>(cell), position.record().next_player);
            ASSERT_EQ(next.ok(), outcome.accepted) << notation(position) << " cell " << cell;
            ASSERT_EQ(next.ok(), legal.contains(cell));
            if (next.ok()) {
                EXPECT_EQ(next->board(), scratch.board);
                EXPECT_EQ(next->key(), next->recompute_key());
            } else {
                EXPECT_EQ(next.refusal().message, outcome.error.text());
                EXPECT_EQ(next.refusal().index, -1);
            }
        }
    }
}

TEST(PositionPlay, CellsOutsideTheBoard) {
    const Position opening;
    for (const long long cell : {-1LL, 81LL, 255LL, -129LL, 1LL << 40}) {
        const Result<Position> next = opening.play(cell);
        ASSERT_FALSE(next.ok());
        EXPECT_EQ(next.refusal().message, "cell must be 0..80, got " + std::to_string(cell));
    }
    // As in the engine, a finished game is reported before the cell.
    const Walk walk = random_walk(1, 15);
    const Position& last = walk.positions.back();
    ASSERT_TRUE(last.is_over());
    for (const long long cell : {0LL, 81LL, -1LL}) {
        EXPECT_EQ(last.play(cell).refusal().message, "ERROR: Invalid move error - THIS GAME IS ALREADY OVER");
    }
}

struct MovesCase {
    std::vector<long long> moves;
    int index;
    std::string message;
};

class PositionFromMoves : public ::testing::TestWithParam<MovesCase> {};

TEST_P(PositionFromMoves, RefusesTheFirstBadMove) {
    const MovesCase& c = GetParam();
    const Result<Position> result = Position::from_moves(c.moves);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.refusal().index, c.index);
    EXPECT_EQ(result.refusal().message, c.message);
}

// 40 sends the reply to roster 4; 0, 1, 2 win roster 0 for x.
INSTANTIATE_TEST_SUITE_P(
    Cases, PositionFromMoves,
    ::testing::Values(
        MovesCase{{-1}, 0, "cell must be 0..80, got -1"},
        MovesCase{{40, 81}, 1, "cell must be 0..80, got 81"},
        MovesCase{{40, 40}, 1, "ERROR: Invalid move error - THIS CELL ALREADY CONTAINS INPUT"},
        MovesCase{{40, 0}, 1, "ERROR: Invalid move error - Wrong roster! You have to play in roster 5"},
        MovesCase{{1, 9, 2, 18, 0, 3}, 5, "ERROR: Invalid move error - THIS ROSTER IS ALREADY COMPLETE"},
        MovesCase{{40, 36, 8, 72, 9}, 4, "ERROR: Invalid move error - Wrong roster! You have to play in roster 1"}),
    [](const ::testing::TestParamInfo<MovesCase>& param) { return "Case" + std::to_string(param.index); });

TEST(PositionFromMoves, ReplaysWholeGames) {
    for (int g = 0; g < 50; ++g) {
        Rng rng(16, static_cast<std::uint64_t>(g));
        GameRecord game = new_game(0, false);
        std::vector<long long> moves;
        while (!game.available.empty()) moves.push_back(play_random_move(game, rng));
        const Position end = from_moves(moves);
        EXPECT_EQ(end, Position::from_record(game).value());
        EXPECT_EQ(end.key(), end.recompute_key());
        moves.push_back(moves.back());
        const Result<Position> over = Position::from_moves(moves);
        ASSERT_FALSE(over.ok());
        EXPECT_EQ(over.refusal().index, static_cast<int>(moves.size()) - 1);
        EXPECT_EQ(over.refusal().message, "ERROR: Invalid move error - THIS GAME IS ALREADY OVER");
    }
}

TEST(PositionFromMoves, SnapshotAndRecordRefusals) {
    const std::array<std::int8_t, kCells> empty{};
    EXPECT_EQ(Position::from_snapshot(empty, 3, -1).refusal().message, "the player to move must be 1 or 2, got 3");
    EXPECT_EQ(Position::from_snapshot(empty, 1, 9).refusal().message,
              "the forced roster must be 0..8 or -1, got 9");
    EXPECT_EQ(Position::from_snapshot(empty, 1, -2).refusal().message,
              "the forced roster must be 0..8 or -1, got -2");
    GameRecord game = new_game(0, false);
    game.next_player = 0;
    EXPECT_EQ(Position::from_record(game).refusal().message, "the player to move must be 1 or 2, got 0");
    // An empty snapshot with x to move and no forced roster is the opening itself.
    const Position opening = Position::from_snapshot(empty, 1, -1).value();
    EXPECT_EQ(opening.record(), new_game(0, false));
}

// Equal positions have equal keys and distinct positions distinct ones, over about 200k
// distinct positions of random games.
TEST(PositionKey, SeparatesPositions) {
    std::unordered_map<std::uint64_t, std::string> by_key;
    std::unordered_map<std::string, std::uint64_t> by_text;
    by_key.reserve(1 << 18);
    by_text.reserve(1 << 18);
    int games = 0;
    while (by_text.size() < 200000) {
        const Walk walk = random_walk(500, 17 + static_cast<std::uint64_t>(games));
        games += 500;
        for (const Position& position : walk.positions) {
            std::string text = notation(position);
            const auto [known, fresh] = by_text.emplace(text, position.key());
            if (!fresh) {
                ASSERT_EQ(known->second, position.key()) << "equal positions, different keys: " << text;
                continue;
            }
            const auto [entry, added] = by_key.emplace(position.key(), text);
            ASSERT_TRUE(added) << "key collision: " << entry->second << " and " << text;
        }
    }
    EXPECT_EQ(by_key.size(), by_text.size());
}

// The same position reached in two move orders: x's two moves into roster 1 swap, each
// with the o reply it draws, and both orders end by sending x to roster 1.
TEST(PositionKey, TranspositionsMeet) {
    const Position a = from_moves({0, 1, 11, 19, 12, 28});
    const Position b = from_moves({0, 1, 12, 28, 11, 19});
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.key(), b.key());
    EXPECT_EQ(notation(a), notation(b));
    // The same marks and side with a free choice are another position.
    const Position c = Position::from_snapshot(a.board(), a.to_move(), -1).value();
    EXPECT_EQ(a.board(), c.board());
    EXPECT_NE(a, c);
    EXPECT_NE(a.key(), c.key());
}

}  // namespace
