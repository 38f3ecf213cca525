// Random reachable positions for the position tests, played by the engine's own fast path.
#pragma once

#include <cstdint>
#include <vector>

#include "board.hpp"
#include "legal.hpp"
#include "position.hpp"
#include "rng.hpp"

namespace nonagame::testing {

// Every position of `games` random games (the opening of each included), as Position
// values advanced with play_unchecked, with the engine record of the same game beside them.
struct Walk {
    std::vector<Position> positions;
    std::vector<GameRecord> records;
};

inline Walk random_walk(int games, std::uint64_t seed) {
    Walk walk;
    for (int g = 0; g < games; ++g) {
        Rng rng(seed, static_cast<std::uint64_t>(g));
        GameRecord game = new_game(0, false);
        Position position;
        walk.positions.push_back(position);
        walk.records.push_back(game);
        while (!game.available.empty()) {
            const int cell = play_random_move(game, rng);
            position = position.play_unchecked(cell);
            walk.positions.push_back(position);
            walk.records.push_back(game);
        }
    }
    return walk;
}

}  // namespace nonagame::testing
