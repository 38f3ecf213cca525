// Arguments of the lab's functions: positions given in any of the forms the package
// accepts, cells, symmetries, seeds, thread counts and counts.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "board.hpp"
#include "pyref.hpp"
#include "position.hpp"

namespace nonagame::py {

// The position of a nonagame_lab.Position, a nonagame.Game (copied under its borrow) or a
// nonagame.State (rebuilt as State.to_checkpoint does). Anything else raises TypeError
// naming the argument and the accepted types.
GameRecord position_record(PyObject* object, const char* name);

// An integer argument as a long long for the engine; an int beyond long long comes back as
// LLONG_MIN, which every cell and symmetry check refuses as out of range.
long long engine_int(PyObject* object, const char* name);

// The engine's refusal text for a move of the cell object, whose value reached the engine
// as cell (engine_int): a range refusal of an int beyond long long names the int given.
std::string refusal_text(const Refusal& refusal, long long cell, PyObject* object);

// A cell argument, 0..80: ValueError with the engine's range text (after prefix) outside.
int cell_value(PyObject* object, const char* name, const std::string& prefix = {});

// A symmetry argument, 0..7 (ValueError outside).
int symmetry_value(PyObject* object, const char* name);

// The items of an iterable of cells as a tuple. Reading an item may run Python code (its
// __index__), which could change a list given by the caller; a tuple cannot change.
Ref cell_items(PyObject* cells, const char* name);

// None or NULL (not given): 64 bits from the operating system. An int: the seed itself,
// 0 <= seed < 2**64 (ValueError outside; TypeError for other types).
std::uint64_t seed_value(PyObject* object, const char* name);

// A thread count: an int in 1..MAX_THREADS, or 1 when NULL (not given); ValueError outside,
// TypeError for other types.
int thread_count(PyObject* object, const char* name);

// A count: an int >= 0 (ValueError when negative, OverflowError beyond 2**63 - 1).
std::int64_t count_value(PyObject* object, const char* name);

// A number of items to allocate: an int >= 0 (ValueError when negative); any int beyond
// 2**63 - 1 comes back as 2**63 - 1, which no allocation can meet (MemoryError).
std::int64_t size_value(PyObject* object, const char* name);

// A real number argument (a float, an int or an object with __float__) that is finite and
// >= 0; ValueError otherwise, TypeError for other types.
double nonnegative_real(PyObject* object, const char* name);

}  // namespace nonagame::py
