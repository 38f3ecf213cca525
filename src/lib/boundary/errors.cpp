#include "errors.hpp"

namespace nonagame::py {

namespace {

PyObject* g_panic_type = nullptr;

constexpr const char* kPanicDoc =
    "Raised when the native code of this module fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way through the stack and makes the interpreter exit.";

}  // namespace

PyObject* panic_type() {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void adopt_panic_type(PyObject* type) {
    Py_INCREF(type);
    Py_XSETREF(g_panic_type, type);
}

void set_panic(std::string_view text) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the error of the failed creation stays set
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                  "replace"));
    if (!message) return;
    PyErr_SetObject(type, message.get());
}

void raise(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(),
                                               static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    throw ErrorSet{};
}

void api_call_failed() {
    PyErr_Print();
    throw Fault("Python API call failed");
}

void unwrap_none() { throw Fault("called `Option::unwrap()` on a `None` value"); }

namespace {

std::string utf8_of(PyObject* object, const char* fallback) {
    if (object != nullptr) {
        Ref text = Ref::steal(PyObject_Str(object));
        if (text) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
            if (data != nullptr) return std::string(data, static_cast<std::size_t>(size));
        }
        PyErr_Clear();
    }
    return fallback;
}

}  // namespace

std::string describe_current_error() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value),
        owned_tb = Ref::steal(traceback);
    std::string name = "unknown error";
    if (type != nullptr && PyType_Check(type)) {
        Ref qualname = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
        name = utf8_of(qualname.get(), "unknown error");
    }
    return name + ": " + utf8_of(value, "<unprintable>");
}

}  // namespace nonagame::py
