#include "network_link.hpp"

#include <string>

#include "errors.hpp"
#include "network_type.hpp"

namespace nonagame::py {

std::shared_ptr<const net::Network> network_value(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return nullptr;
    if (!is_network(object)) {
        raise(PyExc_TypeError, std::string("argument '") + name + "': expected a nonagame_lab.Network or None, got '" +
                                   Py_TYPE(object)->tp_name + "'");
    }
    return network_of(object);
}

}  // namespace nonagame::py
