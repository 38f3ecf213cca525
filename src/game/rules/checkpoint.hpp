// Saved positions: a plain value record that can be loaded into any game.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "record.hpp"

namespace nonagame {

struct CheckpointRecord {
    CellSet available;
    std::array<double, 3> odds{-1.0, -1.0, -1.0};
    std::int8_t next_player = 1;
    std::int8_t next_roster = ROSTER_ANY;
    std::array<std::int8_t, kCells> board{};
    std::array<std::int8_t, kRosters> rosters{};
};

CheckpointRecord make_checkpoint(const GameRecord& game);

// Copies the position into the game. id, log_enabled and moves_accepted stay; finished
// becomes "no cell available" and winner is recomputed from the loaded rosters.
void load_checkpoint(GameRecord& game, const CheckpointRecord& checkpoint);

// The grid of the position, then "next player: ", "next roster: ", "rosters: [...]" and
// "odds: [...]" lines, with no newline at the end.
std::string checkpoint_text(const CheckpointRecord& checkpoint);

// Builds a checkpoint from a snapshot's contents: board values (anything but 1 or 2 is an
// empty cell), the player to move and the roster the next move is forced into (-1 when free).
// Rosters are settled by the engine's rules: a complete line wins the roster (player 1
// tested first) and its cells leave the free set; no free cell left means drawn; three won
// rosters in a line (player 1 first, after all rosters are settled) empty the free set.
CheckpointRecord checkpoint_from_position(const std::array<std::int8_t, kCells>& board,
                                          std::int8_t next_player, std::int8_t next_roster);

}  // namespace nonagame
