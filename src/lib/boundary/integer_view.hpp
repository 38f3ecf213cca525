// A read-only view of an integer buffer that Python code may have reshaped, resized or
// re-typed: every read honours the buffer's current shape, strides, element size and
// byte order, and reports what it cannot read instead of guessing.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace nonagame::py {

// Holding the view blocks resizing of a NumPy array.
class IntegerView {
public:
    // Throws ErrorSet when the object has no buffer. Elements whose type the buffer cannot
    // describe (NumPy's datetimes) are not integers; the shape is read all the same.
    explicit IntegerView(PyObject* object);
    ~IntegerView();
    IntegerView(const IntegerView&) = delete;
    IntegerView& operator=(const IntegerView&) = delete;

    int ndim() const { return view_.ndim; }
    // Whether the elements are of an integer type that at() can read.
    bool integers() const { return code_ != 0; }
    // Number of elements over all dimensions.
    Py_ssize_t total() const;
    // Number of elements of a one-dimensional buffer; nothing for any other shape.
    std::optional<Py_ssize_t> length() const;
    // Element i in index order over all dimensions (C order); nothing when the element
    // type is not an integer type or i is out of range.
    std::optional<std::int64_t> at(Py_ssize_t i) const;

private:
    Py_buffer view_{};
    char code_ = 0;        // struct-module type code of the elements, 0 if unsupported
    bool swap_ = false;    // elements are stored in the other byte order
};

}  // namespace nonagame::py
