# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, attr-defined, union-attr, no-any-return, assignment"
# (These tests call the module with wrong arguments on purpose; their small
# helpers stay unannotated, their bodies are still checked.)
"""ostrel._darkroom.grain and grain_encode: the statistics of film grain against the Boolean model of
Newson, Delon and Galerne ("Realistic Film Grain Rendering", IPOL 2017) and Selwyn's law, the noise
against a NumPy formulation of its documented hash, blocks with the whole image's bits, any thread
count and instruction set, its errors. (The bits of every documented step: tests/cpp/test_grain.cpp.)"""

import inspect

import numpy as np
import pytest

import ostrel_core as oc
from ostrel._darkroom import grain, grain_encode
from test_dispatch import awkward_values, supported_sets

f32 = np.float32
M64 = (1 << 64) - 1
trapezoid = np.trapezoid if hasattr(np, "trapezoid") else np.trapz  # NumPy 1.x calls it trapz
TRI_X = (1.0, 17.0)  # strength, granularity


def bits(a):
    return np.ascontiguousarray(a, f32).view(np.uint32)


def linear_print(v):
    """The display-linear print whose sRGB encoding is about v."""
    v = np.asarray(v, np.float64)
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4).astype(f32)


def flat(v, side):
    return np.full((side, side, 1), linear_print(v), f32)


def boolean_model(c, rng, pixels=64, radius=0.15, sub=8):
    """Each pixel's covered fraction under the Boolean model: disc centres a Poisson process of intensity
    -ln(1 - c) / (pi r^2) per pixel area, so that a point is covered with probability c; the pixel's
    share covered taken on sub x sub points."""
    lam = -np.log1p(-c) / (np.pi * radius**2)
    lo, hi = -radius, pixels + radius
    centres = rng.uniform(lo, hi, (rng.poisson(lam * (hi - lo) ** 2), 2))
    n = pixels * sub
    covered = np.zeros((n, n), bool)
    base = np.floor(centres * sub).astype(np.int64)
    reach = int(np.ceil(radius * sub))
    for dy in range(-reach, reach + 1):
        for dx in range(-reach, reach + 1):
            iy, ix = base[:, 0] + dy, base[:, 1] + dx
            inside = (iy >= 0) & (iy < n) & (ix >= 0) & (ix < n)
            py, px = (iy + 0.5) / sub, (ix + 0.5) / sub
            hit = inside & ((py - centres[:, 0]) ** 2 + (px - centres[:, 1]) ** 2 <= radius**2)
            covered[iy[hit], ix[hit]] = True
    return covered.reshape(pixels, sub, pixels, sub).mean(axis=(1, 3))


def boolean_rms_ratio(c):
    """The Boolean model's RMS at coverage c over its RMS at c = 1/2, for pixels much larger than the discs:
    the pixel's variance is proportional to (1 - c)^2 times the integral of (1 - c)^-gamma(h) - 1 over h,
    gamma(h) the overlap of two discs h apart as a share of one."""
    h = np.linspace(0.0, 2.0, 20001)
    gamma = (2 / np.pi) * (np.arccos(h / 2) - (h / 2) * np.sqrt(1 - (h / 2) ** 2))

    def variance(c):
        return (1 - c) ** 2 * trapezoid(((1 - c) ** -gamma - 1) * 2 * np.pi * h, h)

    return float(np.sqrt(variance(c) / variance(0.5)))


DENSITIES = (0.1, 0.3, 0.5, 0.7, 0.9)


@pytest.fixture(scope="module")
def kernel_grain():
    """Grain alone (out - v) on flat prints of each value, coarse enough (60 um) that pixels are independent."""
    out = {}
    for v in DENSITIES:
        plane = flat(v, 256)
        out[v] = (grain_encode(plane, *TRI_X, 60.0, 11) - oc.encode_srgb(plane))[:, :, 0].astype(np.float64)
    return out


