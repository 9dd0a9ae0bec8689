"""Decoded pixels of a `Slide`: regions at any place, size and level, batches of
them, thumbnails.

JPEG tiles are decoded by the native reader (libjpeg-turbo: only the stored tiles
under a region, and of each only the rows and iMCU columns it needs; a decoded-tile
cache bounded in bytes, shared by the slide's threads). Tiles of every other media
type (JPEG 2000, TIFF-wrapped frames, WebP, JPEG-LS, HTJ2K, JPEG XL, PNG, BMP) are
decoded with imagecodecs, which bundles OpenJPEG and the other codecs, and painted
by the same rule: stored tiles at their rectangles, clipped to the level; the
background (white, or transparent with alpha) elsewhere.
"""
from __future__ import annotations

import io
import math
import threading
from collections import OrderedDict
from collections.abc import Callable, Iterable
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any

from ._core import TileNotFound

if TYPE_CHECKING:
    import numpy as np

    from ._slide import Slide

DEFAULT_REGION_CACHE = 256 << 20  # bytes of decoded tiles kept per slide
_lock = threading.Lock()


def reader(slide: Slide) -> Any:
    """The slide's native region reader, made on first use."""
    found = slide.__dict__.get("_region_reader")
    if found is None:
        with _lock:
            found = slide.__dict__.get("_region_reader")
            if found is None:
                size = slide._options.get("region_cache", DEFAULT_REGION_CACHE)
                found = slide.region_reader(size)
                slide.__dict__["_region_reader"] = found
    return found


def _check(slide: Slide, level: int, size: tuple[int, int]) -> tuple[int, int]:
    if not 0 <= level < slide.level_count:
        plural = "level" if slide.level_count == 1 else "levels"
        raise TileNotFound(f"level {level} does not exist: the slide has "
                           f"{slide.level_count} {plural}")
    w, h = size
    w, h = int(w), int(h)
    if w < 0 or h < 0:
        raise ValueError(f"size must not be negative, not {tuple(size)}")
    return w, h


def read_region(slide: Slide, location: tuple[int, int], level: int, size: tuple[int, int], *,
                alpha: bool = False, color: str | None = None) -> np.ndarray:
    import numpy as np

    w, h = _check(slide, level, size)
    x, y = location
    x, y = math.floor(x), math.floor(y)
    native = slide.__dict__.get("_region_reader") or reader(slide)
    if native.decodes(level):
        out = np.empty((h, w, 4 if alpha else 3), np.uint8)
        native.read(level, x, y, w, h, 1, out, alpha, False)
    else:
        out = _codec_region(slide, native, level, x, y, w, h, alpha)
    return _color(slide, out, color)


def read_regions(slide: Slide, level: int, locations: Iterable[tuple[int, int]],
                 size: tuple[int, int], *, threads: int, out: Any = None,
                 alpha: bool = False, color: str | None = None) -> np.ndarray:
    import numpy as np

    w, h = _check(slide, level, size)
    given = np.asarray(list(locations))
    if given.dtype.kind == "f":
        given = np.floor(given)
    origins = given.astype(np.int64).reshape(-1, 2)
    n = len(origins)
    native = reader(slide)
    if native.decodes(level):
        shape = (n, h, w, 4 if alpha else 3)
        if out is None:
            target = np.empty(shape, np.uint8)
        else:
            target = np.asarray(out)
            if target.dtype != np.uint8 or target.size != math.prod(shape):
                raise ValueError(f"out must hold {math.prod(shape)} uint8 values "
                                 f"{shape}, not {target.size} {target.dtype}")
        native.read_many(level, np.ascontiguousarray(origins), w, h, target, alpha, threads)
        result = target.reshape(shape) if out is None else target
        return result if color is None else _color(slide, result, color)
    # Other codecs: imagecodecs lets the interpreter lock go while it decodes.
    with ThreadPoolExecutor(threads) as pool:
        patches = list(pool.map(
            lambda o: read_region(slide, (int(o[0]), int(o[1])), level, (w, h), alpha=alpha,
                                  color=color), origins))
    stacked = np.stack(patches) if patches else np.empty((0, h, w, 4 if alpha else 3), np.uint8)
    if out is None:
        return stacked
    target = np.asarray(out)
    target.reshape(stacked.shape)[...] = stacked
    return target


