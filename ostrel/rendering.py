"""The black-and-white pipeline: a recipe applied to scene-linear RGB by the kernels."""

from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import Final

import numpy as np
import numpy.typing as npt

import ostrel_core as oc
from ostrel.arrays import rgb_for_kernels
from ostrel.exposure import photo_exposure, sample_stride
from ostrel.films import film_weights
from ostrel.paper import PaperParams, paper_params, print_stage
from ostrel.reading import Photo
from ostrel.recipe import Bands, FilterStep, Grain, MixerStep, Recipe, Vignette
from ostrel.toning import tone_print

FloatImage = npt.NDArray[np.float32]


def _filtered(rgb: FloatImage, step: FilterStep) -> FloatImage:
    return oc.color_filter_bw(rgb, getattr(oc.ColorFilter, step.filter), getattr(oc.LuminanceStandard, step.standard))


@functools.cache
def filter_factor(step: FilterStep) -> np.float32:
    """What the filter passes of a neutral white under its standard (1 for no filter).

    It is the kernel's own result for one white pixel, so dividing by it
    brings white back to exactly 1.0.
    """
    white = np.ones((1, 1, 3), np.float32)
    return np.float32(_filtered(white, step)[0, 0, 0])


@functools.cache
def filter_transmission(step: FilterStep) -> tuple[float, float, float]:
    """What the filter passes of each linear sRGB primary, from the kernel's own weights under its standard."""
    primaries = np.eye(3, dtype=np.float32).reshape(1, 3, 3)
    filtered = _filtered(primaries, step)[0, :, 0]
    plain = _filtered(primaries, FilterStep("NoFilter", step.standard))[0, :, 0]
    return (float(filtered[0] / plain[0]), float(filtered[1] / plain[1]), float(filtered[2] / plain[2]))


def luminance_step(recipe: Recipe) -> FilterStep | MixerStep:
    """The recipe's luminance step as the kernels run it: a film stock becomes its weights behind the filter."""
    if not recipe.film.enabled:
        return recipe.luminance
    step = recipe.luminance
    assert isinstance(step, FilterStep)  # a recipe refuses a film with a mixer
    transmission = filter_transmission(step) if step.filter != "NoFilter" else (1.0, 1.0, 1.0)
    return _film_mixer(recipe.film.stock, transmission)


@functools.cache
def _film_mixer(stock: str, transmission: tuple[float, float, float]) -> MixerStep:
    return MixerStep(*film_weights(stock, transmission))


def luminance(rgb: FloatImage, step: FilterStep | MixerStep) -> FloatImage:
    """The recipe's luminance step: (H, W, 3) linear RGB to (H, W, 1) linear luminance.

    A coloured filter is metered as a through-the-lens camera meters it: the
    exposure opens up by the filter factor, so a neutral grey keeps its tone
    and only colours move (a blue sky darkens under red, skin lightens). The
    mixer's weights are used as given.
    """
    if isinstance(step, MixerStep):
        return oc.channel_mixer_bw(rgb, step.red, step.green, step.blue)
    lum = _filtered(rgb, step)
    if step.filter != "NoFilter":
        np.divide(lum, filter_factor(step), out=lum)
    return lum


def exposed(lum: FloatImage, stops: float) -> FloatImage:
    """Luminance times 2^stops, in place (the luminance step is linear, so this is the exposure of the RGB)."""
    if stops:
        np.multiply(lum, np.float32(2.0**stops), out=lum)
    return lum


@dataclass(frozen=True)
class Development:
    """What a recipe decides for one photo before its pixels are touched: exposure, radii, paper."""

    exposure: float
    radius: int
    paper: PaperParams | None
    bands_radius: int = 0


def develop(recipe: Recipe, height: int, width: int, *, exposure: float = 0.0, scale: float = 1.0) -> Development:
    """The recipe's decisions for a photo of this size given its exposure in stops.

    `scale` < 1 renders a reduced image as the full-size print would look:
    a radius in pixels shrinks with it (a relative radius follows the size).
    """
    radius = recipe.local_contrast.pixels(height, width, scale=scale)
    bands_radius = recipe.bands.pixels(height, width, scale=scale) if recipe.bands.enabled else 0
    return Development(exposure, radius, paper_params(recipe, exposure), bands_radius)


