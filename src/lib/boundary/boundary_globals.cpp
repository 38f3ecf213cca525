#include "boundary_globals.hpp"

namespace nonagame::py {

BoundaryGlobals g_boundary;

}  // namespace nonagame::py
