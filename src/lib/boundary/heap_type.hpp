// Heap types whose instances carry a C++ body: creation from a spec, allocation with the
// body constructed in place, and deallocation through the instance's own type.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "pyref.hpp"

namespace nonagame::py {

// Creates a heap type from spec. On failure the Python error is printed and an internal
// fault "failed to create type object for NAME" is raised.
PyTypeObject* create_type(PyType_Spec& spec, const char* class_name);

// The type kept in slot, created from spec at first use (create_type's fault on failure).
PyTypeObject* type_once(PyTypeObject*& slot, PyType_Spec& spec, const char* class_name);

// tp_new of the classes that Python code cannot instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// An instance of one of the module's classes: the object header followed by a C++ body
// that is constructed in place after allocation and destroyed before the memory is freed.
template <class Body>
struct Instance {
    PyObject ob_base;
    Body body;

    static Body& of(PyObject* object) { return reinterpret_cast<Instance*>(object)->body; }
};

// Allocates an instance of type (possibly a Python subclass) and constructs its body.
template <class Body, class... Args>
PyObject* allocate(PyTypeObject* type, Args&&... args) {
    PyObject* raw = type->tp_alloc(type, 0);
    if (raw == nullptr) throw ErrorSet{};
    new (&reinterpret_cast<Instance<Body>*>(raw)->body) Body{std::forward<Args>(args)...};
    return raw;
}

// tp_dealloc: destroys the body, frees the memory through the instance's own type (a
// Python subclass frees through the garbage collector) and drops the type reference.
template <class Body>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<Body>*>(self)->body.~Body();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace nonagame::py
