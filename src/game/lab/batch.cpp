#include "batch.hpp"

#include <array>
#include <atomic>
#include <cstring>

#include "place.hpp"
#include "playout.hpp"

namespace nonagame {

namespace {

// For each byte of bits, the eight bytes 0 or 1 that spell it out, lowest bit first.
constexpr std::array<std::uint64_t, 256> kSpread = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned bits = 0; bits < 256; ++bits) {
        std::uint64_t bytes = 0;
        for (unsigned b = 0; b < 8; ++b) bytes |= std::uint64_t{(bits >> b) & 1U} << (8 * b);
        table[bits] = bytes;
    }
    return table;
}();

// Writes the 81 legal-cell flags of a set into row (81 bytes), eight at a time.
void write_mask(const CellSet& cells, std::uint8_t* row) {
    std::uint64_t word = cells.low_word();
    for (std::size_t b = 0; b < 8; ++b, word >>= 8) std::memcpy(row + 8 * b, &kSpread[word & 0xFF], 8);
    const std::uint64_t high = cells.high_word();
    std::memcpy(row + 64, &kSpread[high & 0xFF], 8);
    std::memcpy(row + 72, &kSpread[(high >> 8) & 0xFF], 8);
    row[80] = static_cast<std::uint8_t>((high >> 16) & 1U);
}

// Writes a two-byte element with one store, so that a reader running meanwhile sees the
// old value or the new one, never a mix of their bytes. (Bytes are written whole anyway.)
void store(std::int16_t& element, int value) {
    std::atomic_ref<std::int16_t>(element).store(static_cast<std::int16_t>(value), std::memory_order_relaxed);
}

}  // namespace

Batch::Batch(std::size_t n, std::uint64_t seed, BatchArrays arrays)
    : games_(n, new_game(0, false)), arrays_(arrays) {
    rngs_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) rngs_.emplace_back(seed, i);
    for (std::size_t i = 0; i < n; ++i) publish_all(i, -1);
}

void Batch::reset(std::size_t i) {
    games_[i] = new_game(0, false);
    publish_all(i, -1);
}

void Batch::load(std::size_t i, const GameRecord& record) {
    games_[i] = record;
    games_[i].log_enabled = false;
    publish_all(i, -1);
}

std::optional<StepRefusal> Batch::validate(const std::int16_t* cells) const {
    for (std::size_t i = 0; i < games_.size(); ++i) {
        const int cell = cells[i];
        const GameRecord& game = games_[i];
        const bool is_over = game.available.empty();
        if (is_over ? cell == -1 : cell >= 0 && cell < kCells && legal_cells(game).contains(cell)) continue;
        if (is_over) return StepRefusal{i, cell, "the game is over; its entry must be -1"};
        if (cell == -1) return StepRefusal{i, cell, "-1 is only for games that are over, and this game is running"};
        if (cell < 0 || cell >= kCells) return StepRefusal{i, cell, "cells are 0..80"};
        GameRecord copy = game;
        const MoveOutcome outcome = make_move(copy, static_cast<std::int8_t>(cell), game.next_player);
        return StepRefusal{i, cell, outcome.accepted ? std::string("not a legal cell") : outcome.error.text()};
    }
    return std::nullopt;
}

void Batch::play(std::size_t i, int cell) {
    GameRecord& game = games_[i];
    arrays_.boards[81 * i + static_cast<std::size_t>(cell)] = game.next_player;
    play_legal(game, cell);
    store(arrays_.moves_played[i], arrays_.moves_played[i] + 1);
    store(arrays_.last_move[i], cell);
    publish_state(i);
}

int Batch::play_random(std::size_t i) {
    GameRecord& game = games_[i];
    if (game.available.empty()) return -1;
    const std::int8_t player = game.next_player;
    const int cell = play_random_move(game, rngs_[i]);
    arrays_.boards[81 * i + static_cast<std::size_t>(cell)] = player;
    store(arrays_.moves_played[i], arrays_.moves_played[i] + 1);
    store(arrays_.last_move[i], cell);
    publish_state(i);
    return cell;
}

int Batch::play_and_reply(std::size_t i, int cell) {
    GameRecord& game = games_[i];
    std::int8_t* board = arrays_.boards + 81 * i;
    board[cell] = game.next_player;
    play_legal(game, cell);
    int reply = -1;
    if (!game.available.empty()) {
        const std::int8_t player = game.next_player;
        reply = play_random_move(game, rngs_[i]);
        board[reply] = player;
    }
    store(arrays_.moves_played[i], arrays_.moves_played[i] + (reply >= 0 ? 2 : 1));
    store(arrays_.last_move[i], reply >= 0 ? reply : cell);
    publish_state(i);
    return reply;
}

void Batch::finish_at_random(std::size_t i) {
    if (games_[i].available.empty()) return;
    int last_cell = -1;
    play_random_to_end(games_[i], rngs_[i], last_cell);
    publish_all(i, last_cell);
}

void Batch::publish_state(std::size_t i) {
    const GameRecord& game = games_[i];
    arrays_.to_move[i] = game.next_player;
    arrays_.winner[i] = game.winner;
    arrays_.done[i] = game.available.empty() ? 1 : 0;
    // legal_cells, inline: this runs on every move of every game.
    const int roster = forced_roster(game);
    const CellSet legal = roster < 0 ? game.available : game.available & CellSet::roster(roster);
    write_mask(legal, arrays_.legal + 81 * i);
}

void Batch::publish_all(std::size_t i, int last_cell) {
    const GameRecord& game = games_[i];
    std::memcpy(arrays_.boards + 81 * i, game.board.data(), kCells);
    int marks = 0;
    for (const std::int8_t value : game.board) marks += value != 0 ? 1 : 0;
    store(arrays_.moves_played[i], marks);
    store(arrays_.last_move[i], last_cell);
    publish_state(i);
}

}  // namespace nonagame
