"""EXIF as TIFF directories: reading tags, and the two edits a print needs.

EXIF is a small TIFF structure: a header naming the byte order, then
directories (IFDs) of 12-byte entries. JPEG, PNG and WebP files carry it as a
block (``Exif\\0\\0`` then the structure); TIFF files and most camera RAW
formats *are* the structure. This module reads the entries of IFD0 and of its
EXIF and GPS sub-directories with their TIFF types, so they can be restated as
XMP, and edits an EXIF block for a print: orientation reset to normal and the
embedded thumbnail (IFD1) dropped, since it shows the colour original.
"""

from __future__ import annotations

import mmap
import struct
from dataclasses import dataclass, field
from pathlib import Path
from typing import Final

EXIF_PREFIX: Final = b"Exif\x00\x00"
EXIF_IFD_TAG: Final = 0x8769
GPS_IFD_TAG: Final = 0x8825
ORIENTATION_TAG: Final = 0x0112
SUB_IFDS_TAG: Final = 0x014A
PHOTOMETRIC_TAG: Final = 0x0106
DNG_VERSION_TAG: Final = 0xC612
# Photometric interpretations of sensor data: a colour filter array mosaic,
# or demosaicked but still camera-referred ("linear raw").
SENSOR_PHOTOMETRICS: Final = frozenset({32803, 34892})

# TIFF field types: (struct code, size in bytes). RATIONAL and SRATIONAL are
# two of their integers each.
_TYPES: Final = {
    1: ("B", 1),
    2: ("s", 1),
    3: ("H", 2),
    4: ("I", 4),
    5: ("I", 8),
    6: ("b", 1),
    7: ("s", 1),
    8: ("h", 2),
    9: ("i", 4),
    10: ("i", 8),
    11: ("f", 4),
    12: ("d", 8),
    13: ("I", 4),
}
ASCII: Final = 2
UNDEFINED: Final = 7
RATIONAL_TYPES: Final = frozenset({5, 10})
# A directory this long is not EXIF; it is a damaged or hostile file.
_MAX_ENTRIES: Final = 4096
# Bounds on what one structure may make us copy: entries can point at the
# same bytes over and over, and directories back at each other. A value
# larger than MAX_VALUE_BYTES (real EXIF values are far smaller; ICC and XMP
# come through libvips) is dropped, and so is everything after
# MAX_TOTAL_BYTES, each with a note.
MAX_VALUE_BYTES: Final = 64 * 1024
MAX_TOTAL_BYTES: Final = 1 << 20

Value = str | bytes | tuple[int | float, ...] | tuple[tuple[int, int], ...]


@dataclass(frozen=True)
class Entry:
    """One directory entry: its TIFF type and decoded values.

    ASCII values are a `str`, UNDEFINED ones `bytes`, rationals a tuple of
    (numerator, denominator) pairs, everything else a tuple of numbers.
    """

    type: int
    value: Value


@dataclass(frozen=True)
class ExifTags:
    """The entries of IFD0 and of its EXIF and GPS directories, by tag number."""

    ifd0: dict[int, Entry] = field(default_factory=dict)
    exif: dict[int, Entry] = field(default_factory=dict)
    gps: dict[int, Entry] = field(default_factory=dict)
    notes: tuple[str, ...] = ()  # what was left out, and why (see `_Reader`)

    def __bool__(self) -> bool:
        return bool(self.ifd0 or self.exif or self.gps)


class _Reader:
    """Bounds-checked reads from a TIFF structure of a given byte order."""

    def __init__(self, data: bytes | mmap.mmap, start: int = 0) -> None:
        self.data = data
        self.start = start
        order = bytes(data[start : start + 2])
        if order == b"II":
            self.endian = "<"
        elif order == b"MM":
            self.endian = ">"
        else:
            raise ValueError("not a TIFF structure")
        if self.unpack("H", 2) != 42:
            raise ValueError("not a classic TIFF structure")
        self.budget = MAX_TOTAL_BYTES
        self.visited: set[int] = set()
        self.notes: list[str] = []

    def _note(self, text: str) -> None:
        if text not in self.notes and len(self.notes) < 8:
            self.notes.append(text)

    def unpack(self, code: str, offset: int, count: int = 1) -> int:
        size = struct.calcsize(code) * count
        begin = self.start + offset
        if offset < 0 or begin + size > len(self.data):
            raise ValueError("offset outside the structure")
        return int(struct.unpack_from(self.endian + code * count, self.data, begin)[0])

    def values(self, code: str, offset: int, count: int) -> tuple[int | float, ...]:
        size = struct.calcsize(code) * count
        begin = self.start + offset
        if offset < 0 or begin + size > len(self.data):
            raise ValueError("offset outside the structure")
        return tuple(struct.unpack_from(f"{self.endian}{count}{code}", self.data, begin))

    def raw(self, offset: int, size: int) -> bytes:
        begin = self.start + offset
        if offset < 0 or begin + size > len(self.data):
            raise ValueError("offset outside the structure")
        return bytes(self.data[begin : begin + size])

    def first_ifd(self) -> int:
        return self.unpack("I", 4)

    def ifd(self, offset: int) -> dict[int, Entry]:
        if offset in self.visited:
            self._note("EXIF: a directory pointing back at one already read was skipped")
            return {}
        self.visited.add(offset)
        count = self.unpack("H", offset)
        if count > _MAX_ENTRIES:
            raise ValueError("implausible directory")
        entries: dict[int, Entry] = {}
        for index in range(count):
            base = offset + 2 + 12 * index
            tag, kind, n = self.unpack("H", base), self.unpack("H", base + 2), self.unpack("I", base + 4)
            if kind not in _TYPES:
                continue
            code, size = _TYPES[kind]
            if size * n > MAX_VALUE_BYTES:
                self._note(f"EXIF: values over {MAX_VALUE_BYTES // 1024} KiB were left out")
                continue
            if size * n > self.budget:
                self._note(f"EXIF: entries past {MAX_TOTAL_BYTES // 1024} KiB in all were left out")
                continue
            self.budget -= size * n
            where = base + 8 if size * n <= 4 else self.unpack("I", base + 8)
            try:
                entries[tag] = Entry(kind, self._decode(kind, code, where, n))
            except ValueError:
                continue  # one bad entry does not spoil the others
        return entries

    def _decode(self, kind: int, code: str, where: int, n: int) -> Value:
        if kind == ASCII:
            return self.raw(where, n).split(b"\x00", 1)[0].decode("utf-8", "replace").strip()
        if kind == UNDEFINED:
            return self.raw(where, n)
        if kind in RATIONAL_TYPES:
            flat = self.values(code, where, 2 * n)
            return tuple((int(flat[i]), int(flat[i + 1])) for i in range(0, len(flat), 2))
        return self.values(code, where, n)

    def sub_ifd(self, entries: dict[int, Entry], tag: int) -> dict[int, Entry]:
        entry = entries.get(tag)
        if entry is None or not isinstance(entry.value, tuple) or not entry.value:
            return {}
        offset = entry.value[0]
        return self.ifd(int(offset)) if isinstance(offset, int) else {}


