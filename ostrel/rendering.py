"""The black-and-white pipeline: a recipe applied to scene-linear RGB by the kernels."""

from __future__ import annotations

import functools
from typing import Final

import numpy as np
import numpy.typing as npt

import ostrel_core as oc
from ostrel.arrays import rgb_for_kernels
from ostrel.recipe import FilterStep, MixerStep, Recipe

FloatImage = npt.NDArray[np.float32]


def _filtered(rgb: FloatImage, step: FilterStep) -> FloatImage:
    return oc.color_filter_bw(rgb, getattr(oc.ColorFilter, step.filter), getattr(oc.LuminanceStandard, step.standard))


@functools.cache
def filter_factor(step: FilterStep) -> np.float32:
    """What the filter passes of a neutral white under its standard (1 for no filter).

    It is the kernel's own result for one white pixel, so dividing by it
    brings white back to exactly 1.0.
    """
    white = np.ones((1, 1, 3), np.float32)
    return np.float32(_filtered(white, step)[0, 0, 0])


def luminance(rgb: FloatImage, step: FilterStep | MixerStep) -> FloatImage:
    """The recipe's luminance step: (H, W, 3) linear RGB to (H, W, 1) linear luminance.

    A coloured filter is metered as a through-the-lens camera meters it: the
    exposure opens up by the filter factor, so a neutral grey keeps its tone
    and only colours move (a blue sky darkens under red, skin lightens). The
    mixer's weights are used as given.
    """
    if isinstance(step, MixerStep):
        return oc.channel_mixer_bw(rgb, step.red, step.green, step.blue)
    lum = _filtered(rgb, step)
    if step.filter != "NoFilter":
        np.divide(lum, filter_factor(step), out=lum)
    return lum


def tone(lum: FloatImage, recipe: Recipe, *, scale: float = 1.0) -> FloatImage:
    """Zones and local contrast on linear luminance; still scene-linear, not clamped.

    `scale` < 1 renders a reduced image as the full-size print would look:
    the local-contrast radius shrinks with it (at least one pixel).
    """
    toned = oc.zone_system(lum, oc.ZoneParams(dict(recipe.zones)))
    contrast = recipe.local_contrast
    if contrast.enabled:
        radius = contrast.radius if scale == 1.0 else max(1, round(contrast.radius * scale))
        toned = oc.local_contrast(toned, oc.GuidedFilterParams(radius, contrast.eps), contrast.strength)
    return toned


def render(rgb: FloatImage, recipe: Recipe, *, scale: float = 1.0) -> FloatImage:
    """The print of `rgb`: a display-referred (sRGB-encoded) (H, W, 1) float32 plane.

    The steps run in order: luminance, Zone System, local contrast (left out
    when its strength is 0), sRGB encoding. Values are not clamped here; the
    writer clips them to [0, 1] when it quantises.
    """
    rgb = rgb_for_kernels(rgb)
    return oc.encode_srgb(tone(luminance(rgb, recipe.luminance), recipe, scale=scale))


# Rows quantised at a time: a 4000-pixel row block of doubles stays in cache.
_QUANTIZE_ROWS: Final = 64


def quantize(plane: FloatImage, bits: int) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
    """Display values (H, W[, 1]) clipped to [0, 1] and rounded to the nearest 8- or 16-bit code, as (H, W).

    The product with the top code is exact in double precision (24 + 16
    significant bits), so the rounding is to the nearest code of the exact
    value, ties to even. NaN becomes 0 (black), +inf the top code.
    """
    height, width = plane.shape[0], plane.shape[1] if plane.ndim > 1 else 1
    values = plane.reshape(height, width)
    codes: npt.NDArray[np.uint8] | npt.NDArray[np.uint16] = np.empty(
        (height, width), np.uint8 if bits == 8 else np.uint16
    )
    top = 255.0 if bits == 8 else 65535.0
    scratch = np.empty((min(height, _QUANTIZE_ROWS), width), np.float64)
    for row in range(0, height, _QUANTIZE_ROWS):
        block = values[row : row + _QUANTIZE_ROWS]
        work = scratch[: block.shape[0]]
        np.fmax(block, 0.0, out=work)  # fmax, unlike clip, turns NaN into 0
        np.fmin(work, 1.0, out=work)
        np.multiply(work, top, out=work)
        np.rint(work, out=work)
        np.copyto(codes[row : row + _QUANTIZE_ROWS], work, casting="unsafe")
    return codes
