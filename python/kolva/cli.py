"""The `kolva` command line: look inside a slide and dump its stored tiles.

    kolva info SLIDE... [--json]
    kolva info --example
    kolva extract SLIDE OUTDIR [--level N]...
    kolva extract --example OUTDIR

`info` prints what each slide says about itself (format, pixel size, objective
power, associated images) and its pyramid (level sizes, downsamples, tile sizes,
tile grids, the media type and encoding of the stored tiles); `extract` writes
every stored tile as a file, exactly the bytes `Slide.read_tile` hands out.
`--example` stands for the small Aperio slide that ships with the package.

Both commands open slides with `kolva.open`; a failure is reported as one
`kolva: error: ...` line carrying the `kolva.SlideError` message.
"""
from __future__ import annotations

import argparse
import importlib
import io
import json
import os
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, TextIO

from . import SlideError, TileNotFound, __version__, example_path
from . import open as open_slide
from ._media import extension as _extension
from ._slide import Slide as ApiSlide
from ._sources import PLANE_AXES

PROG = "kolva"

# Modules that add a sub-command each (see build_parser).
COMMAND_MODULES: tuple[str, ...] = ("kolva._export.cli", "kolva.serve", "kolva._convert.cli")

# How many tiles of a level `info` tries, in row-major order, before it gives up on
# naming the level's encoding (sparse levels may have absent tiles up front).
SNIFF_ATTEMPTS = 64

# Tiles `extract` reads per `read_tiles` call.
BATCH = 256

# Leading bytes -> (machine name, label for the table, file extension).
_SIGNATURES: tuple[tuple[bytes, str, str, str], ...] = (
    (b"\xff\xd8", "jpeg", "JPEG", ".jpg"),
    (b"\xff\x4f\xff\x51", "jpeg2000", "JPEG 2000 codestream", ".j2k"),
    (b"\x00\x00\x00\x0c\x6a\x50", "jp2", "JP2", ".jp2"),
    (b"BM", "bmp", "BMP", ".bmp"),
)
_UNKNOWN = ("unknown", "unknown", ".bin")
_LABELS = {name: label for _, name, label, _ in _SIGNATURES} | {"unknown": "unknown"}

def sniff(data: bytes) -> tuple[str, str]:
    """(encoding name, file extension) of a tile from its leading bytes."""
    for magic, name, _, ext in _SIGNATURES:
        if data.startswith(magic):
            return name, ext
    return _UNKNOWN[0], _UNKNOWN[2]


def extension(media_type: str) -> str:
    """File extension for tiles of `media_type`."""
    return "." + _extension(media_type)


class CliError(Exception):
    """A failure reported as one `kolva: error: ...` line and exit status 1."""


# --------------------------------------------------------------------------- module calls
class _Muffler:
    """Silences what native code writes around one call: diagnostic lines on
    standard output or error that would otherwise mix with the command's own output.

    They may go through `sys.stderr` or straight to file descriptors 1 and 2, so the
    streams and the descriptors are redirected for the duration of the call. What
    arrived through `sys.stderr` is kept in `text` (used when an exception carries no
    message)."""

    def __init__(self) -> None:
        self._devnull_fd: int | None = None
        self.text = ""

    @contextmanager
    def __call__(self) -> Iterator[None]:
        saved_stream = sys.stderr
        buffer = io.StringIO()
        saved_out = self._redirect_fd(1, sys.stdout)
        saved_err = self._redirect_fd(2, sys.stderr)
        sys.stderr = buffer
        try:
            yield
        finally:
            sys.stderr = saved_stream
            for fd, saved in ((1, saved_out), (2, saved_err)):
                if saved is not None:
                    os.dup2(saved, fd)
                    os.close(saved)
            self.text = buffer.getvalue()

    def _redirect_fd(self, fd: int, stream: Any) -> int | None:
        try:
            if stream is not None:
                stream.flush()
            if self._devnull_fd is None:
                self._devnull_fd = os.open(os.devnull, os.O_WRONLY)
            saved = os.dup(fd)
        except (OSError, ValueError):  # no such descriptor (closed), or stream closed
            return None
        os.dup2(self._devnull_fd, fd)
        return saved

    def close(self) -> None:
        if self._devnull_fd is not None:
            os.close(self._devnull_fd)
            self._devnull_fd = None


def _message(exc: BaseException, fallback: str = "") -> str:
    """The failure message on one line."""
    text = str(exc.args[0]) if len(exc.args) == 1 else str(exc)
    text = text or fallback.strip() or type(exc).__name__
    return " ".join(text.split())


