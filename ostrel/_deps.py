"""The optional libraries of the photo tool, imported on first use.

`import ostrel` stays cheap and works without the `tool` extra (recipes and
presets need only the standard library); the first read or write asks for
libvips, and the first camera RAW file for LibRaw, with a clear message when
the extra is missing.
"""

from __future__ import annotations

import functools
from types import ModuleType
from typing import cast

from ostrel.errors import MissingDependencyError


@functools.cache
def pyvips() -> ModuleType:
    try:
        import pyvips as module
    except (ImportError, OSError) as error:  # OSError: the wheel's libvips failed to load
        raise MissingDependencyError("pyvips", "tool", "reading and writing photos") from error
    return cast(ModuleType, module)


@functools.cache
def rawpy() -> ModuleType:
    try:
        import rawpy as module
    except ImportError as error:
        raise MissingDependencyError("rawpy", "raw", "reading camera RAW files") from error
    return module


@functools.cache
def dask_array() -> ModuleType:
    try:
        import dask.array as module
    except ImportError as error:
        raise MissingDependencyError("dask", "dask", "tiled conversion of large images") from error
    return module


@functools.cache
def tifffile() -> ModuleType:
    try:
        import tifffile as module
    except ImportError as error:
        raise MissingDependencyError("tifffile", "dask", "writing tiled BigTIFF prints") from error
    return module


@functools.cache
def distributed() -> ModuleType:
    try:
        import distributed as module
    except ImportError as error:
        raise MissingDependencyError("distributed", "dask", "running batches on a Dask cluster") from error
    return module