# ---------------------------------------------------------------- other codecs
def decode_tile(data: bytes, media_type: str, ycbcr: bool = False) -> np.ndarray:
    """One stored tile as an (h, w, samples) array, decoded with imagecodecs."""
    import imagecodecs
    import numpy as np

    decoders: dict[str, Callable[[bytes], Any]] = {
        "image/jp2": imagecodecs.jpeg2k_decode, "image/jpx": imagecodecs.jpeg2k_decode,
        "image/j2k": imagecodecs.jpeg2k_decode, "image/jphc": imagecodecs.htj2k_decode,
        "image/tiff": imagecodecs.tiff_decode, "image/webp": imagecodecs.webp_decode,
        "image/jls": imagecodecs.jpegls_decode, "image/jxl": imagecodecs.jpegxl_decode,
        "image/png": imagecodecs.png_decode, "image/bmp": imagecodecs.bmp_decode,
        "image/jpeg": imagecodecs.jpeg8_decode, "image/jxr": imagecodecs.jpegxr_decode,
    }
    decode: Callable[[bytes], Any] = decoders.get(media_type, imagecodecs.imread)
    pixels = np.asarray(decode(data))
    if pixels.ndim == 2:
        pixels = pixels[:, :, None]
    if ycbcr:
        pixels = ycbcr_to_rgb(pixels)
    return pixels


def ycbcr_to_rgb(pixels: np.ndarray) -> np.ndarray:
    """YCbCr (full range, as Aperio stores its 33003 JPEG 2000 tiles) to RGB with
    OpenSlide's integer rounding."""
    import numpy as np

    y = pixels[..., 0].astype(np.int32)
    cb = pixels[..., 1].astype(np.int32) - 128
    cr = pixels[..., 2].astype(np.int32) - 128
    r = y + np.rint(1.402 * cr).astype(np.int32)
    g = y + np.rint(-0.34414 * cb - 0.71414 * cr).astype(np.int32)
    b = y + np.rint(1.772 * cb).astype(np.int32)
    rgb: np.ndarray = np.clip(np.stack([r, g, b], -1), 0, 255).astype(np.uint8)
    return rgb


class _DecodedTiles:
    """Decoded tiles of the other codecs, least recently used out first, bounded in
    bytes (the slide's region_cache), shared by the slide's threads."""

    def __init__(self, capacity: int) -> None:
        self.capacity = capacity
        self.bytes = 0
        self._tiles: OrderedDict[tuple[int, int, int], np.ndarray] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: tuple[int, int, int]) -> np.ndarray | None:
        with self._lock:
            found = self._tiles.get(key)
            if found is not None:
                self._tiles.move_to_end(key)
            return found

    def put(self, key: tuple[int, int, int], tile: np.ndarray) -> None:
        if tile.nbytes > self.capacity:
            return
        with self._lock:
            old = self._tiles.pop(key, None)
            if old is not None:
                self.bytes -= old.nbytes
            while self._tiles and self.bytes + tile.nbytes > self.capacity:
                self.bytes -= self._tiles.popitem(last=False)[1].nbytes
            self._tiles[key] = tile
            self.bytes += tile.nbytes


def _decoded_tiles(slide: Slide) -> _DecodedTiles:
    found = slide.__dict__.get("_decoded_tiles")
    if found is None:
        with _lock:
            found = slide.__dict__.get("_decoded_tiles")
            if found is None:
                found = _DecodedTiles(slide._options.get("region_cache", DEFAULT_REGION_CACHE))
                slide.__dict__["_decoded_tiles"] = found
    return found