def _tags(reader: _Reader) -> ExifTags:
    ifd0 = reader.ifd(reader.first_ifd())
    exif, gps = reader.sub_ifd(ifd0, EXIF_IFD_TAG), reader.sub_ifd(ifd0, GPS_IFD_TAG)
    return ExifTags(ifd0, exif, gps, tuple(reader.notes))


def parse_exif_block(block: bytes) -> ExifTags:
    """The tags of an EXIF block; empty when it cannot be read."""
    start = len(EXIF_PREFIX) if block.startswith(EXIF_PREFIX) else 0
    try:
        return _tags(_Reader(block, start))
    except ValueError:
        return ExifTags()


@dataclass(frozen=True)
class TiffInfo:
    """What a TIFF-structured file says of itself: sensor data or a picture, and its tags."""

    sensor_data: bool
    tags: ExifTags


def inspect_tiff(path: Path) -> TiffInfo:
    """Reads the directories of a TIFF-structured file (TIFF, DNG, CR2, NEF, ARW ...)."""
    try:
        with open(path, "rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
            reader = _Reader(data)
            tags = _tags(reader)
            sensor = DNG_VERSION_TAG in tags.ifd0 or _has_sensor_data(reader, tags.ifd0)
    except (OSError, ValueError):
        return TiffInfo(False, ExifTags())
    return TiffInfo(sensor, tags)


def _has_sensor_data(reader: _Reader, ifd0: dict[int, Entry]) -> bool:
    directories = [ifd0]
    sub = ifd0.get(SUB_IFDS_TAG)
    if sub is not None and isinstance(sub.value, tuple):
        for offset in sub.value[:16]:
            if isinstance(offset, int):
                try:
                    directories.append(reader.ifd(offset))
                except ValueError:
                    continue
    for directory in directories:
        photometric = directory.get(PHOTOMETRIC_TAG)
        values = photometric.value if photometric is not None else ()
        if isinstance(values, tuple) and values and values[0] in SENSOR_PHOTOMETRICS:
            return True
    return False


def exif_for_print(block: bytes) -> bytes:
    """The EXIF block with orientation set to normal and the thumbnail (IFD1) dropped.

    IFD1 is unlinked by zeroing IFD0's next-directory offset; libvips rebuilds
    the block when it saves, leaving the unlinked bytes out. A block that
    cannot be read is returned unchanged.
    """
    start = len(EXIF_PREFIX) if block.startswith(EXIF_PREFIX) else 0
    try:
        reader = _Reader(block, start)
        ifd0 = reader.first_ifd()
        count = reader.unpack("H", ifd0)
        edited = bytearray(block)
        endian = reader.endian
        for index in range(count):
            base = ifd0 + 2 + 12 * index
            if reader.unpack("H", base) == ORIENTATION_TAG and reader.unpack("H", base + 2) == 3:
                struct.pack_into(endian + "H", edited, start + base + 8, 1)
        next_pointer = ifd0 + 2 + 12 * count
        reader.unpack("I", next_pointer)  # bounds check
        struct.pack_into(endian + "I", edited, start + next_pointer, 0)
    except (ValueError, struct.error):
        return block
    return bytes(edited)


BASELINE_EXPOSURE_TAG: Final = 50730


def baseline_exposure(tags: ExifTags) -> float | None:
    """A DNG's BaselineExposure (stops to add for a normal rendering), when it states a finite one."""
    entry = tags.ifd0.get(BASELINE_EXPOSURE_TAG)
    if entry is None or not isinstance(entry.value, tuple) or not entry.value:
        return None
    first = entry.value[0]
    if not isinstance(first, tuple) or first[1] == 0:
        return None
    stops = first[0] / first[1]
    return stops if -10.0 <= stops <= 10.0 else None
