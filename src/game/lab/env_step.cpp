#include "env_step.hpp"

#include <array>
#include <cstring>

#include "board.hpp"
#include "grid.hpp"
#include "place.hpp"
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

// The three cells 9r + 3k .. 9r + 3k + 2 of roster r are three neighbouring squares of one
// grid row, whose legal channels sit at bytes 1, 4 and 7 of the eight bytes from one past
// the first square's channel 0 (which stay inside the row, even for the last square).
// kTripletOffset[3r + k] is where those eight bytes start.
constexpr std::array<std::int16_t, kCells / 3> kTripletOffset = [] {
    std::array<std::int16_t, kCells / 3> offset{};
    for (std::size_t triplet = 0; triplet < offset.size(); ++triplet)
        offset[triplet] = static_cast<std::int16_t>(kPlaneIndex[3 * triplet] + 1);
    return offset;
}();
constexpr std::uint64_t kLegalBytes = 0x0100000100000100ULL;  // bytes 1, 4 and 7

// For each three bits of legal cells, those eight bytes' legal channels (the rest 0).
constexpr std::array<std::uint64_t, 8> kTripletLegal = [] {
    std::array<std::uint64_t, 8> table{};
    for (unsigned bits = 0; bits < 8; ++bits)
        table[bits] = (bits & 1U) * (kLegalBytes & 0xFFFFULL) + ((bits >> 1) & 1U) * (kLegalBytes & 0xFF00000000ULL) +
                      ((bits >> 2) & 1U) * (kLegalBytes & 0xFF00000000000000ULL);
    return table;
}();

constexpr int kAllRosters = -1;

std::int8_t* plane_row(std::int8_t* planes, std::size_t i) { return planes + kPlaneValues * i; }

// The legal cells of a running game (legal_cells, inline).
CellSet legal_now(const GameRecord& game) {
    const int roster = forced_roster(game);
    return roster < 0 ? game.available : game.available & CellSet::roster(roster);
}

// Sets the legal channel (2) of planes to legal over roster r's nine cells, a
// few full-width stores and no branch: the legal channel is merged into the marks of three
// squares at a time.
[[gnu::always_inline]] inline void write_roster(std::int8_t* planes, const CellSet& legal, int r) {
    const unsigned bits = legal.roster_bits(r);
    for (int k = 0; k < 3; ++k) {
        std::int8_t* at = planes + kTripletOffset[3 * r + k];
        std::uint64_t bytes = 0;
        std::memcpy(&bytes, at, 8);
        bytes = (bytes & ~kLegalBytes) | kTripletLegal[(bits >> (3 * k)) & 7U];
        std::memcpy(at, &bytes, 8);
    }
}

// Sets the legal channel to legal over roster r, or over the whole board for
// kAllRosters. A move changes the legal cells only in the roster the mover was sent to and
// the one its move sends the other player to (or everywhere, where a player may move
// anywhere), so those are all a step rewrites.
[[gnu::always_inline]] inline void write_legal(std::int8_t* planes, const CellSet& legal, int r) {
    if (r != kAllRosters) {
        write_roster(planes, legal, r);
        return;
    }
    for (int roster = 0; roster < kRosters; ++roster) write_roster(planes, legal, roster);
}

}  // namespace

void EnvSteps::start(Batch& batch, std::size_t i, bool first_episode) {
    if (first_episode) episodes_[i] = plays_ == AgentPlays::kAlternate ? static_cast<std::uint32_t>(i % 2) : 0;
    std::int8_t side = plays_ == AgentPlays::kSecond ? 2 : 1;
    if (plays_ == AgentPlays::kAlternate) side = static_cast<std::int8_t>(1 + episodes_[i] % 2);
    ++episodes_[i];
    batch.reset(i);
    const int opening = side == 2 ? batch.play_random(i) : -1;
    // The opening's planes: no marks but the opponent's first one, and the agent's
    // legal cells.
    std::int8_t* planes = plane_row(arrays_.planes, i);
    std::memset(planes, 0, kPlaneValues);
    if (opening >= 0) planes[kPlaneIndex[opening] + 1] = 1;
    arrays_.agent[i] = side;
    arrays_.rewards[i] = 0.0;
    arrays_.terminated[i] = 0;
    arrays_.illegal[i] = 0;
    arrays_.restart[i] = 0;
    arrays_.opponent_move[i] = opening;
}

void EnvSteps::step(Batch& batch, std::size_t i, int cell, bool next_step) {
    if (next_step && arrays_.restart[i] != 0) {
        start(batch, i, false);
        return;
    }
    arrays_.opponent_move[i] = -1;
    if (!legal_now(batch.game(i)).contains(cell)) {
        arrays_.rewards[i] = -1.0;
        arrays_.terminated[i] = 1;
        arrays_.illegal[i] = 1;
        arrays_.restart[i] = 1;
        return;
    }
    const int reply = batch.play_and_reply(i, cell);
    plane_row(arrays_.planes, i)[kPlaneIndex[cell]] = 1;
    finish(batch, i, reply);
}

void EnvSteps::finish(const Batch& batch, std::size_t i, int reply) const {
    std::int8_t* planes = plane_row(arrays_.planes, i);
    if (reply >= 0) {
        planes[kPlaneIndex[reply] + 1] = 1;
        arrays_.opponent_move[i] = reply;
    }
    const GameRecord& game = batch.game(i);
    const bool over = batch.over(i);
    const std::int8_t agent = arrays_.agent[i];
    double reward = 0.0;
    if (over && game.winner != 0) reward = game.winner == agent ? 1.0 : -1.0;
    arrays_.rewards[i] = reward;
    arrays_.terminated[i] = over ? 1 : 0;
    arrays_.illegal[i] = 0;
    arrays_.restart[i] = over ? 1 : 0;
}

void EnvSteps::copy_out(const Batch& batch, std::size_t i, const EnvOutputs& out) const {
    std::int8_t* planes = out.planes + kPlaneValues * i;
    std::memcpy(planes, arrays_.planes + kPlaneValues * i, kPlaneValues);
    // While the episode runs the agent is to move: its legal cells are the batch's, all in
    // the roster it was sent to unless it may play anywhere. They go into the copy, whose
    // lines are in the nearest cache now, rather than into the state, where last step's
    // cells would have to be cleared first.
    if (arrays_.restart[i] != 0) {
        std::memset(out.mask + kMaskSize * i, 0, kMaskSize);
    } else {
        const GameRecord& game = batch.game(i);
        const int roster = forced_roster(game);
        write_legal(planes, legal_now(game), roster >= 0 ? roster : kAllRosters);
        std::memcpy(out.mask + kMaskSize * i, batch.legal_row(i), kMaskSize);
    }
    out.rewards[i] = arrays_.rewards[i];
    out.terminated[i] = arrays_.terminated[i];
    out.illegal[i] = arrays_.illegal[i];
    out.agent[i] = arrays_.agent[i];
    out.opponent_move[i] = arrays_.opponent_move[i];
}

}  // namespace nonagame
