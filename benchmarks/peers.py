"""The jobs to time: each kernel beside the peers a user would otherwise reach for.

Every job is a zero-argument callable prepared on a given image size, so the
timing loop measures the work alone. NumPy expressions compute the same
formula in float32; OpenCV does the same job where it has an equivalent; the
"roofline" copies as many bytes as the kernel reads and writes.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

import ostrel_core as oc

try:  # OpenCV is optional: its columns stay empty without it
    import cv2
except ImportError:  # pragma: no cover - depends on the environment
    cv2 = None

Job = Callable[[], object]
LUMA_709 = np.array([0.2126, 0.7152, 0.0722], dtype=np.float32)
ELEVEN_ZONES = {zone: 0.1 * (zone - 5) for zone in range(11)}


def roofline(read_floats: int, written_floats: int) -> Job:
    """np.copyto of as many bytes as a kernel reads plus writes."""
    total = read_floats + written_floats
    source = np.ones(total // 2, dtype=np.float32)
    target = np.empty_like(source)
    return lambda: np.copyto(target, source)


def numpy_luminance(rgb: np.ndarray) -> np.ndarray:
    r, g, b = rgb[:, :, 0], rgb[:, :, 1], rgb[:, :, 2]
    lum: np.ndarray = ((r * LUMA_709[0] + g * LUMA_709[1]) + b * LUMA_709[2])[:, :, None]
    return lum


def numpy_encode_srgb(x: np.ndarray) -> np.ndarray:
    linear = x * np.float32(12.92)
    power = np.power(x, np.float32(1 / 2.4)) * np.float32(1.055) + np.float32(-0.055)
    return np.where(x <= np.float32(0.0031308), linear, power)


def numpy_zone_system(g: np.ndarray, zones: dict[int, float]) -> np.ndarray:
    x = np.maximum(g, np.float32(1e-10))
    z = np.log(x) / np.float32(0.6931472) + np.float32(5.0) + np.float32(2.473931)
    s = np.zeros_like(g)
    for zone, stops in sorted(zones.items()):
        d = z - np.float32(zone)
        s += np.exp((-d * d) / np.float32(1.2800001)) * np.float32(stops)
    return g * np.exp2(s)


def numpy_guided_filter(p: np.ndarray, radius: int, eps: float) -> np.ndarray:
    """The paper's formulation: clipped box means from cumulative sums."""

    def box_mean(a: np.ndarray) -> np.ndarray:
        h, w = a.shape
        c = np.cumsum(np.cumsum(a, axis=0, dtype=np.float64), axis=1)
        c = np.pad(c, ((1, 0), (1, 0)))
        y0 = np.clip(np.arange(h) - radius, 0, h)
        y1 = np.clip(np.arange(h) + radius + 1, 0, h)
        x0 = np.clip(np.arange(w) - radius, 0, w)
        x1 = np.clip(np.arange(w) + radius + 1, 0, w)
        s = c[y1][:, x1] - c[y0][:, x1] - c[y1][:, x0] + c[y0][:, x0]
        n = (y1 - y0)[:, None] * (x1 - x0)[None, :]
        mean: np.ndarray = s / n
        return mean

    mean_i = box_mean(p)
    var = box_mean(p * p) - mean_i * mean_i
    a = var / (var + eps)
    b = (1 - a) * mean_i
    q: np.ndarray = (box_mean(a) * p + box_mean(b)).astype(np.float32)
    return q


def jobs(kind: str, height: int, width: int) -> dict[str, Job]:
    """The kernel (key "ostrel") and its peers for one kernel family."""
    rng = np.random.default_rng(7)
    rgb = rng.random((height, width, 3), dtype=np.float32)
    lum = rng.random((height, width, 1), dtype=np.float32)
    pixels = height * width
    if kind in ("luminance_bw", "color_filter_bw", "channel_mixer_bw"):
        kernel: dict[str, Job] = {
            "luminance_bw": lambda: oc.luminance_bw(rgb),
            "color_filter_bw": lambda: oc.color_filter_bw(rgb, oc.ColorFilter.Red25A),
            "channel_mixer_bw": lambda: oc.channel_mixer_bw(rgb, 0.5, 0.4, 0.1),
        }
        result = {"ostrel": kernel[kind], "numpy": lambda: numpy_luminance(rgb)}
        if cv2 is not None:
            matrix = LUMA_709[None, :]
            result["opencv"] = lambda: cv2.transform(rgb, matrix)
        result["roofline"] = roofline(3 * pixels, pixels)
        return result
    if kind == "encode_srgb":
        return {
            "ostrel": lambda: oc.encode_srgb(rgb),
            "numpy": lambda: numpy_encode_srgb(rgb),
            "roofline": roofline(3 * pixels, 3 * pixels),
        }
    if kind == "zone_system":
        zones = oc.ZoneParams(ELEVEN_ZONES)
        return {
            "ostrel": lambda: oc.zone_system(lum, zones),
            "numpy": lambda: numpy_zone_system(lum, ELEVEN_ZONES),
            "roofline": roofline(pixels, pixels),
        }
    if kind.startswith("local_contrast"):
        radius = int(kind.rsplit("_r", 1)[1])
        eps, strength = 0.01, 0.6
        params = oc.GuidedFilterParams(radius, eps)
        plane = lum[:, :, 0]

        def opencv_job() -> np.ndarray:
            q = cv2.ximgproc.guidedFilter(plane, plane, radius, eps)
            detail: np.ndarray = (plane + np.float32(strength) * (plane - q))[:, :, None]
            return detail

        result = {"ostrel": lambda: oc.local_contrast(lum, params, strength)}
        if cv2 is not None and hasattr(cv2, "ximgproc"):
            result["opencv"] = opencv_job
        result["roofline"] = roofline(pixels, pixels)
        return result
    raise ValueError(kind)


KERNELS = (
    "luminance_bw",
    "color_filter_bw",
    "channel_mixer_bw",
    "encode_srgb",
    "zone_system",
    "local_contrast_r2",
    "local_contrast_r8",
    "local_contrast_r64",
)
