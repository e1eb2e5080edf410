"""Reading a photo file as scene-linear RGB, ready for the kernels.

Every decode goes through libvips, except camera RAW files, which LibRaw
(rawpy) develops. Whatever the file, the result is the same kind of array: a
C-contiguous float32 ``(H, W, 3)`` image of linear light with sRGB/Rec.709
primaries, upright (the EXIF orientation applied), grey inputs spread to
R = G = B and any alpha channel dropped. An embedded ICC profile is honoured
(Display P3, Adobe RGB, CMYK ...); an untagged file is taken as sRGB.
"""

from __future__ import annotations

import functools
import os
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from ostrel import _deps
from ostrel.errors import PhotoReadError
from ostrel.exif import ExifTags, inspect_tiff, parse_exif_block
from ostrel.inputs import open_regular, raw_failure

RAW_EXTENSIONS: Final = frozenset(
    [
        ".dng",
        ".cr2",
        ".cr3",
        ".crw",
        ".nef",
        ".nrw",
        ".arw",
        ".srf",
        ".sr2",
        ".raf",
        ".orf",
        ".rw2",
        ".rwl",
        ".pef",
        ".srw",
        ".x3f",
        ".3fr",
        ".fff",
        ".iiq",
        ".erf",
        ".kdc",
        ".dcr",
        ".mos",
        ".mef",
        ".mrw",
        ".raw",
    ]
)
IMAGE_EXTENSIONS: Final = (
    frozenset([".jpg", ".jpeg", ".jpe", ".png", ".tif", ".tiff", ".webp", ".heic", ".heif", ".avif"]) | RAW_EXTENSIONS
)

_TIFF_MAGIC: Final = (b"II*\0", b"MM\0*")

FloatImage = npt.NDArray[np.float32]


@dataclass(frozen=True)
class Metadata:
    """What a print carries over from its photo.

    `exif` is the EXIF block as JPEG, PNG and WebP files store it (``Exif\\0\\0``
    and a TIFF structure); `tiff_tags` holds the same facts read from the
    directories of a TIFF-structured file (TIFF, DNG, most camera RAW
    formats), which have no such block; `xmp` is the XMP packet.
    """

    exif: bytes | None = None
    xmp: bytes | None = None
    tiff_tags: ExifTags = field(default_factory=ExifTags)

    def exif_tags(self) -> ExifTags:
        """The EXIF facts, from whichever source the photo had."""
        return parse_exif_block(self.exif) if self.exif else self.tiff_tags


@dataclass(frozen=True)
class Photo:
    """A decoded photo: scene-linear RGB pixels and the metadata to carry over."""

    path: Path
    pixels: FloatImage
    metadata: Metadata
    scale: float = 1.0  # below 1 when read reduced (`max_size`)

    @property
    def height(self) -> int:
        return int(self.pixels.shape[0])

    @property
    def width(self) -> int:
        return int(self.pixels.shape[1])


def read_image(path: str | os.PathLike[str]) -> FloatImage:
    """The photo at `path` as a C-contiguous float32 (H, W, 3) scene-linear RGB array."""
    return read_photo(path).pixels


Allocate = Callable[[tuple[int, ...]], FloatImage]


def _new_array(shape: tuple[int, ...]) -> FloatImage:
    return np.empty(shape, np.float32)


def read_photo(path: str | os.PathLike[str], *, max_size: int | None = None, allocate: Allocate = _new_array) -> Photo:
    """Decodes `path`.

    With `max_size`, an image whose longer side is larger comes back reduced
    to that size (resized in linear light), for previews. `allocate` gives the
    C-contiguous float32 array the pixels are decoded into (a batch reuses
    them, see `ostrel.buffers`).
    """
    source = Path(path)
    is_raw, tiff_tags = _classify(source)
    if is_raw:
        pixels = _develop_raw(source, allocate)
        longest = max(pixels.shape[:2])
        if max_size is not None and longest > max_size:
            pixels = _shrink_array(pixels, longest / max_size)
        return Photo(source, pixels, Metadata(tiff_tags=tiff_tags), max(pixels.shape[:2]) / longest)
    pixels, metadata, scale = _decode(source, max_size, allocate)
    if tiff_tags:
        metadata = Metadata(metadata.exif, metadata.xmp, tiff_tags)
    return Photo(source, pixels, metadata, scale)


