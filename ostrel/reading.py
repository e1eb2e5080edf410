"""Reading a photo file as scene-linear RGB, ready for the kernels.

Every decode goes through libvips, except camera RAW files, which LibRaw
(rawpy) develops. Whatever the file, the result is the same kind of array: a
C-contiguous float32 ``(H, W, 3)`` image of linear light with sRGB/Rec.709
primaries, upright (the EXIF orientation applied), grey inputs spread to
R = G = B and any alpha channel dropped. An embedded ICC profile is honoured
(Display P3, Adobe RGB, CMYK ...); an untagged file is taken as sRGB. HEIC
photos are decoded by pillow-heif (see `ostrel.heif`), the rest alike. A
photo can also be read from bytes or a binary file object.
"""

from __future__ import annotations

import functools
import os
import tempfile
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any, Final

import numpy as np
import numpy.typing as npt

from ostrel import _deps, heif, vipslock
from ostrel.errors import PhotoReadError
from ostrel.exif import ExifTags, baseline_exposure, inspect_tiff, parse_exif_block
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
    resolution: tuple[float, float] | None = None  # pixels per millimetre (x, y), as libvips keeps it

    def exif_tags(self) -> ExifTags:
        """The EXIF facts, from whichever source the photo had."""
        return parse_exif_block(self.exif) if self.exif else self.tiff_tags

    @property
    def dpi(self) -> tuple[float, float] | None:
        """The resolution in pixels per inch, when the photo states one."""
        return None if self.resolution is None else (self.resolution[0] * 25.4, self.resolution[1] * 25.4)

    def __repr__(self) -> str:
        from ostrel.display import metadata_repr

        return metadata_repr(self)


@dataclass(frozen=True, repr=False)
class Photo:
    """A decoded photo: scene-linear RGB pixels and the metadata to carry over.

    `path` is None for a photo read from bytes or a file object without a name.
    In a notebook a photo shows itself (`_repr_png_`, a reduced sRGB copy).
    """

    path: Path | None
    pixels: FloatImage
    metadata: Metadata
    scale: float = 1.0  # below 1 when read reduced (`max_size`)
    scene_referred: bool = False  # camera RAW sensor data, developed linearly
    baseline_exposure: float | None = None  # a DNG's BaselineExposure, in stops

    def __repr__(self) -> str:
        from ostrel.display import photo_repr

        return photo_repr(self)

    def _repr_png_(self) -> bytes:
        from ostrel.display import rgb_png

        return rgb_png(self.pixels)

    @property
    def height(self) -> int:
        return int(self.pixels.shape[0])

    @property
    def width(self) -> int:
        return int(self.pixels.shape[1])


PhotoSource = str | os.PathLike[str] | bytes | bytearray | memoryview | IO[bytes]


def read_image(source: PhotoSource) -> FloatImage:
    """The photo (a path, bytes or a binary file object) as a C-contiguous float32 (H, W, 3) scene-linear RGB array."""
    return read_photo(source).pixels


Allocate = Callable[[tuple[int, ...]], FloatImage]


def _new_array(shape: tuple[int, ...]) -> FloatImage:
    return np.empty(shape, np.float32)


def read_photo(path: PhotoSource, *, max_size: int | None = None, allocate: Allocate = _new_array) -> Photo:
    """Decodes the photo at `path`, or in bytes or a binary file object (read from its position).

    With `max_size`, an image whose longer side is larger comes back reduced
    to that size (resized in linear light), for previews. `allocate` gives the
    C-contiguous float32 array the pixels are decoded into (a batch reuses
    them, see `ostrel.buffers`).
    """
    if not isinstance(path, (str, os.PathLike)):
        return _read_memory(path, max_size, allocate)
    source = Path(path)
    is_raw, tiff_tags = _classify(source)
    if is_raw:
        pixels = _develop_raw(source, allocate)
        longest = max(pixels.shape[:2])
        if max_size is not None and longest > max_size:
            pixels = _shrink_array(pixels, longest / max_size)
        return Photo(
            source,
            pixels,
            Metadata(tiff_tags=tiff_tags),
            max(pixels.shape[:2]) / longest,
            scene_referred=True,
            baseline_exposure=baseline_exposure(tiff_tags),
        )
    pixels, metadata, scale = _decode(source, max_size, allocate)
    if tiff_tags:
        metadata = Metadata(metadata.exif, metadata.xmp, tiff_tags, metadata.resolution)
    return Photo(source, pixels, metadata, scale)


