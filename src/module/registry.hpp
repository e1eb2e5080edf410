#pragma once
// Everything the module exports, in registration order, which is also the
// order of __all__: the classes, then the kernel functions. Each name stands
// for a definition beside its kernel: `<name>_class` (a ClassSlot) or
// `<name>_kernel` (a KernelDeclaration). A new kernel is its folder plus its
// line here.
#include "module/class_registry.hpp"
#include "module/kernel_declaration.hpp"

#define OSTREL_EXPORTED_CLASSES(X) \
    X(luminance_standard)          \
    X(color_filter)                \
    X(zone_params)                 \
    X(guided_filter_params)

#define OSTREL_EXPORTED_KERNELS(X) \
    X(luminance_bw)                \
    X(channel_mixer_bw)            \
    X(color_filter_bw)             \
    X(zone_system)                 \
    X(local_contrast)              \
    X(encode_srgb)

namespace ostrel::py {

#define OSTREL_DECLARE_CLASS(name) extern ClassSlot name##_class;
#define OSTREL_DECLARE_KERNEL(name) extern const KernelDeclaration name##_kernel;
OSTREL_EXPORTED_CLASSES(OSTREL_DECLARE_CLASS)
OSTREL_EXPORTED_KERNELS(OSTREL_DECLARE_KERNEL)
#undef OSTREL_DECLARE_CLASS
#undef OSTREL_DECLARE_KERNEL

}  // namespace ostrel::py