class Slide:
    """A slide opened with `kolva.open` for the commands: a failure to open is a
    CliError carrying the API's message, and absent or unreadable tiles read as None."""

    def __init__(self, path: str, muffler: _Muffler, tile_size: int | None = None,
                 planes: dict[str, Any] | None = None) -> None:
        self.path = path
        self._muffle = muffler
        try:
            with muffler():
                self.slide: ApiSlide = open_slide(path, tile_size=tile_size, **(planes or {}))
        except SlideError as exc:
            raise CliError(_message(exc, muffler.text)) from None
        except (OSError, ValueError, TypeError) as exc:  # e.g. a path that is not UTF-8
            raise CliError(f"cannot open {path}: {_message(exc)}") from None
        self.level_count: int = self.slide.level_count
        self.level_dimensions = list(self.slide.level_dimensions)
        self.level_tile_sizes = [lv.tile_size for lv in self.slide.levels]

    def grid(self, level: int) -> tuple[int, int]:
        """(tiles across, tiles down) of a level."""
        return self.slide.levels[level].tile_grid

    def read(self, level: int, x: int, y: int) -> bytes | None:
        """The tile's stored bytes, or None when it is absent or can't be read."""
        try:
            with self._muffle():
                return self.slide.read_tile(level, x, y)
        except SlideError:
            return None

    def read_batch(self, level: int, coords: list[tuple[int, int]]
                   ) -> list[bytes | None | SlideError]:
        """The tiles at `coords`: one `read_tiles` call, and tile by tile only when
        that fails; None for a tile the file does not store, the error for one that
        cannot be read."""
        try:
            with self._muffle():
                return list(self.slide.read_tiles(level, coords))
        except SlideError:
            pass
        out: list[bytes | None | SlideError] = []
        for x, y in coords:
            try:
                with self._muffle():
                    out.append(self.slide.read_tile(level, x, y))
            except TileNotFound:
                out.append(None)
            except SlideError as exc:
                out.append(exc)
        return out

    def close(self) -> None:
        self.slide.close()

    def __enter__(self) -> Slide:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# --------------------------------------------------------------------------- info
@dataclass
class LevelInfo:
    level: int
    width: int
    height: int
    tile_width: int
    tile_height: int
    tiles_across: int
    tiles_down: int
    encoding: str | None  # None: no tile among the first SNIFF_ATTEMPTS could be read
    media_type: str = ""
    downsample: float = 1.0
    positioned: bool = False
    # A positioned level's tile rectangles, [x, y, width, height] per tile row by
    # row (null: not stored); None for a plain grid.
    tile_rects: list[list[float] | None] | None = None


@dataclass
class AssociatedInfo:
    name: str
    media_type: str
    width: int
    height: int
    size_bytes: int  # length of the encoded image


@dataclass
class SlideInfo:
    path: str
    level_count: int
    levels: list[LevelInfo]
    format: str = ""
    vendor: str | None = None
    mpp: list[float] | None = None  # [x, y] micrometres per pixel at level 0
    objective_power: float | None = None
    associated: list[AssociatedInfo] = field(default_factory=list)
    # What the file holds along each plane axis, and the entry shown
    planes: dict[str, list[Any]] = field(default_factory=dict)
    plane: dict[str, Any] = field(default_factory=dict)


