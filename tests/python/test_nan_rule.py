"""The NaN rule through the module: where two NaNs meet, the first operand's
NaN, made quiet; a NaN an operation makes (0 * inf, inf - inf) is the negative
quiet NaN 0xFFC00000. The reference below applies the rule with NumPy on bit
patterns, independently of the kernels, so every payload must match exactly,
in every memory layout."""

import numpy as np
import numpy.typing as npt
import pytest

import ostrel_core as oc

F32 = npt.NDArray[np.float32]
QUIET_BIT = np.uint32(0x00400000)
MADE_NAN = np.uint32(0xFFC00000)


def from_bits(*patterns: int) -> F32:
    return np.array(patterns, np.uint32).view(np.float32)


def ruled(op: str, a: F32, b: F32 | np.float32) -> F32:
    """a op b by the rule, elementwise (b may be a scalar)."""
    a, b = np.broadcast_arrays(np.asarray(a, np.float32), np.asarray(b, np.float32))
    with np.errstate(all="ignore"):
        plain = {"add": np.add, "sub": np.subtract, "mul": np.multiply}[op](a, b)
    out = plain.view(np.uint32).copy()
    a_nan, b_nan = np.isnan(a), np.isnan(b)
    out[np.isnan(plain) & ~a_nan & ~b_nan] = MADE_NAN
    out[b_nan & ~a_nan] = b.view(np.uint32)[b_nan & ~a_nan] | QUIET_BIT
    out[a_nan] = a.view(np.uint32)[a_nan] | QUIET_BIT
    return out.view(np.float32)


# NaNs of both kinds and signs with distinct payloads, infinities and zeros,
# dense enough that NaNs meet in most pixels.
AWKWARD = from_bits(
    0x7FC00123, 0xFFC0ABCD, 0x7F800005, 0xFF812345, 0x7FFFFFFF, 0x7F800000, 0xFF800000, 0x00000000, 0x80000000
)


def awkward_image(shape: tuple[int, ...], seed: int) -> F32:
    rng = np.random.default_rng(seed)
    image = rng.uniform(-0.25, 1.5, shape).astype(np.float32)
    mask = rng.random(shape) < 0.4
    image[mask] = rng.choice(AWKWARD, int(mask.sum()))
    return image


@pytest.mark.parametrize(
    "weights",
    [(0.2126, 0.7152, 0.0722), (float("nan"), 0.5, float("-inf")), (0.0, float("inf"), -1.0)],
    ids=["bt709-like", "nan-weight", "zero-and-inf-weights"],
)
@pytest.mark.parametrize("layout", ["C", "F", "channels-first", "reversed"])
def test_channel_mixer_follows_the_rule(weights: tuple[float, float, float], layout: str) -> None:
    image = awkward_image((31, 23, 3), seed=7)
    wr, wg, wb = (np.float32(w) for w in weights)
    r, g, b = image[..., 0], image[..., 1], image[..., 2]
    expected = ruled("add", ruled("add", ruled("mul", r, wr), ruled("mul", g, wg)), ruled("mul", b, wb))
    if layout == "F":
        view = np.asfortranarray(image)
    elif layout == "channels-first":
        view = np.ascontiguousarray(image.transpose(2, 0, 1)).transpose(1, 2, 0)
    elif layout == "reversed":
        view = np.ascontiguousarray(image[::-1, ::-1, ::-1])[::-1, ::-1, ::-1]
    else:
        view = image
    got = oc.channel_mixer_bw(view, *weights)
    np.testing.assert_array_equal(got[..., 0].view(np.uint32), expected.view(np.uint32))


def test_local_contrast_detail_step_follows_the_rule() -> None:
    # Whatever NaN the filter gives q, L - q takes L's own NaN first, so a
    # plane of NaNs of several kinds keeps each pixel's own NaN, quieted.
    plane = from_bits(0x7FC00123, 0xFFC0ABCD, 0x7F800005, 0xFF812345).reshape(1, 4, 1)
    got = oc.local_contrast(plane, oc.GuidedFilterParams(radius=0, eps=0.01), 0.5)
    expected = plane.view(np.uint32) | QUIET_BIT
    np.testing.assert_array_equal(got.view(np.uint32), expected)
