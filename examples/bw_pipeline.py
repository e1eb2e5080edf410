"""Turn a colour photograph into a black-and-white print with ostrel_core.

The pipeline: decode the sRGB file to scene-linear RGB, collapse it to
luminance (through a simulated colour filter or a channel mix), reshape the
tones by the Zone System, enhance local contrast, encode for display and write
a single-channel 8- or 16-bit PNG or TIFF. Each kernel's time is reported.

    python examples/bw_pipeline.py                      # the bundled photograph
    python examples/bw_pipeline.py photo.jpg -o print.tif --bits 16 --filter Red25A
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time
from collections.abc import Callable

import numpy as np
from PIL import Image

import ostrel_core

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_INPUT = HERE / "data" / "astronaut.png"


def decode_srgb(encoded: np.ndarray) -> np.ndarray:
    """8- or 16-bit sRGB samples to scene-linear float32 (the inverse transfer)."""
    scale = np.float32(np.iinfo(encoded.dtype).max)
    v = encoded.astype(np.float32) / scale
    return np.where(v <= 0.04045, v / np.float32(12.92), ((v + np.float32(0.055)) / np.float32(1.055)) ** 2.4).astype(
        np.float32
    )


def load_linear_rgb(path: pathlib.Path) -> np.ndarray:
    with Image.open(path) as image:
        if image.mode in ("I;16", "I;16B", "I"):
            samples = np.asarray(image, dtype=np.uint16)
        else:
            samples = np.asarray(image.convert("RGB"))
    if samples.ndim == 2:
        samples = np.repeat(samples[:, :, None], 3, axis=2)
    return decode_srgb(samples)


def save_print(path: pathlib.Path, encoded: np.ndarray, bits: int) -> None:
    """Writes the (H, W, 1) display-referred plane as a single-channel image."""
    clipped = np.clip(encoded[:, :, 0], 0.0, 1.0)
    if bits == 16:
        samples = np.round(clipped * 65535.0).astype(np.uint16)
        Image.fromarray(samples).save(path)  # a uint16 plane becomes a 16-bit greyscale PNG or TIFF
    else:
        samples = np.round(clipped * 255.0).astype(np.uint8)
        Image.fromarray(samples).save(path)


def parse_zones(text: str) -> dict[int, float]:
    """'3=-0.3,5=0.5' -> {3: -0.3, 5: 0.5}."""
    zones: dict[int, float] = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        zone, _, stops = item.partition("=")
        zones[int(zone)] = float(stops)
    return zones


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", nargs="?", type=pathlib.Path, default=DEFAULT_INPUT, help="colour image (sRGB)")
    parser.add_argument(
        "-o",
        "--output",
        type=pathlib.Path,
        default=pathlib.Path("out/bw_print.png"),
        help="PNG or TIFF to write (default: %(default)s)",
    )
    parser.add_argument("--bits", type=int, choices=(8, 16), default=8, help="sample depth of the print")
    parser.add_argument("--standard", default="Bt709", choices=("Bt601", "Bt709", "Bt2020"))
    parser.add_argument(
        "--filter",
        default="Yellow8K2",
        choices=("NoFilter", "Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5"),
    )
    parser.add_argument("--mixer", metavar="WR,WG,WB", help="channel weights instead of a filter, e.g. 0.5,0.4,0.1")
    parser.add_argument(
        "--zones", default="2=-0.3,3=-0.2,7=0.2,8=0.3", help="zone offsets in stops (default: %(default)s)"
    )
    parser.add_argument("--radius", type=int, default=8, help="guided-filter radius in pixels")
    parser.add_argument("--eps", type=float, default=0.01, help="guided-filter regularisation")
    parser.add_argument("--strength", type=float, default=0.6, help="local-contrast strength")
    return parser.parse_args(argv)


def timed(log: list[tuple[str, float]], name: str, step: Callable[[], np.ndarray]) -> np.ndarray:
    start = time.perf_counter()
    result = step()
    log.append((name, time.perf_counter() - start))
    return result


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    rgb = load_linear_rgb(args.input)
    height, width = rgb.shape[:2]
    log: list[tuple[str, float]] = []
    standard = getattr(ostrel_core.LuminanceStandard, args.standard)
    if args.mixer:
        wr, wg, wb = (float(w) for w in args.mixer.split(","))
        luminance = timed(log, "channel_mixer_bw", lambda: ostrel_core.channel_mixer_bw(rgb, wr, wg, wb))
    else:
        colour_filter = getattr(ostrel_core.ColorFilter, args.filter)
        luminance = timed(log, "color_filter_bw", lambda: ostrel_core.color_filter_bw(rgb, colour_filter, standard))
    zones = ostrel_core.ZoneParams(parse_zones(args.zones))
    toned = timed(log, "zone_system", lambda: ostrel_core.zone_system(luminance, zones))
    params = ostrel_core.GuidedFilterParams(args.radius, args.eps)
    detailed = timed(log, "local_contrast", lambda: ostrel_core.local_contrast(toned, params, args.strength))
    encoded = timed(log, "encode_srgb", lambda: ostrel_core.encode_srgb(detailed))

    args.output.parent.mkdir(parents=True, exist_ok=True)
    save_print(args.output, encoded, args.bits)

    print(f"input   {args.input} ({width} x {height}, decoded to scene-linear RGB)")
    settings = f"mixer {args.mixer}" if args.mixer else f"filter {args.filter}, standard {args.standard}"
    print(f"pipeline {settings}; {zones!r}; {params!r}, strength {args.strength}")
    for name, seconds in log:
        print(f"  {name:<17} {seconds * 1e3:8.2f} ms")
    print(f"output  {args.output} ({args.bits}-bit single-channel)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
