# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""Property-based tests of every entry point: generated images (shapes with
empty, single, odd and large axes; float32 values with NaN payloads,
infinities, subnormals and signed zeros; every memory layout NumPy can hand
over) and generated arguments, right and wrong. Results are compared bit for
bit with the NumPy references, failures with their exact exception and
message.

The example budget comes from the hypothesis profile named by
OSTREL_HYPOTHESIS_PROFILE: "ci" (the full CI budget, derandomised), "ci-light"
(a small one for the other environments), "fuzz" (scripts/fuzz) or, by
default, "dev"."""

import collections
import math
import operator
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, note, settings
from hypothesis import strategies as st

import ostrel_core as oc
from references import (
    COEFFICIENTS,
    UndecidedReferenceError,
    assert_matches_encode_reference,
    assert_same_floats,
    filter_weights,
    local_contrast_reference,
    luminance_reference,
    zone_reference,
)

f32 = np.float32

_COMMON = {"deadline": None, "suppress_health_check": [HealthCheck.too_slow, HealthCheck.data_too_large]}
settings.register_profile("dev", max_examples=60, **_COMMON)
settings.register_profile("ci", max_examples=2000, derandomize=True, **_COMMON)
settings.register_profile("ci-light", max_examples=150, derandomize=True, **_COMMON)
settings.register_profile("fuzz", max_examples=300, database=None, **_COMMON)
settings.load_profile(os.environ.get("OSTREL_HYPOTHESIS_PROFILE", "dev"))

# Examples run per property, for scripts/fuzz.
EXAMPLES: collections.Counter[str] = collections.Counter()


def _panic_class():
    try:
        oc.encode_srgb(np.zeros((2, 4, 1), f32)[:, ::2])
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return type(error)
    raise AssertionError("a strided input to encode_srgb did not raise")


PANIC = _panic_class()

# --- images -------------------------------------------------------------------

SPECIAL_BITS = [
    0x00000000,
    0x80000000,  # +0, -0
    0x00000001,
    0x80000001,
    0x007FFFFF,
    0x807FFFFF,  # subnormals
    0x00800000,
    0x7F7FFFFF,
    0xFF7FFFFF,  # smallest normal, largest finite
    0x7F800000,
    0xFF800000,  # infinities
    0x7FC00000,
    0xFFC00000,
    0x7FC12345,
    0xFFFFFFFF,
    0x7F800001,
    0xFFA00001,  # quiet and signalling NaNs
    0x3F800000,
    0x3B4D2E1C,
    0x3B4D2E1D,
    0x2EDBE6FF,
    0x3E3851EC,  # 1, sRGB threshold and next, zone floor, 0.18
]
FAMILIES = ["unit", "wide", "any bits", "specials"]
# Axis lengths: empty, single, odd, and long enough (with the others) for the
# pool to split the work.
AXIS = st.one_of(st.sampled_from([0, 1, 2, 3, 5, 7, 8]), st.integers(1, 33), st.sampled_from([64, 97, 130]))
MAX_ELEMENTS = 130 * 64
LAYOUTS = [
    "contiguous",
    "rows reversed",
    "columns reversed",
    "both reversed",
    "stepped rows",
    "stepped columns",
    "transposed",
    "fortran",
    "broadcast rows",
    "broadcast columns",
    "read-only",
    "channel slice",
]

element_bits = st.one_of(
    st.sampled_from(SPECIAL_BITS),
    st.integers(0, 2**32 - 1),
    st.floats(-2.0, 2.0, width=32).map(lambda v: int(np.array(v, f32).view(np.uint32))),
)


def draw_values(data, shape):
    """float32 values of `shape`: small arrays element by element (they shrink
    well), larger ones from a seeded family with drawn values sprinkled in."""
    count = math.prod(shape)
    if count <= 48:
        bits = data.draw(st.lists(element_bits, min_size=count, max_size=count), label="bits")
        return np.array(bits, np.uint32).view(f32).reshape(shape)
    family = data.draw(st.sampled_from(FAMILIES), label="family")
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1), label="seed"))
    if family == "unit":
        values = rng.random(shape, dtype=f32)
    elif family == "wide":
        values = (rng.uniform(-1, 1, shape) * np.exp2(rng.integers(-40, 40, shape))).astype(f32)
    elif family == "any bits":
        values = rng.integers(0, 2**32, shape, dtype=np.uint64).astype(np.uint32).view(f32)
    else:
        values = np.array(SPECIAL_BITS, np.uint32).view(f32)[rng.integers(0, len(SPECIAL_BITS), shape)]
    flat = values.reshape(-1)
    for index, pattern in data.draw(
        st.lists(st.tuples(st.integers(0, count - 1), element_bits), max_size=8), label="sprinkled"
    ):
        flat[index] = np.array(pattern, np.uint32).view(f32)
    return values


def with_layout(values, layout):
    """A view with the values of `values` in the given memory layout."""
    h, w, c = values.shape
    if layout == "rows reversed":
        return values[::-1].copy()[::-1]
    if layout == "columns reversed":
        return values[:, ::-1].copy()[:, ::-1]
    if layout == "both reversed":
        return values[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "stepped rows":
        base = np.full((2 * h, w, c), np.nan, f32)
        base[::2] = values
        return base[::2]
    if layout == "stepped columns":
        base = np.full((h, 3 * w, c), np.nan, f32)
        base[:, ::3] = values
        return base[:, ::3]
    if layout == "transposed":
        return np.ascontiguousarray(values.swapaxes(0, 1)).swapaxes(0, 1)
    if layout == "fortran":
        return np.asfortranarray(values)
    if layout == "read-only":
        view = values.copy()
        view.flags.writeable = False
        return view
    if layout == "channel slice":
        base = np.full((h, w, c + 2), np.nan, f32)
        base[:, :, 1 : 1 + c] = values
        return base[:, :, 1 : 1 + c]
    return values


def draw_image(data, channels):
    """An (H, W, channels) float32 image in a drawn layout."""
    h = data.draw(AXIS, label="height")
    w = data.draw(AXIS, label="width")
    assume(h * w * max(channels, 1) <= MAX_ELEMENTS)
    layout = data.draw(st.sampled_from(LAYOUTS), label="layout")
    if layout == "broadcast rows":
        image = np.broadcast_to(draw_values(data, (1, w, channels)), (h, w, channels))
    elif layout == "broadcast columns":
        image = np.broadcast_to(draw_values(data, (h, 1, channels)), (h, w, channels))
    else:
        image = with_layout(draw_values(data, (h, w, channels)), layout)
    note(f"image {image.shape} {layout}, strides {image.strides}")
    return image


# --- arguments ----------------------------------------------------------------


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value!r})"


def type_name(value):
    return type(value).__name__


def not_an_instance(name, value, expected):
    shown = "'None'" if value is None else f"'{type_name(value)}' object"
    return TypeError, f"argument '{name}': {shown} is not an instance of '{expected}'"


# Values for a float32 parameter, with what converting them gives: the
# float32 value, or the exception and its message.
real_numbers = st.one_of(
    st.floats(width=64),
    st.floats(width=32),
    st.integers(-(2**70), 2**70),
    st.sampled_from([10**400, -(10**400), True]),
    st.floats(-10, 10).map(np.float64),
    st.floats(-10, 10, width=32).map(np.float32),
    st.floats(-1e3, 1e3).map(FloatLike),
    st.integers(-5, 5).map(IndexLike),
)
not_real_numbers: st.SearchStrategy[object] = st.sampled_from(["0.5", None, [1.0], b"1", {}, 1j])


def float_outcome(name, value):
    """What the interpreter's float conversion makes of `value` for parameter `name`."""
    if isinstance(value, (str, bytes, list, dict, complex)) or value is None:
        return TypeError, f"argument '{name}': must be real number, not {type_name(value)}"
    number = operator.index(value) if isinstance(value, IndexLike) else value
    if isinstance(number, int) and abs(number) >= 2**1024:
        return OverflowError, "int too large to convert to float"
    with np.errstate(over="ignore"):
        return f32(float(number))


