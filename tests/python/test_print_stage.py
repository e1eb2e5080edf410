# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments on purpose; their small
# helpers stay unannotated, their bodies are still checked.)
"""ostrel._darkroom.print_stage: bit for bit against a NumPy formulation of
its documented operations, the curve's properties, the NaN rule, one set of
bits for any thread count and instruction set, and its argument errors."""

import inspect

import numpy as np
import pytest

from ostrel import _darkroom
from ostrel._darkroom import print_stage
from test_dispatch import supported_sets

f32 = np.float32
EPS = 2.0**-24  # half the spacing of float32 just below 1

_NAMES = ("black", "toe_end", "toe_gain", "shoulder_start", "shoulder_gain", "white", "room")
CURVES = {
    name: dict(zip(_NAMES, values, strict=True))
    for name, values in {
        "ordinary": (0.02, 0.1, 2.5, 0.7, 3.0, 0.98, 1.0),
        "gentle": (0.0, 0.2, 1.3, 0.6, 1.2, 1.0, 0.5),
        "steep": (0.0, 0.25, 7.0, 0.75, 9.0, 1.1, 1.0),
        "soft": (0.05, 0.3, 0.2, 0.5, 0.3, 1.4, 0.25),
        "empty toe": (0.05, 0.05, 1.0, 0.6, 0.5, 1.2, 1.0),
    }.items()
}
CURVES["defaults"] = {}


def bits(a):
    return np.ascontiguousarray(a, f32).view(np.uint32)


def plane(values):
    return np.ascontiguousarray(values, f32).reshape(1, -1, 1)


# --- the NumPy formulation, branch by branch -----------------------------------


def curve_constants(
    *, black=0.0, toe_end=0.0, toe_gain=1.0, shoulder_start=1.0, shoulder_gain=1.0, white=1.0, room=1.0
):
    return tuple(f32(v) for v in (black, toe_end, toe_gain, shoulder_start, shoulder_gain, white, room))


def limited_reference(b, e, black, white, room=1.0):
    """y = b + d, d = e - b limited towards white and black, float32 per operation."""
    room = f32(room)
    with np.errstate(all="ignore"):
        d = e - b
        h = (white - b) * room
        up = np.where(h > 0, (d * h) / (h + d), f32(0))
        up = np.where(np.isposinf(d) & (h > 0), h, up)
        f = (b - black) * room
        down = np.where(f > 0, (d * f) / (f - d), f32(0))
        down = np.where(np.isneginf(d) & (f > 0), -f, down)
        return b + np.where(d > 0, up, np.where(d < 0, down, d))


def print_reference(img, detailed=None, **curve):
    black, toe_end, toe_gain, start, shoulder_gain, white, limit = curve_constants(**curve)
    one = f32(1)
    b = np.asarray(img, f32)
    with np.errstate(all="ignore"):
        toe_len, toe_gm1 = toe_end - black, toe_gain - one
        shoulder_len, shoulder_gm1, room = white - start, shoulder_gain - one, one - start
        y = b if detailed is None else limited_reference(b, np.asarray(detailed, f32), black, white, limit)
        v = (y - black) / toe_len
        u = one - v
        toe = toe_end * (v / (u * toe_gm1 + one))
        w = (y - start) / shoulder_len
        shoulder = np.minimum(start + room * ((w * shoulder_gain) / (w * shoulder_gm1 + one)), one)
        p = np.where(
            y <= black, f32(0), np.where(y < toe_end, toe, np.where(y <= start, y, np.where(y < white, shoulder, one)))
        )
        p = np.asarray(p, f32)
        # The NaN rule: the base value's NaN, else the detailed value's, quieted; else the made NaN.
        out = bits(p).copy()
        made = np.isnan(y) | np.isnan(p)
        nan = np.full(b.shape, 0xFFC00000, np.uint32)
        if detailed is not None:
            e = bits(detailed)
            nan = np.where(np.isnan(np.asarray(detailed, f32)), e | 0x00400000, nan)
        nan = np.where(np.isnan(b), bits(b) | 0x00400000, nan)
        out[made] = nan[made]
    return out.view(f32)


