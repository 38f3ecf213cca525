#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "board.hpp"
#include "legal.hpp"
#include "planes.hpp"
#include "position.hpp"
#include "symmetry.hpp"
#include "rng.hpp"

using namespace nonagame;

namespace {

// The grid layout is a bijection, with the corners and the centre where a person sees them.
TEST(Planes, GridLayoutIsABijection) {
    std::array<int, kCells> seen{};
    for (int cell = 0; cell < kCells; ++cell) {
        ASSERT_EQ(square_cell(cell_square(cell)), cell);
        ++seen[static_cast<std::size_t>(cell_square(cell))];
    }
    for (const int count : seen) EXPECT_EQ(count, 1);
    EXPECT_EQ(cell_square(0), 0);
    EXPECT_EQ(cell_square(8), 9 * 2 + 2);   // roster 0, bottom-right square
    EXPECT_EQ(cell_square(9), 3);           // roster 1, top-left square
    EXPECT_EQ(cell_square(40), 40);
    EXPECT_EQ(cell_square(80), 80);
}

// Over random games, each plane holds what it names, for both perspectives.
TEST(Planes, ChannelsFollowTheRecord) {
    Rng rng(7);
    GameRecord game = new_game(0, false);
    std::array<std::int8_t, kPlaneValues> planes{};
    while (!game.available.empty()) {
        const CellSet legal = legal_cells(game);
        for (const int player : {1, 2}) {
            write_planes(game, player, planes.data());
            for (int cell = 0; cell < kCells; ++cell) {
                const std::int8_t* square = planes.data() + kPlaneChannels * cell_square(cell);
                const std::int8_t mark = game.board[static_cast<std::size_t>(cell)];
                EXPECT_EQ(square[0], mark == player);
                EXPECT_EQ(square[1], mark == 3 - player);
                EXPECT_EQ(square[2], player == game.next_player && legal.contains(cell));
            }
        }
        play_random_move(game, rng);
    }
}

// The index form lists exactly the nonzero planes, ascending, over many random games and both
// perspectives, with the legal cells computed inside or handed in.
TEST(Planes, IndicesAreTheNonzeroPlanes) {
    Rng rng(19);
    std::array<std::int8_t, kPlaneValues> planes{};
    std::array<std::int32_t, kCells> indices{};
    for (int g = 0; g < 20; ++g) {
        GameRecord game = new_game(0, false);
        while (true) {
            for (const int player : {1, 2}) {
                write_planes(game, player, planes.data());
                std::vector<std::int32_t> want;
                for (int i = 0; i < kPlaneValues; ++i) {
                    ASSERT_TRUE(planes[static_cast<std::size_t>(i)] == 0 || planes[static_cast<std::size_t>(i)] == 1);
                    if (planes[static_cast<std::size_t>(i)] != 0) want.push_back(i);
                }
                const CellSet legal = player == game.next_player ? legal_cells(game) : CellSet{};
                for (const bool given : {false, true}) {
                    const int count = given ? plane_indices(game, player, legal, indices.data())
                                            : plane_indices(game, player, indices.data());
                    ASSERT_EQ(std::vector<std::int32_t>(indices.begin(), indices.begin() + count), want);
                }
                // Under a symmetry: the nonzero planes of the transformed position.
                const Position position = Position::from_record(game).value();
                for (int k = 1; k < kSymmetries; ++k) {
                    write_planes(position.transformed(k).record(), player, planes.data());
                    std::vector<std::int32_t> image;
                    for (int i = 0; i < kPlaneValues; ++i)
                        if (planes[static_cast<std::size_t>(i)] != 0) image.push_back(i);
                    const int count = plane_indices(game, player, legal, k, indices.data());
                    ASSERT_EQ(std::vector<std::int32_t>(indices.begin(), indices.begin() + count), image) << k;
                }
            }
            if (game.available.empty()) break;
            play_random_move(game, rng);
        }
    }
}

}  // namespace
