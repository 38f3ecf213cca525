#include "integer_view.hpp"

#include <bit>
#include <cstring>
#include <utility>

#include "errors.hpp"

namespace nonagame::py {

IntegerView::IntegerView(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) {
        // NumPy has no format string for some element types (datetimes): take the shape
        // alone, so that such elements count as non-integers like any other non-integer type.
        PendingError().discard();
        if (PyObject_GetBuffer(object, &view_, PyBUF_STRIDES) < 0) throw ErrorSet{};
        return;
    }
    const char* format = view_.format != nullptr ? view_.format : "B";
    char order = '@';
    if (std::strchr("@=<>!", format[0]) != nullptr) order = *format++;
    if (format[0] != '\0' && format[1] == '\0' && std::strchr("bBhHiIlLqQnN?", format[0]) != nullptr) {
        code_ = format[0];
    }
    const bool little = std::endian::native == std::endian::little;
    swap_ = (order == '<' && !little) || ((order == '>' || order == '!') && little);
}

IntegerView::~IntegerView() { PyBuffer_Release(&view_); }

Py_ssize_t IntegerView::total() const {
    if (view_.ndim == 0) return 1;
    Py_ssize_t count = 1;
    for (int d = 0; d < view_.ndim; ++d) count *= view_.shape[d];
    return count;
}

std::optional<Py_ssize_t> IntegerView::length() const {
    if (view_.ndim != 1) return std::nullopt;
    return view_.shape[0];
}

std::optional<std::int64_t> IntegerView::at(Py_ssize_t i) const {
    if (code_ == 0 || i < 0 || i >= total()) return std::nullopt;
    // Offset of element i in C order over the buffer's own shape and strides.
    const char* p = static_cast<const char*>(view_.buf);
    Py_ssize_t rest = i;
    for (int d = view_.ndim - 1; d >= 0; --d) {
        const Py_ssize_t extent = view_.shape[d];
        const Py_ssize_t stride = view_.strides != nullptr ? view_.strides[d] : view_.itemsize;
        p += (rest % extent) * stride;
        rest /= extent;
    }
    unsigned char bytes[8] = {};
    const auto size = static_cast<std::size_t>(view_.itemsize);
    if (size == 0 || size > sizeof bytes) return std::nullopt;
    std::memcpy(bytes, p, size);
    if (swap_) {
        for (std::size_t k = 0; k < size / 2; ++k) std::swap(bytes[k], bytes[size - 1 - k]);
    }
    const bool is_signed = std::strchr("bhilqn", code_) != nullptr;
    std::uint64_t raw = 0;
    std::memcpy(&raw, bytes, sizeof raw);  // little-endian hosts only read the low bytes
    if constexpr (std::endian::native == std::endian::big) raw >>= 8 * (8 - size);
    if (size < 8 && is_signed && ((raw >> (8 * size - 1)) & 1)) raw |= ~std::uint64_t{0} << (8 * size);
    return static_cast<std::int64_t>(raw);
}

}  // namespace nonagame::py
