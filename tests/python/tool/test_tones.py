# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="attr-defined"
"""The print's tones: what the paper keeps, what metering places, what presets promise."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import save, scene, srgb_decode, srgb_encode, vips_image
from ostrel import read_photo
from ostrel.clipping import measure
from ostrel.presets import PRESETS, get_preset
from ostrel.recipe import Recipe
from ostrel.rendering import quantize, render, render_photo

pyvips = pytest.importorskip("pyvips")

NO_DETAIL = {"local_contrast": {"strength": 0}}


def ramp() -> np.ndarray:
    """sRGB codes 0..255 as scene-linear grey pixels (1, 256, 3)."""
    linear = srgb_decode(np.arange(256, dtype=np.uint8)).astype(np.float32)
    return np.repeat(linear[None, :, None], 3, axis=2).copy()


@pytest.mark.parametrize("preset", list(PRESETS))
def test_a_grey_ramp_prints_monotonic_with_white_as_paper_white(preset):
    # A toned preset's grey print: toning keeps its tones (tests/python/tool/test_toning.py); edge
    # burning and grain, spatial effects, are left out (tests/python/tool/test_vignette_prints.py,
    # tests/python/tool/test_grain_prints.py).
    recipe = get_preset(preset).recipe.updated(
        {**NO_DETAIL, "toning": {"toner": "none"}, "vignette": {"stops": 0}, "grain": {"strength": 0}}
    )
    plane = render(ramp(), recipe)
    eight, sixteen = quantize(plane, 8).ravel().astype(int), quantize(plane, 16).ravel().astype(int)
    assert np.all(np.diff(sixteen) >= 0)
    assert eight[-1] == 255 and sixteen[-1] == 65535  # the photo's white is paper white
    assert eight[:255].max() < 255  # and nothing below it is
    if preset == "neutral":
        assert len(set(eight[230:255])) >= 20  # the highlights keep their separation
        assert eight[0] == 0


def test_the_old_pipeline_stays_available_as_the_clip_curve():
    clipped = Recipe().updated({**NO_DETAIL, "zones": {}, "print": {"curve": "clip"}})
    codes = quantize(render(ramp(), clipped), 8).ravel()
    np.testing.assert_array_equal(codes, np.arange(256))  # plain grey: every code back as itself
    pushed = quantize(render(ramp(), clipped.updated({"exposure": {"stops": 1}})), 8).ravel()
    assert np.count_nonzero(pushed == 255) > 60  # a hard clip blows what exposure pushes past white
    kept = quantize(render(ramp(), Recipe().updated({**NO_DETAIL, "exposure": {"stops": 1}})), 8).ravel()
    assert np.count_nonzero(kept == 255) <= 4 and len(set(kept[200:])) > 10  # the paper's shoulder keeps them


def near_white_scene(height=64, width=96):
    """Grey texture just under white beside dark edges, never the photo's own white or black:
    where a linear unsharp mask overshoots both."""
    rng = np.random.default_rng(5)
    grey = np.full((height, width), 0.95)
    grey[:, width // 2 :] = 0.004
    grey[height // 3 : height // 2, :] = 0.15
    grey *= np.exp(rng.normal(0, 0.05, grey.shape))
    grey = np.clip(grey, 0.002, 0.98)
    return np.repeat(grey[:, :, None], 3, axis=2).astype(np.float32)


@pytest.mark.parametrize("preset", list(PRESETS))
def test_local_contrast_never_clips_what_the_photo_held(preset):
    rgb = near_white_scene()
    # The grey print: a toner's tint may take a channel of a near-black to 0 without clipping a tone.
    recipe = get_preset(preset).recipe.updated(
        {"local_contrast": {"strength": 2.0, "radius": 6}, "toning": {"toner": "none"}}
    )
    plane = render(rgb, recipe)
    codes = quantize(plane, 16)
    assert codes.max() < 65535 and codes.min() > 0
    if preset == "neutral":  # the same recipe clipped as before blows and blocks both sides of every edge
        old = quantize(render(rgb, recipe.updated({"print": {"curve": "clip"}})), 16)
        assert np.count_nonzero(old == 65535) > 500 and np.count_nonzero(old == 0) > 500


def test_a_reduced_copy_prints_like_the_reduced_print(tmp_path):
    """A 2x smaller copy prints within 5 8-bit codes (mean under 0.5) of the 2x reduced print."""
    original = save(vips_image(scene(256, 384, seed=3)), tmp_path / "big.png")
    copy = pyvips.Image.new_from_file(str(original)).colourspace("scrgb").resize(0.5, kernel="linear")
    copy.colourspace("srgb").write_to_file(str(tmp_path / "small.png"))

    def difference(recipe):
        big = srgb_encode(reduced_print(original, 0.5, recipe)) * 255
        small = srgb_encode(reduced_print(tmp_path / "small.png", 1.0, recipe)) * 255
        return np.abs(big[1:-1, 1:-1] - small[1:-1, 1:-1])  # the resize's own edge rows aside

    def reduced_print(path, factor, recipe):
        plane = render_photo(read_photo(path), recipe)[0]
        linear = pyvips.Image.new_from_array(np.ascontiguousarray(srgb_decode(quantize(plane, 16))))
        return linear.resize(factor, kernel="linear").numpy()

    relative = difference(Recipe())  # the default radius is a share of the long edge
    assert relative.max() < 5 and relative.mean() < 0.5
    fixed = difference(Recipe().updated({"local_contrast": {"radius": 16}}))  # pixels do not follow the size
    assert fixed.mean() > 2 * relative.mean()


GREY_CHART = [0.18 * 2.0**k for k in range(-4, 5)]  # Zones I..IX of the scene, 0.011 .. 2.9


def chart(under: float) -> np.ndarray:
    """A linear grey chart exposed `under` stops below normal, as a raw file records it (clipped at 1)."""
    patches = np.repeat(np.asarray(GREY_CHART) * 2.0**-under, 8)
    rgb = np.repeat(np.clip(patches, 0.0, 1.0)[None, :, None], 3, axis=2)
    return np.repeat(rgb, 32, axis=0)  # LibRaw takes no fewer rows


@pytest.mark.parametrize("baseline", [None, 2.5])
def test_camera_raw_prints_middle_grey_near_middle_grey(tmp_path, baseline):
    pytest.importorskip("rawpy")
    from test_reading import write_dng  # type: ignore[import-not-found]

    path = write_dng(tmp_path / "chart.dng", chart(2.5), baseline=baseline)
    photo = read_photo(path)
    assert photo.scene_referred and photo.baseline_exposure == baseline
    codes = quantize(render_photo(photo, Recipe().updated(NO_DETAIL))[0], 8)[16, :].astype(int)
    means = codes.reshape(-1, 8)[:, 2:6].mean(axis=1)
    assert abs(means[4] - 118) < 12  # Zone V patch: 18 % grey prints as L* 50
    assert np.all(np.diff(means) > 0)  # every patch keeps its own tone
    assert means[-1] < 255  # 2.5 stops above the JPEG white, printed, not clipped
    plain = quantize(render_photo(photo, Recipe().updated({**NO_DETAIL, "exposure": {"meter": "off"}}))[0], 8)
    assert plain[16, 4 * 8 + 4] < 80  # without metering the raw data prints as dark as it was recorded


def test_average_metering_places_a_dark_photo_on_middle_grey():
    dark = np.broadcast_to(np.float32(0.18 / 8), (20, 30, 3)).copy()  # three stops under
    as_shot = quantize(render(dark, Recipe().updated(NO_DETAIL)), 8)
    metered = quantize(render(dark, Recipe().updated({**NO_DETAIL, "exposure": {"meter": "average"}})), 8)
    compensated = quantize(render(dark, Recipe().updated({**NO_DETAIL, "exposure": {"stops": 3}})), 8)
    assert as_shot.max() < 60 and abs(int(metered[0, 0]) - 118) <= 1
    np.testing.assert_array_equal(metered, compensated)


# ColorChecker (X-Rite, 2005 and later), published sRGB values.
PATCHES = {
    "blue sky": (98, 122, 157),
    "foliage": (87, 108, 67),
    "light skin": (194, 150, 130),
    "red": (175, 54, 60),
    "blue": (56, 61, 150),
    "neutral 8": (200, 200, 200),
    "neutral 3.5": (85, 85, 85),
    "black": (52, 52, 52),
}


def print_value(preset: str, patch: str) -> float:
    rgb = srgb_decode(np.asarray(PATCHES[patch], np.uint8)).astype(np.float32)
    plane = render(np.broadcast_to(rgb, (8, 8, 3)).copy(), get_preset(preset).recipe)
    return float(srgb_decode(quantize(plane, 16))[4, 4])


def against_plain(patch: str) -> float:
    """Stops between the neutral print of a patch and its plain grey conversion."""
    rgb = srgb_decode(np.asarray(PATCHES[patch], np.uint8)).astype(np.float32)
    plain = float(np.dot(rgb, [0.2126, 0.7152, 0.0722]))
    return float(np.log2(print_value("neutral", patch) / plain))


def stops(preset: str, patch: str) -> float:
    """How many stops lighter (+) or darker (-) the patch prints than under neutral."""
    return float(np.log2(max(print_value(preset, patch), 1e-6) / print_value("neutral", patch)))


def grain_rms(preset: str, code: int) -> float:
    """The RMS (in 8-bit codes) of a flat 2-megapixel patch of this sRGB grey printed through the preset."""
    rgb = np.full((1200, 1600, 3), srgb_decode(np.asarray(code, np.uint8)), np.float32)
    printed = quantize(render(rgb, get_preset(preset).recipe.updated(NO_DETAIL)), 16).astype(np.float64) / 257
    return float(printed.std())


# Each preset's description, as claims measured on the patches (in stops against neutral).
CLAIMS = [
    ("yellow", "slightly darker blue skies", lambda: -0.3 < stops("yellow", "blue sky") < -0.03),
    (
        "yellow",
        "natural foliage and skin",
        lambda: max(abs(stops("yellow", p)) for p in ("foliage", "light skin")) < 0.15,
    ),
    ("orange", "darker skies than yellow", lambda: stops("orange", "blue sky") < stops("yellow", "blue sky") - 0.05),
    ("orange", "lighter skin", lambda: stops("orange", "light skin") > 0.1),
    ("orange", "between yellow and red", lambda: stops("red", "blue sky") < stops("orange", "blue sky")),
    ("red", "a blue sky a stop or more darker", lambda: stops("red", "blue sky") <= -1.0),
    ("red", "deep blues near black", lambda: print_value("red", "blue") < 0.01),
    ("red", "light skin", lambda: stops("red", "light skin") > 0.5),
    ("red", "white clouds kept white", lambda: abs(stops("red", "neutral 8")) < 0.15),
    ("green", "lighter leaves", lambda: stops("green", "foliage") > 0.1),
    (
        "green",
        "deeper skin tones and lips",
        lambda: stops("green", "light skin") < -0.1 and stops("green", "red") < -0.5,
    ),
    ("infrared", "glowing foliage a stop lighter", lambda: stops("infrared", "foliage") >= 0.9),
    ("infrared", "near-black blue skies", lambda: stops("infrared", "blue sky") <= -1.0),
    ("infrared", "shadows lifted", lambda: stops("infrared", "black") > 0.2),
    ("high-contrast", "deeper blacks", lambda: stops("high-contrast", "black") < -0.3),
    ("high-contrast", "brighter highlights", lambda: stops("high-contrast", "neutral 8") > 0.1),
    ("soft", "lifted shadows", lambda: stops("soft", "black") > 0.3),
    ("soft", "held-back highlights", lambda: stops("soft", "neutral 8") < -0.1),
    ("landscape", "blue skies darker", lambda: stops("landscape", "blue sky") < -0.5),
    ("landscape", "foliage lighter", lambda: stops("landscape", "foliage") > 0.25),
    (
        "landscape",
        "skin and greys left as they are",
        lambda: abs(stops("landscape", "light skin")) < 0.1 and abs(stops("landscape", "neutral 3.5")) < 0.02,
    ),
    ("hp5", "blue skies lighter", lambda: stops("hp5", "blue sky") > 0.2),
    ("hp5", "foliage darker than the eye sees them", lambda: stops("hp5", "foliage") < -0.2),
    (
        "hp5",
        "film grain strongest in the mid-tones",
        lambda: (
            grain_rms("hp5", 118) > 2 * max(grain_rms("hp5", 15), grain_rms("hp5", 245)) > 0
            and grain_rms("hp5", 255) == 0
        ),
    ),
    (
        "neutral",
        "a gentle S-curve",
        lambda: -0.2 < against_plain("neutral 3.5") < 0 < against_plain("neutral 8") < 0.2,
    ),
]


@pytest.mark.parametrize(("preset", "claim", "holds"), CLAIMS, ids=[f"{p}: {c}" for p, c, _ in CLAIMS])
def test_presets_keep_their_promises(preset, claim, holds):
    assert claim in PRESETS[preset].description or preset == "neutral"
    assert holds()


def test_a_neutral_patch_keeps_its_tone_under_every_preset():
    """Filters are metered and mixers sum to one: greys move only by the zones."""
    for name in PRESETS:
        flat = get_preset(name).recipe.updated({"zones": {}, "vignette": {"stops": 0}})  # burning moves the edges
        rgb = srgb_decode(np.full((4, 4, 3), 160, np.uint8)).astype(np.float32)
        printed = srgb_decode(quantize(render(rgb, flat), 16))[2, 2]
        tone = float(np.dot(printed, [0.2126, 0.7152, 0.0722])) if printed.size == 3 else float(printed)
        assert abs(tone - rgb[0, 0, 0]) < 2e-3, name  # a toned print by its luminance


def test_clipping_is_measured_against_the_photo():
    rgb = near_white_scene()
    plane, photo = render_photo_planes(rgb, Recipe())
    assert measure(plane, photo, 8).warning() is None
    blown, photo = render_photo_planes(rgb, Recipe().updated({"exposure": {"stops": 2}, "print": {"curve": "clip"}}))
    clipping = measure(blown, photo, 8)
    assert clipping.white > 30 and clipping.photo_white == 0
    assert "pure white" in (clipping.warning() or "")


def render_photo_planes(rgb, recipe):
    from ostrel.rendering import render_planes

    return render_planes(rgb, recipe)


@pytest.mark.parametrize(("height", "width"), [(1, 1), (70, 33), (130, 257)])
def test_a_toned_print_counts_a_pixel_as_clipped_only_in_every_channel(height, width):
    rng = np.random.default_rng(height)
    plane = rng.random((height, width, 3), dtype=np.float32)
    picks = rng.random((height, width, 3)) < 0.5  # some channels of some pixels clipped, others not
    plane[picks & (rng.random((height, width, 1)) < 0.5)] = 1.0
    plane[picks & (rng.random((height, width, 1)) < 0.3)] = 0.0
    clipping = measure(plane, None, 16)
    top, low = np.nextafter(65534.5 / 65535, 2.0), np.nextafter(0.5 / 65535, 0.0)
    size = height * width
    assert clipping.white == pytest.approx(100 * np.count_nonzero((plane >= top).all(axis=2)) / size)
    assert clipping.black == pytest.approx(100 * np.count_nonzero((plane <= low).all(axis=2)) / size)
