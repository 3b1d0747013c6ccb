// pyframe/api/guards.hpp: recursion guards (RecursionGuard, CallDepth) and
// the handled exception (Handling).
#pragma once

#include "refs.hpp"

namespace pf {

// ---------------------------------------------------------------------------
// Recursion and the handled exception
// ---------------------------------------------------------------------------

// A C++ recursion that does not pass through the interpreter's calls raises
// RecursionError where the interpreter would instead of exhausting the
// stack:
//     RecursionGuard guard(" while merging");
//     TRY(guard.entered());
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    Status entered() const { return entered_ ? ok : Status(failure); }

private:
    bool entered_;
};

// The levels of a walk that C++ code takes in a loop (or in a recursion of
// its own) where the same class written in Python makes one call of a
// Python function per level, counted against the interpreter's recursion
// limit the way it counts those calls: a walk that never ends raises
// RecursionError where the Python code would, and code that runs meanwhile
// sees the depth it would see there. (RecursionGuard measures the C stack,
// which a loop does not grow.)
//     CallDepth depth;
//     for (;;) { TRY(depth.enter()); ... }
// The levels entered are given back when it goes.
//
// The count is PyThreadState.py_recursion_remaining, the interpreter's own
// count of Python calls left, which no public function enters; this is its
// one place of use.
class CallDepth {
public:
    CallDepth() : tstate_(PyThreadState_Get()) {}
    ~CallDepth() { tstate_->py_recursion_remaining += entered_; }
    CallDepth(const CallDepth&) = delete;
    CallDepth& operator=(const CallDepth&) = delete;

    // One level deeper; RecursionError as a call of a Python function raises it
    // at the limit (while an overflow is being handled, with the interpreter's
    // headroom of 50).
    Status enter() {
        TRY(room(1));
        --tstate_->py_recursion_remaining;
        ++entered_;
        return ok;
    }

    // One level up again (the last one entered).
    void leave() {
        if (entered_ == 0) return;
        ++tstate_->py_recursion_remaining;
        --entered_;
    }

    // Whether `levels` more levels fit, entered and left at once (a call
    // that makes calls of its own and returns); RecursionError where
    // entering them would raise it.
    Status room(int levels) const {
        int left = tstate_->py_recursion_remaining - (levels - 1);
        if (left <= 0 && (!tstate_->recursion_headroom || left <= -50))
            return raise(PyExc_RecursionError, "maximum recursion depth exceeded");
        return ok;
    }

private:
    PyThreadState* tstate_;
    int entered_ = 0;
};

// While alive, makes `exc` the exception being handled, as inside an
// `except` block: sys.exception() (and so logging's exception()) reports it
// and exceptions raised meanwhile get it as their __context__. The
// previously handled exception is put back at the end.
class Handling {
public:
    explicit Handling(Handle exc) : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc.ptr());
    }
    ~Handling() { PyErr_SetHandledException(previous_.ptr()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
};

}  // namespace pf
