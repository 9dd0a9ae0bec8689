"""The two kinds of work an export hands to its workers (this process, a process
pool or Dask workers): scanning one slide and writing one shard. Both take and
return small, picklable values; workers open the slides themselves."""
from __future__ import annotations

import json
import os
import tempfile
import uuid
from array import array
from dataclasses import dataclass
from typing import Any

from .._failures import one_line
from .._slide_cache import WORKER_MAX_OPEN, lease
from .._slide_cache import worker_slides as _slides  # noqa: F401 - the tests clear it
from .._sources import is_url, remote_fs, slide_key, slide_name
from .._media import extension
from .._tissue import select_by_size
from .plan import ShardPlan, SlideScan

STATE_DIR = ".kolva-export"  # beside the shards: per-shard manifests and the plan
MAX_OPEN_SLIDES = WORKER_MAX_OPEN
ARCHIVE_END = 1024  # the two zero blocks that close a tar archive


def scan_slide(source: str, level: int, min_bytes: int | str | None,
               open_options: dict[str, Any]) -> SlideScan:
    """Opens a slide and plans every tile of `level`: which are stored, their sizes,
    and which pass the size filter (an int, "auto", or None for all)."""
    scan = SlideScan(source=source, key=slide_key(source), name=slide_name(source), level=level)
    try:
        with lease(source, open_options) as slide:
            _plan_level(scan, slide, min_bytes)
    except Exception as exc:  # a slide that fails is reported; the others go on
        scan.error = one_line(exc)
    return scan


