"""What an export writes, decided before anything is written: the slides and their
order, each slide's tiles after the size filter, the keys, and the cut of the
samples into shards. Everything here is a function of the sources, the options and
the slides' contents, so a rerun finds the same shards."""
from __future__ import annotations

import hashlib
import json
from array import array
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from .._media import extension as extension
from .._sources import expand_sources as expand_sources
from .._sources import is_url as is_url
from .._sources import slide_key as slide_key
from .._sources import slide_name as slide_name
from .._tissue import otsu_threshold as otsu_threshold
from .._tissue import parse_size as parse_size
from .._tissue import select_by_size as select_by_size

SHARD_PATTERN = "shard-{:06d}.tar"
TAR_BLOCK = 512


def tile_key(slide: str, level: int, x: int, y: int) -> str:
    """The sample key of a tile (the native writer builds the same)."""
    return f"{slide}-l{level}-x{x}-y{y}"


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
