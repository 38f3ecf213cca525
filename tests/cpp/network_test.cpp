#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <stdexcept>
#include <string>
#include <vector>

#include "network.hpp"
#include "planes.hpp"
#include "playout.hpp"
#include "position.hpp"
#include "rng.hpp"
#include "search/network_evaluator.hpp"
#include "symmetry.hpp"

using namespace nonagame;
using net::Dense;
using net::Network;

namespace {

Dense random_dense(Rng& rng, int in, int out) {
    Dense layer{in, out, {}, {}};
    const auto uniform = [&rng] { return static_cast<float>(rng.below(2001)) / 1000.0F - 1.0F; };
    const float scale = 1.0F / std::sqrt(static_cast<float>(in));
    for (int i = 0; i < in * out; ++i) layer.weight.push_back(uniform() * scale * 2.0F);
    for (int i = 0; i < out; ++i) layer.bias.push_back(uniform() * 0.1F);
    return layer;
}

Network random_network(Rng& rng, const std::vector<int>& widths) {
    std::vector<Dense> hidden;
    int in = net::kInputs;
    for (const int width : widths) {
        hidden.push_back(random_dense(rng, in, width));
        in = width;
    }
    return {hidden, random_dense(rng, in, net::kMoves), random_dense(rng, in, 1)};
}

// The forward pass in double precision, straight from the layers as given.
void reference_forward(const Network& network, const std::int8_t* planes, std::vector<double>& logits, double& value) {
    std::vector<double> x(planes, planes + net::kInputs);
    const auto apply = [](const Dense& layer, const std::vector<double>& in, bool relu) {
        std::vector<double> out(static_cast<std::size_t>(layer.out));
        for (int o = 0; o < layer.out; ++o) {
            double sum = layer.bias[static_cast<std::size_t>(o)];
            for (int i = 0; i < layer.in; ++i)
                sum += double{layer.weight[static_cast<std::size_t>(o * layer.in + i)]} * in[static_cast<std::size_t>(i)];
            out[static_cast<std::size_t>(o)] = relu ? std::max(sum, 0.0) : sum;
        }
        return out;
    };
    for (const Dense& layer : network.hidden()) x = apply(layer, x, true);
    logits = apply(network.policy(), x, false);
    value = std::tanh(apply(network.value(), x, false)[0]);
}

// Planes of positions from random play, each for the player to move.
std::vector<std::int8_t> played_planes(Rng& rng, int rows) {
    std::vector<std::int8_t> planes(static_cast<std::size_t>(rows) * net::kInputs);
    GameRecord game = new_game(0, false);
    for (int r = 0; r < rows; ++r) {
        if (game.available.empty()) game = new_game(0, false);
        write_planes(game, game.next_player, planes.data() + static_cast<std::ptrdiff_t>(r) * net::kInputs);
        play_random_move(game, rng);
    }
    return planes;
}

// Every kernel set and both first-layer forms agree with the double-precision pass, over
// shapes that exercise the padding and the row groups (batches not a multiple of any tile).
TEST(Network, EveryPathMatchesTheReference) {
    Rng rng(11);
    const std::vector<std::vector<int>> shapes = {{256, 256}, {37}, {}, {100, 17, 300}};
    for (const std::vector<int>& widths : shapes) {
        const Network network = random_network(rng, widths);
        for (const int rows : {1, 7, 33}) {
            const std::vector<std::int8_t> planes = played_planes(rng, rows);
            std::vector<double> want_logits;
            double want_value = 0.0;
            for (const net::Simd simd : {net::Simd::Portable, net::Simd::Avx2, net::Simd::Avx512}) {
                if (!net::simd_supported(simd)) continue;
                for (const bool sparse : {true, false}) {
                    std::vector<float> scratch(network.scratch_size(rows));
                    std::vector<float> logits(static_cast<std::size_t>(rows) * net::kMoves);
                    std::vector<float> values(static_cast<std::size_t>(rows));
                    network.forward(planes.data(), rows, logits.data(), values.data(), scratch.data(), {simd, sparse});
                    for (int r = 0; r < rows; ++r) {
                        reference_forward(network, planes.data() + static_cast<std::ptrdiff_t>(r) * net::kInputs,
                                          want_logits, want_value);
                        SCOPED_TRACE(std::string(net::simd_name(simd)) + (sparse ? " sparse" : " dense") + " row " +
                                     std::to_string(r) + " of " + std::to_string(rows));
                        for (int c = 0; c < net::kMoves; ++c) {
                            const double want = want_logits[static_cast<std::size_t>(c)];
                            ASSERT_NEAR(logits[static_cast<std::size_t>(r * net::kMoves + c)], want,
                                        1e-4 * std::max(1.0, std::abs(want)));
                        }
                        ASSERT_NEAR(values[static_cast<std::size_t>(r)], want_value, 1e-4);
                    }
                }
            }
        }
    }
}

// The first layer read from the nonzero planes' indices gives the very bits of the pass over
// the planes (the guided search relies on it to match search_batch exactly), over shapes and
// positions of random play from both perspectives.
TEST(Network, IndexFormIsBitIdenticalToThePlanes) {
    Rng rng(23);
    for (const std::vector<int>& widths : std::vector<std::vector<int>>{{256, 256}, {37}, {}, {100, 17, 300}}) {
        const Network network = random_network(rng, widths);
        std::vector<float> scratch(network.scratch_size(1));
        GameRecord game = new_game(0, false);
        for (int step = 0; step < 300; ++step) {
            if (game.available.empty()) game = new_game(0, false);
            for (const int player : {1, 2}) {
                std::array<std::int8_t, net::kInputs> planes{};
                std::array<std::int32_t, net::kMoves> indices{};
                write_planes(game, player, planes.data());
                const int count = plane_indices(game, player, indices.data());
                std::array<float, net::kMoves> want{}, got{};
                float want_value = 0.0F, got_value = 0.0F;
                network.forward(planes.data(), 1, want.data(), &want_value, scratch.data());
                network.forward_indices(indices.data(), count, got.data(), &got_value, scratch.data());
                ASSERT_EQ(std::memcmp(want.data(), got.data(), sizeof want), 0) << "step " << step;
                ASSERT_EQ(std::memcmp(&want_value, &got_value, sizeof want_value), 0) << "step " << step;
                // Asked for some cells only (the legal ones, as the search asks, or a random
                // set), the head gives those cells and the value the same bits, with each
                // kernel set this processor runs.
                const CellSet cells = player == game.next_player ? legal_cells(game)
                                                                 : CellSet::from_words(rng.next(), rng.next());
                const std::array<std::uint64_t, 2> wanted{cells.low_word(), cells.high_word()};
                for (const net::Simd simd : {net::Simd::Portable, net::Simd::Avx2, net::Simd::Avx512}) {
                    if (!net::simd_supported(simd)) continue;
                    network.forward(planes.data(), 1, want.data(), &want_value, scratch.data(), net::ForwardPath{simd, true});
                    got.fill(NAN);
                    got_value = NAN;
                    network.forward_indices(indices.data(), count, got.data(), &got_value, scratch.data(),
                                            wanted.data(), simd);
                    cells.for_each([&](int c) {
                        ASSERT_EQ(std::memcmp(&want[static_cast<std::size_t>(c)], &got[static_cast<std::size_t>(c)],
                                              sizeof(float)), 0) << net::simd_name(simd) << " step " << step << " cell " << c;
                    });
                    ASSERT_EQ(std::memcmp(&want_value, &got_value, sizeof want_value), 0) << net::simd_name(simd);
                }
            }
            play_random_move(game, rng);
        }
    }
}

// The search's evaluator on thread t sees the position under symmetry t % 8: its value and
// priors are those of the transformed position on thread 0, the priors carried back.
TEST(Network, EvaluatorThreadsSeeTheirSymmetry) {
    Rng rng(29);
    auto network = std::make_shared<const Network>(random_network(rng, {64, 32}));
    mcts::NetworkEvaluator evaluator(network, 2 * kSymmetries);
    GameRecord game = new_game(0, false);
    for (int step = 0; step < 40 && !game.available.empty(); ++step) {
        const Position position = Position::from_record(game).value();
        const CellSet legal = legal_cells(game);
        for (int thread = 1; thread < 2 * kSymmetries; ++thread) {
            const int k = thread % kSymmetries;
            std::array<float, net::kMoves> got{}, want{};
            const float value = evaluator.evaluate(game, got.data(), thread);
            const float image_value = evaluator.evaluate(position.transformed(k).record(), want.data(), 0);
            ASSERT_EQ(value, image_value) << "thread " << thread;
            legal.for_each([&](int c) {
                ASSERT_NEAR(got[static_cast<std::size_t>(c)], want[static_cast<std::size_t>(transform_cell(k, c))], 1e-6)
                    << "thread " << thread << " cell " << c;
            });
        }
        play_random_move(game, rng);
    }
}

TEST(Network, MaskedSoftmaxCoversTheLegalCellsOnly) {
    std::vector<float> logits(net::kMoves);
    std::vector<std::uint8_t> legal(net::kMoves, 0);
    for (int c = 0; c < net::kMoves; ++c) logits[static_cast<std::size_t>(c)] = static_cast<float>(c % 7) * 30.0F;
    std::vector<float> out(net::kMoves, -1.0F);
    net::masked_softmax(logits.data(), legal.data(), out.data());
    for (const float p : out) EXPECT_EQ(p, 0.0F);
    legal[3] = legal[10] = legal[80] = 1;  // logits 90, 90, 90: the large values must not overflow
    net::masked_softmax(logits.data(), legal.data(), out.data());
    for (int c = 0; c < net::kMoves; ++c)
        EXPECT_NEAR(out[static_cast<std::size_t>(c)], legal[static_cast<std::size_t>(c)] != 0 ? 1.0 / 3.0 : 0.0, 1e-6);
}

// Layers that do not chain, misshaped arrays and non-finite values are refused with the
// layer's name and the shape it should have.
TEST(Network, RefusesBadLayers) {
    Rng rng(3);
    const auto build = [&rng](const auto& spoil) {
        std::vector<Dense> hidden = {random_dense(rng, net::kInputs, 32), random_dense(rng, 32, 16)};
        Dense policy = random_dense(rng, 16, net::kMoves);
        Dense value = random_dense(rng, 16, 1);
        spoil(hidden, policy, value);
        return Network(hidden, policy, value);
    };
    using Layers = std::vector<Dense>;
    const std::vector<std::pair<std::string, std::function<void(Layers&, Dense&, Dense&)>>> cases = {
        {"hidden.0.weight: expected shape (out, 243)", [](Layers& h, Dense&, Dense&) { h[0].in = 242; }},
        {"hidden.1.weight: expected shape (out, 32) (hidden.0 has 32 outputs), got (16, 31)",
         [](Layers& h, Dense&, Dense&) { h[1].in = 31; }},
        {"policy.weight: expected shape (81, 16)", [](Layers&, Dense& p, Dense&) { p.out = 80; }},
        {"value.weight: expected 16 values", [](Layers&, Dense&, Dense& v) { v.weight.pop_back(); }},
        {"hidden.1.bias: expected shape (16,), got (15,)", [](Layers& h, Dense&, Dense&) { h[1].bias.pop_back(); }},
        {"hidden.0.weight: expected finite values, found nan at (1, 2)",
         [](Layers& h, Dense&, Dense&) { h[0].weight[243 + 2] = NAN; }},
        {"value.bias: expected finite values, found inf", [](Layers&, Dense&, Dense& v) { v.bias[0] = INFINITY; }},
    };
    EXPECT_NO_THROW(build([](Layers&, Dense&, Dense&) {}));
    for (const auto& [message, spoil] : cases) {
        try {
            build(spoil);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
}

}  // namespace
