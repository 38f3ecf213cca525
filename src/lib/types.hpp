// The module's Python classes: their instance layouts and their type objects, each
// created once, at first need, and kept for the life of the process.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "board.hpp"
#include "borrow.hpp"

namespace nonagame::py {

// Creates a heap type from spec. On failure the Python error is printed and an internal
// fault "failed to create type object for NAME" is raised.
PyTypeObject* create_type(PyType_Spec& spec, const char* class_name);

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

struct GameBody {
    BorrowState borrow;
    GameRecord record;
};

PyTypeObject* game_type();

// A new Game instance holding record.
PyObject* wrap_game(const GameRecord& record);

}  // namespace nonagame::py
