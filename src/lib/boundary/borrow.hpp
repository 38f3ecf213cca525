// The per-instance borrow state: free, shared by a number of readers, or held by one
// writer. Guards take a borrow for a scope and give it back on every path. A conflict
// raises RuntimeError for calls from Python, or an internal fault where the module
// itself expected the object to be free.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "errors.hpp"
#include "fault_texts.hpp"

namespace nonagame::py {

class BorrowState {
public:
    bool exclusive() const noexcept { return flag_ < 0; }
    bool free() const noexcept { return flag_ == 0; }

private:
    friend class SharedBorrow;
    friend class ExclusiveBorrow;
    Py_ssize_t flag_ = 0;  // 0 free, > 0 number of readers, -1 one writer
};

class SharedBorrow {
public:
    // RuntimeError "Already mutably borrowed" while a writer holds the object.
    explicit SharedBorrow(BorrowState& state) : state_(state) {
        if (state.flag_ < 0) raise(PyExc_RuntimeError, kMutablyBorrowed);
        ++state.flag_;
    }
    // The same conflict as an internal fault with the given text (copied only on a
    // conflict: taking a borrow never allocates).
    SharedBorrow(BorrowState& state, std::string_view fault_text) : state_(state) {
        if (state.flag_ < 0) throw Fault(std::string(fault_text));
        ++state.flag_;
    }
    ~SharedBorrow() { --state_.flag_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowState& state_;
};

class ExclusiveBorrow {
public:
    // RuntimeError "Already borrowed" while anybody holds the object.
    explicit ExclusiveBorrow(BorrowState& state) : state_(state) {
        if (state.flag_ != 0) raise(PyExc_RuntimeError, kAlreadyBorrowed);
        state.flag_ = -1;
    }
    ExclusiveBorrow(BorrowState& state, std::string_view fault_text) : state_(state) {
        if (state.flag_ != 0) throw Fault(std::string(fault_text));
        state.flag_ = -1;
    }
    ~ExclusiveBorrow() { state_.flag_ = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowState& state_;
};

}  // namespace nonagame::py
