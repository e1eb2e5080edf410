"""Toning: the grey print coloured as a chemical toner colours silver, at the same luminance.

Each toner is two tints, one for the blacks and one for paper white, and the
print tone where they meet half and half. A tint is a colour: only its
chromaticity matters, as the kernel (`ostrel._darkroom.tone_print`) scales it
to BT.709 luminance 1 and colours each pixel at its own grey's luminance.

The tints are chosen looks, not measurements. Their direction follows the
darkroom's and the conservator's descriptions of each process, which are
qualitative: sepia (bleach and sulphide redevelopment) turns the whole image
a warm yellow-brown, strongest in the mid-tones and highlights; selenium
converts the densest silver first, cooling the shadows towards purple-brown
and leaving the highlights alone; gold gives blue-black shadows and cooler
highlights; platinum and palladium prints are a warm neutral brown-black;
cyanotype is Prussian blue (iron(III) hexacyanoferrate(II)) on white
(Lavédrine, *Photographs of the Past: Process and Preservation*, Getty
Conservation Institute, 2009; Anchell, *The Darkroom Cookbook*). No
colorimetry of toned prints is used: the sRGB values below are ours.

Split toning takes the two hues from the recipe: each is an sRGB colour of
that hue at HSV saturation `SPLIT_SATURATION` and full value.
"""

from __future__ import annotations

import colorsys
from dataclasses import dataclass
from typing import Final

import numpy as np
import numpy.typing as npt

import ostrel_core as oc
from ostrel.recipe import Toning

FloatImage = npt.NDArray[np.float32]

# The print tone (display-linear) that takes the shadow and highlight tints
# half each, before the recipe's balance moves it: middle grey.
MIDDLE_TONE: Final = 0.18
# HSV saturation of a split-toning hue's sRGB colour.
SPLIT_SATURATION: Final = 0.3
# One unit of toning.balance moves the meeting tone by this many stops.
BALANCE_STOPS: Final = 2.0

_BT709: Final = (0.2126, 0.7152, 0.0722)


@dataclass(frozen=True)
class ToneLook:
    """A toner's look: 8-bit sRGB tints of the blacks and of paper white, and where they meet."""

    shadow: tuple[int, int, int]
    highlight: tuple[int, int, int]
    middle: float = MIDDLE_TONE


# Chosen looks (see the module's note): what each process is described as doing.
LOOKS: Final = {
    # Warm yellow-brown everywhere, the highlights and mid-tones most.
    "sepia": ToneLook((150, 110, 78), (222, 190, 140), 0.1),
    # Purple-brown in the deepest tones only, neutral highlights.
    "selenium": ToneLook((120, 92, 110), (255, 255, 255), 0.04),
    # Blue-black shadows, slightly cool highlights.
    "gold": ToneLook((82, 96, 128), (238, 242, 255), 0.12),
    # Warm neutral brown-black, soft warm highlights.
    "platinum": ToneLook((118, 100, 84), (246, 236, 220), MIDDLE_TONE),
    # Prussian blue on white paper.
    "cyanotype": ToneLook((30, 76, 140), (196, 222, 244), 0.3),
}


def _decoded(code: float) -> float:
    value = code / 255.0
    return value / 12.92 if value <= 0.04045 else ((value + 0.055) / 1.055) ** 2.4


def tint(srgb: tuple[float, float, float]) -> tuple[float, float, float]:
    """An 8-bit sRGB colour as linear RGB scaled to BT.709 luminance 1 (in double precision)."""
    linear = [_decoded(c) for c in srgb]
    luminance = sum(w * c for w, c in zip(_BT709, linear, strict=True))
    r, g, b = (c / luminance for c in linear)
    return (r, g, b)


def hue_colour(hue: float) -> tuple[float, float, float]:
    """The 8-bit-scale sRGB colour of a hue (degrees) at the split-toning saturation, full value."""
    r, g, b = colorsys.hsv_to_rgb((hue % 360.0) / 360.0, SPLIT_SATURATION, 1.0)
    return (255.0 * r, 255.0 * g, 255.0 * b)


def toner_arguments(toning: Toning) -> dict[str, float]:
    """The kernel's keyword arguments for a recipe's toning (which must be enabled)."""
    if toning.toner == "split":
        shadow, highlight = hue_colour(toning.shadow_hue), hue_colour(toning.highlight_hue)
        middle = MIDDLE_TONE
    else:
        look = LOOKS[toning.toner]
        shadow, highlight, middle = look.shadow, look.highlight, look.middle
    pivot = min(max(middle * 2.0 ** (BALANCE_STOPS * toning.balance), 1e-3), 0.999)
    s, h = tint(shadow), tint(highlight)
    return {
        "shadow_red": s[0],
        "shadow_green": s[1],
        "shadow_blue": s[2],
        "highlight_red": h[0],
        "highlight_green": h[1],
        "highlight_blue": h[2],
        "blend": pivot / (1.0 - pivot),
        "strength": toning.strength,
    }


def tone_print(plane: FloatImage, toning: Toning, *, encode: bool = False) -> FloatImage:
    """The display-linear (H, W, 1) print toned to linear RGB (H, W, 3); the plane itself when untoned.

    With `encode` the toned print comes sRGB-encoded, in the same pass
    (`tone_print_encode`: the bits of `encode_srgb` of the toned print);
    an untoned plane is then `encode_srgb` of it.
    """
    if not toning.enabled:
        return oc.encode_srgb(plane) if encode else plane
    from ostrel import _darkroom

    kernel = _darkroom.tone_print_encode if encode else _darkroom.tone_print
    result: FloatImage = kernel(np.ascontiguousarray(plane), **toner_arguments(toning))
    return result
