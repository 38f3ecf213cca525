#include "errors.hpp"

#include "boundary_globals.hpp"
#include "fault_texts.hpp"
#include "utf8.hpp"

namespace nonagame::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of this module fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way through the stack and makes the interpreter exit.";

}  // namespace

PyObject* panic_type() {
    PyObject*& type = g_boundary.panic_type;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void adopt_panic_type(PyObject* type) {
    Py_INCREF(type);
    Py_XSETREF(g_boundary.panic_type, type);
}

void set_panic(std::string_view text) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the error of the failed creation stays set
    const Ref message = str_from_utf8(text);
    if (message) PyErr_SetObject(type, message.get());
}

void raise(PyObject* type, std::string_view message) {
    const Ref text = str_from_utf8(message);
    if (text) PyErr_SetObject(type, text.get());
    throw ErrorSet{};
}

void api_call_failed() {
    PyErr_Print();
    throw Fault(std::string(kApiCallFailed));
}

void unwrap_none() { throw Fault(std::string(kUnwrapNone)); }

std::string describe_current_error() {
    constexpr std::string_view kUnknown = "unknown error";
    const PendingError error;
    const std::string name =
        error.type() != nullptr && PyType_Check(error.type())
            ? type_qualname_or(reinterpret_cast<PyTypeObject*>(error.type()), kUnknown)
            : std::string(kUnknown);
    return name + ": " + object_text_or(error.value(), "<unprintable>");
}

PendingError::PendingError() noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
}

bool PendingError::matches(PyObject* exception_type) const noexcept {
    return type_ && PyErr_GivenExceptionMatches(type_.get(), exception_type) != 0;
}

void PendingError::restore() noexcept {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void PendingError::discard() noexcept {
    type_ = Ref();
    value_ = Ref();
    traceback_ = Ref();
}

}  // namespace nonagame::py
