# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""zone_system: the Zone System tone curve over (H, W, 1) float32 luminance."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ostrel_core
from references import FLOOR
from references import zone_reference as reference

f32 = np.float32

ELEVEN_ZONES = {zone: float(f32(0.1 * (zone - 5))) for zone in range(11)}


def run(values, offsets):
    image = np.asarray(values, f32).reshape(1, -1, 1)
    return ostrel_core.zone_system(image, ostrel_core.ZoneParams(offsets)).reshape(-1)


def as_bits(a):
    return np.asarray(a, f32).view(np.uint32)


def panic_type():
    with pytest.raises(BaseException) as info:
        ostrel_core.zone_system(np.zeros((4, 4, 1), f32)[:, ::2], ostrel_core.ZoneParams({}))
    return type(info.value)


def luminance_sample(count, seed):
    rng = np.random.default_rng(seed)
    return np.exp(rng.uniform(np.log(1e-4), np.log(200.0), count)).astype(f32)


TABLES = [
    {5: 1.0},
    ELEVEN_ZONES,
    dict.fromkeys(range(11), 1.0),
    {2: -0.7, 8: 2.5, 12: 0.3, -3: 0.2},
    {3: -0.3, 5: 0.5},
    {1: 0.0, 4: 0.7, 6: -0.0, 9: 0.0, 10: -1.5},  # zero offsets among the terms
]


# --- numerics -------------------------------------------------------------


@pytest.mark.parametrize("offsets", TABLES)
@pytest.mark.parametrize("width", [1, 7, 3000])
def test_bits_match_step_by_step_formula_with_correctly_rounded_functions(offsets, width):
    # Widths around and across the vector lanes and tiles of the kernel.
    g = luminance_sample(width, seed=len(offsets) + width)
    expected = reference(g, offsets)
    np.testing.assert_array_equal(as_bits(run(g, offsets)), as_bits(expected))


@pytest.mark.parametrize("offsets", TABLES[:3])
def test_close_to_correctly_rounded_steps(offsets):
    # Where logf/expf/exp2f are not correctly rounded a step can be one ulp
    # off, and the later steps carry that along; most pixels agree exactly.
    g = luminance_sample(20000, seed=7)
    out = run(g, offsets)
    expected = reference(g, offsets)
    ulps = np.abs(out.view(np.int32).astype(np.int64) - expected.view(np.int32).astype(np.int64))
    assert ulps.max() <= 8
    assert np.count_nonzero(ulps) <= len(g) // 200


@pytest.mark.parametrize(
    ("value", "expected"),
    [(0.18, 0.36), (0.36, 0.49445), (0.09, 0.12361)],
)
def test_one_stop_on_zone_five(value, expected):
    assert run([value], {5: 1.0})[0] == pytest.approx(expected, abs=5e-6)


def test_zone_ten_unchanged_by_zone_five():
    # 5.76 is five zones from the bump: its gain rounds to exactly 1.
    assert as_bits(run([5.76], {5: 1.0}))[0] == as_bits([5.76])[0]


def test_eleven_raised_zones_overlap():
    out = run([0.18], dict.fromkeys(range(11), 1.0))[0]
    assert out == pytest.approx(0.72266, abs=5e-6)
    assert np.log2(out / f32(0.18)) == pytest.approx(2.0053, abs=1e-4)


SPECIAL_INPUTS = np.array(
    [0.0, -0.0, -0.5, 1e-10, 5e-11, 1e-30, -np.inf, np.inf, np.nan, 1.4e-45, -3e38],
    f32,
)


@pytest.mark.parametrize("offsets", [{}, {0: 0.0, 5: 0.0, 10: 0.0, 40: 0.0, -7: -0.0}])
def test_identity_tables_return_input_bits(offsets):
    payload_nan = np.array([0x7FC12345, 0xFFFFFFFF, 0x7F800001], np.uint32).view(f32)
    g = np.concatenate([luminance_sample(500, seed=3), SPECIAL_INPUTS, payload_nan, -luminance_sample(50, seed=4)])
    out = run(g, offsets)
    if offsets:
        # g * 2**0: every value kept, signalling NaNs quietened by the multiplication.
        with np.errstate(invalid="ignore"):
            expected = g * f32(1.0)
        np.testing.assert_array_equal(as_bits(out), as_bits(expected))
    else:
        np.testing.assert_array_equal(as_bits(out), as_bits(g))


