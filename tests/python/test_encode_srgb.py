# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""encode_srgb: the sRGB transfer encoding in single precision, value by value."""

import numpy as np
import pytest

from ostrel_core import encode_srgb
from references import THRESHOLD, bits, from_bits
from references import assert_matches_encode_reference as assert_matches_reference

f32 = np.float32


def encode(values):
    """Runs the kernel over a flat sequence of values."""
    flat = np.ascontiguousarray(values, f32).ravel()
    return encode_srgb(flat.reshape(1, -1, 1)).ravel()


@pytest.mark.parametrize(
    "x_bits, y_bits",
    [
        (0x3F800000, 0x3F7FFFFF),  # 1.0 -> 0.99999994, not 1.0
        (0x3B4D2E1C, 0x3D25AED5),  # the threshold itself: linear segment
        (0x00000000, 0x00000000),
        (0x80000000, 0x80000000),  # -0 stays -0
        (0xBF800000, 0xC14EB852),  # -1 -> -12.92, the stored slope
        (0x7F800000, 0x7F800000),  # +inf
        (0xFF800000, 0xFF800000),  # -inf
        (0x00000001, 0x0000000D),  # smallest denormal: 12.92 * 2**-149 rounds to 13 units
        (0x80000001, 0x8000000D),
    ],
)
def test_exact_values(x_bits, y_bits):
    assert bits(encode(from_bits(x_bits)))[0] == y_bits


def test_segments_do_not_meet_at_the_threshold():
    at, above = bits(encode(from_bits(0x3B4D2E1C, 0x3B4D2E1D)))
    assert at == 0x3D25AED5
    # The first float above takes the power segment, some seven units lower.
    assert 0x3D25AED5 - 8 <= above <= 0x3D25AED5 - 6
    assert_matches_reference(from_bits(0x3B4D2E1D), from_bits(above))


@pytest.mark.parametrize(
    "x, expected_bits",
    [(0.5, 0x3F3C405A), (2.0, 0x3FAD377E)],  # 0.73535693, 1.3532560
)
def test_documented_values_within_one_unit(x, expected_bits):
    got = int(bits(encode([x]))[0])
    assert abs(got - expected_bits) <= 1


def test_nan_stays_nan():
    nans = from_bits(0x7FC00000, 0xFFC00000, 0x7F800001, 0x7FFFFFFF, 0xFFFFFFFF)
    assert np.all(np.isnan(encode(nans)))


def test_random_bit_patterns_match_reference():
    # Every class of float: denormals, huge values, infinities, NaNs.
    rng = np.random.default_rng(20240611)
    x = rng.integers(0, 2**32, 300_000, dtype=np.uint64).astype(np.uint32).view(f32)
    assert_matches_reference(x, encode(x))


def test_display_range_values_match_reference():
    rng = np.random.default_rng(7)
    x = np.concatenate(
        [
            rng.uniform(0.0, 1.0, 200_000).astype(f32),
            rng.uniform(-1.0, 4.0, 50_000).astype(f32),
            np.exp(rng.uniform(np.log(1e-8), np.log(1e4), 50_000)).astype(f32),
            # Around the threshold, in units in the last place.
            (THRESHOLD.view(np.uint32) + np.arange(-2000, 2000, dtype=np.int64)).astype(np.uint32).view(f32),
            # Denormals and the smallest normals.
            np.arange(0, 1 << 24, 997, dtype=np.uint32).view(f32),
        ]
    )
    assert_matches_reference(x, encode(x))


@pytest.mark.parametrize("shape", [(1, 1, 1), (3, 5, 1), (3, 5, 3), (3, 5, 4), (2, 3, 2), (2, 2, 7), (70, 90, 3)])
def test_any_channel_count_is_encoded_value_by_value(shape):
    rng = np.random.default_rng(3)
    a = rng.uniform(-0.1, 1.5, shape).astype(f32)
    result = encode_srgb(a)
    assert result.shape == shape
    assert np.array_equal(bits(result).ravel(), bits(encode(a.ravel())))
    assert_matches_reference(a, result)


@pytest.mark.parametrize("shape", [(0, 5, 3), (5, 0, 3), (5, 3, 0), (0, 0, 0)])
def test_empty_input_gives_empty_result_of_the_same_shape(shape):
    result = encode_srgb(np.zeros(shape, f32))
    assert result.shape == shape
    assert result.dtype == f32
    assert result.size == 0


def base_image():
    return np.random.default_rng(11).uniform(0.0, 1.0, (6, 8, 3)).astype(f32)


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a[:, ::2],  # stepped columns
        lambda a: a[::2],  # stepped rows
        lambda a: a[..., ::2],  # stepped channels
        lambda a: a.transpose(1, 0, 2),
        lambda a: np.asfortranarray(a),
        lambda a: a[::-1],  # negative row stride
        lambda a: a[:, :, ::-1],
        lambda a: a[:, 1:3],  # a window of each row
        lambda a: np.broadcast_to(a[:1], (4, 8, 3)),  # zero row stride
        lambda a: np.broadcast_to(a[:, :, :1], (6, 8, 3)),  # zero channel stride
    ],
)
def test_non_contiguous_input_raises_panic(make, panic_exception):
    view = make(base_image())
    assert not view.flags.c_contiguous
    with pytest.raises(panic_exception) as raised:
        encode_srgb(view)
    assert str(raised.value) == "encode_srgb: input must be C-contiguous"
    # A C-contiguous copy of the same data is accepted.
    copy = np.ascontiguousarray(view)
    assert_matches_reference(copy, encode_srgb(copy))


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a[2:3],  # one row, any row stride
        lambda a: a[::-1][2:3],  # one row of a reversed array: negative stride on a length-1 axis
        lambda a: a[2:3, ::-1][:, 3:4],  # (1, 1, C)
        lambda a: a[:1, :1, :1],
        lambda a: np.lib.stride_tricks.as_strided(a, shape=(1, 8, 3), strides=(12345 * 4, 12, 4)),
        lambda a: np.lib.stride_tricks.as_strided(a[:, :1], shape=(6, 1, 3), strides=(12, -777, 4)),
        lambda a: np.lib.stride_tricks.as_strided(a, shape=(6, 8, 1), strides=(32, 4, 10**6)),
        lambda a: a[:0, ::2],  # empty and stepped
    ],
)
def test_odd_strides_on_length_one_axes_are_accepted(make):
    view = make(base_image())
    assert view.flags.c_contiguous  # NumPy agrees
    result = encode_srgb(view)
    assert result.shape == view.shape
    assert np.array_equal(bits(result), bits(encode_srgb(np.ascontiguousarray(view))))


def test_read_only_input_is_accepted_and_unchanged():
    a = base_image()
    a.setflags(write=False)
    before = a.copy()
    result = encode_srgb(a)
    assert np.array_equal(bits(a), bits(before))
    assert result.flags.writeable
    assert_matches_reference(a, result)


def test_result_is_new_even_when_values_do_not_change():
    a = np.zeros((2, 3, 1), f32)  # encodes to itself
    result = encode_srgb(a)
    assert np.array_equal(bits(result), bits(a))
    assert not np.shares_memory(result, a)
    result[0, 0, 0] = 1.0
    assert a[0, 0, 0] == 0.0
