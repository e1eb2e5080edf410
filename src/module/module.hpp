#pragma once
// An extension module of this project, made from its registry: the classes
// and kernel functions it exports, in registration order (also the order of
// __all__). Every module shares this code: the execution steps (refusal of
// subinterpreters, the exit gate, then the registration of every class and
// function), the method table and the definition handed to the interpreter.
// A module is its registry (a list of names, each standing for a definition
// beside its kernel: `<name>_class`, a ClassSlot, or `<name>_kernel`, a
// KernelDeclaration), a ModuleContents and its PyInit function.
#include <array>
#include <span>
#include <string>
#include <vector>

#include "module/call_frame.hpp"
#include "module/class_registry.hpp"
#include "module/kernel_declaration.hpp"
#include "module/lifecycle.hpp"
#include "module/python.hpp"

namespace ostrel::py {

using KernelEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

struct KernelRegistration {
    const KernelDeclaration* kernel;
    KernelEntry entry;
};

struct ModuleContents {
    const char* name;
    const char* doc;
    std::span<ClassSlot* const> classes;
    std::span<const KernelRegistration> kernels;
};

// The registry's entries as arrays, for a ModuleContents: each takes a list
// macro such as OSTREL_EXPORTED_KERNELS (either list may be empty).
#define OSTREL_COUNT_ENTRY(name) +1
#define OSTREL_CLASS_ENTRY(name) &name##_class,
#define OSTREL_KERNEL_ENTRY(name) \
    ::ostrel::py::KernelRegistration{&name##_kernel, &::ostrel::py::kernel_entry<name##_kernel>},
#define OSTREL_REGISTERED_CLASSES(list) \
    std::array<::ostrel::py::ClassSlot*, 0 list(OSTREL_COUNT_ENTRY)> { list(OSTREL_CLASS_ENTRY) }
#define OSTREL_REGISTERED_KERNELS(list) \
    std::array<::ostrel::py::KernelRegistration, 0 list(OSTREL_COUNT_ENTRY)> { list(OSTREL_KERNEL_ENTRY) }

// The method table entries of a module's kernels and their docstrings, made
// once per process and never changed or freed: the function objects of every
// import of the module point into them.
class MethodTable {
public:
    explicit MethodTable(std::span<const KernelRegistration> kernels);
    MethodTable(const MethodTable&) = delete;
    MethodTable& operator=(const MethodTable&) = delete;

    std::span<PyMethodDef> methods() noexcept { return methods_; }

private:
    std::vector<std::string> docs_;
    std::vector<PyMethodDef> methods_;
};

// Registers every class, then every function of `methods`, on the module and
// in its __all__. Returns -1 with the exception set; may throw, so it runs
// inside guarded().
int add_contents(PyObject* module, std::span<ClassSlot* const> classes, std::span<PyMethodDef> methods);

// The definition of the module of `Contents`; PyInit_<name> returns init().
template <const ModuleContents& Contents>
class ExtensionModule {
public:
    static PyObject* init() noexcept { return PyModuleDef_Init(&definition); }

private:
    static int exec(PyObject* module) noexcept {
        return guarded([&]() -> int {
            static MethodTable table(Contents.kernels);
            return add_contents(module, Contents.classes, table.methods());
        });
    }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
        {Py_mod_exec, reinterpret_cast<void*>(refuse_subinterpreters)},
        {Py_mod_exec, reinterpret_cast<void*>(install_exit_gate)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };

    static inline PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, Contents.name, Contents.doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
};

}  // namespace ostrel::py
