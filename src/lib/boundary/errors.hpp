// Turning failures into Python exceptions at every entry point. Nothing thrown in C++
// ever unwinds into the interpreter: `entry` catches everything.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "fault.hpp"
#include "fault_texts.hpp"
#include "pyref.hpp"

namespace nonagame::py {

// The PanicException type, created on first use (NULL with an error set if that fails).
PyObject* panic_type();

// Makes type the PanicException of this module: a module that shares the class made by
// another module of the process calls this once at initialisation (keeps a reference).
void adopt_panic_type(PyObject* type);

// Sets PanicException(text) as the current Python error.
void set_panic(std::string_view text);

// Sets an exception of the given type with a UTF-8 message and throws ErrorSet.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Prints the pending Python error to standard error and raises the internal fault
// "Python API call failed": an object the module must return could not be made.
[[noreturn]] void api_call_failed();

// The internal fault of a snapshot array that no longer has a snapshot's shape or type.
[[noreturn]] void unwrap_none();

// "TypeName: value" of the current Python error, which it clears; used inside fault texts.
std::string describe_current_error();

// The Python error pending when it is made, taken out of the interpreter, normalised and
// owned, with its traceback attached to the value as an except clause would attach it.
// Empty when no error was pending. The destructor discards what restore() did not hand
// back, so that an error is dropped on purpose (discard) or set again (restore), never by
// accident left pending while other C API calls run.
class PendingError {
public:
    PendingError() noexcept;
    PendingError(PendingError&&) noexcept = default;
    PendingError& operator=(PendingError&&) noexcept = default;
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() = default;

    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    PyObject* type() const noexcept { return type_.get(); }
    PyObject* value() const noexcept { return value_.get(); }
    PyObject* traceback() const noexcept { return traceback_.get(); }
    // Whether the error is an instance of exception_type (a class or a tuple of classes).
    bool matches(PyObject* exception_type) const noexcept;

    // Sets the error as the current one again; this object is empty afterwards.
    void restore() noexcept;
    // Drops the error; this object is empty afterwards.
    void discard() noexcept;

private:
    Ref type_, value_, traceback_;
};

// Runs an entry point's body and converts whatever it throws into a Python exception.
template <class Body>
PyObject* entry(Body&& body) noexcept {
    try {
        return body();
    } catch (const ErrorSet&) {
        return nullptr;
    } catch (const Fault& fault) {
        set_panic(fault.text());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic(kNoMessage);
    }
    return nullptr;
}

}  // namespace nonagame::py
