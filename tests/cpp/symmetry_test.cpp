#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "notation.hpp"
#include "position.hpp"
#include "position_support.hpp"
#include "symmetry.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

int named(const char* name) { return cell_index(name).value(); }

TEST(PositionSymmetry, EachIsAPermutationActingOnBothLevels) {
    for (int k = 0; k < kSymmetries; ++k) {
        std::array<bool, kCells> hit{};
        for (int cell = 0; cell < kCells; ++cell) {
            const int image = transform_cell(k, cell);
            ASSERT_TRUE(image >= 0 && image < kCells);
            hit[image] = true;
            // The roster and the position inside it move by the same map on the 3x3 grid.
            EXPECT_EQ(image, 9 * transform_roster(k, cell / 9) + transform_roster(k, cell % 9));
        }
        EXPECT_TRUE(std::ranges::all_of(hit, [](bool h) { return h; })) << symmetry_name(k);
    }
    for (int cell = 0; cell < kCells; ++cell) EXPECT_EQ(transform_cell(kIdentity, cell), cell);
}

TEST(PositionSymmetry, GroupLaws) {
    for (int a = 0; a < kSymmetries; ++a) {
        for (int cell = 0; cell < kCells; ++cell) {
            EXPECT_EQ(transform_cell(inverse(a), transform_cell(a, cell)), cell) << symmetry_name(a);
        }
        EXPECT_EQ(compose(a, inverse(a)), kIdentity);
        EXPECT_EQ(compose(kIdentity, a), a);
        EXPECT_EQ(compose(a, kIdentity), a);
        std::array<bool, kSymmetries> row{};
        for (int b = 0; b < kSymmetries; ++b) {
            const int c = compose(a, b);
            row[c] = true;
            for (int cell = 0; cell < kCells; ++cell) {
                ASSERT_EQ(transform_cell(c, cell), transform_cell(b, transform_cell(a, cell)))
                    << symmetry_name(a) << " then " << symmetry_name(b);
            }
        }
        // Each row of the table is a permutation of the group (no two products coincide).
        EXPECT_TRUE(std::ranges::all_of(row, [](bool h) { return h; })) << symmetry_name(a);
    }
    // Two quarter turns make a half turn; the flips are not rotations.
    EXPECT_EQ(compose(kRot90, kRot90), kRot180);
    EXPECT_EQ(compose(kFlipH, kFlipV), kRot180);
    EXPECT_EQ(compose(kTranspose, kAntiTranspose), kRot180);
}

struct Direction {
    int k;
    const char* a9;  // the image of the top-left corner
    const char* b9;  // the image of its right-hand neighbour
};

class PositionSymmetryDirection : public ::testing::TestWithParam<Direction> {};

TEST_P(PositionSymmetryDirection, MovesTheCorner) {
    const Direction& d = GetParam();
    EXPECT_EQ(transform_cell(d.k, named("a9")), named(d.a9));
    EXPECT_EQ(transform_cell(d.k, named("b9")), named(d.b9));
}

INSTANTIATE_TEST_SUITE_P(Cases, PositionSymmetryDirection,
                         ::testing::Values(Direction{kIdentity, "a9", "b9"}, Direction{kRot90, "i9", "i8"},
                                           Direction{kRot180, "i1", "h1"}, Direction{kRot270, "a1", "a2"},
                                           Direction{kFlipH, "i9", "h9"}, Direction{kFlipV, "a1", "b1"},
                                           Direction{kTranspose, "a9", "a8"},
                                           Direction{kAntiTranspose, "i1", "i2"}),
    [](const ::testing::TestParamInfo<Direction>& param) { return "Case" + std::to_string(param.index); });

TEST(PositionSymmetry, ValuesFollowTheirCells) {
    std::array<double, kCells> policy{};
    for (int cell = 0; cell < kCells; ++cell) policy[cell] = cell * 0.5;
    for (int k = 0; k < kSymmetries; ++k) {
        const std::array<double, kCells> moved = transform_values(k, policy);
        for (int cell = 0; cell < kCells; ++cell) EXPECT_EQ(moved[transform_cell(k, cell)], policy[cell]);
        EXPECT_EQ(transform_values(inverse(k), moved), policy);
    }
}

// Transforming a position maps its board, rosters, legal cells and forced roster, keeps
// the side to move and the winner, and commutes with playing.
TEST(PositionSymmetry, PositionsAndMovesCommute) {
    const Walk walk = random_walk(40, 31);
    for (const Position& position : walk.positions) {
        const std::array<Position, 8> images = position.symmetries();
        EXPECT_EQ(images[0], position);
        for (int k = 0; k < kSymmetries; ++k) {
            const Position& image = images[k];
            ASSERT_EQ(image, position.transformed(k));
            EXPECT_EQ(image.key(), image.recompute_key()) << notation(position) << " " << symmetry_name(k);
            EXPECT_EQ(image.board(), transform_values(k, position.board()));
            EXPECT_EQ(image.to_move(), position.to_move());
            EXPECT_EQ(image.winner(), position.winner());
            EXPECT_EQ(image.is_over(), position.is_over());
            EXPECT_EQ(image.forced_roster(),
                      position.forced_roster() < 0 ? -1 : transform_roster(k, position.forced_roster()));
            EXPECT_EQ(image.legal_set(), transform_set(k, position.legal_set()));
            EXPECT_EQ(image.transformed(inverse(k)), position);

            // The image agrees with the same board settled from scratch.
            const Position settled =
                Position::from_snapshot(image.board(), image.to_move(), image.forced_roster()).value();
            EXPECT_EQ(settled.record().rosters, image.record().rosters);
            EXPECT_EQ(settled.record().available, image.record().available);

            position.legal_set().for_each([&](int cell) {
                const Position after = position.play(cell).value().transformed(k);
                const Position image_after = image.play(transform_cell(k, cell)).value();
                ASSERT_EQ(after, image_after);
                EXPECT_EQ(after.key(), image_after.key());
            });
        }
    }
}

}  // namespace
