// Turning failures into Python exceptions at every entry point. Nothing thrown in C++
// ever unwinds into the interpreter: `entry` catches everything.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "fault.hpp"
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
        set_panic("the native code failed without a message");
    }
    return nullptr;
}

}  // namespace nonagame::py
