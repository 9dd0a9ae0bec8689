"""The two kinds of work an export hands to its workers (this process, a process
pool or Dask workers): scanning one slide and writing one shard. Both take and
return small, picklable values; workers open the slides themselves."""
from __future__ import annotations

import json
import os
import tempfile
import uuid
from array import array
from collections import OrderedDict
from dataclasses import dataclass
from typing import Any

from .plan import ShardPlan, SlideScan, extension, is_url, select_by_size, slide_key, slide_name

STATE_DIR = ".kolva-export"  # beside the shards: per-shard manifests and the plan
_CACHE_LIMIT = 8
_opened: OrderedDict[tuple[str, str], Any] = OrderedDict()


def _open(source: str, options: dict[str, Any]) -> Any:
    """The slide at `source`, kept open for the next task of this process."""
    import kolva

    cache_key = (source, json.dumps(options, sort_keys=True, default=str))
    slide = _opened.get(cache_key)
    if slide is not None and not slide.closed:
        _opened.move_to_end(cache_key)
        return slide
    if not is_url(source):  # storage options are for remote sources only
        options = {k: v for k, v in options.items() if k != "storage_options"}
    slide = kolva.open(source, **options)
    _opened[cache_key] = slide
    while len(_opened) > _CACHE_LIMIT:
        _opened.popitem(last=False)[1].close()
    return slide


def _message(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    return " ".join(text.split())


def scan_slide(source: str, level: int, min_bytes: int | str | None,
               open_options: dict[str, Any]) -> SlideScan:
    """Opens a slide and plans every tile of `level`: which are stored, their sizes,
    and which pass the size filter (an int, "auto", or None for all)."""
    scan = SlideScan(source=source, key=slide_key(source), name=slide_name(source), level=level)
    try:
        slide = _open(source, open_options)
        if not 0 <= level < slide.level_count:
            scan.error = (f"level {level} does not exist: the slide has {slide.level_count} "
                          f"level{'s' if slide.level_count != 1 else ''}")
            return scan
        lv = slide.levels[level]
        sizes = array("q")
        sizes.frombytes(slide._core.tile_sizes(level))
    except Exception as exc:  # a slide that fails is reported; the others go on
        scan.error = _message(exc)
        return scan
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
    fields = {"source": source, "slide": scan.name, "slide_key": scan.key,
              "format": slide.format, "level": level, "downsample": lv.downsample,
              "media_type": lv.media_type, "mpp": list(scan.mpp) if scan.mpp else None,
              "level_mpp": level_mpp, "tile_size": list(lv.tile_size)}
    scan.json_fields = json.dumps(fields, ensure_ascii=True)[1:-1]
    scan.manifest_fields = json.dumps({"slide": source, "level": level}, ensure_ascii=True)[1:-1]
    return scan


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


def _remote_fs(dest: str, storage_options: dict[str, Any] | None) -> tuple[Any, str]:
    import fsspec

    fs, _, (root,) = fsspec.get_fs_token_paths(dest, storage_options=storage_options)
    return fs, root.rstrip("/")


def shard_exists(dest: str, name: str, storage_options: dict[str, Any] | None) -> bool:
    if is_url(dest):
        fs, root = _remote_fs(dest, storage_options)
        return bool(fs.exists(f"{root}/{name}"))
    return os.path.isfile(os.path.join(dest, name))


def write_shard(shard: ShardPlan, scans: dict[int, SlideScan], tiles: list[bytes], dest: str,
                open_options: dict[str, Any], storage_options: dict[str, Any] | None,
                sync: bool) -> ShardDone:
    """Writes one shard under a temporary name, its manifest lines beside it, then
    renames the shard into place (a remote shard is uploaded whole, after its
    manifest). A shard that exists already is left as it is. `scans` holds the
    shard's slides (without their tile lists); `tiles[k]` the tiles of piece k."""
    from .. import _core

    remote = is_url(dest)
    per_slide = [(p.slide, p.stop - p.start) for p in shard.pieces]
    done = ShardDone(shard.index, shard.name, shard.samples, 0, 0, per_slide)
    try:
        if shard_exists(dest, shard.name, storage_options):
            done.written = False
            return done
        pieces = []
        for p, piece_tiles in zip(shard.pieces, tiles):
            scan = scans[p.slide]
            slide = _open(scan.source, open_options)
            pieces.append((slide._core, scan.level, piece_tiles, f"{scan.key}-l{scan.level}-",
                           scan.extension, scan.json_fields, scan.manifest_fields))
        tag = uuid.uuid4().hex[:12]
        if remote:
            workdir = tempfile.mkdtemp(prefix="kolva-export-")
            tmp = os.path.join(workdir, shard.name)
        else:
            workdir = None
            tmp = os.path.join(dest, f".{shard.name}.{tag}.tmp")
        try:
            samples, tile_bytes, size, manifest = _core.write_shard(tmp, shard.name, pieces, sync)
            if samples != shard.samples:
                raise RuntimeError(f"{shard.name}: wrote {samples} samples, planned {shard.samples}")
            done.tile_bytes, done.size = tile_bytes, size
            manifest_name = f"{STATE_DIR}/{shard.name}.jsonl"
            if remote:
                fs, root = _remote_fs(dest, storage_options)
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
        done.error = f"{shard.name}: {_message(exc)}"
    return done