def _classify(source: Path) -> tuple[bool, ExifTags]:
    """Whether the file is a camera RAW (by extension, or a TIFF of sensor data), and its TIFF tags."""
    is_raw = source.suffix.lower() in RAW_EXTENSIONS
    if _head(source)[:4] in _TIFF_MAGIC:
        info = inspect_tiff(source)
        return is_raw or info.sensor_data, info.tags
    return is_raw, ExifTags()


def is_camera_raw(path: str | os.PathLike[str]) -> bool:
    """Whether the file goes to LibRaw rather than libvips; False for a file that cannot be opened."""
    try:
        return _classify(Path(path))[0]
    except PhotoReadError:
        return False


def _head(path: Path) -> bytes:
    try:
        with open_regular(path) as handle:
            return handle.read(16)
    except IsADirectoryError:
        raise PhotoReadError(path, "is a folder, not a photo") from None
    except FileNotFoundError:
        raise PhotoReadError(path, "no such file") from None
    except PermissionError:
        raise PhotoReadError(path, "permission denied") from None
    except ValueError as error:  # a FIFO, a device, a socket
        raise PhotoReadError(path, str(error)) from None
    except OSError as error:
        raise PhotoReadError(path, f"cannot open it: {error.strerror or error}") from None


def _develop_raw(path: Path, allocate: Allocate) -> FloatImage:
    rawpy = _deps.rawpy()
    try:
        with rawpy.imread(str(path)) as raw:
            # Linear (gamma 1) 16-bit output with sRGB primaries, as shot: the
            # camera's white balance and no automatic brightening. LibRaw would
            # also lower the white level to the brightest sample when that is
            # above 3/4 of it, which brightens a photo by its own content;
            # adjust_maximum_thr=0 keeps the file's stated white level.
            developed = raw.postprocess(
                gamma=(1, 1), no_auto_bright=True, output_bps=16, use_camera_wb=True, adjust_maximum_thr=0.0
            )
    except (rawpy.LibRawError, OSError) as error:
        raise PhotoReadError(path, raw_failure(path, _head(path), error)) from None
    if developed.ndim != 3 or developed.shape[2] not in (1, 3):
        raise PhotoReadError(path, f"camera RAW files of {developed.shape[-1]} channels are not supported")
    # A monochrome sensor develops to one channel: grey, spread to R = G = B.
    pixels = allocate((developed.shape[0], developed.shape[1], 3))
    np.divide(developed, np.float32(65535.0), out=pixels, dtype=np.float32)
    return pixels


def _vips_reason(error: Exception) -> str:
    detail = str(getattr(error, "detail", "") or getattr(error, "message", "") or error)
    lines = [line.strip() for line in detail.splitlines() if line.strip()]
    known = ("is not a known file format", "not a known file format")
    for line in lines:
        if any(text in line for text in known):
            return "not an image format this tool reads (JPEG, PNG, TIFF, WebP, HEIF or camera RAW)"
    for line in lines:
        if "premature end" in line.lower() or "truncated" in line.lower() or "out of data" in line.lower():
            return f"the file is truncated or damaged ({line})"
    return "cannot decode it: " + ("; ".join(lines) if lines else "libvips gave no reason")


# libvips keeps one error buffer per process: when decodes fail in several
# threads at once, one failure's message can land in another's exception, or
# be cleared before it is read. A failed decode is therefore tried again alone
# (other failures retry under the same lock), until libvips gives a reason;
# failures are rare, so the extra tries cost little.
_DIAGNOSIS: Final = threading.Lock()
_DIAGNOSIS_TRIES: Final = 3


