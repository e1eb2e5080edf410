"""Images larger than memory: the pipeline on dask arrays, and tiled BigTIFF prints.

`render_dask` builds the whole pipeline lazily on a dask array of scene-linear
RGB ``(H, W, 3)``: the luminance step, the exposure, the Zone System curve,
the print stage and the sRGB encoding are per pixel (`map_blocks`; the print
stage takes the toned block and its local-contrast block); the colour bands
read the RGB blocks with a halo of twice their smoothing radius (exact integer
window sums: the same bits as the whole image); local contrast goes through
`map_overlap` with a halo of twice the radius (the guided filter box-filters
its coefficients again, so a result depends on pixels up to 2r away) and
``boundary='none'``, so the image's true edges get the kernel's own clipped
windows, exactly as in the whole-image pipeline.

`write_tiled_print` streams a print to a tiled BigTIFF band by band (a band is
one row of tiles), in order, never holding the whole image. The per-pixel
steps run through the same dask graph, each band computed once and kept while
a neighbour needs its rows; local contrast runs on each band together with its
2r-row halo from the neighbouring bands, in one kernel call (the kernel streams
it with little extra memory, where `map_overlap` would copy every tile with its
halo). Peak memory follows the tile edge times the image width, not the size.

The per-pixel steps give the same bits as the whole-image pipeline. Local
contrast differs only in the last bits, where the guided filter's summed-area
tables round differently from another origin.
"""

from __future__ import annotations

import functools
import os
import queue
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Final

import numpy as np
import numpy.typing as npt

import ostrel_core as oc
from ostrel import _deps
from ostrel.exposure import photo_exposure, sample_stride
from ostrel.paper import PaperParams, print_stage
from ostrel.reading import Metadata, RegionReader
from ostrel.recipe import Bands, FilterStep, Grain, LocalContrast, MixerStep, Recipe, Toning, Vignette
from ostrel.rendering import Development, burnt, develop, exposed, grained, luminance, luminance_step, mixed, quantize
from ostrel.toning import tone_print
from ostrel.writing import atomic_destination, print_xmp, sgrey_profile, srgb_profile

FloatImage = npt.NDArray[np.float32]

# Above this many pixels the command line converts by tiles on its own: a
# 250-megapixel RGB image is 3 GB as float32, and the whole-image pipeline
# holds about three times that.
TILED_THRESHOLD: Final = 250_000_000
# The writer holds a band (one row of tiles) and its neighbours at a time, so
# peak memory grows with the tile edge times the image width; the README gives
# the measured figures.
DEFAULT_TILE: Final = 512
# Columns per block of the per-pixel steps when streaming a print: a band of
# 512 rows is read and toned in blocks of 512 x 4096 pixels (25 MB of RGB),
# large enough that dask's per-block cost vanishes (on 100 megapixels, blocks
# of 512 columns took 1.6 times as long), small enough to keep two in flight.
BAND_BLOCK_WIDTH: Final = 4096

_COMPRESSION: Final = {"none": None, "deflate": "zlib", "lzw": "lzw"}


def _meta(channels: int) -> FloatImage:
    return np.empty((0, 0, channels), np.float32)


@dataclass(frozen=True)
class LazyPhoto:
    """A photo as a dask array of scene-linear RGB (upright), and its metadata."""

    path: Path
    pixels: Any  # dask.array.Array, (H, W, 3) float32
    metadata: Metadata


def _orient(array: Any, orientation: int) -> Any:
    """The EXIF orientation applied to a dask array, lazily (as libvips's autorot does)."""
    turned = array.transpose(1, 0, 2) if orientation in (5, 6, 7, 8) else array
    flips = {2: (False, True), 3: (True, True), 4: (True, False), 6: (False, True), 7: (True, True), 8: (True, False)}
    vertical, horizontal = flips.get(orientation, (False, False))
    if vertical:
        turned = turned[::-1]
    if horizontal:
        turned = turned[:, ::-1]
    return turned


