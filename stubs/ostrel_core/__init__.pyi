"""Type information for the `ostrel_core` extension module."""

from typing import ClassVar, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "LuminanceStandard",
    "ColorFilter",
    "ZoneParams",
    "GuidedFilterParams",
    "luminance_bw",
    "channel_mixer_bw",
    "color_filter_bw",
    "zone_system",
    "local_contrast",
    "encode_srgb",
]

_Float32Array = npt.NDArray[np.float32]

@final
class LuminanceStandard:
    """ITU-R luminance standard for B&W conversion."""

    Bt601: ClassVar[LuminanceStandard]
    Bt709: ClassVar[LuminanceStandard]
    Bt2020: ClassVar[LuminanceStandard]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class ColorFilter:
    """Wratten-style coloured-filter preset for B&W contrast control."""

    NoFilter: ClassVar[ColorFilter]
    Yellow8K2: ClassVar[ColorFilter]
    Orange21: ClassVar[ColorFilter]
    Red25A: ClassVar[ColorFilter]
    Green11X1: ClassVar[ColorFilter]
    Blue47C5: ClassVar[ColorFilter]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class ZoneParams:
    """Zone System tone offsets."""

    def __new__(cls, offsets: dict[int, float]) -> ZoneParams: ...

@final
class GuidedFilterParams:
    """Parameters for the guided filter."""

    def __new__(cls, radius: int, eps: float) -> GuidedFilterParams: ...
    @property
    def radius(self) -> int:
        """Filter radius in pixels."""
    @radius.setter
    def radius(self, value: int) -> None: ...
    @property
    def eps(self) -> float:
        """Regularisation term epsilon."""
    @eps.setter
    def eps(self, value: float) -> None: ...

def luminance_bw(img: _Float32Array, standard: LuminanceStandard = ...) -> _Float32Array:
    """Convert a linear RGB image to greyscale using standard luminance weights."""

def channel_mixer_bw(img: _Float32Array, wr: float, wg: float, wb: float) -> _Float32Array:
    """Convert a linear RGB image to greyscale using arbitrary channel weights."""

def color_filter_bw(img: _Float32Array, filter: ColorFilter = ..., standard: LuminanceStandard = ...) -> _Float32Array:
    """Convert a linear RGB image to greyscale using a Wratten-style filter."""

def zone_system(img: _Float32Array, params: ZoneParams) -> _Float32Array:
    """Apply the Adams/Archer Zone System tone curve."""

def local_contrast(img: _Float32Array, params: GuidedFilterParams, strength: float) -> _Float32Array:
    """Enhance local contrast using the He-Sun-Tang guided filter."""

def encode_srgb(img: _Float32Array) -> _Float32Array:
    """Apply the IEC 61966-2-1 sRGB transfer encoding."""
