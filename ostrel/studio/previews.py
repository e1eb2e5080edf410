"""Previews of the print: rendered from a photo's view-sized proxy, encoded as JPEG or PNG.

Three views: the print (`print`), the plain grey conversion with no recipe
(`before`: BT.709 luminance, no zones, no local contrast, clipped), and the
print posterised to its zones (`zones`: each pixel at the grey of its zone's
centre). The histogram is on the print's zone scale: a print value's L* is
found from its display-linear value, and Zone N is L* = 10 N (rounded); the
clipped shares are the pixels at the pure white and pure black codes.

Rendering takes every core, so one render runs at a time. Requests that come
faster than the renders coalesce: a request that finds a newer one of the same
kind waiting behind it gives way (`SupersededError`), so the last value wins and
no queue builds up.
"""

from __future__ import annotations

import json
import threading
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass, replace
from typing import Any, Final, Literal, cast

import numpy as np
import numpy.typing as npt

import ostrel_core as oc
from ostrel import _deps
from ostrel.exposure import photo_exposure
from ostrel.preview import ZONE_GREYS, print_zones
from ostrel.reading import Photo
from ostrel.recipe import Recipe, Toning
from ostrel.rendering import develop, luminance, luminance_step, meter_sample, mixed, quantize, render_photo, tone
from ostrel.studio import StudioError
from ostrel.studio.session import Session
from ostrel.toning import tone_print
from ostrel.writing import print_picture

View = Literal["print", "before", "zones"]
Format = Literal["jpeg", "png"]
VIEWS: Final = ("print", "before", "zones")
FORMATS: Final = ("jpeg", "png")
JPEG_QUALITY: Final = 88
MIN_WIDTH: Final = 16
MAX_WIDTH: Final = 8192
LOUPE_MAX: Final = 1024
KEPT: Final = 8

# The plain grey conversion: BT.709 luminance as it is, nothing else.
BEFORE: Final = Recipe().updated({"zones": {}, "local_contrast": {"strength": 0}, "print": {"curve": "clip"}})


