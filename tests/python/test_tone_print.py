# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments on purpose; their small
# helpers stay unannotated, their bodies are still checked.)
"""ostrel._darkroom.tone_print: bit for bit against a NumPy formulation of its
documented operations, the luminance it keeps, strength 0, white, the NaN
rule, one set of bits for any thread count and instruction set, and its errors;
tone_print_encode: the bits of ostrel_core.encode_srgb of that result."""

import inspect

import numpy as np
import pytest

import ostrel_core as oc
from ostrel._darkroom import tone_print, tone_print_encode
from ostrel.recipe import Toning
from ostrel.toning import LOOKS, toner_arguments
from test_dispatch import awkward_values, supported_sets

f32 = np.float32
BT709 = np.array([0.2126, 0.7152, 0.0722])

TONERS = {
    name: toner_arguments(Toning(toner=name, strength=strength, balance=balance))
    for name, strength, balance in [
        *((toner, 1.0, 0.0) for toner in LOOKS),
        ("split", 0.7, 0.3),
        ("sepia", 0.35, -0.6),
    ]
}
# Colours whose tints go far past 1 and reach 0 in a channel, and a blend far from 1.
TONERS["extreme"] = {
    "shadow_red": 3.0,
    "shadow_green": 0.5,
    "shadow_blue": 0.0,
    "highlight_red": 0.0,
    "highlight_green": 0.2,
    "highlight_blue": 11.8,
    "blend": 40.0,
    "strength": 1.0,
}


def bits(a):
    return np.ascontiguousarray(a, f32).view(np.uint32)


def reference(
    p, *, shadow_red, shadow_green, shadow_blue, highlight_red, highlight_green, highlight_blue, blend, strength
):
    """The header's steps in float32, one NumPy operation each."""
    p = p.reshape(-1).astype(f32)
    s = np.array([shadow_red, shadow_green, shadow_blue], f32)
    d = np.array([highlight_red, highlight_green, highlight_blue], f32) - s
    k, strength = f32(blend), f32(strength)
    with np.errstate(all="ignore"):
        q = np.where(p < 0, f32(0), p)
        q = np.where(q > 1, f32(1), q)
        h = q / (q + k * (f32(1) - q))
        t = s[None, :] + d[None, :] * h[:, None]
        m = np.maximum(np.maximum(t[:, 0], t[:, 1]), t[:, 2])
        r = (f32(1) - q) / (q * (m - f32(1)))
        limited = (m > 1) & (q > 0) & (r < strength)
        a = np.where(limited, r, strength)
        out = p[:, None] * (f32(1) + a[:, None] * (t - f32(1)))
    nan = np.where(np.isnan(p), (p.view(np.uint32) | np.uint32(0x00400000)).view(f32), f32(np.nan))
    made = np.uint32(0xFFC00000).view(f32)
    nan = np.where(np.isnan(p), nan, made)
    return np.where(np.isnan(out), nan[:, None], out).astype(f32)


def ramp(n=4099):
    return np.linspace(-0.1, 1.2, n, dtype=f32).reshape(1, n, 1)


@pytest.mark.parametrize("name", TONERS)
def test_bits_match_the_numpy_formulation(name):
    for plane in (ramp(), awkward_values((37, 53, 1))):
        got = tone_print(plane, **TONERS[name])
        assert got.shape == (*plane.shape[:2], 3)
        expected = reference(plane, **TONERS[name]).reshape(got.shape)
        assert np.array_equal(bits(got), bits(expected))
        # The fused encoding, across its tiles of 170 pixels (4099 is not a multiple).
        assert np.array_equal(bits(tone_print_encode(plane, **TONERS[name])), bits(oc.encode_srgb(expected)))


# Toning colours the print without relighting it: the BT.709 luminance of the
# linear RGB, in double precision, is the grey tone within this bound over
# [0, 1] (a few rounding steps of float32 tints and products).
LUMINANCE_BOUND = 2.0**-20


@pytest.mark.parametrize("name", TONERS)
def test_luminance_is_the_grey_print(name):
    grey = np.linspace(0, 1, 20001, dtype=f32).reshape(1, -1, 1)
    rgb = tone_print(grey, **TONERS[name]).astype(np.float64)
    if name != "extreme":  # the toner's tints have luminance 1; the extreme colours do not
        assert np.abs(rgb @ BT709 - grey[0, :, 0]).max() <= LUMINANCE_BOUND
    assert rgb.min() >= 0 and rgb.max() <= 1 + 2.0**-23  # in gamut: no channel pushed past white
    assert np.array_equal(rgb[0, -1], [1.0, 1.0, 1.0])  # paper white stays white
    assert np.array_equal(rgb[0, 0], [0.0, 0.0, 0.0])


