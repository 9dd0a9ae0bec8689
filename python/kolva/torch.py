"""PyTorch datasets over the tiles of many slides (`pip install kolva[torch]`).

    from torch.utils.data import DataLoader
    from kolva.torch import TileDataset, collate

    ds = TileDataset("slides/*.svs", level=0, tiles="tissue", decode="cpu")
    for epoch in range(10):
        ds.set_epoch(epoch)
        for batch in DataLoader(ds, batch_size=64, num_workers=4, collate_fn=collate):
            batch["tile"]        # uint8 N x C x H x W (decoded) or the raw bytes, see collate
            batch["slide"], batch["x"], batch["y"], batch["mpp"]

The tiles are planned once, where the dataset is made: every slide is opened, its
tiles listed (for "tissue" by the size rule of `kolva export --min-bytes`, nothing
decoded) and closed again. The plan is a few NumPy arrays, so the dataset pickles
small into DataLoader workers, spawned or forked. Each worker opens the slides it
reads lazily and keeps at most `max_open` of them open.

Each epoch the tiles of every slide are shuffled and cut into read batches of
`batch_tiles` tiles, the read batches are shuffled across all slides, and the
sequence is split into equal contiguous shares, one per DataLoader worker of every
`torch.distributed` rank: every tile is read exactly once per epoch, and the order
is a function of `seed` and the epoch alone. A worker reads a batch with one
`Slide.read_tiles_into` call and yields the tiles of `mix` batches (from as many
slides) interleaved.
"""
from __future__ import annotations

import json
import math
import multiprocessing
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from functools import partial
from multiprocessing.context import get_spawning_popen
from typing import Any

import numpy as np
import torch
from torch.utils.data import Dataset, IterableDataset, get_worker_info

import kolva

from ._failures import one_line
from ._sources import expand_sources, slide_key
from ._media import media_facts
from ._slide_cache import SlideCache, open_slide

__all__ = ["SlideCache", "TileDataset", "TileIndex", "collate", "split_tiles"]



# ---------------------------------------------------------------------- planning

@dataclass(frozen=True)
class SlideLevel:
    """One level of one slide in a plan."""

    source: str
    level: int
    media_type: str
    mpp: tuple[float, float]  # micrometres per pixel at this level; nan when unknown
    key: str = ""             # the slide's name in export keys, convert folders, serve URLs


@dataclass
class TilePlan:
    """The tiles of many slides: `entry[i]` indexes `entries` (a slide and a level),
    `x[i]`, `y[i]` the tile. Grouped by entry, row-major within one."""

    entries: list[SlideLevel]
    entry: np.ndarray  # int32
    x: np.ndarray      # int32
    y: np.ndarray      # int32

    def __len__(self) -> int:
        return len(self.entry)


def _level_mpp(slide: kolva.Slide, level: int) -> tuple[float, float]:
    if slide.mpp is None:
        return (math.nan, math.nan)
    (w0, h0), (w, h) = slide.dimensions, slide.levels[level].dimensions
    return (slide.mpp[0] * (w0 / w), slide.mpp[1] * (h0 / h))


