#include "args.hpp"

#include <string>

namespace nonagame::py {

namespace {

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
    raise(PyExc_TypeError, std::string(sig.full_name) + " takes " + std::to_string(sig.count) +
                               " positional arguments but " + std::to_string(given) + " " +
                               (given == 1 ? "was" : "were") + " given");
}

std::string utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) throw ErrorSet{};
    return std::string(data, static_cast<std::size_t>(size));
}

// Places one keyword argument, or raises for a duplicate or unknown name.
void place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "keywords must be strings");
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, sig.names[i]) != 0) continue;
        if (out[i] != nullptr) {
            raise(PyExc_TypeError, std::string(sig.full_name) +
                                       " got multiple values for argument '" + sig.names[i] + "'");
        }
        out[i] = value;
        return;
    }
    raise(PyExc_TypeError, std::string(sig.full_name) + " got an unexpected keyword argument '" +
                               utf8(name) + "'");
}

void check_missing(const Signature& sig, PyObject** out) {
    int missing = 0;
    for (int i = 0; i < sig.count; ++i) missing += out[i] == nullptr;
    if (missing == 0) return;
    std::string list;
    int listed = 0;
    for (int i = 0; i < sig.count; ++i) {
        if (out[i] != nullptr) continue;
        if (listed > 0) {
            if (missing == 2) list += " and ";
            else list += listed == missing - 1 ? ", and " : ", ";
        }
        list += std::string("'") + sig.names[i] + "'";
        ++listed;
    }
    raise(PyExc_TypeError, std::string(sig.full_name) + " missing " + std::to_string(missing) +
                               " required positional " + (missing == 1 ? "argument" : "arguments") +
                               ": " + list);
}

}  // namespace

void parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    if (nargs > sig.count) too_many_positional(sig, nargs);
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
        }
    }
    check_missing(sig, out);
}

void parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.count) too_many_positional(sig, nargs);
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *name = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) place_keyword(sig, name, value, out);
    }
    check_missing(sig, out);
}

}  // namespace nonagame::py
