// Arguments of the lab's functions: positions given in any of the forms the package
// accepts, seeds and thread counts.
#pragma once

#include <Python.h>

#include <cstdint>

#include "board.hpp"

namespace nonagame::py {

// The position of a nonagame_lab.Position, a nonagame.Game (copied under its borrow) or a
// nonagame.State (rebuilt as State.to_checkpoint does). Anything else raises TypeError
// naming the argument and the accepted types.
GameRecord position_record(PyObject* object, const char* name);

// None: 64 bits from the operating system. An int: the seed itself, 0 <= seed < 2**64
// (ValueError outside; TypeError for other types).
std::uint64_t seed_value(PyObject* object, const char* name);

// A thread count: an int in 1..256 (ValueError outside; TypeError for other types).
int thread_count(PyObject* object, const char* name);

// A count: an int >= 0 (ValueError when negative, OverflowError beyond 2**63 - 1).
std::int64_t count_value(PyObject* object, const char* name);

// A number of items to allocate: an int >= 0 (ValueError when negative); any int beyond
// 2**63 - 1 comes back as 2**63 - 1, which no allocation can meet (MemoryError).
std::int64_t size_value(PyObject* object, const char* name);

}  // namespace nonagame::py