def plan_tiles(sources: Any, level: int = 0, tiles: str | Sequence[Sequence[Any]] = "tissue", *,
               min_bytes: int | str = "auto", open_options: dict[str, Any] | None = None,
               threads: int = 8) -> TilePlan:
    """Opens every slide of `sources` (paths, globs, URLs, list files, as `kolva
    export` takes them) and lists the tiles of `level`: "tissue" (the tiles the
    export's size filter keeps, `min_bytes`), "all" (every stored tile), or a list
    of (x, y) (the same tiles of every slide) or (source, x, y) tuples (`source`
    as named in `sources`, or its index)."""
    options = dict(open_options or {})
    expanded = expand_sources(sources, options.get("storage_options"))
    if not expanded:
        raise ValueError("no slides to read")
    chosen: dict[int, list[tuple[int, int]]] | None = None
    if not isinstance(tiles, str):
        chosen = {}
        index = {s: i for i, s in enumerate(expanded)}
        for item in tiles:
            if len(item) == 2:
                for i in range(len(expanded)):
                    chosen.setdefault(i, []).append((int(item[0]), int(item[1])))
                continue
            key = item[0]
            found = int(key) if isinstance(key, (int, np.integer)) else index.get(os.fspath(key))
            if found is None or not 0 <= found < len(expanded):
                raise ValueError(f"tile {tuple(item)}: no such slide among the sources")
            chosen.setdefault(found, []).append((int(item[1]), int(item[2])))
    elif tiles not in ("tissue", "all"):
        raise ValueError(f'tiles must be "tissue", "all" or a list of tiles, not {tiles!r}')
    def scan(i: int) -> tuple[SlideLevel, list[tuple[int, int]]]:
        with open_slide(expanded[i], options) as slide:
            if not 0 <= level < slide.level_count:
                raise kolva.TileNotFound(f"{expanded[i]}: level {level} does not exist: the "
                                         f"slide has {slide.level_count} levels")
            if chosen is not None:
                coords = chosen.get(i, [])
            else:
                coords = slide.tissue_tiles(level, min_bytes if tiles == "tissue" else None)
            entry = SlideLevel(expanded[i], level, slide.levels[level].media_type,
                               _level_mpp(slide, level), slide_key(expanded[i]))
            return entry, coords

    with ThreadPoolExecutor(max(1, min(threads, len(expanded)))) as pool:
        scanned = list(pool.map(scan, range(len(expanded))))
    counts = [len(c) for _, c in scanned]
    xy = np.array([p for _, c in scanned for p in c], np.int32).reshape(-1, 2)
    return TilePlan([e for e, _ in scanned],
                    np.repeat(np.arange(len(scanned), dtype=np.int32), counts),
                    np.ascontiguousarray(xy[:, 0]), np.ascontiguousarray(xy[:, 1]))


def export_options(manifest: str | os.PathLike[str]) -> dict[str, Any]:
    """The `kolva.open` options a `kolva export` opened its slides with (its
    `tile_size`), from the plan it keeps beside the manifest; {} when there is none."""
    path = os.fspath(manifest)
    folder = path if os.path.isdir(path) else os.path.dirname(path)
    try:
        with open(os.path.join(folder, ".kolva-export", "plan.json"), encoding="utf-8") as f:
            options = json.load(f).get("options", {})
    except (OSError, ValueError, AttributeError):
        return {}
    tile_size = options.get("tile_size") if isinstance(options, dict) else None
    return {"tile_size": int(tile_size)} if tile_size else {}


def plan_from_manifest(manifest: str | os.PathLike[str],
                       open_options: dict[str, Any] | None = None) -> TilePlan:
    """The tiles of a `kolva export` (its manifest.jsonl, or the folder holding it),
    in the manifest's order, read from the slides the export read, opened with
    `open_options` (default: as the export opened them, see `export_options`)."""
    path = os.fspath(manifest)
    if os.path.isdir(path):
        path = os.path.join(path, "manifest.jsonl")
    options = export_options(path) if open_options is None else dict(open_options)
    keys: dict[tuple[str, int], int] = {}
    entry, xs, ys = [], [], []
    try:
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                if not line.strip():
                    continue
                try:
                    rec = json.loads(line)
                    key = (str(rec["slide"]), int(rec["level"]))
                    x, y = int(rec["x"]), int(rec["y"])
                except (ValueError, KeyError, TypeError) as exc:
                    raise kolva.SourceError(f"{path}, line {number}: not a manifest line of "
                                            f"kolva export ({one_line(exc)})") from None
                entry.append(keys.setdefault(key, len(keys)))
                xs.append(x)
                ys.append(y)
    except OSError as exc:
        raise kolva.SourceError(f"{path}: cannot read the manifest: "
                                f"{exc.strerror or exc}") from None
    entries = []
    for source, level in keys:
        with open_slide(source, options) as slide:
            if not 0 <= level < slide.level_count:
                raise kolva.TileNotFound(f"{source}: level {level} does not exist: the "
                                         f"slide has {slide.level_count} levels")
            entries.append(SlideLevel(source, level, slide.levels[level].media_type,
                                      _level_mpp(slide, level), slide_key(source)))
    e = np.array(entry, np.int32)
    order = np.argsort(e, kind="stable")  # grouped by slide, manifest order within
    return TilePlan(entries, e[order], np.array(xs, np.int32)[order],
                    np.array(ys, np.int32)[order])