def uint32_outcome(name, value):
    if not hasattr(value, "__index__"):
        return TypeError, f"argument '{name}': '{type_name(value)}' object cannot be interpreted as an integer"
    number = operator.index(value)
    if number < 0:
        return OverflowError, "can't convert negative int to unsigned"
    if number >= 2**64:
        return OverflowError, "int too big to convert"
    if number >= 2**32:
        return OverflowError, "out of range integral type conversion attempted"
    return number


def int32_outcome(name, value):
    if not hasattr(value, "__index__"):
        return TypeError, f"argument '{name}': '{type_name(value)}' object cannot be interpreted as an integer"
    number = operator.index(value)
    if not -(2**63) <= number < 2**63:
        return OverflowError, "int too big to convert"
    if not -(2**31) <= number < 2**31:
        return OverflowError, "out of range integral type conversion attempted"
    return number


def is_error(outcome):
    return isinstance(outcome, tuple) and isinstance(outcome[0], type) and issubclass(outcome[0], BaseException)


def check_raises(call, error):
    kind, message = error
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is kind, f"{type(caught.value).__name__}: {caught.value}"
    assert str(caught.value) == message


def convert_zone_offsets(offsets):
    """ZoneParams' reading of a dict: {int32 zone: float32 stops}, or the error."""
    table = {}
    for key, value in offsets.items():
        zone = int32_outcome("offsets", key)
        if is_error(zone):
            return zone
        stops = float_outcome("offsets", value)
        if is_error(stops):
            return stops
        table[zone] = stops
    return table


