"""`kolva export`: slides to WebDataset shards (see kolva.export)."""
from __future__ import annotations

import argparse
import sys
from typing import Any, TextIO

from . import ExportError, ExportSummary, export

USAGE = ("kolva export [-h] (SOURCE... | --example) --out DEST [--level N] [--tile-size N] "
         "[--min-bytes B|auto] [--shard-size SIZE] [--series|--channel|--focal-plane|"
         "--timepoint INDEX|NAME] [--workers N | --scheduler ADDRESS] [--overwrite] [--sync] "
         "[--quiet]")


def add_sources(p: argparse.ArgumentParser, verb: str, out_help: str) -> None:
    """The SOURCE slides, --example and --out DEST of a command over many slides."""
    p.add_argument("sources", nargs="*", metavar="SOURCE",
                   help="slide paths, folders of slides, globs, URLs, or .txt/.list files "
                        "naming them")
    p.add_argument("--example", action="store_true",
                   help=f"{verb} the example slide shipped with kolva")
    p.add_argument("--out", required=True, metavar="DEST", help=out_help)


def add_workers(p: argparse.ArgumentParser) -> None:
    """Where a command over many slides runs: --workers here or --scheduler on Dask."""
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=None, metavar="N",
                       help="worker processes on this machine (default: its cores)")
    where.add_argument("--scheduler", default=None, metavar="ADDRESS",
                       help="run on the Dask cluster at ADDRESS (tcp://host:8786)")


def register(subparsers: Any) -> None:
    from ..cli import add_plane_options

    p = subparsers.add_parser(
        "export", usage=USAGE,
        help="write every stored tile as WebDataset tar shards with an index and a manifest",
        description="Write every stored tile of a level of the SOURCE slides, still encoded, "
                    "as WebDataset tar shards in DEST, with a wids shard index "
                    "(index.wids.json) and a manifest (manifest.jsonl). Rerun the same "
                    "command after an interruption to complete the export.")
    add_sources(p, "export", "output folder or fsspec URL (s3://bucket/prefix)")
    p.add_argument("--level", type=int, default=0, metavar="N", help="pyramid level (default 0)")
    p.add_argument("--tile-size", type=int, default=None, metavar="N",
                   help="tile edge for slides stored in strips (NDPI)")
    p.add_argument("--min-bytes", default=None, metavar="B",
                   help="skip tiles stored in fewer bytes (4096, 8KB) or 'auto': a threshold "
                        "per slide from its tile sizes, to drop background")
    p.add_argument("--shard-size", default="1GB", metavar="SIZE",
                   help="bytes per shard, about (default 1GB)")
    add_plane_options(p, "export")
    add_workers(p)
    p.add_argument("--overwrite", action="store_true",
                   help="replace an export of other slides or options in DEST")
    p.add_argument("--sync", action="store_true", help="fsync every shard before it is renamed")
    p.add_argument("--deidentify", action="store_true",
                   help="open each slide de-identified (no label, macro or identifying property)")
    p.add_argument("--quiet", action="store_true", help="print no summary and no progress bar")
    p.set_defaults(run=run)


def _size(n: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} TB"  # pragma: no cover


# Slides listed one a line in the summary; a longer list shows its failed slides first.
SLIDE_LINES = 20


def format_summary(summary: ExportSummary) -> str:
    lines = []
    shown = summary.slides
    if len(shown) > SLIDE_LINES:
        first = {id(s) for s in ([s for s in shown if s.error is not None]
                                 + [s for s in shown if s.error is None])[:SLIDE_LINES]}
        shown = [s for s in shown if id(s) in first]
    width = max((len(s.source) for s in shown), default=5)
    width = min(max(width, 5), 60)
    lines.append(f"  {'slide':<{width}}  {'tiles':>8}  {'skipped':>8}  {'threshold':>9}  notes")
    for s in shown:
        name = s.source if len(s.source) <= width else "..." + s.source[-(width - 3):]
        if s.error is not None:
            lines.append(f"  {name:<{width}}  {'-':>8}  {'-':>8}  {'-':>9}  failed: {s.error}")
            continue
        notes = []
        if s.absent:
            notes.append(f"{s.absent} not stored")
        if s.unreadable:
            notes.append(f"{s.unreadable} unreadable")
        threshold = _size(s.threshold) if s.threshold else "-"
        lines.append(f"  {name:<{width}}  {s.samples:>8}  {s.skipped:>8}  {threshold:>9}  "
                     f"{', '.join(notes)}".rstrip())
    if len(shown) < len(summary.slides):
        lines.append(f"  ... and {len(summary.slides) - len(shown)} more slides")
    rate = summary.samples_written / summary.seconds if summary.seconds > 0 else 0.0
    ok_slides = len(summary.slides) - len(summary.failed)
    states = [f"{summary.shards_written} written"]
    if summary.shards_found:
        states.append(f"{summary.shards_found} complete before this run")
    if summary.shards_failed:
        states.append(f"{summary.shards_failed} failed")
    lines.append(
        f"{ok_slides} slide{'s' if ok_slides != 1 else ''} ({len(summary.failed)} failed), "
        f"{summary.samples} tiles ({summary.skipped} skipped) in {summary.shards} "
        f"shard{'s' if summary.shards != 1 else ''} ({', '.join(states)}); "
        f"{_size(summary.bytes_written)} written ({summary.samples_written} tiles, "
        f"{_size(summary.tile_bytes)} of tile bytes) in {summary.seconds:.1f} s "
        f"({rate:.0f} tiles/s) to {summary.dest}")
    for e in summary.shard_errors:
        lines.append(f"shard failed: {e}")
    if summary.shard_errors:
        lines.append("rerun the same command to write the missing shards")
    return "\n".join(lines)


def run(args: argparse.Namespace, muffler: Any, out: TextIO) -> int:
    from .. import example_path
    from ..cli import CliError, plane_choices

    sources = ([str(example_path())] if args.example else []) + list(args.sources)
    if not sources:
        raise CliError("export: give at least one SOURCE, or --example")
    try:
        summary = export(sources, args.out, level=args.level, tile_size=args.tile_size,
                         min_bytes=args.min_bytes, shard_size=args.shard_size,
                         workers=args.workers, scheduler=args.scheduler,
                         overwrite=args.overwrite, sync=args.sync,
                         progress=False if args.quiet else None,
                         deidentify=args.deidentify, planes=plane_choices(args))
    except (ExportError, ValueError, OSError) as exc:
        raise CliError(f"export: {exc}") from None
    if not args.quiet:
        out.write(format_summary(summary) + "\n")
    for s in summary.failed:
        sys.stderr.write(f"kolva: error: {s.source}: {s.error}\n")
    return 0 if summary.ok else 1
