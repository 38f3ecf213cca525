// The native network behind a network object given to the search.
#pragma once

#include <Python.h>

#include <memory>

#include "network.hpp"

namespace nonagame::py {

// nullptr for None (or not given) and for the name "none"; the network of a nonagame_lab.Network,
// shared with it and not copied. A str or os.PathLike is looked up by
// nonagame_lab._network.network_from_name: "baseline" is the network shipped with the package,
// anything else a network file (its OSError or ValueError propagates). TypeError naming the
// argument for anything else.
std::shared_ptr<const net::Network> network_value(PyObject* object, const char* name);

}  // namespace nonagame::py
