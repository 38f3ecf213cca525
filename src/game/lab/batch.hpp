// Many independent games stepped together, publishing their state into arrays that the
// caller owns (the Python layer exposes them as NumPy arrays). Each game has its own
// random stream, derived from (seed, game index), so the result of a batch call does not
// depend on how the games are split over threads.
//
// Every element of the arrays is written with one store of its full width, so that a reader
// running meanwhile on another thread sees each element as it was or as it is, never a mix
// of the two (the Python layer adds a sequence number for whole-array snapshots).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board.hpp"
#include "rng.hpp"

namespace nonagame {

// The published arrays: row i of boards and legal holds the 81 cells of game i.
struct BatchArrays {
    std::int8_t* boards = nullptr;      // n x 81: 0 empty, 1 or 2
    std::uint8_t* legal = nullptr;      // n x 81: 1 for a legal cell
    std::int8_t* to_move = nullptr;     // n: 1 or 2
    std::int8_t* winner = nullptr;      // n: 0, 1 or 2
    std::uint8_t* done = nullptr;       // n: 1 once the game is over
    std::int16_t* moves_played = nullptr;  // n: marks on the board (2-byte aligned)
    std::int16_t* last_move = nullptr;     // n: the last cell played, -1 before the first (2-byte aligned)
};

// An entry of a step that cannot be played: the game, its cell and why.
struct StepRefusal {
    std::size_t game = 0;
    int cell = 0;
    std::string reason;
};

class Batch {
public:
    // n games at the opening, published into arrays (which must hold n games).
    Batch(std::size_t n, std::uint64_t seed, BatchArrays arrays);

    std::size_t size() const { return games_.size(); }
    const GameRecord& game(std::size_t i) const { return games_[i]; }
    bool over(std::size_t i) const { return games_[i].available.empty(); }
    // Game i's published legal cells (81 flags).
    const std::uint8_t* legal_row(std::size_t i) const { return arrays_.legal + 81 * i; }

    // Game i back to the opening; with a seed, its stream restarts from (seed, i).
    void reset(std::size_t i);
    void reseed(std::size_t i, std::uint64_t seed) { rngs_[i] = Rng(seed, i); }
    // Game i in the position of record (its log switched off), with no last move.
    void load(std::size_t i, const GameRecord& record);

    // The first entry of cells[0..n) that cannot be played: games that are over take -1 and
    // only -1; running games take one of their legal cells.
    std::optional<StepRefusal> validate(const std::int16_t* cells) const;

    // Plays a legal cell in game i (which is running).
    void play(std::size_t i, int cell);
    // One uniformly random legal move in game i, if it is running: the cell played, or -1.
    int play_random(std::size_t i);
    // Plays a legal cell in game i (which is running), then a uniformly random reply if the
    // game goes on, publishing once: the reply's cell, or -1.
    int play_and_reply(std::size_t i, int cell);
    // Random moves in game i until it is over.
    void finish_at_random(std::size_t i);

private:
    void publish_state(std::size_t i);
    // Everything of game i, with last_cell as its last move.
    void publish_all(std::size_t i, int last_cell);

    std::vector<GameRecord> games_;
    std::vector<Rng> rngs_;
    BatchArrays arrays_;
};

}  // namespace nonagame
