# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""luminance_bw, color_filter_bw and channel_mixer_bw: RGB float32 to (H, W, 1) luminance."""

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

import ostrel_core
from ostrel_core import ColorFilter, LuminanceStandard, channel_mixer_bw, color_filter_bw, luminance_bw
from references import COEFFICIENTS, assert_same_bits, assert_same_floats, filter_weights, from_bits
from references import luminance_reference as reference

f32 = np.float32

STANDARDS = [LuminanceStandard.Bt601, LuminanceStandard.Bt709, LuminanceStandard.Bt2020]
FILTERS = [
    ColorFilter.NoFilter,
    ColorFilter.Yellow8K2,
    ColorFilter.Orange21,
    ColorFilter.Red25A,
    ColorFilter.Green11X1,
    ColorFilter.Blue47C5,
]


SPECIALS = from_bits(
    0x7FC00000,
    0xFFC00000,
    0x7FC12345,
    0x7F800001,  # NaNs, one signalling
    0x7F800000,
    0xFF800000,
    0x00000000,
    0x80000000,  # infinities, signed zeros
    0x00000001,
    0x807FFFFF,
    0x00400000,
    0x00012345,  # denormals
    0x7F7FFFFF,
    0xFF7FFFFF,
    0x7F000000,
    0x3F800000,  # huge, one
)


def sample_image(shape, seed, special_share=0.2):
    rng = np.random.default_rng(seed)
    img = rng.uniform(-0.5, 4.0, shape).astype(f32)
    mask = rng.random(shape) < special_share
    img[mask] = rng.choice(SPECIALS, int(mask.sum()))
    return img


IMAGE = sample_image((37, 53, 3), seed=1)


# --- values -------------------------------------------------------------------------------------


@pytest.mark.parametrize("standard", STANDARDS, ids=repr)
def test_luminance_bw_matches_float32_formula(standard):
    expected = reference(IMAGE, COEFFICIENTS[int(standard)])
    assert_same_floats(luminance_bw(IMAGE, standard), expected)
    assert_same_floats(luminance_bw(IMAGE, standard=standard), expected)


@pytest.mark.parametrize("standard", STANDARDS, ids=repr)
@pytest.mark.parametrize("color_filter", FILTERS, ids=repr)
def test_color_filter_bw_matches_float32_formula(color_filter, standard):
    weights = filter_weights(int(color_filter), int(standard))
    expected = reference(IMAGE, weights)
    assert_same_floats(color_filter_bw(IMAGE, color_filter, standard), expected)
    assert_same_floats(color_filter_bw(IMAGE, standard=standard, filter=color_filter), expected)


@pytest.mark.parametrize(
    "weights",
    [
        (0.5, 0.3, 0.2),
        (-1.0, 2.0, 0.0),
        (1.0, 0.0, 0.0),
        (0.1, 0.7, -0.45),
        (1e-40, 3e38, -0.0),  # a denormal weight stays denormal
        (float("nan"), 1.0, 1.0),
        (float("inf"), -float("inf"), 0.25),
    ],
    ids=repr,
)
def test_channel_mixer_bw_matches_float32_formula(weights):
    assert_same_floats(channel_mixer_bw(IMAGE, *weights), reference(IMAGE, weights))


def test_default_arguments():
    bt709 = luminance_bw(IMAGE, LuminanceStandard.Bt709)
    assert_same_bits(luminance_bw(IMAGE), bt709)
    assert_same_bits(color_filter_bw(IMAGE), bt709)
    assert_same_bits(color_filter_bw(img=IMAGE), bt709)
    assert_same_bits(
        color_filter_bw(IMAGE, standard=LuminanceStandard.Bt601), luminance_bw(IMAGE, LuminanceStandard.Bt601)
    )
    assert_same_bits(
        color_filter_bw(IMAGE, ColorFilter.Red25A), color_filter_bw(IMAGE, ColorFilter.Red25A, LuminanceStandard.Bt709)
    )


