"""KolvaPyDecoder against the TIFF fixture slides and the real sample files: tile
bytes, geometry, failures as PanicException, argument errors, the exclusive-use
flag, thread binding, and the file descriptor's lifetime."""
from __future__ import annotations

import os
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
import tifffile

from _kolva_rs import KolvaPyDecoder, PanicException

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from fixtures import tiff_slides as ts  # noqa: E402

RESULT_UNWRAP = "called `Result::unwrap()` on an `Err` value: "
OPTION_UNWRAP = "called `Option::unwrap()` on a `None` value"
U64_MAX = 2**64 - 1
CORPUS = Path(__file__).resolve().parents[3] / "shared" / "corpus" / "real"

FIXTURES = [
    "generic-le", "generic-be", "generic-bigtiff", "generic-bigtiff-be-rgb",
    "aperio-ycbcr", "aperio-rgb", "aperio-rgb-app14", "aperio-bigtiff-be",
    "aperio-j2k-rgb", "aperio-j2k-ycbcr", "philips", "philips-sparse"]


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    return ts.all_tiff_fixtures(tmp_path_factory.mktemp("binding_slides"))


@pytest.fixture()
def generic(slides):
    """The little-endian generic pyramid: 1000x750, 750x375, 250x187, 256-px tiles."""
    return slides["generic-le"]


@pytest.fixture()
def decoder(generic):
    return KolvaPyDecoder(str(generic.path))


def fds_open_on(path: Path) -> int:
    """How many of this process's file descriptors refer to `path`."""
    target = os.path.realpath(path)
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == target:
                count += 1
        except OSError:
            pass
    return count


def panic_message(call) -> str:
    with pytest.raises(PanicException) as info:
        call()
    assert type(info.value) is PanicException and len(info.value.args) == 1
    return info.value.args[0]


# --------------------------------------------------------------------------- fixtures
@pytest.mark.parametrize("name", FIXTURES)
def test_geometry(slides, name):
    s = slides[name]
    d = KolvaPyDecoder(str(s.path))
    assert d.level_count == len(s.levels)
    assert d.dimensions == s.dimensions == d.level_dimensions[0]
    assert d.level_dimensions == [(lv.width, lv.height) for lv in s.levels]
    assert d.level_tile_sizes == [(lv.tile_width, lv.tile_height) for lv in s.levels]


@pytest.mark.parametrize("name", FIXTURES)
def test_every_tile_matches_expected_bytes(slides, name):
    s = slides[name]
    d = KolvaPyDecoder(str(s.path))
    assert d.level_count == len(s.levels)
    for n, level in enumerate(s.levels):
        for (x, y), expected in level.tiles.items():
            got = d.read_tile_as_bytes(n, x, y)
            assert type(got) is bytes
            assert got == expected, (name, n, x, y)


def test_absent_tile_is_a_failure_and_the_object_survives(slides):
    s = slides["philips-sparse"]  # level 0 tile (2, 1) is stored with offset/count 0
    d = KolvaPyDecoder(str(s.path))
    assert panic_message(lambda: d.read_tile_as_bytes(0, 2, 1)).startswith(RESULT_UNWRAP)
    assert d.read_tile_as_bytes(0, 1, 1) == s.levels[0].tiles[(1, 1)]


# --------------------------------------------------------------------------- properties
def test_properties_are_fresh_read_only_objects(decoder):
    first, second = decoder.level_dimensions, decoder.level_dimensions
    assert first == second and first is not second
    first.append((1, 1))
    first[0] = (0, 0)
    assert decoder.level_dimensions == second
    sizes = decoder.level_tile_sizes
    sizes.clear()
    assert len(decoder.level_tile_sizes) == decoder.level_count == 3
    assert type(decoder.level_count) is int
    assert type(decoder.dimensions) is tuple and decoder.dimensions == (1000, 750)
    for name in ("level_count", "dimensions", "level_dimensions", "level_tile_sizes"):
        with pytest.raises(AttributeError):
            setattr(decoder, name, 1)
    with pytest.raises(AttributeError):
        decoder.anything = 1  # no instance __dict__


