#include "module/lifecycle.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "module/py_ref.hpp"

namespace ostrel::py {
namespace {

// The exit gate. Python's exit handlers (the atexit module) run on the
// exiting thread before finalisation starts, and no Python code runs between
// the last of them and the point from which other threads are ended when
// they ask for the lock. Our handler closes the gate: from then on other
// threads park instead of asking. Threads that already passed the gate are
// let through first: the handler waits, without the lock, until each has
// its lock back. `entering` and `closed` form a Dekker pair (each side
// writes its own flag, then reads the other's, all sequentially consistent),
// so every thread either sees the gate closed or is seen and waited for.
std::atomic<bool> closed{false};
std::atomic<long> entering{0};
pthread_t exiting_thread;              // written before `closed` is set, read after it is seen
bool exit_handler_registered = false;  // under the interpreter lock

void close_gate() noexcept {
    exiting_thread = pthread_self();
    closed.store(true);
    if (entering.load() == 0) return;
    PyThreadState* state = PyEval_SaveThread();
    while (entering.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    PyEval_RestoreThread(state);
}

PyObject* exit_handler(PyObject*, PyObject*) noexcept {
    close_gate();
    Py_RETURN_NONE;
}

PyMethodDef exit_handler_method = {"_ostrel_core_exit_gate", exit_handler, METH_NOARGS,
                                   "Parks threads that come back from a kernel once the interpreter exits."};

// A forked child has only the forking thread, which holds the lock: nobody
// is on the way in, and the child's interpreter is not exiting.
void reset_gate_in_child() noexcept {
    entering.store(0);
    closed.store(false);
}

}  // namespace

void park_thread() noexcept {
    // Leave signals to the threads that can still handle them.
    sigset_t all_signals;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_BLOCK, &all_signals, nullptr);
    for (;;) pause();
}

void reacquire_interpreter(PyThreadState* state) noexcept {
    entering.fetch_add(1);
    if (closed.load() && !pthread_equal(pthread_self(), exiting_thread)) {
        entering.fetch_sub(1);
        park_thread();
    }
    PyEval_RestoreThread(state);
    entering.fetch_sub(1);
}

int refuse_subinterpreters(PyObject*) noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (interpreter == nullptr) return -1;
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1 && PyErr_Occurred()) return -1;
    if (id != 0) {
        PyErr_SetString(PyExc_ImportError, "module ostrel_core does not support loading in subinterpreters");
        return -1;
    }
    return 0;
}

int install_exit_gate(PyObject*) noexcept {
    if (exit_handler_registered) return 0;
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, reset_gate_in_child) == 0;
    if (!fork_handler) {
        PyErr_SetString(PyExc_ImportError, "ostrel_core: cannot register its fork handler");
        return -1;
    }
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return -1;
    Ref handler = Ref::steal(PyCFunction_New(&exit_handler_method, nullptr));
    if (!handler) return -1;
    Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", handler.get()));
    if (!registered) return -1;
    exit_handler_registered = true;
    return 0;
}

}  // namespace ostrel::py