# ---------------------------------------------------------------------- decoding

class _CpuDecoder:
    """imagecodecs, one tile at a time, on the reading worker."""

    lazy = True

    def __init__(self) -> None:
        try:
            import imagecodecs
        except ImportError as exc:  # pragma: no cover - an extra of kolva[torch]
            raise RuntimeError('decode="cpu" needs imagecodecs (pip install kolva[torch])') from exc
        self._codecs = imagecodecs

    def __call__(self, media_type: str, data: Any) -> torch.Tensor:
        codec = media_facts(media_type).codec
        fn = getattr(self._codecs, f"{codec}_decode") if codec else self._codecs.imread
        return _chw(torch.from_numpy(np.ascontiguousarray(fn(data))))


def _chw(image: torch.Tensor) -> torch.Tensor:
    if image.ndim == 2:
        return image.unsqueeze(0)
    return image.permute(2, 0, 1)


class _CudaDecoder:
    """nvImageCodec's batch decoder, fed from one pinned host buffer; the images
    land on the tensors' device."""

    lazy = False

    def __init__(self, device: str | torch.device | None) -> None:
        if not torch.cuda.is_available():
            raise RuntimeError('decode="cuda" needs a CUDA device, and torch sees none '
                               f"(torch {torch.__version__}, built "
                               f"{'with' if torch.version.cuda else 'without'} CUDA)")
        try:
            from nvidia import nvimgcodec
        except ImportError as exc:
            raise RuntimeError('decode="cuda" needs nvImageCodec: '
                               "pip install nvidia-nvimgcodec-cu12") from exc
        self.device = torch.device(device if device is not None else "cuda")
        self._nvimgcodec = nvimgcodec
        self._decoder = nvimgcodec.Decoder(device_id=self.device.index or 0)

    def batch(self, streams: list[np.ndarray]) -> list[torch.Tensor]:
        try:
            images = self._decoder.decode(streams)  # views of the pinned buffer
        except TypeError:  # a version that takes bytes only
            images = self._decoder.decode([s.tobytes() for s in streams])
        # The decoder may still read the host buffer on its stream: done before reuse.
        torch.cuda.synchronize(self.device)
        out = []
        for image in images:
            if image is None:
                raise kolva.SlideError("nvImageCodec could not decode a tile")
            out.append(_chw(torch.as_tensor(image, device=self.device)))
        return out


def _decoder(decode: str | None, device: Any) -> Any:
    if decode is None:
        return None
    if decode == "cpu":
        return _CpuDecoder()
    if decode == "cuda":
        return _CudaDecoder(device)
    raise ValueError(f'decode must be None, "cpu" or "cuda", not {decode!r}')


# ---------------------------------------------------------------------- reading