@pytest.mark.parametrize("standard", STANDARDS, ids=repr)
def test_no_filter_equals_luminance_bw(standard):
    assert_same_bits(color_filter_bw(IMAGE, ColorFilter.NoFilter, standard), luminance_bw(IMAGE, standard))


def test_neutral_pixel():
    white = np.ones((3, 7, 3), f32)
    for standard, pattern in zip(STANDARDS, [0x3F800000, 0x3F800000, 0x3F7FFFFF], strict=True):
        out = luminance_bw(white, standard)
        assert (out.view(np.uint32) == pattern).all(), standard
    # Filtered neutral grey under Bt709: coloured filters darken, nothing compensates.
    expected = {
        "NoFilter": 1.0,
        "Yellow8K2": 0.87794,
        "Orange21": 0.61318,
        "Red25A": 0.285564,
        "Green11X1": 0.77938,
        "Blue47C5": 0.30802,
    }
    for color_filter in FILTERS:
        out = color_filter_bw(white, color_filter)
        np.testing.assert_allclose(out, expected[repr(color_filter).split(".")[1]], rtol=2e-6)


def test_channel_mixer_properties():
    finite = sample_image((16, 9, 3), seed=4, special_share=0.0)
    red = channel_mixer_bw(finite, 1.0, 0.0, 0.0)
    np.testing.assert_array_equal(red[..., 0], finite[..., 0])  # equal up to the sign of a zero
    inverted = channel_mixer_bw(finite, -1.0, 2.0, 0.0)
    np.testing.assert_array_equal(inverted[..., 0] < 0, finite[..., 0] > 2 * finite[..., 1])

    img = np.ones((1, 6, 3), f32)
    img[0, 0, 1] = np.nan
    img[0, 1, 2] = np.inf
    img[0, 2, 0] = -np.inf
    out = channel_mixer_bw(img, 0.5, 0.5, 0.0)[0, :, 0]
    assert np.isnan(out[0])  # NaN in any channel
    assert np.isnan(out[1])  # infinity times a zero weight
    assert out[2] == -np.inf
    assert (out[3:] == 1.0).all()


def test_weights_are_rounded_to_float32():
    img = np.ones((2, 5, 3), f32)
    out = channel_mixer_bw(img, 0.1, 0.0, 0.0)
    assert (out == f32(0.1)).all()
    assert out[0, 0, 0].view(np.uint32) == 0x3DCCCCCD
    # Beyond the single-precision range a weight becomes infinite.
    assert (channel_mixer_bw(img, 1e40, 0.0, 0.0) == np.inf).all()
    assert (channel_mixer_bw(img, 0.0, -1e40, 0.0) == -np.inf).all()
    # Below it, zero (0.0 * 1 + 0 + 0 is +0).
    assert (channel_mixer_bw(img, 1e-50, 0.0, 0.0).view(np.uint32) == 0).all()


@pytest.mark.parametrize("weights", [(True, 0, -1.0), (np.float64(1.0), np.int8(0), np.float32(-1.0))], ids=repr)
def test_weights_of_other_numeric_types(weights):
    img = sample_image((4, 6, 3), seed=8, special_share=0.0)
    assert_same_bits(channel_mixer_bw(img, *weights), channel_mixer_bw(img, 1.0, 0.0, -1.0))


def test_denormals_are_not_flushed():
    # A whole row of denormals, long enough for the vector path and its tail.
    img = np.zeros((3, 11, 3), f32)
    img[..., 0] = from_bits(*range(1, 34)).reshape(3, 11)
    out = channel_mixer_bw(img, 1.0, 1.0, 1.0)
    np.testing.assert_array_equal(out[..., 0].view(np.uint32), np.arange(1, 34, dtype=np.uint32).reshape(3, 11))


# --- layouts --------------------------------------------------------------------------------------


class SubArray(np.ndarray):
    pass


