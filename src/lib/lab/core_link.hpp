// The lab module's link to the nonagame module: its C-level interface, taken from the
// capsule that nonagame keeps as a private attribute.
#pragma once

#include <Python.h>

#include "core_api.hpp"

namespace nonagame::py {

// Imports nonagame, checks its capsule against this build and keeps it; adopts its
// PanicException, so that both modules raise one class. Throws ErrorSet on failure.
void link_core();

// The interface kept by link_core.
const CoreApi& core();

}  // namespace nonagame::py
