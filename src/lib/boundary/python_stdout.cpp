#include "python_stdout.hpp"

#include <unistd.h>

#include <cerrno>

#include "utf8.hpp"

namespace nonagame::py {

namespace {

void write_fd1(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(1, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to report to
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

void write_stdout(std::string_view text) {
    PyObject* stdout_object = PySys_GetObject("stdout");  // borrowed; NULL without an error
    if (stdout_object == nullptr || stdout_object == Py_None) {
        write_fd1(text);
        return;
    }
    // The stream's own methods may replace sys.stdout and drop the last reference to it.
    Ref stream = Ref::borrow(stdout_object);
    Ref line = str_from_utf8(text);
    if (!line) throw ErrorSet{};
    Ref written = Ref::checked(PyObject_CallMethod(stream.get(), "write", "O", line.get()));
    Ref flushed = Ref::checked(PyObject_CallMethod(stream.get(), "flush", nullptr));
}

}  // namespace nonagame::py
