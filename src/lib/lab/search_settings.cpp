#include "search_settings.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "errors.hpp"

namespace nonagame::py {

namespace {

// A number in [low, high] (low itself excluded when open_low), named by range in refusals.
double bounded_number(PyObject* object, const char* name, double low, double high, bool open_low, const char* range) {
    if (PyBool_Check(object)) raise(PyExc_TypeError, std::string("argument '") + name + "': expected a number, got 'bool'");
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw ErrorSet{};
    if (!std::isfinite(value) || value < low || value > high || (open_low && value == low)) {
        std::string text = "argument '";
        text += name;
        text += "': expected a finite number ";
        text += range;
        raise(PyExc_ValueError, text);
    }
    return value;
}

}  // namespace

void read_guided_settings(mcts::SearchConfig& config, PyObject* c_puct, PyObject* alpha, PyObject* fraction,
                          PyObject* temperature) {
    const double inf = std::numeric_limits<double>::infinity();
    if (c_puct != nullptr) config.c_puct = bounded_number(c_puct, "c_puct", 0, inf, false, ">= 0");
    if (alpha != nullptr) config.dirichlet_alpha = bounded_number(alpha, "dirichlet_alpha", 0, inf, true, "> 0");
    if (fraction != nullptr) {
        config.dirichlet_fraction = bounded_number(fraction, "dirichlet_fraction", 0, 1, false, "in 0..1");
    }
    if (temperature != nullptr) config.temperature = bounded_number(temperature, "temperature", 0, inf, false, ">= 0");
}

std::string pool_memory_text(const mcts::SearchConfig& config, bool guided) {
    const std::uint64_t bytes = std::uint64_t{config.pool_nodes} * (guided ? 36U : 20U);
    return "a search pool of " + std::to_string(config.pool_nodes) + " nodes (" + std::to_string(bytes >> 20) +
           " MiB) cannot be allocated; choose a smaller pool_nodes";
}

}  // namespace nonagame::py
