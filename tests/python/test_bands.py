# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, attr-defined, no-any-return, assignment"
"""ostrel._darkroom.bands: bit for bit against a NumPy formulation (summed-area
tables in int64 where the kernel slides window sums), ColorChecker patches
moving with their band and greys keeping their bits, noise, hue ramps, blocks
with the whole image's bits, any thread count and instruction set, errors."""

import inspect

import numpy as np
import pytest

from ostrel._darkroom import band_offsets, bands
from test_dispatch import awkward_values, supported_sets

f32 = np.float32
NAMES = ("red", "orange", "yellow", "green", "aqua", "blue", "purple", "magenta")
MIX = (1.0, 0.5, -0.25, 1.5, 0.0, -1.0, 0.75, -0.5)
CENTRES = np.array([0, 0.5, 1, 2, 3, 4, 4.5, 5.25, 6], f32)

# ColorChecker (sRGB, 8 bits) and the band a photographer files each under.
PATCHES = {
    "red": ((175, 54, 60), "red"),
    "orange": ((214, 126, 44), "orange"),
    "yellow": ((231, 199, 31), "yellow"),
    "green": ((70, 148, 73), "green"),
    "cyan": ((8, 133, 161), "aqua"),
    "blue": ((56, 61, 150), "blue"),
    "purple": ((94, 60, 108), "purple"),
    "magenta": ((187, 86, 149), "magenta"),
    "blue sky": ((98, 122, 157), "blue"),
}
GREYS = [(243, 243, 242), (200, 200, 200), (160, 160, 160), (122, 122, 121), (85, 85, 85), (52, 52, 52)]


def bits(a):
    return np.ascontiguousarray(a, f32).view(np.uint32)


def decoded(codes):
    c = np.asarray(codes, np.float64) / 255.0
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4).astype(f32)


def patch(codes, size=8):
    return np.ascontiguousarray(np.broadcast_to(decoded(codes), (size, size, 3)), f32)


def with_lum(rgb):
    lum = (rgb.astype(np.float64) @ [0.2126, 0.7152, 0.0722]).astype(f32)
    return rgb, np.ascontiguousarray(lum[..., None])


def offsets_for(**stops):
    return [float(stops.get(name, 0.0)) for name in NAMES]


def reference(rgb, offsets, radius=0, eps=0.1, *, low=0.05, high=0.25):
    """The header's steps in NumPy: float32 per operation, then the filter's window sums from
    int64 summed-area tables (not the kernel's running sums)."""
    with np.errstate(all="ignore"):
        r, g, b = (np.sqrt(np.where(rgb[..., c] > 0, rgb[..., c], f32(0))) for c in range(3))
        big, small = np.maximum(np.maximum(r, g), b), np.minimum(np.minimum(r, g), b)
        chroma = big - small
        t = (chroma / np.maximum(big, f32(0.2)) - f32(low)) * f32(1.0 / (float(f32(high)) - float(f32(low))))
        t = np.minimum(np.where(t > 0, t, f32(0)), f32(1))
        w = t * t * (f32(3) - f32(2) * t)
        red, green = big == r, (big != r) & (big == g)
        n = np.where(red, g - b, np.where(green, b - r, r - g))
        h = n / chroma + np.where(red, f32(0), np.where(green, f32(2), f32(4)))
        h = np.where(h < 0, h + f32(6), h)
        k = np.clip(np.searchsorted(CENTRES[1:8], h, side="right"), 0, 7)
        o = np.array(offsets, f32)
        inv = (1.0 / np.diff(CENTRES.astype(np.float64))).astype(f32)
        u = (h - CENTRES[k]) * inv[k]
        u = np.minimum(np.where(u > 0, u, f32(0)), f32(1))
        band = o[k] + (o[(k + 1) % 8] - o[k]) * (u * u * (f32(3) - f32(2) * u))
        finite = (np.abs(rgb[..., 0]) + np.abs(rgb[..., 1])) + np.abs(rgb[..., 2]) <= np.finfo(f32).max
        gate = finite & (w > 0)
        q = np.rint(np.where(gate, w * band, f32(0)) * f32(65536)).astype(np.int64)
    if radius == 0:
        return (q.astype(np.float64) / 65536).astype(f32)[..., None]

    def box(x):
        table = np.zeros((x.shape[0] + 1, x.shape[1] + 1), np.int64)
        table[1:, 1:] = x.cumsum(0).cumsum(1)
        ys, xs = np.arange(x.shape[0]), np.arange(x.shape[1])
        y0, y1 = np.maximum(ys - radius, 0), np.minimum(ys + radius + 1, x.shape[0])
        x0, x1 = np.maximum(xs - radius, 0), np.minimum(xs + radius + 1, x.shape[1])
        sums = table[y1][:, x1] - table[y0][:, x1] - table[y1][:, x0] + table[y0][:, x0]
        return sums, 1.0 / ((y1 - y0)[:, None] * (x1 - x0)[None, :]).astype(np.float64)

    s1, inv_n = box(q)
    s2, _ = box(q * q)
    mean = s1 * inv_n
    var = np.maximum(s2 * inv_n - mean * mean, 0.0)
    a = var / (var + float(f32(eps)) * 2.0**32)
    sa, _ = box(np.rint(a * 2.0**20).astype(np.int64))
    sb, _ = box(np.rint(mean - a * mean).astype(np.int64))
    value = (sa * inv_n) * 2.0**-20 * q + sb * inv_n
    return np.where(gate, (value * 2.0**-16).astype(f32), f32(0))[..., None]


