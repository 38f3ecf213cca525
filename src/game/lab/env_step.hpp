// The learning environment's step against the uniformly random opponent, game by game over a
// Batch: the agent's move, the reply, the observation planes, the action mask and the reward,
// written into arrays that the caller owns and keeps from step to step. The state's planes
// hold the marks, updated by the two new ones, and no legal cells: those are written into
// each step's copy of the planes, from the batch's record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "batch.hpp"

namespace nonagame {

// How the agent's side is chosen when an episode starts.
enum class AgentPlays : std::uint8_t { kFirst, kSecond, kAlternate };

// Row i of each array belongs to game i.
struct EnvArrays {
    std::int8_t* planes = nullptr;          // n x 243: the marks' channels, (row, column, channel); channel 2 is 0
    double* rewards = nullptr;              // n
    std::uint8_t* terminated = nullptr;     // n
    std::uint8_t* illegal = nullptr;        // n: the episode ended on an illegal action
    std::int64_t* opponent_move = nullptr;  // n: the reply (or opening) just played, -1 if none
    std::int8_t* agent = nullptr;           // n: the agent's side, 1 or 2
    std::uint8_t* restart = nullptr;        // n: the episode ended in the last step (next-step autoreset)
};

// A step's results, in arrays that the caller hands out (row i of each belongs to game i):
// copies of the state's rows, so that the state can go on changing.
struct EnvOutputs {
    std::int8_t* planes = nullptr;          // n x 243
    std::int8_t* mask = nullptr;            // n x 81
    double* rewards = nullptr;              // n
    std::uint8_t* terminated = nullptr;     // n
    std::uint8_t* illegal = nullptr;        // n
    std::int64_t* agent = nullptr;          // n: the agent's side, widened
    std::int64_t* opponent_move = nullptr;  // n
};

class EnvSteps {
public:
    EnvSteps(std::size_t n, AgentPlays plays, EnvArrays arrays) : plays_(plays), episodes_(n, 0), arrays_(arrays) {}

    // A new episode in game i: the game reset, the agent's side chosen (with first_episode,
    // as for the first episode after a seeded reset), the random opponent's opening played
    // when it moves first, the observation written; reward, terminated and illegal cleared.
    void start(Batch& batch, std::size_t i, bool first_episode);

    // One step of game i, whose episode is running with the agent to move: an illegal cell
    // ends the episode with reward -1 and the game unchanged; a legal one is played, then a
    // random reply if the game goes on. With next_step, a game whose episode ended in the
    // last step starts a new episode instead (and its cell is ignored).
    void step(Batch& batch, std::size_t i, int cell, bool next_step);

    // Copies game i's rows of the state into out (right after its step, while they are
    // still in the nearest cache), and its mask: the batch's legal cells while the episode
    // runs, none once it has ended.
    void copy_out(const Batch& batch, std::size_t i, const EnvOutputs& out) const;

private:
    // After the agent's move: the reply (-1 if none), its mark and the outcome.
    void finish(const Batch& batch, std::size_t i, int reply) const;

    AgentPlays plays_;
    std::vector<std::uint32_t> episodes_;  // episodes started since the last first one (alternate)
    EnvArrays arrays_;
};

}  // namespace nonagame
