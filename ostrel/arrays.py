"""What the library checks of an array before the kernels see it.

The kernel module takes C-contiguous float32 (H, W, 3) scene-linear RGB and
says little more than its own type names when given anything else. The
library names the dtype or shape it expects and how to get there; an array
of the right kind that is a view (a crop, a flip) is copied to a
contiguous one.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

FloatImage = npt.NDArray[np.float32]


def rgb_for_kernels(rgb: Any, what: str = "render") -> FloatImage:
    """`rgb` as the kernels take it; TypeError or ValueError saying what to pass instead."""
    if not isinstance(rgb, np.ndarray):
        raise TypeError(
            f"{what} takes a NumPy float32 (H, W, 3) array of scene-linear RGB, not {type(rgb).__name__}; "
            "ostrel.read_photo(path).pixels gives one"
        )
    if rgb.dtype != np.float32:
        if rgb.dtype in (np.uint8, np.uint16):
            how = "these look like sRGB codes: ostrel.from_srgb_array(codes) linearises them"
        elif np.issubdtype(rgb.dtype, np.floating):
            how = "use rgb.astype(np.float32) if the values are already linear light"
        else:
            how = "read a photo with ostrel.read_photo, or linearise codes with ostrel.from_srgb_array"
        raise TypeError(f"{what} takes float32 scene-linear RGB, not {rgb.dtype}; {how}")
    if rgb.ndim != 3 or rgb.shape[2] != 3:
        hint = (
            "a grey (H, W) image becomes RGB with np.repeat(grey[:, :, None], 3, axis=2)"
            if rgb.ndim == 2
            else "give three channels, red, green and blue, last"
        )
        raise ValueError(f"{what} takes an (H, W, 3) array, not shape {rgb.shape}; {hint}")
    return np.require(rgb, np.float32, ["C_CONTIGUOUS", "ALIGNED"])