def _layouts():
    base = sample_image((24, 31, 3), seed=2)
    transposed_store = np.ascontiguousarray(base.transpose(1, 0, 2))
    planar_store = np.ascontiguousarray(np.moveaxis(base, 2, 0))
    wide = np.zeros((48, 62, 5), f32)
    wide[::2, ::2, 1:4] = base
    readonly = base.copy()
    readonly.flags.writeable = False
    return {
        "contiguous": base,
        "rows reversed": base[::-1],
        "columns reversed": base[:, ::-1],
        "channels reversed": base[..., ::-1],
        "all reversed": base[::-1, ::-1, ::-1],
        "stepped": wide[::2, ::2, 1:4],
        "stepped reversed": wide[::-2, ::-2, 3:0:-1],
        "transposed": transposed_store.transpose(1, 0, 2),
        "transposed, columns reversed": transposed_store.transpose(1, 0, 2)[:, ::-1],
        "fortran": np.asfortranarray(base),
        "channels first": np.moveaxis(planar_store, 0, 2),
        "column slice": base[:, 5:6],
        "row slice": base[7:8],
        "read-only": readonly,
        "broadcast": np.broadcast_to(base[3:4, 4:5], (24, 31, 3)),
        "subclass": base.view(SubArray),
    }


LAYOUTS = _layouts()


@pytest.mark.parametrize("name", list(LAYOUTS))
def test_any_layout_equals_a_contiguous_copy(name):
    img = LAYOUTS[name]
    before = img.copy()
    copy = np.ascontiguousarray(img)
    for call in (
        lambda a: luminance_bw(a, LuminanceStandard.Bt2020),
        lambda a: color_filter_bw(a, ColorFilter.Green11X1, LuminanceStandard.Bt601),
        lambda a: channel_mixer_bw(a, -0.7, 1.3, 0.4),
    ):
        out = call(img)
        assert type(out) is np.ndarray and out.flags.c_contiguous and out.flags.writeable
        assert_same_bits(out, call(copy))
    assert_same_bits(img, before)


def test_result_is_a_new_array():
    img = IMAGE.copy()
    out = luminance_bw(img)
    assert out.shape == (37, 53, 1) and out.dtype == f32
    assert not np.shares_memory(out, img)
    assert type(out.base).__name__ == "PySliceContainer"
    out[...] = 5.0
    assert_same_bits(img, IMAGE)


@pytest.mark.parametrize("shape", [(0, 5, 3), (4, 0, 3), (0, 0, 3)])
def test_empty_images(shape):
    img = np.zeros(shape, f32)
    for out in (luminance_bw(img), color_filter_bw(img, ColorFilter.Red25A), channel_mixer_bw(img, 1, 2, 3)):
        assert out.shape == shape[:2] + (1,) and out.dtype == f32


# --- shape and argument errors ------------------------------------------------------------------

CALLS = {
    "luminance_bw": lambda img: luminance_bw(img),
    "color_filter_bw": lambda img: color_filter_bw(img, ColorFilter.Orange21),
    "channel_mixer_bw": lambda img: channel_mixer_bw(img, 1.0, 1.0, 1.0),
}


@pytest.mark.parametrize("shape", [(4, 5, 1), (4, 5, 4), (2, 3, 4), (0, 5, 0), (1, 1, 2)])
@pytest.mark.parametrize("function", list(CALLS))
def test_shape_errors(function, shape):
    expected = "shape error: expected (H, W, 3) RGB array, got shape [%d, %d, %d]" % shape
    with pytest.raises(ValueError) as caught:
        CALLS[function](np.zeros(shape, f32))
    assert str(caught.value) == expected


@pytest.mark.parametrize("function", list(CALLS))
@pytest.mark.parametrize(
    "img",
    [np.zeros((4, 3), f32), np.zeros((2, 4, 3), np.float64), np.zeros((1, 2, 2, 3), f32)],
    ids=["2-d", "float64", "4-d"],
)
def test_arrays_that_are_not_images(function, img):
    with pytest.raises(TypeError) as caught:
        CALLS[function](img)
    assert str(caught.value) == "argument 'img': 'ndarray' object is not an instance of 'ndarray'"


def _raises(exception, message, call):
    with pytest.raises(exception) as caught:
        call()
    assert str(caught.value) == message
    return caught.value