@pytest.mark.parametrize("offsets", [{5: 1.0}, ELEVEN_ZONES, {0: -3.0, 10: 3.0}])
def test_floor_and_special_values(offsets):
    g = np.array([0.0, -0.0, -0.5, -1e30, 1e-10, 9e-11, FLOOR, np.inf, -np.inf, np.nan], f32)
    out = run(g, offsets)
    # Values at or below the floor sit at zone -25.7, where every bump of
    # zones 0..10 has underflowed to zero: they pass unchanged.
    np.testing.assert_array_equal(as_bits(out[:7]), as_bits(g[:7]))
    assert out[7] == np.inf
    assert out[8] == -np.inf
    assert np.isnan(out[9])


def test_non_finite_offset_poisons_even_underflowed_bumps():
    out = run([0.0, 0.18, 5.76], {5: float("inf")})
    # 0 * inf = NaN in the sum at the floor; the bump itself at zone 5.
    assert np.isnan(out[0])
    assert out[1] == np.inf
    assert np.isnan(run([0.18], {5: float("nan")})[0])


def test_zone_outside_standard_range():
    # Zone 12 is centred on 0.18 * 2**7 = 23.04 and reaches Zone X.
    out = run([23.04, 5.76, 0.18], {12: 1.0})
    assert out[0] == pytest.approx(46.08, rel=2e-5)
    assert out[1] / f32(5.76) == pytest.approx(2.0 ** math.exp(-4 / 1.28), rel=1e-5)
    assert out[2] == f32(0.18)
    # A bump far below Zone 0 acts on the floor position, zone log2(1e-10 / 0.18) + 5.
    floor_zone = math.log2(1e-10 / 0.18) + 5
    weight = math.exp(-((floor_zone + 26) ** 2) / 1.28)
    out = run([0.0, -0.5, 1e-12, 1.0], {-26: 1.0})
    assert as_bits(out[0]) == 0
    assert out[1] == pytest.approx(-0.5 * 2**weight, rel=1e-5)
    assert out[2] == pytest.approx(1e-12 * 2**weight, rel=1e-5)
    assert out[3] == f32(1.0)


def test_equal_dicts_in_any_insertion_order_give_identical_bits():
    g = luminance_sample(5000, seed=11)
    forward = dict(sorted(ELEVEN_ZONES.items()))
    backward = dict(sorted(ELEVEN_ZONES.items(), reverse=True))
    np.testing.assert_array_equal(as_bits(run(g, forward)), as_bits(run(g, backward)))


def test_output_array_and_input_untouched():
    g = luminance_sample(64, seed=5).reshape(8, 8, 1)
    before = g.copy()
    params = ostrel_core.ZoneParams({5: 0.5})
    out = ostrel_core.zone_system(g, params)
    assert out.shape == (8, 8, 1) and out.dtype == f32
    assert out.flags.c_contiguous and out.flags.writeable and not out.flags.owndata
    assert not np.shares_memory(out, g)
    np.testing.assert_array_equal(as_bits(g), as_bits(before))
    assert repr(params) == "ZoneParams({5: 0.5})"


def test_read_only_input_accepted():
    g = luminance_sample(12, seed=6).reshape(3, 4, 1)
    g.flags.writeable = False
    np.testing.assert_array_equal(
        as_bits(ostrel_core.zone_system(g, ostrel_core.ZoneParams({4: 1.0}))),
        as_bits(run(g.reshape(-1), {4: 1.0}).reshape(3, 4, 1)),
    )


# --- shapes and layouts ----------------------------------------------------


