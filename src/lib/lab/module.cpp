// Initialisation of nonagame_lab._core, the native part of the lab package.
#include <Python.h>

#include "core_link.hpp"
#include "errors.hpp"
#include "module_support.hpp"

namespace nonagame::py {

namespace {

PyObject* g_module = nullptr;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "nonagame_lab._core",
    "Native core of nonagame_lab: positions, batched simulation and search.",
    0,  // no per-module state, as for nonagame: a second interpreter is refused
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

void populate(PyObject* /*module*/) {}

PyObject* init() {
    return module_once(g_module, g_definition, "nonagame_lab", [](PyObject* module) {
        link_core();
        populate(module);
    });
}

}  // namespace

}  // namespace nonagame::py

PyMODINIT_FUNC PyInit__core() {
    return nonagame::py::entry([] { return nonagame::py::init(); });
}
