#include "utf8.hpp"

namespace nonagame::py {

std::optional<std::string> object_text(PyObject* object, TextForm form) {
    if (object == nullptr) return std::nullopt;
    const Ref text = Ref::steal(form == TextForm::str ? PyObject_Str(object) : PyObject_Repr(object));
    if (!text) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

std::string object_text_or(PyObject* object, std::string_view fallback, TextForm form) {
    if (std::optional<std::string> text = object_text(object, form)) return *std::move(text);
    PyErr_Clear();
    return std::string(fallback);
}

std::string type_qualname_or(PyTypeObject* type, std::string_view fallback) {
    const Ref qualname = Ref::steal(PyType_GetQualName(type));
    return object_text_or(qualname.get(), fallback);
}

Ref str_from_utf8(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace nonagame::py
