#include "lab_globals.hpp"

namespace nonagame::py {

LabGlobals g_lab;

}  // namespace nonagame::py
