"""Redraws the README's pictures from the bundled photograph with the current pipeline.

    python tools/docs_pictures.py

docs/before_after.png: the photo beside its print through the `red` preset;
docs/contact_sheet.jpg: `ostrel sheet` through every preset; docs/zone_map.png:
`ostrel zones` under the default recipe.
"""

from __future__ import annotations

import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[1]
PHOTO = ROOT / "examples" / "data" / "astronaut.png"
DOCS = ROOT / "docs"


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


if __name__ == "__main__":
    main()
