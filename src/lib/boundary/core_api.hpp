// The C-level interface that the nonagame module offers to the other extension modules of
// this distribution, in a capsule stored as the private module attribute `_core_api`
// (not in __all__). Both modules are built from the same engine headers in one build, so
// the records are passed as they are; the version and the record sizes guard against a
// module from another build.
#pragma once

#include <Python.h>

#include <cstdint>

#include "board.hpp"
#include "checkpoint.hpp"

namespace nonagame::py {

inline constexpr const char* kCoreApiAttribute = "_core_api";
inline constexpr const char* kCoreApiName = "nonagame._core_api";
inline constexpr std::uint32_t kCoreApiVersion = 1;

struct CoreApi {
    std::uint32_t version;
    std::uint32_t game_record_size;        // sizeof(GameRecord)
    std::uint32_t checkpoint_record_size;  // sizeof(CheckpointRecord)
    PyTypeObject* game_type;
    PyTypeObject* state_type;
    PyTypeObject* checkpoint_type;
    PyTypeObject* player_type;
    PyObject* panic_type;  // the one PanicException class of the process
    // Copies the record of a Game under its shared borrow. 0, or -1 with an error set
    // (RuntimeError when a writer holds the game). Runs no Python code.
    int (*read_game)(PyObject* game, GameRecord* out);
    // The position a State shows, as State.to_checkpoint rebuilds it. 0, or -1 with an
    // error set. Runs no Python code.
    int (*read_state)(PyObject* state, CheckpointRecord* out);
    // A new Game (new reference) holding a copy of record, or NULL with an error set.
    PyObject* (*new_game)(const GameRecord* record);
};

}  // namespace nonagame::py