def lazy_photo(path: str | os.PathLike[str], tile: int = DEFAULT_TILE, *, width: int | None = None) -> LazyPhoto:
    """The photo at `path` as a dask array in blocks of `tile` rows by `width` (default `tile`)
    columns, upright, decoded region by region."""
    da = _deps.dask_array()
    reader = RegionReader(path)
    stat = reader.path.stat()
    name = f"ostrel-read-{abs(hash((str(reader.path.resolve()), stat.st_size, stat.st_mtime_ns))):x}"
    rows, columns = tile, width or tile
    if reader.orientation in (5, 6, 7, 8):  # stored turned: its columns become rows
        rows, columns = columns, rows
    pixels = da.from_array(reader, chunks=(rows, columns, 3), lock=False, asarray=True, meta=_meta(3), name=name)
    return LazyPhoto(reader.path, _orient(pixels, reader.orientation), reader.metadata)


def _kernel_ready(block: FloatImage) -> FloatImage:
    """The block as the kernels take it: C-contiguous and aligned float32.

    Blocks that travelled between Dask workers arrive in received byte
    buffers, which need not be aligned to whole floats.
    """
    return np.require(block, np.float32, ["C_CONTIGUOUS", "ALIGNED"])


def _tone_block(
    block: FloatImage,
    *,
    step: FilterStep | MixerStep,
    exposure: float,
    zones: dict[int, float],
    vignette: Vignette,
    block_info: Any = None,
) -> FloatImage:
    lum = exposed(luminance(_kernel_ready(block), step), exposure)
    return _zoned_block(lum, zones=zones, vignette=vignette, block_info=block_info)


def _zoned_block(lum: FloatImage, *, zones: dict[int, float], vignette: Vignette, block_info: Any = None) -> FloatImage:
    toned = oc.zone_system(_kernel_ready(lum), oc.ZoneParams(zones))
    if not vignette.enabled or block_info is None:
        return burnt(toned, vignette)
    # The edges are burnt by the block's place in the whole image (dask's block_info).
    (top, _), (left, _), _ = block_info[0]["array-location"]
    height, width, _ = block_info[0]["shape"]
    return burnt(toned, vignette, (int(top), int(left), int(height), int(width)))


def _banded_block(
    block: FloatImage, *, step: FilterStep | MixerStep, bands: Bands, radius: int, exposure: float
) -> FloatImage:
    rgb = _kernel_ready(block)
    return exposed(mixed(rgb, luminance(rgb, step), bands, radius), exposure)


def _contrast_block(block: FloatImage, radius: int, eps: float, strength: float) -> FloatImage:
    params = oc.GuidedFilterParams(radius, eps)
    return oc.local_contrast(_kernel_ready(block), params, strength)


def _paper_block(
    base: FloatImage, detailed: FloatImage | None, params: PaperParams | None, *, encode: bool = False
) -> FloatImage:
    if params is None:
        plane = base if detailed is None else detailed
        return oc.encode_srgb(_kernel_ready(plane)) if encode else plane
    ready = None if detailed is None else _kernel_ready(detailed)
    return print_stage(_kernel_ready(base), ready, params, encode=encode)


def _grain_block(block: FloatImage, grain: Grain, encode: bool, block_info: Any = None) -> FloatImage:
    # The grain is laid by the block's place in the whole image (dask's block_info).
    (top, _), (left, _), _ = block_info[0]["array-location"]
    height, width, _ = block_info[0]["shape"]
    return grained(_kernel_ready(block), grain, (int(top), int(left), int(height), int(width)), encode=encode)


def _encode_block(block: FloatImage) -> FloatImage:
    return oc.encode_srgb(_kernel_ready(block))


