// NumPy arrays over memory that native code owns and updates: a block of bytes kept by a
// small exporter object, read-only through the buffer protocol, so that every array viewing
// it is read-only to Python while the native side writes in place.
#pragma once

#include <Python.h>

#include <cstddef>

#include "pyref.hpp"

namespace nonagame::py {

// A new zero-filled block of size bytes (MemoryError when it cannot be had).
Ref new_native_block(std::size_t size);

// The first byte of a block made by new_native_block.
std::byte* block_data(PyObject* block);

// A read-only numpy array of the given dtype name ("int8", "bool", "int16") viewing
// count elements of block from byte offset, reshaped to (rows,) or (rows, columns) when
// columns > 0. Imports NumPy on first use.
Ref view_array(PyObject* block, const char* dtype, std::size_t offset, Py_ssize_t rows,
               Py_ssize_t columns);

}  // namespace nonagame::py
