#pragma once
// Everything the module `ostrel._darkroom` exports, in registration order,
// which is also the order of __all__: the classes, then the kernel
// functions. Each name stands for a definition beside its kernel:
// `<name>_class` (a ClassSlot) or `<name>_kernel` (a KernelDeclaration). A
// new kernel of the darkroom is its folder plus its line here.
#include "module/class_registry.hpp"
#include "module/kernel_declaration.hpp"

#define OSTREL_DARKROOM_CLASSES(X)

#define OSTREL_DARKROOM_KERNELS(X) \
    X(print_stage)                 \
    X(print_encode)                \
    X(tone_print)                  \
    X(tone_print_encode)           \
    X(vignette)                    \
    X(grain)                       \
    X(grain_encode)                \
    X(bands)                       \
    X(band_offsets)                \
    X(quantize)

namespace ostrel::py {

#define OSTREL_DECLARE_CLASS(name) extern ClassSlot name##_class;
#define OSTREL_DECLARE_KERNEL(name) extern const KernelDeclaration name##_kernel;
OSTREL_DARKROOM_CLASSES(OSTREL_DECLARE_CLASS)
OSTREL_DARKROOM_KERNELS(OSTREL_DECLARE_KERNEL)
#undef OSTREL_DECLARE_CLASS
#undef OSTREL_DECLARE_KERNEL

}  // namespace ostrel::py
