"""`kolva.export`: slides to a WebDataset training set without decoding a pixel.

Every stored tile of the chosen level becomes one sample, `<key>.<ext>` (the tile's
bytes exactly as `Slide.read_tile` returns them) plus `<key>.json` (where it came
from), in tar shards `DEST/shard-000000.tar`, ... Beside the shards go
`index.wids.json` (the shard list with sample counts, as the wids random-access
reader takes it) and `manifest.jsonl` (one line per sample: key, shard, offset and
length of the tile's bytes in the shard, slide, level, x, y).

The work runs in two rounds: each slide is opened and its tiles planned (sizes
known without reading a tile, the size filter applied), then the samples are cut
into shards in source order and each shard is written by one task. The cut depends
only on the sources, the options and the slides, so a rerun after a crash or an
interrupt finds the same shards, skips the ones that are complete (a shard appears
under its name only once it is whole) and writes the rest.
"""
from __future__ import annotations

import json
import os
import shutil
import sys
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field, replace
from typing import Any

from .._sources import expand_sources, is_url, plane_options, remote_fs
from .._tissue import parse_size
from . import executors
from .plan import SHARD_PATTERN, ShardPlan, SlideScan, cut_shards, fingerprint
from .tasks import STATE_DIR, ShardDone, scan_slide, write_shard

__all__ = ["ExportSummary", "SlideReport", "export"]

INDEX_NAME = "index.wids.json"
MANIFEST_NAME = "manifest.jsonl"
PLAN_NAME = "plan.json"


@dataclass
class SlideReport:
    source: str
    samples: int = 0      # tiles exported
    skipped: int = 0      # below the size threshold
    absent: int = 0       # not stored in the file
    unreadable: int = 0   # bytes outside the file
    threshold: int = 0    # the size threshold applied (bytes)
    error: str | None = None


@dataclass
class ExportSummary:
    dest: str
    slides: list[SlideReport] = field(default_factory=list)
    shards: int = 0
    shards_written: int = 0   # this run
    shards_found: int = 0     # complete before this run (left as they were)
    samples: int = 0
    samples_written: int = 0  # in the shards written this run
    tile_bytes: int = 0       # tile bytes written this run
    bytes_written: int = 0    # shard bytes written this run
    seconds: float = 0.0
    shard_errors: list[str] = field(default_factory=list)  # one per failed shard

    @property
    def shards_failed(self) -> int:
        return len(self.shard_errors)

    @property
    def failed(self) -> list[SlideReport]:
        return [s for s in self.slides if s.error is not None]

    @property
    def skipped(self) -> int:
        return sum(s.skipped for s in self.slides)

    @property
    def ok(self) -> bool:
        return not self.failed and not self.shard_errors


# Local slides of fewer bytes than this in all are exported in this process by default.
SMALL_EXPORT = 256 * 1000**2


def _local_bytes(paths: list[str], limit: int) -> int:
    """The bytes of the slide files (counted up to `limit`); `limit` when a source is
    remote or cannot be measured."""
    total = 0
    for p in paths:
        try:
            if is_url(p):
                total += limit
            elif os.path.isdir(p):  # a DICOM folder
                total += sum(e.stat().st_size for e in os.scandir(p) if e.is_file())
            else:
                total += os.path.getsize(p)
        except OSError:
            total += 0  # reported as a failed slide later
        if total >= limit:
            return limit
    return total


class ExportError(Exception):
    """The export as a whole cannot go on (bad options, a DEST holding another export)."""


def _normalise_min_bytes(min_bytes: int | str | None) -> int | str | None:
    if min_bytes is None:
        return None
    if isinstance(min_bytes, str) and min_bytes.strip().lower() == "auto":
        return "auto"
    return parse_size(min_bytes, "min_bytes")


