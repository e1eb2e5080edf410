"""The print's tones on real photos: clipped shares against the plain grey conversion.

For each photo of the corpus (the bundled portrait and the photographs that
scikit-image ships), the share of pure-white and pure-black pixels of the
8-bit print under each preset, beside libvips's plain grey conversion of the
same file (`colourspace("b-w")`). The default recipe should add at most
0.25 % white and 0.5 % black over the plain grey.

    python benchmarks/tones.py [--presets neutral,red] [--csv]
"""

from __future__ import annotations

import argparse
import pathlib
import sys
from typing import Final

import numpy as np

ROOT: Final = pathlib.Path(__file__).resolve().parents[1]
# Photographs (not drawings, scans of text or microscopy) of varied subject and exposure.
SKIMAGE_PHOTOS: Final = (
    "chelsea.png",
    "coffee.png",
    "rocket.jpg",
    "motorcycle_left.png",
    "hubble_deep_field.jpg",
    "camera.png",
    "moon.png",
    "grass.png",
    "brick.png",
    "retina.jpg",
)


def corpus() -> list[pathlib.Path]:
    photos = [ROOT / "examples" / "data" / "astronaut.png"]
    try:
        import skimage
    except ImportError:
        sys.exit("the corpus needs scikit-image's photographs: pip install scikit-image")
    data = pathlib.Path(skimage.__file__).parent / "data"
    photos += [data / name for name in SKIMAGE_PHOTOS if (data / name).exists()]
    return photos


def shares(codes: np.ndarray) -> tuple[float, float]:
    """Per cent of pure white (255) and pure black (0) codes."""
    return 100.0 * float(np.mean(codes == 255)), 100.0 * float(np.mean(codes == 0))


def plain_grey(path: pathlib.Path) -> np.ndarray:
    import pyvips

    image = pyvips.Image.new_from_file(str(path)).colourspace("b-w")
    if image.format != "uchar":
        image = image.cast("uchar")
    return np.asarray(image.numpy())[..., 0] if image.bands > 1 else np.asarray(image.numpy())


def main() -> None:
    from ostrel import get_preset, read_photo
    from ostrel.presets import PRESETS
    from ostrel.recipe import Recipe
    from ostrel.rendering import quantize, render

    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--presets", default=",".join(PRESETS))
    args = parser.parse_args()
    names = [name for name in args.presets.split(",") if name]
    plain_recipe = Recipe().updated({"zones": {}, "local_contrast": {"strength": 0}, "print": {"curve": "clip"}})
    header = f"{'photo':<24}{'MP':>6}  {'libvips grey':>13}  {'BT.709 grey':>13}" + "".join(
        f"  {name:>15}" for name in names
    )
    print("white % / black % of the 8-bit print")
    print(header)
    worst = [0.0, 0.0]
    for path in corpus():
        photo = read_photo(path)
        libvips = shares(plain_grey(path))
        ours = shares(quantize(render(photo.pixels, plain_recipe), 8))
        # The plain grey's clipping: libvips's, or the same BT.709 luminance without the recipe where
        # the two round a photo's near-black differently (retina.jpg's surround lies 0.003 of a code
        # below the rounding point: libvips makes it 1, the exact luminance 0).
        plain = (max(libvips[0], ours[0]), max(libvips[1], ours[1]))
        row = f"{path.name:<24}{photo.height * photo.width / 1e6:>6.2f}  {libvips[0]:>5.2f} / {libvips[1]:>5.2f}"
        row += f"  {ours[0]:>5.2f} / {ours[1]:>5.2f}"
        for name in names:
            codes = quantize(render(photo.pixels, get_preset(name).recipe), 8)
            white, black = shares(codes)
            if name == "neutral":
                worst = [max(worst[0], white - plain[0]), max(worst[1], black - plain[1])]
            row += f"  {white:>6.2f} / {black:>6.2f}"
        print(row)
    if "neutral" in names:
        print(
            f"neutral adds at most {worst[0]:.2f} % white and {worst[1]:.2f} % black over the plain grey "
            "(aim: 0.25 % and 0.5 %)"
        )


if __name__ == "__main__":
    main()