def _plan_level(scan: SlideScan, slide: Any, min_bytes: int | str | None) -> None:
    level = scan.level
    if not 0 <= level < slide.level_count:
        scan.error = (f"level {level} does not exist: the slide has {slide.level_count} "
                      f"level{'s' if slide.level_count != 1 else ''}")
        return
    lv = slide.levels[level]
    sizes = array("q")
    sizes.frombytes(slide.tile_sizes(level))
    scan.format = slide.format
    scan.media_type = lv.media_type
    scan.dimensions, scan.tile_size, scan.tile_grid = lv.dimensions, lv.tile_size, lv.tile_grid
    scan.downsample = lv.downsample
    scan.mpp = slide.mpp
    scan.grid_tiles = len(sizes)
    present = sum(1 for s in sizes if s >= 0)
    scan.absent = sizes.count(-1)
    scan.unreadable = len(sizes) - present - scan.absent
    scan.threshold, kept = select_by_size(sizes, min_bytes)
    scan.skipped = present - len(kept)
    scan.tiles = array("Q", [i for i, _ in kept]).tobytes()
    scan.sizes = array("q", [s for _, s in kept]).tobytes()
    head = b""
    if kept and lv.media_type == "image/jp2":
        try:
            head = slide.read_tile(level, kept[0][0] % lv.tile_grid[0], kept[0][0] // lv.tile_grid[0])[:8]
        except Exception:
            head = b""
    scan.extension = extension(lv.media_type, head)

    w0, h0 = slide.dimensions
    w, h = lv.dimensions
    level_mpp = None
    if scan.mpp is not None and w and h:
        level_mpp = [round(scan.mpp[0] * w0 / w, 9), round(scan.mpp[1] * h0 / h, 9)]
    fields = {"source": scan.source, "slide": scan.name, "slide_key": scan.key,
              "format": slide.format, "level": level, "downsample": lv.downsample,
              "media_type": lv.media_type, "mpp": list(scan.mpp) if scan.mpp else None,
              "level_mpp": level_mpp, "tile_size": list(lv.tile_size)}
    scan.json_fields = json.dumps(fields, ensure_ascii=True)[1:-1]
    scan.manifest_fields = json.dumps({"slide": scan.source, "level": level}, ensure_ascii=True)[1:-1]


@dataclass
class ShardDone:
    index: int
    name: str
    samples: int
    tile_bytes: int
    size: int
    per_slide: list[tuple[int, int]]  # (slide index, samples)
    error: str | None = None
    written: bool = True               # False: it was complete already


def shard_exists(dest: str, name: str, storage_options: dict[str, Any] | None) -> bool:
    if is_url(dest):
        fs, root = remote_fs(dest, storage_options)
        return bool(fs.exists(f"{root}/{name}"))
    return os.path.isfile(os.path.join(dest, name))


def _write_parts(path: str, shard: ShardPlan, scans: dict[int, SlideScan], tiles: list[bytes],
                 open_options: dict[str, Any], sync: bool) -> tuple[int, int, int, bytes]:
    """Writes the shard into `path` one piece (one slide's run of tiles) at a time,
    each with its slide leased for that piece alone; returns (samples, tile bytes,
    size, manifest) of the whole."""
    from .. import _core

    samples = tile_bytes = size = 0
    manifest: list[bytes] = []
    last = len(shard.pieces) - 1
    for k, (p, piece_tiles) in enumerate(zip(shard.pieces, tiles)):
        scan = scans[p.slide]
        start = max(size - ARCHIVE_END, 0)  # the last part's closing blocks are replaced
        with lease(scan.source, open_options) as slide:
            n, b, size, lines = slide.write_shard_part(
                path, shard.name, scan.level, piece_tiles, f"{scan.key}-l{scan.level}-",
                scan.extension, scan.json_fields, scan.manifest_fields, sync=sync and k == last,
                start=start)
        samples += n
        tile_bytes += b
        manifest.append(lines)
    if not shard.pieces:
        samples, tile_bytes, size, lines = _core.write_shard(path, shard.name, [], sync)
        manifest.append(lines)
    return samples, tile_bytes, size, b"".join(manifest)


def write_shard(shard: ShardPlan, scans: dict[int, SlideScan], tiles: list[bytes], dest: str,
                open_options: dict[str, Any], storage_options: dict[str, Any] | None,
                sync: bool) -> ShardDone:
    """Writes one shard under a temporary name, its manifest lines beside it, then
    renames the shard into place (a remote shard is uploaded whole, after its
    manifest). A shard that exists already is left as it is. `scans` holds the
    shard's slides (without their tile lists); `tiles[k]` the tiles of piece k."""
    remote = is_url(dest)
    per_slide = [(p.slide, p.stop - p.start) for p in shard.pieces]
    done = ShardDone(shard.index, shard.name, shard.samples, 0, 0, per_slide)
    try:
        if shard_exists(dest, shard.name, storage_options):
            done.written = False
            return done
        tag = uuid.uuid4().hex[:12]
        if remote:
            workdir = tempfile.mkdtemp(prefix="kolva-export-")
            tmp = os.path.join(workdir, shard.name)
        else:
            workdir = None
            tmp = os.path.join(dest, f".{shard.name}.{tag}.tmp")
        try:
            samples, tile_bytes, size, manifest = _write_parts(tmp, shard, scans, tiles,
                                                               open_options, sync)
            if samples != shard.samples:
                raise RuntimeError(f"{shard.name}: wrote {samples} samples, planned {shard.samples}")
            done.tile_bytes, done.size = tile_bytes, size
            manifest_name = f"{STATE_DIR}/{shard.name}.jsonl"
            if remote:
                fs, root = remote_fs(dest, storage_options)
                fs.pipe_file(f"{root}/{manifest_name}", manifest)
                fs.put_file(tmp, f"{root}/{shard.name}")
            else:
                mtmp = os.path.join(dest, STATE_DIR, f".{shard.name}.{tag}.tmp")
                with open(mtmp, "wb") as f:
                    f.write(manifest)
                    if sync:
                        f.flush()
                        os.fsync(f.fileno())
                os.replace(mtmp, os.path.join(dest, manifest_name))
                os.replace(tmp, os.path.join(dest, shard.name))
        finally:
            for leftover in (tmp,):
                try:
                    os.unlink(leftover)
                except OSError:
                    pass
            if workdir is not None:
                try:
                    os.rmdir(workdir)
                except OSError:
                    pass
    except Exception as exc:
        done.error = f"{shard.name}: {one_line(exc)}"
    return done
