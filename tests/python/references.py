# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""Independent NumPy formulations of the kernels, shared by the tests: each
writes the kernel's documented operations out in the same order, so that
results can be compared bit for bit."""

import numpy as np

f32 = np.float32


class UndecidedReferenceError(AssertionError):
    """A correctly rounded reference value that float64 and extended precision
    do not settle (the exact value lies too close to a rounding midpoint)."""


# --- luminance_bw, color_filter_bw, channel_mixer_bw ---------------------------


def from_bits(*patterns):
    return np.array(patterns, np.uint32).view(f32)


# The stored coefficient and transmission rows, by member code.
COEFFICIENTS = [
    from_bits(0x3E991687, 0x3F1645A2, 0x3DE978D5),  # Bt601
    from_bits(0x3E59B3D0, 0x3F371759, 0x3D93DD98),  # Bt709
    from_bits(0x3E86809D, 0x3F2D9168, 0x3D72E48F),  # Bt2020
]
_ONE, _T09, _T055, _T03, _T02, _T01, _T002 = (
    0x3F800000,
    0x3F666666,
    0x3F0CCCCD,
    0x3E99999A,
    0x3E4CCCCD,
    0x3DCCCCCD,
    0x3CA3D70A,
)
TRANSMISSIONS = [
    from_bits(_ONE, _ONE, _ONE),  # NoFilter
    from_bits(_ONE, _T09, _T03),  # Yellow8K2
    from_bits(_ONE, _T055, _T01),  # Orange21
    from_bits(_ONE, _T01, _T002),  # Red25A
    from_bits(_T02, _ONE, _T03),  # Green11X1
    from_bits(_T01, _T03, _ONE),  # Blue47C5
]


def luminance_reference(img, weights):
    """(R*wR + G*wG) + B*wB in float32, one rounding per operation, in that order."""
    img = np.asarray(img, f32)
    wr, wg, wb = (f32(w) for w in weights)
    with np.errstate(all="ignore"):
        red = img[..., 0:1] * wr
        green = img[..., 1:2] * wg
        blue = img[..., 2:3] * wb
        return (red + green) + blue


def filter_weights(filter_code, standard_code):
    with np.errstate(all="ignore"):
        return COEFFICIENTS[standard_code] * TRANSMISSIONS[filter_code]


def assert_same_floats(actual, expected):
    """Equal bit patterns, NaN matching any NaN (IEEE leaves the payload of an
    operation on two NaNs open, so NumPy may pick the other operand's)."""
    assert actual.dtype == f32 and actual.shape == expected.shape
    nan_actual, nan_expected = np.isnan(actual), np.isnan(expected)
    np.testing.assert_array_equal(nan_actual, nan_expected)
    np.testing.assert_array_equal(actual.view(np.uint32)[~nan_actual], expected.view(np.uint32)[~nan_expected])


def assert_same_bits(actual, expected, message=""):
    assert actual.shape == expected.shape, message
    np.testing.assert_array_equal(actual.view(np.uint32), expected.view(np.uint32), err_msg=message)


# --- zone_system ----------------------------------------------------------------


def bits_f32(pattern: int) -> np.float32:
    return np.array([pattern], np.uint32).view(f32)[0]


FLOOR = bits_f32(0x2EDBE6FF)  # 1e-10
LN2 = bits_f32(0x3F317218)
MIDDLE_ZONE = f32(5.0)
GREY_STOPS = bits_f32(0x401E54E3)  # -log2(0.18)
WIDTH = bits_f32(0x3FA3D70B)  # 2 * 0.8**2 in single precision


def correctly_rounded(function):
    """function(x) rounded once to float32. It is evaluated in extended and in
    double precision; where the two roundings agree the result is the
    correctly rounded one (they would differ only next to a midpoint)."""

    def evaluate(x):
        x = np.asarray(x, f32)
        with np.errstate(all="ignore"):
            wide = function(x.astype(np.longdouble)).astype(f32)
            narrow = function(x.astype(np.float64)).astype(f32)
        same = (wide.view(np.uint32) == narrow.view(np.uint32)) | (np.isnan(wide) & np.isnan(narrow))
        if not same.all():
            raise UndecidedReferenceError(f"reference undecided for {x[~same][:5]!r}")
        return wide

    return evaluate


def zone_reference(g, offsets, log=None, exp=None, exp2=None):
    """The curve step by step in float32, terms in ascending zone order.

    log/exp/exp2 default to float64 evaluations rounded once to float32, i.e.
    correctly rounded single-precision functions."""
    log = log or correctly_rounded(np.log)
    exp = exp or correctly_rounded(np.exp)
    exp2 = exp2 or correctly_rounded(np.exp2)
    g = np.asarray(g, f32)
    if not offsets:
        return g.copy()
    with np.errstate(all="ignore"):
        x = np.where(g > FLOOR, g, FLOOR).astype(f32)
        z = log(x)
        z = z / LN2
        z = z + MIDDLE_ZONE
        z = z + GREY_STOPS
        s = np.full_like(z, -0.0)
        for centre, offset in sorted(offsets.items()):
            d = z - f32(centre)
            e = (-d) * d
            e = e / WIDTH
            w = exp(e)
            s = (w * f32(offset)) + s
        return g * exp2(s)


# --- encode_srgb ----------------------------------------------------------------


def bits(values):
    return np.ascontiguousarray(values, f32).view(np.uint32)


THRESHOLD = from_bits(0x3B4D2E1C)[0]  # 0.0031308
SLOPE = from_bits(0x414EB852)[0]  # 12.92
EXPONENT = from_bits(0x3ED55555)[0]  # 1/2.4
SCALE = from_bits(0x3F870A3D)[0]  # 1.055
OFFSET = from_bits(0xBD6147AE)[0]  # -0.055


def correctly_rounded_power(x):
    """x ** EXPONENT rounded once to float32. It is evaluated in extended and
    in double precision; where the two roundings agree the result is the
    correctly rounded one (they would differ only next to a midpoint)."""
    with np.errstate(all="ignore"):
        wide = np.power(x.astype(np.longdouble), np.longdouble(EXPONENT)).astype(f32)
        narrow = np.power(x.astype(np.float64), np.float64(EXPONENT)).astype(f32)
    undecided = (bits(wide) != bits(narrow)) & ~(np.isnan(wide) & np.isnan(narrow))
    if undecided.any():
        raise UndecidedReferenceError(f"reference undecided for {x[undecided][:5]!r}")
    return wide


def assert_matches_encode_reference(x, result):
    """encode_srgb's result for the values x: the linear segment and the
    correctly rounded power, bit for bit (NaN in, NaN out)."""
    x = np.asarray(x, f32)
    result = np.asarray(result, f32)
    assert result.dtype == f32 and result.shape == x.shape
    linear = x <= THRESHOLD
    with np.errstate(all="ignore"):
        expected_linear = x[linear] * SLOPE
    # The linear segment is one rounded multiplication: exact bits.
    mismatch = np.flatnonzero(bits(result[linear]) != bits(expected_linear))
    assert mismatch.size == 0, (
        f"linear segment: x={x[linear][mismatch[:5]]!r} gave {result[linear][mismatch[:5]]!r}, "
        f"expected {expected_linear[mismatch[:5]]!r}"
    )
    # The power segment (x above the threshold, +inf and NaN).
    xp, rp = x[~linear], result[~linear]
    nan = np.isnan(xp)
    assert np.array_equal(np.isnan(rp), nan)
    # The power is correctly rounded, so these bits are exact too.
    expected = (correctly_rounded_power(xp[~nan]) * SCALE) + OFFSET
    bad = np.flatnonzero(bits(rp[~nan]) != bits(expected))
    assert bad.size == 0, f"power segment: x={xp[~nan][bad[:5]]!r} gave {rp[~nan][bad[:5]]!r}"


# --- local_contrast: the same steps, float64 where the filter uses double --------


def summed_area_table(plane):
    """T(y, x) = ((P(y, x) + top) + left) - corner, row by row, left to right.

    P + top is independent across a row and is formed for the whole row at
    once; the rest is a chain through `left` and is walked element by element
    with Python floats (IEEE doubles)."""
    p = np.asarray(plane, np.float64)
    h, w = p.shape
    table = np.zeros((h, w))
    above = np.zeros(w)
    for y in range(h):
        with np.errstate(all="ignore"):
            partial = (p[y] + above).tolist()
        corner = [0.0] + above[:-1].tolist()
        row = []
        left = 0.0
        for x in range(w):
            left = (partial[x] + left) - corner[x]
            row.append(left)
        table[y] = row
        above = table[y]
    return table


def window_sums(table, r):
    """((br - top) - left) + corner over the clipped windows, and their counts."""
    h, w = table.shape
    y = np.arange(h)[:, None]
    x = np.arange(w)[None, :]
    y0, y1 = np.maximum(y - r, 0), np.minimum(y + r, h - 1)
    x0, x1 = np.maximum(x - r, 0), np.minimum(x + r, w - 1)
    has_top, has_left = y > r, x > r
    above, before = np.maximum(y0 - 1, 0), np.maximum(x0 - 1, 0)
    br = table[y1, x1]
    top = np.where(has_top, table[above, x1], 0.0)
    left = np.where(has_left, table[y1, before], 0.0)
    corner = np.where(has_top & has_left, table[above, before], 0.0)
    with np.errstate(all="ignore"):
        sums = ((br - top) - left) + corner
    counts = ((y1 - y0 + 1) * (x1 - x0 + 1)).astype(np.float64)
    return sums, counts


def guided_filter_reference(plane, r, eps):
    i = np.asarray(plane, f32)
    with np.errstate(all="ignore"):
        squares = i * i
        s_i, n = window_sums(summed_area_table(i), r)
        s_i2, _ = window_sums(summed_area_table(squares), r)
        mean_i = s_i / n
        mean_i2 = s_i2 / n
        var = mean_i2 - mean_i * mean_i
        d = np.float64(f32(eps)) + var
        a = np.where(d > 0.0, var / d, 0.0)
        b = (1.0 - a) * mean_i
        s_a, n = window_sums(summed_area_table(a.astype(f32)), r)
        s_b, _ = window_sums(summed_area_table(b.astype(f32)), r)
        mean_a = s_a / n
        mean_b = s_b / n
        return (mean_b + i.astype(np.float64) * mean_a).astype(f32)


def local_contrast_reference(image, r, eps, strength, q=None):
    luminance = np.asarray(image, f32)[:, :, 0]
    if q is None:
        q = guided_filter_reference(luminance, r, eps)
    with np.errstate(all="ignore"):
        out = ((luminance - q) * f32(strength)) + luminance
    return out[:, :, None]