def develop_dask(
    rgb: Any,
    recipe: Recipe,
    *,
    exposure: float | None = None,
    scene_referred: bool = False,
    baseline: float | None = None,
) -> Development:
    """The recipe's decisions for a dask array of RGB: metered, when it must be, on the same
    strided sample as the whole-image pipeline (read region by region, never whole)."""
    height, width = int(rgb.shape[0]), int(rgb.shape[1])
    if exposure is None:

        def sample() -> FloatImage:
            stride = sample_stride(height, width)
            picked = np.ascontiguousarray(np.asarray(rgb[::stride, ::stride].compute(scheduler="threads")))
            return luminance(_kernel_ready(picked), luminance_step(recipe))

        exposure = photo_exposure(recipe, scene_referred=scene_referred, baseline=baseline, sample=sample)
    return develop(recipe, height, width, exposure=exposure)


def tone_dask(rgb: Any, recipe: Recipe, development: Development) -> Any:
    """Luminance step, colour bands, exposure, Zone System curve and edge burning, per block: (H, W, 3)
    to (H, W, 1). The colour bands read their neighbours: blocks with a halo of twice their radius."""
    if len(rgb.chunks[2]) != 1:
        rgb = rgb.rechunk({2: -1})
    if recipe.bands.enabled:
        lum = bands_dask(rgb, recipe, development)
        zoned = functools.partial(_zoned_block, zones=dict(recipe.zones), vignette=recipe.vignette)
        return lum.map_blocks(zoned, dtype=np.float32, meta=_meta(1))
    tone = functools.partial(
        _tone_block,
        step=luminance_step(recipe),
        exposure=development.exposure,
        zones=dict(recipe.zones),
        vignette=recipe.vignette,
    )
    return rgb.map_blocks(tone, chunks=(*rgb.chunks[:2], (1,)), dtype=np.float32, meta=_meta(1))


def bands_dask(rgb: Any, recipe: Recipe, development: Development) -> Any:
    """The luminance step, the colour bands and the exposure: (H, W, 3) to (H, W, 1), each block
    computed with a halo of twice the smoothing radius (the filter's reach), the image's edges unpadded."""
    da = _deps.dask_array()
    radius = development.bands_radius
    depth: dict[int, int] = {}
    for axis in (0, 1):
        if 2 * radius < rgb.shape[axis]:
            depth[axis] = 2 * radius
        else:  # the halo would cover the whole axis: take the axis in one block instead
            rgb = rgb.rechunk({axis: -1})
            depth[axis] = 0
    depth[2] = 0
    block = functools.partial(
        _banded_block, step=luminance_step(recipe), bands=recipe.bands, radius=radius, exposure=development.exposure
    )
    haloed = da.overlap.overlap(rgb, depth=depth, boundary="none")
    lum = haloed.map_blocks(block, chunks=(*haloed.chunks[:2], (1,)), dtype=np.float32, meta=_meta(1))
    return da.overlap.trim_internal(lum, depth, boundary="none")


def local_contrast_dask(lum: Any, contrast: LocalContrast, radius: int) -> Any:
    """Local contrast through map_overlap: halo 2r, the image's edges unpadded; None when left out."""
    if not contrast.enabled or radius <= 0:
        return None
    da = _deps.dask_array()
    depth: dict[int, int] = {}
    for axis in (0, 1):
        if 2 * radius < lum.shape[axis]:
            depth[axis] = 2 * radius
        else:  # the halo would cover the whole axis: take the axis in one block instead
            lum = lum.rechunk({axis: -1})
            depth[axis] = 0
    depth[2] = 0
    block = functools.partial(_contrast_block, radius=radius, eps=contrast.eps, strength=contrast.strength)
    return da.map_overlap(block, lum, depth=depth, boundary="none", trim=True, dtype=np.float32, meta=_meta(1))


def paper_dask(base: Any, detailed: Any, params: PaperParams | None) -> Any:
    """The print stage, per block, on the toned plane and its local-contrast plane."""
    if params is None:
        return base if detailed is None else detailed
    if detailed is None:
        return base.map_blocks(_paper_block, None, params, dtype=np.float32, meta=_meta(1))
    detailed = detailed.rechunk(base.chunks)
    return base.map_blocks(_paper_block, detailed, params, dtype=np.float32, meta=_meta(1))


