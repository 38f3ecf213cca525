// Releasing the interpreter lock around native work that touches no Python object.
#pragma once

#include <Python.h>

namespace nonagame::py {

// Releases the lock for its scope. Within the scope no Python object may be used, except
// inside with_gil, which takes the lock back for the duration of f.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    template <class F>
    auto with_gil(F&& f) {
        struct Reacquire {
            PyThreadState*& state;
            explicit Reacquire(PyThreadState*& s) : state(s) { PyEval_RestoreThread(state); }
            ~Reacquire() { state = PyEval_SaveThread(); }
            Reacquire(const Reacquire&) = delete;
            Reacquire& operator=(const Reacquire&) = delete;
        } reacquire(state_);
        return f();
    }

private:
    PyThreadState* state_;
};

}  // namespace nonagame::py
