// The capsule through which the lab module reads and makes nonagame objects at C level
// (the interface itself is CoreApi, in boundary/core_api.hpp).
#pragma once

#include <Python.h>

namespace nonagame::py {

// A new capsule named kCoreApiName holding the module's CoreApi table (kept in
// NonagameGlobals); for the private module attribute kCoreApiAttribute.
PyObject* make_core_api_capsule();

}  // namespace nonagame::py