def test_the_mean_print_is_kept(kernel_grain):
    for v, delta in kernel_grain.items():
        # Independent pixels: the mean's standard error is sigma / sqrt(N); 4 of them.
        assert abs(delta.mean()) < 4 * delta.std() / np.sqrt(delta.size), v
        assert delta.std() > 0


def test_rms_against_density_has_the_boolean_models_shape(kernel_grain):
    """The binomial law sqrt(v (1 - v)) against the Boolean model with silver covering c = 1 - v of the
    print, both matched at v = 1/2. They are close, not equal: the Boolean RMS peaks at c = 0.4 (v = 0.6),
    so over v = 0.1..0.9 the binomial RMS is 1.30 (at v = 0.1, deep shadows) to 0.92 (at v = 0.9) times
    the Boolean model's for discs much smaller than a pixel; the simulated discs, 0.15 pixel, put the
    shadows' figure at 1.23. The statistical error of the RMS of the 16384 simulated pixels is about
    0.6 %, of the kernel's 65536 about 0.3 %."""
    rng = np.random.default_rng(7)
    simulated = {v: np.concatenate([boolean_model(1 - v, rng).ravel() for _ in range(4)]).std() for v in DENSITIES}
    for v in DENSITIES:
        analytic = boolean_rms_ratio(1 - v)
        boolean = simulated[v] / simulated[0.5]
        kernel = kernel_grain[v].std() / kernel_grain[0.5].std()
        binomial = np.sqrt(v * (1 - v)) / 0.5
        assert abs(boolean - analytic) < 0.05, (v, boolean, analytic)  # the simulation is the model
        assert abs(kernel - binomial) < 0.02, (v, kernel, binomial)  # the kernel is the binomial law
        assert abs(kernel / boolean - binomial / analytic) < 0.1, v
        assert 0.88 < kernel / boolean < 1.32, v


def clump_share_at_48():
    """The share of white noise's variance its mean over a 48 um circle keeps, blurred by 4 um clumps:
    the circles' mean overlap at a Rayleigh distance of scale 4 sqrt(2) um."""
    h = np.linspace(0.0, 48.0, 200001)
    overlap = (2 / np.pi) * (np.arccos(h / 48) - (h / 48) * np.sqrt(1 - (h / 48) ** 2))
    scale = 4.0 * np.sqrt(2)
    return float(trapezoid(overlap * h / scale**2 * np.exp(-(h**2) / (2 * scale**2)), h))


def test_granularity_is_the_films_sigma_through_a_48_um_aperture():
    """G / 1000 density through a 48 um circle, in print value times the encoding's slope at the mid-tone,
    ln(10) / 2.4 * 0.555: 2500 circles of 12 pixels' radius at a 2 um pitch, the clumps resolved."""
    assert abs(clump_share_at_48() - 0.8132569077652154) < 1e-6
    plane = flat(0.5, 1200)
    delta = (grain_encode(plane, 1.0, 20.0, 2.0, 3) - oc.encode_srgb(plane))[:, :, 0].astype(np.float64)
    y, x = np.mgrid[:24, :24] + 0.5
    circle = (y - 12) ** 2 + (x - 12) ** 2 <= 12**2
    means = (delta.reshape(50, 24, 50, 24) * circle[None, :, None, :]).sum(axis=(1, 3)) / circle.sum()
    sigma_d = means.std() / (np.log(10) / 2.4 * 0.555)
    assert abs(sigma_d * 1000 / 20.0 - 1) < 0.05  # the RMS's statistical error 1.4 %