def awkward_planes(shape, seed):
    rng = np.random.default_rng(seed)
    base = rng.uniform(-0.3, 1.6, shape).astype(f32)
    detailed = (base + rng.normal(0.0, 0.25, shape)).astype(f32)
    specials = np.array(
        [0x7FC00000, 0xFFC0ABCD, 0x7F800001, 0xFF9ABCDE, 0x7F800000, 0xFF800000, 0, 0x80000000, 1, 0x7F7FFFFF],
        np.uint32,
    ).view(f32)
    for a, every in ((base, 53), (detailed, 41)):
        flat = a.reshape(-1)
        flat[::every] = np.resize(specials, flat[::every].size)
        flat[7::97] = rng.integers(0, 2**32, flat[7::97].size, dtype=np.uint64).astype(np.uint32).view(f32)
    return base, detailed


@pytest.mark.parametrize("name", CURVES)
@pytest.mark.parametrize("with_detail", [False, True])
def test_bits_match_the_numpy_formulation(name, with_detail):
    base, detailed = awkward_planes((67, 45, 1), seed=len(name))
    detailed = detailed if with_detail else None
    got = print_stage(base, detailed, **CURVES[name])
    assert got.shape == base.shape and got.dtype == f32 and got.flags.c_contiguous
    expected = print_reference(base, detailed, **CURVES[name])
    differ = bits(got) != bits(expected)
    assert not differ.any(), f"{np.count_nonzero(differ)} differ, first at {np.argwhere(differ)[0]}"


def test_omitted_and_none_detailed_are_the_base_plane_alone():
    base, _ = awkward_planes((9, 11, 1), seed=3)
    curve = CURVES["ordinary"]
    alone = bits(print_stage(base, **curve))
    assert np.array_equal(bits(print_stage(base, None, **curve)), alone)
    # Detail equal to the base adds nothing (d = 0), except that b + 0 quiets signalling NaNs like the rule.
    assert np.array_equal(bits(print_stage(base, base.copy(), **curve)), alone)


# --- the curve's properties ----------------------------------------------------


def dense_ramp(low, high, step):
    """Every `step`-th float32 in [low, high] (both non-negative)."""
    first, last = (int(np.array(v, f32).view(np.uint32)) for v in (low, high))
    return np.arange(first, last + 1, step, dtype=np.uint32).view(f32)


@pytest.mark.parametrize("name", [n for n in CURVES if n != "defaults"])
def test_monotone_on_a_dense_ramp(name):
    """Exactly non-decreasing outside the toe; in the toe, q = v / (u (k - 1) + 1)
    rounds its numerator and denominator apart, so it may step down by a few
    2**-24 steps of toe_end where both grow."""
    curve = CURVES[name]
    y = dense_ramp(2**-10, 1.6, step=17)  # 5 million values, each segment of every curve
    p = print_stage(plane(y), **curve).ravel()
    step = np.diff(p.astype(np.float64))
    in_toe = y[1:] < f32(curve["toe_end"])
    assert (step[~in_toe] >= 0).all()
    assert (step[in_toe] >= -4 * curve["toe_end"] * EPS).all()


@pytest.mark.parametrize("name", CURVES)
def test_identity_bits_paper_black_and_white(name):
    curve = CURVES[name]
    black, toe_end, _, start, _, white, _ = curve_constants(**curve)
    # toe_end itself is paper black when the toe is empty (black = toe_end).
    first = np.nextafter(toe_end, f32(2)) if black == toe_end else toe_end
    middle = dense_ramp(first, min(start, f32(1.5)), step=97)
    assert np.array_equal(bits(print_stage(plane(middle), **curve)).ravel(), bits(middle))
    ends = plane([black, np.nextafter(black, f32(-1)), -np.inf, white, np.nextafter(white, f32(2)), np.inf])
    assert bits(print_stage(ends, **curve)).ravel().tolist() == [0, 0, 0, 0x3F800000, 0x3F800000, 0x3F800000]


