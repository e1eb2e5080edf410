"""How much of a print is pure paper white or pure black, against what the photo itself held.

A print's clipped share is the share of its pixels at the top code (paper
white) or at code 0 (black) of its own depth. The photo's share is measured
on its luminance before exposure, at the same depth: the pixels that its
plain grey conversion through the recipe's luminance step would clip. A
recipe that clips noticeably more than the photo did is worth a warning.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Final

import numpy as np
import numpy.typing as npt

# A print may clip this many percentage points more than its photo before a warning.
WHITE_ALLOWANCE: Final = 0.25
BLACK_ALLOWANCE: Final = 0.5


def _linear(encoded: float) -> float:
    """The IEC 61966-2-1 decoding of one display value."""
    return encoded / 12.92 if encoded <= 0.04045 else ((encoded + 0.055) / 1.055) ** 2.4


@dataclass(frozen=True)
class Clipping:
    """Per cent of pure-white and pure-black pixels, of the print and (when known) of the photo."""

    white: float
    black: float
    photo_white: float | None = None
    photo_black: float | None = None

    def warning(self) -> str | None:
        """What the recipe clips beyond the photo, when it is more than the allowances."""
        if self.photo_white is None or self.photo_black is None:
            return None
        parts = []
        if self.white > self.photo_white + WHITE_ALLOWANCE:
            parts.append(f"{self.white:.2f} % pure white (the photo {self.photo_white:.2f} %)")
        if self.black > self.photo_black + BLACK_ALLOWANCE:
            parts.append(f"{self.black:.2f} % pure black (the photo {self.photo_black:.2f} %)")
        if not parts:
            return None
        return "the recipe clips " + " and ".join(parts)

    def describe(self) -> str:
        return f"white {self.white:.2f} %, black {self.black:.2f} %"


# Rows of a toned print measured at a time.
_ROWS: Final = 64


def _all_channels(hits: npt.NDArray[np.bool_], channels: int) -> int:
    """How many pixels of a block of per-sample hits have a hit in every channel."""
    if not hits.any():
        return 0
    flat = hits.view(np.uint8).reshape(-1)
    count = flat[0::channels].copy()
    for channel in range(1, channels):
        count += flat[channel::channels]
    return int(np.count_nonzero(count == channels))


def _shares(plane: npt.NDArray[np.float32], low: float, high: float) -> tuple[float, float]:
    if plane.ndim == 3 and plane.shape[2] > 1:  # a toned print: pixels clipped in every channel
        size = max(1, plane.shape[0] * plane.shape[1])
        white = black = 0
        # A block of rows at a time, each channel's test on contiguous samples (a reduction over the
        # channel axis is slow); most blocks clip nothing and cost just the comparisons.
        for row in range(0, plane.shape[0], _ROWS):
            block = plane[row : row + _ROWS]
            white += _all_channels(block >= np.float32(high), block.shape[2])
            black += _all_channels(block <= np.float32(low), block.shape[2])
        return 100.0 * white / size, 100.0 * black / size
    size = max(1, plane.size)
    white = int(np.count_nonzero(plane >= np.float32(high)))
    black = int(np.count_nonzero(plane <= np.float32(low)))
    return 100.0 * white / size, 100.0 * black / size


def measure(
    print_plane: npt.NDArray[np.float32], photo_luminance: npt.NDArray[np.float32] | None, bits: int
) -> Clipping:
    """The clipped shares of a display-encoded print plane and of the photo's linear luminance."""
    top = 255.0 if bits == 8 else 65535.0
    # A display value rounds to the top code above (top - 0.5) / top, to 0 below 0.5 / top.
    high, low = (top - 0.5) / top, 0.5 / top
    white, black = _shares(print_plane, np.nextafter(low, 0.0), np.nextafter(high, 2.0))
    if photo_luminance is None:
        return Clipping(white, black)
    photo_white, photo_black = _shares(
        photo_luminance, np.nextafter(_linear(low), 0.0), np.nextafter(_linear(high), 2.0)
    )
    return Clipping(white, black, photo_white, photo_black)


def from_codes(codes: npt.NDArray[np.integer], bits: int) -> tuple[int, int]:
    """Counts of top and zero codes (for prints made band by band)."""
    top = 255 if bits == 8 else 65535
    return int(np.count_nonzero(codes == top)), int(np.count_nonzero(codes == 0))