class _Dest:
    """The output place: a local directory or an fsspec URL."""

    def __init__(self, dest: str, storage_options: dict[str, Any] | None) -> None:
        self.dest = dest
        self.storage_options = storage_options
        self.remote = is_url(dest)
        if self.remote:
            self.fs, self.root = remote_fs(dest, storage_options)
        else:
            self.fs, self.root = None, dest

    def path(self, name: str) -> str:
        return f"{self.root}/{name}" if self.remote else os.path.join(self.root, name)

    def prepare(self) -> None:
        if self.remote:
            self.fs.makedirs(self.path(STATE_DIR), exist_ok=True)
        else:
            os.makedirs(self.path(STATE_DIR), exist_ok=True)

    def read_text(self, name: str) -> str | None:
        try:
            if self.remote:
                return str(self.fs.cat_file(self.path(name)).decode())
            with open(self.path(name), encoding="utf-8") as f:
                return f.read()
        except (FileNotFoundError, OSError):
            return None

    def write_bytes(self, name: str, data: bytes) -> None:
        """Writes a whole file; locally under a temporary name, renamed into place."""
        if self.remote:
            self.fs.pipe_file(self.path(name), data)
            return
        target = self.path(name)
        folder, base = os.path.split(target)
        tmp = os.path.join(folder, f".{base}.tmp")
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, self.path(name))

    def existing_shards(self) -> set[str]:
        if self.remote:
            try:
                names = self.fs.ls(self.root, detail=False)
            except FileNotFoundError:
                return set()
            return {n.rstrip("/").rsplit("/", 1)[-1] for n in names}
        try:
            return set(os.listdir(self.root))
        except FileNotFoundError:
            return set()

    def size(self, name: str) -> int:
        return int(self.fs.size(self.path(name))) if self.remote else os.path.getsize(self.path(name))

    def remove(self, name: str) -> None:
        try:
            if self.remote:
                self.fs.rm(self.path(name), recursive=True)
            elif os.path.isdir(self.path(name)):
                shutil.rmtree(self.path(name))
            else:
                os.unlink(self.path(name))
        except (FileNotFoundError, OSError):
            pass

    def concat_manifests(self, shards: list[ShardPlan]) -> None:
        """manifest.jsonl: the per-shard manifests, in shard order."""
        if self.remote:
            with self.fs.open(self.path(MANIFEST_NAME), "wb") as out:
                for s in shards:
                    out.write(self.fs.cat_file(self.path(f"{STATE_DIR}/{s.name}.jsonl")))
            return
        tmp = self.path(f".{MANIFEST_NAME}.tmp")
        with open(tmp, "wb") as out:
            for s in shards:
                with open(self.path(f"{STATE_DIR}/{s.name}.jsonl"), "rb") as part:
                    shutil.copyfileobj(part, out, 1 << 20)
        os.replace(tmp, self.path(MANIFEST_NAME))

    def clean_temporaries(self) -> None:
        if self.remote:
            return
        for folder in (self.root, self.path(STATE_DIR)):
            try:
                names = os.listdir(folder)
            except OSError:
                continue
            for n in names:
                if n.startswith(".") and n.endswith(".tmp"):
                    try:
                        os.unlink(os.path.join(folder, n))
                    except OSError:
                        pass


def _progress(enabled: bool, **kwargs: Any) -> Any:
    if not enabled:
        return None
    from tqdm import tqdm

    return tqdm(file=sys.stderr, dynamic_ncols=True, leave=False, **kwargs)