@pytest.mark.parametrize("name", [n for n in CURVES if n not in ("defaults", "empty toe")])
def test_continuous_at_the_joins(name):
    curve = CURVES[name]
    black, toe_end, toe_gain, start, shoulder_gain, white, _ = (float(v) for v in curve_constants(**curve))
    # The steepest slope either side of each join, from the derivatives of g = u k / (u (k - 1) + 1).
    slopes = {
        black: toe_end / (toe_gain * (toe_end - black)),
        toe_end: max(1.0, toe_end * toe_gain / (toe_end - black)),
        start: max(1.0, (1 - start) * shoulder_gain / (white - start)),
        white: (1 - start) / (shoulder_gain * (white - start)),
    }
    for join, slope in slopes.items():
        x = f32(join)
        below, above = np.nextafter(x, f32(-1)), np.nextafter(x, f32(2))
        p = print_stage(plane([below, x, above]), **curve).ravel().astype(np.float64)
        for left, right, width in ((p[0], p[1], x - below), (p[1], p[2], above - x)):
            assert abs(right - left) <= slope * float(width) + 4 * EPS * max(toe_end, p.max())


@pytest.mark.parametrize("name", CURVES)
def test_finite_inputs_print_within_paper(name):
    """[0, 1] for finite inputs of ordinary magnitude (products of values past
    about 1e19 overflow in the limiter: inf / inf is the made NaN there), up to
    nothing below 0: the toe's 1 - g is computed as v / (u (k - 1) + 1)."""
    rng = np.random.default_rng(11)
    base = np.concatenate([rng.uniform(-2, 3, 4000), rng.normal(0, 1e6, 1000), rng.uniform(-1e18, 1e18, 100)])
    base = base.astype(f32).reshape(1, -1, 1)
    detailed = (base + rng.normal(0, 1, base.shape) * rng.choice([1e-3, 1.0, 1e3, 1e17], base.shape)).astype(f32)
    for out in (print_stage(base, **CURVES[name]), print_stage(base, detailed, **CURVES[name])):
        assert np.isfinite(out).all() and (out >= 0).all() and (out <= 1).all()


@pytest.mark.parametrize("name", [n for n in CURVES if n != "defaults"])
def test_detail_limiter_stops_short_of_white_and_black(name):
    """For finite detail the limited y stays strictly inside (black, white)
    when b does, as long as the room left is not below the rounding of b + d:
    b keeps at least 2**-10 from the ends here (one ulp from white and detail
    0.5 does round to white). The kernel's bits are those of the formulation
    (first test); infinite detail gives the limit itself, white or black, up
    to the roundings of white - b (or b - black) and of b + d."""
    black, _, _, _, _, white, room = curve_constants(**CURVES[name])
    rng = np.random.default_rng(5)
    base = rng.uniform(float(black) + 2**-10, float(white) - 2**-10, 20000).astype(f32)
    detailed = (base + rng.uniform(-2, 2, base.size) * rng.choice([1e-4, 0.1, 1, 2], base.size)).astype(f32)
    y = limited_reference(base, detailed, black, white, room)
    assert (y < white).all() and (y > black).all()
    # Detail closes at most `room` of the way: infinite detail gives that limit itself, up to
    # the roundings of white - b (or b - black), of the product with room and of b + d.
    y_white = limited_reference(base, np.full_like(base, np.inf), black, white, room)
    y_black = limited_reference(base, np.full_like(base, -np.inf), black, white, room)
    ulp = 2 * np.spacing(np.maximum(base, white))
    exact = base.astype(np.float64)
    assert (np.abs(y_white - (exact + (float(white) - exact) * float(room))) <= ulp).all()
    assert (np.abs(y_black - (exact - (exact - float(black)) * float(room))) <= ulp).all()


