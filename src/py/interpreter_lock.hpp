#pragma once
// Giving up the Python interpreter lock around blocking work, safely also
// while the interpreter shuts down.
//
// When the interpreter finalizes, CPython ends every other thread that tries
// to take the lock back by calling pthread_exit from inside the attempt. That
// exit unwinds the thread's stack by force, and the first noexcept frame it
// meets (a destructor such as the one that takes the lock back) aborts the
// process: "terminate called without an active exception", and unflushed
// output is lost. A thread that comes back from blocking work while the
// interpreter finalizes is therefore parked for good instead: it never
// returns to Python, holds no lock of ours, and the process exit ends it.
//
// Every place that releases the interpreter lock uses ReleasedInterpreter
// (or without_interpreter_lock), never the binding library's own guard.

#include <csignal>

#include <cxxabi.h>
#include <pthread.h>
#include <unistd.h>

#include <Python.h>

namespace oculane::py {

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Never returns. Signals go to other threads from here on.
[[noreturn]] inline void park_thread_for_exit() {
    sigset_t all;
    sigfillset(&all);
    (void)pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) ::pause();
}

// Takes the interpreter lock back, or parks the thread when the interpreter
// finalizes. Not noexcept and not inlined: the forced unwind that CPython
// starts inside PyEval_RestoreThread (when finalization began while this
// thread waited for the lock) must meet this handler before any noexcept
// frame.
[[gnu::noinline]] inline void take_interpreter_back(PyThreadState* state) {
    if (interpreter_finalizing()) park_thread_for_exit();
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        // Leaving this handler would resume the unwind (or abort); staying
        // in it is the parking.
        park_thread_for_exit();
    }
}

// Releases the interpreter lock for its scope (the calling thread must hold
// it) and takes it back at the end, parking instead during finalization.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreter() { take_interpreter_back(state_); }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

private:
    PyThreadState* state_;
};

// Runs `body` with the interpreter lock released when this thread holds it
// (a destructor called from garbage collection does; one called while the
// interpreter shuts down keeps it, as nothing else can run then anyway).
template <class F>
void without_interpreter_lock(F&& body) {
    if (PyGILState_Check() && !interpreter_finalizing()) {
        ReleasedInterpreter released;
        body();
    } else {
        body();
    }
}

}  // namespace oculane::py
