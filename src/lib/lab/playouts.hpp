// nonagame_lab.playouts (its result type is in playout_result_type.hpp).
#pragma once

#include <Python.h>

namespace nonagame::py {

PyMethodDef* playouts_definition();

}  // namespace nonagame::py
