"""Seeing before printing: a contact sheet of presets, and a zone map.

Both work on a reduced copy of the photo (resized in linear light), and
render it as the full-size print would look: the local-contrast radius
follows the image's size.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from dataclasses import replace
from pathlib import Path
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from ostrel import _deps
from ostrel.errors import PrintWriteError
from ostrel.guard import refuse_inputs
from ostrel.presets import Preset
from ostrel.reading import read_photo
from ostrel.recipe import ROMAN, Grain, Recipe, Toning
from ostrel.rendering import quantize, render_photo
from ostrel.writing import atomic_destination

_LABEL_DPI: Final = 110
_NOTE_DPI: Final = 80
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


def darkroom_note(recipe: Recipe) -> str:
    """The darkroom controls a recipe uses, in the pipeline's order, for a caption ("" for none)."""
    parts = []
    if recipe.film.enabled:
        parts.append(recipe.film.stock)
    if recipe.bands.enabled:
        parts.append("colour bands")
    if recipe.vignette.enabled:
        parts.append(f"edges {recipe.vignette.stops:+g} stops")
    if recipe.grain.enabled:
        parts.append(f"grain {recipe.grain.format}")
    if recipe.toning.enabled:
        parts.append(f"{recipe.toning.toner} toned")
    return ", ".join(parts)


