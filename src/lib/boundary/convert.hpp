// Argument conversions with the module's error texts. A TypeError raised by a conversion
// is re-raised as "argument 'NAME': " + its text, keeping its __cause__.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"

namespace nonagame::py {

inline constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// Replaces a pending TypeError (exactly that type) by "argument 'name': ..." and throws.
[[noreturn]] void fail_argument(const char* name);

// An int or an object with __index__, in -128..127.
std::int8_t to_i8(PyObject* object, const char* name);

// The same without the range error: nothing (and no error set) for an integer outside
// -128..127, so that the caller may raise it later; throws ErrorSet for a non-integer.
std::optional<std::int8_t> to_i8_if_in_range(PyObject* object, const char* name);

// An int (or an object with __index__) in 0..4294967295.
std::uint32_t to_u32(PyObject* object, const char* name);

// An instance of type (or of a subclass); otherwise "'T' object cannot be converted to
// 'class_name'" as an argument error.
template <class Object>
Object* to_instance(PyObject* object, PyTypeObject* type, const char* class_name,
                    const char* name);

// Raises TypeError "'T' object cannot be converted to 'class_name'" for name.
[[noreturn]] void fail_conversion(PyObject* object, const char* class_name, const char* name);

// The name of object's type for messages (its __qualname__, or a placeholder).
std::string type_name(PyObject* object);

// Raises type (ValueError by default) with "argument 'name': " + message.
[[noreturn]] void fail_value(const char* name, std::string_view message, PyObject* type = PyExc_ValueError);

// Raises TypeError "argument 'name': expected <expected>, got 'T'".
[[noreturn]] void fail_expected(PyObject* object, const char* name, std::string_view expected);

// A str argument as UTF-8; TypeError "expected a str" for other types.
std::string str_argument(PyObject* object, const char* name);

// Whether object is an integer argument: an int or an object with __index__ (a NumPy
// integer scalar), but not a bool.
bool is_integer(PyObject* object);

// An integer argument as an exact int: object itself, or what its __index__ returns.
// Anything else raises TypeError "argument 'name': expected <expected>, got 'T'".
Ref to_int(PyObject* object, const char* name, std::string_view expected = "an int");

// An int's value in long long: overflow is -1 or +1 (and value 0) when the int lies below
// or above that range, 0 when value is exact.
struct Integer {
    long long value;
    int overflow;
};

// An integer argument (as to_int) as an Integer.
Integer to_integer(PyObject* object, const char* name, std::string_view expected = "an int");

// An index into size items: an integer argument (as to_int) in 0..size-1, else range_error
// "argument 'name': index I is not in 0..size-1", naming the int as given, or, when size is
// 0, "index I is out of range: there are no <items>".
std::int64_t to_index(PyObject* object, std::int64_t size, const char* name, const char* items,
                      PyObject* range_error = PyExc_IndexError);

// The decimal text of an int (or of an object with __index__).
std::string int_text(PyObject* object);

// A new reference to the int object of cell 0..80, made at first need and kept: lists of
// cells are made on every move of Python-driven play and search.
PyObject* new_cell_int(int cell);

template <class Object>
Object* to_instance(PyObject* object, PyTypeObject* type, const char* class_name,
                    const char* name) {
    if (!PyObject_TypeCheck(object, type)) fail_conversion(object, class_name, name);
    return reinterpret_cast<Object*>(object);
}

}  // namespace nonagame::py