def photo(shape, seed=3):
    """Smooth colours, a grey square and noise: what the filter sees in a photograph."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[: shape[0], : shape[1]].astype(np.float64)
    rgb = np.stack([0.5 + 0.45 * np.sin(0.05 * (x + 2 * c * y) + c) for c in range(3)], axis=-1) ** 2
    rgb += rng.uniform(0, 0.05, rgb.shape)
    rgb[shape[0] // 3 : shape[0] // 2, shape[1] // 4 : shape[1] // 2] = 0.3
    return rgb.astype(f32)


@pytest.mark.parametrize("radius", [0, 1, 4, 30])
@pytest.mark.parametrize("source", ["photo", "awkward"])
def test_offsets_match_the_numpy_formulation(source, radius):
    rgb = photo((61, 87)) if source == "photo" else awkward_values((61, 87, 3))
    got = band_offsets(rgb, MIX, radius, 0.2)
    assert np.array_equal(bits(got), bits(reference(rgb, MIX, radius, 0.2)))


@pytest.mark.parametrize("name", list(PATCHES))
def test_a_band_moves_its_colours_about_its_offset_and_leaves_the_rest(name):
    codes, band = PATCHES[name]
    rgb, lum = with_lum(np.concatenate([patch(codes), *[patch(g) for g in GREYS]], axis=1))
    for stops in (1.0, -1.5):
        out = bands(rgb, lum, offsets_for(**{band: stops}), 2)
        moved = np.log2(out[4, 4, 0] / lum[4, 4, 0])
        # 60 % of the offset at least (the ColorChecker's yellow is a warm one, its sky part aqua)
        assert 0.6 <= moved / stops <= 1.0 + 1e-4
        assert np.array_equal(bits(out[:, 8:]), bits(lum[:, 8:]))  # the greys keep their bits
    opposite = NAMES[(NAMES.index(band) + 4) % 8]
    out = bands(rgb, lum, offsets_for(**{opposite: 2.0}), 2)
    assert np.array_equal(bits(out), bits(lum))


def test_named_colours_land_in_their_bands():
    """An sRGB orange is orange (not red), the blue sky mostly blue, a pure magenta and purple theirs."""
    weights = {}
    for codes in [(255, 128, 0), (98, 122, 157), (255, 0, 255), (128, 0, 255), (255, 0, 0), (0, 255, 255)]:
        rgb = patch(codes, 1)
        weights[codes] = [float(band_offsets(rgb, offsets_for(**{n: 1.0}))[0, 0, 0]) for n in NAMES]
    assert weights[(255, 128, 0)][1] > 0.95
    assert weights[(98, 122, 157)][5] > 0.6 and weights[(98, 122, 157)][4] < 0.4
    assert weights[(255, 0, 255)][7] > 0.5 and weights[(128, 0, 255)][6] > 0.9
    assert weights[(255, 0, 0)][0] == 1.0 and weights[(0, 255, 255)][4] == 1.0
    for w in weights.values():
        assert abs(sum(w) - 1.0) < 1e-4  # the windows sum to one


def test_equal_offsets_shift_every_coloured_pixel_by_that_offset():
    """Unsmoothed at every pixel of full chroma weight; smoothed where everything within 2 radius is."""
    rgb = photo((40, 50))
    full = band_offsets(rgb, [1.0] * 8)[..., 0] == 1.0  # the chroma weight itself
    assert np.all(band_offsets(rgb, [0.75] * 8)[..., 0][full] == 0.75)
    inside = np.lib.stride_tricks.sliding_window_view(full, (13, 13)).all(axis=(2, 3))
    smoothed = band_offsets(rgb, [0.75] * 8, 3)[6:-6, 6:-6, 0]
    assert inside.sum() > 300 and np.all(smoothed[inside] == 0.75)


def test_noise_on_a_grey_patch_keeps_its_bits():
    rng = np.random.default_rng(8)
    grey = np.repeat(rng.normal(0.18, 0.02, (64, 64, 1)).astype(f32), 3, axis=2)  # luminance noise
    tinted = grey * (1 + rng.normal(0, 0.01, grey.shape)).astype(f32)  # colour noise under the threshold
    for noisy in (grey, np.ascontiguousarray(tinted)):
        rgb, lum = with_lum(noisy)
        out = bands(rgb, lum, MIX, 4)
        assert np.array_equal(bits(out), bits(lum))


def test_hue_noise_on_a_saturated_patch_does_not_make_the_luminance_jump():
    """A sky between aqua and blue, its hue noisy: the smoothed mix is flat where the naive one is not."""
    rng = np.random.default_rng(9)
    sky = decoded((98, 122, 157)) * (1 + rng.normal(0, 0.04, (96, 96, 3))).astype(f32)
    rgb, lum = with_lum(np.ascontiguousarray(sky, f32))
    offsets = offsets_for(aqua=1.0, blue=-1.0)
    naive = np.log2(bands(rgb, lum, offsets, 0) / lum)
    smoothed = np.log2(bands(rgb, lum, offsets, 8, 0.1) / lum)
    assert naive.std() > 0.05
    assert smoothed[16:-16, 16:-16].std() < naive.std() / 5
    assert abs(smoothed.mean() - naive.mean()) < 0.02  # the same mix on average


def test_a_smooth_hue_ramp_gets_no_new_edge():
    width = 1440  # 4 pixels a degree, all the way round at full saturation
    hue = np.arange(width) * (6.0 / width)
    rgb = np.stack([np.clip(np.abs(((hue - 2 * c + 3) % 6) - 3) - 1, 0, 1) for c in range(3)], -1)
    rgb = np.ascontiguousarray(np.broadcast_to(1 - 0.8 * rgb, (16, width, 3)) ** 2, f32)  # pastel, linear
    lum = np.full((16, width, 1), 0.2, f32)
    offsets = (1.5, -1.5, 1.5, -1.5, 1.5, -1.5, 1.5, -1.5)  # a step of 3 stops at every boundary
    stops = np.log2(bands(rgb, lum, offsets, 3) / lum)[8, :, 0]
    assert stops.max() > 1.4 and stops.min() < -1.4
    # The steepest smoothstep, between centres 30 degrees (120 pixels) apart, rises 1.5 * 3 / 120
    # stops a pixel: no step anywhere is steeper than the windows themselves.
    assert np.abs(np.diff(stops)).max() < 1.1 * 1.5 * 3.0 / 120


@pytest.mark.parametrize("radius", [2, 7])
def test_a_block_with_a_halo_of_twice_the_radius_gets_the_whole_images_bits(radius):
    rgb = photo((90, 130))
    whole = band_offsets(rgb, MIX, radius)
    for top, left, h, w in [(0, 0, 30, 40), (17, 29, 41, 77), (89, 129, 1, 1), (50, 0, 40, 130)]:
        y0, x0 = max(0, top - 2 * radius), max(0, left - 2 * radius)
        y1, x1 = min(90, top + h + 2 * radius), min(130, left + w + 2 * radius)
        part = band_offsets(np.ascontiguousarray(rgb[y0:y1, x0:x1]), MIX, radius)[top - y0 :, left - x0 :]
        assert np.array_equal(bits(part[:h, :w]), bits(whole[top : top + h, left : left + w]))


CHILD = """
import numpy as np
from ostrel._darkroom import bands
rgb, lum = np.load({rgb!r}), np.load({lum!r})
np.save({out!r}, bands(rgb, lum, {mix!r}, 5, 0.1))
"""


@pytest.mark.parametrize("threads, isa", [("1", None), ("3", None), *(("2", s) for s in supported_sets())])
def test_same_bits_for_any_thread_count_and_instruction_set(run_python, tmp_path, threads, isa):
    rgb, lum = with_lum(photo((211, 97)))
    np.save(tmp_path / "rgb.npy", rgb)
    np.save(tmp_path / "lum.npy", lum)
    out = tmp_path / "out.npy"
    child = CHILD.format(rgb=str(tmp_path / "rgb.npy"), lum=str(tmp_path / "lum.npy"), out=str(out), mix=list(MIX))
    run_python(child, env={"RAYON_NUM_THREADS": threads, "OSTREL_ISA": isa})
    assert np.array_equal(bits(np.load(out)), bits(bands(rgb, lum, MIX, 5, 0.1)))


def test_nan_rule_and_surface():
    assert str(inspect.signature(bands)) == "(img, lum, offsets, radius=0, eps=0.1, low=0.05, high=0.25)"
    rgb, lum = with_lum(photo((8, 8)))
    lum[0, 0, 0] = np.uint32(0x7F800123).view(f32)
    rgb[0, 1, 2] = np.nan
    out = bands(rgb, lum, MIX, 1)
    assert bits(out)[0, 0, 0] == 0x7FC00123 and bits(out)[0, 1, 0] == bits(lum)[0, 1, 0]
    for args, message in [
        ((MIX[:7],), "argument 'offsets': expected a sequence of 8 numbers, red to magenta"),
        (((5.0,) * 8,), "bands: offsets must be finite and at most 4 either way, got 5"),
        ((MIX, 3000), "bands: radius must be at most 2048, got 3000"),
        ((MIX, 1, 0.0), "bands: eps must be above 0, up to 16, got 0"),
    ]:
        with pytest.raises((TypeError, ValueError)) as raised:
            bands(rgb, lum, *args)
        assert str(raised.value) == message
    with pytest.raises(ValueError, match=r"^shape error: bands: luminance of shape \[8, 7, 1\]"):
        bands(rgb, np.ascontiguousarray(lum[:, :7]), MIX)
    with pytest.raises(BaseException) as raised:
        bands(rgb[:, ::2], np.ascontiguousarray(lum[:, ::2]), MIX)
    assert str(raised.value) == "bands: rgb must be C-contiguous"