# --------------------------------------------------------------------------- tile reads
@pytest.mark.parametrize("lv, x, y, message", [
    (3, 0, 0, "LevelNotFound { selected: 3, num_level: 3 }"),
    (U64_MAX, 0, 0, f"LevelNotFound {{ selected: {U64_MAX}, num_level: 3 }}"),
    (0, 0, 3, "TileNotFound { x: 0, y: 3, z: 0 }"),
    (0, 3, 3, "TileNotFound { x: 3, y: 3, z: 0 }"),
    (2, 1, 0, "TileNotFound { x: 1, y: 0, z: 0 }"),
    (0, U64_MAX, U64_MAX, f"TileNotFound {{ x: {U64_MAX}, y: {U64_MAX}, z: 0 }}"),
])
def test_missing_level_or_tile(generic, decoder, capsys, lv, x, y, message):
    assert panic_message(lambda: decoder.read_tile_as_bytes(lv, x, y)) == RESULT_UNWRAP + message
    assert f"kolva: internal failure: {RESULT_UNWRAP}{message}" in capsys.readouterr().err
    # the object is untouched by the failure
    assert decoder.read_tile_as_bytes(0, 1, 1) == generic.levels[0].tiles[(1, 1)]
    assert decoder.level_count == 3


@pytest.mark.parametrize("args, kwargs, tile", [
    ((True, 0, 0), {}, (1, 0, 0)),
    ((0, True, False), {}, (0, 1, 0)),
    ((), {"lv": 0, "x": 2, "y": 1}, (0, 2, 1)),
    ((0,), {"y": 1, "x": 2}, (0, 2, 1)),
    ((np.uint64(1), np.int32(1), np.int8(0)), {}, (1, 1, 0)),
])
def test_argument_forms(generic, decoder, args, kwargs, tile):
    lv, x, y = tile
    assert decoder.read_tile_as_bytes(*args, **kwargs) == generic.levels[lv].tiles[(x, y)]


