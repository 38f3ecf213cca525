// Module initialisation helpers shared by the extension modules: binding a module to the
// one interpreter that may import it, making it once, and adding public names to it.
#pragma once

#include <Python.h>

#include "pyref.hpp"

namespace nonagame::py {

// Records the importing interpreter the first time a module of this process is imported
// and raises ImportError (throwing ErrorSet) in any other interpreter. Every object the
// modules keep for the life of the process (boundary_globals.hpp and each module's own
// globals) belongs to that interpreter, which is why a second one is refused.
void bind_interpreter(const char* module_name);

// The module of definition, made once per process. Binds the interpreter first (see
// bind_interpreter); a later import returns the module kept in slot. Otherwise creates the
// module, lets populate(module) fill it and keeps one reference in slot for ever.
template <class Populate>
PyObject* module_once(PyObject*& slot, PyModuleDef& definition, const char* module_name,
                      Populate&& populate) {
    bind_interpreter(module_name);
    if (slot != nullptr) return Py_NewRef(slot);
    Ref module = Ref::checked(PyModule_Create2(&definition, PYTHON_API_VERSION));
    populate(module.get());
    slot = Py_NewRef(module.get());
    return module.release();
}

// Sets the attribute and appends name to the module's __all__ (created when missing).
void add_object(PyObject* module, const char* name, PyObject* object);

// add_object under the type's own name.
void add_class(PyObject* module, PyTypeObject* type);

// Adds a builtin function bound to the module; its __module__ is the module's name.
// def must have static storage: the function keeps a pointer to it.
void add_function(PyObject* module, PyMethodDef* def);

}  // namespace nonagame::py
