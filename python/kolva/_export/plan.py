"""What an export writes, decided before anything is written: the slides and their
order, each slide's tiles after the size filter, the keys, and the cut of the
samples into shards. Everything here is a function of the sources, the options and
the slides' contents, so a rerun finds the same shards."""
from __future__ import annotations

import glob
import hashlib
import json
import math
import os
import re
from array import array
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from .._media import extension as extension
from .._sources import is_url as is_url

SHARD_PATTERN = "shard-{:06d}.tar"
TAR_BLOCK = 512
# Size filters below this many tiles fall back to keeping every tile.
AUTO_MIN_TILES = 16
# The two classes Otsu's method finds must be this far apart (ratio of their
# geometric mean sizes) and explain this share of the variance of the log sizes,
# or the slide is taken to have no background (a unimodal spread gets split
# in two by Otsu's method all the same).
AUTO_MIN_RATIO = 3.0
AUTO_MIN_SEPARATION = 0.7
# The least spread (of the log sizes) taken for the background group.
AUTO_MIN_SPREAD = 0.05

_GLOB_CHARS = re.compile(r"[*?\[]")
_KEY_UNSAFE = re.compile(r"[^A-Za-z0-9_-]+")
_LIST_SUFFIXES = (".txt", ".list", ".lst")
_SIZE_UNITS = {"": 1, "b": 1, "k": 1000, "kb": 1000, "kib": 1024, "m": 1000**2, "mb": 1000**2,
               "mib": 1024**2, "g": 1000**3, "gb": 1000**3, "gib": 1024**3,
               "t": 1000**4, "tb": 1000**4, "tib": 1024**4}

def parse_size(text: str | int, what: str) -> int:
    """Bytes from 123, "123", "64KB", "1GB", "1.5GiB" (KB = 1000, KiB = 1024)."""
    if isinstance(text, bool):
        raise ValueError(f"{what} must be a size in bytes, not {text!r}")
    if isinstance(text, int):
        value = text
    else:
        m = re.fullmatch(r"\s*([0-9]+(?:\.[0-9]*)?)\s*([A-Za-z]*)\s*", str(text))
        unit = m.group(2).lower() if m else ""
        if not m or unit not in _SIZE_UNITS:
            raise ValueError(f"{what} must be a size such as 1GB, 64MiB or 4096, not {text!r}")
        value = int(float(m.group(1)) * _SIZE_UNITS[unit])
    if value < 0:
        raise ValueError(f"{what} must not be negative")
    return value


def expand_sources(sources: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                   storage_options: dict[str, Any] | None = None) -> list[str]:
    """Paths, globs, URLs and list files (.txt/.list/.lst: one source a line, `#`
    comments; relative entries are relative to the list) -> the slides, in order,
    each once. A glob that matches nothing is an error; so is a missing list."""
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    out: list[str] = []
    seen: set[str] = set()

    def add(item: str) -> None:
        same = item if is_url(item) else os.path.abspath(item)
        if same not in seen:
            seen.add(same)
            out.append(item)

    def visit(item: str, depth: int) -> None:
        if depth > 8:
            raise ValueError(f"{item}: list files nest too deeply")
        if is_url(item):
            if _GLOB_CHARS.search(item.split("://", 1)[1]):
                import fsspec

                fs, _, paths = fsspec.get_fs_token_paths(item, storage_options=storage_options)
                protocol = item.split("://", 1)[0]
                matches = sorted(paths)
                if not matches:
                    raise ValueError(f"{item}: no slide matches")
                for p in matches:
                    add(p if is_url(p) else f"{protocol}://{p}")
            else:
                add(item)
            return
        if _GLOB_CHARS.search(item) and not os.path.exists(item):
            matches = sorted(glob.glob(item, recursive=True))
            matches = [m for m in matches if os.path.isfile(m)]
            if not matches:
                raise ValueError(f"{item}: no slide matches")
            for m in matches:
                add(m)
            return
        if item.lower().endswith(_LIST_SUFFIXES):
            try:
                with open(item, encoding="utf-8") as f:
                    lines = f.read().splitlines()
            except OSError as exc:
                raise ValueError(f"{item}: cannot read the list: {exc.strerror or exc}") from None
            base = os.path.dirname(item)
            for line in lines:
                entry = line.strip()
                if not entry or entry.startswith("#"):
                    continue
                if not is_url(entry) and not os.path.isabs(entry):
                    entry = os.path.normpath(os.path.join(base, entry))
                visit(entry, depth + 1)
            return
        add(item)

    for s in sources:
        visit(os.fspath(s), 0)
    return out


def slide_name(source: str) -> str:
    """The file name of a source (path or URL), as given."""
    path = source.split("://", 1)[1] if is_url(source) else source
    path = path.split("?", 1)[0].rstrip("/")
    return path.rsplit("/", 1)[-1] or path


def slide_key(source: str) -> str:
    """A key part naming the slide: its file name without the extension, every run of
    characters other than letters, digits, '-' and '_' (dots included) made one '_',
    cut to 48 characters, then 10 hex digits of a hash of where the slide is (the
    absolute path, or the URL), so two files of one name in two folders differ."""
    where = source if is_url(source) else os.path.abspath(source)
    name = slide_name(source)
    stem = name.rsplit(".", 1)[0] if "." in name[1:] else name
    stem = _KEY_UNSAFE.sub("_", stem).strip("_")[:48] or "slide"
    digest = hashlib.sha1(where.encode("utf-8", "surrogateescape")).hexdigest()[:10]
    return f"{stem}-{digest}"


def tile_key(slide: str, level: int, x: int, y: int) -> str:
    """The sample key of a tile (the native writer builds the same)."""
    return f"{slide}-l{level}-x{x}-y{y}"