def export(sources: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
           out: str | os.PathLike[str], *, level: int = 0, tile_size: int | None = None,
           min_bytes: int | str | None = None, shard_size: int | str = "1GB",
           workers: int | None = None, scheduler: str | Any | None = None,
           storage_options: dict[str, Any] | None = None, overwrite: bool = False,
           sync: bool = False, progress: bool | None = None,
           on_shard: Callable[[ShardDone], None] | None = None,
           deidentify: bool = False,
           planes: dict[str, int | str] | None = None) -> ExportSummary:
    """Exports every stored tile of `level` of the slides in `sources` (paths, folders
    of slides, globs, URLs, or .txt/.list files naming them) as WebDataset shards in
    `out` (a folder or an fsspec URL such as s3://bucket/prefix).

    `min_bytes`: skip tiles stored in fewer bytes (an int or "64KB"), or "auto": a
    threshold per slide by Otsu's method on the log of its tile sizes (background
    tiles compress far better than tissue). `shard_size`: bytes per shard (about).
    `workers`: processes on this machine (default: its cores, or this process alone
    for local slides of less than 256 MB in all; 1 runs in this process);
    `scheduler`: a Dask scheduler address (tcp://host:8786) or a distributed.Client to
    run on instead. `tile_size` and `storage_options` go to `kolva.open` for each
    slide; `storage_options` also to fsspec for `out`. `overwrite`: replace what `out`
    holds from an export with other sources or options (otherwise an error). `sync`:
    fsync each shard before it is renamed into place. `progress`: a bar on standard
    error (default: when it is a terminal).

    Returns an ExportSummary; a slide that cannot be read is reported there (its
    error), and the others are exported. `deidentify`: each slide opened with
    `kolva.open(..., deidentify=True)`. `planes`: the image and plane exported of
    slides that hold several, as `kolva.open` takes them ({"channel": 1})."""
    started = time.perf_counter()
    if not isinstance(level, int) or level < 0:
        raise ValueError(f"level must be a level number (0 or more), not {level!r}")
    size_limit = parse_size(shard_size, "shard_size")
    if size_limit < 1:
        raise ValueError("shard_size must be at least 1 byte")
    min_bytes = _normalise_min_bytes(min_bytes)
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    open_options: dict[str, Any] = {}
    if tile_size is not None:
        open_options["tile_size"] = tile_size
    if storage_options:
        open_options["storage_options"] = storage_options
    if deidentify:
        open_options["deidentify"] = True
    chosen = plane_options(planes)
    open_options.update(chosen)
    dest_text = os.fspath(out)
    paths = expand_sources(sources, storage_options)
    if not paths:
        raise ValueError("no sources given")
    if progress is None:
        progress = sys.stderr.isatty()

    dest = _Dest(dest_text, storage_options)
    dest.prepare()
    summary = ExportSummary(dest=dest_text)
    if workers is None and scheduler is None:
        # Starting worker processes costs seconds: no more of them than slides, and
        # none for a few small local files, which this process reads in less time.
        workers = min(executors.machine_cores(), len(paths))
        if _local_bytes(paths, SMALL_EXPORT) < SMALL_EXPORT:
            workers = 1
    with executors.make(workers, scheduler) as pool:
        # Round 1: open and plan every slide.
        bar = _progress(progress, total=len(paths), unit="slide", desc="planning")
        scans: list[SlideScan] = [None] * len(paths)  # type: ignore[list-item]
        futures = {pool.submit(scan_slide, p, level, min_bytes, open_options): i
                   for i, p in enumerate(paths)}
        for fut in pool.as_completed(list(futures)):
            i = futures[fut]
            try:
                scans[i] = fut.result()
            except Exception as exc:  # the worker itself died, repeatedly
                scans[i] = SlideScan(source=paths[i], error=f"{type(exc).__name__}: {exc}")
            if bar is not None:
                bar.update(1)
        if bar is not None:
            bar.close()

        shards = cut_shards(scans, size_limit)
        options: dict[str, Any] = {"level": level, "tile_size": tile_size, "min_bytes": min_bytes,
                                   "shard_size": size_limit}
        if chosen:
            options["planes"] = chosen
        digest = fingerprint(scans, shards, options)
        _claim(dest, digest, shards, paths, options, overwrite)

        # Round 2: write the shards that are not complete yet.
        reports = [SlideReport(s.source, 0, s.skipped, s.absent, s.unreadable, s.threshold,
                               s.error) for s in scans]
        existing = dest.existing_shards()
        pending = [s for s in shards if s.name not in existing]
        summary.shards_found = len(shards) - len(pending)
        slide_left = [0] * len(scans)
        for s in pending:
            for p in s.pieces:
                slide_left[p.slide] += 1
        total_tiles = sum(s.samples for s in pending)
        bar = _progress(progress, total=total_tiles, unit="tile", desc="writing",
                        unit_scale=True)
        slides_pending = sum(1 for n in slide_left if n)
        slides_done = 0
        if bar is not None:
            bar.set_postfix_str(f"slides 0/{slides_pending}")
        light = [replace(s, tiles=b"", sizes=b"") for s in scans]
        futures2 = {}
        for s in pending:
            refs = {p.slide: light[p.slide] for p in s.pieces}
            tiles = [scans[p.slide].tiles[8 * p.start:8 * p.stop] for p in s.pieces]
            fut = pool.submit(write_shard, s, refs, tiles, dest_text, open_options,
                              storage_options, sync)
            futures2[fut] = s
        for fut in pool.as_completed(list(futures2)):
            shard = futures2[fut]
            try:
                done: ShardDone = fut.result()
            except Exception as exc:
                done = ShardDone(shard.index, shard.name, shard.samples, 0, 0, [],
                                 error=f"{shard.name}: {type(exc).__name__}: {exc}")
            if done.error:
                summary.shard_errors.append(done.error)
            elif not done.written:
                summary.shards_found += 1
            else:
                summary.shards_written += 1
                summary.samples_written += done.samples
                summary.tile_bytes += done.tile_bytes
                summary.bytes_written += done.size
            for p in shard.pieces:
                slide_left[p.slide] -= 1
                if slide_left[p.slide] == 0:
                    slides_done += 1
            if on_shard is not None:
                on_shard(done)
            if bar is not None:
                bar.update(shard.samples)
                bar.set_postfix_str(f"slides {slides_done}/{slides_pending}")
        if bar is not None:
            bar.close()

    for s in shards:
        for p in s.pieces:
            reports[p.slide].samples += p.stop - p.start
    summary.slides = reports
    summary.shards = len(shards)
    summary.samples = sum(s.samples for s in shards)
    if not summary.shard_errors:
        _finish(dest, shards)
    summary.seconds = time.perf_counter() - started
    return summary


