// Python face of print_stage: the detailed plane and the curve's parameters
// are converted and checked while the lock is held, then the kernel runs
// without it.
#include <optional>
#include <string>

#include "darkroom/registry.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/image_argument.hpp"
#include "print/print_stage.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kParameters[] = {
    {"img"},
    {"detailed", kOptional, "None"},
    {"black", kOptional, "0.0"},
    {"toe_end", kOptional, "0.0"},
    {"toe_gain", kOptional, "1.0"},
    {"shoulder_start", kOptional, "1.0"},
    {"shoulder_gain", kOptional, "1.0"},
    {"white", kOptional, "1.0"},
    {"room", kOptional, "1.0"},
};

// Converts the argument in slot i, leaving `out` (its default) when omitted.
bool curve_argument(const KernelArguments& args, std::size_t i, float& out) {
    return args[i] == nullptr || to_float32(args[i], args.name(i), out);
}

template <bool Encoded>
PyObject* print_body(const KernelArguments& args) {
    std::optional<ImageArgument> detailed;
    if (args[1] != nullptr && args[1] != Py_None) {
        if (!detailed.emplace().convert(args[1], "detailed")) return nullptr;
    }
    PrintCurve curve;
    if (!curve_argument(args, 2, curve.black) || !curve_argument(args, 3, curve.toe_end) ||
        !curve_argument(args, 4, curve.toe_gain) || !curve_argument(args, 5, curve.shoulder_start) ||
        !curve_argument(args, 6, curve.shoulder_gain) || !curve_argument(args, 7, curve.white) ||
        !curve_argument(args, 8, curve.room)) {
        return nullptr;
    }
    const std::string problem = print_curve_problem(curve);
    if (!problem.empty()) {
        PyErr_Format(PyExc_ValueError, "print_stage: %s", problem.c_str());
        return nullptr;
    }
    if constexpr (Encoded) {
        if (detailed) return run_kernel([&] { return print_encode(args.image(), detailed->view(), curve); });
        return run_kernel([&] { return print_encode(args.image(), curve); });
    } else {
        if (detailed) return run_kernel([&] { return print_stage(args.image(), detailed->view(), curve); });
        return run_kernel([&] { return print_stage(args.image(), curve); });
    }
}

constexpr const char kDoc[] =
    "Map scene luminance to print tone: detail limiting, toe, shoulder.\n"
    "\n"
    "The last tone step before encoding. With ``detailed``, the detail that\n"
    "local contrast added (``detailed - img``) is first limited so that it\n"
    "approaches paper white and paper black without reaching them:\n"
    "``d * h / (h + d)`` towards white (``h = (white - img) * room``), likewise\n"
    "towards black. The paper curve then maps ``black`` and below to 0, bends a toe\n"
    "from 0 up to ``toe_end``, leaves ``[toe_end, shoulder_start]`` unchanged\n"
    "(the same bits), bends a shoulder from ``shoulder_start`` up to 1 at\n"
    "``white``, and maps ``white`` and above to 1. A gain above 1 makes its\n"
    "segment steeper near the midtones and flatter at its end; a gain of 1\n"
    "makes it linear. All arithmetic is float32, in a fixed order.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 1)``, dtype ``float32``, C-contiguous,\n"
    "    the toned luminance before local contrast.\n"
    "detailed : numpy.ndarray or None\n"
    "    The same plane after local contrast, same shape, dtype and layout;\n"
    "    ``None`` (the default) means ``img`` itself: no detail to limit.\n"
    "black : float\n"
    "    Scene value printed as paper black (0).\n"
    "toe_end : float\n"
    "    End of the toe, where the curve joins the identity.\n"
    "toe_gain : float\n"
    "    Shape of the toe, > 0.\n"
    "shoulder_start : float\n"
    "    Start of the shoulder, where the curve leaves the identity; < 1,\n"
    "    except that ``shoulder_start = white = 1`` (the defaults) means no\n"
    "    shoulder: the identity up to 1, then 1.\n"
    "shoulder_gain : float\n"
    "    Shape of the shoulder, > 0.\n"
    "white : float\n"
    "    Scene value printed as paper white (1).\n"
    "room : float\n"
    "    Share of the way to paper white (or black) that detail may close,\n"
    "    0 < room <= 1.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, print tone in ``[0, 1]`` for\n"
    "    finite inputs of ordinary magnitude.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If a parameter is not finite, unless\n"
    "    ``black <= toe_end <= shoulder_start < white``, ``shoulder_start < 1``\n"
    "    (or ``shoulder_start = white = 1``) and both gains are positive; if\n"
    "    ``img`` is not shape ``(H, W, 1)``;\n"
    "    if ``detailed`` has another shape.";

constexpr const char kEncodeDoc[] =
    "The print stage followed by the sRGB encoding, in one pass.\n"
    "\n"
    "Gives the bits of ``encode_srgb(print_stage(img, detailed, ...))``\n"
    "(``ostrel_core.encode_srgb``) without making the print plane: each tile\n"
    "of print tones is encoded while it is in cache. The parameters and errors\n"
    "are those of ``print_stage``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, the display-referred print.";

}  // namespace

const KernelDeclaration print_stage_kernel{"print_stage", kParameters, kDoc, print_body<false>};
const KernelDeclaration print_encode_kernel{"print_encode", kParameters, kEncodeDoc, print_body<true>};

}  // namespace ostrel::py
