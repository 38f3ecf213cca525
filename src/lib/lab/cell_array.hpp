// Reading a one-dimensional array-like of integers given by Python code (a NumPy array of
// any integer dtype, any strides, or a sequence that NumPy can turn into one) into a
// native buffer.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "pyref.hpp"

namespace nonagame::py {

// An object with the buffer protocol for object: object itself, or numpy.asarray(object)
// for other sequences. Runs Python code: call it before taking any borrow. str, bytes and
// objects that are neither raise TypeError naming the argument.
Ref as_buffer_object(PyObject* object, const char* name);

// Copies the n integers of a one-dimensional buffer into out, clamping each to int16
// (values outside -32768..32767 become -32768, which no caller accepts). Returns an error
// text naming the expected shape or dtype, or an empty string on success. Runs no Python
// code (besides getting the buffer of an exporter, which for NumPy runs none either).
std::string read_integers(PyObject* buffer_object, Py_ssize_t n, const char* name, std::int16_t* out);

}  // namespace nonagame::py
