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

}  // namespace nonagame::py
