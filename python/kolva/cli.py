"""The `kolva` command line: look inside a slide and dump its stored tiles.

    kolva info SLIDE... [--json]
    kolva info --example
    kolva extract SLIDE OUTDIR [--level N]...
    kolva extract --example OUTDIR

`info` prints each slide's pyramid (level sizes, tile sizes, tile grids and the
encoding of the stored tiles); `extract` writes every stored tile as a file, exactly
the bytes the reader hands out. `--example` stands for the small Aperio slide that
ships with the package.

The extension module reports a failed open or tile read as `PanicException` (a
BaseException, so `except Exception` lets it through) and also writes a short report
to standard error; the command catches the exception, silences the report and prints
one `kolva: error: ...` line instead.
"""
from __future__ import annotations

import argparse
import importlib
import io
import json
import math
import os
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, TextIO

import _kolva_rs

from . import example_path

PROG = "kolva"

# Modules that add a sub-command each (see build_parser).
COMMAND_MODULES: tuple[str, ...] = ()

# How many tiles of a level `info` tries, in row-major order, before it gives up on
# naming the level's encoding (sparse levels may have absent tiles up front).
SNIFF_ATTEMPTS = 64

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


class CliError(Exception):
    """A failure reported as one `kolva: error: ...` line and exit status 1."""


# --------------------------------------------------------------------------- module calls
class _Muffler:
    """Silences what the extension module writes around one call: its failure report
    on standard error and its diagnostic lines ("Empty!!!", "Max DRI 32", ...) on
    standard output, which would otherwise mix with the command's own output.

    The report may go through `sys.stderr` or straight to file descriptor 2, and the
    diagnostic lines go straight to file descriptor 1, so the streams and the
    descriptors are redirected for the duration of the call. What arrived through
    `sys.stderr` is kept in `text` (used when an exception carries no message)."""

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


class _UrlDecoder:
    """A slide at a URL (http(s)://, s3://, ...) behind the decoder's interface."""

    def __init__(self, url: str) -> None:
        import kolva

        self._slide = kolva.open(url)
        self.level_count = self._slide.level_count
        self.level_dimensions = [lv.dimensions for lv in self._slide.levels]
        self.level_tile_sizes = [lv.tile_size for lv in self._slide.levels]
        self._errors = (kolva.SlideError,)

    def read_tile_as_bytes(self, level: int, x: int, y: int) -> bytes:
        try:
            return self._slide.read_tile(level, x, y)
        except self._errors as exc:
            raise _kolva_rs.PanicException(str(exc)) from None


class Slide:
    """An open slide plus its geometry, with the module's error reports silenced."""

    def __init__(self, path: str, muffler: _Muffler) -> None:
        self.path = path
        self._muffle = muffler
        self.decoder: Any
        if "://" in path:
            import kolva

            try:
                self.decoder = _UrlDecoder(path)
            except kolva.SlideError as exc:
                raise CliError(f"{path}: {_message(exc)}") from None
            self.level_count: int = self.decoder.level_count
            self.level_dimensions = self.decoder.level_dimensions
            self.level_tile_sizes = self.decoder.level_tile_sizes
            return
        if not os.path.exists(path):
            raise CliError(f"{path}: no such file")
        if os.path.isdir(path):
            raise CliError(f"{path}: is a directory")
        try:
            with self._muffle():
                self.decoder = _kolva_rs.KolvaPyDecoder(path)
                self.level_count = self.decoder.level_count
                self.level_dimensions = self.decoder.level_dimensions
                self.level_tile_sizes = self.decoder.level_tile_sizes
        except _kolva_rs.PanicException as exc:
            raise CliError(f"{path}: not a readable slide: {_message(exc, muffler.text)}") from None
        except (OSError, ValueError, TypeError) as exc:  # e.g. a path that is not UTF-8
            raise CliError(f"{path}: cannot open: {_message(exc)}") from None

    def grid(self, level: int) -> tuple[int, int]:
        """(tiles across, tiles down) of a level."""
        (w, h), (tw, th) = self.level_dimensions[level], self.level_tile_sizes[level]
        return (math.ceil(w / tw) if tw else 0, math.ceil(h / th) if th else 0)

    def read(self, level: int, x: int, y: int) -> bytes | None:
        """The tile's stored bytes, or None when it is absent or can't be read."""
        try:
            with self._muffle():
                tile: bytes = self.decoder.read_tile_as_bytes(level, x, y)
                return tile
        except _kolva_rs.PanicException:
            return None


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