def _toning_block(block: FloatImage, toning: Toning) -> FloatImage:
    return tone_print(_kernel_ready(block), toning)


def toning_dask(plane: Any, toning: Toning) -> Any:
    """Toning, per block: (H, W, 1) print tone to (H, W, 3) linear RGB; the plane itself when untoned."""
    if not toning.enabled:
        return plane
    return plane.map_blocks(_toning_block, toning, chunks=(*plane.chunks[:2], (3,)), dtype=np.float32, meta=_meta(3))


def grain_dask(plane: Any, grain: Grain, *, encode: bool) -> Any:
    """Grain, per block, at each block's place in the whole print; with `encode`, ending in the encoding."""
    return plane.map_blocks(_grain_block, grain, encode, dtype=np.float32, meta=_meta(1))


def encode_dask(plane: Any) -> Any:
    """sRGB encoding, per block."""
    return plane.map_blocks(_encode_block, dtype=np.float32, meta=_meta(plane.shape[2]))


def render_dask(rgb: Any, recipe: Recipe, development: Development | None = None) -> Any:
    """The whole pipeline on a dask array of scene-linear RGB: the print, display-referred (H, W, 1)
    (toned: (H, W, 3))."""
    development = development or develop_dask(rgb, recipe)
    base = tone_dask(rgb, recipe, development)
    detailed = local_contrast_dask(base, recipe.local_contrast, development.radius)
    printed = paper_dask(base, detailed, development.paper)
    if recipe.grain.enabled and not recipe.toning.enabled:
        return grain_dask(printed, recipe.grain, encode=True)
    if recipe.grain.enabled:
        printed = grain_dask(printed, recipe.grain, encode=False)
    return encode_dask(toning_dask(printed, recipe.toning))


class _Bands:
    """The per-pixel steps computed band by band, each band once, kept while a halo needs it."""

    def __init__(self, toned: Any, height: int) -> None:
        self.toned = toned
        self.edges = [*range(0, height, toned.chunks[0][0]), height] if height else [0]
        self.cache: dict[int, FloatImage] = {}

    def index(self, row: int) -> int:
        return max(0, int(np.searchsorted(self.edges, row, side="right")) - 1)

    def rows(self, top: int, bottom: int) -> FloatImage:
        """Rows [top, bottom) of the toned image; bands above `top` are let go."""
        first, last = self.index(top), self.index(bottom - 1)
        for stale in [k for k in self.cache if k < first]:
            del self.cache[stale]
        pieces = []
        for k in range(first, last + 1):
            if k not in self.cache:
                # Local threads even under a distributed client: the reader is an
                # open file of this process (and this may be a worker's task).
                band = self.toned[self.edges[k] : self.edges[k + 1]]
                self.cache[k] = np.asarray(band.compute(scheduler="threads"))
            # Only the rows wanted from each band: the neighbours give just their halo.
            begin, end = max(top, self.edges[k]), min(bottom, self.edges[k + 1])
            pieces.append(self.cache[k][begin - self.edges[k] : end - self.edges[k]])
        return pieces[0] if len(pieces) == 1 else np.concatenate(pieces)


