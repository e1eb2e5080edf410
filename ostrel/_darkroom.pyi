"""Type information for the `ostrel._darkroom` extension module."""

import numpy as np
import numpy.typing as npt

__all__ = ["print_stage", "tone_print"]

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