zone_keys = st.one_of(
    st.integers(-3, 14),
    st.integers(-(2**31), 2**31 - 1),
    st.integers(-(2**80), 2**80),
    st.integers(-3, 14).map(np.int64),
    st.integers(0, 10).map(IndexLike),
    st.sampled_from(["5", 5.0, None, True]),
)
zone_values = st.one_of(
    st.floats(-3, 3),
    st.sampled_from([0.0, -0.0, math.nan, math.inf, -math.inf]),
    real_numbers,
    not_real_numbers,
)


def valid_zone_params():
    offsets = st.dictionaries(st.integers(-3, 14), st.one_of(st.floats(-3, 3), st.floats(width=32)), max_size=12)
    return offsets.map(lambda d: (oc.ZoneParams(d), {k: f32(v) for k, v in d.items()}))


def valid_guided_params():
    radius = st.one_of(st.integers(0, 6), st.sampled_from([40, 2**31, 2**32 - 1]))
    eps = st.one_of(st.floats(0, 1, width=32), st.sampled_from([0.0, -0.01, math.nan, math.inf, 1e-30]))
    return st.tuples(radius, eps).map(lambda p: (oc.GuidedFilterParams(*p), (p[0], f32(p[1]))))


# --- every kernel against its reference -------------------------------------------


def expected_result(kernel, image, args):
    """The reference result for a call that passes its checks, or the error."""
    h, w, c = image.shape
    if kernel in ("luminance_bw", "color_filter_bw", "channel_mixer_bw") and c != 3:
        return ValueError, f"shape error: expected (H, W, 3) RGB array, got shape [{h}, {w}, {c}]"
    if kernel in ("zone_system", "local_contrast") and c != 1:
        return ValueError, f"shape error: {kernel} expects (H, W, 1) luminance input, got shape [{h}, {w}, {c}]"
    if kernel in ("zone_system", "encode_srgb") and not image.flags.c_contiguous:
        return PANIC, f"{kernel}: input must be C-contiguous"
    copy = np.array(image, f32, order="C")
    if kernel == "luminance_bw":
        return luminance_reference(copy, COEFFICIENTS[int(args[0])])
    if kernel == "color_filter_bw":
        return luminance_reference(copy, filter_weights(int(args[0]), int(args[1])))
    if kernel == "channel_mixer_bw":
        return luminance_reference(copy, args)
    if kernel == "zone_system":
        return zone_reference(copy, args[0])
    if kernel == "local_contrast":
        radius, eps = args[0]
        return local_contrast_reference(copy, radius, eps, args[1])
    return copy  # encode_srgb: checked value by value below


def channel_counts(kernel):
    right = 3 if kernel in ("luminance_bw", "color_filter_bw", "channel_mixer_bw") else 1
    if kernel == "encode_srgb":
        return st.integers(0, 5)
    return st.one_of(st.just(right), st.just(right), st.integers(0, 5))


