"""A print as an object: the rendered plane with its recipe and metadata, to save, convert or show."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, overload

import numpy as np

from ostrel.conversions import Bits, Codes, print_codes, print_to_pil
from ostrel.reading import FloatImage, Metadata, Photo
from ostrel.recipe import Recipe
from ostrel.rendering import render
from ostrel.writing import print_bytes, write_print


@dataclass(frozen=True, repr=False)
class Print:
    """A rendered print: `plane` is display-referred float32 (H, W, 1), made by `recipe` from `source`."""

    plane: FloatImage
    recipe: Recipe
    metadata: Metadata | None = None
    source: Path | None = None

    @property
    def height(self) -> int:
        return int(self.plane.shape[0])

    @property
    def width(self) -> int:
        return int(self.plane.shape[1])

    @overload
    def save(self, target: str | os.PathLike[str]) -> Path: ...

    @overload
    def save(self, target: IO[bytes]) -> None: ...

    def save(self, target: str | os.PathLike[str] | IO[bytes]) -> Path | None:
        """Writes the print (the recipe's format, stamped with the recipe) to a path, atomically, or a file object."""
        text = self.recipe.to_toml()
        if isinstance(target, (str, os.PathLike)):
            return write_print(self.plane, target, self.recipe.output, metadata=self.metadata, recipe_text=text)
        write_print(self.plane, target, self.recipe.output, metadata=self.metadata, recipe_text=text)
        return None

    def to_bytes(self) -> bytes:
        """The print file, in memory."""
        output = self.recipe.output
        return print_bytes(self.plane, output, metadata=self.metadata, recipe_text=self.recipe.to_toml())

    def to_array(self, bits: Bits = 8) -> Codes:
        """The (H, W) grey codes of `bits`, as a print file of that depth stores them."""
        return print_codes(self.plane, bits)

    def to_pil(self, bits: Bits = 8) -> Any:
        """A grey Pillow image (mode L, or I;16 for 16 bits)."""
        return print_to_pil(self.plane, bits)

    def __repr__(self) -> str:
        from ostrel.display import print_repr

        return print_repr(self)

    def _repr_png_(self) -> bytes:
        from ostrel.display import grey_png

        return grey_png(np.asarray(self.to_array(8), np.uint8))


def make_print(photo: Photo, recipe: Recipe | None = None) -> Print:
    """The print of `photo` through `recipe` (default `Recipe()`), in memory.

    A photo read reduced (`max_size`) is rendered as the full-size print
    would look (the local-contrast radius scaled with it).
    """
    recipe = recipe or Recipe()
    return Print(render(photo.pixels, recipe, scale=photo.scale), recipe, photo.metadata, photo.path)
