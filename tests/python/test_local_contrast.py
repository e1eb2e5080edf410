# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""local_contrast: the self-guided filter with summed-area tables, checked bit for
bit against a NumPy transcription of its steps, and the kernel's frame."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

import ostrel_core
from ostrel_core import GuidedFilterParams, local_contrast
from references import assert_same_floats as assert_same
from references import guided_filter_reference, local_contrast_reference

f32 = np.float32


# ---------------------------------------------------------------------------
# Inputs


def uniform_image(shape, seed):
    return np.random.default_rng(seed).random((*shape, 1), dtype=f32)


def wide_range_image(shape, seed):
    """Both signs over some sixty binary orders of magnitude, with zeros, -0.0
    and flat patches: the table sums lose low bits (so any change of operation
    order shows), and flat windows give a variance of exactly 0."""
    rng = np.random.default_rng(seed)
    values = rng.uniform(-1.0, 1.0, (*shape, 1)) * np.exp2(rng.integers(-30, 30, (*shape, 1)))
    image = values.astype(f32)
    image.flat[::7] = 0.0
    image.flat[3::11] = -0.0
    image[: shape[0] // 2, : shape[1] // 2] = f32(0.375)
    return image


STRENGTHS = [0.0, 1.0, 2.5, -1.0, math.nan, math.inf]

CASES = [
    # (shape, radius, eps, image kind)
    ((1, 1), 0, 0.01, "uniform"),
    ((1, 1), 3, 0.0, "uniform"),
    ((1, 6), 1, 0.01, "uniform"),
    ((6, 1), 2, 0.001, "wide"),
    ((5, 5), 1, 0.0, "uniform"),
    ((5, 5), 1, 1e-30, "wide"),
    ((7, 9), 2, 0.01, "wide"),
    ((7, 9), 4, -0.01, "uniform"),
    ((7, 9), 8, 0.05, "wide"),
    ((9, 4), 0, 0.2, "wide"),
    ((16, 16), 3, 1e30, "uniform"),
    ((16, 16), 3, math.nan, "uniform"),
    ((16, 16), 2, math.inf, "wide"),
    ((16, 16), 2, -math.inf, "uniform"),
    ((16, 16), 15, 0.0, "wide"),
    ((33, 20), 1, 0.01, "wide"),
    ((33, 20), 6, 1e-6, "uniform"),
    ((33, 20), 40, 0.02, "wide"),
    ((40, 3), 2, 0.01, "wide"),
    ((64, 64), 0, 0.01, "wide"),
    ((64, 64), 4, 0.001, "wide"),
    ((64, 64), 2**32 - 1, 0.01, "uniform"),
    ((24, 24), 5, 1e-8, "uniform"),
    ((24, 24), 23, -0.5, "wide"),
    ((12, 17), 3, 10.0, "wide"),
    ((10, 10), 2, -0.5, "uniform"),
]


@pytest.mark.parametrize(("shape", "radius", "eps", "kind"), CASES)
def test_bits_match_the_stepwise_reference(shape, radius, eps, kind):
    seed = shape[0] * 1000 + shape[1] + radius % 997
    image = uniform_image(shape, seed) if kind == "uniform" else wide_range_image(shape, seed)
    params = GuidedFilterParams(radius, eps)
    q = guided_filter_reference(image[:, :, 0], radius, eps)
    for strength in STRENGTHS:
        assert_same(local_contrast(image, params, strength), local_contrast_reference(image, radius, eps, strength, q))


def box_mean(plane, r):
    """Clipped-window means from a zero-padded cumulative sum (float64)."""
    h, w = plane.shape
    s = np.zeros((h + 1, w + 1))
    s[1:, 1:] = np.cumsum(np.cumsum(plane, axis=0), axis=1)
    y = np.arange(h)[:, None]
    x = np.arange(w)[None, :]
    y0, y1 = np.maximum(y - r, 0), np.minimum(y + r, h - 1) + 1
    x0, x1 = np.maximum(x - r, 0), np.minimum(x + r, w - 1) + 1
    return (s[y1, x1] - s[y0, x1] - s[y1, x0] + s[y0, x0]) / ((y1 - y0) * (x1 - x0))


@pytest.mark.parametrize(("radius", "eps"), [(2, 0.01), (8, 0.001), (30, 0.1)])
def test_agrees_with_the_box_filter_formulation(radius, eps):
    rng = np.random.default_rng(radius)
    yy, xx = np.mgrid[0:200, 0:300]
    plane = 0.5 + 0.3 * np.sin(xx / 17.0) * np.cos(yy / 23.0) + 0.05 * rng.standard_normal((200, 300))
    plane = np.where(xx > 150, plane + 0.3, plane).astype(f32)
    i = plane.astype(np.float64)
    mean_i = box_mean(i, radius)
    var = box_mean(i * i, radius) - mean_i * mean_i
    a = var / (var + float(f32(eps)))
    b = mean_i - a * mean_i
    q = box_mean(a, radius) * i + box_mean(b, radius)
    out = local_contrast(plane[:, :, None], GuidedFilterParams(radius, eps), 1.5)[:, :, 0]
    np.testing.assert_allclose(out, i + 1.5 * (i - q), rtol=1e-5, atol=2e-6)


# ---------------------------------------------------------------------------
# Documented values


@pytest.mark.parametrize(
    ("strength", "expected"),
    [(1.0, [-0.25, 1.25]), (2.0, [-0.5, 1.5]), (0.0, [0.0, 1.0]), (-1.0, [0.25, 0.75])],
)
def test_two_pixel_line(strength, expected):
    image = np.array([[[0.0], [1.0]]], f32)
    out = local_contrast(image, GuidedFilterParams(1, 0.25), strength)
    np.testing.assert_array_equal(out, np.array([[[v] for v in expected]], f32))


def test_three_pixel_line():
    image = np.array([[[0.0], [0.5], [1.0]]], f32)
    out = local_contrast(image, GuidedFilterParams(1, 0.01), 1.0)
    assert [f"{v:.8g}" for v in out.ravel()] == ["-0.031392321", "0.5", "1.0313923"]
    filtered = local_contrast(image, GuidedFilterParams(1, 0.01), -1.0)
    assert [f"{v:.8g}" for v in filtered.ravel()] == ["0.031392321", "0.5", "0.96860766"]


@pytest.mark.parametrize("radius", [0, 1, 4, 50, 2**32 - 1])
@pytest.mark.parametrize("eps", [0.0, 1e-12, 0.01, 10.0, math.inf])
def test_constant_image_is_returned_unchanged(radius, eps):
    image = np.full((9, 13, 1), 0.5, f32)
    for strength in [0.0, 1.0, -3.0, 1e30]:
        out = local_contrast(image, GuidedFilterParams(radius, eps), strength)
        np.testing.assert_array_equal(out.view(np.uint32), image.view(np.uint32))


def test_strength_zero_and_nan():
    image = uniform_image((12, 10), 5)
    image[0, 0, 0] = -0.0
    params = GuidedFilterParams(2, 0.01)
    unchanged = local_contrast(image, params, 0.0)
    np.testing.assert_array_equal(unchanged, image)  # -0.0 may come back as +0.0
    assert np.isnan(local_contrast(image, params, math.nan)).all()
    # Where q is NaN, strength 0 still gives NaN.
    image[11, 9, 0] = np.nan
    out = local_contrast(image, params, 0.0)
    assert np.isnan(out[7:, 5:]).all()
    np.testing.assert_array_equal(out[:7], image[:7])


@pytest.mark.parametrize("radius", [1, 2, 3])
@pytest.mark.parametrize(("i", "j"), [(1, 1), (5, 5), (9, 3), (12, 14), (15, 0)])
@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_one_non_finite_value_spreads_down_and_right_of_i_j_minus_2r(radius, i, j, bad):
    image = uniform_image((16, 16), 9)
    image[i, j, 0] = bad
    out = local_contrast(image, GuidedFilterParams(radius, 0.01), 1.0)[:, :, 0]
    y, x = np.mgrid[0:16, 0:16]
    spread = (y >= i - 2 * radius) & (x >= j - 2 * radius)
    np.testing.assert_array_equal(~np.isfinite(out), spread)
    if bad != bad:
        assert np.isnan(out[spread]).all()


def test_nan_spread_example_on_8_by_8():
    image = uniform_image((8, 8), 2)
    image[1, 1, 0] = np.nan
    assert np.isnan(local_contrast(image, GuidedFilterParams(1, 0.01), 1.0)).all()
    image = uniform_image((8, 8), 2)
    image[5, 5, 0] = np.nan
    out = local_contrast(image, GuidedFilterParams(1, 0.01), 1.0)[:, :, 0]
    assert np.isnan(out).sum() == 25 and np.isnan(out[3:, 3:]).all()


# ---------------------------------------------------------------------------
# Layouts, shapes and the frame


def layouts():
    rng = np.random.default_rng(21)
    wide = rng.random((23, 62, 1), dtype=f32)
    transposed = rng.random((31, 23, 1), dtype=f32)
    plain = rng.random((23, 31, 1), dtype=f32)
    rgb = rng.random((23, 31, 3), dtype=f32)
    return {
        "every second column": wide[:, ::2],
        "swapped axes": np.swapaxes(transposed, 0, 1),
        "rows reversed": plain[::-1],
        "columns reversed": plain[:, ::-1],
        "both reversed and strided": wide[::-2, ::-3],
        "one channel of three": rgb[:, :, 1:2],
    }


@pytest.mark.parametrize("name", list(layouts()))
def test_any_layout_gives_the_bits_of_a_contiguous_copy(name):
    view = layouts()[name]
    assert not view.flags.c_contiguous
    before = view.copy()
    params = GuidedFilterParams(3, 0.005)
    out = local_contrast(view, params, 1.75)
    assert_same(out, local_contrast(np.ascontiguousarray(view), params, 1.75))
    assert_same(out, local_contrast_reference(before, 3, 0.005, 1.75))
    np.testing.assert_array_equal(view, before)


@pytest.mark.parametrize("shape", [(0, 7, 1), (7, 0, 1), (0, 0, 1)])
def test_empty_images(shape):
    out = local_contrast(np.zeros(shape, f32), GuidedFilterParams(2, 0.01), 1.0)
    assert out.shape == shape and out.dtype == f32


@pytest.mark.parametrize("shape", [(4, 5, 3), (4, 5, 0), (0, 5, 2), (1, 1, 4)])
def test_channel_count_other_than_one_is_a_shape_error(shape):
    with pytest.raises(ValueError) as caught:
        local_contrast(np.zeros(shape, f32), GuidedFilterParams(1, 0.1), 1.0)
    assert type(caught.value) is ValueError
    text = ", ".join(str(n) for n in shape)
    assert str(caught.value) == f"shape error: local_contrast expects (H, W, 1) luminance input, got shape [{text}]"


def test_result_is_a_new_contiguous_float32_array():
    image = uniform_image((6, 7), 4)
    before = image.copy()
    out = local_contrast(image, GuidedFilterParams(1, 0.1), 1.0)
    assert out.dtype == f32 and out.shape == image.shape
    assert out.flags.c_contiguous and out.flags.writeable and not out.flags.owndata
    assert type(out.base).__name__ == "PySliceContainer"
    assert not np.shares_memory(out, image)
    np.testing.assert_array_equal(image, before)
    same = local_contrast(image, GuidedFilterParams(1, 0.1), 0.0)
    assert same is not image and not np.shares_memory(same, image)


def test_keywords_and_strength_conversion():
    image = uniform_image((5, 6), 8)
    params = GuidedFilterParams(1, 0.1)
    expected = local_contrast(image, params, 2.0)
    assert_same(local_contrast(img=image, params=params, strength=2.0), expected)
    assert_same(local_contrast(image, strength=2, params=params), expected)

    class Strength:
        def __float__(self):
            return 2.0

    assert_same(local_contrast(image, params, Strength()), expected)
    # 1e40 rounds to infinity in single precision.
    assert_same(local_contrast(image, params, 1e40), local_contrast(image, params, math.inf))


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (
            (),
            TypeError,
            r"^local_contrast\(\) missing 3 required positional arguments: 'img', 'params', and 'strength'$",
        ),
        (("IMG", {"radius": 1}, 1.0), TypeError, r"^argument 'img': 'list' object is not an instance of 'ndarray'$"),
        (
            ("IMG64", GuidedFilterParams(1, 0.1), 1.0),
            TypeError,
            r"^argument 'img': 'ndarray' object is not an instance of 'ndarray'$",
        ),
        (
            ("OK", {"radius": 1}, "x"),
            TypeError,
            r"^argument 'params': 'dict' object is not an instance of 'GuidedFilterParams'$",
        ),
        (("OK", None, 1.0), TypeError, r"^argument 'params': 'None' is not an instance of 'GuidedFilterParams'$"),
        (("OK", GuidedFilterParams(1, 0.1), "x"), TypeError, r"^argument 'strength': must be real number, not str$"),
        (("OK", GuidedFilterParams(1, 0.1), 10**400), OverflowError, r"^int too large to convert to float$"),
        (("RGB", GuidedFilterParams(1, 0.1), "x"), TypeError, r"^argument 'strength': "),
    ],
)
def test_argument_errors(args, error, message):
    images = {
        "IMG": [[[0.0]]],
        "IMG64": np.zeros((2, 2, 1)),
        "OK": np.zeros((2, 2, 1), f32),
        "RGB": np.zeros((2, 2, 3), f32),
    }
    args = tuple(images.get(a, a) if isinstance(a, str) and a in images else a for a in args)
    with pytest.raises(error, match=message) as caught:
        local_contrast(*args)
    assert type(caught.value) is error