IMG = np.zeros((2, 2, 3), f32)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: color_filter_bw(IMG, ColorFilter.NoFilter, LuminanceStandard.Bt709, 1),
            "color_filter_bw() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: luminance_bw(IMG, LuminanceStandard.Bt709, 1),
            "luminance_bw() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (lambda: channel_mixer_bw(IMG, 1, 2, 3, 4), "channel_mixer_bw() takes 4 positional arguments but 5 were given"),
        (
            lambda: channel_mixer_bw(IMG),
            "channel_mixer_bw() missing 3 required positional arguments: 'wr', 'wg', and 'wb'",
        ),
        (lambda: channel_mixer_bw(IMG, 1.0, wb=1.0), "channel_mixer_bw() missing 1 required positional argument: 'wg'"),
        (
            lambda: channel_mixer_bw(wr=1.0, wg=1.0),
            "channel_mixer_bw() missing 2 required positional arguments: 'img' and 'wb'",
        ),
        (lambda: luminance_bw(), "luminance_bw() missing 1 required positional argument: 'img'"),
        (
            lambda: luminance_bw(IMG, std=LuminanceStandard.Bt709),
            "luminance_bw() got an unexpected keyword argument 'std'",
        ),
        (
            lambda: color_filter_bw(Filter=ColorFilter.NoFilter),
            "color_filter_bw() got an unexpected keyword argument 'Filter'",
        ),
        (
            lambda: color_filter_bw(IMG, ColorFilter.NoFilter, filter=ColorFilter.NoFilter),
            "color_filter_bw() got multiple values for argument 'filter'",
        ),
        (lambda: luminance_bw(IMG, 1), "argument 'standard': 'int' object is not an instance of 'LuminanceStandard'"),
        (
            lambda: luminance_bw(IMG, ColorFilter.Yellow8K2),
            "argument 'standard': 'ColorFilter' object is not an instance of 'LuminanceStandard'",
        ),
        (lambda: luminance_bw(IMG, None), "argument 'standard': 'None' is not an instance of 'LuminanceStandard'"),
        (lambda: color_filter_bw(IMG, None), "argument 'filter': 'None' is not an instance of 'ColorFilter'"),
        (
            lambda: color_filter_bw(IMG, LuminanceStandard.Bt709),
            "argument 'filter': 'LuminanceStandard' object is not an instance of 'ColorFilter'",
        ),
        (
            lambda: color_filter_bw(IMG, ColorFilter.NoFilter, standard="Bt709"),
            "argument 'standard': 'str' object is not an instance of 'LuminanceStandard'",
        ),
        (lambda: luminance_bw([[[0.0, 0.0, 0.0]]]), "argument 'img': 'list' object is not an instance of 'ndarray'"),
        (lambda: channel_mixer_bw(None, 1, 1, 1), "argument 'img': 'None' is not an instance of 'ndarray'"),
    ],
    ids=lambda value: value if isinstance(value, str) else "",
)
def test_argument_errors(call, message):
    _raises(TypeError, message, call)


def _interpreter_float_error(value):
    """The message of the interpreter's own float conversion (PyFloat_AsDouble)."""
    convert = ctypes.pythonapi.PyFloat_AsDouble
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.c_double
    try:
        convert(value)
    except Exception as error:  # noqa: BLE001 - whatever the interpreter raises
        return type(error), str(error)
    raise AssertionError("conversion did not fail")


@pytest.mark.parametrize("position", [0, 1, 2])
def test_weight_conversion_errors(position):
    name = ["wr", "wg", "wb"][position]
    weights = [1.0, 1.0, 1.0]
    weights[position] = "0.5"
    kind, text = _interpreter_float_error("0.5")
    assert kind is TypeError
    _raises(TypeError, f"argument '{name}': {text}", lambda: channel_mixer_bw(IMG, *weights))
    # An integer too large for a double: the interpreter's OverflowError, unprefixed.
    weights[position] = 10**400
    kind, text = _interpreter_float_error(10**400)
    assert kind is OverflowError
    _raises(OverflowError, text, lambda: channel_mixer_bw(IMG, *weights))