@pytest.mark.parametrize("args, exc, pattern", [
    ((0.0, 0, 0), TypeError, "^argument 'lv': 'float' object cannot be interpreted"),
    ((0, "1", 0), TypeError, "^argument 'x': 'str' object cannot be interpreted"),
    ((0, 0, None), TypeError, "^argument 'y': 'NoneType' object cannot be interpreted"),
    ((0.0, "x", None), TypeError, "^argument 'lv'"),  # lv is converted first
    ((-1, 0.0, 0), OverflowError, None),
    ((0, 2**64, 0), OverflowError, None),
    ((0, 0, -5), OverflowError, None),
])
def test_conversion_errors_release_the_object(generic, decoder, args, exc, pattern):
    with pytest.raises(exc, match=pattern):
        decoder.read_tile_as_bytes(*args)
    assert decoder.read_tile_as_bytes(0, 0, 0) == generic.levels[0].tiles[(0, 0)]


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((0, 0), {}),
    ((0, 0, 0, 0), {}),
    ((0, 0, 0), {"lv": 0}),
    ((0, 0), {"z": 0}),
])
def test_argument_matching(decoder, args, kwargs):
    with pytest.raises(TypeError, match="read_tile_as_bytes"):
        decoder.read_tile_as_bytes(*args, **kwargs)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "read_tile_as_bytes() missing required argument 'lv' (pos 1)"),
    ((0,), {"y": 0}, "read_tile_as_bytes() missing required argument 'x' (pos 2)"),
    ((0, 0), {"lv": 0}, "read_tile_as_bytes() missing required argument 'y' (pos 3)"),
    ((0, 0), {"z": 0}, "read_tile_as_bytes() missing required argument 'y' (pos 3)"),
    ((), {"lv": 0, "x": 0, "z": 0}, "read_tile_as_bytes() missing required argument 'y' (pos 3)"),
    ((0, 0, 0, 0), {}, "read_tile_as_bytes() takes at most 3 arguments (4 given)"),
    ((0, 0, 0), {"z": 0}, "read_tile_as_bytes() takes at most 3 arguments (4 given)"),
    ((0, 0), {"x": 0, "y": 0}, "read_tile_as_bytes() takes at most 3 arguments (4 given)"),
    ((), {"lv": 0, "x": 0, "y": 0, "z": 0},
     "read_tile_as_bytes() takes at most 3 keyword arguments (4 given)"),
])
def test_argument_matching_messages(decoder, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        decoder.read_tile_as_bytes(*args, **kwargs)
    assert str(info.value) == message
    assert decoder.read_tile_as_bytes(0, 0, 0)  # nothing was taken


class KeywordName(str):
    """A str subclass as a keyword name: matched by the interpreter's own rules."""


def test_keyword_names_of_a_str_subclass(generic, decoder):
    got = decoder.read_tile_as_bytes(**{KeywordName("lv"): 0, "x": 1, KeywordName("y"): 1})
    assert got == generic.levels[0].tiles[(1, 1)]
    with pytest.raises(TypeError, match=r"missing required argument 'y' \(pos 3\)$"):
        decoder.read_tile_as_bytes(0, 0, **{KeywordName("q"): 0})


@pytest.mark.parametrize("value, exc, message", [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (10**40, OverflowError, "int too big to convert"),
])
@pytest.mark.parametrize("where", [0, 1, 2])
def test_out_of_range_integers(decoder, where, value, exc, message):
    args = [0, 0, 0]
    args[where] = value
    with pytest.raises(exc, match=f"^{message}$"):
        decoder.read_tile_as_bytes(*args)
    assert decoder.read_tile_as_bytes(0, 0, 0)


# --------------------------------------------------------------------------- stored layouts
SPLICE_TOO_SHORT = 'Decoding("ReadTile Error JPEG tables or tile too short to splice")'
RAW_TILES = [b"", b"\xff", b"\xff\xd8", b"\xff\xd8\x01", b"\xff\xd8\x01\x02\xff\xd9"]


def one_level_slide(path: Path, tiles: list, *, tables: bytes | None, aperio: bool) -> Path:
    """A one-row tiled TIFF holding `tiles` as stored: JPEG with `tables`, or an
    Aperio JPEG 2000 level (no tables, tiles returned as stored)."""
    ifd = ts._tiled_ifd(
        256 * len(tiles), 256, 256, 256, tiles,
        compression=ts.APERIO_J2K_RGB if aperio else ts.COMPRESSION_JPEG,
        photometric=ts.PHOTOMETRIC_RGB if aperio else ts.PHOTOMETRIC_YCBCR, subfile=0,
        tables=tables, description=f"{ts.APERIO_HEAD}\r\n256x256" if aperio else None)
    ts.write_tiff(path, [ifd])
    return path


# Tables shorter than 4 bytes sit in the directory entry's value field, which is
# decoded whole: such a file holds 4-byte tables.
@pytest.mark.parametrize("tables", [
    b"\x01\x02\xff\xd9",                  # two bytes kept: as long as the SOI cut off
    b"\xff\xd8\x01\xff\xd9",              # three kept
    b"\xff\xd8\x01\x02\xff\xd9",          # four kept, stored outside the entry
    b"\xff\xd8\xff\xdb\x00\x02\xff\xd9",
    None,                                 # Aperio JPEG 2000: no tables at all
])
def test_short_tables_and_tiles(tmp_path, capsys, tables):
    path = one_level_slide(tmp_path / "short.tif", RAW_TILES, tables=tables,
                           aperio=tables is None)
    d = KolvaPyDecoder(str(path))
    for x, tile in enumerate(RAW_TILES):
        if tables is None:
            expected = tile
        elif len(tile) < 2:
            assert panic_message(lambda: d.read_tile_as_bytes(0, x, 0)) == (
                RESULT_UNWRAP + SPLICE_TOO_SHORT)
            continue
        else:
            expected = tables[:-2] + tile[2:]
        first, again = d.read_tile_as_bytes(0, x, 0), d.read_tile_as_bytes(0, x, 0)
        assert type(first) is bytes and first == again == expected, (x, first)
    capsys.readouterr()


def test_tiles_are_fresh_objects(generic, decoder):
    first, again = decoder.read_tile_as_bytes(0, 1, 0), decoder.read_tile_as_bytes(0, 1, 0)
    assert first == again == generic.levels[0].tiles[(1, 0)] and first is not again


def test_file_shrunk_under_an_open_slide(generic, tmp_path, capsys):
    path = tmp_path / "shrinking.tiff"
    path.write_bytes(generic.path.read_bytes())
    d = KolvaPyDecoder(str(path))
    with tifffile.TiffFile(path) as tif:
        offsets, counts = tif.pages[0].dataoffsets, tif.pages[0].databytecounts
    first = min(range(len(offsets)), key=lambda i: offsets[i])
    across = generic.levels[0].tiles_across
    os.truncate(path, offsets[first] + counts[first])
    assert d.read_tile_as_bytes(0, first % across, first // across) == (
        generic.levels[0].tiles[(first % across, first // across)])
    for i in range(len(offsets)):
        if i != first:
            assert panic_message(lambda: d.read_tile_as_bytes(0, i % across, i // across)) == (
                RESULT_UNWRAP + "UnexpectedStep")
    capsys.readouterr()


# --------------------------------------------------------------------------- exclusive use
class ReenteringIndex:
    """An index whose __index__ uses the decoder while a tile read holds it."""

    def __init__(self, action):
        self.action = action

    def __index__(self) -> int:
        self.action()
        return 0


@pytest.mark.parametrize("action, message", [
    (lambda d: d.level_count, "Already mutably borrowed"),
    (lambda d: d.level_dimensions, "Already mutably borrowed"),
    (lambda d: d.dimensions, "Already mutably borrowed"),
    (lambda d: d.read_tile_as_bytes(0, 0, 0), "Already borrowed"),
])
def test_reentry_during_a_tile_read(generic, decoder, action, message):
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        decoder.read_tile_as_bytes(0, ReenteringIndex(lambda: action(decoder)), 0)
    # released again afterwards
    assert decoder.level_count == 3
    assert decoder.read_tile_as_bytes(0, 0, 0) == generic.levels[0].tiles[(0, 0)]


# --------------------------------------------------------------------------- opening
@pytest.mark.parametrize("path", [b"/tmp/x.svs", Path("/tmp/x.svs"), 3, None])
def test_path_must_be_str(path):
    with pytest.raises(TypeError, match="argument 'path'"):
        KolvaPyDecoder(path)


@pytest.mark.parametrize("args, kwargs", [((), {}), (("a", "b"), {}), (("a",), {"path": "a"}),
                                          ((), {"file": "a"})])
def test_constructor_argument_matching(args, kwargs):
    with pytest.raises(TypeError, match="KolvaPyDecoder"):
        KolvaPyDecoder(*args, **kwargs)


def test_path_by_keyword(generic):
    assert KolvaPyDecoder(path=str(generic.path)).level_count == 3


def test_missing_file(tmp_path, capsys):
    message = panic_message(lambda: KolvaPyDecoder(str(tmp_path / "missing.svs")))
    expected = RESULT_UNWRAP + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    assert message == expected
    assert f"kolva: internal failure: {expected}" in capsys.readouterr().err


def test_directory(tmp_path):
    message = panic_message(lambda: KolvaPyDecoder(str(tmp_path)))
    assert message.startswith(RESULT_UNWRAP) and "IsADirectory" in message
    assert fds_open_on(tmp_path) == 0


def test_unreadable_file(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    path = tmp_path / "locked.svs"
    path.write_bytes(b"II*\0")
    path.chmod(0)
    message = panic_message(lambda: KolvaPyDecoder(str(path)))
    assert message == RESULT_UNWRAP + 'Os { code: 13, kind: PermissionDenied, message: "Permission denied" }'


def test_path_with_nul_is_refused(generic):
    message = panic_message(lambda: KolvaPyDecoder(str(generic.path) + "\0ignored"))
    assert message.startswith(RESULT_UNWRAP + "Os { code: 22, kind: InvalidInput")


@pytest.mark.parametrize("content", [
    b"This is not a slide at all, just some text.\n" * 20,
    b"",
    b"II*\0",  # a TIFF header cut short
])
def test_non_slide_file_fails_and_is_closed(tmp_path, content):
    path = tmp_path / "not-a-slide.bin"
    path.write_bytes(content)
    message = panic_message(lambda: KolvaPyDecoder(str(path)))
    assert message.startswith(RESULT_UNWRAP)
    assert fds_open_on(path) == 0


def test_non_tiff_file_reports_the_last_detector(tmp_path):
    path = tmp_path / "text.txt"
    path.write_bytes(b"plain text, no slide format\n" * 10)
    message = panic_message(lambda: KolvaPyDecoder(str(path)))
    # Every format is tried in turn; the last one tried (Olympus ETS) reports.
    assert message == RESULT_UNWRAP + 'Decoding("Olympus Error Failed to parse SIS header")'


@pytest.mark.parametrize("content, expected", [
    (b"", "UnexpectedStep"),  # shorter than the first 4-byte read
    (b"II*", "UnexpectedStep"),
    # A TIFF whose first directory lies past the end: the read itself fails, and
    # no further format is tried.
    (b"II*\0" + (1000).to_bytes(4, "little") + b"\0" * 60, "UnexpectedStep"),
])
def test_short_reads_end_the_opening(tmp_path, content, expected):
    path = tmp_path / "short.bin"
    path.write_bytes(content)
    assert panic_message(lambda: KolvaPyDecoder(str(path))) == RESULT_UNWRAP + expected


def test_tiff_without_levels_has_no_level_zero(tmp_path):
    # One stripped LZW image: a valid TIFF with no tiled directory.
    path = tmp_path / "stripped.tiff"
    ts.write_tiff(path, [ts._lzw_strip_ifd(ts.source_image(64, 48, 3), subfile=0,
                                           description="only strips")])
    assert panic_message(lambda: KolvaPyDecoder(str(path))) == OPTION_UNWRAP
    assert fds_open_on(path) == 0


def test_file_is_open_for_the_object_lifetime(generic):
    before = fds_open_on(generic.path)
    d = KolvaPyDecoder(str(generic.path))
    assert fds_open_on(generic.path) == before + 1
    d2 = KolvaPyDecoder(str(generic.path))  # independent objects, one file each
    assert fds_open_on(generic.path) == before + 2
    assert d2.read_tile_as_bytes(0, 0, 0) == d.read_tile_as_bytes(0, 0, 0)
    del d, d2
    assert fds_open_on(generic.path) == before


# --------------------------------------------------------------------------- threads
def run_in_thread(function):
    result = {}

    def body():
        result["ident"] = threading.get_ident()
        try:
            result["value"] = function()
        except BaseException as e:  # noqa: BLE001 - carried back to the test
            # Without its traceback, so that no frame cycle keeps the decoder alive
            # until a garbage collection on some other thread drops it there.
            result["error"] = e.with_traceback(None)

    t = threading.Thread(target=body)
    t.start()
    t.join()
    return result


def unsendable(current: int, owner: int) -> str:
    return ("assertion `left == right` failed: kolva::decoder::KolvaPyDecoder is unsendable, "
            f"but sent to another thread\n  left: ThreadId({current})\n right: ThreadId({owner})")


@pytest.mark.parametrize("use", [
    lambda d: d.read_tile_as_bytes(0, 0, 0),
    lambda d: d.read_tile_as_bytes(0.0, 0, 0),  # the thread check precedes conversion
    lambda d: d.level_count,
    lambda d: d.dimensions,
    lambda d: d.level_dimensions,
    lambda d: d.level_tile_sizes,
])
def test_use_from_another_thread(decoder, use):
    result = run_in_thread(lambda: use(decoder))
    error = result.get("error")
    assert type(error) is PanicException
    assert error.args == (unsendable(result["ident"], threading.get_ident()),)
    assert decoder.level_count == 3  # still fine on its own thread


def test_argument_matching_precedes_the_thread_check(decoder):
    result = run_in_thread(lambda: decoder.read_tile_as_bytes(0, 0))
    assert type(result.get("error")) is TypeError


def test_object_belongs_to_the_thread_that_made_it(generic):
    made = run_in_thread(lambda: KolvaPyDecoder(str(generic.path)))
    d = made["value"]
    error = panic_message(lambda: d.level_count)
    assert error == unsendable(threading.get_ident(), made["ident"])
    # Dropped here, on the wrong thread: leaks by design.
    hook_calls = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = hook_calls.append
    try:
        del d, made
    finally:
        sys.unraisablehook = old_hook
    assert len(hook_calls) == 1


def test_drop_on_another_thread(slides, tmp_path):
    path = tmp_path / "dropped.tiff"
    path.write_bytes(slides["generic-le"].path.read_bytes())
    holder = [KolvaPyDecoder(str(path))]
    assert fds_open_on(path) == 1
    hook_calls = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: hook_calls.append((u.exc_type, str(u.exc_value)))
    try:
        run_in_thread(lambda: holder.clear())  # the last reference goes on that thread
    finally:
        sys.unraisablehook = old_hook
    assert hook_calls == [(RuntimeError, "kolva::decoder::KolvaPyDecoder is unsendable, "
                                         "but is being dropped on another thread")]
    assert fds_open_on(path) == 1  # the contents, and the file, stay


# --------------------------------------------------------------------------- real files
def real_files() -> list:
    files = sorted(CORPUS.glob("svs/*.svs")) + sorted(CORPUS.glob("tiff/*.tif*"))
    return [pytest.param(f, id=f.name) for f in files] or [
        pytest.param(None, marks=pytest.mark.skip(reason="no real sample files"))]


@pytest.mark.parametrize("path", real_files())
def test_real_file_tiles_match_tifffile(path):
    with tifffile.TiffFile(path) as tif:
        pages = [p for p in tif.pages if p.is_tiled]
        if not pages or any(p.compression not in (7, 33003, 33005) for p in pages):
            pytest.skip("not a JPEG / JPEG 2000 tiled pyramid")
        d = KolvaPyDecoder(str(path))
        assert d.level_count == len(pages)
        assert d.level_dimensions == [(p.imagewidth, p.imagelength) for p in pages]
        assert d.level_tile_sizes == [(p.tilewidth, p.tilelength) for p in pages]
        fh = tif.filehandle
        aperio = path.suffix == ".svs"
        for n, page in enumerate(pages):
            tables = page.jpegtables
            if tables is not None and aperio and page.photometric == 2:
                tables = ts.aperio_app14_repair(tables)
            across = -(-page.imagewidth // page.tilewidth)
            for i, (offset, count) in enumerate(zip(page.dataoffsets, page.databytecounts)):
                if count == 0:
                    continue
                fh.seek(offset)
                stored = fh.read(count)
                expected = ts.splice(tables, stored) if tables is not None else stored
                assert d.read_tile_as_bytes(n, i % across, i // across) == expected, (n, i)

