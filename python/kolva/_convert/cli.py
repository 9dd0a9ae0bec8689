"""`kolva convert`: slides to DICOM whole-slide images (see kolva.convert)."""
from __future__ import annotations

import argparse
import sys
from typing import Any, TextIO

from .._export.cli import add_sources, add_workers

USAGE = ("kolva convert [-h] (SOURCE... | --example) --out DEST [--levels all|0,1,...] "
         "[--tile-size N] [--decode-to native] [--set Keyword=Value]... [--attributes JSON] "
         "[--series|--channel|--focal-plane|--timepoint INDEX|NAME] [--workers N | --scheduler ADDRESS] [--overwrite] [--quiet]")


def register(subparsers: Any) -> None:
    from ..cli import add_plane_options

    p = subparsers.add_parser(
        "convert", usage=USAGE,
        help="write each slide as standard DICOM whole-slide images, tiles copied as stored",
        description="Write every SOURCE slide as a folder of DICOM VL Whole Slide Microscopy "
                    "Image files: one per level, with every stored tile as one frame byte "
                    "for byte, plus label, overview and thumbnail. Rerun the same command "
                    "after an interruption to write what is missing.")
    add_sources(p, "convert",
                "output folder, fsspec URL, or dicomweb+http://host/dicom-web (STOW-RS)")
    p.add_argument("--levels", default="all", metavar="all|0,1,...",
                   help="levels to write (default all)")
    p.add_argument("--tile-size", type=int, default=None, metavar="N",
                   help="tile edge for slides stored in strips (NDPI; default 512)")
    p.add_argument("--decode-to", choices=["native"], default=None,
                   help="write tiles of codecs DICOM lacks (LZW, Deflate, WebP ...) "
                        "uncompressed instead of refusing them")
    p.add_argument("--set", action="append", default=[], metavar="Keyword=Value",
                   dest="attributes", help="a DICOM attribute for every instance "
                   "(PatientID=123, StudyDescription=...); repeatable")
    p.add_argument("--attributes", default=None, metavar="JSON",
                   dest="attributes_file", help="a JSON object of attribute keyword -> value")
    add_plane_options(p, "convert")
    add_workers(p)
    p.add_argument("--overwrite", action="store_true", help="write every file again")
    p.add_argument("--deidentify", action="store_true",
                   help="no label or overview, and no identifying attribute (DICOM "
                        "Basic Application Level Confidentiality Profile)")
    p.add_argument("--quiet", action="store_true", help="print no summary and no progress bar")
    p.set_defaults(run=run)


def format_summary(summary: Any) -> str:
    lines = []
    for s in summary.slides:
        if s.error is not None:
            lines.append(f"{s.source}: failed: {s.error}")
            continue
        written = sum(1 for i in s.instances if i.written)
        lines.append(f"{s.source} -> {s.folder}: {len(s.instances)} instances "
                     f"({len(s.instances) - written} complete before this run)")
        for i in s.instances:
            notes = [n for n in (i.note, "decoded to uncompressed samples" if i.native else "")
                     if n]
            lines.append(f"  {i.filename:<16} {i.role:<9} {i.frames:>7} frames"
                         + (f"  {'; '.join(notes)}" if notes else ""))
        for why in s.notes:
            lines.append(f"  note: {why}")
    ok = len(summary.slides) - len(summary.failed)
    lines.append(f"{ok} slide{'s' if ok != 1 else ''} converted ({len(summary.failed)} "
                 f"failed) in {summary.seconds:.1f} s to {summary.dest}"
                 + (f", {summary.stored} instances stored" if summary.stored else ""))
    return "\n".join(lines)


def run(args: argparse.Namespace, muffler: Any, out: TextIO) -> int:
    from .. import example_path
    from ..cli import CliError, plane_choices

    try:
        from . import convert, parse_attributes
        attributes = parse_attributes(args.attributes, args.attributes_file)
    except ImportError as exc:
        raise CliError(f"convert needs pydicom ({exc}): pip install 'kolva[convert]'") from None
    except (ValueError, OSError) as exc:
        raise CliError(f"convert: {exc}") from None
    sources = ([str(example_path())] if args.example else []) + list(args.sources)
    if not sources:
        raise CliError("convert: give at least one SOURCE, or --example")
    try:
        summary = convert(sources, args.out, levels=args.levels, tile_size=args.tile_size,
                          decode_to=args.decode_to, attributes=attributes,
                          workers=args.workers, scheduler=args.scheduler,
                          overwrite=args.overwrite, progress=False if args.quiet else None,
                          deidentify=args.deidentify, planes=plane_choices(args))
    except (ValueError, OSError) as exc:
        raise CliError(f"convert: {exc}") from None
    if not args.quiet:
        out.write(format_summary(summary) + "\n")
    for s in summary.failed:
        sys.stderr.write(f"kolva: error: {s.source}: {s.error}\n")
    return 0 if summary.ok else 1