@pytest.mark.parametrize("shape", [(2, 3, 3), (1, 1, 2), (0, 5, 3), (4, 0, 2), (3, 3, 0)])
def test_channel_count_other_than_one(shape):
    expected = "shape error: zone_system expects (H, W, 1) luminance input, got shape [%d, %d, %d]" % shape
    with pytest.raises(ValueError) as info:
        ostrel_core.zone_system(np.zeros(shape, f32), ostrel_core.ZoneParams({5: 1.0}))
    assert str(info.value) == expected


def test_shape_error_comes_before_contiguity():
    view = np.zeros((4, 8, 3), f32)[:, ::2]
    with pytest.raises(ValueError, match=r"got shape \[4, 4, 3\]$"):
        ostrel_core.zone_system(view, ostrel_core.ZoneParams({}))


def _strided(base, shape, strides):
    return np.lib.stride_tricks.as_strided(base, shape=shape, strides=[s * 4 for s in strides])


_BASE = np.arange(400, dtype=f32) / f32(50)

LAYOUTS = {
    "contiguous": np.arange(24, dtype=f32).reshape(4, 6, 1),
    "odd channel stride": _strided(_BASE, (4, 6, 1), (6, 1, 7)),
    "negative channel stride": _strided(_BASE, (4, 6, 1), (6, 1, -3)),
    "one column, any column stride": _strided(_BASE, (5, 1, 1), (1, 9, 2)),
    "one row, any row stride": _strided(_BASE, (1, 7, 1), (100, 1, 1)),
    "single pixel": _strided(_BASE, (1, 1, 1), (13, 17, 19)),
    "column step": np.arange(48, dtype=f32).reshape(4, 12, 1)[:, ::2],
    "row step": np.arange(48, dtype=f32).reshape(8, 6, 1)[::2],
    "reversed rows": np.arange(24, dtype=f32).reshape(4, 6, 1)[::-1],
    "reversed columns": np.arange(24, dtype=f32).reshape(4, 6, 1)[:, ::-1],
    "transposed": np.arange(24, dtype=f32).reshape(6, 4, 1).transpose(1, 0, 2),
    "fortran order": np.asfortranarray(np.arange(24, dtype=f32).reshape(4, 6, 1)),
    "column slice of a wider image": np.arange(48, dtype=f32).reshape(4, 12, 1)[:, :6],
    "one column, row stride not 1": np.arange(10, dtype=f32).reshape(5, 2, 1)[:, :1],
    "channel of an RGB image": np.arange(72, dtype=f32).reshape(4, 6, 3)[:, :, 1:2],
}


@pytest.mark.parametrize("name", list(LAYOUTS))
def test_contiguity_follows_numpy_rule(name):
    view = LAYOUTS[name]
    params = ostrel_core.ZoneParams({5: 0.5})
    if view.flags.c_contiguous:
        out = ostrel_core.zone_system(view, params)
        expected = ostrel_core.zone_system(np.ascontiguousarray(view), params)
        np.testing.assert_array_equal(as_bits(out), as_bits(expected))
    else:
        with pytest.raises(panic_type()) as info:
            ostrel_core.zone_system(view, params)
        assert str(info.value) == "zone_system: input must be C-contiguous"
        # The contiguous copy is accepted.
        ostrel_core.zone_system(np.ascontiguousarray(view), params)


def test_panic_exception_class():
    panic = panic_type()
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)


@pytest.mark.parametrize("layout", ["contiguous", "column step", "row step"])
@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
@pytest.mark.parametrize("offsets", [{}, {5: 1.0}])
def test_empty_images(shape, layout, offsets):
    h, w = shape
    if layout == "contiguous":
        image = np.zeros((h, w, 1), f32)
    elif layout == "column step":
        image = np.zeros((h, 2 * w, 1), f32)[:, ::2]
    else:
        image = np.zeros((2 * h, w, 1), f32)[::2]
    out = ostrel_core.zone_system(image, ostrel_core.ZoneParams(offsets))
    assert out.shape == (h, w, 1) and out.dtype == f32


# --- argument handling -------------------------------------------------------


