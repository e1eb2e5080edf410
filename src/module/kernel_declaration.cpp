#include "module/kernel_declaration.hpp"

#include <array>
#include <string>

#include "core/fault.hpp"
#include "module/call_frame.hpp"
#include "module/image_argument.hpp"

namespace ostrel::py {

PyObject* call_kernel(const KernelDeclaration& kernel, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, kMaxKernelParameters> storage{};
        if (kernel.parameters.size() > storage.size()) {
            raise_internal_fault(std::string(kernel.name) + " declares more parameters than a call can hold");
        }
        const std::span<PyObject*> slots(storage.data(), kernel.parameters.size());
        // Every kernel's first two checks, in this order: the matching of
        // all arguments, then the image.
        if (!match_fastcall(Signature{kernel.name, kernel.parameters}, args, nargs, kwnames, slots)) return nullptr;
        ImageArgument img;
        if (!img.convert(slots[0])) return nullptr;
        return kernel.body(KernelArguments(kernel.parameters, slots, img.view()));
    });
}

std::string kernel_docstring(const KernelDeclaration& kernel) {
    std::string text(kernel.name);
    text += '(';
    for (std::size_t i = 0; i < kernel.parameters.size(); ++i) {
        if (i > 0) text += ", ";
        text += kernel.parameters[i].name;
        if (!kernel.parameters[i].optional) continue;
        text += '=';
        text += kernel.parameters[i].default_text.empty() ? "..." : kernel.parameters[i].default_text;
    }
    text += ")\n--\n\n";
    text += kernel.doc;
    return text;
}

PyMethodDef kernel_method(const KernelDeclaration& kernel,
                          PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept,
                          const char* doc) noexcept {
    // The interpreter calls the entry through PyCFunction and the flags tell
    // it the real signature; the detour through void(*)() keeps the cast
    // between function pointer types well defined for the compiler.
    return {kernel.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

}  // namespace ostrel::py