def otsu_threshold(sizes: Sequence[int], bins: int = 128) -> int:
    """The stored size below which a slide's tiles are background, by Otsu's method on
    the logarithm of the sizes; 0 (keep every tile) when the sizes do not fall into
    two clearly separate groups or there are too few of them."""
    if len(sizes) < AUTO_MIN_TILES:
        return 0
    logs = [math.log(max(int(s), 1)) for s in sizes]
    lo, hi = min(logs), max(logs)
    if hi - lo < math.log(AUTO_MIN_RATIO):
        return 0
    width = (hi - lo) / bins
    hist = [0] * bins
    sums = [0.0] * bins
    for v in logs:
        b = min(int((v - lo) / width), bins - 1)
        hist[b] += 1
        sums[b] += v
    n = len(logs)
    total = sum(sums)
    mean = total / n
    var_total = sum((v - mean) ** 2 for v in logs) / n
    best, best_b = -1.0, 0
    w0 = s0 = 0.0
    for b in range(bins - 1):
        w0 += hist[b]
        s0 += sums[b]
        w1 = n - w0
        if w0 == 0 or w1 == 0:
            continue
        m0, m1 = s0 / w0, (total - s0) / w1
        between = w0 * w1 * (m0 - m1) ** 2 / (n * n)
        if between > best:
            best, best_b = between, b
    if best <= 0 or var_total <= 0:
        return 0
    cut = lo + (best_b + 1) * width
    low = [v for v in logs if v < cut]
    high = [v for v in logs if v >= cut]
    if not low or not high:
        return 0
    low_mean = sum(low) / len(low)
    ratio = math.exp(sum(high) / len(high) - low_mean)
    if ratio < AUTO_MIN_RATIO or best / var_total < AUTO_MIN_SEPARATION:
        return 0
    # Background tiles vary little in size; tiles at the edge of the tissue, mostly
    # glass with some tissue, lie between the groups. Keep them: cut just above the
    # bulk of the background group (its median plus four robust deviations, from the
    # median absolute deviation) when that is below Otsu's cut.
    low.sort()
    median = low[len(low) // 2]
    mad = sorted(abs(v - median) for v in low)[len(low) // 2]
    spread = max(1.4826 * mad, AUTO_MIN_SPREAD)
    return int(math.ceil(math.exp(min(cut, median + 4 * spread))))


@dataclass
class SlideScan:
    """One slide as the export sees it: what opening and planning it found."""

    source: str
    key: str = ""
    name: str = ""
    level: int = 0
    error: str | None = None
    format: str = ""
    media_type: str = ""
    extension: str = ""
    dimensions: tuple[int, int] = (0, 0)
    tile_size: tuple[int, int] = (0, 0)
    tile_grid: tuple[int, int] = (0, 0)
    downsample: float = 1.0
    mpp: tuple[float, float] | None = None
    grid_tiles: int = 0
    absent: int = 0       # not stored in the file
    unreadable: int = 0   # their bytes lie outside the file
    skipped: int = 0      # below the size threshold
    threshold: int = 0
    tiles: bytes = b""    # selected tile indices, native uint64, row-major
    sizes: bytes = b""    # their stored sizes, native int64
    # The per-sample JSON fields and manifest fields (see the native writer).
    json_fields: str = ""
    manifest_fields: str = ""

    @property
    def selected(self) -> int:
        return len(self.tiles) // 8


@dataclass
class Piece:
    slide: int   # index into the scans
    start: int   # into the slide's selected tiles
    stop: int


@dataclass
class ShardPlan:
    index: int
    name: str
    pieces: list[Piece] = field(default_factory=list)
    samples: int = 0
    estimate: int = 0   # bytes, before writing


def sample_estimate(size: int) -> int:
    """Bytes a sample takes in a shard: two headers, the padded tile, a JSON block."""
    return 3 * TAR_BLOCK + -(-size // TAR_BLOCK) * TAR_BLOCK


def cut_shards(scans: Sequence[SlideScan], shard_size: int) -> list[ShardPlan]:
    """The samples of the readable slides, in source order and row-major within a
    slide, cut into shards of at most `shard_size` bytes each (a shard holds at least
    one sample). Shards span slides: a shard starts where the last one ended."""
    shards: list[ShardPlan] = []
    current = ShardPlan(0, SHARD_PATTERN.format(0))
    for i, scan in enumerate(scans):
        if scan.error is not None or not scan.tiles:
            continue
        sizes = array("q")
        sizes.frombytes(scan.sizes)
        start = 0
        for j, size in enumerate(sizes):
            need = sample_estimate(size)
            if current.samples and current.estimate + need > shard_size:
                if j > start:
                    current.pieces.append(Piece(i, start, j))
                shards.append(current)
                current = ShardPlan(len(shards), SHARD_PATTERN.format(len(shards)))
                start = j
            current.samples += 1
            current.estimate += need
        if len(sizes) > start:
            current.pieces.append(Piece(i, start, len(sizes)))
    if current.samples:
        shards.append(current)
    return shards


def fingerprint(scans: Sequence[SlideScan], shards: Sequence[ShardPlan],
                options: dict[str, Any]) -> str:
    """A digest of what the export writes: options, slides and the cut."""
    h = hashlib.sha256()
    h.update(json.dumps(options, sort_keys=True).encode())
    for scan in scans:
        h.update(json.dumps([scan.source, scan.key, scan.level, scan.error is None]).encode())
        h.update(scan.tiles)
    for s in shards:
        h.update(json.dumps([s.name, [(p.slide, p.start, p.stop) for p in s.pieces]]).encode())
    return h.hexdigest()