class _Reader:
    """Reads tiles of a plan in batches grouped by slide and level, through one
    reused buffer (pinned when the tiles go to a GPU decoder)."""

    def __init__(self, plan: TilePlan, max_open: int, open_options: dict[str, Any],
                 decode: str | None, device: Any, threads: int | None) -> None:
        self.plan = plan
        # Each worker's open slides: least recently used idle one closed for room, none
        # closed while read (a reader holds one lease at a time, so never waits).
        self.cache: SlideCache[kolva.Slide] = SlideCache(
            max_open, partial(open_slide, options=dict(open_options)))
        self.decoder = _decoder(decode, device)
        self.threads = threads
        self._pinned = decode == "cuda"
        self._buffer = self._new_buffer(1 << 20)

    def _new_buffer(self, size: int) -> np.ndarray:
        if self._pinned:
            return torch.empty(size, dtype=torch.uint8, pin_memory=True).numpy()
        return np.empty(size, np.uint8)

    def read(self, indices: np.ndarray) -> list[tuple[int, Any]]:
        """(entry, tile) of plan tiles `indices`, all of one entry; the tile as bytes
        or, with a batch decoder, decoded."""
        plan = self.plan
        e = int(plan.entry[indices[0]])
        entry = plan.entries[e]
        coords = list(zip(plan.x[indices].tolist(), plan.y[indices].tolist()))
        with self.cache.lease(entry.source) as slide:
            try:
                offsets = slide.read_tiles_into(entry.level, coords, self._buffer,
                                                threads=self.threads)
            except ValueError:
                need = int(slide.tile_nbytes(entry.level, coords, threads=self.threads).sum())
                self._buffer = self._new_buffer(max(need, len(self._buffer) * 3 // 2))
                offsets = slide.read_tiles_into(entry.level, coords, self._buffer,
                                                threads=self.threads)
        bounds = offsets.tolist()
        buf = self._buffer
        if self.decoder is not None and not self.decoder.lazy:
            tiles = self.decoder.batch([buf[a:b] for a, b in zip(bounds[:-1], bounds[1:])])
            return [(e, t) for t in tiles]
        data = buf.data
        return [(e, bytes(data[a:b])) for a, b in zip(bounds[:-1], bounds[1:])]

    def item(self, index: int, entry: int, tile: Any,
             transform: Callable[[Any], Any] | None) -> dict[str, Any]:
        info = self.plan.entries[entry]
        if self.decoder is not None and self.decoder.lazy:
            tile = self.decoder(info.media_type, tile)
        if transform is not None:
            tile = transform(tile)
        return {"tile": tile, "slide": info.source, "slide_key": info.key, "level": info.level,
                "x": int(self.plan.x[index]), "y": int(self.plan.y[index]), "mpp": info.mpp}

    def close(self) -> None:
        self.cache.clear()  # the idle slides; the reader stays usable


def _runs(entries: np.ndarray, limit: int) -> list[slice]:
    """Cuts a sequence into runs of one entry, each of at most `limit` items."""
    if len(entries) == 0:
        return []
    starts = np.flatnonzero(np.diff(entries)) + 1
    bounds = np.concatenate([[0], starts, [len(entries)]]).tolist()
    out: list[slice] = []
    for a, b in zip(bounds[:-1], bounds[1:]):
        out.extend(slice(i, min(i + limit, b)) for i in range(a, b, limit))
    return out


def epoch_order(plan: TilePlan, *, shuffle: bool, seed: int, epoch: int,
                batch_tiles: int) -> np.ndarray:
    """Every plan index once: each slide's tiles shuffled and cut into runs of
    `batch_tiles`, the runs of all slides shuffled. Without `shuffle`, plan order."""
    n = len(plan)
    if not shuffle or n == 0:
        return np.arange(n)
    rng = np.random.default_rng([seed, epoch])
    within = np.lexsort((rng.random(n), plan.entry))
    grouped = plan.entry[within]
    starts = np.concatenate([[0], np.flatnonzero(np.diff(grouped)) + 1])
    position = np.arange(n) - np.repeat(starts, np.diff(np.concatenate([starts, [n]])))
    run = np.cumsum(position % batch_tiles == 0) - 1
    rank = rng.permutation(int(run[-1]) + 1)
    return within[np.argsort(rank[run], kind="stable")]


def _share(n: int, part: int, parts: int) -> slice:
    return slice(n * part // parts, n * (part + 1) // parts)


def _distributed(rank: int | None, world_size: int | None) -> tuple[int, int]:
    if rank is not None and world_size is not None:
        if not 0 <= rank < world_size:
            raise ValueError(f"rank {rank} is not below world_size {world_size}")
        return rank, world_size
    dist = torch.distributed
    if dist.is_available() and dist.is_initialized():
        return dist.get_rank(), dist.get_world_size()
    return 0, 1


# ---------------------------------------------------------------------- datasets

class _PlannedDataset:
    """What both datasets share: the plan, the open options and a reader made in
    each process that reads (not pickled)."""

    def _setup(self, sources: Any, level: int, tiles: Any, min_bytes: int | str,
               max_open: int, decode: str | None, transform: Callable[[Any], Any] | None,
               open_options: dict[str, Any] | None, device: Any, read_threads: int | None,
               plan: TilePlan | None = None) -> None:
        if max_open < 1:
            raise ValueError(f"max_open must be at least 1, not {max_open}")
        if decode == "cuda":
            _CudaDecoder(device)  # fails here, with the reason, when it cannot work
        elif decode not in (None, "cpu"):
            raise ValueError(f'decode must be None, "cpu" or "cuda", not {decode!r}')
        self.open_options = dict(open_options or {})
        self.plan = plan if plan is not None else plan_tiles(
            sources, level, tiles, min_bytes=min_bytes, open_options=self.open_options)
        self.max_open = max_open
        self.decode = decode
        self.device = device
        self.transform = transform
        self.read_threads = read_threads
        self._reader: _Reader | None = None

    def _get_reader(self) -> _Reader:
        if self._reader is None:
            threads = self.read_threads
            if threads is None and get_worker_info() is not None:
                threads = 1  # the workers are the parallelism
            self._reader = _Reader(self.plan, self.max_open, self.open_options, self.decode,
                                   self.device, threads)
        return self._reader

    @property
    def open_slides(self) -> SlideCache[kolva.Slide] | None:
        """This process's open slides (None before the first read)."""
        return self._reader.cache if self._reader is not None else None

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_reader"] = None
        return state

    def close(self) -> None:
        if self._reader is not None:
            self._reader.close()


class TileDataset(_PlannedDataset, IterableDataset[dict[str, Any]]):
    """The tiles of many slides, each exactly once per epoch across DataLoader workers
    and distributed ranks (see the module's documentation).

    sources: paths, globs, URLs and list files, as `kolva export` takes them.
    tiles: "tissue" (by stored size, `min_bytes`), "all", or a list of (x, y) or
        (source, x, y).
    batch_tiles: tiles of one slide read with one `read_tiles_into` call.
    mix: read batches whose tiles are interleaved (with `shuffle`).
    max_open: slides a worker keeps open (the least recently used is closed).
    decode: None (the tile's stored bytes), "cpu" (imagecodecs, on the worker; a
        C x H x W tensor, uint8 for 8-bit images) or "cuda" (nvImageCodec's batch
        decoder, onto `device`; read in the main process or in spawned workers).
    transform: applied to each tile (after decoding).
    rank, world_size: this process's share; by default torch.distributed's, when it
        is initialised. Shares differ by at most one tile.

    Each item is a dict: tile, slide (its source), slide_key (its name in export keys,
    convert folders and serve URLs), level, x, y, mpp (micrometres per
    pixel of the level, (x, y); nan when the file does not say). `set_epoch` must be
    called before an epoch's iteration starts; persistent workers see it too (the
    epoch lives in shared memory that workers inherit)."""

    def __new__(cls, *args: Any, patch_size: int | None = None, **kwargs: Any) -> Any:
        # Decoded patches of a chosen size and resolution (see kolva._patches).
        if patch_size is not None:
            from ._patches import PatchDataset
            return PatchDataset(*args, patch_size=patch_size, **kwargs)
        return super().__new__(cls)

    def __init__(self, sources: Any, level: int = 0, tiles: str | Sequence[Any] = "tissue",
                 shuffle: bool = True, seed: int = 0, batch_tiles: int = 256,
                 max_open: int = 64, decode: str | None = None,
                 transform: Callable[[Any], Any] | None = None, *,
                 min_bytes: int | str = "auto", mix: int = 8, rank: int | None = None,
                 world_size: int | None = None, open_options: dict[str, Any] | None = None,
                 device: Any = None, read_threads: int | None = None,
                 plan: TilePlan | None = None) -> None:
        super().__init__()
        if batch_tiles < 1 or mix < 1:
            raise ValueError("batch_tiles and mix must be at least 1")
        self._setup(sources, level, tiles, min_bytes, max_open, decode, transform,
                    open_options, device, read_threads, plan)
        self.shuffle = shuffle
        self.seed = seed
        self.batch_tiles = batch_tiles
        self.mix = mix
        self.rank, self.world_size = rank, world_size
        # Shared with the DataLoader's workers, persistent ones included; a plain
        # int wherever the dataset is pickled other than for starting a process.
        self._epoch: Any = multiprocessing.get_context().Value("q", 0, lock=False)

    @property
    def epoch(self) -> int:
        """The epoch whose order the next iteration follows (see `set_epoch`)."""
        value = self._epoch
        return int(value if isinstance(value, int) else value.value)

    def set_epoch(self, epoch: int) -> None:
        """Chooses the order of the next iteration, in this process and its workers."""
        if isinstance(self._epoch, int):
            self._epoch = epoch
        else:
            self._epoch.value = epoch

    def __getstate__(self) -> dict[str, Any]:
        state = super().__getstate__()
        if get_spawning_popen() is None:
            state["_epoch"] = self.epoch
        return state

    def __len__(self) -> int:
        rank, world = _distributed(self.rank, self.world_size)
        share = _share(len(self.plan), rank, world)
        return int(share.stop - share.start)

    def shard(self) -> np.ndarray:
        """The plan indices this process reads this epoch, in reading order."""
        rank, world = _distributed(self.rank, self.world_size)
        info = get_worker_info()
        workers, worker = (info.num_workers, info.id) if info is not None else (1, 0)
        order = epoch_order(self.plan, shuffle=self.shuffle, seed=self.seed, epoch=self.epoch,
                            batch_tiles=self.batch_tiles)
        return order[_share(len(order), rank * workers + worker, world * workers)]

    def __iter__(self) -> Iterator[dict[str, Any]]:
        mine = self.shard()
        reader = self._get_reader()
        runs = _runs(self.plan.entry[mine], self.batch_tiles)
        window = self.mix if self.shuffle else 1
        rng = np.random.default_rng([self.seed, self.epoch, len(mine), int(mine[:1].sum())])
        for w in range(0, len(runs), window):
            got: list[tuple[int, int, Any]] = []
            for run in runs[w:w + window]:
                indices = mine[run]
                got.extend((int(i), e, t) for i, (e, t) in zip(indices, reader.read(indices)))
            order = rng.permutation(len(got)) if self.shuffle else range(len(got))
            for k in order:
                index, entry, tile = got[k]
                yield reader.item(index, entry, tile, self.transform)


class TileIndex(_PlannedDataset, Dataset[dict[str, Any]]):
    """The tiles of many slides by integer index (map-style), planned as TileDataset
    plans them or taken from a `kolva export` manifest (`from_manifest`). A
    DataLoader's batch of indices is read with one `read_tiles_into` call per slide
    (`__getitems__`). Items as TileDataset's."""

    def __init__(self, sources: Any, level: int = 0, tiles: str | Sequence[Any] = "tissue", *,
                 max_open: int = 64, decode: str | None = None,
                 transform: Callable[[Any], Any] | None = None, min_bytes: int | str = "auto",
                 open_options: dict[str, Any] | None = None, device: Any = None,
                 read_threads: int | None = None, plan: TilePlan | None = None) -> None:
        self._setup(sources, level, tiles, min_bytes, max_open, decode, transform,
                    open_options, device, read_threads, plan)

    @classmethod
    def from_manifest(cls, manifest: str | os.PathLike[str], **kwargs: Any) -> TileIndex:
        """The tiles a `kolva export` wrote (its manifest.jsonl or its folder), read
        from the slides themselves, opened as the export opened them (its
        `tile_size`) plus `open_options`."""
        options = {**export_options(manifest), **(kwargs.pop("open_options", None) or {})}
        return cls(None, plan=plan_from_manifest(manifest, options), open_options=options,
                   **kwargs)

    def __len__(self) -> int:
        return len(self.plan)

    def tile(self, index: int) -> tuple[str, int, int, int]:
        """(source, level, x, y) of tile `index`."""
        entry = self.plan.entries[int(self.plan.entry[index])]
        return entry.source, entry.level, int(self.plan.x[index]), int(self.plan.y[index])

    def __getitem__(self, index: int) -> dict[str, Any]:
        return self.__getitems__([index])[0]

    def __getitems__(self, indices: Sequence[int]) -> list[dict[str, Any]]:
        n = len(self.plan)
        idx = np.asarray(indices, np.int64).reshape(-1)
        bad = (idx < -n) | (idx >= n)
        if bad.any():
            raise IndexError(f"tile index {int(idx[bad][0])} is out of range for {n} tiles")
        idx = idx % max(n, 1)
        reader = self._get_reader()
        by_entry = np.argsort(self.plan.entry[idx], kind="stable")
        out: list[dict[str, Any] | None] = [None] * len(idx)
        for run in _runs(self.plan.entry[idx[by_entry]], 1 << 30):
            positions = by_entry[run]
            for p, (e, tile) in zip(positions.tolist(), reader.read(idx[positions])):
                out[p] = reader.item(int(idx[p]), e, tile, self.transform)
        return out  # type: ignore[return-value]


# ---------------------------------------------------------------------- batches

def _batch_tensor(shape: tuple[int, ...], dtype: torch.dtype) -> torch.Tensor:
    """An empty tensor, in shared memory when made in a DataLoader worker (it then
    leaves the worker without a copy)."""
    if get_worker_info() is None:
        return torch.empty(shape, dtype=dtype)
    numel = math.prod(shape)
    storage = torch.UntypedStorage._new_shared(  # type: ignore[no-untyped-call]
        numel * dtype.itemsize)
    return torch.empty(0, dtype=dtype).set_(storage).view(shape)


def collate(items: Sequence[dict[str, Any]]) -> dict[str, Any]:
    """A DataLoader batch of dataset items, with the tiles in one tensor:

    * raw tiles: `tile`, a uint8 NumPy array of the tiles back to back, and
      `offsets` (N + 1, int64): one contiguous buffer for a batch decoder
      (`torch.from_numpy(batch["tile"]).pin_memory()` for a GPU one;
      `split_tiles(batch)` gives the tiles one by one). An array, not a tensor: it
      leaves a worker through the pipe, which costs less than a fresh shared-memory
      segment faulted in page by page (bench/bench_torch.py: 1.7 x the tiles per
      CPU second);
    * decoded tiles of one shape: `tile`, N x C x H x W, stored channels-last (the
      decoder's pixel order, so no transposing copy; `.contiguous()` makes it
      planar); of several shapes, a list.

    level, x, y (int64) and mpp (float64, N x 2) are NumPy arrays and slide and slide_key lists:
    they leave a worker pickled with the batch, cheaper than a tensor each (every
    tensor from a worker costs a shared-memory segment and a descriptor passed)."""
    tiles = [it["tile"] for it in items]
    out: dict[str, Any] = {
        "slide": [it["slide"] for it in items],
        "slide_key": [it.get("slide_key", "") for it in items],
        "level": np.fromiter((it["level"] for it in items), np.int64, len(items)),
        "x": np.fromiter((it["x"] for it in items), np.int64, len(items)),
        "y": np.fromiter((it["y"] for it in items), np.int64, len(items)),
        "mpp": np.array([it["mpp"] for it in items], np.float64).reshape(-1, 2),
    }
    if tiles and isinstance(tiles[0], (bytes, bytearray, memoryview)):
        offsets = np.zeros(len(tiles) + 1, np.int64)
        np.cumsum(np.fromiter((len(t) for t in tiles), np.int64, len(tiles)), out=offsets[1:])
        data = np.empty(int(offsets[-1]), np.uint8)
        view = data.data
        for t, a, b in zip(tiles, offsets[:-1].tolist(), offsets[1:].tolist()):
            view[a:b] = t
        out["tile"] = data
        out["offsets"] = offsets
    elif tiles and all(isinstance(t, torch.Tensor) and t.ndim == 3 for t in tiles) and \
            len({(tuple(t.shape), t.dtype) for t in tiles}) == 1:
        c, h, w = tiles[0].shape
        stacked = _batch_tensor((len(tiles), h, w, c), tiles[0].dtype)
        torch.stack([t.permute(1, 2, 0) for t in tiles], out=stacked)
        out["tile"] = stacked.permute(0, 3, 1, 2)
    else:
        out["tile"] = tiles
    return out


def split_tiles(batch: dict[str, Any]) -> list[memoryview]:
    """The raw tiles of a batch made by `collate`, one memoryview each."""
    data = np.asarray(batch["tile"], np.uint8).data
    bounds = np.asarray(batch["offsets"]).tolist()
    return [data[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
