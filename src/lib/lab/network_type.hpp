// The Network class: a policy-value network evaluated natively (network.hpp), made from named
// float32 arrays and never changed afterwards, so any number of threads may evaluate it at once.
#pragma once

#include <Python.h>

#include <memory>

#include "network.hpp"

namespace nonagame::py {

PyTypeObject* network_type();

// Whether object is a Network (or an instance of a Python subclass).
bool is_network(PyObject* object);

// The network of a Network object. The pointer keeps it alive without the object.
std::shared_ptr<const net::Network> network_of(PyObject* object);

}  // namespace nonagame::py