def _lstar(linear: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """CIE L* of display-linear luminance (0..1)."""
    epsilon, kappa = 216 / 24389, 24389 / 27
    cube = np.cbrt(np.maximum(linear, 0.0))
    return np.where(linear > epsilon, 116.0 * cube - 16.0, kappa * linear)


def _srgb_linear(encoded: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return np.where(encoded <= 0.04045, encoded / 12.92, ((encoded + 0.055) / 1.055) ** 2.4)


# Per 8-bit print code: its L* and its zone.
_CODES: Final = np.arange(256, dtype=np.float64) / 255.0
CODE_LSTAR: Final = _lstar(_srgb_linear(_CODES))
CODE_ZONE: Final = print_zones(_CODES.astype(np.float32).reshape(1, -1, 1)).ravel()
# The grey of each zone, as the zone map draws it.
ZONE_CODE: Final = np.asarray(ZONE_GREYS, np.uint8)


def histogram(codes: npt.NDArray[np.uint8]) -> dict[str, object]:
    """Shares (per cent) of 8-bit print codes per zone 0..10 and per L* (0..100), and the clipped shares."""
    counts = np.bincount(codes.ravel(), minlength=256).astype(np.float64)
    total = max(1.0, float(counts.sum()))
    zones = np.bincount(CODE_ZONE, weights=counts, minlength=11)
    lstar = np.bincount(np.rint(CODE_LSTAR).astype(np.int64), weights=counts, minlength=101)
    return {
        "zones": [round(100.0 * z / total, 3) for z in zones],
        "lstar": [round(100.0 * v / total, 3) for v in lstar],
        "white": round(100.0 * counts[255] / total, 3),
        "black": round(100.0 * counts[0] / total, 3),
    }


@dataclass(frozen=True)
class Rendered:
    """An encoded preview and the histogram of the print it shows."""

    body: bytes
    media_type: str
    histogram: dict[str, object]
    width: int
    height: int


class SupersededError(Exception):
    """A newer request of the same kind came while this one waited: it gives way."""


class Coalescer:
    """Runs one job at a time; a job whose kind has a newer job waiting is dropped (the last value wins)."""

    def __init__(self) -> None:
        self._run = threading.Lock()
        self._tickets: dict[str, int] = {}
        self._count = threading.Lock()
        self.superseded = 0

    def run[T](self, kind: str, job: Callable[[], T]) -> T:
        with self._count:
            ticket = self._tickets.get(kind, 0) + 1
            self._tickets[kind] = ticket
        with self._run:
            with self._count:
                if self._tickets[kind] != ticket:
                    self.superseded += 1
                    raise SupersededError(kind)
            return job()


def codes8(plane: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
    """The display plane as 8-bit codes (H, W); a toned plane as (H, W, 3)."""
    return cast("npt.NDArray[np.uint8]", quantize(plane, 8))


def recipe_key(recipe: Recipe) -> str:
    """A recipe as text that is equal for equal recipes (for the cache of previews)."""
    return json.dumps(recipe.to_dict(), sort_keys=True)


def encode(codes: npt.NDArray[np.uint8], fmt: Format) -> bytes:
    image = print_picture(codes)
    if fmt == "png":
        return bytes(image.pngsave_buffer(compression=1))
    return bytes(image.jpegsave_buffer(Q=JPEG_QUALITY, optimize_coding=False, strip=False))


def _media(fmt: Format) -> str:
    return "image/png" if fmt == "png" else "image/jpeg"


class Previewer:
    """Renders the session's photos with its current recipe; keeps the last few results."""

    def __init__(self, session: Session) -> None:
        self.session = session
        self.coalescer = Coalescer()
        self._kept: OrderedDict[tuple[object, ...], Rendered] = OrderedDict()
        self._lock = threading.Lock()

    def _cached(self, key: tuple[object, ...], make: Callable[[], Rendered]) -> Rendered:
        with self._lock:
            if key in self._kept:
                self._kept.move_to_end(key)
                return self._kept[key]
        result = make()
        with self._lock:
            self._kept[key] = result
            while len(self._kept) > KEPT:
                self._kept.popitem(last=False)
        return result

    def preview(
        self, photo_id: str, width: int, view: str = "print", fmt: str = "jpeg", *, client: str = ""
    ) -> Rendered:
        """The preview `width` pixels wide (at most the proxy's width). Raises SupersededError or StudioError."""
        if view not in VIEWS:
            raise StudioError(f"view must be one of {', '.join(VIEWS)}, not {view!r}")
        if fmt not in FORMATS:
            raise StudioError(f"format must be jpeg or png, not {fmt!r}")
        if not MIN_WIDTH <= width <= MAX_WIDTH:
            raise StudioError(f"width must be {MIN_WIDTH}..{MAX_WIDTH} pixels, not {width}")
        self.session.entry(photo_id)
        recipe = BEFORE if view == "before" else self.session.recipe
        key = ("preview", photo_id, width, view, fmt, recipe_key(recipe))

        def make() -> Rendered:
            photo = self.session.view(photo_id, width)
            return self._render(photo, recipe, view, fmt)  # type: ignore[arg-type]

        kind = f"preview:{client}:{view}:{photo_id}"
        return self._cached(key, lambda: self.coalescer.run(kind, make))

    def _render(self, photo: Photo, recipe: Recipe, view: View, fmt: Format) -> Rendered:
        plane, _ = render_photo(photo, recipe)
        codes = grey = codes8(plane)
        if recipe.toning.enabled:
            # The histogram and the zones read the grey print the toner colours.
            grey = codes8(render_photo(photo, replace(recipe, toning=Toning()))[0])
        shown: npt.NDArray[np.uint8] = ZONE_CODE[CODE_ZONE[grey]] if view == "zones" else codes
        return Rendered(encode(shown, fmt), _media(fmt), histogram(grey), photo.width, photo.height)

    def loupe(self, photo_id: str, x: float, y: float, size: int, *, client: str = "") -> Rendered:
        """The full-size print's `size` x `size` region centred on (x, y), fractions of the photo's width and height.

        It is rendered as that part of the full-size print: metered on the
        whole photo, with the full size's local-contrast radius, the region
        widened by the filter's reach so its edges are the print's own.
        """
        if not (0.0 <= x <= 1.0 and 0.0 <= y <= 1.0):
            raise StudioError("x and y are fractions of the photo's width and height, 0..1")
        if not MIN_WIDTH <= size <= LOUPE_MAX:
            raise StudioError(f"size must be {MIN_WIDTH}..{LOUPE_MAX} pixels, not {size}")
        recipe = self.session.recipe
        key = ("loupe", photo_id, round(x, 5), round(y, 5), size, recipe_key(recipe))

        def make() -> Rendered:
            photo = self.session.full(photo_id)
            return self._render_region(photo, recipe, x, y, size)

        return self._cached(key, lambda: self.coalescer.run(f"loupe:{client}:{photo_id}", make))

    def _render_region(self, photo: Photo, recipe: Recipe, x: float, y: float, size: int) -> Rendered:
        height, width = photo.height, photo.width
        exposure = photo_exposure(
            recipe,
            scene_referred=photo.scene_referred,
            baseline=photo.baseline_exposure,
            sample=lambda: meter_sample(photo.pixels, luminance_step(recipe)),
        )
        development = develop(recipe, height, width, exposure=exposure)
        reach = 3 * development.radius if recipe.local_contrast.enabled else 0
        reach += 2 * development.bands_radius  # the colour bands' smoothing, before local contrast
        w, h = min(size, width), min(size, height)
        left = min(max(0, round(x * width - w / 2)), width - w)
        top = min(max(0, round(y * height - h / 2)), height - h)
        x0, y0 = max(0, left - reach), max(0, top - reach)
        x1, y1 = min(width, left + w + reach), min(height, top + h + reach)
        region = np.ascontiguousarray(photo.pixels[y0:y1, x0:x1])
        # An untoned print ends in the encoding as the print does (the grain's own, when it has grain).
        grey_print = not recipe.toning.enabled
        at = (y0, x0, height, width)
        banded = mixed(region, luminance(region, luminance_step(recipe)), recipe.bands, development.bands_radius)
        plane = tone(banded, recipe, development, at, encode=grey_print)
        plane = np.ascontiguousarray(plane[top - y0 : top - y0 + h, left - x0 : left - x0 + w])
        grey = codes8(plane if grey_print else oc.encode_srgb(plane))
        codes = grey if grey_print else codes8(tone_print(plane, recipe.toning, encode=True))
        return Rendered(encode(codes, "png"), "image/png", histogram(grey), w, h)


def headers(rendered: Rendered) -> dict[str, str]:
    """The response headers that go with a preview: its size and its histogram."""
    return {
        "X-Ostrel-Size": f"{rendered.width}x{rendered.height}",
        "X-Ostrel-Histogram": json.dumps(rendered.histogram, separators=(",", ":")),
        "Cache-Control": "no-store",
    }


def thumbnail(path: Any, size: int = 192) -> bytes:
    """A small colour picture of the photo for the filmstrip (libvips's shrink-on-load)."""
    vips = _deps.pyvips()
    try:
        image = vips.Image.thumbnail(str(path), size, height=size)
        return bytes(image.colourspace("srgb").jpegsave_buffer(Q=80, strip=True))
    except vips.Error as error:
        raise StudioError(f"{path.name}: no thumbnail: {str(error).splitlines()[0]}", 422) from None
