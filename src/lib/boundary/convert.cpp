#include "convert.hpp"

#include <climits>
#include <string>
#include <utility>

#include "boundary_globals.hpp"
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

std::string type_name(PyObject* object) {
    return type_qualname_or(Py_TYPE(object), "<failed to extract type name>");
}

void fail_conversion(PyObject* object, const char* class_name, const char* name) {
    const std::string type = type_name(object);
    PyErr_SetString(PyExc_TypeError, ("'" + type + "' object cannot be converted to '" + class_name + "'").c_str());
    fail_argument(name);
}

void fail_value(const char* name, std::string_view message, PyObject* type) {
    raise(type, std::string("argument '") + name + "': " + std::string(message));
}

void fail_expected(PyObject* object, const char* name, std::string_view expected) {
    const std::string type = type_name(object);
    fail_value(name, "expected " + std::string(expected) + ", got '" + type + "'", PyExc_TypeError);
}

std::string str_argument(PyObject* object, const char* name) {
    if (!PyUnicode_Check(object)) fail_expected(object, name, "a str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) throw ErrorSet{};
    return std::string(data, static_cast<std::size_t>(size));
}

bool is_integer(PyObject* object) { return !PyBool_Check(object) && PyIndex_Check(object); }

Ref to_int(PyObject* object, const char* name, std::string_view expected) {
    if (PyLong_CheckExact(object)) return Ref::borrow(object);
    if (!is_integer(object)) fail_expected(object, name, expected);
    return Ref::checked(PyNumber_Index(object));
}

Integer to_integer(PyObject* object, const char* name, std::string_view expected) {
    const Ref number = to_int(object, name, expected);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw ErrorSet{};
    return {overflow != 0 ? 0 : value, overflow};
}

std::int64_t to_index(PyObject* object, std::int64_t size, const char* name, const char* items,
                      PyObject* range_error) {
    const Integer index = to_integer(object, name, "an int index");
    if (index.overflow != 0 || index.value < 0 || index.value >= size) {
        const std::string range =
            size > 0 ? "is not in 0.." + std::to_string(size - 1) : std::string("is out of range: there are no ") + items;
        fail_value(name, "index " + int_text(object) + " " + range, range_error);
    }
    return index.value;
}

std::string int_text(PyObject* object) {
    const Ref number = Ref::checked(PyNumber_Index(object));
    std::optional<std::string> text = object_text(number.get());
    if (!text) throw ErrorSet{};
    return *std::move(text);
}

PyObject* new_cell_int(int cell) {
    PyObject*& number = g_boundary.cell_ints.at(static_cast<std::size_t>(cell));
    if (number == nullptr) number = Ref::checked(PyLong_FromLong(cell)).release();
    return Py_NewRef(number);
}

}  // namespace nonagame::py