def meter_sample(rgb: FloatImage, step: FilterStep | MixerStep) -> FloatImage:
    """The metering sample's luminance: every k-th row and column, as `ostrel.exposure` reads it."""
    stride = sample_stride(int(rgb.shape[0]), int(rgb.shape[1]))
    return luminance(np.ascontiguousarray(rgb[::stride, ::stride]), step)


# The colour bands' edge threshold, as a share of the square of the largest
# offset: the filter tells an edge from noise by the same share of the step
# whether the bands move a stop or three.
BANDS_EPS_SHARE: Final = 0.1


def bands_eps(bands: Bands) -> float:
    """The guided filter's eps (stops^2) for these offsets."""
    peak = max(abs(stops) for stops in bands.offsets)
    return max(BANDS_EPS_SHARE * peak * peak, 1e-6)


def mixed(rgb: FloatImage, lum: FloatImage, bands: Bands, radius: int) -> FloatImage:
    """The luminance with the colour bands mixed in (`ostrel._darkroom.bands`); `lum` itself when off.

    `rgb` is the linear RGB that `lum` was made from; `radius` the smoothing
    radius in pixels (`Development.bands_radius`).
    """
    if not bands.enabled:
        return lum
    from ostrel import _darkroom

    result: FloatImage = _darkroom.bands(rgb, lum, bands.offsets, radius, bands_eps(bands))
    return result


# Where a plane lies in the whole image: top, left, full height, full width.
Placement = tuple[int, int, int, int]


def burnt(lum: FloatImage, vignette: Vignette, placement: Placement | None = None) -> FloatImage:
    """Scene-linear luminance with the edges burnt or dodged (`ostrel._darkroom.vignette`); `lum` when off.

    `placement` puts a block of a larger image where it lies (top, left,
    full height, full width), so the block gets the whole image's bits.
    """
    if not vignette.enabled:
        return lum
    from ostrel import _darkroom

    top, left, height, width = placement or (0, 0, int(lum.shape[0]), int(lum.shape[1]))
    result: FloatImage = _darkroom.vignette(
        lum, vignette.stops, vignette.midpoint, vignette.feather, top, left, height, width
    )
    return result


def grained(plane: FloatImage, grain: Grain, placement: Placement | None = None, *, encode: bool = False) -> FloatImage:
    """The display-linear print with the film's grain (`ostrel._darkroom.grain`); with `encode`, sRGB-encoded
    (`grain_encode`). Without grain, the plane itself (encoded: `encode_srgb` of it).

    The pitch, film micrometres per pixel, is the format's long edge over the
    whole image's (`placement`'s full size): a reduced preview of a photo has
    coarser pixels of the same film, so its grain is the print's at its size.
    """
    if not grain.enabled:
        return oc.encode_srgb(plane) if encode else plane
    from ostrel import _darkroom

    top, left, height, width = placement or (0, 0, int(plane.shape[0]), int(plane.shape[1]))
    kernel = _darkroom.grain_encode if encode else _darkroom.grain
    result: FloatImage = kernel(
        plane, grain.strength, grain.granularity, grain.pitch_um(height, width), grain.seed, top, left, height, width
    )
    return result


def tone(
    lum: FloatImage,
    recipe: Recipe,
    development: Development,
    placement: Placement | None = None,
    *,
    encode: bool = False,
) -> FloatImage:
    """Exposure, zones, edge burning, local contrast, the paper and grain on linear luminance: display-linear
    print tone.

    `lum` is consumed (exposed in place). With the clip curve the result is
    still scene-linear and unclamped; the writer clips it when it quantises.
    `placement` is where `lum` lies in the whole photo (for a region of it).
    With `encode` the result is sRGB-encoded (the paper and the encoding in
    one pass).
    """
    base = oc.zone_system(exposed(lum, development.exposure), oc.ZoneParams(dict(recipe.zones)))
    base = burnt(base, recipe.vignette, placement)
    contrast = recipe.local_contrast
    detailed = None
    if contrast.enabled and development.radius > 0:
        params = oc.GuidedFilterParams(development.radius, contrast.eps)
        detailed = oc.local_contrast(base, params, contrast.strength)
    if development.paper is None:
        plane = base if detailed is None else detailed
        return grained(plane, recipe.grain, placement, encode=encode)
    if recipe.grain.enabled:
        # The grain takes the paper's display-linear print and ends in the encoding itself.
        return grained(print_stage(base, detailed, development.paper), recipe.grain, placement, encode=encode)
    return print_stage(base, detailed, development.paper, encode=encode)


