// Access to NumPy through its C API table, located at the first array creation (not at
// import) and kept for the life of the process. Arrays are read back through IntegerView
// (integer_view.hpp), which needs no NumPy table.
#pragma once

#include <Python.h>

#include <cstdint>

namespace nonagame::py {

// A new one-dimensional numpy.int8 array holding a copy of data[0..n). Raises a Fault
// starting "Failed to access NumPy array API capsule" when NumPy cannot be reached, or
// prints the Python error and raises "Python API call failed" when the array cannot be made.
PyObject* new_int8_array(const std::int8_t* data, Py_ssize_t n);

// A new C-contiguous, writable numpy.float32 array of the given shape (ndim 0..4), its
// elements uninitialised; *data points at them. Raises as new_int8_array does, except that
// MemoryError passes as it is. Until the
// array is handed to Python code, native code may fill it without the interpreter lock.
PyObject* new_float32_array(int ndim, const Py_ssize_t* dims, float** data);

// The element types of new_typed_array.
enum class ArrayType { kBool, kInt8, kInt64, kFloat64 };

// A new C-contiguous, writable array of the given type and shape (ndim 1..4), its elements
// uninitialised; *data points at them. Raises as new_float32_array does. Until the array is
// handed to Python code, native code may fill it without the interpreter lock.
PyObject* new_typed_array(ArrayType type, int ndim, const Py_ssize_t* dims, void** data);

}  // namespace nonagame::py