@pytest.mark.parametrize("coarse, blocks", [(36.0, 1), (9.0, 8)])
def test_selwyn_scaling_the_same_grain_at_print_size(coarse, blocks):
    """Half the pitch (twice the pixels each way), averaged 2 x 2, has the coarse render's RMS. Coarser than
    the clumps, pixel for pixel; at a 35 mm pitch (9 um), where the clumps are half a pixel, over
    apertures of 8 coarse pixels, much larger than a clump."""
    side = 512
    coarse_grain = (grain_encode(flat(0.4, side), *TRI_X, coarse, 1) - oc.encode_srgb(flat(0.4, side)))[:, :, 0]
    fine_plane = flat(0.4, 2 * side)
    fine_grain = (grain_encode(fine_plane, *TRI_X, coarse / 2, 2) - oc.encode_srgb(fine_plane))[:, :, 0]
    n = side // blocks
    a = coarse_grain.reshape(n, blocks, n, blocks).mean(axis=(1, 3))
    b = fine_grain.reshape(n, 2 * blocks, n, 2 * blocks).mean(axis=(1, 3))
    assert abs(b.std() / a.std() - 1) < 0.05  # the two RMS's statistical errors, about 1 % each
    # Pixel for pixel: Selwyn's twice the RMS on a quarter of the area, unless the clumps hold it back.
    per_pixel = fine_grain.std() / coarse_grain.std()
    assert abs(per_pixel - 2) < 0.05 if blocks == 1 else per_pixel < 1.2


def test_none_at_paper_white_and_black_most_in_the_mid_tones():
    ramp = np.linspace(0.0, 1.0, 201, dtype=f32)[None, :].repeat(400, axis=0)[:, :, None]
    ramp[:, -1] = 1.0
    encoded, linear = grain_encode(ramp, 2.0, 30.0, 4.0, 9), grain(ramp, 2.0, 30.0, 4.0, 9)
    plain = oc.encode_srgb(ramp)
    assert np.array_equal(bits(encoded[:, [0, -1]]), bits(plain[:, [0, -1]]))
    assert np.array_equal(bits(linear[:, [0, -1]]), bits(ramp[:, [0, -1]]))
    rms = (encoded - plain)[:, :, 0].std(axis=0)
    v = plain[0, :, 0]
    assert 0.4 < v[np.argmax(rms)] < 0.6
    # The linear form is the encoded grain carried back by the slope of the decoding.
    assert np.abs(oc.encode_srgb(linear) - encoded).max() < 0.01
    assert np.corrcoef((oc.encode_srgb(linear) - plain).ravel(), (encoded - plain).ravel())[0, 1] > 0.999


def splitmix64(z):
    z = (z + 0x9E3779B97F4A7C15) & M64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


def mix32(x):
    x = x ^ (x >> np.uint32(16))
    x = x * np.uint32(0x7FEB352D)
    x = x ^ (x >> np.uint32(15))
    x = x * np.uint32(0x846CA68B)
    return x ^ (x >> np.uint32(16))


def noise(seed, y, xs):
    """The header's noise at row y and columns xs, in NumPy's wrapping unsigned arithmetic."""
    r1 = splitmix64(splitmix64(seed) ^ (y & M64))
    ka, kb, kc = (np.uint32(k) for k in (r1 & 0xFFFFFFFF, r1 >> 32, splitmix64(r1) & 0xFFFFFFFF))
    with np.errstate(over="ignore"):
        h1 = mix32(mix32(xs.astype(np.uint32) ^ ka) + kb)
        h2 = mix32(h1 ^ kc)
    halves = [h & np.uint32(0xFFFF) for h in (h1, h2)] + [h >> np.uint32(16) for h in (h1, h2)]
    return sum(p.astype(np.int64) for p in halves) - 131070


def test_the_noise_is_the_documented_hash_of_seed_and_coordinates():
    """No blur (60 um): the grain at v = 1/2 is amp * s * n; n from the NumPy hash, including columns and
    rows far into a larger image and a seed above 2^31."""
    seed, top, left = 3000000000, 70000, 123456
    got = grain_encode(flat(0.5, 8), *TRI_X, 60.0, seed, top, left, 80000, 130000) - oc.encode_srgb(flat(0.5, 8))
    expected = np.stack([noise(seed, top + y, np.arange(left, left + 8)) for y in range(8)]).astype(np.float64)
    scale = np.dot(got[:, :, 0].ravel(), expected.ravel()) / np.dot(expected.ravel(), expected.ravel())
    assert np.abs(got[:, :, 0] - scale * expected).max() < 1e-6
    selwyn = 0.017 * np.sqrt(np.pi * 24**2 / clump_share_at_48())
    assert abs(scale * np.sqrt((65536.0**2 - 1) / 3) / (selwyn / 60 * np.log(10) / 2.4 * 0.555) - 1) < 1e-3


