// Argument parsing for methods, constructors and functions whose parameters are all
// required and may be passed by position or by keyword.
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
};

template <std::size_t N>
struct Params {
    const char* full_name;
    std::array<const char*, N> names;
    constexpr Signature signature() const { return {full_name, names.data(), static_cast<int>(N)}; }
};

// Fills out[0..count) with borrowed references from a fast call, or raises the TypeError
// for too many positional arguments, a keyword given twice, an unknown keyword or a
// missing argument (in that order of checks) and throws ErrorSet.
void parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// The same for a constructor's argument tuple and keyword dictionary (which may be NULL).
void parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
std::array<PyObject*, N> parse(const Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
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