def _decode(path: Path, max_size: int | None, allocate: Allocate) -> tuple[FloatImage, Metadata, float]:
    vips = _deps.pyvips()
    # Only the reason is kept, never the exception: its traceback holds the
    # failed decode's libvips images in a reference cycle with this frame.
    try:
        return _decode_once(path, max_size, allocate)
    except vips.Error as error:
        reason = _vips_reason(error)
    with _DIAGNOSIS:
        for _ in range(_DIAGNOSIS_TRIES):
            try:
                return _decode_once(path, max_size, allocate)
            except vips.Error as error:
                reason = _vips_reason(error)
                if str(getattr(error, "detail", "")).strip():
                    break
    raise PhotoReadError(path, reason) from None


def printable(path: str | os.PathLike[str]) -> str:
    """The path as valid UTF-8 text: bytes that are not UTF-8 (an old archive's
    Latin-1 names, say) shown as escapes instead of failing to print."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def open_image(path: str | os.PathLike[str], **options: object) -> Any:
    """A libvips image of the file at `path`, whatever bytes its name holds.

    libvips takes file names as UTF-8; a name that is not is read from memory.
    """
    vips = _deps.pyvips()
    name = os.fspath(path)
    if printable(name) == name:
        return vips.Image.new_from_file(name, **options)
    with open(name, "rb") as handle:
        data = handle.read()
    return vips.Image.new_from_buffer(data, "", **options)


def _decode_once(path: Path, max_size: int | None, allocate: Allocate) -> tuple[FloatImage, Metadata, float]:
    vips = _deps.pyvips()
    header = open_image(path)
    fields = set(header.get_fields())
    longest = max(header.width, header.height)
    shrink = longest / max_size if max_size is not None and longest > max_size else 1.0
    upright = "orientation" not in fields or header.get("orientation") in (0, 1)
    # A sequential read streams the decode; turning the image needs it whole.
    access = "sequential" if upright and shrink == 1 else "random"
    image = open_image(path, access=access, fail_on="error")
    metadata = Metadata(
        exif=header.get("exif-data") if "exif-data" in fields else None,
        xmp=header.get("xmp-data") if "xmp-data" in fields else None,
    )
    image = image.autorot()
    linear = _to_scrgb(image)
    if shrink > 1:
        linear = linear.resize(1 / shrink, kernel="linear")
    pixels = allocate((linear.height, linear.width, 3))
    # libvips writes the decode straight into the array, in parallel.
    linear.write(vips.Image.new_from_memory(pixels.data, linear.width, linear.height, 3, "float"))
    return pixels, metadata, max(pixels.shape[:2]) / longest


def image_size(path: str | os.PathLike[str]) -> tuple[int, int] | None:
    """(width, height) from the file's header; None for camera RAW or a header libvips cannot read.

    Raises PhotoReadError for what is no photo file at all (missing, a folder,
    a FIFO or a device), before libvips would open it.
    """
    source = Path(path)
    if _classify(source)[0]:
        return None
    vips = _deps.pyvips()
    try:
        header = open_image(source)
    except vips.Error:
        return None
    return int(header.width), int(header.height)


def pixel_count(path: str | os.PathLike[str]) -> int | None:
    """Width times height from the file's header, or None when libvips cannot open it (camera RAW, damage)."""
    vips = _deps.pyvips()
    try:
        header = open_image(path)
    except vips.Error:
        return None
    return int(header.width) * int(header.height)


