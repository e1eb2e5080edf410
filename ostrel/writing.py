"""Writing a print: quantised grey samples, metadata, and an atomic file write.

The print is a single-channel image: the display-referred plane clipped to
[0, 1] and rounded to 8 or 16 bits. It carries a grey ICC profile whose curve
is the sRGB encoding (libvips's built-in ``sgrey``), the photo's EXIF (with
orientation normal and no thumbnail) and XMP, and the recipe that made it.

Writes are atomic: the file is written under a temporary name in the output
folder, flushed to disk and renamed over the destination, so at any moment
the destination is either the complete old file, the complete new one, or
absent.
"""

from __future__ import annotations

import contextlib
import functools
import os
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ostrel import _deps, stamp
from ostrel.errors import PrintWriteError
from ostrel.exif import exif_for_print
from ostrel.reading import Metadata
from ostrel.recipe import Output
from ostrel.rendering import quantize
from ostrel.temporaries import owned_temporary
from ostrel.xmp import exif_properties, merge_xmp


@functools.cache
def sgrey_profile() -> bytes:
    """libvips's grey ICC profile whose curve is the sRGB encoding."""
    return bytes(_deps.pyvips().Image.profile_load("sgrey"))


@contextlib.contextmanager
def atomic_destination(destination: Path) -> Iterator[Path]:
    """Yields a temporary path to write; on success it replaces `destination`.

    On any exception (KeyboardInterrupt included) the temporary file is
    removed and `destination` is left as it was. The temporary names its
    owner and is locked while written (see `ostrel.temporaries`), so another
    run never takes it for a dead one.
    """
    with owned_temporary(destination) as temporary:
        yield temporary
        _flush(temporary)
        os.replace(temporary, destination)
    _flush_folder(destination.parent)


def _flush(path: Path) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _flush_folder(folder: Path) -> None:
    with contextlib.suppress(OSError):  # not every filesystem can sync a folder
        _flush(folder)


def grey_image(codes: npt.NDArray[np.uint8] | npt.NDArray[np.uint16]) -> Any:
    """A one-band libvips image over (H, W) or (H, W, 1) samples, tagged as sRGB grey."""
    vips = _deps.pyvips()
    plane = codes.reshape(codes.shape[0], codes.shape[1])
    interpretation = "grey16" if plane.dtype == np.uint16 else "b-w"
    image = vips.Image.new_from_array(np.ascontiguousarray(plane), interpretation=interpretation).copy()
    image.set_type(vips.GValue.blob_type, "icc-profile-data", sgrey_profile())
    return image


def carries_exif_block(fmt: str, metadata: Metadata) -> bool:
    """Whether a print in `fmt` takes the photo's EXIF block as it is (JPEG and PNG do)."""
    return fmt in ("jpeg", "png") and metadata.exif is not None


def print_xmp(metadata: Metadata, fmt: str) -> bytes | None:
    """The print's XMP: the photo's, orientation normal, plus its EXIF restated
    where the print cannot carry the EXIF block itself."""
    properties = [] if carries_exif_block(fmt, metadata) else exif_properties(metadata.exif_tags())
    return merge_xmp(metadata.xmp, properties)


def _with_metadata(image: Any, fmt: str, metadata: Metadata | None) -> Any:
    vips = _deps.pyvips()
    if metadata is None:
        return image
    if carries_exif_block(fmt, metadata):
        image.set_type(vips.GValue.blob_type, "exif-data", exif_for_print(metadata.exif or b""))
        image.set_type(vips.GValue.gint_type, "orientation", 1)
    xmp = print_xmp(metadata, fmt)
    if xmp:
        image.set_type(vips.GValue.blob_type, "xmp-data", xmp)
    return image


def save(image: Any, path: Path, output: Output, recipe_text: str | None) -> None:
    """Encodes a prepared libvips image to `path` (no atomicity of its own)."""
    fmt = output.format
    if recipe_text is not None:
        image = stamp.stamp(image, fmt, recipe_text)
    if fmt == "tiff":
        predictor = "none" if output.compression == "none" else "horizontal"
        image.tiffsave(str(path), compression=output.compression, predictor=predictor)
    elif fmt == "png":
        image.pngsave(str(path))
    else:
        data = image.jpegsave_buffer(Q=output.quality)
        if recipe_text is not None:
            data = stamp.jpeg_with_comment(data, recipe_text)
        with open(path, "wb") as handle:
            handle.write(data)


def write_print(
    plane: npt.NDArray[np.float32],
    path: str | os.PathLike[str],
    output: Output | None = None,
    *,
    metadata: Metadata | None = None,
    recipe_text: str | None = None,
) -> Path:
    """Writes the display-referred (H, W, 1) `plane` as a print at `path`, atomically.

    `metadata` is the photo's, carried over; `recipe_text` is stamped into
    the file. Returns the path written.
    """
    output = output or Output()
    destination = Path(path)
    vips = _deps.pyvips()
    codes = quantize(plane, 8 if output.format == "jpeg" else output.bits)
    try:
        image = _with_metadata(grey_image(codes), output.format, metadata)
        with atomic_destination(destination) as temporary:
            save(image, temporary, output, recipe_text)
    except vips.Error as error:
        raise PrintWriteError(destination, f"libvips could not encode it: {error}") from None
    except OSError as error:
        raise PrintWriteError(destination, error.strerror or str(error)) from None
    return destination
