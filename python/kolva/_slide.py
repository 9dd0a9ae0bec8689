"""The `kolva` slide API: `kolva.open` and the `Slide` it returns.

A `Slide` may be shared by any number of threads: the native slide never changes
after opening, reads hold no lock across file access and release the interpreter
lock. Pickling a `Slide` pickles how it was opened; unpickling opens it again, so
DataLoader and multiprocessing workers can receive one.
"""
from __future__ import annotations

import os
import sys
from array import array
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any, cast

from . import _core, _deidentify, _dicom, _dicomweb, _region, _remote, _sources
from ._core import SlideError, TileNotFound

if TYPE_CHECKING:
    import numpy as np

__all__ = ["EncodedImage", "Level", "Slide", "open"]


@dataclass(frozen=True)
class Level:
    """One pyramid level: its size, tiling, the media type of its stored tiles and
    the file extension they get; the colour of their samples as the file states it
    (DICOM's photometric interpretation: "RGB", "YBR_FULL_422", ...; "" when only
    the stream tells) and the level's ICC profile. `positioned`: the level records
    where each stored tile lies (tiles that overlap or sit off the grid; see
    `Slide.tile_rects`); tile coordinates and bytes are the same either way."""

    index: int
    dimensions: tuple[int, int]
    tile_size: tuple[int, int]
    tile_grid: tuple[int, int]
    downsample: float
    media_type: str
    extension: str = "bin"
    photometric: str = ""
    icc_profile: bytes | None = field(default=None, repr=False)
    positioned: bool = False


@dataclass(frozen=True)
class EncodedImage:
    """An associated image (label, macro, thumbnail, ...) as one encoded stream."""

    media_type: str
    data: bytes
    dimensions: tuple[int, int]

    def __repr__(self) -> str:
        return (f"EncodedImage(media_type={self.media_type!r}, "
                f"dimensions={self.dimensions}, data=<{len(self.data)} bytes>)")


