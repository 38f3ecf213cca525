#include "cell_array.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "convert.hpp"
#include "errors.hpp"
#include "lab_globals.hpp"

namespace nonagame::py {

namespace {

template <class T>
void copy_clamped(const char* p, Py_ssize_t stride, Py_ssize_t n, std::int16_t* out) {
    for (Py_ssize_t i = 0; i < n; ++i, p += stride) {
        T value;
        std::memcpy(&value, p, sizeof value);
        constexpr auto low = std::numeric_limits<std::int16_t>::min();
        constexpr auto high = std::numeric_limits<std::int16_t>::max();
        if constexpr (std::is_signed_v<T>) {
            out[i] = value < low || value > high ? low : static_cast<std::int16_t>(value);
        } else {
            out[i] = value > static_cast<std::make_unsigned_t<std::int16_t>>(high)
                         ? low
                         : static_cast<std::int16_t>(value);
        }
    }
}

class Buffer {
public:
    explicit Buffer(PyObject* object) : ok_(PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) {}
    ~Buffer() {
        if (ok_) PyBuffer_Release(&view_);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    bool ok() const { return ok_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool ok_ = false;
};

std::string shape_text(const Py_buffer& view) {
    std::string text = "(";
    for (int d = 0; d < view.ndim; ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(view.shape[d]);
    }
    return text + (view.ndim == 1 ? ",)" : ")");
}

}  // namespace

Ref as_buffer_object(PyObject* object, const char* name) {
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
        (!PyObject_CheckBuffer(object) && !PySequence_Check(object))) {
        fail_expected(object, name, "an array-like of ints");
    }
    if (PyObject_CheckBuffer(object)) return Ref::borrow(object);
    if (g_lab.asarray == nullptr) {
        Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
        Ref function = Ref::checked(PyObject_GetAttrString(numpy.get(), "asarray"));
        if (g_lab.asarray == nullptr) g_lab.asarray = function.release();
    }
    return Ref::checked(PyObject_CallOneArg(g_lab.asarray, object));
}

std::string read_integers(PyObject* buffer_object, Py_ssize_t n, const char* name, std::int16_t* out) {
    const std::string prefix = std::string("argument '") + name + "': ";
    Buffer buffer(buffer_object);
    if (!buffer.ok()) {
        PyErr_Clear();
        return prefix + "expected an integer array (its elements have no buffer format)";
    }
    const Py_buffer& view = buffer.view();
    if (view.ndim != 1 || view.shape[0] != n) {
        return prefix + "expected shape (" + std::to_string(n) + ",), got shape " + shape_text(view);
    }
    // No element to read: an empty list (which NumPy makes float64) will do as well.
    if (n == 0) return {};
    const char* format = view.format != nullptr ? view.format : "B";
    constexpr bool little = std::endian::native == std::endian::little;
    if (format[0] == '@' || format[0] == '=' || (little && format[0] == '<')) ++format;
    const char code = format[0] != '\0' && format[1] == '\0' ? format[0] : '\0';
    const char* p = static_cast<const char*>(view.buf);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const auto size = view.itemsize;
    switch (code) {
        case 'b': copy_clamped<std::int8_t>(p, stride, n, out); return {};
        case 'B': copy_clamped<std::uint8_t>(p, stride, n, out); return {};
        case 'h': copy_clamped<std::int16_t>(p, stride, n, out); return {};
        case 'H': copy_clamped<std::uint16_t>(p, stride, n, out); return {};
        case 'i': copy_clamped<std::int32_t>(p, stride, n, out); return {};
        case 'I': copy_clamped<std::uint32_t>(p, stride, n, out); return {};
        case 'l': case 'q': case 'n':
            if (size == 8) { copy_clamped<std::int64_t>(p, stride, n, out); return {}; }
            if (size == 4) { copy_clamped<std::int32_t>(p, stride, n, out); return {}; }
            break;
        case 'L': case 'Q': case 'N':
            if (size == 8) { copy_clamped<std::uint64_t>(p, stride, n, out); return {}; }
            if (size == 4) { copy_clamped<std::uint32_t>(p, stride, n, out); return {}; }
            break;
        default: break;
    }
    return prefix + "expected an integer array in native byte order, got elements of format '" +
           (view.format != nullptr ? view.format : "B") + "'";
}

}  // namespace nonagame::py
