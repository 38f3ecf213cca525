// Module initialisation: binds the module to the first interpreter that imports it,
// creates it once and returns the same object on every later import.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "checkpoint_type.hpp"
#include "errors.hpp"
#include "player.hpp"
#include "runner.hpp"
#include "state.hpp"
#include "types.hpp"

namespace nonagame::py {

namespace {

constexpr std::int64_t kNoInterpreter = -1;  // the main interpreter's id is 0
std::atomic<std::int64_t> g_interpreter{kNoInterpreter};
PyObject* g_module = nullptr;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "nonagame",
    "Nine-board tic-tac-toe: a Python module with a native implementation.",
    0,  // no per-module state: the init function runs again in another interpreter
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends name to the module's __all__ (created when missing) and sets the attribute.
void add_object(PyObject* module, const char* name, PyObject* object) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorSet{};
        PyErr_Clear();
        all = Ref::checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw ErrorSet{};
    } else if (!PyList_Check(all.get())) {
        raise(PyExc_TypeError, "__all__ of the module is not a list");
    }
    Ref text = Ref::checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0) {
        throw Fault("could not append __name__ to __all__: " + describe_current_error());
    }
    if (PyObject_SetAttr(module, text.get(), object) < 0) throw ErrorSet{};
}

void add_class(PyObject* module, PyTypeObject* type) {
    add_object(module, _PyType_Name(type), reinterpret_cast<PyObject*>(type));
}

// Adds a builtin function bound to the module; its __module__ is the module's name.
void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::checked(PyModule_GetNameObject(module));
    Ref function = Ref::checked(PyCMethod_New(def, module, module_name.get(), nullptr));
    Ref name = Ref::checked(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) raise(PyExc_TypeError, "__name__ of a function is not a str");
    const char* utf8 = PyUnicode_AsUTF8(name.get());
    if (utf8 == nullptr) throw ErrorSet{};
    add_object(module, utf8, function.get());
}

void populate(PyObject* module) {
    add_class(module, game_type());
    add_class(module, player_type());
    add_class(module, checkpoint_type());
    add_class(module, state_type());
    add_function(module, play_game_definition());
    add_function(module, play_multiple_games_definition());
}

PyObject* init() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1 && PyErr_Occurred()) throw ErrorSet{};
    std::int64_t expected = kNoInterpreter;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "nonagame does not support subinterpreters: it can be imported only in the "
              "interpreter that imported it first");
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    Ref module = Ref::checked(PyModule_Create2(&g_definition, 1013));
    populate(module.get());
    g_module = module.get();
    Py_INCREF(g_module);  // the process keeps one reference for ever
    return module.release();
}

}  // namespace

}  // namespace nonagame::py

PyMODINIT_FUNC PyInit_nonagame() {
    return nonagame::py::entry([] { return nonagame::py::init(); });
}
