# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, type-var"
"""ostrel._darkroom.quantize and ostrel.rendering.quantize: the nearest code of
the exact product, ties to even, against NumPy's double-precision rint; any
layout; the NaN and infinity rules; one set of bits for any thread count and
instruction set; the checks on `out`."""

import numpy as np
import pytest

from ostrel._darkroom import quantize as quantize_into
from ostrel.rendering import quantize
from test_dispatch import awkward_values, supported_sets

f32 = np.float32


def reference(values, bits):
    """Clip in double (NaN to 0), times the top code, NumPy's rint (ties to even)."""
    top = 255.0 if bits == 8 else 65535.0
    with np.errstate(invalid="ignore"):  # signalling NaNs among the values
        wide = np.nan_to_num(values.astype(np.float64), nan=0.0, posinf=1.0, neginf=0.0)
    return np.rint(np.clip(wide, 0.0, 1.0) * top).astype(np.uint8 if bits == 8 else np.uint16)


def edges(bits):
    """Every half-code tie and its float32 neighbours, both ends, and the special values."""
    top = 255 if bits == 8 else 65535
    ties = ((np.arange(top) + 0.5) / top).astype(f32)
    near = np.concatenate([ties, np.nextafter(ties, f32(0)), np.nextafter(ties, f32(2))])
    special = np.array(
        [0.0, -0.0, 1.0, np.nextafter(f32(1), f32(0)), 1.0000001, -1e-30, 1e-45, np.inf, -np.inf, np.nan, -np.nan],
        f32,
    )
    signalling = np.array([0x7F800001, 0xFFC00777], np.uint32).view(f32)
    return np.concatenate([near, special, signalling]).reshape(1, -1, 1)


@pytest.mark.parametrize("bits", [8, 16])
def test_codes_are_numpys_rint_of_the_exact_product(bits):
    for values in (edges(bits), awkward_values((41, 59, 3)), np.linspace(-0.2, 1.2, 300001, dtype=f32)[None, :, None]):
        assert np.array_equal(quantize(values, bits).reshape(-1), reference(values, bits).reshape(-1))


def test_ties_go_to_even():
    # 0.5 / 255 is a tie only in exact arithmetic: float32 0.5/255 lies just above or below it.
    ties = (np.array([0.5, 1.5, 2.5], np.float64) / 255).astype(f32)
    exact = ties.astype(np.float64) * 255
    assert quantize(ties[None, :, None], 8).tolist() == [np.rint(exact).astype(int).tolist()]
    # Exact ties of the 16-bit scale: k / 2 / 65535 is rarely a float32, but 0.5 * 65535 / 65535 = 0.5 is.
    assert quantize(np.array([[[0.5]]], f32), 16).tolist() == [[32768]]  # 32767.5 -> even


@pytest.mark.parametrize("bits", [8, 16])
def test_any_layout(bits):
    rgb = awkward_values((37, 53, 3))
    dtype = np.uint8 if bits == 8 else np.uint16
    for view in (rgb[::2, 1::3], rgb[::-1, ::-1, ::-1], np.transpose(rgb, (1, 0, 2)), rgb[:, :, 1:2]):
        out = np.empty(view.shape, dtype)
        assert quantize_into(view, out) is out
        assert np.array_equal(out, reference(view, bits))


def test_shapes_follow_the_print():
    grey = np.full((3, 4, 1), 0.5, f32)
    assert quantize(grey, 8).shape == (3, 4)
    assert quantize(grey[:, :, 0], 16).shape == (3, 4)
    assert quantize(np.zeros((3, 4, 3), f32), 16).shape == (3, 4, 3)
    assert quantize(np.zeros((0, 4, 3), f32), 8).shape == (0, 4, 3)
    assert quantize(grey, 8).flags.writeable


CHILD = """
import numpy as np
from ostrel.rendering import quantize
values = np.load({path!r})
np.save({out!r}, quantize(values, 16))
"""


@pytest.mark.parametrize("threads, isa", [("1", None), ("3", None), *(("2", s) for s in supported_sets())])
def test_same_bits_for_any_thread_count_and_instruction_set(run_python, tmp_path, threads, isa):
    values = awkward_values((301, 211, 3))
    np.save(tmp_path / "in.npy", values)
    out = tmp_path / "out.npy"
    child = CHILD.format(path=str(tmp_path / "in.npy"), out=str(out))
    run_python(child, env={"RAYON_NUM_THREADS": threads, "OSTREL_ISA": isa})
    assert np.array_equal(np.load(out), reference(values, 16))


@pytest.mark.parametrize(
    "out, error, message",
    [
        (np.empty((2, 3, 1), np.int16), TypeError, "quantize: out must be an array of uint8 or uint16"),
        (np.empty((2, 3, 1), np.float32), TypeError, "quantize: out must be an array of uint8 or uint16"),
        (np.empty((2, 4, 1), np.uint8), ValueError, "quantize: out holds 8 codes, img has 6 samples"),
        (np.empty((2, 6, 1), np.uint16)[:, ::2], (BufferError, ValueError, TypeError), None),  # not contiguous
    ],
)
def test_out_is_checked(out, error, message):
    img = np.full((2, 3, 1), 0.5, f32)
    with pytest.raises(error) as raised:
        quantize_into(img, out)
    if message is not None:
        assert str(raised.value) == message


def test_read_only_out_is_refused():
    out = np.empty((2, 3, 1), np.uint8)
    out.flags.writeable = False
    with pytest.raises((BufferError, ValueError, TypeError)):
        quantize_into(np.zeros((2, 3, 1), f32), out)
    assert not out.flags.writeable