def _band_tiles(
    rgb: Any, recipe: Recipe, development: Development, tile: int
) -> Iterator[npt.NDArray[np.uint8] | npt.NDArray[np.uint16]]:
    """The print's tiles in row-major order, each (tile, tile) (toned: (tile, tile, 3)), edge tiles
    padded with black."""
    height, width = int(rgb.shape[0]), int(rgb.shape[1])
    toned = tone_dask(rgb.rechunk({0: tile}), recipe, development)
    bands = _Bands(toned, height)
    contrast = recipe.local_contrast
    radius = development.radius if contrast.enabled else 0
    halo = 2 * radius
    bits = recipe.output.bits
    for start in range(0, height, tile):
        stop = min(height, start + tile)
        top, bottom = max(0, start - halo), min(height, stop + halo)
        window = bands.rows(top, bottom)
        base = np.ascontiguousarray(window[start - top : stop - top])
        detailed = None
        if radius:
            detailed = np.ascontiguousarray(
                _contrast_block(window, radius, contrast.eps, contrast.strength)[start - top : stop - top]
            )
        grain, paper, placement = recipe.grain, development.paper, (start, 0, height, width)
        if recipe.toning.enabled:
            printed = grained(_paper_block(base, detailed, paper), grain, placement)
            codes = quantize(tone_print(printed, recipe.toning, encode=True), bits)
        elif grain.enabled:
            codes = quantize(grained(_paper_block(base, detailed, paper), grain, placement, encode=True), bits)
        else:
            codes = quantize(_paper_block(base, detailed, paper, encode=True), bits)
        for left in range(0, width, tile):
            piece = codes[:, left : left + tile]
            if piece.shape[:2] != (tile, tile):
                padded = np.zeros((tile, tile, *codes.shape[2:]), codes.dtype)
                padded[: piece.shape[0], : piece.shape[1]] = piece
                piece = padded
            yield piece


_DONE: Final = object()


def _ahead(items: Iterator[Any], depth: int) -> Iterator[Any]:
    """Runs `items` in a thread of its own, up to `depth` items ahead of the consumer.

    The print's next band is computed while the writer still encodes and
    writes the tiles of the last one. An exception in the producer is raised
    in the consumer; a consumer that stops early stops the producer.
    """
    buffer: queue.Queue[Any] = queue.Queue(maxsize=max(1, depth))
    stop = threading.Event()

    def produce() -> None:
        try:
            for item in items:
                while not stop.is_set():
                    try:
                        buffer.put(item, timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
            buffer.put(_DONE)
        except BaseException as error:  # noqa: BLE001 - handed to the consumer, raised there
            buffer.put(error)

    producer = threading.Thread(target=produce, name="ostrel-tiles", daemon=True)
    producer.start()
    try:
        while True:
            item = buffer.get()
            if item is _DONE:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        producer.join()


def write_tiled_print(
    rgb: Any,
    path: str | os.PathLike[str],
    recipe: Recipe,
    *,
    metadata: Metadata | None = None,
    recipe_text: str | None = None,
    tile: int = DEFAULT_TILE,
    development: Development | None = None,
) -> Path:
    """Streams the print of the dask array `rgb` to a tiled BigTIFF at `path`, atomically."""
    development = development or develop_dask(rgb, recipe)
    tifffile = _deps.tifffile()
    destination = Path(path)
    output = recipe.output
    height, width = int(rgb.shape[0]), int(rgb.shape[1])
    # TIFF tiles are multiples of 16; libvips refuses a tile larger than the image both ways.
    tile = max(16, min(tile, -(-max(height, width) // 16) * 16))
    tile -= tile % 16
    extratags = []
    xmp = print_xmp(metadata, "tiff") if metadata is not None else None
    if xmp:
        extratags.append((700, "B", len(xmp), xmp, True))
    dpi = metadata.dpi if metadata is not None else None
    toned = recipe.toning.enabled
    with atomic_destination(destination) as temporary:
        tifffile.imwrite(
            temporary,
            data=_ahead(_band_tiles(rgb, recipe, development, tile), depth=-(-width // tile)),
            shape=(height, width, 3) if toned else (height, width),
            dtype=np.uint8 if output.bits == 8 else np.uint16,
            tile=(tile, tile),
            bigtiff=True,
            photometric="rgb" if toned else "minisblack",
            planarconfig="contig" if toned else None,
            compression=_COMPRESSION[output.compression],
            predictor=output.compression != "none",
            iccprofile=srgb_profile() if toned else sgrey_profile(),
            description=recipe_text,
            metadata=None,
            extratags=extratags,
            resolution=dpi,
            resolutionunit="INCH" if dpi else None,
        )
    return destination