def test_arguments_are_converted_in_order_before_the_kernel():
    # img before the rest; then the parameters in order, whatever the call order.
    _raises(
        TypeError,
        "argument 'img': 'str' object is not an instance of 'ndarray'",
        lambda: luminance_bw("img", standard=5),
    )
    _raises(
        TypeError, "argument 'wr': must be real number, not str", lambda: channel_mixer_bw(IMG, wb="b", wg="g", wr="r")
    )
    _raises(
        TypeError,
        "argument 'filter': 'int' object is not an instance of 'ColorFilter'",
        lambda: color_filter_bw(IMG, standard=1, filter=1),
    )
    # A refused argument wins over a shape error.
    _raises(
        TypeError,
        "argument 'standard': 'int' object is not an instance of 'LuminanceStandard'",
        lambda: luminance_bw(np.zeros((2, 2, 4), f32), 1),
    )


def test_keyword_img():
    assert_same_bits(channel_mixer_bw(wb=0.2, img=IMAGE, wg=0.3, wr=0.5), channel_mixer_bw(IMAGE, 0.5, 0.3, 0.2))


def test_function_metadata():
    assert luminance_bw.__text_signature__ == "(img, standard=...)"
    assert color_filter_bw.__text_signature__ == "(img, filter=..., standard=...)"
    assert channel_mixer_bw.__text_signature__ == "(img, wr, wg, wb)"
    for function in (luminance_bw, color_filter_bw, channel_mixer_bw):
        assert function.__module__ == "ostrel_core"
        assert function.__self__ is None


LUMINANCE_DOC = """Convert a linear RGB image to greyscale using standard luminance weights.

Parameters
----------
img : numpy.ndarray
    Input array, shape ``(H, W, 3)``, dtype ``float32``, C-contiguous,
    scene-referred linear sRGB values.
standard : LuminanceStandard, optional
    Which ITU-R standard to use. Default: ``LuminanceStandard.Bt709``.

Returns
-------
numpy.ndarray
    Shape ``(H, W, 1)``, dtype ``float32``, linear luminance.

Raises
------
ValueError
    If ``img`` is not shape ``(H, W, 3)``."""

COLOR_FILTER_DOC = """Convert a linear RGB image to greyscale using a Wratten-style filter.

Applies the filter's per-channel transmission vector then collapses
to luminance using ``standard``.

Parameters
----------
img : numpy.ndarray
    Input array, shape ``(H, W, 3)``, dtype ``float32``, C-contiguous.
filter : ColorFilter, optional
    Wratten-style preset. Default: ``ColorFilter.NoFilter``.
standard : LuminanceStandard, optional
    Which ITU-R standard to use. Default: ``LuminanceStandard.Bt709``.

Returns
-------
numpy.ndarray
    Shape ``(H, W, 1)``, dtype ``float32``.

Raises
------
ValueError
    If ``img`` is not shape ``(H, W, 3)``."""

CHANNEL_MIXER_DOC = """Convert a linear RGB image to greyscale using arbitrary channel weights.

Parameters
----------
img : numpy.ndarray
    Input array, shape ``(H, W, 3)``, dtype ``float32``, C-contiguous.
wr, wg, wb : float
    Per-channel weights. Range \u22122..+2 is conventional; negative weights
    produce infrared-like inversions. Weights need not sum to one.

Returns
-------
numpy.ndarray
    Shape ``(H, W, 1)``, dtype ``float32``.

Raises
------
ValueError
    If ``img`` is not shape ``(H, W, 3)``."""


def test_docstrings():
    assert luminance_bw.__doc__ == LUMINANCE_DOC
    assert color_filter_bw.__doc__ == COLOR_FILTER_DOC
    assert channel_mixer_bw.__doc__ == CHANNEL_MIXER_DOC


# --- threads ----------------------------------------------------------------------------------------

