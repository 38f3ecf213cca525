// UTF-8 text to and from Python objects, for messages: str() or repr() of an object as a
// std::string, with a fallback where the text only decorates a message that must be made
// anyway, and Python str objects made from C++ text.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "pyref.hpp"

namespace nonagame::py {

enum class TextForm { str, repr };

// str(object) or repr(object) as UTF-8. Nothing, with the Python error left set, when
// object is NULL (a call that should have made it failed), when the call fails or when the
// text cannot be encoded. Runs Python code (__str__, __repr__).
std::optional<std::string> object_text(PyObject* object, TextForm form = TextForm::str);

// The same, or fallback when there is no text; the error is cleared then.
std::string object_text_or(PyObject* object, std::string_view fallback,
                           TextForm form = TextForm::str);

// __qualname__ of type, or fallback (the error cleared) when it cannot be read.
std::string type_qualname_or(PyTypeObject* type, std::string_view fallback);

// A new str holding text, decoded as UTF-8 with invalid bytes replaced; empty with the
// Python error set when it cannot be made.
Ref str_from_utf8(std::string_view text);

}  // namespace nonagame::py