# --- NaN rule ------------------------------------------------------------------

QUIET, QUIET_NEG, SIGNALLING = 0x7FC00123, 0xFFC0ABCD, 0xFF800005
INF, NEG_INF, HALF = 0x7F800000, 0xFF800000, 0x3F000000


@pytest.mark.parametrize(
    "base, detailed, expected",
    [
        (SIGNALLING, None, 0xFFC00005),  # quieted, payload and sign kept
        (QUIET, None, QUIET),
        (SIGNALLING, QUIET, 0xFFC00005),  # the base value's NaN first
        (QUIET_NEG, SIGNALLING, QUIET_NEG),
        (HALF, SIGNALLING, 0xFFC00005),  # then the detailed value's
        (HALF, QUIET, QUIET),
        (INF, INF, 0xFFC00000),  # made: inf - inf
        (INF, HALF, 0xFFC00000),  # made: b + d = inf - inf
        (NEG_INF, HALF, 0xFFC00000),
        (INF, None, 0x3F800000),
        (NEG_INF, None, 0),
    ],
)
def test_nan_rule(base, detailed, expected):
    b = plane(np.array([base], np.uint32).view(f32))
    e = None if detailed is None else plane(np.array([detailed], np.uint32).view(f32))
    assert bits(print_stage(b, e, **CURVES["ordinary"]))[0, 0, 0] == expected


# --- one set of bits for any thread count and instruction set ------------------

CHILD = """
import numpy as np
from ostrel._darkroom import print_stage
with np.load({path!r}) as saved:
    base, detailed = saved["base"], saved["detailed"]
np.savez({out!r}, plain=print_stage(base, **{curve!r}), detailed=print_stage(base, detailed, **{curve!r}))
"""


@pytest.mark.parametrize("threads, isa", [("1", None), ("2", None), ("3", None), *(("2", s) for s in supported_sets())])
def test_same_bits_for_any_thread_count_and_instruction_set(run_python, tmp_path, threads, isa):
    base, detailed = awkward_planes((211, 97, 1), seed=8)  # long enough for the pool to cut it
    np.savez(tmp_path / "in.npz", base=base, detailed=detailed)
    curve = CURVES["ordinary"]
    out = tmp_path / "out.npz"
    code = CHILD.format(path=str(tmp_path / "in.npz"), out=str(out), curve=curve)
    run_python(code, env={"RAYON_NUM_THREADS": threads, "OSTREL_ISA": isa})
    with np.load(out) as saved:
        assert np.array_equal(bits(saved["plain"]), bits(print_stage(base, **curve)))
        assert np.array_equal(bits(saved["detailed"]), bits(print_stage(base, detailed, **curve)))


# --- the module and its errors -------------------------------------------------


def test_module_surface():
    assert _darkroom.__all__ == [
        "print_stage",
        "print_encode",
        "tone_print",
        "tone_print_encode",
        "vignette",
        "grain",
        "grain_encode",
        "bands",
        "band_offsets",
        "quantize",
    ]
    assert inspect.signature(_darkroom.print_encode) == inspect.signature(print_stage)
    assert _darkroom.__name__ == "ostrel._darkroom" and print_stage.__module__ == "ostrel._darkroom"
    assert str(inspect.signature(print_stage)) == (
        "(img, detailed=None, black=0.0, toe_end=0.0, toe_gain=1.0, shoulder_start=1.0, shoulder_gain=1.0, white=1.0, "
        "room=1.0)"
    )
    assert print_stage.__doc__.startswith("Map scene luminance to print tone: detail limiting, toe, shoulder.\n")


