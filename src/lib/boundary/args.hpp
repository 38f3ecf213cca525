// Argument parsing for methods, constructors and functions: parameters passed by position
// or by keyword, the first ones required, the last ones optionally keyword-only.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "errors.hpp"

namespace nonagame::py {

struct Signature {
    const char* full_name;          // "Game.make_move()", "play_game()"
    const char* const* names;       // parameter names in declaration order
    int count;
    int required;                   // names[0..required) must be given
    int positional;                 // names[0..positional) may be given by position
    PyObject** interned;            // count interned names, made at first need
};

// The parameters of one callable. By default every parameter is required and may be given
// by position; a parameter at index >= required may be left out (its slot comes back NULL),
// and one at index >= positional can only be given by keyword. required <= positional:
// a required parameter is never keyword-only.
template <std::size_t N>
struct Params {
    const char* full_name = nullptr;
    std::array<const char*, N> names;
    int required = static_cast<int>(N);
    int positional = static_cast<int>(N);
    // The names as interned str objects, made by the first call that passes keywords: a
    // keyword written in Python source is interned too, so most keywords are matched by
    // pointer. Mutable so that a table of parameters can stay a constexpr declaration.
    mutable std::array<PyObject*, N> interned{};

    Signature signature() const {
        return {full_name, names.data(), static_cast<int>(N), required, positional, interned.data()};
    }
};

// Fills out[0..count) with borrowed references from a fast call (NULL for an optional
// parameter not given), or raises the TypeError for too many positional arguments, a
// keyword given twice, an unknown keyword or a missing argument (in that order of checks)
// and throws ErrorSet.
void parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// The same for a constructor's argument tuple and keyword dictionary (which may be NULL).
void parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
std::array<PyObject*, N> parse(const Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N) && params.positional == static_cast<int>(N)) {
        for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
        return out;
    }
    parse_fastcall(params.signature(), args, nargs, kwnames, out.data());
    return out;
}

template <std::size_t N>
std::array<PyObject*, N> parse(const Params<N>& params, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> out{};
    parse_tuple(params.signature(), args, kwargs, out.data());
    return out;
}

}  // namespace nonagame::py
