"""The optional libraries of the photo tool, imported on first use.

`import ostrel` stays cheap and works without the `tool` extra (recipes and
presets need only the standard library); the first read or write asks for
libvips, and the first camera RAW file for LibRaw, with a clear message when
the extra is missing.
"""

from __future__ import annotations

import functools
import importlib
from types import ModuleType

from ostrel.errors import MissingDependencyError


def _require(name: str, package: str, extra: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(name)
    except (ImportError, OSError) as error:  # OSError: a wheel's shared library failed to load
        raise MissingDependencyError(package, extra, purpose) from error


@functools.cache
def pyvips() -> ModuleType:
    from ostrel.vipslog import keep_python_out_of_logging

    vips = _require("pyvips", "pyvips", "tool", "reading and writing photos")
    keep_python_out_of_logging(vips)  # see ostrel.vipslog: an abort otherwise
    return vips


@functools.cache
def rawpy() -> ModuleType:
    return _require("rawpy", "rawpy", "raw", "reading camera RAW files")


@functools.cache
def dask_array() -> ModuleType:
    return _require("dask.array", "dask", "dask", "tiled conversion of large images")


@functools.cache
def tifffile() -> ModuleType:
    return _require("tifffile", "tifffile", "dask", "writing tiled BigTIFF prints")


@functools.cache
def distributed() -> ModuleType:
    return _require("distributed", "distributed", "dask", "running batches on a Dask cluster")


@functools.cache
def pillow_heif() -> ModuleType:
    return _require("pillow_heif", "pillow-heif", "tool", "reading HEIC photos")


@functools.cache
def pil_image() -> ModuleType:
    return _require("PIL.Image", "pillow", "tool", "converting to and from Pillow images")
