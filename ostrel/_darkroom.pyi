"""Type information for the `ostrel._darkroom` extension module."""

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

__all__ = [
    "print_stage",
    "print_encode",
    "tone_print",
    "tone_print_encode",
    "vignette",
    "grain",
    "grain_encode",
    "bands",
    "band_offsets",
    "quantize",
]

_Float32Array = npt.NDArray[np.float32]

def print_stage(
    img: _Float32Array,
    detailed: _Float32Array | None = None,
    black: float = 0.0,
    toe_end: float = 0.0,
    toe_gain: float = 1.0,
    shoulder_start: float = 1.0,
    shoulder_gain: float = 1.0,
    white: float = 1.0,
    room: float = 1.0,
) -> _Float32Array:
    """Map scene luminance to print tone: detail limiting, toe, shoulder."""

def print_encode(
    img: _Float32Array,
    detailed: _Float32Array | None = None,
    black: float = 0.0,
    toe_end: float = 0.0,
    toe_gain: float = 1.0,
    shoulder_start: float = 1.0,
    shoulder_gain: float = 1.0,
    white: float = 1.0,
    room: float = 1.0,
) -> _Float32Array:
    """The print stage followed by the sRGB encoding, in one pass."""

def tone_print(
    img: _Float32Array,
    shadow_red: float = 1.0,
    shadow_green: float = 1.0,
    shadow_blue: float = 1.0,
    highlight_red: float = 1.0,
    highlight_green: float = 1.0,
    highlight_blue: float = 1.0,
    blend: float = 1.0,
    strength: float = 0.0,
) -> _Float32Array:
    """Tone a grey print: one channel of print tone to linear RGB of the same luminance."""

def tone_print_encode(
    img: _Float32Array,
    shadow_red: float = 1.0,
    shadow_green: float = 1.0,
    shadow_blue: float = 1.0,
    highlight_red: float = 1.0,
    highlight_green: float = 1.0,
    highlight_blue: float = 1.0,
    blend: float = 1.0,
    strength: float = 0.0,
) -> _Float32Array:
    """Tone a grey print and encode it: ``encode_srgb(tone_print(img, ...))``."""

def vignette(
    img: _Float32Array,
    stops: float = 0.0,
    midpoint: float = 0.75,
    feather: float = 0.5,
    top: int = 0,
    left: int = 0,
    full_height: int = 0,
    full_width: int = 0,
) -> _Float32Array:
    """Burn or dodge the edges: luminance times 2^(stops * e) by distance from the centre."""

def grain(
    img: _Float32Array,
    strength: float = 0.0,
    granularity: float = 12.0,
    pitch_um: float = 10.0,
    seed: int = 0,
    top: int = 0,
    left: int = 0,
    full_height: int = 0,
    full_width: int = 0,
) -> _Float32Array:
    """Film grain on a display-linear print, kept display-linear (for toning)."""

def grain_encode(
    img: _Float32Array,
    strength: float = 0.0,
    granularity: float = 12.0,
    pitch_um: float = 10.0,
    seed: int = 0,
    top: int = 0,
    left: int = 0,
    full_height: int = 0,
    full_width: int = 0,
) -> _Float32Array:
    """Film grain on a display-linear print, ending in the sRGB encoding."""

def bands(
    img: _Float32Array,
    lum: _Float32Array,
    offsets: Sequence[float],
    radius: int = 0,
    eps: float = 0.1,
    low: float = 0.05,
    high: float = 0.25,
) -> _Float32Array:
    """Mix colours into the grey: luminance times 2^o, o by the hue of each pixel."""

def band_offsets(
    img: _Float32Array,
    offsets: Sequence[float],
    radius: int = 0,
    eps: float = 0.1,
    low: float = 0.05,
    high: float = 0.25,
) -> _Float32Array:
    """The offset map of ``bands`` in stops: (H, W, 3) linear RGB to (H, W, 1)."""

def quantize(
    img: _Float32Array, out: npt.NDArray[np.uint8] | npt.NDArray[np.uint16]
) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
    """Display values to the nearest 8- or 16-bit code, into ``out``."""