KERNELS = ["luminance_bw", "color_filter_bw", "channel_mixer_bw", "zone_system", "local_contrast", "encode_srgb"]
STANDARDS = [oc.LuminanceStandard.Bt601, oc.LuminanceStandard.Bt709, oc.LuminanceStandard.Bt2020]
FILTERS = [
    oc.ColorFilter.NoFilter,
    oc.ColorFilter.Yellow8K2,
    oc.ColorFilter.Orange21,
    oc.ColorFilter.Red25A,
    oc.ColorFilter.Green11X1,
    oc.ColorFilter.Blue47C5,
]


def draw_kernel_arguments(data, kernel):
    """(Python arguments after the image, what the reference needs)."""
    if kernel == "luminance_bw":
        standard = data.draw(st.sampled_from(STANDARDS), label="standard")
        return (standard,), (standard,)
    if kernel == "color_filter_bw":
        chosen = (data.draw(st.sampled_from(FILTERS)), data.draw(st.sampled_from(STANDARDS)))
        return chosen, chosen
    if kernel == "channel_mixer_bw":
        weights = data.draw(st.lists(real_numbers, min_size=3, max_size=3), label="weights")
        converted = [float_outcome("w", w) for w in weights]
        assume(not any(is_error(w) for w in converted))
        return tuple(weights), tuple(converted)
    if kernel == "zone_system":
        params, table = data.draw(valid_zone_params(), label="params")
        return (params,), (table,)
    if kernel == "local_contrast":
        params, settings_ = data.draw(valid_guided_params(), label="params")
        strength = data.draw(st.one_of(st.floats(-3, 3), st.floats(width=32), real_numbers), label="strength")
        converted = float_outcome("strength", strength)
        assume(not is_error(converted))
        return (params, strength), (settings_, converted)
    return (), ()


@given(st.data())
def test_every_kernel_matches_its_reference_on_any_image_and_layout(data):
    EXAMPLES["kernels"] += 1
    kernel = data.draw(st.sampled_from(KERNELS), label="kernel")
    image = draw_image(data, data.draw(channel_counts(kernel), label="channels"))
    args, reference_args = draw_kernel_arguments(data, kernel)
    before = np.array(image, copy=True)
    try:
        expected = expected_result(kernel, image, reference_args)
    except UndecidedReferenceError:
        assume(False)
    call = lambda: getattr(oc, kernel)(image, *args)  # noqa: E731
    if is_error(expected):
        check_raises(call, expected)
    else:
        result = call()
        assert type(result) is np.ndarray and result.flags.c_contiguous and result.flags.writeable
        assert not np.shares_memory(result, image)
        if kernel == "encode_srgb":
            try:
                assert_matches_encode_reference(expected.reshape(-1), result.reshape(-1))
            except UndecidedReferenceError:
                assume(False)
            assert result.shape == image.shape
        else:
            assert_same_floats(result, expected)
    np.testing.assert_array_equal(before.view(np.uint32), np.asarray(image).view(np.uint32))


# --- argument matching and conversion ---------------------------------------------

# name: (parameters, how many are required, kind of each)
SIGNATURES = {
    "luminance_bw": (["img", "standard"], 1, ["img", "standard"]),
    "color_filter_bw": (["img", "filter", "standard"], 1, ["img", "filter", "standard"]),
    "channel_mixer_bw": (["img", "wr", "wg", "wb"], 4, ["img", "real", "real", "real"]),
    "zone_system": (["img", "params"], 2, ["img", "zone"]),
    "local_contrast": (["img", "params", "strength"], 3, ["img", "guided", "real"]),
    "encode_srgb": (["img"], 1, ["img"]),
}

GOOD_IMAGES = {
    3: np.linspace(0, 1, 2 * 3 * 3, dtype=f32).reshape(2, 3, 3),
    1: np.linspace(0, 1, 2 * 3, dtype=f32).reshape(2, 3, 1),
}
WRONG_IMAGES = [
    [[[0.5]]],
    None,
    0.5,
    np.float32(0.5),
    "img",
    np.zeros((2, 2, 3)),
    np.zeros((2, 2), f32),
    np.zeros((1, 2, 2, 3), f32),
    np.zeros((2, 2, 3), np.int32),
    np.zeros((2, 2, 3), ">f4"),
]


