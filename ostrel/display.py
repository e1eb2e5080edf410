"""Short reprs, and the PNG previews a notebook shows for photos and prints.

A repr says what an object is in one line (size, source, what metadata it
holds), never its pixels or raw bytes. `_repr_png_` gives a reduced sRGB
PNG, at most `PREVIEW_SIZE` pixels on the longer side.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Final

import numpy as np
import numpy.typing as npt

from ostrel import _deps

if TYPE_CHECKING:
    from ostrel.prints import Print
    from ostrel.reading import Metadata, Photo

PREVIEW_SIZE: Final = 1024


def _size(count: int) -> str:
    return f"{count} B" if count < 1024 else f"{count / 1024:.1f} kB"


def metadata_repr(metadata: Metadata) -> str:
    parts = []
    if metadata.exif:
        parts.append(f"EXIF {_size(len(metadata.exif))}")
    if metadata.tiff_tags:
        parts.append("TIFF tags")
    if metadata.xmp:
        parts.append(f"XMP {_size(len(metadata.xmp))}")
    if metadata.dpi is not None:
        parts.append(f"{metadata.dpi[0]:g} dpi")
    return f"Metadata({', '.join(parts) or 'empty'})"


def photo_repr(photo: Photo) -> str:
    where = f"{str(photo.path)!r}, " if photo.path is not None else ""
    scale = f", scale={photo.scale:.3g}" if photo.scale != 1.0 else ""
    return f"Photo({where}{photo.width} x {photo.height}, {metadata_repr(photo.metadata)}{scale})"


def print_repr(made: Print) -> str:
    where = f"{str(made.source)!r}, " if made.source is not None else ""
    return f"Print({where}{made.width} x {made.height}, {made.recipe.output.describe()})"


def _reduced(image: Any) -> Any:
    longest = max(image.width, image.height)
    return image.resize(PREVIEW_SIZE / longest, kernel="linear") if longest > PREVIEW_SIZE else image


def rgb_png(pixels: npt.NDArray[np.float32]) -> bytes:
    """PNG bytes of scene-linear RGB, reduced in linear light and encoded as 8-bit sRGB."""
    vips = _deps.pyvips()
    image = vips.Image.new_from_array(np.ascontiguousarray(pixels, np.float32), interpretation="scrgb")
    return bytes(_reduced(image).colourspace("srgb").cast("uchar").pngsave_buffer())


def grey_png(codes: npt.NDArray[np.uint8]) -> bytes:
    """PNG bytes of an 8-bit print (sRGB-encoded grey), reduced."""
    vips = _deps.pyvips()
    image = vips.Image.new_from_array(np.ascontiguousarray(codes), interpretation="b-w")
    return bytes(_reduced(image).cast("uchar").pngsave_buffer())