def _read_codec_tiles(slide: Slide, level: int,
                      coords: list[tuple[int, int]]) -> list[bytes | None]:
    """The stored tiles at `coords`, None for those the file does not store."""
    if not coords:
        return []
    try:
        return list(slide.read_tiles(level, coords, threads=1))
    except TileNotFound:  # some are not stored: read them one by one
        tiles: list[bytes | None] = []
        for c, r in coords:
            try:
                tiles.append(slide.read_tile(level, c, r))
            except TileNotFound:
                tiles.append(None)
        return tiles


def _codec_region(slide: Slide, native: Any, level: int, x0: int, y0: int, w: int, h: int,
                  alpha: bool) -> np.ndarray:
    import numpy as np

    lv = slide.levels[level]
    ds = lv.downsample
    x = x0 if ds == 1.0 else math.floor(x0 / ds)
    y = y0 if ds == 1.0 else math.floor(y0 / ds)
    lw, lh = lv.dimensions
    # The stored tiles under the region, in painting order (a later tile covers
    # an earlier one where they overlap), at their rectangles in the level, each
    # painting its part of it (a piece, or all).
    placed = native.tiles_under(level, x, y, w, h)
    coords = [(c, r) for c, r, *_ in placed]
    places = [(px, py, sx, sy, sx + sw, sy + sh) for _, _, px, py, _, _, sx, sy, sw, sh in placed]
    cache = _decoded_tiles(slide)
    decoded: list[np.ndarray | None] = [cache.get((level, c, r)) for c, r in coords]
    missing = [i for i, d in enumerate(decoded) if d is None]
    ycbcr = native.ycbcr(level)
    for i, data in zip(missing, _read_codec_tiles(slide, level, [coords[i] for i in missing])):
        if data is not None:
            decoded[i] = tile = decode_tile(data, lv.media_type, ycbcr)
            cache.put((level, *coords[i]), tile)
    out: np.ndarray | None = None
    for (px, py, sx, sy, pr, pb), pixels in zip(places, decoded):
        if pixels is None:
            continue
        if out is None:
            out = _background(h, w, pixels.shape[2], pixels.dtype, alpha)
        # What the tile paints, clipped to the level, the region and its pixels.
        left, top = max(sx, x, 0), max(sy, y, 0)
        right = min(pr, x + w, lw, px + pixels.shape[1])
        bottom = min(pb, y + h, lh, py + pixels.shape[0])
        if right <= left or bottom <= top:
            continue
        part = pixels[top - py:bottom - py, left - px:right - px]
        if alpha:
            if part.dtype != np.uint8:
                part = (part >> 8).astype(np.uint8)
            if part.shape[2] == 1:
                part = np.repeat(part, 3, axis=2)
            out[top - y:bottom - y, left - x:right - x, :3] = part[:, :, :3]
            out[top - y:bottom - y, left - x:right - x, 3] = 255
        else:
            out[top - y:bottom - y, left - x:right - x] = part
    if out is None:
        out = _background(h, w, 3, np.dtype(np.uint8), alpha)
    return out


def _background(h: int, w: int, samples: int, dtype: Any, alpha: bool) -> np.ndarray:
    import numpy as np

    if alpha:
        return np.zeros((h, w, 4), np.uint8)
    return np.full((h, w, samples), np.iinfo(dtype).max if dtype.kind in "ui" else 1, dtype)


# ---------------------------------------------------------------- thumbnails
def thumbnail_size(width: int, height: int, max_size: tuple[int, int]) -> tuple[int, int]:
    """The size Pillow's Image.thumbnail gives a width x height image (what
    OpenSlide's get_thumbnail returns)."""
    x, y = (math.floor(v) for v in max_size)
    if x >= width and y >= height:
        return width, height

    def round_aspect(number: float, key: Any) -> int:
        return max(min(math.floor(number), math.ceil(number), key=key), 1)

    aspect = width / height
    if x / y >= aspect:
        x = round_aspect(y * aspect, key=lambda n: abs(aspect - n / y))
    else:
        y = round_aspect(x / aspect, key=lambda n: 0 if n == 0 else abs(aspect - x / n))
    return x, y


