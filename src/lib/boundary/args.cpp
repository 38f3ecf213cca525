#include "args.hpp"

#include <string>

#include "convert.hpp"

namespace nonagame::py {

namespace {

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const std::string accepted = sig.required == sig.positional
                                     ? std::to_string(sig.positional)
                                     : "from " + std::to_string(sig.required) + " to " + std::to_string(sig.positional);
    raise(PyExc_TypeError, std::string(sig.full_name) + " takes " + accepted + " positional arguments but " +
                               std::to_string(given) + " " + (given == 1 ? "was" : "were") + " given");
}

// The parameter named name: first by pointer among the interned names (made here at the
// first call with keywords), then by value; -1 when there is none.
int parameter_index(const Signature& sig, PyObject* name) {
    if (sig.count > 0 && sig.interned[sig.count - 1] == nullptr) {
        for (int i = 0; i < sig.count; ++i) {
            if (sig.interned[i] == nullptr) sig.interned[i] = Ref::checked(PyUnicode_InternFromString(sig.names[i])).release();
        }
    }
    for (int i = 0; i < sig.count; ++i) {
        if (sig.interned[i] == name) return i;
    }
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, sig.names[i]) == 0) return i;
    }
    return -1;
}

// Places one keyword argument, or raises for a duplicate or unknown name.
void place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "keywords must be strings");
    const int i = parameter_index(sig, name);
    if (i < 0) {
        raise(PyExc_TypeError, std::string(sig.full_name) + " got an unexpected keyword argument '" +
                                   str_argument(name, "keyword") + "'");
    }
    if (out[i] != nullptr) {
        raise(PyExc_TypeError, std::string(sig.full_name) + " got multiple values for argument '" +
                                   sig.names[i] + "'");
    }
    out[i] = value;
}

void check_missing(const Signature& sig, PyObject** out) {
    int missing = 0;
    for (int i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
    if (missing == 0) return;
    std::string list;
    int listed = 0;
    for (int i = 0; i < sig.required; ++i) {
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
    if (nargs > sig.positional) too_many_positional(sig, nargs);
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
    if (nargs > sig.positional) too_many_positional(sig, nargs);
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *name = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) place_keyword(sig, name, value, out);
    }
    check_missing(sig, out);
}

}  // namespace nonagame::py