class RegionReader:
    """Scene-linear RGB of a photo, decoded by region on demand (for `dask.array.from_array`).

    Indexing with slices decodes just that region through libvips: tiled TIFFs
    read only the tiles it covers; JPEG and PNG, which cannot seek, are decoded
    once into libvips's disc cache and read from there. The pixels are as
    stored: apply `orientation` (EXIF) afterwards.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)
        vips = _deps.pyvips()
        try:
            image = open_image(self.path, access="random", fail_on="error")
            fields = set(image.get_fields())
            self.orientation = int(image.get("orientation")) if "orientation" in fields else 1
            self.metadata = Metadata(
                exif=image.get("exif-data") if "exif-data" in fields else None,
                xmp=image.get("xmp-data") if "xmp-data" in fields else None,
            )
            self._linear = _to_scrgb(image)
        except vips.Error as error:
            raise PhotoReadError(self.path, _vips_reason(error)) from None
        if _head(self.path)[:4] in _TIFF_MAGIC:
            self.metadata = Metadata(self.metadata.exif, self.metadata.xmp, inspect_tiff(self.path).tags)
        self.shape = (int(self._linear.height), int(self._linear.width), 3)
        self.dtype = np.dtype(np.float32)
        self.ndim = 3

    def __getitem__(self, key: tuple[slice, ...]) -> FloatImage:
        vips = _deps.pyvips()
        rows, columns = (k.indices(n) for k, n in zip(key[:2], self.shape[:2], strict=True))
        top, bottom, left, right = rows[0], rows[1], columns[0], columns[1]
        height, width = max(0, bottom - top), max(0, right - left)
        pixels = np.empty((height, width, 3), np.float32)
        if height and width:
            try:
                region = self._linear.crop(left, top, width, height)
                region.write(vips.Image.new_from_memory(pixels.data, width, height, 3, "float"))
            except vips.Error as error:
                raise PhotoReadError(self.path, _vips_reason(error)) from None
        return pixels[:, :, key[2]] if len(key) > 2 else pixels


def _to_scrgb(image: Any) -> Any:
    """Linear light with sRGB primaries, three float bands, no alpha."""
    vips = _deps.pyvips()
    if image.hasalpha():
        image = image.extract_band(0, n=image.bands - 1)
    profile = image.get("icc-profile-data") if "icc-profile-data" in image.get_fields() else None
    if image.interpretation == "cmyk":
        # Through the file's profile, or libvips's own CMYK profile when untagged.
        image = image.icc_import(pcs="xyz", embedded=True, input_profile="cmyk")
    elif profile is not None and not _profile_is_srgb(bytes(profile), image.bands):
        image = image.icc_import(pcs="xyz", embedded=True)
    image = image.colourspace("scrgb")
    if image.bands == 1:
        image = image.bandjoin([image, image])
    elif image.bands > 3:
        image = image.extract_band(0, n=3)
    return image.cast(vips.BandFormat.FLOAT)


# The largest difference (linear light) between a profile's transform and the
# sRGB definition that still counts as "this is sRGB": the spread seen among
# the common sRGB profiles is below 1e-3, while the nearest wide-gamut spaces
# differ by more than 0.02 on saturated colours.
_SRGB_TOLERANCE: Final = 2e-3


@functools.lru_cache(maxsize=64)
def _profile_is_srgb(profile: bytes, bands: int) -> bool:
    """Whether a profile maps colours as sRGB does, so the direct route gives the same light.

    Most camera and phone JPEGs embed an sRGB profile; recognising it by what
    it does (not by its name) keeps those files on libvips's fast sRGB decode.
    """
    vips = _deps.pyvips()
    if bands not in (3, 4):
        return False
    levels = np.linspace(0, 255, 6).round().astype(np.uint8)
    grid = np.stack(np.meshgrid(levels, levels, levels, indexing="ij"), axis=-1).reshape(1, -1, 3)
    probe = vips.Image.new_from_array(np.ascontiguousarray(grid), interpretation="srgb").copy()
    probe.set_type(vips.GValue.blob_type, "icc-profile-data", profile)
    try:
        managed = probe.icc_import(pcs="xyz", embedded=True).colourspace("scrgb").numpy()
    except vips.Error:
        return False
    direct = probe.colourspace("scrgb").numpy()
    return bool(np.max(np.abs(managed - direct)) <= _SRGB_TOLERANCE)


def _shrink_array(pixels: FloatImage, factor: float) -> FloatImage:
    vips = _deps.pyvips()
    image = vips.Image.new_from_array(pixels, interpretation="scrgb")
    return np.ascontiguousarray(image.resize(1 / factor, kernel="linear").numpy(), dtype=np.float32)