def get_thumbnail(slide: Slide, max_size: tuple[int, int], *,
                  color: str | None = None) -> np.ndarray:
    import numpy as np
    from PIL import Image

    mw, mh = max_size
    downsample = max(d / m for d, m in zip(slide.dimensions, (mw, mh)))
    level = slide.get_best_level_for_downsample(downsample)
    lw, lh = slide.level_dimensions[level]
    size = thumbnail_size(lw, lh, (mw, mh))
    native = reader(slide)
    tw, th = slide.levels[level].tile_size
    # The DCT scales JPEG tiles by 1/2, 1/4 or 1/8 while decoding: the largest
    # scale that still leaves at least the thumbnail's pixels for Lanczos to
    # reduce. 1/8 keeps only each block's mean, too coarse a box for Lanczos to
    # finish from close by: it needs twice the thumbnail's pixels (Pillow's
    # reducing_gap=2). The level is decoded in bands of tile rows on two threads.
    denom = 1
    if native.decodes(level):
        for d, gap in ((8, 2), (4, 1), (2, 1)):
            if (tw % d == 0 and th % d == 0 and lw / d >= gap * size[0]
                    and lh / d >= gap * size[1]):
                denom = d
                break
        sw, sh = -(-lw // denom), -(-lh // denom)
        pixels = np.empty((sh, sw, 3), np.uint8)
        band = th // denom * max(1, -(-sh // (th // denom) // 8))
        bands = [(y, min(band, sh - y)) for y in range(0, sh, band)]
        with ThreadPoolExecutor(min(2, len(bands))) as pool:
            list(pool.map(lambda b: native.read(level, 0, b[0], sw, b[1], denom,
                                                pixels[b[0]:b[0] + b[1]], False, True), bands))
    else:
        pixels = read_region(slide, (0, 0), level, (lw, lh))
        if pixels.dtype != np.uint8:
            pixels = (pixels >> 8).astype(np.uint8)
    image = Image.fromarray(pixels[:, :, 0] if pixels.shape[2] == 1 else pixels[:, :, :3])
    if image.size != size:
        image = image.resize(size, Image.Resampling.LANCZOS, reducing_gap=2.0)
    return _color(slide, np.asarray(image), color)


# ---------------------------------------------------------------- colour
_transforms: dict[bytes, Any] = {}


def _color(slide: Slide, pixels: np.ndarray, color: str | None) -> np.ndarray:
    """`pixels` as stored (color None) or through the slide's ICC profile into
    sRGB (color "srgb"; unchanged when the slide carries no profile)."""
    import numpy as np

    if color is None:
        return pixels
    if color != "srgb":
        raise ValueError(f"color must be None or 'srgb', not {color!r}")
    profile = slide.icc_profile
    if profile is None or pixels.dtype != np.uint8 or pixels.shape[-1] not in (3, 4):
        return pixels
    from PIL import Image, ImageCms

    transform = _transforms.get(profile)
    if transform is None:
        transform = ImageCms.buildTransform(ImageCms.ImageCmsProfile(io.BytesIO(profile)),
                                            ImageCms.createProfile("sRGB"), "RGB", "RGB")
        _transforms[profile] = transform
    flat = pixels.reshape(-1, *pixels.shape[-3:])
    out = np.empty_like(flat)
    for i, plane in enumerate(flat):
        rgb = Image.fromarray(np.ascontiguousarray(plane[:, :, :3]))
        out[i, :, :, :3] = np.asarray(ImageCms.applyTransform(rgb, transform))
        if plane.shape[-1] == 4:
            out[i, :, :, 3] = plane[:, :, 3]
    return out.reshape(pixels.shape)
