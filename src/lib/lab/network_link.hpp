// The native network behind a network object given to the search: any object whose
// arrays() returns the weights by name (nonagame_lab.Network does), in the layout of the
// "nonagame-mlp-1" format: hidden.{i}.weight (out, in) and hidden.{i}.bias (out,), then
// policy.weight (81, H), policy.bias (81,), value.weight (1, H), value.bias (1,).
#pragma once

#include <Python.h>

#include <memory>

#include "network.hpp"

namespace nonagame::py {

// nullptr for None. A str or os.PathLike is looked up by nonagame_lab._network.network_from_name:
// "baseline" is the network shipped with the package, "none" no network (nullptr), anything
// else a network file. TypeError when object has no arrays() or an array is not numeric;
// ValueError naming the key and the expected shape when the layers are missing or do not
// chain, or hold values that are not finite.
std::shared_ptr<const net::Network> network_value(PyObject* object, const char* name);

}  // namespace nonagame::py
