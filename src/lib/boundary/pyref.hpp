// Owned references to Python objects.
#pragma once

#include <Python.h>

#include <utility>

namespace nonagame::py {

// Thrown when a Python exception has been set and the entry point must return NULL.
struct ErrorSet {};

// Owns one strong reference. `steal` takes over a new reference, `borrow` takes a new one
// of a borrowed reference; `checked` steals and throws ErrorSet for NULL (the usual result
// of a failed C API call).
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref checked(PyObject* p) {
        if (p == nullptr) throw ErrorSet{};
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace nonagame::py
