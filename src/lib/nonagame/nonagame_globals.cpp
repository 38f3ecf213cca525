#include "nonagame_globals.hpp"

namespace nonagame::py {

NonagameGlobals g_nonagame;

}  // namespace nonagame::py
