# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments on purpose; their small
# helpers stay unannotated, their bodies are still checked.)
"""ostrel._darkroom.vignette: bit for bit against a NumPy formulation of its
documented operations, blocks with the whole image's bits, resolution
independence, the NaN rule, any thread count and instruction set, its errors."""

import inspect

import numpy as np
import pytest

from ostrel._darkroom import vignette
from test_dispatch import awkward_values, supported_sets

f32 = np.float32

SETTINGS = {
    "burn": (-1.5, 0.7, 0.6),
    "dodge": (0.8, 0.4, 0.3),
    "hard edge": (-3.0, 0.9, 0.01),
    "whole print": (-0.5, 0.0, 2.0),
}


def bits(a):
    return np.ascontiguousarray(a, f32).view(np.uint32)


def reference(lum, stops, midpoint, feather, *, top=0, left=0, full_height=0, full_width=0):
    """The header's steps: setup in double rounded once, then float32 per operation; the
    power in double rounded to float32 (correctly rounded but for ties far rarer than these tests)."""
    height, width = lum.shape[:2]
    full_height, full_width = full_height or height, full_width or width
    stops, midpoint, feather = f32(stops), f32(midpoint), f32(feather)
    inv_d = f32(1.0 / np.sqrt(float(full_width) ** 2 + float(full_height) ** 2))
    lo = f32(float(midpoint) - float(feather) / 2.0)
    inv_f = f32(1.0 / float(feather))
    xs = (f32(2) * np.arange(left, left + width, dtype=f32) + f32(1)) - f32(full_width)
    ys = (f32(2) * np.arange(top, top + height, dtype=f32) + f32(1)) - f32(full_height)
    u = (xs * inv_d)[None, :]
    v = (ys * inv_d)[:, None]
    r = np.sqrt(u * u + v * v)
    t = np.clip((r - lo) * inv_f, f32(0), f32(1)).astype(f32)
    e = (t * t) * (f32(3) - f32(2) * t)
    gain = np.exp2((stops * e).astype(np.float64)).astype(f32)
    with np.errstate(over="ignore", invalid="ignore"):
        out = lum[:, :, 0] * gain
    nan = np.isnan(lum[:, :, 0])
    out[nan] = (lum[:, :, 0][nan].view(np.uint32) | np.uint32(0x00400000)).view(f32)
    return out[:, :, None]


@pytest.mark.parametrize("name", SETTINGS)
@pytest.mark.parametrize("shape", [(1, 1), (37, 53), (120, 41), (2, 300)])
def test_bits_match_the_numpy_formulation(name, shape):
    lum = awkward_values((*shape, 1))
    got = vignette(lum, *SETTINGS[name])
    assert np.array_equal(bits(got), bits(reference(lum, *SETTINGS[name])))


@pytest.mark.parametrize("name", SETTINGS)
def test_a_block_gets_the_whole_images_bits(name):
    lum = awkward_values((90, 130, 1))
    whole = vignette(lum, *SETTINGS[name])
    for top, left, h, w in [(0, 0, 30, 40), (17, 29, 41, 77), (89, 129, 1, 1), (50, 0, 40, 130)]:
        block = np.ascontiguousarray(lum[top : top + h, left : left + w])
        got = vignette(block, *SETTINGS[name], top, left, 90, 130)
        assert np.array_equal(bits(got), bits(whole[top : top + h, left : left + w]))


def test_any_resolution_burns_the_same_share_of_the_print():
    """The gain at the same place of the print (a share of its width and height) is alike at any size."""
    small = vignette(np.ones((300, 450, 1), f32), -1.2, 0.7, 0.5)[:, :, 0]
    large = vignette(np.ones((1200, 1800, 1), f32), -1.2, 0.7, 0.5)[:, :, 0]
    # Pixel centres of the small print, mapped into the large one: 4 x 4 pixels each.
    large_mean = large.reshape(300, 4, 450, 4).mean(axis=(1, 3))
    assert np.abs(np.log2(large_mean) - np.log2(small)).max() < 0.01  # stops
    assert small[150, 225] == 1.0 and abs(np.log2(small[0, 0]) + 1.2) < 0.01


