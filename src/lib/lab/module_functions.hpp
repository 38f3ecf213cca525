// The module-level functions of the symmetries and the cell names (module_functions.cpp).
#pragma once

#include <Python.h>

namespace nonagame::py {

// The table of those functions, ended by an entry whose name is NULL.
PyMethodDef* module_functions();

}  // namespace nonagame::py
