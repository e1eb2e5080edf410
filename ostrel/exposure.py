"""Exposure: where the photo's tones are placed before the zones and the paper.

A display-referred file (JPEG, PNG, most TIFFs) was exposed and rendered by
its camera already, so by default it is taken as it is. A camera RAW file is
scene-linear sensor data: by default it gets the exposure its DNG
`BaselineExposure` asks for, or, without one, an averaging meter that places
the log-average luminance on middle grey (Zone V), the way a camera's
centre-weighted meter aims for an 18 % grey. The recipe's own compensation
is added on top, in stops.

The meter reads a strided sample of at most `METER_PIXELS` pixels, the same
pixels whether the photo is held whole or read by tiles, so every path
meters alike and never holds a gigapixel scan for it.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Final

import numpy as np
import numpy.typing as npt

from ostrel.recipe import Recipe

FloatImage = npt.NDArray[np.float32]

MIDDLE_GREY: Final = 0.18
METER_PIXELS: Final = 1 << 18
# Luminance below this (14 stops under white) counts as this in the log-average:
# black borders and noise must not drag the meter down without bound.
_METER_FLOOR: Final = 2.0**-14
MAX_METERED_STOPS: Final = 10.0


def sample_stride(height: int, width: int) -> int:
    """Every how many rows and columns the meter reads a pixel."""
    return max(1, math.ceil(math.sqrt(height * width / METER_PIXELS)))


def metered_stops(luminance: npt.NDArray[np.floating]) -> float:
    """Stops that place the log-average of `luminance` on middle grey (0 for an empty or black sample)."""
    values = np.asarray(luminance, np.float64).ravel()
    values = values[np.isfinite(values)]
    if values.size == 0:
        return 0.0
    log_average = float(np.mean(np.log2(np.maximum(values, _METER_FLOOR))))
    stops = math.log2(MIDDLE_GREY) - log_average
    return max(-MAX_METERED_STOPS, min(MAX_METERED_STOPS, stops))


def photo_exposure(
    recipe: Recipe,
    *,
    scene_referred: bool = False,
    baseline: float | None = None,
    sample: Callable[[], npt.NDArray[np.floating]] | None = None,
) -> float:
    """The stops of exposure the recipe gives this photo.

    `sample` gives the metering sample's luminance (through the recipe's
    luminance step) when the meter needs it; it is not called otherwise.
    """
    meter = recipe.exposure.meter
    placed = 0.0
    if meter == "average" or (meter == "camera" and scene_referred and baseline is None):
        placed = metered_stops(sample()) if sample is not None else 0.0
    elif meter == "camera" and scene_referred and baseline is not None:
        placed = baseline
    return placed + recipe.exposure.stops