def _labelled(vips: Any, tile: Any, label: str, width: int, note: str | None = None) -> Any:
    # Text images are cropped to their ink; their offsets place that ink on
    # the line, so labels share one baseline whatever letters they have.
    text, line = _text(vips, label), _text(vips, "|")
    top = 5 + text.yoffset - line.yoffset
    strip = text.embed((width - text.width) // 2, top, width, line.height + 10, background=[0])
    if note is not None:  # a second, smaller line; an empty one keeps the tiles' heights alike
        small_line = _text(vips, "|", dpi=_NOTE_DPI)
        height = small_line.height + 6
        if note:
            small = _text(vips, note, dpi=_NOTE_DPI)
            if small.width > width:  # a long note is shrunk to the tile, never cut
                small = small.resize(width / small.width)
            top = max(small.yoffset - small_line.yoffset, 0)
            line_strip = small.embed((width - small.width) // 2, top, width, height, background=[0])
        else:
            line_strip = vips.Image.black(width, height)
        strip = strip.join(line_strip.cast(strip.format), "vertical")
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
        plane = render_photo(photo, recipe)[0]
        codes = quantize(plane, 8)
        # Grey tiles as RGB, so that toned ones sit beside them.
        rgb = codes if codes.ndim == 3 else np.repeat(codes[:, :, None], 3, axis=2)
        tile = vips.Image.new_from_array(np.ascontiguousarray(rgb), interpretation="srgb")
        tiles.append(_labelled(vips, tile, preset.name, tile_size, darkroom_note(recipe)))
    columns = math.ceil(math.sqrt(len(tiles)))
    sheet = vips.Image.arrayjoin(tiles, across=columns, shim=_GAP, background=[24], halign="centre")
    sheet = sheet.embed(_GAP, _GAP, sheet.width + 2 * _GAP, sheet.height + 2 * _GAP, background=[24])
    return _save_preview(sheet, output)


def print_zones(plane: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
    """The zone (0..10) where the print puts each pixel, on the scale a photographer reads off paper.

    `plane` is the display-encoded print (sRGB values 0..1). Zone N is where
    the print's lightness is L* = 10 N, to the nearest: Zone V is middle grey
    (L* 50, 18 % reflectance), Zone X paper white, Zone 0 black (Adams, *The
    Print*: the zones as print values).
    """
    encoded = np.clip(np.nan_to_num(plane.astype(np.float64), nan=0.0), 0.0, 1.0)
    linear = np.where(encoded <= 0.04045, encoded / 12.92, ((encoded + 0.055) / 1.055) ** 2.4)
    lightness = np.where(linear > _LAB_EPSILON, 116.0 * np.cbrt(linear) - 16.0, linear * _LAB_KAPPA)
    return np.clip(np.rint(lightness / 10.0), 0, 10).astype(np.uint8)


# CIE L*: the cube root above (6/29)^3, a straight line below.
_LAB_EPSILON: Final = (6.0 / 29.0) ** 3
_LAB_KAPPA: Final = 24389.0 / 27.0


def _zone_grey(zone: int) -> int:
    """The 8-bit sRGB code of lightness L* = 10 zone."""
    lightness = 10.0 * zone
    linear = ((lightness + 16.0) / 116.0) ** 3 if lightness > 8.0 else lightness / _LAB_KAPPA
    encoded = 12.92 * linear if linear <= 0.0031308 else 1.055 * linear ** (1 / 2.4) - 0.055
    return round(255 * encoded)


# Each zone drawn at its own lightness, L* = 10 N.
ZONE_GREYS: Final = tuple(_zone_grey(zone) for zone in range(11))
# Pure white and pure black pixels of the print, marked so they cannot be missed.
CLIPPED_WHITE: Final = (255, 40, 40)
CLIPPED_BLACK: Final = (40, 90, 255)


def zone_map(
    path: str | os.PathLike[str],
    output: str | os.PathLike[str],
    recipe: Recipe | None = None,
    *,
    max_size: int = 1600,
) -> Path:
    """Where the recipe's print puts each tone: the photo posterised to print zones 0..X, with a legend.

    Zone N is drawn at its own print lightness (L* = 10 N). Pixels the print
    makes pure white are red, pure black blue. The legend gives each zone's
    share and the clipped shares. The photo is reduced to at most
    `max_size` pixels on its longer side (never enlarged).
    """
    vips = _deps.pyvips()
    recipe = recipe or Recipe()
    refuse_inputs(output, [path])
    photo = read_photo(path, max_size=max_size)
    # The zones are the grey print's: a toner colours its tones without moving them, and the grain is
    # texture over them, not a tone (it would fray every zone's edge).
    plane = render_photo(photo, replace(recipe, toning=Toning(), grain=Grain()))[0]
    codes = quantize(plane, 8)
    zones = print_zones(plane)[:, :, 0]
    greys = np.asarray(ZONE_GREYS, np.uint8)
    picture = np.repeat(greys[zones][:, :, None], 3, axis=2)
    white, black = codes == 255, codes == 0
    picture[white] = CLIPPED_WHITE
    picture[black] = CLIPPED_BLACK
    image = vips.Image.new_from_array(np.ascontiguousarray(picture), interpretation="srgb")
    shares = np.bincount(zones.ravel(), minlength=11) / max(1, zones.size)
    patch_width = max(64, -(-image.width // 11))
    patches = []
    for zone in range(11):
        label = _text(vips, f"{ROMAN[zone]}\n{shares[zone] * 100:.0f} %", dpi=90)
        patch = (vips.Image.black(patch_width, label.height + 16, bands=3) + int(greys[zone])).cast("uchar")
        ink = [0, 0, 0] if zone >= 6 else [255, 255, 255]
        mask = label.gravity("centre", patch_width, patch.height, background=[0])
        patches.append(mask.ifthenelse(ink, patch, blend=True).cast("uchar"))
    legend = vips.Image.arrayjoin(patches, across=11)
    clipped = _text(
        vips,
        f"pure white {100 * white.mean():.2f} %    pure black {100 * black.mean():.2f} %",
        dpi=90,
    )
    note = clipped.embed(8, 6, max(legend.width, clipped.width + 16), clipped.height + 12, background=[0])
    note = note.bandjoin([note, note]).cast("uchar")
    legend = legend.join(note, "vertical", background=[0])
    width = max(image.width, legend.width)
    image = image.gravity("centre", width, image.height, background=[0, 0, 0])
    legend = legend.gravity("centre", width, legend.height, background=[0, 0, 0])
    composed = image.join(legend, "vertical", shim=_GAP, background=[0, 0, 0])
    return _save_preview(composed.cast("uchar"), output)
