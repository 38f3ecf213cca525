// The player record: its id, its win counter and the default (uniformly random) move.
#pragma once

#include <cstdint>

#include "../board.hpp"

namespace nonagame {

// A plain value: the module keeps one inside every Player object and changes it only
// with the interpreter lock held, so the counter needs no synchronisation of its own.
struct PlayerRecord {
    std::int8_t id = 1;      // 1 or 2
    std::uint32_t wins = 0;  // games credited to this player; wraps to 0 after 2^32 - 1
};

// A player with no wins. Faults with "ID SHOULD BE EQUAL TO 1 OR 2" unless id is 1 or 2.
PlayerRecord new_player(std::int8_t id);

// Plays a uniformly random cell of get_available_moves with player.id, and returns the
// engine's outcome so that the caller can report a refused move where it sees fit.
// Faults with "first attempt" when no cell is listed.
MoveOutcome play_default_move(const PlayerRecord& player, GameRecord& game);

}  // namespace nonagame
