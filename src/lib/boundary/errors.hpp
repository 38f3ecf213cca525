// How the boundary works: failures become Python exceptions, and records are lent out
// under borrows. (The README's "How the boundary works" says the same for a new reader.)
//
// Every entry point (method, slot, module function, capsule function) runs its body inside
// `entry`, so nothing thrown in C++ ever unwinds into the interpreter. A failure leaves by
// one of three channels:
//   - A refused move is an answer, not a failure: the engine returns it in MoveOutcome and
//     the entry point raises ValueError with its text. Wrong arguments (TypeError,
//     OverflowError) and borrow conflicts (RuntimeError) are raised the same way, through
//     raise(), which sets the error and throws ErrorSet.
//   - An internal fault (the engine's or the boundary's own `throw Fault(text)`) means the
//     native code cannot go on; `entry` turns it into PanicException(text), a
//     BaseException. Its texts are in fault_texts.hpp. std::bad_alloc becomes MemoryError,
//     with the text of an OutOfMemory (say what could not be had) or none.
//   - A Python error already set by a failed C API call is passed on as it is: throw
//     ErrorSet{} (Ref::checked does) and `entry` returns NULL. To look at a pending error
//     or set it aside while other calls run, take it into a PendingError.
//
// Borrows (borrow.hpp) guard each object's record against use by other Python code while
// native code works on it. The rule: copy what is needed under the borrow, and give the
// borrow back before anything can run Python code, because Python code may use the same
// object again (re-entrance) and lets other threads run, which would find it borrowed.
// While a borrow is held, call only the engine and C API calls that make no object of a
// type with garbage collection. These may run Python code:
//   - calls into Python objects: calling, attribute lookup, str()/repr() (object_text),
//     __index__ (converting arguments), buffers of objects other than NumPy arrays;
//   - making an object of a collected type (list, tuple, dict, exception instance, a
//     Python subclass of Player): on Python 3.11 the allocation may start a garbage
//     collection, which runs finalizers (__del__) and weakref callbacks;
//   - setting an error: PyErr_SetObject makes the exception object at once on Python
//     3.12 and later, and on 3.11 while another exception is being handled;
//   - dropping the last reference to an object (its finalizer runs);
//   - imports: the first NumPy array creation locates NumPy (new_int8_array);
//   - printing: PyErr_Print / PyErr_Display (sys.excepthook), PyErr_WriteUnraisable,
//     write_stdout (sys.stdout); and PyErr_CheckSignals (signal handlers).
// Engine calls, copies of records, ints, floats and str objects, and our own non-subclassed
// instances run none. Converting arguments is the one deliberate exception: it runs under
// the borrow, so that an __index__ method that uses the same object finds it busy.
// A borrow conflict is RuntimeError("Already borrowed" / "Already mutably borrowed") for a
// call from Python, or a fault where the native code itself expected the object free.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "fault.hpp"
#include "fault_texts.hpp"
#include "pyref.hpp"

namespace nonagame::py {

// std::bad_alloc carrying the text of the MemoryError it becomes: what could not be had.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

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
    } catch (const OutOfMemory& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
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