@pytest.mark.parametrize("name", TONERS)
def test_strength_zero_is_grey_exactly_and_tint_follows_tone_alone(name):
    plane = awkward_values((29, 31, 1))
    plain = tone_print(plane, **{**TONERS[name], "strength": 0.0})
    for c in range(3):
        assert np.array_equal(bits(plain[:, :, c]), bits(plane[:, :, 0]))
    # The same grey anywhere in the image gets the same colour: no spatial effect.
    tones = np.linspace(0, 1, 7, dtype=f32)
    scattered = np.random.default_rng(3).choice(tones, (40, 50)).astype(f32)[:, :, None]
    toned = tone_print(scattered, **TONERS[name])
    single = tone_print(tones.reshape(1, -1, 1), **TONERS[name])[0]
    for i, tone in enumerate(tones):
        assert np.array_equal(
            bits(toned[scattered[:, :, 0] == tone]),
            bits(np.broadcast_to(single[i], (int(np.count_nonzero(scattered == tone)), 3))),
        )


def test_toners_have_the_hue_they_are_named_for():
    mid = np.full((1, 1, 1), 0.18, f32)
    deep = np.full((1, 1, 1), 0.01, f32)
    r, g, b = (tone_print(mid, **TONERS["sepia"])[0, 0]).tolist()
    assert r > g > b  # warm
    r, g, b = (tone_print(mid, **TONERS["cyanotype"])[0, 0]).tolist()
    assert b > g > r  # blue
    r, g, b = (tone_print(deep, **TONERS["gold"])[0, 0]).tolist()
    assert b > r and b > g  # blue-black
    light = tone_print(np.full((1, 1, 1), 0.7, f32), **TONERS["selenium"])[0, 0]
    dark = tone_print(deep, **TONERS["selenium"])[0, 0]
    assert np.ptp(light) < 0.2 * np.ptp(dark / deep[0, 0, 0] * 0.7)  # selenium leaves the highlights nearly neutral


@pytest.mark.parametrize(
    "value, expected",
    [
        (np.float32(np.nan), 0x7FC00000),
        (np.uint32(0x7F800123).view(f32), 0x7FC00123),  # signalling: made quiet, payload kept
        (np.uint32(0xFFC00777).view(f32), 0xFFC00777),
    ],
)
def test_nan_rule(value, expected):
    got = tone_print(np.full((1, 1, 1), value, f32), **TONERS["sepia"])
    assert bits(got).tolist() == [[[expected] * 3]]


def test_infinities():
    inf = np.array([np.inf, -np.inf], f32).reshape(1, 2, 1)
    got = tone_print(inf, **TONERS["extreme"])  # -inf times a weight of 0 in blue is a made NaN
    assert bits(got[0, 0]).tolist() == [0x7F800000] * 3
    assert bits(got[0, 1]).tolist() == [0xFF800000, 0xFF800000, 0xFFC00000]


CHILD = """
import numpy as np
from ostrel._darkroom import tone_print, tone_print_encode
plane = np.load({path!r})
np.save({out!r}, np.stack([tone_print(plane, **{toner!r}), tone_print_encode(plane, **{toner!r})]))
"""


@pytest.mark.parametrize("threads, isa", [("1", None), ("3", None), *(("2", s) for s in supported_sets())])
def test_same_bits_for_any_thread_count_and_instruction_set(run_python, tmp_path, threads, isa):
    plane = awkward_values((211, 97, 1))
    np.save(tmp_path / "in.npy", plane)
    out = tmp_path / "out.npy"
    toner = TONERS["split"]
    run_python(
        CHILD.format(path=str(tmp_path / "in.npy"), out=str(out), toner=toner),
        env={"RAYON_NUM_THREADS": threads, "OSTREL_ISA": isa},
    )
    expected = np.stack([tone_print(plane, **toner), tone_print_encode(plane, **toner)])
    assert np.array_equal(bits(np.load(out)), bits(expected))


def test_surface_and_errors():
    assert str(inspect.signature(tone_print)) == (
        "(img, shadow_red=1.0, shadow_green=1.0, shadow_blue=1.0, highlight_red=1.0, highlight_green=1.0, "
        "highlight_blue=1.0, blend=1.0, strength=0.0)"
    )
    assert inspect.signature(tone_print_encode) == inspect.signature(tone_print)
    img = np.full((2, 3, 1), 0.5, f32)
    with pytest.raises(ValueError, match=r"^tone_print_encode: blend must be positive, got 0$"):
        tone_print_encode(img, blend=0.0)
    with pytest.raises(ValueError, match=r"^shape error: tone_print_encode expects an \(H, W, 1\) print plane"):
        tone_print_encode(np.zeros((2, 3, 3), f32))
    for kwargs, message in [
        ({"shadow_green": -0.1}, "tone_print: shadow green must be finite and not negative, got -0.1"),
        ({"highlight_blue": float("inf")}, "tone_print: highlight blue must be finite and not negative, got inf"),
        ({"blend": 0.0}, "tone_print: blend must be positive, got 0"),
        ({"strength": 1.5}, "tone_print: strength must be 0..1, got 1.5"),
        ({"strength": float("nan")}, "tone_print: strength must be 0..1, got NaN"),
    ]:
        with pytest.raises(ValueError) as raised:
            tone_print(img, **kwargs)
        assert str(raised.value) == message
    with pytest.raises(ValueError, match=r"^shape error: tone_print expects an \(H, W, 1\) print plane"):
        tone_print(np.zeros((2, 3, 3), f32))
    with pytest.raises(BaseException) as raised:
        tone_print(img[:, ::2])
    assert type(raised.value).__name__ == "PanicException"
    assert str(raised.value) == "tone_print: img must be C-contiguous"
