"""HEIC photos (HEVC-coded HEIF, as phones write them), decoded through pillow-heif.

The libvips of ``pyvips-binary`` reads AVIF but has no HEVC decoder, so a
file whose brands say HEVC is decoded by libheif with libde265 (bundled in
pillow-heif's wheels) and handed on as a libvips image in memory, with its
EXIF, XMP and ICC profile (Display P3 on iPhones), so it is colour-managed
as any other photo. libheif applies the file's own transforms (rotation and
mirroring) while decoding; the EXIF orientation still says how the sensor
was held, so the image is marked upright to keep it from being turned twice.
"""

from __future__ import annotations

import io
import os
import struct
from typing import Any, Final

import numpy as np

from ostrel import _deps
from ostrel.errors import PhotoReadError

# Brands of HEVC-coded images and sequences; AVIF files carry avif/avis instead.
HEVC_BRANDS: Final = frozenset({b"heic", b"heix", b"heim", b"heis", b"hevc", b"hevx", b"hevm", b"hevs"})
AV1_BRANDS: Final = frozenset({b"avif", b"avis"})
DECODER: Final = "pillow-heif"
# Set on the images made here, so a reader knows the pixels are already decoded and upright.
MARK: Final = "ostrel-decoder"

# nclx colour primaries (ISO/IEC 23091-2) with a profile libvips has built in:
# 12 is Display P3 (P3 primaries, D65 white); 1 (BT.709) and 2 (unspecified) are sRGB's.
_NCLX_PROFILES: Final = {12: "p3"}


def brands(head: bytes) -> frozenset[bytes]:
    """The major and compatible brands of an ISO base media file's ftyp box, or nothing."""
    if len(head) < 16 or head[4:8] != b"ftyp":
        return frozenset()
    size = struct.unpack(">I", head[:4])[0]
    box = head[8 : min(size, len(head))]
    return frozenset(box[i : i + 4] for i in range(0, len(box) - 3, 4) if i != 4)  # skip minor_version


def is_hevc(head: bytes) -> bool:
    """Whether the first bytes of a file are those of an HEVC-coded HEIF (HEIC), not AVIF."""
    return head[8:12] not in AV1_BRANDS and bool(brands(head) & HEVC_BRANDS)


def _open(source: str | os.PathLike[str] | bytes) -> Any:
    pillow_heif = _deps.pillow_heif()
    target = io.BytesIO(source) if isinstance(source, bytes) else os.fspath(source)
    try:
        return pillow_heif.open_heif(target, convert_hdr_to_8bit=False)
    except (ValueError, RuntimeError, OSError, EOFError) as error:
        raise PhotoReadError(_name(source), f"cannot decode this HEIC file: {error}") from None


def _name(source: str | os.PathLike[str] | bytes) -> object:
    return "<bytes>" if isinstance(source, bytes) else source


def dimensions(source: str | os.PathLike[str] | bytes) -> tuple[int, int]:
    """Width and height of the primary image as decoded (its transforms applied), without decoding it."""
    width, height = _open(source).size
    return int(width), int(height)


def load(source: str | os.PathLike[str] | bytes) -> Any:
    """The primary image as a libvips image: sRGB (8 or 16-bit) codes, metadata attached, upright."""
    vips = _deps.pyvips()
    heif = _open(source)
    try:
        primary = heif[heif.primary_index]
        mode: str = primary.mode
        data = primary.data
        stride = int(primary.stride)
    except (ValueError, RuntimeError, OSError) as error:
        raise PhotoReadError(_name(source), f"cannot decode this HEIC file: {error}") from None
    width, height = (int(n) for n in primary.size)
    sixteen = mode.endswith(";16")
    bands = 4 if mode.partition(";")[0] in ("RGBA", "RGBa") else 3
    dtype = np.dtype("<u2") if sixteen else np.dtype(np.uint8)
    rows = np.frombuffer(data, np.uint8).reshape(height, stride)[:, : width * bands * dtype.itemsize]
    samples = np.ascontiguousarray(rows).view(dtype).reshape(height, width, bands)
    image = vips.Image.new_from_array(
        samples.astype(np.uint16) if sixteen else samples, interpretation="rgb16" if sixteen else "srgb"
    ).copy()
    info = primary.info
    profile = info.get("icc_profile") if info.get("icc_profile_type") != "nclx" else None
    if not profile:
        nclx = info.get("nclx_profile") or {}
        name = _NCLX_PROFILES.get(int(nclx.get("color_primaries", 2))) if isinstance(nclx, dict) else None
        profile = bytes(vips.Image.profile_load(name)) if name else None
    if profile:
        image.set_type(vips.GValue.blob_type, "icc-profile-data", bytes(profile))
    if info.get("exif"):
        image.set_type(vips.GValue.blob_type, "exif-data", _exif_block(bytes(info["exif"])))
    if info.get("xmp"):
        image.set_type(vips.GValue.blob_type, "xmp-data", bytes(info["xmp"]))
    image.set_type(vips.GValue.gint_type, "orientation", 1)  # libheif has turned it already
    image.set_type(vips.GValue.gstr_type, MARK, DECODER)
    return image


def _exif_block(exif: bytes) -> bytes:
    """EXIF as JPEG files keep it (``Exif\\0\\0`` and a TIFF structure), as the rest of the tool expects."""
    return exif if exif.startswith(b"Exif\0\0") else b"Exif\0\0" + exif


def decoded_here(image: Any) -> bool:
    """Whether a libvips image was decoded by this module (its pixels in memory, upright)."""
    return MARK in image.get_fields()
