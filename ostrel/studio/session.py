"""What the studio works on: the photos it was given, their decoded proxies, and the current recipe.

Each photo is decoded once, reduced to a proxy of at most `PROXY_SIZE` pixels
on its long side, and kept; the view-sized copies made from a proxy are kept
too, so a change of recipe never decodes or resizes again. The 1:1 loupe
needs the full-size pixels: those of the last photo looked at closely are kept
(one at a time, they are large). A photo that cannot be decoded keeps its
reason, which every request for it answers with.
"""

from __future__ import annotations

import glob
import os
import threading
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Final

import numpy as np

from ostrel import _deps
from ostrel.errors import PhotoReadError, RecipeError
from ostrel.reading import IMAGE_EXTENSIONS, Photo, open_image, read_photo
from ostrel.recipe import Recipe
from ostrel.studio import StudioError

PROXY_SIZE: Final = 2560
VIEW_SIZES_KEPT: Final = 6


def find_photos(inputs: Iterable[str | os.PathLike[str]]) -> tuple[list[Path], list[str]]:
    """The photos among `inputs` (files, folders, glob patterns, as for `convert`), and what was not found.

    A folder gives its photos in name order (hidden files and sub-folders
    left out); a file is taken as it is, whatever its name.
    """
    found: dict[str, Path] = {}
    missing: list[str] = []

    def folder(root: Path) -> None:
        try:
            names = sorted(os.listdir(root))
        except OSError as error:
            missing.append(f"{root}: cannot read this folder: {error.strerror}")
            return
        for name in names:
            path = root / name
            if not name.startswith(".") and path.suffix.lower() in IMAGE_EXTENSIONS and path.is_file():
                found.setdefault(os.path.realpath(path), path)

    for item in inputs:
        text = os.fspath(item)
        path = Path(text)
        if path.is_dir():
            folder(path)
        elif path.is_file():
            found.setdefault(os.path.realpath(path), path)
        elif glob.has_magic(text) and (matches := sorted(glob.glob(text))):
            for match in map(Path, matches):
                if match.is_dir():
                    folder(match)
                elif match.suffix.lower() in IMAGE_EXTENSIONS:
                    found.setdefault(os.path.realpath(match), match)
        else:
            missing.append(f"{text}: no such file or folder")
    return list(found.values()), missing


@dataclass
class Entry:
    """One input photo: its id, file, size (once known) and, after a failed decode, the reason."""

    id: str
    path: Path
    width: int | None = None
    height: int | None = None
    error: str | None = None

    def describe(self) -> dict[str, object]:
        return {
            "id": self.id,
            "name": self.path.name,
            "path": str(self.path),
            "width": self.width,
            "height": self.height,
            "bytes": _size(self.path),
            "error": self.error,
        }


def _size(path: Path) -> int | None:
    try:
        return path.stat().st_size
    except OSError:
        return None


def _reason(error: Exception) -> str:
    return str(getattr(error, "reason", "") or error)


