// The entry of every nonagame_lab function and slot: the boundary's entry(), with a text
// for every MemoryError. An allocation that fails without saying what it was for becomes
// MemoryError(kOutOfMemoryText); the large ones (batches of games, search pools, arrays)
// throw OutOfMemory with their sizes where they are made.
#pragma once

#include <Python.h>

#include <new>

#include "errors.hpp"

namespace nonagame::py {

inline constexpr const char* kOutOfMemoryText = "nonagame_lab ran out of memory";

template <class Body>
PyObject* lab_entry(Body&& body) noexcept {
    return entry([&]() -> PyObject* {
        try {
            return body();
        } catch (const OutOfMemory&) {
            throw;
        } catch (const std::bad_alloc&) {
            throw OutOfMemory(kOutOfMemoryText);
        }
    });
}

}  // namespace nonagame::py
