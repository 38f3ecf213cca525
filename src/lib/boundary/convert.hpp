// Argument conversions with the module's error texts. A TypeError raised by a conversion
// is re-raised as "argument 'NAME': " + its text, keeping its __cause__.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

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

template <class Object>
Object* to_instance(PyObject* object, PyTypeObject* type, const char* class_name,
                    const char* name) {
    if (!PyObject_TypeCheck(object, type)) fail_conversion(object, class_name, name);
    return reinterpret_cast<Object*>(object);
}

}  // namespace nonagame::py