@dataclass
class SlideInfo:
    path: str
    level_count: int
    levels: list[LevelInfo]


def describe(slide: Slide) -> SlideInfo:
    levels = []
    for n in range(slide.level_count):
        (w, h), (tw, th) = slide.level_dimensions[n], slide.level_tile_sizes[n]
        across, down = slide.grid(n)
        encoding = None
        for i in range(min(across * down, SNIFF_ATTEMPTS)):
            data = slide.read(n, i % across, i // across)
            if data is not None:
                encoding = sniff(data)[0]
                break
        levels.append(LevelInfo(n, w, h, tw, th, across, down, encoding))
    return SlideInfo(slide.path, slide.level_count, levels)


def format_table(info: SlideInfo) -> str:
    header = ("level", "size", "tile", "tiles (across x down)", "encoding")
    rows = [(str(lv.level), f"{lv.width} x {lv.height}", f"{lv.tile_width} x {lv.tile_height}",
             f"{lv.tiles_across} x {lv.tiles_down}",
             _LABELS[lv.encoding] if lv.encoding else "none readable")
            for lv in info.levels]
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    right = (True, True, True, True, False)

    def line(cells: Sequence[str]) -> str:
        return "  " + "  ".join(c.rjust(w) if r else c.ljust(w)
                                for c, w, r in zip(cells, widths, right)).rstrip()

    plural = "level" if info.level_count == 1 else "levels"
    return "\n".join([f"{info.path}: {info.level_count} {plural}", line(header),
                      *(line(r) for r in rows)])


def cmd_info(args: argparse.Namespace, muffler: _Muffler, out: TextIO) -> int:
    paths = ([str(example_path())] if args.example else []) + list(args.slides)
    if not paths:
        raise CliError("info: give at least one SLIDE, or --example")
    infos, failed = [], 0
    for path in paths:
        try:
            info = describe(Slide(path, muffler))
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
        json.dump([asdict(i) for i in infos], out, indent=2)
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
    slide = Slide(source, muffler)
    levels = sorted(set(args.level)) if args.level else list(range(slide.level_count))
    for n in levels:
        if not 0 <= n < slide.level_count:
            raise CliError(f"level {n} out of range: {source} has {slide.level_count} "
                           f"level{'s' if slide.level_count != 1 else ''} "
                           f"(0-{slide.level_count - 1})")
    grids = {n: slide.grid(n) for n in levels}
    total = sum(a * d for a, d in grids.values())
    written = skipped = nbytes = 0
    bar = _progress(total, sys.stderr.isatty())
    start = time.perf_counter()
    try:
        for n in levels:
            across, down = grids[n]
            folder = outdir / str(n)
            try:
                folder.mkdir(parents=True, exist_ok=True)
            except OSError as exc:
                raise CliError(f"cannot create {folder}: {exc.strerror or exc}") from None
            for y in range(down):
                for x in range(across):
                    data = slide.read(n, x, y)
                    if data is None:
                        skipped += 1
                    else:
                        target = folder / f"{x}_{y}{sniff(data)[1]}"
                        try:
                            target.write_bytes(data)
                        except OSError as exc:
                            raise CliError(f"cannot write {target}: {exc.strerror or exc}") from None
                        written += 1
                        nbytes += len(data)
                    if bar is not None:
                        bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    seconds = time.perf_counter() - start
    rate = written / seconds if seconds > 0 else 0.0
    out.write(f"wrote {written} tiles ({skipped} skipped), {nbytes / 1e6:.1f} MB "
              f"in {seconds:.2f} s, {rate:.0f} tiles/s\n")
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
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {_kolva_rs.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    info = sub.add_parser("info", help="levels, tile sizes, tile grids and tile encodings",
                          usage=f"{PROG} info [-h] [--json] (SLIDE... | --example)")
    info.add_argument("slides", nargs="*", metavar="SLIDE", help="slide files")
    info.add_argument("--example", action="store_true",
                      help="describe the example slide shipped with kolva")
    info.add_argument("--json", action="store_true",
                      help="print a JSON list instead of tables")
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
    finally:
        muffler.close()


if __name__ == "__main__":
    sys.exit(main())
