"""Film stocks: the spectral response of a named black-and-white film as luminance weights.

The data and the source of every number are in `films.toml` beside this
module. Each stock's weights there are of CIE XYZ relative to D50; here they
become weights of the linear sRGB pixels the pipeline works on, through the
sRGB-to-XYZ (D50) matrix of the ICC sRGB profile, and are scaled to sum 1
so that a neutral grey keeps its tone. A lens filter in front of the film
multiplies each channel's weight by the filter's transmission there, and the
exposure opens up by the filter factor, as a through-the-lens meter does.
"""

from __future__ import annotations

import functools
import importlib.resources
import tomllib
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Final

import numpy as np

# Linear sRGB to CIE XYZ relative to D50 (Bradford-adapted): the colorant
# tags of the ICC's sRGB profile (sRGB IEC61966-2.1). Rows X, Y, Z.
SRGB_TO_XYZ_D50: Final = (
    (0.4360747, 0.3850649, 0.1430804),
    (0.2225045, 0.7168786, 0.0606169),
    (0.0139322, 0.0971045, 0.7141733),
)


@dataclass(frozen=True)
class Film:
    """One stock: its name, speed, published XYZ weights and their sources."""

    key: str
    name: str
    speed: int
    xyz: tuple[float, float, float]
    datasheet: str
    weights_source: str

    @property
    def rgb(self) -> tuple[float, float, float]:
        """Weights of linear sRGB, summing to 1 (double precision)."""
        matrix = np.array(SRGB_TO_XYZ_D50)
        weights = matrix.T @ np.array(self.xyz)
        weights /= weights.sum()
        return (float(weights[0]), float(weights[1]), float(weights[2]))


@functools.cache
def films() -> Mapping[str, Film]:
    """Every stock of `films.toml`, by its key, in the file's order."""
    text = importlib.resources.files("ostrel").joinpath("films.toml").read_text(encoding="utf-8")
    table = tomllib.loads(text)
    stocks: dict[str, Film] = {}
    for key, entry in table.items():
        xyz = entry["xyz"]
        name, speed, sheet, source = entry["name"], int(entry["speed"]), entry["datasheet"], entry["weights_source"]
        stocks[key] = Film(key, name, speed, (xyz[0], xyz[1], xyz[2]), sheet, source)
    return stocks


def film_weights(stock: str, transmission: tuple[float, float, float] = (1.0, 1.0, 1.0)) -> tuple[float, float, float]:
    """The stock's linear sRGB weights behind a filter of this per-channel transmission, metered through it.

    The weights times the transmissions, divided by their sum (the filter
    factor), so a neutral white still gives exactly the weights' sum, 1.
    """
    weights = [w * t for w, t in zip(films()[stock].rgb, transmission, strict=True)]
    total = sum(weights)
    return (weights[0] / total, weights[1] / total, weights[2] / total)
