"""To and from the images other Python code holds: Pillow images and integer sRGB arrays.

Into the pipeline, sRGB codes go the way an untagged file's do (libvips's
sRGB decode to linear light), and a Pillow image's embedded ICC profile is
honoured as a file's would be. Out of it, linear RGB is clipped to [0, 1],
encoded with the sRGB curve and rounded to the nearest code; a print plane,
already display-referred, is only rounded.
"""

from __future__ import annotations

from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ostrel import _deps
from ostrel.reading import FloatImage, _to_scrgb
from ostrel.rendering import quantize

Codes = npt.NDArray[np.uint8] | npt.NDArray[np.uint16]
Bits = Literal[8, 16]

_PIL_MODES = {"RGB": "srgb", "RGBA": "srgb", "L": "b-w", "LA": "b-w", "I;16": "grey16", "CMYK": "cmyk"}


def _linear(image: Any) -> FloatImage:
    return np.ascontiguousarray(_to_scrgb(image).numpy(), dtype=np.float32).reshape(image.height, image.width, 3)


def from_srgb_array(codes: npt.NDArray[Any]) -> FloatImage:
    """8- or 16-bit sRGB codes, (H, W) grey or (H, W, 3) RGB (a fourth band, alpha, is dropped),
    as the scene-linear float32 (H, W, 3) array the pipeline takes."""
    vips = _deps.pyvips()
    array = np.asarray(codes)
    if array.dtype not in (np.uint8, np.uint16):
        raise TypeError(f"expected uint8 or uint16 sRGB codes, not {array.dtype}")
    if array.ndim == 3 and array.shape[2] == 1:
        array = array[:, :, 0]
    if not (array.ndim == 2 or (array.ndim == 3 and array.shape[2] in (3, 4))):
        raise ValueError(f"expected an (H, W), (H, W, 3) or (H, W, 4) array, not shape {array.shape}")
    sixteen = array.dtype == np.uint16
    grey = array.ndim == 2
    interpretation = ("grey16" if grey else "rgb16") if sixteen else ("b-w" if grey else "srgb")
    return _linear(vips.Image.new_from_array(np.ascontiguousarray(array), interpretation=interpretation))


def _srgb_encode(linear: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    v = np.clip(np.nan_to_num(linear, nan=0.0), 0.0, 1.0)
    encoded: npt.NDArray[np.float64] = np.where(v <= 0.0031308, v * 12.92, 1.055 * v ** (1 / 2.4) - 0.055)
    return encoded


def to_srgb_array(pixels: npt.NDArray[np.float32], bits: Bits = 8) -> Codes:
    """Scene-linear RGB (H, W, 3) as sRGB codes of `bits` (8 or 16), clipped to [0, 1], NaN as 0."""
    if bits not in (8, 16):
        raise ValueError(f"bits must be 8 or 16, not {bits}")
    top = 255 if bits == 8 else 65535
    encoded = np.rint(_srgb_encode(np.asarray(pixels, np.float64)) * top)
    if bits == 8:
        return encoded.astype(np.uint8)
    return encoded.astype(np.uint16)


def print_codes(plane: npt.NDArray[np.float32], bits: Bits = 8) -> Codes:
    """A display-referred print plane (H, W[, 1]) as (H, W) grey codes (what a print file stores)."""
    if bits not in (8, 16):
        raise ValueError(f"bits must be 8 or 16, not {bits}")
    return quantize(plane, bits)


def from_pil(image: Any) -> FloatImage:
    """A Pillow image as scene-linear float32 (H, W, 3), through its ICC profile if it has one.

    Modes RGB, RGBA, L, LA, I;16 and CMYK are read as they are, others
    converted to RGB first. The EXIF orientation is not applied: use
    ``PIL.ImageOps.exif_transpose`` first if it matters.
    """
    vips = _deps.pyvips()
    pil = _deps.pil_image()
    if not isinstance(image, pil.Image):
        raise TypeError(f"expected a PIL.Image.Image, not {type(image).__name__}")
    source = image if image.mode in _PIL_MODES else image.convert("RGBA" if "A" in image.getbands() else "RGB")
    array = np.asarray(source)
    if source.mode == "I;16":
        array = array.astype(np.uint16)
    vimage = vips.Image.new_from_array(np.ascontiguousarray(array), interpretation=_PIL_MODES[source.mode]).copy()
    profile = image.info.get("icc_profile")
    if profile:
        vimage.set_type(vips.GValue.blob_type, "icc-profile-data", bytes(profile))
    return _linear(vimage)


def _srgb_profile() -> bytes:
    return bytes(_deps.pyvips().Image.profile_load("srgb"))


def to_pil(pixels: npt.NDArray[np.float32]) -> Any:
    """Scene-linear RGB (H, W, 3) as an 8-bit sRGB Pillow image, tagged with an sRGB profile."""
    pil = _deps.pil_image()
    image = pil.fromarray(to_srgb_array(pixels, 8), mode="RGB")
    image.info["icc_profile"] = _srgb_profile()
    return image


def print_to_pil(plane: npt.NDArray[np.float32], bits: Bits = 8) -> Any:
    """A print plane as a grey Pillow image: mode L (8-bit) or I;16 (16-bit), tagged with the print's grey profile."""
    from ostrel.writing import sgrey_profile

    pil = _deps.pil_image()
    codes = print_codes(plane, bits)
    image = (
        pil.fromarray(codes) if bits == 8 else pil.frombytes("I;16", codes.shape[::-1], codes.astype("<u2").tobytes())
    )
    image.info["icc_profile"] = sgrey_profile()
    return image
