// Python face of tone_print: the toner's values are converted and checked
// while the lock is held, then the kernel runs without it.
#include <string>

#include "darkroom/registry.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/image_argument.hpp"
#include "toning/toning.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kParameters[] = {
    {"img"},
    {"shadow_red", kOptional, "1.0"},
    {"shadow_green", kOptional, "1.0"},
    {"shadow_blue", kOptional, "1.0"},
    {"highlight_red", kOptional, "1.0"},
    {"highlight_green", kOptional, "1.0"},
    {"highlight_blue", kOptional, "1.0"},
    {"blend", kOptional, "1.0"},
    {"strength", kOptional, "0.0"},
};

bool float_argument(const KernelArguments& args, std::size_t i, float& out) {
    return args[i] == nullptr || to_float32(args[i], args.name(i), out);
}

template <bool Encoded>
PyObject* tone_print_body(const KernelArguments& args) {
    Toner toner;
    float* slots[] = {&toner.shadow[0],    &toner.shadow[1],    &toner.shadow[2], &toner.highlight[0],
                      &toner.highlight[1], &toner.highlight[2], &toner.blend,     &toner.strength};
    for (std::size_t i = 0; i < 8; ++i) {
        if (!float_argument(args, i + 1, *slots[i])) return nullptr;
    }
    const std::string problem = toner_problem(toner);
    if (!problem.empty()) {
        PyErr_Format(PyExc_ValueError, "%s: %s", Encoded ? "tone_print_encode" : "tone_print", problem.c_str());
        return nullptr;
    }
    if constexpr (Encoded) {
        return run_kernel([&] { return tone_print_encode(args.image(), toner); });
    } else {
        return run_kernel([&] { return tone_print(args.image(), toner); });
    }
}

constexpr const char kDoc[] =
    "Tone a grey print: one channel of print tone to linear RGB of the same luminance.\n"
    "\n"
    "The tint of a tone q = clip(img, 0, 1) runs from the shadow colour to the\n"
    "highlight colour by h = q / (q + blend * (1 - q)); each colour has BT.709\n"
    "luminance 1. The pixel becomes ``img * (1 + a * (tint - 1))`` with\n"
    "``a = strength``, less where the tint would push a channel past 1 (so\n"
    "paper white stays white). Strength 0 gives R = G = B = img exactly. All\n"
    "arithmetic is float32, in a fixed order.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, C-contiguous: display-linear\n"
    "    print tone.\n"
    "shadow_red, shadow_green, shadow_blue : float\n"
    "    The tint of the blacks, linear RGB, finite and not negative.\n"
    "highlight_red, highlight_green, highlight_blue : float\n"
    "    The tint of paper white, likewise.\n"
    "blend : float\n"
    "    Positive: the tone ``blend / (1 + blend)`` takes the two tints half each.\n"
    "strength : float\n"
    "    0..1.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 3)``, dtype ``float32``, linear RGB.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If a colour component is negative or not finite, blend is not\n"
    "    positive, strength is outside 0..1, or ``img`` is not ``(H, W, 1)``.";

constexpr const char kEncodeDoc[] =
    "Tone a grey print and encode it: ``encode_srgb(tone_print(img, ...))``.\n"
    "\n"
    "The same toning, ending in the sRGB encoding in one pass: the bits of\n"
    "``ostrel_core.encode_srgb`` of ``tone_print``'s result.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, C-contiguous: display-linear\n"
    "    print tone.\n"
    "shadow_red, ..., strength : float\n"
    "    As ``tone_print``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 3)``, dtype ``float32``, sRGB-encoded.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    As ``tone_print``.";

}  // namespace

const KernelDeclaration tone_print_kernel{"tone_print", kParameters, kDoc, tone_print_body<false>};
const KernelDeclaration tone_print_encode_kernel{"tone_print_encode", kParameters, kEncodeDoc, tone_print_body<true>};

}  // namespace ostrel::py
