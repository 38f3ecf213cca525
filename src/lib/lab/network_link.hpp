// The native network behind a network object given to the search.
#pragma once

#include <Python.h>

#include <memory>

#include "network.hpp"

namespace nonagame::py {

// nullptr for None (or not given); the network of a nonagame_lab.Network, shared with it and
// not copied; TypeError naming the argument for anything else.
std::shared_ptr<const net::Network> network_value(PyObject* object, const char* name);

}  // namespace nonagame::py
