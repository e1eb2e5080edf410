# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""Real files for the tool's tests, made here with libvips (and tifffile for DNG)."""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np
import pytest

pyvips = pytest.importorskip("pyvips")


def srgb_decode(codes: np.ndarray) -> np.ndarray:
    """8- or 16-bit sRGB codes to linear light, in float64 (the IEC 61966-2-1 curve)."""
    v = codes.astype(np.float64) / np.iinfo(codes.dtype).max
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def srgb_encode(linear: np.ndarray) -> np.ndarray:
    v = np.clip(linear.astype(np.float64), 0.0, 1.0)
    return np.where(v <= 0.0031308, v * 12.92, 1.055 * v ** (1 / 2.4) - 0.055)


def scene(height: int = 40, width: int = 56, dtype: type = np.uint8, seed: int = 0) -> np.ndarray:
    """sRGB codes of a small scene: smooth colour ramps, saturated patches and noise."""
    top = np.iinfo(dtype).max
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    rgb = np.stack([x / (width - 1), y / (height - 1), 0.5 + 0.4 * np.sin(x / 5.0) * np.cos(y / 7.0)], axis=-1)
    rgb[: height // 4, : width // 4] = (0.9, 0.1, 0.1)
    rgb[: height // 4, width // 4 : width // 2] = (0.1, 0.8, 0.2)
    rgb += np.random.default_rng(seed).normal(0.0, 0.02, rgb.shape)
    return np.rint(np.clip(rgb, 0.0, 1.0) * top).astype(dtype)


def vips_image(codes: np.ndarray):
    """A libvips image over sRGB codes (H, W, 3) or grey codes (H, W)."""
    sixteen = codes.dtype == np.uint16
    if codes.ndim == 2 or codes.shape[2] == 1:
        interpretation = "grey16" if sixteen else "b-w"
    else:
        interpretation = "rgb16" if sixteen else "srgb"
    return pyvips.Image.new_from_array(np.ascontiguousarray(codes), interpretation=interpretation).copy()


def save(image, path: Path, **options) -> Path:
    suffix = path.suffix.lower()
    saver = {".png": "pngsave", ".tif": "tiffsave", ".jpg": "jpegsave", ".webp": "webpsave"}[suffix]
    getattr(image, saver)(str(path), **options)
    return path


def _ifd(entries: list[tuple[int, int, int, bytes]], next_offset: int, base: int) -> bytes:
    """One little-endian TIFF directory at `base`, its out-of-line values after it."""
    entries = sorted(entries)
    data_offset = base + 2 + 12 * len(entries) + 4
    head, data = struct.pack("<H", len(entries)), b""
    for tag, kind, count, payload in entries:
        if len(payload) <= 4:
            head += struct.pack("<HHI", tag, kind, count) + payload.ljust(4, b"\0")
        else:
            head += struct.pack("<HHII", tag, kind, count, data_offset + len(data))
            data += payload + (b"\0" if len(payload) % 2 else b"")
    return head + struct.pack("<I", next_offset) + data


def exif_block(
    orientation: int = 1,
    date_original: str = "2021:05:06 07:08:09",
    model: str = "Test Camera",
    exposure: tuple[int, int] = (1, 125),
    thumbnail: bytes | None = None,
) -> bytes:
    """An EXIF block as JPEG files carry it: IFD0, an EXIF directory and optionally IFD1 with a thumbnail."""
    model_bytes = model.encode() + b"\0"

    def ifd0(exif_offset: int, ifd1_offset: int) -> bytes:
        return _ifd(
            [
                (0x0112, 3, 1, struct.pack("<H", orientation)),
                (0x0110, 2, len(model_bytes), model_bytes),
                (0x8769, 4, 1, struct.pack("<I", exif_offset)),
            ],
            ifd1_offset,
            8,
        )

    exif_offset = 8 + len(ifd0(0, 0))
    date = date_original.encode() + b"\0"
    exif = _ifd(
        [
            (0x9003, 2, len(date), date),
            (0x829A, 5, 1, struct.pack("<II", *exposure)),
            (0x8827, 3, 1, struct.pack("<H", 200)),
        ],
        0,
        exif_offset,
    )
    ifd1_offset = exif_offset + len(exif) if thumbnail else 0
    block = b"II*\0" + struct.pack("<I", 8) + ifd0(exif_offset, ifd1_offset) + exif
    if thumbnail:
        thumbnail_offset = ifd1_offset + 2 + 12 * 3 + 4
        block += _ifd(
            [
                (0x0103, 3, 1, struct.pack("<H", 6)),
                (0x0201, 4, 1, struct.pack("<I", thumbnail_offset)),
                (0x0202, 4, 1, struct.pack("<I", len(thumbnail))),
            ],
            0,
            ifd1_offset,
        )
        block += thumbnail
    return b"Exif\0\0" + block


XMP_PACKET = (
    '<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>'
    '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
    '<rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/" '
    'xmlns:tiff="http://ns.adobe.com/tiff/1.0/" tiff:Orientation="6">'
    "<dc:creator><rdf:Seq><rdf:li>Ansel Tester</rdf:li></rdf:Seq></dc:creator>"
    "</rdf:Description></rdf:RDF></x:xmpmeta>"
    '<?xpacket end="w"?>'
).encode()


def with_metadata(image, *, exif: bytes | None = None, xmp: bytes | None = None, orientation: int | None = None):
    image = image.copy()
    if exif is not None:
        image.set_type(pyvips.GValue.blob_type, "exif-data", exif)
    if xmp is not None:
        image.set_type(pyvips.GValue.blob_type, "xmp-data", xmp)
    if orientation is not None:
        image.set_type(pyvips.GValue.gint_type, "orientation", orientation)
    return image


@pytest.fixture
def photo_png(tmp_path: Path) -> Path:
    return save(vips_image(scene()), tmp_path / "photo.png")


def read_samples(path: Path) -> np.ndarray:
    """The stored samples of an image file, as libvips decodes them (no colour conversion)."""
    return pyvips.Image.new_from_file(str(path)).numpy()