def argument_value(data, kernel, kind, name):
    """A drawn value for a parameter, and its conversion (a value or an error)."""
    wrong = data.draw(st.booleans(), label=f"{name} wrong")
    if kind == "img":
        channels = 3 if kernel in ("luminance_bw", "color_filter_bw", "channel_mixer_bw") else 1
        if not wrong:
            return GOOD_IMAGES[channels], GOOD_IMAGES[channels]
        value = data.draw(st.sampled_from(WRONG_IMAGES), label=name)
        if isinstance(value, np.ndarray):
            return value, (TypeError, "argument 'img': 'ndarray' object is not an instance of 'ndarray'")
        return value, not_an_instance("img", value, "ndarray")
    if kind in ("standard", "filter"):
        members, other, cls = (
            (STANDARDS, FILTERS, "LuminanceStandard") if kind == "standard" else (FILTERS, STANDARDS, "ColorFilter")
        )
        if not wrong:
            value = data.draw(st.sampled_from(members), label=name)
            return value, value
        value = data.draw(st.one_of(st.sampled_from(other), st.sampled_from([0, 1, None, "Bt709", 1.0])), label=name)
        return value, not_an_instance(name, value, cls)
    if kind == "real":
        value = data.draw(not_real_numbers if wrong else real_numbers, label=name)
        return value, float_outcome(name, value)
    cls, good = ("ZoneParams", valid_zone_params()) if kind == "zone" else ("GuidedFilterParams", valid_guided_params())
    if not wrong:
        value, converted = data.draw(good, label=name)
        return value, converted
    value = data.draw(
        st.sampled_from([{5: 0.5}, None, 3, (1, 0.1), oc.ZoneParams({}), oc.GuidedFilterParams(1, 0.1)]), label=name
    )
    if type(value).__name__ == cls:
        value = {"radius": 1}
    return value, not_an_instance(name, value, cls)


