#include "convert.hpp"

#include <climits>
#include <string>

#include "utf8.hpp"

namespace nonagame::py {

void fail_argument(const char* name) {
    PendingError error;
    if (error.type() != PyExc_TypeError) {
        error.restore();
        throw ErrorSet{};
    }
    Ref text = Ref::checked(PyObject_Str(error.value()));
    Ref message = Ref::checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref replacement = Ref::checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // PyException_GetCause gives a new reference; PyException_SetCause steals one.
    PyException_SetCause(replacement.get(), PyException_GetCause(error.value()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    throw ErrorSet{};
}

std::optional<std::int8_t> to_i8_if_in_range(PyObject* object, const char* name) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) fail_argument(name);
    if (value < INT8_MIN || value > INT8_MAX) return std::nullopt;
    return static_cast<std::int8_t>(value);
}

std::int8_t to_i8(PyObject* object, const char* name) {
    const std::optional<std::int8_t> value = to_i8_if_in_range(object, name);
    if (!value) raise(PyExc_OverflowError, kOutOfRange);
    return *value;
}

std::uint32_t to_u32(PyObject* object, const char* name) {
    unsigned long long value = 0;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        Ref index = Ref::steal(PyNumber_Index(object));
        if (!index) fail_argument(name);
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail_argument(name);
    if (value > UINT32_MAX) raise(PyExc_OverflowError, kOutOfRange);
    return static_cast<std::uint32_t>(value);
}

void fail_conversion(PyObject* object, const char* class_name, const char* name) {
    const std::string type_name = type_qualname_or(Py_TYPE(object), "<failed to extract type name>");
    PyErr_SetString(PyExc_TypeError,
                    ("'" + type_name + "' object cannot be converted to '" + class_name + "'").c_str());
    fail_argument(name);
}

}  // namespace nonagame::py