def test_function_metadata():
    assert local_contrast.__module__ == "ostrel_core"
    assert local_contrast.__self__ is None
    assert local_contrast.__text_signature__ == "(img, params, strength)"
    assert local_contrast.__doc__ == (
        "Enhance local contrast using the He\u2013Sun\u2013Tang guided filter.\n"
        "\n"
        "Computes ``output = L + strength \u00b7 (L - guided_filter(L))``.\n"
        "\n"
        "Parameters\n"
        "----------\n"
        "img : numpy.ndarray\n"
        "    Input array, shape ``(H, W, 1)``, dtype ``float32``, C-contiguous.\n"
        "params : GuidedFilterParams\n"
        "    Filter radius and epsilon regularisation term.\n"
        "strength : float\n"
        "    Detail amplification factor (0 = no change, 1 = standard unsharp\n"
        "    mask, > 1 = over-sharpening).\n"
        "\n"
        "Returns\n"
        "-------\n"
        "numpy.ndarray\n"
        "    Shape ``(H, W, 1)``, dtype ``float32``.\n"
        "\n"
        "Raises\n"
        "------\n"
        "ValueError\n"
        "    If ``img`` is not shape ``(H, W, 1)``."
    )


_THREAD_SCRIPT = """
import sys
import numpy as np
import ostrel_core
image = np.load(sys.argv[1])
outs = [ostrel_core.local_contrast(image, ostrel_core.GuidedFilterParams(r, e), s)
        for r, e, s in [(0, 0.01, 1.0), (3, 0.001, 1.5), (40, 0.0, -0.5), (500, 0.05, 2.0)]]
np.save(sys.argv[2], np.stack(outs))
"""


def test_bits_identical_for_any_thread_count(tmp_path):
    image = wide_range_image((211, 157), 31)  # odd sizes: uneven pieces
    image[200, 150, 0] = np.nan
    source = tmp_path / "in.npy"
    np.save(source, image)
    expected = np.stack(
        [
            local_contrast(image, GuidedFilterParams(r, e), s)
            for r, e, s in [(0, 0.01, 1.0), (3, 0.001, 1.5), (40, 0.0, -0.5), (500, 0.05, 2.0)]
        ]
    ).view(np.uint32)
    module_dir = os.path.dirname(os.path.abspath(ostrel_core.__file__))
    path = os.pathsep.join(p for p in [module_dir, os.environ.get("PYTHONPATH", "")] if p)
    for threads in ["1", "2", "3", "8"]:
        target = tmp_path / f"out{threads}.npy"
        env = {**os.environ, "RAYON_NUM_THREADS": threads, "PYTHONPATH": path}
        subprocess.run([sys.executable, "-c", _THREAD_SCRIPT, str(source), str(target)], env=env, check=True)
        np.testing.assert_array_equal(np.load(target).view(np.uint32), expected, err_msg=f"{threads} threads")
