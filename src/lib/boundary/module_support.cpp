#include "module_support.hpp"

#include <cstdint>
#include <string>

#include "boundary_globals.hpp"
#include "errors.hpp"

namespace nonagame::py {

namespace {

const char* utf8_name(PyObject* name) {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "__name__ of a module member is not a str");
    const char* utf8 = PyUnicode_AsUTF8(name);
    if (utf8 == nullptr) throw ErrorSet{};
    return utf8;
}

}  // namespace

void bind_interpreter(const char* module_name) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1 && PyErr_Occurred()) throw ErrorSet{};
    std::int64_t expected = kNoInterpreter;
    if (!g_boundary.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              std::string(module_name) +
                  " does not support subinterpreters: it can be imported only in the "
                  "interpreter that imported it first");
    }
}

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
        throw Fault(std::string(kAllNotExtended) + describe_current_error());
    }
    if (PyObject_SetAttr(module, text.get(), object) < 0) throw ErrorSet{};
}

void add_class(PyObject* module, PyTypeObject* type) {
    Ref name = Ref::checked(PyType_GetName(type));
    add_object(module, utf8_name(name.get()), reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::checked(PyModule_GetNameObject(module));
    Ref function = Ref::checked(PyCMethod_New(def, module, module_name.get(), nullptr));
    Ref name = Ref::checked(PyObject_GetAttrString(function.get(), "__name__"));
    add_object(module, utf8_name(name.get()), function.get());
}

}  // namespace nonagame::py