class Session:
    """The studio's state, shared by its request threads (every method is safe to call from any of them)."""

    def __init__(self, paths: Iterable[Path], recipe: Recipe | None = None) -> None:
        self.entries: dict[str, Entry] = {str(index): Entry(str(index), path) for index, path in enumerate(paths)}
        self._recipe = recipe or Recipe()
        self.revision = 0
        self._lock = threading.Lock()
        self._decoding: dict[str, threading.Lock] = {}
        self._proxies: dict[str, Photo] = {}
        self._views: OrderedDict[tuple[str, int], Photo] = OrderedDict()
        self._full: tuple[str, Photo] | None = None
        self._full_lock = threading.Lock()

    # -- the photos -----------------------------------------------------------

    def entry(self, photo_id: str) -> Entry:
        """The photo with this id; only the inputs the studio was given have one."""
        try:
            return self.entries[photo_id]
        except KeyError:
            raise StudioError(f"no photo with the id {photo_id!r}", 404) from None

    def photos(self) -> list[dict[str, object]]:
        """Every input with its id, name and size (read from the file's header the first time)."""
        for entry in self.entries.values():
            if entry.width is None and entry.error is None:
                self._read_header(entry)
        return [entry.describe() for entry in self.entries.values()]

    def _read_header(self, entry: Entry) -> None:
        vips = _deps.pyvips()
        try:
            header = open_image(entry.path)
            entry.width, entry.height = int(header.width), int(header.height)
            if "orientation" in header.get_fields() and int(header.get("orientation")) in (5, 6, 7, 8):
                entry.width, entry.height = entry.height, entry.width
        except (vips.Error, OSError):
            pass  # camera RAW, or damage: the decode tells

    def _failed(self, entry: Entry) -> StudioError:
        return StudioError(f"{entry.path.name}: {entry.error}", 422)

    def proxy(self, photo_id: str) -> Photo:
        """The photo decoded once, at most `PROXY_SIZE` on its long side."""
        entry = self.entry(photo_id)
        if entry.error is not None:
            raise self._failed(entry)
        if photo_id in self._proxies:
            return self._proxies[photo_id]
        with self._lock:
            decoding = self._decoding.setdefault(photo_id, threading.Lock())
        with decoding:  # two requests for a new photo decode it once
            if photo_id not in self._proxies:
                try:
                    photo = read_photo(entry.path, max_size=PROXY_SIZE)
                except PhotoReadError as error:
                    entry.error = _reason(error)
                    raise self._failed(entry) from None
                except MemoryError:
                    entry.error = "not enough memory for this image"
                    raise self._failed(entry) from None
                full = photo.width / photo.scale, photo.height / photo.scale
                entry.width, entry.height = round(full[0]), round(full[1])
                self._proxies[photo_id] = photo
        return self._proxies[photo_id]

    def view(self, photo_id: str, width: int) -> Photo:
        """The proxy resized (in linear light) to `width` pixels wide, or the proxy when it is no wider."""
        proxy = self.proxy(photo_id)
        if width >= proxy.width:
            return proxy
        key = (photo_id, width)
        with self._lock:
            if key in self._views:
                self._views.move_to_end(key)
                return self._views[key]
        vips = _deps.pyvips()
        factor = width / proxy.width
        image = vips.Image.new_from_memory(proxy.pixels.data, proxy.width, proxy.height, 3, "float")
        resized = image.resize(factor, kernel="linear")
        pixels = np.ascontiguousarray(resized.numpy(), dtype=np.float32).reshape(resized.height, resized.width, 3)
        photo = replace(proxy, pixels=pixels, scale=proxy.scale * resized.width / proxy.width)
        with self._lock:
            self._views[key] = photo
            while len(self._views) > VIEW_SIZES_KEPT:
                self._views.popitem(last=False)
        return photo

    def full(self, photo_id: str) -> Photo:
        """The photo at full size; the last one asked for is kept."""
        entry = self.entry(photo_id)
        if entry.error is not None:
            raise self._failed(entry)
        with self._full_lock:
            if self._full is not None and self._full[0] == photo_id:
                return self._full[1]
            self._full = None  # let the previous one go before decoding the next
            try:
                photo = read_photo(entry.path)
            except PhotoReadError as error:
                entry.error = _reason(error)
                raise self._failed(entry) from None
            except MemoryError:
                raise StudioError(f"{entry.path.name}: not enough memory for the full-size photo", 422) from None
            self._full = (photo_id, photo)
            return photo

    # -- the recipe -----------------------------------------------------------

    @property
    def recipe(self) -> Recipe:
        return self._recipe

    def set_recipe(self, tree: Mapping[str, Any]) -> Recipe:
        """Makes `tree` (TOML-shaped tables; settings left out take their defaults) the current recipe.

        Raises RecipeError, naming the key and the reason, for a bad value.
        """
        if not isinstance(tree, Mapping):
            raise RecipeError("recipe", tree, "expected a table of settings")
        recipe = Recipe().updated(tree)
        self._replace(recipe)
        return recipe

    def load_toml(self, text: str) -> Recipe:
        """Makes the recipe written as TOML (as `ostrel convert --recipe` reads it) the current one."""
        recipe = Recipe.from_toml(text)
        self._replace(recipe)
        return recipe

    def _replace(self, recipe: Recipe) -> None:
        with self._lock:
            self._recipe = recipe
            self.revision += 1
