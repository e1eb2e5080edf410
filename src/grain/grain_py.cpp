// Python face of grain and grain_encode: the film's parameters and the
// placement are converted and checked while the lock is held, then the kernel
// runs without it.
#include <cstdint>
#include <string>

#include "darkroom/registry.hpp"
#include "grain/grain.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/image_argument.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kParameters[] = {
    {"img"},
    {"strength", kOptional, "0.0"},
    {"granularity", kOptional, "12.0"},
    {"pitch_um", kOptional, "10.0"},
    {"seed", kOptional, "0"},
    {"top", kOptional, "0"},
    {"left", kOptional, "0"},
    {"full_height", kOptional, "0"},
    {"full_width", kOptional, "0"},
};

bool float_argument(const KernelArguments& args, std::size_t i, float& out) {
    return args[i] == nullptr || to_float32(args[i], args.name(i), out);
}

bool uint_argument(const KernelArguments& args, std::size_t i, std::uint32_t& out) {
    return args[i] == nullptr || to_uint32(args[i], args.name(i), out);
}

bool size_argument(const KernelArguments& args, std::size_t i, std::size_t& out) {
    std::uint32_t value = 0;
    if (args[i] == nullptr) return true;
    if (!to_uint32(args[i], args.name(i), value)) return false;
    out = value;
    return true;
}

template <bool Encoded>
PyObject* grain_body(const KernelArguments& args) {
    Grain g;
    Placement placement;
    if (!float_argument(args, 1, g.strength) || !float_argument(args, 2, g.granularity) ||
        !float_argument(args, 3, g.pitch_um) || !uint_argument(args, 4, g.seed) ||
        !size_argument(args, 5, placement.top) || !size_argument(args, 6, placement.left) ||
        !size_argument(args, 7, placement.full_height) || !size_argument(args, 8, placement.full_width)) {
        return nullptr;
    }
    const std::string problem = grain_problem(g);
    if (!problem.empty()) {
        PyErr_Format(PyExc_ValueError, "%s: %s", Encoded ? "grain_encode" : "grain", problem.c_str());
        return nullptr;
    }
    if constexpr (Encoded) {
        return run_kernel([&] { return grain_encode(args.image(), g, placement); });
    } else {
        return run_kernel([&] { return grain(args.image(), g, placement); });
    }
}

#define OSTREL_GRAIN_DOC_PARAMETERS                                                         \
    "Parameters\n"                                                                          \
    "----------\n"                                                                          \
    "img : numpy.ndarray\n"                                                                 \
    "    Shape ``(H, W, 1)``, dtype ``float32``, C-contiguous: the display-linear print.\n" \
    "strength : float\n"                                                                    \
    "    0..16: times the film's granularity (0: no grain).\n"                              \
    "granularity : float\n"                                                                 \
    "    0..100: the film's diffuse RMS granularity (Kodak's figure, 48 um aperture).\n"    \
    "pitch_um : float\n"                                                                    \
    "    0.01..100000: micrometres of film per pixel.\n"                                    \
    "seed : int\n"                                                                          \
    "    0..2^32-1: which grain; the same seed gives the same bits.\n"                      \
    "top, left : int\n"                                                                     \
    "    The block's first row and column in the whole image.\n"                            \
    "full_height, full_width : int\n"                                                       \
    "    The whole image's size; 0 (the default) means the block's own.\n"                  \
    "\n"                                                                                    \
    "Returns\n"                                                                             \
    "-------\n"                                                                             \
    "numpy.ndarray\n"                                                                       \
    "    Shape ``(H, W, 1)``, dtype ``float32``.\n"                                         \
    "\n"                                                                                    \
    "Raises\n"                                                                              \
    "------\n"                                                                              \
    "ValueError\n"                                                                          \
    "    If a parameter is outside its range, ``img`` is not ``(H, W, 1)``, or\n"           \
    "    the block does not fit the whole image."

constexpr const char kGrainDoc[] =
    "Film grain on a display-linear print, kept display-linear (for toning).\n"
    "\n"
    "Gaussian-blurred white density noise of Selwyn's law at this pitch,\n"
    "amplitude sqrt(v (1 - v)) of the print's sRGB value v, none at paper\n"
    "white and black; the change of v carried back to the linear print by the\n"
    "slope of the decoding. The noise is a function of the seed and a pixel's\n"
    "absolute coordinates: a block at ``top``, ``left`` of a ``full_height`` x\n"
    "``full_width`` image gets the whole image's bits there. All arithmetic is\n"
    "float32 in a fixed order.\n"
    "\n" OSTREL_GRAIN_DOC_PARAMETERS;

constexpr const char kGrainEncodeDoc[] =
    "Film grain on a display-linear print, ending in the sRGB encoding.\n"
    "\n"
    "As ``grain``, but the result is the print's sRGB value v plus the grain:\n"
    "where there is none, the bits of ``encode_srgb`` of the print.\n"
    "\n" OSTREL_GRAIN_DOC_PARAMETERS;

#undef OSTREL_GRAIN_DOC_PARAMETERS

}  // namespace

const KernelDeclaration grain_kernel{"grain", kParameters, kGrainDoc, grain_body<false>};
const KernelDeclaration grain_encode_kernel{"grain_encode", kParameters, kGrainEncodeDoc, grain_body<true>};

}  // namespace ostrel::py
