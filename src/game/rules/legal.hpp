// Fast paths for simulation and search: moves already known to be legal, the k-th legal
// cell and single random moves, with no checks, no error texts and no move log. Whole random
// games are built on these in the lab's engine (lab/playout.hpp).
#pragma once

#include <cstdint>

#include "board.hpp"
#include "rng.hpp"

namespace nonagame {

// Plays cell for the player to move. cell must be one of legal_cells(game) and the game
// must not be over; the record ends exactly as make_move would leave it (without a log
// entry; moves_accepted counts the move).
void play_legal(GameRecord& game, int cell);

// The cell at index choice (0 <= choice < legal count) of the ascending legal cells.
int nth_legal_cell(const GameRecord& game, int choice);

// One uniformly random legal move for the player to move; the game must not be over.
// Returns the cell played.
int play_random_move(GameRecord& game, Rng& rng);

// How the functions here (and the lab's whole random games) find the k-th cell of a set. Both give the same cells and draw
// the same numbers from the generator; only the speed differs.
//   Portable: tables and word arithmetic, on any processor.
//   Pdep: the BMI2 instruction pdep (x86-64 with BMI1, BMI2 and POPCNT).
enum class SelectPath : std::uint8_t { Portable = 0, Pdep = 1 };

// Whether this processor can take the Pdep path.
bool pdep_supported();

// The path chosen for this processor: Pdep where it is supported and fast, Portable
// elsewhere, including the AMD processors that run pdep in microcode (before Zen 3).
SelectPath default_select_path();

// The path in use (default_select_path() until set_select_path changes it).
SelectPath select_path();

// Switches every thread to path, for tests and benchmarks; Pdep on a processor without
// it keeps Portable. Returns the path now in use.
SelectPath set_select_path(SelectPath path);

// The cell at index k (0 <= k < cells.size()) of cells in ascending order, as CellSet::nth,
// through the path in use or through the given one.
int nth_cell(const CellSet& cells, int k);
int nth_cell(const CellSet& cells, int k, SelectPath path);

}  // namespace nonagame
