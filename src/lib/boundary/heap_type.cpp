#include "heap_type.hpp"

#include <string>

#include "errors.hpp"

namespace nonagame::py {

PyTypeObject* create_type(PyType_Spec& spec, const char* class_name) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        PyErr_Print();
        throw Fault(std::string(kTypeNotCreated) + class_name);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* type_once(PyTypeObject*& slot, PyType_Spec& spec, const char* class_name) {
    if (slot == nullptr) slot = create_type(spec, class_name);
    return slot;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) return nullptr;
    return PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
}

}  // namespace nonagame::py
