"""The print stage: scene luminance to paper tone.

Photographic paper has a white and a maximum black, and its characteristic
curve reaches both smoothly: a shoulder rolls the highlights into paper
white and a toe the deep shadows into black (Adams, *The Print*, on printing
the zone scale; the characteristic curves of fibre and RC papers). The curve
here keeps the tones between the toe and the shoulder exactly as the scene
gives them, so middle grey stays middle grey unless the recipe's zones move
it, and bends only near the ends:

- the white point `white` is the scene value that prints as paper white; by
  default the photo's own white (after exposure and zones), so a JPEG's
  white prints as paper white and nothing darker than it does; when exposure
  pushes the photo's white above 1.0 (a camera RAW, or a compensation) the
  shoulder takes it in instead of clipping it;
- the black point `black` is the scene value that prints as black (by
  default the photo's black, 0);
- the shoulder is a rational roll-off p = s + (1 - s) g(u), g(u) = Ku / (1 +
  (K - 1)u), that leaves the straight part with slope 1 at the shoulder start
  s and reaches 1 at the white point; the toe is its mirror image at black.
  This is the form of the open raw developers' "sigmoid" and "filmic" curves
  (white and black relative exposure, a contrast-preserving middle) reduced
  to one division per pixel.

Local contrast is limited by the same points: the detail it adds to a pixel
is compressed into half the room left to paper white (or black), d' = d h /
(h + d) with h = (white - base) / 2, so it can lighten a highlight but never
make it paper white, nor a shadow black.

The per-pixel work is the `print_stage` kernel of `ostrel._darkroom`, exact
and in a fixed operation order; this module works out its parameters.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Final

import numpy as np
import numpy.typing as npt

import ostrel_core as oc
from ostrel.errors import RecipeError
from ostrel.recipe import Recipe
from ostrel.settings import AUTO

FloatImage = npt.NDArray[np.float32]

MIDDLE_GREY: Final = 0.18
# Local contrast may close at most this share of a pixel's room to paper
# white (or black): a halo lightens a highlight, it never makes it white.
DETAIL_ROOM: Final = 0.5
# The shoulder starts at least this far below paper white (print value).
_MIN_ROOM: Final = 2.0**-12


@dataclass(frozen=True)
class PaperParams:
    """The print stage's points, as the kernel takes them (scene luminance after the zones)."""

    black: float
    toe_end: float
    toe_gain: float
    shoulder_start: float
    shoulder_gain: float
    white: float
    room: float = DETAIL_ROOM

    def as_kwargs(self) -> dict[str, float]:
        return {
            "black": self.black,
            "toe_end": self.toe_end,
            "toe_gain": self.toe_gain,
            "shoulder_start": self.shoulder_start,
            "shoulder_gain": self.shoulder_gain,
            "white": self.white,
            "room": self.room,
        }


def white_luminance(recipe: Recipe) -> float:
    """What the recipe's luminance step makes of the photo's white (1, 1, 1)."""
    from ostrel.rendering import luminance, luminance_step

    return float(luminance(np.ones((1, 1, 3), np.float32), luminance_step(recipe))[0, 0, 0])


def _zoned(values: list[float], recipe: Recipe) -> list[float]:
    plane = np.asarray(values, np.float32).reshape(1, -1, 1)
    return [float(v) for v in oc.zone_system(plane, oc.ZoneParams(dict(recipe.zones))).ravel()]


def _f32(value: float) -> float:
    return float(np.float32(value))


def paper_params(recipe: Recipe, exposure: float = 0.0) -> PaperParams | None:
    """The print stage for this recipe and exposure (stops); None when the recipe clips instead."""
    curve = recipe.print_curve
    if curve.curve == "clip":
        return None
    if curve.white == AUTO:
        white_scene = max(white_luminance(recipe) * 2.0**exposure, 1.0)
    else:
        white_scene = MIDDLE_GREY * 2.0 ** float(curve.white)
    black_scene = 0.0 if curve.black == AUTO else MIDDLE_GREY * 2.0 ** float(curve.black)
    white, black = _zoned([white_scene, black_scene], recipe)
    middle = MIDDLE_GREY
    top = min(white, 1.0)
    if not white > middle * 1.05:
        raise RecipeError(
            "print.white",
            curve.white,
            f"after exposure and zones the white point lies at {white:.3g}, not above middle grey; "
            "raise print.white or the zones' highlights",
        )
    start = min(middle + (top - middle) * (1.0 - curve.shoulder), 1.0 - _MIN_ROOM)
    if black > 0.0:
        if not black < middle * 0.95:
            raise RecipeError("print.black", curve.black, "after the zones the black point is not below middle grey")
        toe_end = black + (middle - black) * curve.toe
        toe_gain = (toe_end - black) / toe_end if toe_end > black else 1.0
    else:
        black, toe_end, toe_gain = 0.0, 0.0, 1.0
    # The kernel's points in 32-bit floats, still in order after rounding.
    black32 = _f32(black)
    toe32 = max(_f32(toe_end), black32)
    start32 = max(_f32(start), toe32)
    white32 = _f32(white)
    if not white32 > start32:
        white32 = float(np.nextafter(np.float32(start32), np.float32(math.inf)))
    shoulder_gain = (white32 - start32) / (1.0 - start32)
    return PaperParams(black32, toe32, _f32(max(toe_gain, 2.0**-20)), start32, _f32(shoulder_gain), white32)


def print_stage(
    base: FloatImage, detailed: FloatImage | None, params: PaperParams, *, encode: bool = False
) -> FloatImage:
    """Print tone (display-linear, 0..1) of the toned plane `base`, with the local-contrast plane `detailed`.

    With `encode`, the print comes out sRGB-encoded, in the same pass (the
    bits of `ostrel_core.encode_srgb` of the print tone).
    """
    from ostrel import _darkroom

    kernel = _darkroom.print_encode if encode else _darkroom.print_stage
    return kernel(base, detailed, **params.as_kwargs())