def describe(opened: Slide) -> SlideInfo:
    slide = opened.slide
    levels = []
    summary = slide.summary()
    for lv in slide.levels:
        across, down = lv.tile_grid
        encoding = None
        for i in range(min(across * down, SNIFF_ATTEMPTS)):
            data = opened.read(lv.index, i % across, i // across)
            if data is not None:
                encoding = sniff(data)[0]
                break
        levels.append(LevelInfo(lv.index, *lv.dimensions, *lv.tile_size, across, down,
                                encoding, lv.media_type, lv.downsample, lv.positioned,
                                summary["levels"][lv.index].get("tile_rects")))
    associated = []
    images = slide.associated_images
    for name in images:
        try:
            image = images[name]
        except SlideError:
            continue
        associated.append(AssociatedInfo(name, image.media_type, *image.dimensions,
                                         len(image.data)))
    return SlideInfo(opened.path, slide.level_count, levels, slide.format,
                     summary["vendor"], summary["mpp"], summary["objective_power"] or None,
                     associated, slide.planes, slide.plane)


def _number(value: float) -> str:
    return f"{value:.6g}"


def format_table(info: SlideInfo) -> str:
    header = ("level", "size", "tile", "tiles (across x down)", "downsample", "media type",
              "encoding")
    rows = [(str(lv.level), f"{lv.width} x {lv.height}", f"{lv.tile_width} x {lv.tile_height}",
             f"{lv.tiles_across} x {lv.tiles_down}", _number(lv.downsample), lv.media_type,
             _LABELS[lv.encoding] if lv.encoding else "none readable")
            for lv in info.levels]
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    right = (True, True, True, True, True, False, False)

    def line(cells: Sequence[str]) -> str:
        return "  " + "  ".join(c.rjust(w) if r else c.ljust(w)
                                for c, w, r in zip(cells, widths, right)).rstrip()

    plural = "level" if info.level_count == 1 else "levels"
    mpp = (f"{_number(info.mpp[0])} x {_number(info.mpp[1])} \u00b5m per pixel"
           if info.mpp else "not stated")
    power = f"{_number(info.objective_power)}x" if info.objective_power else "not stated"
    lines = [f"{info.path}: {info.level_count} {plural}",
             f"  format: {info.format}"
             + (f" ({info.vendor})" if info.vendor and info.vendor != info.format else ""),
             f"  pixel size: {mpp}",
             f"  objective power: {power}",
             line(header), *(line(r) for r in rows)]
    positioned = [str(lv.level) for lv in info.levels if lv.positioned]
    if positioned:
        lines.append(f"  positioned levels: {', '.join(positioned)} (tiles at recorded "
                     f"rectangles; --json lists them)")
    if info.associated:
        lines.append("  associated images:")
        name_width = max(len(a.name) for a in info.associated)
        type_width = max(len(a.media_type) for a in info.associated)
        lines += [f"    {a.name.ljust(name_width)}  {a.media_type.ljust(type_width)}  "
                  f"{a.width} x {a.height}, {a.size_bytes} bytes" for a in info.associated]
    else:
        lines.append("  associated images: none")
    several = {axis: entries for axis, entries in info.planes.items() if len(entries) > 1}
    if several:
        lines.append("  planes:")
        width = max(len(axis) for axis in several)
        for axis, entries in several.items():
            shown = ", ".join(f"[{e}]" if e == info.plane.get(axis) else str(e) for e in entries)
            lines.append(f"    {axis.ljust(width)}  {len(entries)}: {shown}")
    return "\n".join(lines)


def _info_json(info: SlideInfo) -> dict[str, Any]:
    """`kolva info --json` of one slide: positioned levels add `positioned` and their
    `tile_rects`; plain grids say nothing of them."""
    out = asdict(info)
    for level in out["levels"]:
        if not level["positioned"]:
            del level["positioned"], level["tile_rects"]
    return out


def add_plane_options(parser: argparse.ArgumentParser, verb: str) -> None:
    """--series, --channel, --focal-plane and --timepoint of a command that opens slides
    (read back with `plane_choices`)."""
    for axis in PLANE_AXES:
        parser.add_argument(f"--{axis.replace('_', '-')}", metavar="INDEX|NAME", dest=axis,
                            help=f"{verb} this {axis.replace('_', ' ')} of a file that holds "
                            "several (an index or a name)")


def plane_choices(args: argparse.Namespace) -> dict[str, Any]:
    """The plane options given, as `kolva.open` takes them: an index when all digits."""
    out: dict[str, Any] = {}
    for axis in PLANE_AXES:
        value = getattr(args, axis, None)
        if value is not None:
            out[axis] = int(value) if value.isdigit() else value
    return out


def cmd_info(args: argparse.Namespace, muffler: _Muffler, out: TextIO) -> int:
    paths = ([str(example_path())] if args.example else []) + list(args.slides)
    if not paths:
        raise CliError("info: give at least one SLIDE, or --example")
    infos, failed = [], 0
    for path in paths:
        try:
            with Slide(path, muffler, args.tile_size, plane_choices(args)) as slide:
                info = describe(slide)
        except CliError as exc:
            _error(str(exc))
            failed += 1
            continue
        infos.append(info)
        if not args.json:
            if len(infos) > 1:
                out.write("\n")
            out.write(format_table(info) + "\n")
    if args.json and infos:
        json.dump([_info_json(i) for i in infos], out, indent=2)
        out.write("\n")
    return 1 if failed else 0


# --------------------------------------------------------------------------- extract
def _progress(total: int, enabled: bool) -> Any:
    """A tqdm bar on standard error, or None."""
    if not enabled:
        return None
    from tqdm import tqdm

    return tqdm(total=total, unit="tile", file=sys.stderr, dynamic_ncols=True, leave=False)


def cmd_extract(args: argparse.Namespace, muffler: _Muffler, out: TextIO) -> int:
    expected = 1 if args.example else 2
    if len(args.paths) != expected:
        raise CliError("extract: give SLIDE OUTDIR, or --example OUTDIR")
    source = str(example_path()) if args.example else args.paths[0]
    outdir = Path(args.paths[-1])
    with Slide(source, muffler) as opened:
        slide = opened.slide
        count = slide.level_count
        levels = sorted(set(args.level)) if args.level else list(range(count))
        for n in levels:
            if not 0 <= n < count:
                raise CliError(f"level {n} does not exist: {source} has {count} "
                               f"level{'s' if count != 1 else ''} (0-{count - 1})")
        total = sum(a * d for a, d in (slide.levels[n].tile_grid for n in levels))
        written = skipped = failed = nbytes = 0
        first_failure = ""
        bar = _progress(total, sys.stderr.isatty())
        start = time.perf_counter()
        try:
            for n in levels:
                level = slide.levels[n]
                across, down = level.tile_grid
                ext = extension(level.media_type)
                folder = outdir / str(n)
                try:
                    folder.mkdir(parents=True, exist_ok=True)
                except OSError as exc:
                    raise CliError(f"cannot create {folder}: {exc.strerror or exc}") from None
                coords = [(x, y) for y in range(down) for x in range(across)]
                for i in range(0, len(coords), BATCH):
                    batch = coords[i:i + BATCH]
                    tiles = opened.read_batch(n, batch)
                    for (x, y), data in zip(batch, tiles):
                        if data is None:
                            skipped += 1
                            continue
                        if isinstance(data, SlideError):
                            failed += 1
                            first_failure = first_failure or _message(data)
                            continue
                        target = folder / f"{x}_{y}{ext}"
                        try:
                            target.write_bytes(data)
                        except OSError as exc:
                            raise CliError(f"cannot write {target}: "
                                           f"{exc.strerror or exc}") from None
                        written += 1
                        nbytes += len(data)
                    if bar is not None:
                        bar.update(len(batch))
        finally:
            if bar is not None:
                bar.close()
    seconds = time.perf_counter() - start
    rate = written / seconds if seconds > 0 else 0.0
    out.write(f"wrote {written} tiles ({skipped} skipped), {nbytes / 1e6:.1f} MB "
              f"in {seconds:.2f} s, {rate:.0f} tiles/s\n")
    if failed:
        sys.stderr.write(f"kolva extract: {failed} tile{'s' if failed != 1 else ''} could not "
                         f"be read (the first: {first_failure})\n")
        return 1
    return 0


# --------------------------------------------------------------------------- entry point
class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        self.print_usage(sys.stderr)
        _error(message)
        sys.exit(2)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Look inside whole-slide images and dump "
                     "their stored, still-encoded tiles.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    info = sub.add_parser("info", help="format, pixel size, objective power, associated "
                          "images, and levels with their tiling and tile encodings",
                          usage=f"{PROG} info [-h] [--json] (SLIDE... | --example)")
    info.add_argument("slides", nargs="*", metavar="SLIDE", help="slide files")
    info.add_argument("--example", action="store_true",
                      help="describe the example slide shipped with kolva")
    info.add_argument("--tile-size", type=int, metavar="N",
                      help="cut NDPI levels into N x N tiles (a multiple of the JPEG MCU size)")
    info.add_argument("--json", action="store_true",
                      help="print a JSON list instead of tables")
    add_plane_options(info, "describe")
    info.set_defaults(run=cmd_info)

    ext = sub.add_parser("extract", help="write every stored tile to OUTDIR/<level>/<x>_<y>.<ext>",
                         usage=f"{PROG} extract [-h] (SLIDE | --example) OUTDIR [--level N]...")
    ext.add_argument("paths", nargs="+", metavar="SLIDE OUTDIR",
                     help="the slide and the output directory (only OUTDIR with --example)")
    ext.add_argument("--example", action="store_true",
                     help="extract the example slide shipped with kolva")
    ext.add_argument("--level", type=int, action="append", default=[], metavar="N",
                     help="extract level N only; repeat for several (default: all levels)")
    ext.set_defaults(run=cmd_extract)

    # Larger commands live in their own modules: each has `register(subparsers)`,
    # which adds its parser with `set_defaults(run=...)`; `run(args, muffler, out)`
    # returns the exit status.
    for name in COMMAND_MODULES:
        importlib.import_module(name).register(sub)
    return parser


def _error(message: str) -> None:
    sys.stderr.write(f"{PROG}: error: {message}\n")
    sys.stderr.flush()


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); return the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version, usage errors
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    muffler = _Muffler()
    try:
        status: int = args.run(args, muffler, sys.stdout)
        sys.stdout.flush()
        return status
    except CliError as exc:
        _error(str(exc))
        return 1
    except KeyboardInterrupt:
        _error("interrupted")
        return 130
    except BrokenPipeError:  # e.g. `kolva info ... | head`: stop quietly
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
        except (OSError, ValueError, io.UnsupportedOperation):
            pass
        return 1
    except Exception as exc:  # noqa: BLE001 - a server or a file failed in a way no command foresaw
        _error(f"{type(exc).__name__}: {_message(exc)}")
        return 1
    finally:
        muffler.close()


if __name__ == "__main__":
    sys.exit(main())