@pytest.mark.parametrize("kernel", [grain, grain_encode])
def test_a_block_gets_the_whole_images_bits(kernel):
    plane = awkward_values((90, 700, 1))
    whole = kernel(plane, 1.5, 17.0, 2.0, 4)
    for top, left, h, w in [(0, 0, 30, 40), (17, 29, 41, 600), (89, 699, 1, 1), (50, 0, 40, 700)]:
        block = np.ascontiguousarray(plane[top : top + h, left : left + w])
        got = kernel(block, 1.5, 17.0, 2.0, 4, top, left, 90, 700)
        assert np.array_equal(bits(got), bits(whole[top : top + h, left : left + w]))
    assert not np.array_equal(bits(kernel(plane, 1.5, 17.0, 2.0, 5)), bits(whole))  # another seed, other grain


CHILD = """
import numpy as np
from ostrel._darkroom import grain, grain_encode
plane = np.load({path!r})
np.save({out!r}, np.concatenate([grain(plane, 1.5, 17.0, 2.0, 4), grain_encode(plane, 1.0, 12.0, 9.0, 8)]))
"""


@pytest.mark.parametrize("threads, isa", [("1", None), ("3", None), *(("2", s) for s in supported_sets())])
def test_same_bits_for_any_thread_count_and_instruction_set(run_python, tmp_path, threads, isa):
    plane = awkward_values((211, 600, 1))
    np.save(tmp_path / "in.npy", plane)
    out = tmp_path / "out.npy"
    run_python(
        CHILD.format(path=str(tmp_path / "in.npy"), out=str(out)),
        env={"RAYON_NUM_THREADS": threads, "OSTREL_ISA": isa},
    )
    expected = np.concatenate([grain(plane, 1.5, 17.0, 2.0, 4), grain_encode(plane, 1.0, 12.0, 9.0, 8)])
    assert np.array_equal(bits(np.load(out)), bits(expected))


def test_surface_and_errors():
    for kernel in (grain, grain_encode):
        assert str(inspect.signature(kernel)) == (
            "(img, strength=0.0, granularity=12.0, pitch_um=10.0, seed=0, top=0, left=0, full_height=0, full_width=0)"
        )
    img = np.full((2, 3, 1), 0.2, f32)
    assert np.array_equal(bits(grain(img)), bits(img))  # strength 0: the print's bits
    assert np.array_equal(bits(grain_encode(img)), bits(oc.encode_srgb(img)))
    for kwargs, message in [
        ({"strength": 17.0}, "grain: strength must be 0..16, got 17"),
        ({"granularity": float("nan")}, "grain: granularity must be 0..100, got NaN"),
        ({"pitch_um": 0.0}, "grain: pitch_um must be 0.01..100000, got 0"),
        (
            {"left": 1, "full_height": 2, "full_width": 3},
            "shape error: grain: a plane of shape [2, 3, 1] at row 0, column 1 does not fit a 2 x 3 image",
        ),
    ]:
        with pytest.raises(ValueError) as raised:
            grain(img, **kwargs)
        assert str(raised.value) == message
    with pytest.raises(ValueError, match=r"^shape error: grain_encode expects \(H, W, 1\) print input"):
        grain_encode(np.zeros((2, 3, 3), f32))
    with pytest.raises(OverflowError):
        grain(img, seed=-1)
    with pytest.raises(BaseException) as raised:
        grain(img[:, ::2], 1.0)
    assert type(raised.value).__name__ == "PanicException"
    assert str(raised.value) == "grain: img must be C-contiguous"