def missing_message(function, names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        listed = quoted[0]
    elif len(quoted) == 2:
        listed = f"{quoted[0]} and {quoted[1]}"
    else:
        listed = ", ".join(quoted[:-1]) + f", and {quoted[-1]}"
    plural = "s" if len(names) > 1 else ""
    return f"{function}() missing {len(names)} required positional argument{plural}: {listed}"


@given(st.data())
def test_argument_matching_and_conversion_errors_are_exact(data):
    EXAMPLES["arguments"] += 1
    kernel = data.draw(st.sampled_from(KERNELS), label="kernel")
    parameters, required, kinds = SIGNATURES[kernel]
    values = {}
    converted = {}
    for name, kind in zip(parameters, kinds, strict=True):
        values[name], converted[name] = argument_value(data, kernel, kind, name)
    # How each parameter is passed: positionally (a prefix), by keyword, or not at all.
    positional = data.draw(st.integers(0, len(parameters)), label="positional")
    args = [values[n] for n in parameters[:positional]]
    keywords = {}
    for name in parameters[positional:]:
        if data.draw(st.booleans(), label=f"pass {name}"):
            keywords[name] = values[name]
    if positional == len(parameters):
        args += [0.5] * data.draw(st.integers(0, 2), label="extra positional")
    extras = data.draw(
        st.lists(st.sampled_from(["image", "Img", "x", "img\u00e9", *parameters]), max_size=2, unique=True),
        label="extra keywords",
    )
    for name in extras:  # unknown names, and parameters already passed positionally
        if name not in parameters or parameters.index(name) < len(args):
            keywords[name] = 1.0
    keyword_order = data.draw(st.permutations(list(keywords)), label="keyword order")
    keywords = {name: keywords[name] for name in keyword_order}
    note(f"{kernel}(*{len(args)} args, {list(keywords)})")

    def expected():
        if len(args) > len(parameters):
            takes = f"{len(parameters)}" if required == len(parameters) else f"from {required} to {len(parameters)}"
            return TypeError, f"{kernel}() takes {takes} positional arguments but {len(args)} were given"
        for name in keywords:
            if name not in parameters:
                return TypeError, f"{kernel}() got an unexpected keyword argument '{name}'"
            if parameters.index(name) < len(args):
                return TypeError, f"{kernel}() got multiple values for argument '{name}'"
        given_names = set(parameters[: len(args)]) | set(keywords)
        missing = [n for n in parameters[:required] if n not in given_names]
        if missing:
            return TypeError, missing_message(kernel, missing)
        for name in parameters:
            if name in given_names and is_error(converted[name]):
                return converted[name]
        return None

    error = expected()
    call = lambda: getattr(oc, kernel)(*args, **keywords)  # noqa: E731
    if error is not None:
        check_raises(call, error)
        return
    result = call()
    # Every argument passed its checks: the bits of the reference for them.
    image = GOOD_IMAGES[3 if kernel in ("luminance_bw", "color_filter_bw", "channel_mixer_bw") else 1]
    reference_args = {
        "luminance_bw": lambda: (
            converted["standard"] if "standard" in keywords or len(args) > 1 else oc.LuminanceStandard.Bt709,
        ),
        "color_filter_bw": lambda: (
            converted["filter"] if "filter" in keywords or len(args) > 1 else oc.ColorFilter.NoFilter,
            converted["standard"] if "standard" in keywords or len(args) > 2 else oc.LuminanceStandard.Bt709,
        ),
        "channel_mixer_bw": lambda: (converted["wr"], converted["wg"], converted["wb"]),
        "zone_system": lambda: (converted["params"],),
        "local_contrast": lambda: (converted["params"], converted["strength"]),
        "encode_srgb": lambda: (),
    }[kernel]()
    try:
        reference = expected_result(kernel, image, reference_args)
    except UndecidedReferenceError:
        assume(False)
    if kernel == "encode_srgb":
        assert_matches_encode_reference(reference.reshape(-1), result.reshape(-1))
    else:
        assert_same_floats(result, reference)


# --- parameter objects ---------------------------------------------------------------


@given(st.dictionaries(zone_keys, zone_values, max_size=6))
def test_zone_params_accept_exactly_what_converts(offsets):
    EXAMPLES["zone params"] += 1
    table = convert_zone_offsets(offsets)
    if is_error(table):
        check_raises(lambda: oc.ZoneParams(offsets), table)
        return
    params = oc.ZoneParams(offsets)
    image = np.array([[[0.0], [0.001], [0.18], [0.5], [1.0], [4.0], [np.inf], [np.nan]]], f32)
    try:
        expected = zone_reference(image, table)
    except UndecidedReferenceError:
        assume(False)
    assert_same_floats(oc.zone_system(image, params), expected)


radius_values = st.one_of(
    st.integers(0, 10),
    st.integers(-(2**70), 2**70),
    st.sampled_from([2**32 - 1, 2**32, 2**64 - 1, 2**64, -1]),
    st.integers(0, 10).map(np.int64),
    st.integers(0, 10).map(IndexLike),
    st.sampled_from([1.0, "3", None, True]),
)
eps_values = st.one_of(st.floats(width=32), real_numbers, not_real_numbers)


@given(radius_values, eps_values, st.booleans())
def test_guided_filter_params_accept_exactly_what_converts(radius, eps, by_keyword):
    EXAMPLES["guided params"] += 1
    radius_outcome = uint32_outcome("radius", radius)
    eps_outcome = float_outcome("eps", eps)
    make = (
        (lambda: oc.GuidedFilterParams(radius=radius, eps=eps))
        if by_keyword
        else (lambda: oc.GuidedFilterParams(radius, eps))
    )
    for outcome in (radius_outcome, eps_outcome):
        if is_error(outcome):
            check_raises(make, outcome)
            return
    params = make()
    assert params.radius == radius_outcome
    assert np.array(params.eps, f32).view(np.uint32) == eps_outcome.view(np.uint32) or (
        math.isnan(params.eps) and math.isnan(eps_outcome)
    )
    # Assignments convert the same way and leave the object as it was on failure.
    other = oc.GuidedFilterParams(3, 0.25)
    for name, value, outcome in (("radius", radius, radius_outcome), ("eps", eps, eps_outcome)):
        setattr(other, name, value)
        assert getattr(other, name) == outcome or (name == "eps" and math.isnan(outcome))
    bad = oc.GuidedFilterParams(2, 0.5)
    check_raises(
        lambda: setattr(bad, "radius", "7"),
        (TypeError, "argument 'radius': 'str' object cannot be interpreted as an integer"),
    )
    assert (bad.radius, bad.eps) == (2, 0.5)
