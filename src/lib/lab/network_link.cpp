#include "network_link.hpp"

#include <string>

#include "errors.hpp"
#include "network_type.hpp"
#include "pyref.hpp"

namespace nonagame::py {

namespace {

bool is_name(PyObject* object) {
    return PyUnicode_Check(object) != 0 || PyObject_HasAttrString(object, "__fspath__") != 0;
}

}  // namespace

std::shared_ptr<const net::Network> network_value(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return nullptr;
    if (is_name(object)) {
        // A name ("baseline", "none") or a file: the package's Python side finds the network.
        Ref module = Ref::checked(PyImport_ImportModule("nonagame_lab._network"));
        Ref found = Ref::checked(PyObject_CallMethod(module.get(), "network_from_name", "Os", object, name));
        if (found.get() == Py_None) return nullptr;
        if (!is_network(found.get())) {
            raise(PyExc_TypeError, std::string("argument '") + name + "': a name did not give a nonagame_lab.Network");
        }
        return network_of(found.get());
    }
    if (!is_network(object)) {
        raise(PyExc_TypeError, std::string("argument '") + name +
                                   "': expected a nonagame_lab.Network, 'baseline', 'none', a path or None, got '" +
                                   Py_TYPE(object)->tp_name + "'");
    }
    return network_of(object);
}

}  // namespace nonagame::py
