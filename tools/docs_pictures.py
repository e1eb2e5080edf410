"""Redraws the README's pictures from the bundled photograph with the current pipeline.

    python tools/docs_pictures.py

docs/before_after.png: the photo beside its print through the `red` preset;
docs/contact_sheet.jpg: `ostrel sheet` through every preset; docs/zone_map.png:
`ostrel zones` under the default recipe; docs/toning.jpg: every toner at
strength 1; docs/edge_burning.jpg: no burning, a stop of burning, `sepia-burnt`;
docs/film_stocks.jpg: neutral, HP5 PLUS, HP5 PLUS behind a yellow filter, FP4 PLUS;
docs/film_grain.jpg: a crop at 100 % of a 9-megapixel print, without grain and
with Tri-X's granularity on 35 mm and on 6x7 film;
docs/colour_bands.jpg: no colour bands, blues down and greens up, reds up.
"""

from __future__ import annotations

import pathlib
from collections.abc import Mapping, Sequence
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parents[1]
PHOTO = ROOT / "examples" / "data" / "astronaut.png"
DOCS = ROOT / "docs"


def labelled_row(photo: Any, looks: Sequence[tuple[str, Mapping[str, Any]]], path: pathlib.Path, across: int) -> None:
    """The photo printed with each look (a recipe layer), labelled, in a grid of RGB tiles."""
    import numpy as np
    import pyvips

    from ostrel.recipe import Recipe
    from ostrel.rendering import quantize, render_photo

    tiles = []
    for label, layer in looks:
        codes = quantize(render_photo(photo, Recipe().updated(layer))[0], 8)
        rgb = codes if codes.ndim == 3 else np.repeat(codes[:, :, None], 3, axis=2)
        image = pyvips.Image.new_from_array(np.ascontiguousarray(rgb), interpretation="srgb")
        text = pyvips.Image.text(label, dpi=110, font="sans")
        strip = text.embed((image.width - text.width) // 2, 4, image.width, text.height + 10, background=[0])
        tiles.append(image.join(strip.bandjoin([strip, strip]).cast("uchar"), "vertical", background=[0, 0, 0]))
    pyvips.Image.arrayjoin(tiles, across=across, shim=6, background=[24]).jpegsave(str(path), Q=88, strip=True)


def grain_crops(path: pathlib.Path, *, scale: int = 6, crop: int = 340) -> None:
    """The photo enlarged `scale` times (a 3072-pixel print of the 512-pixel photo), printed without grain
    and with grain of granularity 17 on 35 mm and 6x7 film, a `crop`-pixel square of the face shown at 100 %."""
    import numpy as np
    import pyvips

    from ostrel import read_photo
    from ostrel.recipe import Recipe
    from ostrel.rendering import quantize, render

    photo = read_photo(PHOTO)
    linear = pyvips.Image.new_from_array(photo.pixels).resize(scale, kernel="lanczos3")
    pixels = np.ascontiguousarray(linear.numpy(), np.float32)
    top, left = int(pixels.shape[0] * 0.18), int(pixels.shape[1] * 0.36)
    looks = [
        ("no grain", {}),
        ("35mm, granularity 17", {"grain": {"strength": 1.0, "granularity": 17.0, "format": "35mm"}}),
        ("6x7, granularity 17", {"grain": {"strength": 1.0, "granularity": 17.0, "format": "6x7"}}),
    ]
    tiles = []
    for label, layer in looks:
        codes = quantize(render(pixels, Recipe().updated(layer)), 8)[top : top + crop, left : left + crop]
        image = pyvips.Image.new_from_array(np.ascontiguousarray(codes), interpretation="b-w")
        text = pyvips.Image.text(label, dpi=110, font="sans")
        strip = text.embed((image.width - text.width) // 2, 4, image.width, text.height + 10, background=[0])
        tiles.append(image.join(strip.cast("uchar"), "vertical", background=[0]))
    pyvips.Image.arrayjoin(tiles, across=3, shim=6, background=[24]).jpegsave(str(path), Q=92, strip=True)


def main() -> None:
    import pyvips

    from ostrel import get_preset, read_photo
    from ostrel.presets import PRESETS
    from ostrel.preview import contact_sheet, zone_map
    from ostrel.rendering import quantize, render_photo

    photo = read_photo(PHOTO)
    codes = quantize(render_photo(photo, get_preset("red").recipe)[0], 8)
    grey = pyvips.Image.new_from_array(codes, interpretation="b-w")
    original = pyvips.Image.new_from_file(str(PHOTO)).colourspace("srgb")[:3]
    original.join(grey.colourspace("srgb"), "horizontal").write_to_file(str(DOCS / "before_after.png"))
    contact_sheet(PHOTO, DOCS / "contact_sheet.jpg", list(PRESETS.values()), tile_size=240)
    zone_map(PHOTO, DOCS / "zone_map.png", max_size=512)
    toners = ["sepia", "selenium", "gold", "platinum", "cyanotype", "split"]
    small = read_photo(PHOTO, max_size=300)
    looks = [("split 45/220" if t == "split" else t, {"toning": {"toner": t}}) for t in toners]
    labelled_row(small, looks, DOCS / "toning.jpg", across=3)
    burns = [
        ("no burning", {}),
        ("burnt 1 stop", {"vignette": {"stops": -1.0}}),
        ("sepia-burnt", get_preset("sepia-burnt").settings),
    ]
    labelled_row(read_photo(PHOTO, max_size=360), burns, DOCS / "edge_burning.jpg", across=3)
    stocks = [
        ("neutral", {}),
        ("ilford-hp5-plus", {"film": {"stock": "ilford-hp5-plus"}}),
        ("hp5-plus + yellow", {"film": {"stock": "ilford-hp5-plus"}, "luminance": {"filter": "Yellow8K2"}}),
        ("ilford-fp4-plus", {"film": {"stock": "ilford-fp4-plus"}}),
    ]
    labelled_row(small, stocks, DOCS / "film_stocks.jpg", across=4)
    grain_crops(DOCS / "film_grain.jpg")
    colour_bands()


def colour_bands() -> None:
    """docs/colour_bands.jpg: the same grey print with the colour bands moved two ways."""
    from ostrel import read_photo

    looks = [
        ("no colour bands", {}),
        ("blue -1, green +1", {"bands": {"blue": -1.0, "aqua": -0.5, "green": 1.0}}),
        ("red +1", {"bands": {"red": 1.0, "orange": 0.3}}),
    ]
    labelled_row(read_photo(PHOTO, max_size=360), looks, DOCS / "colour_bands.jpg", across=3)


if __name__ == "__main__":
    main()
