#pragma once
// The module's place in the interpreter's life: it loads only in the main
// interpreter, and no thread of it touches the interpreter once that has
// begun to exit.
#include "module/python.hpp"

namespace ostrel::py {

// Takes the interpreter lock back after a section that ran without it.
//
// While the interpreter finalises, CPython 3.12 and 3.13 end any other thread
// that asks for the lock with pthread_exit(), a forced unwind; through our
// noexcept frames that unwind is std::terminate() and the whole process
// aborts. So once the interpreter has begun to exit, a thread other than the
// exiting one never asks: it stays parked here, touching nothing, until the
// process ends.
void reacquire_interpreter(PyThreadState* state) noexcept;

// Where a forced unwind that reached an entry point ends: the interpreter
// ends a thread that asks for the lock while it exits (inside Python code an
// entry point called, e.g. an argument's __index__), and the unwind must not
// go on through the entry point's noexcept frame. The thread stays parked,
// without the lock, until the process ends.
[[noreturn]] void park_thread() noexcept;

// Execution slots of the module, run before the one that registers classes
// and functions.
// Refuses every interpreter but the main one with ImportError: the classes,
// the exception and NumPy's table are process-wide.
int refuse_subinterpreters(PyObject* module) noexcept;
// Registers (once per process) the exit handler that closes the gate above.
int install_exit_gate(PyObject* module) noexcept;

}  // namespace ostrel::py