def _read_memory(data: bytes | bytearray | memoryview | IO[bytes], max_size: int | None, allocate: Allocate) -> Photo:
    """A photo held in memory or an open file, decoded through a private temporary copy.

    The copy keeps the name's extension (camera RAW formats are told apart by
    it), so everything a file gets, a stream gets too.
    """
    name = getattr(data, "name", None)
    label = Path(os.fsdecode(name)) if isinstance(name, (str, bytes)) and name else None
    content: object = bytes(data) if isinstance(data, (bytes, bytearray, memoryview)) else data.read()
    if not isinstance(content, bytes):
        kind = type(content).__name__
        raise TypeError(f"read_photo needs a binary file object (opened with 'rb'), not one that gives {kind}")
    suffix = label.suffix if label is not None else ""
    with tempfile.TemporaryDirectory(prefix="ostrel-") as folder:
        spooled = Path(folder) / f"photo{suffix}"
        spooled.write_bytes(content)
        try:
            photo = read_photo(spooled, max_size=max_size, allocate=allocate)
        except PhotoReadError as error:
            raise PhotoReadError(label or "<bytes>", error.reason) from None
    return Photo(label, photo.pixels, photo.metadata, photo.scale)


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


def _head(path: Path, size: int = 16) -> bytes:
    try:
        with open_regular(path) as handle:
            return handle.read(size)
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
# (`ostrel.vipslock`), and that try's message is the one reported; failures
# are rare, so the extra try costs little.
_DIAGNOSIS_TRIES: Final = 2


def _decode(path: Path, max_size: int | None, allocate: Allocate) -> tuple[FloatImage, Metadata, float]:
    vips = _deps.pyvips()
    # Only the reason is kept, never the exception: its traceback holds the
    # failed decode's libvips images in a reference cycle with this frame.
    try:
        with vipslock.shared():
            return _decode_once(path, max_size, allocate)
    except vips.Error as error:
        reason = _vips_reason(error)
    for _ in range(_DIAGNOSIS_TRIES):
        with vipslock.alone():
            try:
                return _decode_once(path, max_size, allocate)
            except vips.Error as error:
                reason = _vips_reason(error)
                explained = bool(str(getattr(error, "detail", "")).strip())
        if explained:
            break
    raise PhotoReadError(path, reason) from None


def printable(path: str | os.PathLike[str]) -> str:
    """The path as valid UTF-8 text: bytes that are not UTF-8 (an old archive's
    Latin-1 names, say) shown as escapes instead of failing to print."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def open_image(path: str | os.PathLike[str], **options: object) -> Any:
    """A libvips image of the file at `path`, whatever bytes its name holds.

    libvips takes file names as UTF-8; a name that is not is read from memory.
    A HEIC photo comes decoded by pillow-heif (`ostrel.heif`), its pixels in
    memory and upright; the options are then moot.
    """
    vips = _deps.pyvips()
    name = os.fspath(path)
    if heif.is_hevc(_head(Path(name), 32)):
        return heif.load(name)
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
    image = header if heif.decoded_here(header) else open_image(path, access=access, fail_on="error")
    metadata = Metadata(
        exif=header.get("exif-data") if "exif-data" in fields else None,
        xmp=header.get("xmp-data") if "xmp-data" in fields else None,
        resolution=_resolution(header),
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
        if heif.is_hevc(_head(Path(path), 32)):
            width, height = heif.dimensions(path)
            return width * height
        header = open_image(path)
    except (vips.Error, PhotoReadError):
        return None
    return int(header.width) * int(header.height)


def _resolution(image: Any) -> tuple[float, float] | None:
    """The image's stated resolution (pixels per millimetre), or None when the file states none."""
    if heif.decoded_here(image):
        return None
    resolution = (float(image.xres), float(image.yres))
    # libvips's default, 1 pixel per millimetre, is what a file that states none gets.
    return None if resolution == (1.0, 1.0) else resolution


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
                resolution=_resolution(image),
            )
            self._linear = _to_scrgb(image)
        except vips.Error as error:
            raise PhotoReadError(self.path, _vips_reason(error)) from None
        if _head(self.path)[:4] in _TIFF_MAGIC:
            self.metadata = Metadata(
                self.metadata.exif, self.metadata.xmp, inspect_tiff(self.path).tags, self.metadata.resolution
            )
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