IMG = np.full((2, 3, 1), 0.5, f32)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"black": float("nan")}, "print_stage: black must be finite, got NaN"),
        ({"white": float("inf")}, "print_stage: white must be finite, got inf"),
        ({"toe_end": 1e39}, "print_stage: toe_end must be finite, got inf"),  # rounded to float32 first
        ({"black": 0.2, "toe_end": 0.1}, "print_stage: black must not exceed toe_end, got black=0.2, toe_end=0.1"),
        (
            {"toe_end": 0.6, "shoulder_start": 0.5},
            "print_stage: toe_end must not exceed shoulder_start, got toe_end=0.6, shoulder_start=0.5",
        ),
        (
            {"shoulder_start": 0.9, "white": 0.9},
            "print_stage: shoulder_start must be below white, got shoulder_start=0.9, white=0.9",
        ),
        ({"white": 1.5}, "print_stage: shoulder_start must be below 1, got 1"),
        ({"toe_gain": 0.0}, "print_stage: toe_gain must be positive, got 0"),
        ({"shoulder_start": 0.5, "shoulder_gain": -1}, "print_stage: shoulder_gain must be positive, got -1"),
        ({"room": 0.0}, "print_stage: room must be above 0 and at most 1, got 0"),
        ({"room": 1.5}, "print_stage: room must be above 0 and at most 1, got 1.5"),
        (
            {"detailed": np.zeros((3, 2, 1), f32)},
            "shape error: print_stage expects detailed of img's shape [2, 3, 1], got shape [3, 2, 1]",
        ),
    ],
)
def test_value_errors(kwargs, message):
    with pytest.raises(ValueError) as raised:
        print_stage(IMG, **kwargs)
    assert str(raised.value) == message


def test_shape_type_and_layout_errors():
    with pytest.raises(
        ValueError, match=r"^shape error: print_stage expects \(H, W, 1\) luminance input, got shape \[2, 3, 3\]$"
    ):
        print_stage(np.zeros((2, 3, 3), f32))
    with pytest.raises(TypeError, match="^argument 'detailed': 'list' object is not an instance of 'ndarray'$"):
        print_stage(IMG, [0.5])
    with pytest.raises(TypeError, match="^argument 'detailed': 'ndarray' object is not an instance of 'ndarray'$"):
        print_stage(IMG, IMG.astype(np.float64))
    with pytest.raises(TypeError, match="^argument 'black': must be real number, not str$"):
        print_stage(IMG, black="0")
    with pytest.raises(TypeError, match=r"^print_stage\(\) got an unexpected keyword argument 'gamma'$"):
        print_stage(IMG, gamma=1.0)
    with pytest.raises(TypeError, match=r"^print_stage\(\) takes from 1 to 9 positional arguments but 10 were given$"):
        print_stage(IMG, None, 0, 0, 1, 1, 1, 1, 1, 1)
    for strided in ((IMG[:, ::2], None), (IMG, IMG[:, ::-1])):
        with pytest.raises(BaseException) as raised:
            print_stage(*strided)
        assert type(raised.value).__name__ == "PanicException"
        which = "img" if strided[1] is None else "detailed"
        assert str(raised.value) == f"print_stage: {which} must be C-contiguous"
    # Integers and objects with __float__ convert like Python floats; the inputs are never written.
    before = IMG.copy()
    assert print_stage(IMG, IMG, black=0, toe_end=np.float64(0.1), white=True).shape == IMG.shape
    assert np.array_equal(IMG, before)


@pytest.mark.parametrize("name", CURVES)
@pytest.mark.parametrize("with_detail", [False, True])
def test_print_encode_is_the_encoding_of_the_print_stage(name, with_detail):
    import ostrel_core

    base, detailed = awkward_planes((61, 47, 1), seed=100 + len(name))
    detailed = detailed if with_detail else None
    fused = _darkroom.print_encode(base, detailed, **CURVES[name])
    apart = ostrel_core.encode_srgb(print_stage(base, detailed, **CURVES[name]))
    assert np.array_equal(bits(fused), bits(apart))