def render(
    rgb: FloatImage | Photo,
    recipe: Recipe,
    *,
    scale: float = 1.0,
    exposure: float | None = None,
    scene_referred: bool = False,
    baseline: float | None = None,
) -> FloatImage:
    """The print of `rgb`: a display-referred (sRGB-encoded) (H, W, 1) float32 plane, (H, W, 3) when toned.

    `rgb` is scene-linear (H, W, 3) float32 pixels, or a decoded `Photo`
    (which brings its own scale and camera RAW facts). The steps run in
    order: luminance, colour bands (when the recipe mixes them), exposure,
    Zone System, edge burning (when the recipe burns), local contrast (left
    out when its strength is 0), the paper curve, grain (when the recipe has
    it), toning (when the recipe tones), sRGB encoding. `exposure` (stops)
    overrides the recipe's metering; otherwise the photo is metered as
    `ostrel.exposure` describes (`scene_referred` for camera RAW data, with
    its DNG `baseline` exposure when it has one).
    """
    if isinstance(rgb, Photo):
        scale, scene_referred, baseline = rgb.scale, rgb.scene_referred, rgb.baseline_exposure
        rgb = rgb.pixels
    planes = render_planes(
        rgb, recipe, scale=scale, exposure=exposure, scene_referred=scene_referred, baseline=baseline
    )
    return planes[0]


def render_planes(
    rgb: FloatImage,
    recipe: Recipe,
    *,
    scale: float = 1.0,
    exposure: float | None = None,
    scene_referred: bool = False,
    baseline: float | None = None,
) -> tuple[FloatImage, FloatImage]:
    """The print (as `render`) and the photo's own luminance before exposure (for clipping reports)."""
    rgb = rgb_for_kernels(rgb)
    if exposure is None:
        exposure = photo_exposure(
            recipe,
            scene_referred=scene_referred,
            baseline=baseline,
            sample=lambda: meter_sample(rgb, luminance_step(recipe)),
        )
    development = develop(recipe, int(rgb.shape[0]), int(rgb.shape[1]), exposure=exposure, scale=scale)
    lum = luminance(rgb, luminance_step(recipe))
    # The meter and the clipping report read the luminance before the bands.
    banded = mixed(rgb, lum, recipe.bands, development.bands_radius)
    photo = lum.copy() if development.exposure and banded is lum else lum
    if recipe.toning.enabled:
        return tone_print(tone(banded, recipe, development), recipe.toning, encode=True), photo
    return tone(banded, recipe, development, encode=True), photo


def render_photo(photo: Photo, recipe: Recipe) -> tuple[FloatImage, FloatImage]:
    """The print of a decoded photo (metered as its kind asks) and its luminance before exposure."""
    return render_planes(
        photo.pixels,
        recipe,
        scale=photo.scale,
        scene_referred=photo.scene_referred,
        baseline=photo.baseline_exposure,
    )


def quantize(plane: FloatImage, bits: int) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
    """Display values (H, W[, 1]) clipped to [0, 1] and rounded to the nearest 8- or 16-bit code, as (H, W);
    an (H, W, 3) print as (H, W, 3) codes.

    The product with the top code is exact in double precision (24 + 16
    significant bits), so the rounding is to the nearest code of the exact
    value, ties to even (`ostrel._darkroom.quantize`, on all threads). NaN
    becomes 0 (black), +inf the top code. Values of another dtype are taken
    as float32 first.
    """
    from ostrel import _darkroom

    height, width = plane.shape[0], plane.shape[1] if plane.ndim > 1 else 1
    channels = plane.shape[2] if plane.ndim > 2 else 1
    values = np.asarray(plane, np.float32).reshape(height, width, channels)
    shape = (height, width) if channels == 1 else (height, width, channels)
    codes: npt.NDArray[np.uint8] | npt.NDArray[np.uint16] = np.empty(shape, np.uint8 if bits == 8 else np.uint16)
    _darkroom.quantize(values, codes)
    return codes
