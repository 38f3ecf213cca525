// Writing to the program's standard output as Python code sees it.
#pragma once

#include <Python.h>

#include <string_view>

namespace nonagame::py {

// Writes text through sys.stdout (write, then flush) so that it keeps its place among
// Python's own output, or straight to file descriptor 1 when sys.stdout is missing or
// None. Runs Python code: callers must hold no borrow and no pointer into a record.
// Throws ErrorSet when sys.stdout fails.
void write_stdout(std::string_view text);

}  // namespace nonagame::py