def test_midpoint_gives_half_the_stops_and_feather_the_width():
    size = 1001
    gains = vignette(np.ones((size, size, 1), f32), -2.0, 0.6, 0.4)[size // 2, :, 0]
    r = np.abs(2 * np.arange(size) + 1 - size) / np.hypot(size, size)  # along the middle row
    stops = np.log2(gains.astype(np.float64))
    assert np.all(stops[r <= 0.4 - 1e-3] == 0)  # untouched inside midpoint - feather / 2
    half = np.argmin(np.abs(r[: size // 2] - 0.6))
    assert abs(stops[half] + 1.0) < 0.02
    assert np.all(np.diff(stops[: size // 2]) >= 0)  # deeper towards the edge, smoothly


@pytest.mark.parametrize(
    "value, expected",
    [
        (np.float32(np.nan), 0x7FC00000),
        (np.uint32(0x7F800123).view(f32), 0x7FC00123),
        (np.uint32(0xFFC00777).view(f32), 0xFFC00777),
        (np.float32(np.inf), 0x7F800000),
        (np.float32(-np.inf), 0xFF800000),
        (np.float32(-0.0), 0x80000000),
    ],
)
def test_nan_rule_and_infinities(value, expected):
    got = vignette(np.full((3, 3, 1), value, f32), -1.0, 0.1, 0.1)
    assert bits(got).ravel().tolist() == [expected] * 9


CHILD = """
import numpy as np
from ostrel._darkroom import vignette
lum = np.load({path!r})
np.save({out!r}, vignette(lum, -1.5, 0.7, 0.6))
"""


@pytest.mark.parametrize("threads, isa", [("1", None), ("3", None), *(("2", s) for s in supported_sets())])
def test_same_bits_for_any_thread_count_and_instruction_set(run_python, tmp_path, threads, isa):
    lum = awkward_values((211, 97, 1))
    np.save(tmp_path / "in.npy", lum)
    out = tmp_path / "out.npy"
    run_python(
        CHILD.format(path=str(tmp_path / "in.npy"), out=str(out)),
        env={"RAYON_NUM_THREADS": threads, "OSTREL_ISA": isa},
    )
    assert np.array_equal(bits(np.load(out)), bits(vignette(lum, -1.5, 0.7, 0.6)))


def test_surface_and_errors():
    assert str(inspect.signature(vignette)) == (
        "(img, stops=0.0, midpoint=0.75, feather=0.5, top=0, left=0, full_height=0, full_width=0)"
    )
    img = np.full((2, 3, 1), 0.5, f32)
    assert np.array_equal(vignette(img), img)  # 0 stops: the input's bits
    for kwargs, message in [
        ({"stops": 17.0}, "vignette: stops must be finite and at most 16 either way, got 17"),
        ({"stops": float("nan")}, "vignette: stops must be finite and at most 16 either way, got NaN"),
        ({"midpoint": 2.5}, "vignette: midpoint must be 0..2, got 2.5"),
        ({"feather": 0.0}, "vignette: feather must be above 0, up to 2, got 0"),
        (
            {"top": 1, "full_height": 2, "full_width": 3},
            "shape error: vignette: a plane of shape [2, 3, 1] at row 1, column 0 does not fit a 2 x 3 image",
        ),
    ]:
        with pytest.raises(ValueError) as raised:
            vignette(img, **kwargs)
        assert str(raised.value) == message
    with pytest.raises(ValueError, match=r"^shape error: vignette expects \(H, W, 1\) luminance input"):
        vignette(np.zeros((2, 3, 3), f32))
    with pytest.raises(OverflowError):
        vignette(img, top=-1)
    with pytest.raises(BaseException) as raised:
        vignette(img[:, ::2], -1.0)
    assert type(raised.value).__name__ == "PanicException"
    assert str(raised.value) == "vignette: img must be C-contiguous"
