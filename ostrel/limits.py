"""The limits the tool keeps to, in one place: photos, disc, recipes.

A photo: at most `DEFAULT_MAX_PIXELS` (4 gigapixels, above the largest real
scans and panoramas; ``--max-pixels`` raises it). A larger header is a
decompression bomb or a mistake, refused before any pixel is decoded.

Disc: a photo that cannot be read by region (JPEG, PNG, WebP) is decoded
into libvips's disc cache for a tiled print; that needs its decoded size free
in the temporary folder, and a tiled print needs its own size (uncompressed;
a third of it compressed) free beside it. Both are checked before starting.

Recipes: a file is a regular file of at most `MAX_RECIPE_BYTES`; TOML
nesting at most `MAX_TOML_DEPTH` deep, with at most `MAX_TOML_ITEMS`
values. The range of each setting is declared with it (`ostrel.settings`).
"""

from __future__ import annotations

import os
import shutil
import stat
import tempfile
from collections.abc import Mapping
from typing import Final

import numpy as np

DEFAULT_MAX_PIXELS: Final = 4_000_000_000
MAX_RECIPE_BYTES: Final = 1 << 20
MAX_TOML_DEPTH: Final = 8
MAX_TOML_ITEMS: Final = 10_000
FLOAT32_MAX: Final = float(np.finfo(np.float32).max)
FLOAT32_TINY: Final = float(np.finfo(np.float32).tiny)


class LimitError(ValueError):
    """A value beyond a limit; `key` names the setting, `reason` says which limit."""

    def __init__(self, key: str, value: object, reason: str) -> None:
        self.key = key
        self.value = value
        self.reason = reason
        super().__init__(f"{key} = {value!r}: {reason}")


def check_toml_shape(text: str) -> None:
    """Refuses TOML text too large or nested too deep to be a recipe, before parsing it."""
    if len(text) > MAX_RECIPE_BYTES:
        raise LimitError("recipe", f"{len(text)} characters", f"a recipe is at most {MAX_RECIPE_BYTES} bytes")
    depth = deepest = 0
    in_string: str | None = None
    escaped = False
    for char in text:  # brackets outside strings ([table] headers close on their line)
        if in_string:
            if escaped:
                escaped = False
            elif char == "\\" and in_string == '"':
                escaped = True
            elif char == in_string:
                in_string = None
        elif char in "\"'":
            in_string = char
        elif char in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif char in "]}":
            depth = max(0, depth - 1)
    if deepest > MAX_TOML_DEPTH:
        raise LimitError("recipe", f"nested {deepest} deep", f"a recipe nests at most {MAX_TOML_DEPTH} deep")


def check_toml_items(table: Mapping[str, object]) -> None:
    """Refuses a parsed recipe of more than `MAX_TOML_ITEMS` values in all."""
    count = 0
    stack: list[object] = [table]
    while stack:
        item = stack.pop()
        if isinstance(item, Mapping):
            count += len(item)
            stack.extend(item.values())
        elif isinstance(item, list):
            count += len(item)
            stack.extend(item)
        if count > MAX_TOML_ITEMS:
            raise LimitError("recipe", "too many values", f"a recipe holds at most {MAX_TOML_ITEMS} values")


def read_recipe_text(path: str) -> str:
    """The text of a recipe file: a regular file of at most `MAX_RECIPE_BYTES`.

    LimitError for anything else (``/dev/zero``, a FIFO, a huge file);
    OSError and UnicodeDecodeError as `open` gives them.
    """
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    with os.fdopen(descriptor, "rb") as handle:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise LimitError("recipe", path, "not a regular file; a recipe is a TOML file")
        os.set_blocking(descriptor, True)
        data = handle.read(MAX_RECIPE_BYTES + 1)
    if len(data) > MAX_RECIPE_BYTES:
        raise LimitError("recipe", path, f"larger than {MAX_RECIPE_BYTES // 1024} KiB; a recipe is a small TOML file")
    return data.decode("utf-8")


def gigapixels(pixels: int) -> str:
    return f"{pixels / 1e9:.3g} gigapixels" if pixels >= 10**8 else f"{pixels / 1e6:.3g} megapixels"


def pixel_limit_reason(width: int, height: int, limit: int) -> str | None:
    """Why a photo of this size is refused, or None."""
    if width * height <= limit:
        return None
    return (
        f"{width} x {height} is {gigapixels(width * height)}, above the limit of {gigapixels(limit)} "
        "a photo; raise it with --max-pixels if this is a real scan"
    )


def _gb(size: float) -> str:
    return f"{size / 1e9:.3g} GB"


def disc_cache_reason(decoded_bytes: int) -> str | None:
    """Why libvips's disc cache cannot take a decode of this size, or None."""
    folder = os.environ.get("TMPDIR") or tempfile.gettempdir()
    try:
        free = shutil.disk_usage(folder).free
    except OSError:
        return None
    if decoded_bytes <= free * 0.9:
        return None
    return (
        f"decoding it for a tiled print needs {_gb(decoded_bytes)} of temporary disc space in {folder}, "
        f"and {_gb(free)} is free (set TMPDIR to a larger disc)"
    )


def print_space_reason(folder: str | os.PathLike[str], print_bytes: int) -> str | None:
    """Why a print of about `print_bytes` does not fit in `folder`'s filesystem, or None."""
    try:
        free = shutil.disk_usage(folder).free
    except OSError:
        return None
    if print_bytes <= free:
        return None
    return f"no space left on the device: the print needs about {_gb(print_bytes)} and {_gb(free)} is free"
