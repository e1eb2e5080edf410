#pragma once
// The one declaration of a kernel function: its name, its parameters in order
// (and which may be omitted), its docstring and its body. The module's method
// table, the text signature at the head of the docstring, the argument
// matching and the parameter names in conversion errors all follow from it.
// Each kernel defines its declaration beside its Python face
// (`<name>_kernel`) and names it once in its module's registry
// (module/registry.hpp for ostrel_core, darkroom/registry.hpp for
// ostrel._darkroom).
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "core/image.hpp"
#include "module/arguments.hpp"
#include "module/python.hpp"

namespace ostrel::py {

// The arguments of one call after matching: the image (always the first
// parameter, `img`) converted, the others as given.
class KernelArguments {
public:
    KernelArguments(std::span<const Parameter> parameters, std::span<PyObject* const> slots,
                    const ImageView& image) noexcept
        : parameters_(parameters), slots_(slots), image_(image) {}

    const ImageView& image() const noexcept { return image_; }
    // The argument bound to parameter i (borrowed), or null when it was omitted.
    PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }
    std::string_view name(std::size_t i) const noexcept { return parameters_[i].name; }

private:
    std::span<const Parameter> parameters_;
    std::span<PyObject* const> slots_;
    const ImageView& image_;
};

struct KernelDeclaration {
    const char* name;
    std::span<const Parameter> parameters;  // the first is `img`
    const char* doc;                        // the docstring after its signature line
    // Converts the arguments after the image and runs the kernel through
    // run_kernel; returns the new array, or null with the exception set.
    PyObject* (*body)(const KernelArguments& arguments);
};

// Parameters a kernel may have at most (the slots of a call live on the stack).
inline constexpr std::size_t kMaxKernelParameters = 12;

// Matches the arguments against the declaration, converts the image, then
// runs the body; no C++ exception leaves it.
PyObject* call_kernel(const KernelDeclaration& kernel, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;

// The METH_FASTCALL | METH_KEYWORDS entry point of one declaration.
template <const KernelDeclaration& Kernel>
PyObject* kernel_entry(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_kernel(Kernel, args, nargs, kwnames);
}

// "name(img, standard=...)\n--\n\n" followed by the docstring: the form from
// which the interpreter takes __text_signature__ (a parameter's default text
// in place of "..." where it has one).
std::string kernel_docstring(const KernelDeclaration& kernel);

// A method table entry for `entry`; `doc` must live as long as the entry.
PyMethodDef kernel_method(const KernelDeclaration& kernel,
                          PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept,
                          const char* doc) noexcept;

}  // namespace ostrel::py