def test_argument_errors():
    image = np.zeros((2, 2, 1), f32)
    params = ostrel_core.ZoneParams({5: 1.0})
    cases = [
        ((), {}, "zone_system() missing 2 required positional arguments: 'img' and 'params'"),
        ((image,), {}, "zone_system() missing 1 required positional argument: 'params'"),
        ((image, params), {"params": params}, "zone_system() got multiple values for argument 'params'"),
        ((image, params, params), {}, "zone_system() takes 2 positional arguments but 3 were given"),
        ((image, {5: 1.0}), {}, "argument 'params': 'dict' object is not an instance of 'ZoneParams'"),
        ((image, None), {}, "argument 'params': 'None' is not an instance of 'ZoneParams'"),
        (([[[0.1]]], params), {}, "argument 'img': 'list' object is not an instance of 'ndarray'"),
        ((np.zeros((2, 2, 1)), params), {}, "argument 'img': 'ndarray' object is not an instance of 'ndarray'"),
        # img is converted first, and a bad parameter stops the call before the kernel.
        (([0.1], None), {}, "argument 'img': 'list' object is not an instance of 'ndarray'"),
        ((np.zeros((2, 2, 3), f32), 5), {}, "argument 'params': 'int' object is not an instance of 'ZoneParams'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            ostrel_core.zone_system(*args, **kwargs)
        assert str(info.value) == message


def test_keywords():
    image = luminance_sample(6, seed=9).reshape(2, 3, 1)
    params = ostrel_core.ZoneParams({4: -0.5})
    expected = as_bits(ostrel_core.zone_system(image, params))
    np.testing.assert_array_equal(as_bits(ostrel_core.zone_system(params=params, img=image)), expected)
    np.testing.assert_array_equal(as_bits(ostrel_core.zone_system(image, params=params)), expected)


def test_function_metadata():
    function = ostrel_core.zone_system
    assert function.__text_signature__ == "(img, params)"
    assert function.__module__ == "ostrel_core"
    assert function.__self__ is None
    assert function.__doc__ == textwrap.dedent("""\
        Apply the Adams/Archer Zone System tone curve.

        Parameters
        ----------
        img : numpy.ndarray
            Input array, shape ``(H, W, 1)``, dtype ``float32``, C-contiguous,
            linear luminance (output of a B&W conversion kernel).
        params : ZoneParams
            Zone offsets mapping zone index 0..10 \u2192 stop offset.

        Returns
        -------
        numpy.ndarray
            Shape ``(H, W, 1)``, dtype ``float32``, tone-adjusted luminance.

        Raises
        ------
        ValueError
            If ``img`` is not shape ``(H, W, 1)``.""")


# --- threads -----------------------------------------------------------------

_THREAD_SCRIPT = """
import sys
import numpy as np
import ostrel_core
image = np.load(sys.argv[1])
offsets = {zone: float(np.float32(0.1 * (zone - 5))) for zone in range(11)}
offsets[13] = -0.25
np.save(sys.argv[2], ostrel_core.zone_system(image, ostrel_core.ZoneParams(offsets)))
"""


def test_bits_identical_for_any_thread_count(tmp_path):
    rng = np.random.default_rng(12)
    image = np.exp(rng.uniform(-9.0, 6.0, (211, 157, 1))).astype(f32)  # odd sizes: uneven pieces
    image[::17, ::13] = np.nan
    image[5, :] = 0.0
    source = tmp_path / "in.npy"
    np.save(source, image)
    offsets = {**ELEVEN_ZONES, 13: -0.25}
    expected = as_bits(ostrel_core.zone_system(image, ostrel_core.ZoneParams(offsets)))
    module_dir = os.path.dirname(os.path.abspath(ostrel_core.__file__))
    path = os.pathsep.join(p for p in [module_dir, os.environ.get("PYTHONPATH", "")] if p)
    for threads in ["1", "2", "3", "8"]:
        target = tmp_path / f"out{threads}.npy"
        env = {**os.environ, "RAYON_NUM_THREADS": threads, "PYTHONPATH": path}
        subprocess.run([sys.executable, "-c", _THREAD_SCRIPT, str(source), str(target)], env=env, check=True)
        np.testing.assert_array_equal(as_bits(np.load(target)), expected, err_msg=f"{threads} threads")
