#pragma once
// Per-thread count of active call boundaries, and the queue of reference releases that arrive
// while the calling thread has given up the interpreter lock.
#include "python/python.h"

namespace rastrel {

// Interpreter lock held. Raises this thread's boundary count and applies queued releases;
// faults if the count was negative. Pair every call with leave_boundary(), even if it faults.
void enter_boundary();
// Interpreter lock held. Lowers the count again.
void leave_boundary() noexcept;

// Drops one reference now if this thread is inside a boundary with the lock held, otherwise
// queues it for the next boundary entry or lock re-acquisition on any thread. Never raises.
void release_reference(PyObject* object) noexcept;

// Applies every queued release. Interpreter lock held.
void drain_deferred_releases() noexcept;

// PyEval_RestoreThread(state), except that a thread that the finalizing interpreter would end
// while it waits for the lock never comes back from here: it blocks for good instead of
// unwinding. Never raises.
void take_lock_back(PyThreadState* state) noexcept;
// PyGILState_Ensure(), blocking for good in the same case.
PyGILState_STATE ensure_lock() noexcept;

// Gives up the interpreter lock for the lifetime of the guard, with the boundary count at 0 so
// that nothing in between touches reference counts. The destructor takes the lock back on the
// same thread, restores the count and applies queued releases; it runs on every exit path,
// faults included.
class AllowThreads {
public:
    AllowThreads() noexcept;
    ~AllowThreads();
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    long saved_depth_;
    PyThreadState* state_;
};

// Holds the interpreter lock for the guard's lifetime, on a thread that may or may not hold it
// already; the lock is given back on every exit path, exceptions included.
class InterpreterLock {
public:
    InterpreterLock() noexcept : state_(ensure_lock()) {}
    ~InterpreterLock() { PyGILState_Release(state_); }
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace rastrel