class _AssociatedImages(Mapping[str, EncodedImage]):
    """Name -> EncodedImage; each image is read when it is looked up."""

    def __init__(self, slide: Slide, entries: dict[str, tuple[str, tuple[int, int]]]) -> None:
        self._slide = slide
        self._entries = entries

    def __getitem__(self, name: str) -> EncodedImage:
        if name not in self._entries:
            raise KeyError(name)
        media_type, dimensions = self._entries[name]
        return EncodedImage(media_type, self._slide._read_associated(name), dimensions)

    def __iter__(self) -> Iterator[str]:
        return iter(self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def __repr__(self) -> str:
        return f"<associated images {list(self._entries)}>"


def _default_threads() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


def _threads(threads: int | None) -> int:
    if threads is None:
        return _default_threads()
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return threads


def _writable(out: Any) -> Any:
    """`out` as something with the writable buffer protocol: a torch tensor (which
    has none of its own) becomes the NumPy array sharing its memory."""
    torch = sys.modules.get("torch")
    if torch is not None and isinstance(out, torch.Tensor):
        if out.device.type != "cpu":
            raise ValueError(f"out must be in host memory (a CPU or pinned tensor), "
                             f"not on {out.device}")
        if not out.is_contiguous():
            raise ValueError("out must be a contiguous tensor")
        return out.detach().numpy()
    return out


class Slide:
    """An opened whole-slide image. Make one with `kolva.open`.

    Its geometry, as attributes: `format` (the family that read it: "aperio",
    "hamamatsu", "dicom", ...), `levels` (a `Level` each, widest first), `level_count`,
    `dimensions` (level 0's (width, height)), `level_dimensions`, `level_downsamples`."""

    # The remote file a remote slide reads through, kept alive with it.
    _remote_file: _remote.RemoteFile | None = None

    def __init__(self, core: Any, source: Any, options: dict[str, Any],
                 remote: _remote.RemoteFile | None = None) -> None:
        # Only what every slide needs at once; its geometry, properties and
        # associated images are asked of the core the first time they are used
        # (the core still tells them once closed).
        self._core = core
        self._source = source
        self._options = options
        if remote is not None:
            self._remote_file = remote
        self.format: str = core.format
        # The native methods themselves: no Python frame between caller and core.
        self.read_tile = core.read_tile  # type: ignore[method-assign]

    # What the core says of the slide, each asked once.
    @cached_property
    def _core_levels(self) -> tuple[Any, ...]:
        return cast("tuple[Any, ...]", self._core.levels)

    @cached_property
    def _core_associated(self) -> tuple[Any, ...]:
        return cast("tuple[Any, ...]", self._core.associated)

    @cached_property
    def _core_properties(self) -> dict[str, str]:
        return cast("dict[str, str]", self._core.properties)

    @cached_property
    def levels(self) -> tuple[Level, ...]:
        """A `Level` each, widest first."""
        return tuple(
            Level(i, (lv.width, lv.height), (lv.tile_width, lv.tile_height),
                  (lv.tiles_across, lv.tiles_down), lv.downsample, lv.media_type,
                  _core.media_extension(lv.media_type), lv.photometric, lv.icc_profile,
                  bool(lv.positioned))
            for i, lv in enumerate(self._core_levels)
        )

    @cached_property
    def level_count(self) -> int:
        return len(self._core_levels)

    @cached_property
    def dimensions(self) -> tuple[int, int]:
        """Level 0's (width, height)."""
        lv = self._core_levels[0]
        return lv.width, lv.height

    @cached_property
    def level_dimensions(self) -> tuple[tuple[int, int], ...]:
        return tuple((lv.width, lv.height) for lv in self._core_levels)

    @cached_property
    def level_downsamples(self) -> tuple[float, ...]:
        return tuple(lv.downsample for lv in self._core_levels)

    @cached_property
    def _properties(self) -> dict[str, str]:
        if self._options.get("deidentify"):
            return _deidentify.filter_properties(self._core_properties)
        return self._core_properties

    @cached_property
    def _associated(self) -> dict[str, tuple[str, tuple[int, int]]]:
        associated = {a.name: (a.media_type, (a.width, a.height)) for a in self._core_associated}
        if self._options.get("deidentify"):
            return {n: associated[n] for n in _deidentify.filter_associated(associated)}
        return associated

    # ------------------------------------------------------------------ metadata
    @property
    def properties(self) -> dict[str, str]:
        """Pixel size, objective power and the vendor's own keys, as text."""
        return dict(self._properties)

    @property
    def mpp(self) -> tuple[float, float] | None:
        """(x, y) micrometres per pixel at level 0, or None when the file does not say."""
        x = self._properties.get("kolva.mpp-x")
        y = self._properties.get("kolva.mpp-y")
        if x is None or y is None:
            return None
        return float(x), float(y)

    @property
    def icc_profile(self) -> bytes | None:
        """The ICC colour profile the file carries for its pixels (its largest
        level's), or None."""
        return cast("bytes | None", self._core_levels[0].icc_profile)

    @property
    def objective_power(self) -> float | None:
        """The scanner's objective magnification (kolva.objective-power), or None when
        the file does not say (or says something that is not a number)."""
        power = self._properties.get("kolva.objective-power")
        try:
            return float(power) if power is not None else None
        except ValueError:
            return None

    @property
    def planes(self) -> dict[str, list[str] | list[int]]:
        """What the file holds along each of "series", "channel", "focal_plane" and
        "timepoint": the names of its entries, or their indices when the file names
        none (one entry, [0], along an axis the file does not have)."""
        return {axis: list(names) if names is not None else list(range(count))
                for axis, (count, names, _) in self._core.planes.items()}

    @property
    def plane(self) -> dict[str, str | int]:
        """The entry this slide serves along each axis of `planes`."""
        return {axis: names[selected] if names is not None else selected
                for axis, (_, names, selected) in self._core.planes.items()}

    def summary(self) -> dict[str, Any]:
        """What `kolva info` and the tile server say about the slide, as plain JSON
        values: format, vendor, dimensions, levels, pixel size, objective power and
        the names of the associated images."""
        try:
            mpp = self.mpp
        except ValueError:  # a pixel size that is not a number
            mpp = None
        return {
            "format": self.format,
            "vendor": self._properties.get("kolva.vendor"),
            "dimensions": list(self.dimensions),
            "level_count": self.level_count,
            "levels": [
                {"index": lv.index, "dimensions": list(lv.dimensions),
                 "tile_size": list(lv.tile_size), "tile_grid": list(lv.tile_grid),
                 "downsample": lv.downsample, "media_type": lv.media_type,
                 "positioned": lv.positioned,
                 **({"tile_rects": self._rects_summary(lv.index)} if lv.positioned else {})}
                for lv in self.levels
            ],
            "mpp": list(mpp) if mpp else None,
            "objective_power": self.objective_power,
            "associated_images": sorted(self._associated),
            **({"planes": self.planes, "plane": self.plane}
               if any(len(v) > 1 for v in self.planes.values()) else {}),
        }

    def tile_sizes(self, level: int) -> bytes:
        """Each stored tile's size in bytes at `level` (native int64, row by row; 0 where
        the file stores no tile), without reading a tile."""
        return cast(bytes, self._core.tile_sizes(level))

    def tile_rects(self, level: int) -> np.ndarray:
        """Where each stored tile of `level` lies: a float64 array of shape (rows, cols,
        4) holding (x, y, width, height) in the level's pixels, NaN where the file stores
        no tile. A positioned level gives the rectangles the file records (tiles that
        overlap, sit off the grid); a plain grid gives the grid itself, each tile's
        cell clipped to the level (what `tile_box` says)."""
        import numpy as np

        if not 0 <= level < self.level_count:
            plural = "level" if self.level_count == 1 else "levels"
            raise TileNotFound(f"level {level} does not exist: the slide has "
                               f"{self.level_count} {plural}")
        lv = self.levels[level]
        cols, rows = lv.tile_grid
        recorded = self._core.tile_rects(level)
        if recorded is not None:
            return np.frombuffer(recorded, np.float64).reshape(rows, cols, 4).copy()
        tw, th = lv.tile_size
        w, h = lv.dimensions
        x = np.arange(cols, dtype=np.float64) * tw
        y = np.arange(rows, dtype=np.float64) * th
        out = np.empty((rows, cols, 4), np.float64)
        out[..., 0] = x[None, :]
        out[..., 1] = y[:, None]
        out[..., 2] = np.minimum(tw, w - x)[None, :]
        out[..., 3] = np.minimum(th, h - y)[:, None]
        sizes = np.frombuffer(self._core.tile_sizes(level), np.int64).reshape(rows, cols)
        out[sizes == 0] = np.nan
        return out

    def _rects_summary(self, level: int) -> list[list[float] | None]:
        """A positioned level's rectangles as JSON rows: [x, y, width, height] per
        tile, row by row, null for a tile the file does not store."""
        rects = self.tile_rects(level).reshape(-1, 4)
        return [None if r[2] != r[2] else [float(v) for v in r] for r in rects]

    @property
    def associated_icc_profiles(self) -> dict[str, bytes]:
        """The ICC profiles the associated images carry, by name (those with one)."""
        return {image.name: image.icc_profile for image in self._core.associated
                if image.name in self._associated and image.icc_profile}

    def quickhash_input(self) -> tuple[list[tuple[int, int]], list[bytes]] | None:
        """What OpenSlide's quickhash-1 hashes, as the file stores it: the smallest
        level's stored byte ranges and the raw text of nine tags (None where the format
        has no such input)."""
        return cast("tuple[list[tuple[int, int]], list[bytes]] | None",
                    self._core.quickhash_input())

    def read_quickhash_input(self) -> bytes:
        """The bytes of `quickhash_input()`'s ranges, read back to back."""
        return cast(bytes, self._core.read_quickhash_input())

    def write_shard_part(self, path: str, shard_name: str, level: int, tiles: bytes,
                         prefix: str, extension: str, json_fields: Any, manifest_fields: Any,
                         *, sync: bool, start: int) -> tuple[int, int, int, bytes]:
        """Writes `tiles` (packed (x, y) pairs) of `level` as WebDataset samples into the
        shard at `path` from byte `start` on (what `kolva export` writes); returns
        (samples, tile bytes, shard size, manifest lines)."""
        piece = (self._core, level, tiles, prefix, extension, json_fields, manifest_fields)
        return _core.write_shard(path, shard_name, [piece], sync, start)

    def region_reader(self, cache_bytes: int) -> Any:
        """A native reader of decoded regions with its own cache of `cache_bytes` (what
        `read_region` and its kin use)."""
        return self._core.region_reader(cache_bytes)

    @property
    def associated_images(self) -> Mapping[str, EncodedImage]:
        """Label, macro, thumbnail and similar images, returned without decoding."""
        return _AssociatedImages(self, self._associated)

    def _read_associated(self, name: str) -> bytes:
        return cast(bytes, self._core.read_associated(name))

    @property
    def closed(self) -> bool:
        """True once `close` was called."""
        return bool(self._core.closed)

    @property
    def source(self) -> Any:
        """What the slide was opened from."""
        return self._source

    # ------------------------------------------------------------------ tiles
    def read_tile(self, level: int, x: int, y: int) -> bytes:  # noqa: F811 - replaced per instance
        """The stored bytes of tile (x, y) of `level` as one complete stream."""
        return cast(bytes, self._core.read_tile(level, x, y))

    def read_tiles(self, level: int, coords: Iterable[tuple[int, int]], *,
                   threads: int | None = None) -> list[bytes]:
        """The tiles at `coords` of `level`, in the order of `coords`. Every range is
        planned first (a bad coordinate fails before anything is read), then read with
        `threads` threads (default: the machine's cores). A remote slide fetches all
        the ranges concurrently instead (see `max_requests` of `kolva.open`)."""
        return cast("list[bytes]", self._core.read_tiles(level, coords, _threads(threads)))

    def tile_nbytes(self, level: int, coords: Iterable[tuple[int, int]], *,
                    threads: int | None = None) -> np.ndarray:
        """The length of each tile's stream (what `read_tile` returns) at `coords`, as
        an int64 array, to size a buffer for `read_tiles_into`. Told by the tile's
        plan without reading for stored tiles; tiles that are joined from several
        pieces (NDPI tiles cut to a chosen `tile_size`) and DICOMweb frames are read to be
        measured (over DICOMweb, kept for the read that follows)."""
        import numpy as np

        return np.frombuffer(self._core.tile_nbytes(level, coords, _threads(threads)),
                             np.int64).copy()

    def read_tiles_into(self, level: int, coords: Iterable[tuple[int, int]], out: Any, *,
                        threads: int | None = None) -> np.ndarray:
        """Reads the tiles at `coords` of `level` back to back into `out`, from its
        start, and returns `len(coords) + 1` int64 offsets: tile i is
        `out[offsets[i]:offsets[i + 1]]`. `out` is any writable, C-contiguous buffer:
        a bytearray, a NumPy array, a (pinned) CPU torch tensor. A buffer smaller than
        the batch (see `tile_nbytes`) raises ValueError and is not written; a bad
        coordinate raises TileNotFound before anything is read. Reads like
        `read_tiles`: `threads` threads, or concurrent requests for a remote slide."""
        import numpy as np

        offsets = self._core.read_tiles_into(level, coords, _writable(out), _threads(threads))
        return np.frombuffer(offsets, np.int64)

    def tissue_tiles(self, level: int = 0,
                     min_bytes: int | str | None = "auto") -> list[tuple[int, int]]:
        """The (x, y) of the tiles of `level` that `kolva export --min-bytes` keeps,
        row-major, told from the stored sizes alone (nothing is decoded): background
        tiles compress far smaller than tissue. `min_bytes`: "auto" (a cut between the
        two groups of sizes, or every tile when they do not separate), a number of
        bytes ("64KB" and the like too), or None for every stored tile."""
        from ._tissue import parse_size, select_by_size

        if min_bytes not in ("auto", None):
            min_bytes = parse_size(min_bytes, "min_bytes")
        sizes = array("q")
        sizes.frombytes(self._core.tile_sizes(level))
        _, kept = select_by_size(sizes, min_bytes)
        across = self.levels[level].tile_grid[0]
        return [(i % across, i // across) for i, _ in kept]

    def get_best_level_for_downsample(self, downsample: float) -> int:
        """The level to read from for a display at `downsample` (OpenSlide's rule:
        the largest level whose downsample does not exceed it)."""
        ds = self.level_downsamples
        if downsample < ds[0]:
            return 0
        for i in range(1, len(ds)):
            if downsample < ds[i]:
                return i - 1
        return len(ds) - 1

    def tile_box(self, level: int, x: int, y: int) -> tuple[int, int, int, int]:
        """(left, top, width, height) in level pixels that tile (x, y) covers, clipped
        to the level (edge tiles are stored padded to the full tile size, except NDPI
        tiles, which end at the level's edge)."""
        if not 0 <= level < self.level_count:
            plural = "level" if self.level_count == 1 else "levels"
            raise TileNotFound(f"level {level} does not exist: the slide has "
                               f"{self.level_count} {plural}")
        lv = self.levels[level]
        tw, th = lv.tile_size
        w, h = lv.dimensions
        left, top = x * tw, y * th
        if not (0 <= x < lv.tile_grid[0] and 0 <= y < lv.tile_grid[1]):
            raise TileNotFound(f"tile ({x}, {y}) of level {level} does not exist: the level "
                               f"has {lv.tile_grid[0]} x {lv.tile_grid[1]} tiles")
        return left, top, min(tw, w - left), min(th, h - top)

    # ------------------------------------------------------------------ pixels
    def read_region(self, location: tuple[int, int], level: int, size: tuple[int, int], *,
                    alpha: bool = False, color: str | None = None) -> np.ndarray:
        """The decoded pixels of `size` (width, height, in the level's pixels) at
        `location` (x, y in level-0 pixels; OpenSlide takes integers, fractional
        values here are floored to the pixel that holds them) of `level`: an
        (h, w, samples) array, uint8 (uint16 where the slide stores 16 bits). Only the stored tiles under it
        are read (a remote slide fetches just those), and of JPEG tiles only the part
        it needs is decoded. Outside the level and under tiles the file does not
        store: white, or with `alpha` an RGBA uint8 array, transparent (0, 0, 0, 0)
        there and opaque elsewhere. `color="srgb"` converts through the slide's ICC
        profile; by default pixels are as stored."""
        return _region.read_region(self, location, level, size, alpha=alpha, color=color)

    def read_regions(self, level: int, locations: Iterable[tuple[int, int]],
                     size: tuple[int, int], *, threads: int | None = None, out: Any = None,
                     alpha: bool = False, color: str | None = None) -> np.ndarray:
        """`read_region` of every (x, y) of `locations` with the same `size` and
        `level`, as one (n, h, w, samples) array (or into `out`, any writable
        C-contiguous buffer of that many values), decoded on `threads` threads."""
        return _region.read_regions(self, level, locations, size, threads=_threads(threads),
                                    out=None if out is None else _writable(out), alpha=alpha,
                                    color=color)

    def get_thumbnail(self, max_size: tuple[int, int], *, color: str | None = None) -> np.ndarray:
        """An RGB image of the whole slide fitting `max_size` (the size OpenSlide's
        get_thumbnail gives), from the smallest level that suffices, JPEG tiles
        scaled down while they are decoded."""
        return _region.get_thumbnail(self, max_size, color=color)

    # ------------------------------------------------------------------ life cycle
    def close(self) -> None:
        """Releases the file. Reads already running finish; later calls raise SlideError
        (the slide's geometry, properties and associated image names stay readable)."""
        self._core.close()  # which keeps its levels, images and properties readable

    def __enter__(self) -> Slide:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (self._source, self._options))

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{self.level_count} levels, {self.dimensions}"
        return f"<kolva.Slide {self.format} {self._source!r} ({state})>"


def _check_choice(name: str, value: Any) -> None:
    """A plane choice is None, a non-negative int or a str."""
    if value is None or isinstance(value, str):
        return
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an index or a name, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, not {value}")


def _reopen(source: Any, options: dict[str, Any]) -> Slide:
    return open(source, **options)


def open(source: str | os.PathLike[str] | Any, *, tile_size: int | None = None,  # noqa: A001
         storage_options: dict[str, Any] | None = None,
         cache_size: int = _remote.DEFAULT_CACHE_SIZE,
         max_requests: int = _remote.DEFAULT_MAX_REQUESTS,
         timeout: float | None = _remote.DEFAULT_TIMEOUT,
         retries: int = _remote.DEFAULT_RETRIES, series: int | str | None = None,
         channel: int | str | None = None, focal_plane: int | str | None = None,
         timepoint: int | str | None = None, optical_path: str | None = None,
         deidentify: bool = False, region_cache: int | None = None) -> Slide:
    """Opens a slide: Aperio SVS, Philips TIFF, Hamamatsu NDPI, Olympus ETS/VSI, a
    tiled TIFF/BigTIFF pyramid or a DICOM whole-slide series. Raises `kolva.UnsupportedFormat` for files that are no
    such slide and `kolva.SlideError` when the file cannot be read.

    `source` is a local path, a URL (``http://``, ``https://``, ``s3://``, ``gs://``,
    ``az://``, ``file://`` or any protocol fsspec knows) or an open binary file object.
    For URLs, `storage_options` go to the fsspec file system (credentials, endpoint,
    headers); `cache_size` bounds the bytes of the range cache that serves the
    opening's reads (0: none), and over DICOMweb of the frames kept from the last
    fetches (so `tile_nbytes` then `read_tiles_into` fetch each frame once); `max_requests` bounds the requests in flight of one
    `read_tiles`; each request gets `timeout` seconds and transient failures (5xx,
    resets) `retries` more tries.

    An Olympus `.vsi` (a local path or a URL) opens its main scan: the ETS file of
    the stack its metadata names as the largest image, from the `_<name>_/stack<N>/`
    folders beside it (listed, or where the server lists nothing, looked for under
    the usual names stack1..., stack10001...), with the .vsi's thumbnail as the
    associated image "overview".

    tile_size: for NDPI, the edge of the square tiles every level is cut into, a
    multiple of the JPEG MCU size (8, or 16 for subsampled chroma; anything else
    raises `kolva.SlideError`). Tiles are cut from the stored JPEG losslessly, in
    the DCT domain: each decodes to exactly the pixels of that area of the level.
    The grid is ceil(width / tile_size) x ceil(height / tile_size), and tiles of
    the last column and row end at the level's edge (their JPEG is smaller, not
    padded). Default (None): NDPI levels keep the file's own tiling, one tile per
    run of restart intervals. Other formats store their tiles as such and ignore
    tile_size.

    Several images and planes in one file (OME-TIFF series, channels, focal planes
    and timepoints; QPTIFF channels; the images of a Leica collection): `series`,
    `channel`, `focal_plane` and `timepoint` choose the one plane of one image the
    slide serves, each by index or by name; `Slide.planes` lists what there is to
    choose from. Default: the main image's first plane. Choosing what the file
    does not hold raises `kolva.SlideError`.

    DICOM (VL Whole Slide Microscopy): `source` is a folder holding the series'
    instance files, any one instance (the rest of its series is found beside it) or
    a list of instance paths. A folder with several series needs `series` (a
    SeriesInstanceUID). `focal_plane` (an index, lowest plane first) and
    `optical_path` (an OpticalPathIdentifier; `channel` is the same) choose what is
    served when the series has several; the properties `dicom.optical-paths` and
    `dicom.focal-planes` list them. Every frame is handed out as stored; a tile that a sparse (TILED_SPARSE)
    level does not store raises `kolva.TileNotFound`, as absent tiles do in every
    format.

    deidentify: the slide has no label, macro or overview image, and none of the
    properties that identify a patient, a case, a barcode, a file or a date (see
    `kolva._deidentify`); the tissue's pixels are not inspected.

    region_cache: bytes of decoded tiles `read_region` and its kin keep for the
    slide's threads (default 256 MiB; 0: none). A level that fits in half of it is
    kept whole tile by tile; of a larger one, a tile is kept once regions asked
    for most of it twice (one region alone decodes only the part it needs)."""
    if (tile_size is None and series is None and channel is None and focal_plane is None
            and timepoint is None and optical_path is None and not deidentify
            and region_cache is None):
        # The common call, a local path and nothing else: straight to the core
        # (os.fspath rather than an isinstance check against os.PathLike, an ABC
        # whose check costs more than the rest of this).
        path = source if type(source) is str else _fspath_or_none(source)
        if path is not None and "\0" not in path and ("://" not in path
                                                      or not _sources.is_url(path)):
            try:
                return Slide(_core.open(path), path, {})
            except (SlideError, TypeError, ValueError, OverflowError) as error:
                return _dicom_folder_or_raise(path, {}, None, error)
    # Everything else in a function of its own: this one stays small, so that
    # the interpreter makes it ready quickly in a loop of opens.
    return _open_any(source, tile_size=tile_size, storage_options=storage_options,
                     cache_size=cache_size, max_requests=max_requests, timeout=timeout,
                     retries=retries, series=series, channel=channel, focal_plane=focal_plane,
                     timepoint=timepoint, optical_path=optical_path, deidentify=deidentify,
                     region_cache=region_cache)


def _open_any(source: Any, *, tile_size: int | None, storage_options: dict[str, Any] | None,
              cache_size: int, max_requests: int, timeout: float | None, retries: int,
              series: int | str | None, channel: int | str | None,
              focal_plane: int | str | None, timepoint: int | str | None,
              optical_path: str | None, deidentify: bool, region_cache: int | None) -> Slide:
    """`open` of anything but a local path with no options."""
    options: dict[str, Any] = {}
    if deidentify:
        options["deidentify"] = True
    if region_cache is not None:
        if region_cache < 0:
            raise ValueError(f"region_cache must not be negative, not {region_cache}")
        options["region_cache"] = region_cache
    if not isinstance(source, str) and isinstance(source, os.PathLike):
        source = os.fspath(source)
        if isinstance(source, bytes):
            source = os.fsdecode(source)
    if (isinstance(source, str) and tile_size is None and series is None and channel is None
            and focal_plane is None and timepoint is None and optical_path is None
            and ("://" not in source or not _sources.is_url(source))):
        return _open_local(source, options, None, None, None)
    if tile_size is not None:
        options["tile_size"] = tile_size
    for name, value in (("series", series), ("channel", channel), ("focal_plane", focal_plane),
                        ("timepoint", timepoint)):
        _check_choice(name, value)
        if value is not None:
            options[name] = value
    if optical_path is not None:
        options["optical_path"] = optical_path
    if channel is None:
        channel = optical_path
    dicom = _dicom.options_of(series if isinstance(series, str) else None,
                              focal_plane if isinstance(focal_plane, int) else 0,
                              optical_path if optical_path is not None
                              else None if channel is None else str(channel))
    planes = (series, channel, focal_plane, timepoint)
    if isinstance(source, (list, tuple)):
        if source and all(isinstance(p, str) and _sources.is_url(p) for p in source):
            return _open_remote_dicom(list(source), options, dicom, storage_options=storage_options,
                                      cache_size=cache_size, max_requests=max_requests,
                                      timeout=timeout, retries=retries)
        return Slide(_dicom.open_local([os.fspath(p) for p in source], dicom), list(source),
                     options)
    if isinstance(source, str) and _dicomweb.is_series_url(source):
        if storage_options:
            options["storage_options"] = dict(storage_options)
        if cache_size < 0:
            raise ValueError(f"cache_size must not be negative, not {cache_size}")
        options.update({k: v for k, v in (("max_requests", max_requests), ("timeout", timeout),
                                          ("retries", retries), ("cache_size", cache_size))
                        if v != getattr(_remote, "DEFAULT_" + k.upper())})
        web = _remote.remote_file(source, storage_options, max_requests=max_requests,
                                  timeout=timeout, retries=retries)
        # The frames fetched last stay in a cache of cache_size bytes.
        return Slide(_dicomweb.open_series(source, {**dicom, "cache_size": cache_size},
                                           web.documents), source, options)
    if isinstance(source, str) and _sources.is_url(source):
        local = _sources.local_path_of(source)
        if local is None and (source.endswith("/") or source.lower().endswith(".dcm")):
            return _open_remote_dicom(source, options, dicom, storage_options=storage_options,
                                      cache_size=cache_size, max_requests=max_requests,
                                      timeout=timeout, retries=retries)
        if local is None:
            return _open_remote(source, options, storage_options=storage_options,
                                cache_size=cache_size, max_requests=max_requests,
                                timeout=timeout, retries=retries, planes=planes)
        source = local
    if isinstance(source, str):
        return _open_local(source, options, tile_size, planes, dicom)
    if not hasattr(source, "read") and hasattr(source, "fs") and callable(getattr(source, "open", None)):
        source = source.open()  # an fsspec OpenFile: its file object
    if callable(getattr(source, "read", None)) and callable(getattr(source, "seek", None)):
        return _open_remote(source, options, storage_options=None, cache_size=cache_size,
                            max_requests=max_requests, timeout=timeout, retries=retries,
                            planes=planes)
    raise TypeError("kolva.open() takes a path, a URL or a binary file object, "
                    f"not {type(source).__name__}")


def _fspath_or_none(source: Any) -> str | None:
    """A path-like `source` as a str path; None for anything else (bytes, file
    objects, lists)."""
    if isinstance(source, bytes):
        return None
    try:
        path = os.fspath(source)
    except TypeError:
        return None
    return os.fsdecode(path) if isinstance(path, bytes) else path


def _open_local(path: str, options: dict[str, Any], tile_size: int | None,
                planes: tuple[Any, ...] | None, dicom: dict[str, Any] | None) -> Slide:
    """A local file, or a folder of DICOM instances. The core tells a DICOM
    instance by its head and opens its series with the files beside it, with the
    `dicom` choices (as `_dicom.open_local` does); a folder fails to open as a
    file, and only then is looked into here."""
    if "\0" in path:  # as the file system's own calls refuse it
        raise ValueError("embedded null byte")
    try:
        if dicom is None:
            core = _core.open(path)
        else:
            core = _core.open(path, tile_size or 0, planes,
                              (dicom["series"], dicom["focal_plane"], dicom["optical_path"]))
    except (SlideError, TypeError, ValueError, OverflowError) as error:
        return _dicom_folder_or_raise(path, options, dicom, error)
    return Slide(core, path, options)


def _dicom_folder_or_raise(path: str, options: dict[str, Any], dicom: dict[str, Any] | None,
                           error: Exception) -> Slide:
    """After the core failed to open `path` (with `error`): the DICOM series of
    the folder it names, else that error. A tile size or plane that does not parse
    matters for a DICOM folder no more than for an instance."""
    if not (os.path.isdir(path) and _dicom.holds_dicom(path)):
        raise error
    return Slide(_dicom.open_local(path, dicom or _dicom.options_of(None, 0, None)), path,
                 options)


def _open_remote(source: Any, options: dict[str, Any], *, storage_options: dict[str, Any] | None,
                 cache_size: int, max_requests: int, timeout: float | None,
                 retries: int, planes: tuple[Any, ...] | None = None) -> Slide:
    if cache_size < 0:
        raise ValueError(f"cache_size must not be negative, not {cache_size}")
    if max_requests < 1:
        raise ValueError(f"max_requests must be at least 1, not {max_requests}")
    # Everything needed to open it again elsewhere (pickling).
    if storage_options:
        options["storage_options"] = dict(storage_options)
    defaults = {"cache_size": _remote.DEFAULT_CACHE_SIZE, "max_requests": _remote.DEFAULT_MAX_REQUESTS,
                "timeout": _remote.DEFAULT_TIMEOUT, "retries": _remote.DEFAULT_RETRIES}
    given = {"cache_size": cache_size, "max_requests": max_requests, "timeout": timeout,
             "retries": retries}
    options.update({k: v for k, v in given.items() if v != defaults[k]})
    remote = _remote.remote_file(source, storage_options, max_requests=max_requests,
                                 timeout=timeout, retries=retries)
    seeds = remote.first_round_trip()
    siblings = None
    if isinstance(source, str):
        siblings = _sources.RemoteSiblings(source, storage_options, max_requests=max_requests,
                                           timeout=timeout, retries=retries)
    core = _core.open_fetch(remote.fetch, remote.size, remote.name, seeds,
                            options.get("tile_size") or 0, cache_size, siblings,
                            planes)
    return Slide(core, source, options, remote)


def _open_remote_dicom(source: str | list[str], options: dict[str, Any], dicom: dict[str, Any], *,
                       storage_options: dict[str, Any] | None, cache_size: int,
                       max_requests: int, timeout: float | None, retries: int) -> Slide:
    """A DICOM series read over the network: a folder URL (ending in "/"), an
    instance URL (.dcm) with the rest of its folder, or a list of instance URLs."""
    if storage_options:
        options["storage_options"] = dict(storage_options)

    def make(url: str) -> _remote.RemoteFile:
        return _remote.remote_file(url, storage_options, max_requests=max_requests,
                                   timeout=timeout, retries=retries)

    core = _dicom.open_remote(source, storage_options, dicom, make, cache_size)
    return Slide(core, source, options)


# Re-exported for `kolva/__init__.py`.
_ERRORS = (SlideError, TileNotFound)