_THREAD_SCRIPT = """
import numpy as np
import ostrel_core as oc
img = np.load({source!r})
bgr = np.ascontiguousarray(img[..., ::-1])
views = [img, img.transpose(1, 0, 2), img[::-1, ::-1], np.asfortranarray(img), bgr[:, ::-1, ::-1]]
results = {{}}
for k, view in enumerate(views):
    results[f"lum{{k}}"] = oc.luminance_bw(view, oc.LuminanceStandard.Bt601)
    results[f"filter{{k}}"] = oc.color_filter_bw(view, oc.ColorFilter.Blue47C5, oc.LuminanceStandard.Bt2020)
    results[f"mixer{{k}}"] = oc.channel_mixer_bw(view, float("nan"), -1.5, 1e-40)
np.savez({target!r}, **results)
"""


def test_bits_identical_for_any_thread_count(tmp_path, run_python):
    # Odd sizes cut rows at uneven places, so pixels move between the vector
    # loop and its tail; NaNs of different payloads meet infinities times zero.
    img = sample_image((211, 157, 3), seed=12, special_share=0.3)
    source = tmp_path / "in.npy"
    np.save(source, img)
    module_dir = os.path.dirname(os.path.abspath(ostrel_core.__file__))
    path = os.pathsep.join(p for p in [module_dir, os.environ.get("PYTHONPATH", "")] if p)
    outputs = {}
    for threads in ["1", "2", "3", "8"]:
        target = tmp_path / f"out{threads}.npz"
        run_python(
            _THREAD_SCRIPT.format(source=str(source), target=str(target)),
            env={"RAYON_NUM_THREADS": threads, "RAYON_RS_NUM_CPUS": None, "PYTHONPATH": path},
        )
        with np.load(target) as data:
            outputs[threads] = {key: data[key] for key in data.files}
    for threads, results in outputs.items():
        for key, value in results.items():
            assert_same_bits(value, outputs["1"][key], f"{key} with {threads} threads")
    # Every layout gives the bits of the contiguous input.
    for kind in ("lum", "filter", "mixer"):
        base = outputs["1"][f"{kind}0"]
        assert_same_bits(outputs["1"][f"{kind}1"], base.transpose(1, 0, 2))
        assert_same_bits(outputs["1"][f"{kind}2"], base[::-1, ::-1])
        assert_same_bits(outputs["1"][f"{kind}3"], base)
        assert_same_bits(outputs["1"][f"{kind}4"], base[:, ::-1])
    # And the in-process result (whatever this pool's size) agrees.
    assert_same_bits(luminance_bw(img, LuminanceStandard.Bt601), outputs["1"]["lum0"])


# --- references -----------------------------------------------------------------------------------

_WEIGHT = 0.25e-3  # one float object, watched below
_LEAK_CALLS = {
    "luminance": lambda: luminance_bw(IMAGE, LuminanceStandard.Bt2020),
    "filter": lambda: color_filter_bw(IMAGE, ColorFilter.Red25A, LuminanceStandard.Bt601),
    "mixer": lambda: channel_mixer_bw(IMAGE, _WEIGHT, _WEIGHT, _WEIGHT),
    "shape error": lambda: color_filter_bw(IMAGE[..., :2], ColorFilter.Red25A),
    "wrong member": lambda: color_filter_bw(IMAGE, ColorFilter.Red25A, ColorFilter.Red25A),
    "bad weight": lambda: channel_mixer_bw(IMAGE, _WEIGHT, "x", _WEIGHT),
    "huge weight": lambda: channel_mixer_bw(IMAGE, _WEIGHT, _WEIGHT, 10**400),
    "comparison": lambda: [ColorFilter.Red25A == v for v in (_WEIGHT, 3, 2**80, "x", LuminanceStandard.Bt601)],
}


@pytest.mark.parametrize("name", list(_LEAK_CALLS))
def test_no_reference_leaks(name):
    call = _LEAK_CALLS[name]
    watched = [
        IMAGE,
        ColorFilter.Red25A,
        LuminanceStandard.Bt2020,
        LuminanceStandard.Bt601,
        ColorFilter,
        LuminanceStandard,
        _WEIGHT,
    ]

    def run():
        try:
            call()
        except (TypeError, ValueError, OverflowError):
            pass

    for _ in range(20):
        run()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(300):
        run()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert sys.getallocatedblocks() - blocks < 50
