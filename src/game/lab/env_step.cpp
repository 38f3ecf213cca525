#include "env_step.hpp"

#include <array>
#include <cstring>

#include "board.hpp"
#include "grid.hpp"
#include "planes.hpp"

namespace nonagame {

namespace {

constexpr std::size_t kMaskSize = kCells;

// Where channel 0 of each cell's square is in a row of planes.
constexpr std::array<std::int16_t, kCells> kPlaneIndex = [] {
    std::array<std::int16_t, kCells> index{};
    for (int cell = 0; cell < kCells; ++cell) index[cell] = static_cast<std::int16_t>(kPlaneChannels * cell_square(cell));
    return index;
}();

std::int8_t* plane_row(std::int8_t* planes, std::size_t i) { return planes + kPlaneValues * i; }

// The cells of a that are not in b.
CellSet minus(const CellSet& a, const CellSet& b) {
    return CellSet::from_words(a.low_word() & ~b.low_word(), a.high_word() & ~b.high_word());
}

// Turns the legal channel (2) of planes and the mask from cells `before` to cells `after`,
// writing only the cells that change: a move often leaves most of a large free choice as
// it was.
void change_legal(std::int8_t* planes, std::int8_t* mask, const CellSet& before, const CellSet& after) {
    minus(before, after).for_each([&](int cell) {
        planes[kPlaneIndex[cell] + 2] = 0;
        mask[cell] = 0;
    });
    minus(after, before).for_each([&](int cell) {
        planes[kPlaneIndex[cell] + 2] = 1;
        mask[cell] = 1;
    });
}

}  // namespace

void EnvSteps::start(Batch& batch, std::size_t i, bool first_episode) {
    if (first_episode) episodes_[i] = plays_ == AgentPlays::kAlternate ? static_cast<std::uint32_t>(i % 2) : 0;
    std::int8_t side = plays_ == AgentPlays::kSecond ? 2 : 1;
    if (plays_ == AgentPlays::kAlternate) side = static_cast<std::int8_t>(1 + episodes_[i] % 2);
    ++episodes_[i];
    batch.reset(i);
    const int opening = side == 2 ? batch.play_random(i) : -1;
    // The opening's planes and mask: no marks but the opponent's first one, and the agent's
    // legal cells.
    std::int8_t* planes = plane_row(arrays_.planes, i);
    std::int8_t* mask = arrays_.mask + kMaskSize * i;
    std::memset(planes, 0, kPlaneValues);
    std::memset(mask, 0, kMaskSize);
    if (opening >= 0) planes[kPlaneIndex[opening] + 1] = 1;
    change_legal(planes, mask, CellSet{}, legal_cells(batch.game(i)));
    arrays_.agent[i] = side;
    arrays_.rewards[i] = 0.0;
    arrays_.terminated[i] = 0;
    arrays_.illegal[i] = 0;
    arrays_.restart[i] = 0;
    arrays_.opponent_move[i] = opening;
    arrays_.last_move[i] = static_cast<std::int16_t>(opening);
}

void EnvSteps::step(Batch& batch, std::size_t i, int cell, bool next_step) {
    if (next_step && arrays_.restart[i] != 0) {
        start(batch, i, false);
        return;
    }
    const CellSet before = legal_cells(batch.game(i));
    arrays_.opponent_move[i] = -1;
    if (!before.contains(cell)) {
        change_legal(plane_row(arrays_.planes, i), arrays_.mask + kMaskSize * i, before, CellSet{});
        arrays_.rewards[i] = -1.0;
        arrays_.terminated[i] = 1;
        arrays_.illegal[i] = 1;
        arrays_.restart[i] = 1;
        return;
    }
    const int reply = batch.play_and_reply(i, cell);
    plane_row(arrays_.planes, i)[kPlaneIndex[cell]] = 1;
    arrays_.last_move[i] = static_cast<std::int16_t>(cell);
    finish(batch, i, before, reply);
}

void EnvSteps::finish(const Batch& batch, std::size_t i, const CellSet& before, int reply) const {
    std::int8_t* planes = plane_row(arrays_.planes, i);
    if (reply >= 0) {
        planes[kPlaneIndex[reply] + 1] = 1;
        arrays_.opponent_move[i] = reply;
        arrays_.last_move[i] = static_cast<std::int16_t>(reply);
    }
    const GameRecord& game = batch.game(i);
    const bool over = batch.over(i);
    const std::int8_t agent = arrays_.agent[i];
    double reward = 0.0;
    if (over && game.winner != 0) reward = game.winner == agent ? 1.0 : -1.0;
    change_legal(planes, arrays_.mask + kMaskSize * i, before, over ? CellSet{} : legal_cells(game));
    arrays_.rewards[i] = reward;
    arrays_.terminated[i] = over ? 1 : 0;
    arrays_.illegal[i] = 0;
    arrays_.restart[i] = over ? 1 : 0;
}

}  // namespace nonagame