def _claim(dest: _Dest, digest: str, shards: list[ShardPlan], paths: list[str],
           options: dict[str, Any], overwrite: bool) -> None:
    """Records the plan in DEST; refuses a DEST that holds shards of another plan."""
    plan_name = f"{STATE_DIR}/{PLAN_NAME}"
    previous = dest.read_text(plan_name)
    if previous is not None:
        try:
            old = json.loads(previous).get("fingerprint")
        except ValueError:
            old = None
        if old != digest:
            # A plan under which no shard was written (its slides all failed, say) is
            # replaced without asking: there is nothing to lose.
            if not overwrite and _holds_shards(dest):
                raise ExportError(
                    f"{dest.dest} holds an export of other slides or options; give a new "
                    "destination, or overwrite=True (--overwrite) to replace it")
            for name in dest.existing_shards():
                if name.startswith("shard-") and name.endswith(".tar"):
                    dest.remove(name)
            for name in (INDEX_NAME, MANIFEST_NAME, STATE_DIR):
                dest.remove(name)
            dest.prepare()
    elif _holds_shards(dest):
        if not overwrite:
            raise ExportError(f"{dest.dest} holds shards of an unknown export; give a new "
                              "destination, or overwrite=True (--overwrite) to replace them")
        for name in dest.existing_shards():
            if name.startswith("shard-") and name.endswith(".tar"):
                dest.remove(name)
    record = {"fingerprint": digest, "options": options, "sources": paths,
              "shards": [{"name": s.name, "samples": s.samples} for s in shards]}
    dest.write_bytes(plan_name, json.dumps(record, indent=1).encode())


def _holds_shards(dest: _Dest) -> bool:
    return any(n.startswith("shard-") and n.endswith(".tar") for n in dest.existing_shards())


def _finish(dest: _Dest, shards: list[ShardPlan]) -> None:
    """The index and the manifest, once every shard is in place."""
    name = os.path.basename(dest.root.rstrip("/")) or "kolva-export"
    if dest.remote:
        dest.fs.invalidate_cache()  # listings taken before the shards were written
    index = {"__kind__": "wids-shard-index-v1", "wids_version": 1, "name": name,
             "shardlist": [{"url": s.name, "nsamples": s.samples, "filesize": dest.size(s.name)}
                           for s in shards]}
    dest.concat_manifests(shards)
    dest.write_bytes(INDEX_NAME, (json.dumps(index, indent=1) + "\n").encode())
    dest.clean_temporaries()
