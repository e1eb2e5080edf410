"""The black-and-white pipeline step by step, with ostrel_core's kernels in view.

`ostrel convert` does all of this (and batches, metadata, recipes); this
example opens the box: ostrel reads the photo as scene-linear RGB, then each
kernel runs and is timed, then ostrel writes the print.

    python examples/bw_pipeline.py                      # the bundled photograph
    python examples/bw_pipeline.py photo.jpg -o print.tif --filter Red25A --zones 3=-0.3,5=0.5
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time
from collections.abc import Callable

import numpy as np

import ostrel
import ostrel_core as oc

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_INPUT = HERE / "data" / "astronaut.png"


def timed(log: list[tuple[str, float]], name: str, step: Callable[[], np.ndarray]) -> np.ndarray:
    start = time.perf_counter()
    result = step()
    log.append((name, time.perf_counter() - start))
    return result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", nargs="?", type=pathlib.Path, default=DEFAULT_INPUT, help="a photo")
    parser.add_argument(
        "-o",
        "--output",
        type=pathlib.Path,
        default=pathlib.Path("out/bw_print.png"),
        help="the print: .tif, .png or .jpg (default: %(default)s)",
    )
    parser.add_argument("--bits", type=int, choices=(8, 16), default=8, help="sample depth of a TIFF or PNG print")
    parser.add_argument("--filter", default="Yellow8K2", help="colour filter, e.g. Red25A")
    parser.add_argument("--standard", default="Bt709", help="Bt601, Bt709 or Bt2020")
    parser.add_argument("--zones", default="2=-0.3,3=-0.2,7=0.2,8=0.3", help="zone offsets in stops")
    parser.add_argument("--radius", type=int, default=8, help="guided-filter radius in pixels")
    parser.add_argument("--eps", type=float, default=0.01, help="guided-filter regularisation")
    parser.add_argument("--strength", type=float, default=0.6, help="local-contrast strength")
    args = parser.parse_args(argv)

    photo = ostrel.read_photo(args.input)  # upright, colour-managed, scene-linear float32 (H, W, 3)
    zones = {int(z): float(s) for z, _, s in (item.partition("=") for item in args.zones.split(",") if item)}
    log: list[tuple[str, float]] = []
    colour_filter = getattr(oc.ColorFilter, args.filter)
    standard = getattr(oc.LuminanceStandard, args.standard)
    lum = timed(log, "color_filter_bw", lambda: oc.color_filter_bw(photo.pixels, colour_filter, standard))
    toned = timed(log, "zone_system", lambda: oc.zone_system(lum, oc.ZoneParams(zones)))
    params = oc.GuidedFilterParams(args.radius, args.eps)
    detailed = timed(log, "local_contrast", lambda: oc.local_contrast(toned, params, args.strength))
    encoded = timed(log, "encode_srgb", lambda: oc.encode_srgb(detailed))

    fmt = {".tif": "tiff", ".tiff": "tiff", ".png": "png", ".jpg": "jpeg", ".jpeg": "jpeg"}[args.output.suffix.lower()]
    output = ostrel.Output(format=fmt, bits=8 if fmt == "jpeg" else args.bits)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    ostrel.write_print(encoded, args.output, output, metadata=photo.metadata)

    print(f"input   {args.input} ({photo.width} x {photo.height}, scene-linear RGB)")
    print(
        f"pipeline filter {args.filter}, standard {args.standard}; zones {zones}; {params!r}, strength {args.strength}"
    )
    for name, seconds in log:
        print(f"  {name:<17} {seconds * 1e3:8.2f} ms")
    print(f"output  {args.output} ({output.bits}-bit single-channel {fmt.upper()})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
