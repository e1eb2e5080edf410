"""Seeing before printing: a contact sheet of presets, and a zone map.

Both work on a reduced copy of the photo (resized in linear light), and
render it as the full-size print would look: the local-contrast radius is
scaled with the image.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from ostrel import _deps
from ostrel.errors import PrintWriteError
from ostrel.guard import refuse_inputs
from ostrel.presets import Preset
from ostrel.reading import read_photo
from ostrel.recipe import ROMAN, Recipe
from ostrel.rendering import luminance, quantize, render
from ostrel.writing import atomic_destination, grey_image

# Zone V is 18 % grey (middle grey); each zone is one stop.
MIDDLE_GREY: Final = 0.18
_LABEL_DPI: Final = 110
_GAP: Final = 12


def _text(vips: Any, text: str, *, dpi: int = _LABEL_DPI) -> Any:
    """White text on black, one band, lines centred."""
    return vips.Image.text(text, dpi=dpi, font="sans", align="centre")


def _save_preview(image: Any, path: str | os.PathLike[str]) -> Path:
    """Saves an 8-bit preview; the format follows the file's extension."""
    vips = _deps.pyvips()
    destination = Path(path)
    suffix = destination.suffix.lower()
    savers = {".jpg": "jpegsave", ".jpeg": "jpegsave", ".png": "pngsave", ".tif": "tiffsave", ".tiff": "tiffsave"}
    if suffix not in savers:
        raise PrintWriteError(destination, "choose a .jpg, .png or .tif file name for the preview")
    try:
        with atomic_destination(destination) as temporary:
            getattr(image, savers[suffix])(str(temporary))
    except vips.Error as error:
        raise PrintWriteError(destination, f"libvips could not encode it: {error}") from None
    except OSError as error:
        raise PrintWriteError(destination, error.strerror or str(error)) from None
    return destination


def _labelled(vips: Any, tile: Any, label: str, width: int) -> Any:
    # Text images are cropped to their ink; their offsets place that ink on
    # the line, so labels share one baseline whatever letters they have.
    text, line = _text(vips, label), _text(vips, "|")
    top = 5 + text.yoffset - line.yoffset
    strip = text.embed((width - text.width) // 2, top, width, line.height + 10, background=[0])
    return tile.gravity("north", width, tile.height, background=[0]).join(strip, "vertical")


def contact_sheet(
    path: str | os.PathLike[str],
    output: str | os.PathLike[str],
    presets: Sequence[Preset],
    *,
    tile_size: int = 480,
    base: Recipe | None = None,
) -> Path:
    """One photo rendered through every preset in `presets`, labelled, in a grid.

    `base` supplies what presets leave alone (nothing that changes the look).
    """
    vips = _deps.pyvips()
    refuse_inputs(output, [path])
    photo = read_photo(path, max_size=tile_size)
    tiles = []
    for preset in presets:
        recipe = (base or Recipe()).updated(preset.settings, f"preset {preset.name}")
        plane = render(photo.pixels, recipe, scale=photo.scale)
        tile = grey_image(quantize(plane, 8))
        tiles.append(_labelled(vips, tile.copy(interpretation="b-w"), preset.name, tile_size))
    columns = math.ceil(math.sqrt(len(tiles)))
    sheet = vips.Image.arrayjoin(tiles, across=columns, shim=_GAP, background=[24], halign="centre")
    sheet = sheet.embed(_GAP, _GAP, sheet.width + 2 * _GAP, sheet.height + 2 * _GAP, background=[24])
    return _save_preview(sheet, output)


def zone_indices(lum: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
    """The Zone System zone (0..10) of each linear luminance value, to the nearest stop.

    Zone V is centred on 18 % grey; zone 0 takes everything from 4.5 stops
    below it down to black, zone X everything from 4.5 stops above it.
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        stops = np.log2(np.maximum(lum.astype(np.float64), 0.0) / MIDDLE_GREY)
    zones = np.floor(np.nan_to_num(stops, nan=-np.inf) + 5.5)
    return np.clip(zones, 0, 10).astype(np.uint8)


def zone_map(
    path: str | os.PathLike[str],
    output: str | os.PathLike[str],
    recipe: Recipe | None = None,
    *,
    max_size: int = 1600,
) -> Path:
    """The photo posterised to its zones after the recipe's luminance step, with a legend.

    Zone z is drawn as the grey z/10 of the display range; the legend gives
    each zone's share of the pixels.
    """
    vips = _deps.pyvips()
    recipe = recipe or Recipe()
    refuse_inputs(output, [path])
    photo = read_photo(path, max_size=max_size)
    zones = zone_indices(luminance(photo.pixels, recipe.luminance))[:, :, 0]
    greys = np.rint(np.arange(11) * 25.5).astype(np.uint8)
    picture = vips.Image.new_from_array(np.ascontiguousarray(greys[zones]), interpretation="b-w")
    shares = np.bincount(zones.ravel(), minlength=11) / max(1, zones.size)
    patch_width = max(64, -(-picture.width // 11))
    patches = []
    for zone in range(11):
        label = _text(vips, f"{ROMAN[zone]}\n{shares[zone] * 100:.0f} %", dpi=90)
        patch = vips.Image.black(patch_width, label.height + 16) + int(greys[zone])
        ink = 0 if zone >= 6 else 255
        mask = label.gravity("centre", patch_width, patch.height, background=[0])
        patches.append(mask.ifthenelse(ink, patch.cast("uchar"), blend=True))
    legend = vips.Image.arrayjoin(patches, across=11)
    width = max(picture.width, legend.width)
    picture = picture.gravity("centre", width, picture.height, background=[0])
    legend = legend.gravity("centre", width, legend.height, background=[0])
    composed = picture.join(legend, "vertical", shim=_GAP, background=[0])
    return _save_preview(composed.cast("uchar"), output)
