"""Writing a print: quantised grey (or toned RGB) samples, metadata, and an atomic file write.

The print is a single-channel image: the display-referred plane clipped to
[0, 1] and rounded to 8 or 16 bits. It carries a grey ICC profile whose curve
is the sRGB encoding (libvips's built-in ``sgrey``), the photo's EXIF (with
orientation normal and no thumbnail) and XMP, and the recipe that made it.
A toned print is a three-channel (H, W, 3) plane, written the same way as
RGB samples with libvips's built-in sRGB profile.

Writes are atomic: the file is written under a temporary name in the output
folder, flushed to disk and renamed over the destination, so at any moment
the destination is either the complete old file, the complete new one, or
absent. A print can also be encoded to bytes or written to a binary file
object. The photo's resolution (dpi) is kept in every format.
"""

from __future__ import annotations

import contextlib
import functools
import os
from collections.abc import Iterator
from pathlib import Path
from typing import IO, Any, Final, overload

import numpy as np
import numpy.typing as npt

from ostrel import _deps, stamp, vipslock
from ostrel.errors import PrintWriteError
from ostrel.exif import exif_for_print
from ostrel.reading import Metadata
from ostrel.recipe import Output
from ostrel.rendering import quantize
from ostrel.temporaries import owned_temporary
from ostrel.xmp import exif_properties, merge_xmp

# The file name endings each print format answers to.
FORMAT_SUFFIXES: Final = {"tiff": (".tif", ".tiff"), "png": (".png",), "jpeg": (".jpg", ".jpeg", ".jpe")}


def check_suffix(path: str | os.PathLike[str], output: Output) -> None:
    """Refuses a print name whose extension is not the recipe's format (PNG bytes under .tif, say)."""
    destination = Path(path)
    suffix = destination.suffix.lower()
    if suffix not in FORMAT_SUFFIXES[output.format]:
        ends = f"ends in {destination.suffix}" if destination.suffix else "has no extension"
        raise PrintWriteError(
            destination,
            f"the name {ends} but the recipe's output format is {output.format}: name it "
            f"{destination.stem}{output.extension}, or choose the format with output.format",
        )


@functools.cache
def sgrey_profile() -> bytes:
    """libvips's grey ICC profile whose curve is the sRGB encoding."""
    return bytes(_deps.pyvips().Image.profile_load("sgrey"))


@functools.cache
def srgb_profile() -> bytes:
    """libvips's sRGB ICC profile, for toned prints."""
    return bytes(_deps.pyvips().Image.profile_load("srgb"))


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


def rgb_image(codes: npt.NDArray[np.uint8] | npt.NDArray[np.uint16]) -> Any:
    """A three-band libvips image over (H, W, 3) samples, tagged as sRGB."""
    vips = _deps.pyvips()
    interpretation = "rgb16" if codes.dtype == np.uint16 else "srgb"
    image = vips.Image.new_from_array(np.ascontiguousarray(codes), interpretation=interpretation).copy()
    image.set_type(vips.GValue.blob_type, "icc-profile-data", srgb_profile())
    return image


def print_picture(codes: npt.NDArray[np.uint8] | npt.NDArray[np.uint16]) -> Any:
    """The libvips image of quantised print samples: grey for (H, W[, 1]), sRGB for (H, W, 3)."""
    return rgb_image(codes) if codes.ndim == 3 and codes.shape[2] == 3 else grey_image(codes)


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
    if metadata.resolution is not None:
        image = image.copy(xres=metadata.resolution[0], yres=metadata.resolution[1])
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


def encode(image: Any, output: Output, recipe_text: str | None) -> bytes:
    """A prepared libvips image encoded as a print file, in memory."""
    fmt = output.format
    if recipe_text is not None:
        image = stamp.stamp(image, fmt, recipe_text)
    if fmt == "tiff":
        predictor = "none" if output.compression == "none" else "horizontal"
        return bytes(image.tiffsave_buffer(compression=output.compression, predictor=predictor))
    if fmt == "png":
        return bytes(image.pngsave_buffer())
    data = bytes(image.jpegsave_buffer(Q=output.quality))
    return stamp.jpeg_with_comment(data, recipe_text) if recipe_text is not None else data


def print_image(plane: npt.NDArray[np.float32], output: Output, metadata: Metadata | None) -> Any:
    """The libvips image of a print: quantised, grey- (or, toned, sRGB-) profiled, with the photo's metadata."""
    codes = quantize(plane, 8 if output.format == "jpeg" else output.bits)
    return _with_metadata(print_picture(codes), output.format, metadata)


def print_bytes(
    plane: npt.NDArray[np.float32],
    output: Output | None = None,
    *,
    metadata: Metadata | None = None,
    recipe_text: str | None = None,
) -> bytes:
    """The print file of the display-referred (H, W, 1) `plane` (toned: (H, W, 3)), as bytes."""
    output = output or Output()
    vips = _deps.pyvips()
    try:
        with vipslock.shared():
            return encode(print_image(plane, output, metadata), output, recipe_text)
    except vips.Error as error:
        raise PrintWriteError("<bytes>", f"libvips could not encode it: {error}") from None


@overload
def write_print(
    plane: npt.NDArray[np.float32],
    path: str | os.PathLike[str],
    output: Output | None = None,
    *,
    metadata: Metadata | None = None,
    recipe_text: str | None = None,
) -> Path: ...


@overload
def write_print(
    plane: npt.NDArray[np.float32],
    path: IO[bytes],
    output: Output | None = None,
    *,
    metadata: Metadata | None = None,
    recipe_text: str | None = None,
) -> None: ...


def write_print(
    plane: npt.NDArray[np.float32],
    path: str | os.PathLike[str] | IO[bytes],
    output: Output | None = None,
    *,
    metadata: Metadata | None = None,
    recipe_text: str | None = None,
) -> Path | None:
    """Writes the display-referred (H, W, 1) `plane` (toned: (H, W, 3)) as a print at `path`, atomically.

    `metadata` is the photo's, carried over; `recipe_text` is stamped into
    the file. Returns the path written. `path` may instead be a binary file
    object, written from its position (nothing is returned). A path whose
    extension is not the format's is refused (`PrintWriteError`).
    """
    output = output or Output()
    if not isinstance(path, (str, os.PathLike)):
        path.write(print_bytes(plane, output, metadata=metadata, recipe_text=recipe_text))
        return None
    destination = Path(path)
    check_suffix(destination, output)
    vips = _deps.pyvips()
    try:
        image = print_image(plane, output, metadata)
        with atomic_destination(destination) as temporary, vipslock.shared():
            save(image, temporary, output, recipe_text)
    except vips.Error as error:
        raise PrintWriteError(destination, f"libvips could not encode it: {error}") from None
    except OSError as error:
        raise PrintWriteError(destination, error.strerror or str(error)) from None
    return destination
