"""`kolva.open` and `kolva.Slide` against the specified module and under load:

* every fixture slide and every real sample opens with the geometry that
  `_kolva_rs.KolvaPyDecoder` reports, and `read_tile` / `read_tiles` hand out
  exactly the bytes of `read_tile_as_bytes` for every tile;
* eight threads sharing one Slide read what one thread reads; `close()` during
  reads gives either the data or SlideError; a Slide pickled into `spawn`
  workers reads the same tiles;
* every failure on damaged, hostile or missing files is a `kolva.SlideError`
  (subclass) in plain words whose `__cause__` is the core's `kolva.CoreError`.
"""
from __future__ import annotations

import contextlib
import io
import multiprocessing
import os
import pickle
import random
import re
import sys
import threading
from pathlib import Path

import pytest

import _kolva_rs
import kolva
from kolva._slide import Slide as SlideClass

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from fixtures import ets, ndpi, tiff_slides as ts  # noqa: E402
from fixtures.common import CORPUS  # noqa: E402

REAL = sorted(p for p in CORPUS.glob("*/*") if p.suffix != ".md") if CORPUS.is_dir() else []
U64_MAX = 2**64 - 1


@pytest.fixture(scope="module")
def fixture_paths(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    d = tmp_path_factory.mktemp("slide_api")
    out: dict[str, Path] = {}
    for name, s in ts.all_tiff_fixtures(d).items():
        out[name] = s.path
    for name, s in ndpi.all_ndpi_fixtures(d).items():
        out[name] = s.path
    for name, s in ets.all_ets_fixtures(d).items():
        out[f"ets-{name}"] = s.path
    if ndpi.sparse_files_supported(d):
        out["ndpi_big"] = ndpi.make_ndpi_big(d / "ndpi_big.ndpi").path
    return out


FIXTURE_NAMES = (
    ["generic-le", "generic-be", "generic-bigtiff", "generic-bigtiff-be-rgb", "aperio-ycbcr",
     "aperio-rgb", "aperio-rgb-app14", "aperio-bigtiff-be", "aperio-j2k-rgb", "aperio-j2k-ycbcr",
     "philips", "philips-sparse", "ndpi_444", "ndpi_422", "ndpi_420", "ndpi_high_word",
     "ndpi_progressive", "ndpi_classic"]
    + [f"ets-{n}" for n in ("jpeg", "header_120", "header_156", "header_157", "raw", "bmp",
                           "jpeg2000", "plane1_extent", "png", "lossless_jpeg")])


def quiet_decoder(path: Path) -> _kolva_rs.KolvaPyDecoder | None:
    """The specified module's decoder, or None when it refuses the file."""
    with contextlib.redirect_stderr(io.StringIO()):
        try:
            return _kolva_rs.KolvaPyDecoder(str(path))
        except _kolva_rs.PanicException:
            return None


def quiet_tile(decoder: _kolva_rs.KolvaPyDecoder, level: int, x: int, y: int) -> bytes | None:
    with contextlib.redirect_stderr(io.StringIO()):
        try:
            return decoder.read_tile_as_bytes(level, x, y)
        except _kolva_rs.PanicException:
            return None


def check_against_specified(path: Path) -> None:
    decoder = quiet_decoder(path)
    if decoder is None:
        # What the specified module refuses, kolva refuses too, in words, but for
        # tiled TIFFs in other tile codecs (test_tiff_codecs checks those tiles).
        try:
            slide = kolva.open(path)
        except kolva.UnsupportedFormat as error:
            assert "is not a slide kolva can read: " in str(error)
            return
        with slide:
            # DICOM series and the families the specified module has no decoder for
            # are read by the package alone (their own tests check them).
            assert slide.format in ("generic-tiff", "dicom", "qptiff", "czi")
        return
    with kolva.open(path) as slide:
        assert slide.level_count == decoder.level_count
        assert slide.dimensions == tuple(decoder.dimensions)
        assert list(slide.level_dimensions) == [tuple(d) for d in decoder.level_dimensions]
        assert [lv.tile_size for lv in slide.levels] == [tuple(t) for t in decoder.level_tile_sizes]
        for lv in slide.levels:
            across, down = lv.tile_grid
            coords = [(x, y) for y in range(down) for x in range(across)]
            expected = {xy: quiet_tile(decoder, lv.index, *xy) for xy in coords}
            stored = [xy for xy in coords if expected[xy] is not None]
            for xy in coords:
                if expected[xy] is None:
                    with pytest.raises(kolva.SlideError):
                        slide.read_tile(lv.index, *xy)
                else:
                    assert slide.read_tile(lv.index, *xy) == expected[xy], (lv.index, xy)
            for threads in (1, 3):
                got = slide.read_tiles(lv.index, stored, threads=threads)
                assert got == [expected[xy] for xy in stored]


@pytest.mark.parametrize("name", FIXTURE_NAMES + ["ndpi_big"])
def test_fixture_matches_the_specified_module(fixture_paths: dict[str, Path], name: str) -> None:
    if name not in fixture_paths:
        pytest.skip("this file system keeps no sparse files: no NDPI over 4 GiB")
    check_against_specified(fixture_paths[name])


@pytest.mark.skipif(not REAL, reason="no real sample files beside the repository")
@pytest.mark.parametrize("path", REAL, ids=lambda p: p.name)
def test_real_file_matches_the_specified_module(path: Path) -> None:
    check_against_specified(path)


# --------------------------------------------------------------------------- threads
OPS_PER_THREAD = 150


def reference(slide: kolva.Slide) -> dict[tuple[int, int, int], bytes]:
    out = {}
    for lv in slide.levels:
        for y in range(lv.tile_grid[1]):
            for x in range(lv.tile_grid[0]):
                with contextlib.suppress(kolva.SlideError):
                    out[(lv.index, x, y)] = slide.read_tile(lv.index, x, y)
    return out


@pytest.mark.parametrize("name", ["aperio-rgb", "ndpi_420", "philips-sparse", "ets-jpeg"])
def test_eight_threads_share_one_slide(fixture_paths: dict[str, Path], name: str) -> None:
    slide = kolva.open(fixture_paths[name])
    expected = reference(slide)
    props, mpp = slide.properties, slide.mpp
    keys = sorted(expected)
    failures: list[str] = []

    def hammer(seed: int) -> None:
        rng = random.Random(seed)
        try:
            for _ in range(OPS_PER_THREAD):
                op = rng.randrange(4)
                if op == 0:
                    key = rng.choice(keys)
                    if slide.read_tile(*key) != expected[key]:
                        failures.append(f"read_tile {key}")
                elif op == 1:
                    level = rng.choice(keys)[0]
                    batch = [k[1:] for k in rng.sample(keys, min(6, len(keys))) if k[0] == level]
                    got = slide.read_tiles(level, batch, threads=rng.randint(1, 3))
                    if got != [expected[(level, *xy)] for xy in batch]:
                        failures.append(f"read_tiles {level} {batch}")
                elif op == 2:
                    if slide.properties != props or slide.mpp != mpp:
                        failures.append("properties")
                else:
                    lv = rng.randrange(slide.level_count)
                    if slide.levels[lv].dimensions != slide.level_dimensions[lv]:
                        failures.append("levels")
        except Exception as exc:  # noqa: BLE001 - reported below
            failures.append(repr(exc))

    threads = [threading.Thread(target=hammer, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
    slide.close()


def test_close_while_other_threads_read(fixture_paths: dict[str, Path]) -> None:
    slide = kolva.open(fixture_paths["ndpi_444"])
    expected = reference(slide)
    keys = sorted(expected)
    outcomes: list[str] = []
    started = threading.Barrier(5)

    def reader(seed: int) -> None:
        rng = random.Random(seed)
        started.wait()
        for _ in range(2000):
            key = rng.choice(keys)
            try:
                data = slide.read_tiles(key[0], [key[1:]])[0] if seed % 2 else slide.read_tile(*key)
            except kolva.SlideError as exc:
                outcomes.append("closed" if str(exc) == "the slide is closed" else repr(exc))
                return
            except Exception as exc:  # noqa: BLE001
                outcomes.append(repr(exc))
                return
            if data != expected[key]:
                outcomes.append(f"wrong bytes for {key}")
                return
        outcomes.append("finished")

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    started.wait()
    slide.close()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert sorted(set(outcomes)) <= ["closed", "finished"], outcomes
    assert slide.closed
    with pytest.raises(kolva.SlideError, match="the slide is closed"):
        slide.read_tile(0, 0, 0)
    slide.close()  # a second close does nothing


@pytest.mark.parametrize("touch_first", [False, True])
def test_what_the_slide_says_of_itself_outlives_close(fixture_paths: dict[str, Path],
                                                       touch_first: bool) -> None:
    # Geometry, properties and associated names are asked of the core on first
    # use; a slide closed before (or after) that still tells them.
    path = fixture_paths["aperio-ycbcr"]
    with kolva.open(path) as reference:
        expected = (reference.levels, reference.dimensions, reference.level_dimensions,
                    reference.level_downsamples, reference.properties,
                    sorted(reference.associated_images))
    slide = kolva.open(path)
    if touch_first:
        assert slide.level_count == len(expected[0])
    slide.close()
    assert (slide.levels, slide.dimensions, slide.level_dimensions, slide.level_downsamples,
            slide.properties, sorted(slide.associated_images)) == expected
    assert slide.level_count == len(expected[0]) and "closed" in repr(slide)
    with pytest.raises(kolva.SlideError, match="the slide is closed"):
        slide.planes


def test_pickled_slide_reads_in_spawned_workers(fixture_paths: dict[str, Path]) -> None:
    slide = kolva.open(fixture_paths["aperio-j2k-ycbcr"])
    expected = reference(slide)
    clone = pickle.loads(pickle.dumps(slide))
    assert clone.level_dimensions == slide.level_dimensions
    assert clone.properties == slide.properties
    jobs = [(slide, *key) for key in sorted(expected)]
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(2) as pool:
        tiles = pool.starmap(SlideClass.read_tile, jobs, chunksize=3)
        batches = pool.starmap(SlideClass.read_tiles,
                               [(slide, lv.index, [(0, 0), (1, 0)]) for lv in slide.levels])
    assert tiles == [expected[key] for key in sorted(expected)]
    assert batches == [[expected[(lv.index, 0, 0)], expected[(lv.index, 1, 0)]]
                       for lv in slide.levels]


# --------------------------------------------------------------------------- failures
def expect_failure(call, cls: type[kolva.SlideError], message: str | re.Pattern[str]) -> None:
    """`call` raises `cls` (exactly), with `message` (text or pattern), in plain
    words, the core's error as its cause."""
    with pytest.raises(kolva.SlideError) as info:
        call()
    exc = info.value
    assert type(exc) is cls, repr(exc)
    text = str(exc)
    if isinstance(message, str):
        assert text == message
    else:
        assert message.fullmatch(text), text
    assert_plain(exc)
    assert isinstance(exc.__cause__, kolva.CoreError), repr(exc.__cause__)


def assert_plain(exc: BaseException) -> None:
    text = str(exc)
    for jargon in ("unwrap", "Os {", "Result::", "PanicException", "IO Error"):
        assert jargon not in text, text
    assert text and "\n" not in text


def one_row_tiff(path: Path, *, compression: int = ts.COMPRESSION_JPEG,
                 tiles: list[bytes | None] | None = None, tables: bytes | None = b"") -> Path:
    tiles = tiles if tiles is not None else [b"\xff\xd8\x01\x02\xff\xd9"] * 2
    ifd = ts._tiled_ifd(256 * len(tiles), 256, 256, 256, tiles, compression=compression,
                        photometric=ts.PHOTOMETRIC_YCBCR, subfile=0,
                        tables=(b"\xff\xd8\xff\xdb\x00\x02\xff\xd9" if tables == b"" else tables))
    ts.write_tiff(path, [ifd])
    return path


def test_directory_chain_looping_back_ends_there(tmp_path: Path) -> None:
    """A last directory pointing back into the chain reads as the end of it, as
    libtiff and tifffile take it, instead of walking the loop until a budget runs out."""
    import tifffile

    path = ts.make_generic_tiff(tmp_path / "g.tiff", levels=((64, 48, 16), (32, 24, 16)),
                                quality=30).path
    with kolva.open(path) as slide:
        want = (slide.level_dimensions, [slide.read_tile(1, 0, 0), slide.read_tile(0, 1, 1)])
    data = bytearray(Path(path).read_bytes())
    with tifffile.TiffFile(path) as tif:
        offsets = [page.offset for page in tif.pages]
    last = offsets[-1]
    entries = int.from_bytes(data[last:last + 2], "little")
    for target in offsets:
        data[last + 2 + 12 * entries:last + 6 + 12 * entries] = target.to_bytes(4, "little")
        looped = tmp_path / f"loop-{target}.tiff"
        looped.write_bytes(bytes(data))
        with kolva.open(looped) as slide:
            assert (slide.level_dimensions,
                    [slide.read_tile(1, 0, 0), slide.read_tile(0, 1, 1)]) == want


def test_open_failures(tmp_path: Path) -> None:
    missing = tmp_path / "missing.svs"
    expect_failure(lambda: kolva.open(missing), kolva.SlideError,
                   f"cannot open {missing}: No such file or directory")
    expect_failure(lambda: kolva.open(tmp_path), kolva.SlideError,
                   f"cannot read {tmp_path}: Is a directory")
    text = tmp_path / "notes.txt"
    text.write_bytes(b"plain text, no slide\n" * 10)
    expect_failure(lambda: kolva.open(text), kolva.UnsupportedFormat,
                   f"{text} is not a slide kolva can read: it starts with bytes 70 6C 61 69")
    empty = tmp_path / "empty.svs"
    empty.write_bytes(b"")
    expect_failure(lambda: kolva.open(empty), kolva.UnsupportedFormat,
                   f"{empty} is not a slide kolva can read: the file is empty")
    for name, content in {"header-only": b"II*\0",
                          "directory-past-end": b"II*\0" + (1000).to_bytes(4, "little"),
                          "bigtiff-header-only": b"MM\0+\0\x08\0\0"}.items():
        cut = tmp_path / f"{name}.tiff"
        cut.write_bytes(content + b"\0" * 60)
        expect_failure(lambda: kolva.open(cut), kolva.UnsupportedFormat,
                       f"{cut} is not a slide kolva can read: "
                       "a TIFF file whose directories cannot be read (cut short or damaged)")
    short = tmp_path / "short.svs"
    short.write_bytes(b"II*")
    expect_failure(lambda: kolva.open(short), kolva.UnsupportedFormat,
                   f"{short} is not a slide kolva can read: it starts with bytes 49 49 2A")
    stripped = tmp_path / "stripped.tiff"
    ts.write_tiff(stripped, [ts._lzw_strip_ifd(ts.source_image(64, 48, 3), subfile=0,
                                               description="only strips")])
    expect_failure(lambda: kolva.open(stripped), kolva.UnsupportedFormat,
                   f"{stripped} is not a slide kolva can read: "
                   "TIFF whose images are stored in strips, not tiles")
    lerc = one_row_tiff(tmp_path / "lerc.tiff", compression=34887, tables=None)
    expect_failure(lambda: kolva.open(lerc), kolva.UnsupportedFormat,
                   f"{lerc} is not a slide kolva can read: "
                   "tiled TIFF whose tiles are LERC-compressed (compression 34887), "
                   "which kolva cannot hand out as a complete image")


def test_open_takes_any_path_like(tmp_path: Path) -> None:
    path = one_row_tiff(tmp_path / "row.tiff")

    class BytesPath:
        def __fspath__(self) -> bytes:
            return os.fsencode(path)

    want = kolva.open(str(path)).read_tile(0, 1, 0)
    for source in (path, BytesPath()):
        with kolva.open(source) as slide:
            assert slide.source == str(path)
            assert slide.read_tile(0, 1, 0) == want
    with pytest.raises(ValueError, match="embedded null byte"):
        kolva.open(str(path) + "\0")


def test_unreadable_file(tmp_path: Path) -> None:
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    path = tmp_path / "locked.svs"
    path.write_bytes(b"II*\0")
    path.chmod(0)
    expect_failure(lambda: kolva.open(path), kolva.SlideError,
                   f"cannot open {path}: Permission denied")


@pytest.mark.parametrize("name", sorted(ets.ETS_UNOPENABLE))
def test_unopenable_ets_fixtures(fixture_paths: dict[str, Path], name: str) -> None:
    path = fixture_paths[f"ets-{name}"]
    expect_failure(lambda: kolva.open(path), kolva.UnsupportedFormat,
                   re.compile(re.escape(str(path)) + r" is not a slide kolva can read: .+"))


def test_hostile_ets_files(tmp_path: Path) -> None:
    for name, path in ets.hostile_ets_files(tmp_path).items():
        try:
            slide = kolva.open(path)
        except kolva.SlideError as exc:
            assert_plain(exc)
            assert exc.__cause__ is None or isinstance(exc.__cause__, kolva.CoreError), name
            continue
        for lv in slide.levels:  # what opens reads tiles or fails in words
            for xy in [(0, 0), (lv.tile_grid[0] - 1, 0), (lv.tile_grid[0], 0), (U64_MAX, 0)]:
                try:
                    assert isinstance(slide.read_tile(lv.index, *xy), bytes)
                except kolva.SlideError as exc:
                    assert_plain(exc)


@pytest.mark.parametrize("call, cls, message", [
    (lambda s: s.read_tile(3, 0, 0), kolva.TileNotFound,
     "level 3 does not exist: the slide has 3 levels"),
    (lambda s: s.read_tile(U64_MAX, 0, 0), kolva.TileNotFound,
     f"level {U64_MAX} does not exist: the slide has 3 levels"),
    (lambda s: s.read_tiles(3, [(0, 0)]), kolva.TileNotFound,
     "level 3 does not exist: the slide has 3 levels"),
    (lambda s: s.read_tile(0, 4, 0), kolva.TileNotFound,
     "tile (4, 0) of level 0 does not exist: the level has 4 x 3 tiles"),
    (lambda s: s.read_tile(1, 0, U64_MAX), kolva.TileNotFound,
     f"tile (0, {U64_MAX}) of level 1 does not exist: the level has 2 x 2 tiles"),
    (lambda s: s.read_tile(0, 2, 1), kolva.TileNotFound,
     "tile (2, 1) of level 0 is not stored in the file"),
    (lambda s: s.read_tiles(1, [(0, 0), (0, 1)]), kolva.TileNotFound,
     "tile (0, 1) of level 1 is not stored in the file"),
], ids=["level", "level-u64", "batch-level", "column", "row-u64", "absent", "batch-absent"])
def test_tile_failures(fixture_paths: dict[str, Path], call, cls, message) -> None:
    slide = kolva.open(fixture_paths["philips-sparse"])  # (0, 2, 1) and (1, 0, 1) absent
    expect_failure(lambda: call(slide), cls, message)
    assert issubclass(cls, IndexError) or cls is kolva.SlideError
    with pytest.raises(IndexError):  # TileNotFound is an IndexError
        slide.read_tile(0, 99, 0)
    assert slide.read_tile(0, 0, 0)[:2] == b"\xff\xd8"  # the slide is still usable


def test_tile_box_names_the_level_count(fixture_paths: dict[str, Path], tmp_path: Path) -> None:
    one = ts.make_generic_tiff(tmp_path / "one.tiff", levels=((64, 48, 16),),
                               extra_stripped=False).path
    with kolva.open(one) as slide, pytest.raises(kolva.TileNotFound,
                                                 match="^level 1 does not exist: the slide "
                                                       "has 1 level$"):
        slide.tile_box(1, 0, 0)


def test_damaged_tiles_and_a_shrunk_file(tmp_path: Path) -> None:
    short = one_row_tiff(tmp_path / "short.tiff", tiles=[b"\xff", b"\xff\xd8\x01\x02\xff\xd9"])
    slide = kolva.open(short)
    expect_failure(lambda: slide.read_tile(0, 0, 0), kolva.SlideError,
                   re.compile(re.escape(str(short)) + r" is damaged: .+"))
    assert slide.read_tile(0, 1, 0).startswith(b"\xff\xd8\xff\xdb")
    path = ts.make_generic_tiff(tmp_path / "g.tiff", extra_stripped=False).path
    slide = kolva.open(path)
    with open(path, "r+b") as f:
        f.truncate(16)  # every tile now lies past the end
    for level in range(slide.level_count):
        expect_failure(lambda: slide.read_tiles(level, [(0, 0)]), kolva.SlideError,
                       re.compile(re.escape(str(path)) + r" is damaged: .+"))


MUTANTS = 120


@pytest.mark.parametrize("kind", ["aperio", "philips", "ndpi", "ets"])
def test_mutated_files_fail_in_words(tmp_path: Path, kind: str) -> None:
    """Seeded byte damage: whatever fails, fails as SlideError in plain words."""
    d = tmp_path / "src"
    d.mkdir()
    if kind == "aperio":
        data = ts.make_aperio_svs(d / "a.svs", levels=((64, 48, 32), (32, 24, 32)),
                                  quality=30).path.read_bytes()
    elif kind == "philips":
        data = ts.make_philips_tiff(d / "p.tiff", content=(64, 48), tile=32, n_levels=2,
                                    missing=((0, 1, 1),), quality=30).path.read_bytes()
    elif kind == "ndpi":
        data = ndpi.make_ndpi(d / "n.ndpi", levels=((64, 32, 2), (32, 16, 1)), macro=False,
                              quality=30).path.read_bytes()
    else:
        data = ets.make_ets(d / "e.ets", levels=((2, 2), (1, 1)), tile=(16, 16)).path.read_bytes()
    rng = random.Random(f"slide-api-{kind}")
    path = tmp_path / "f"
    for _ in range(MUTANTS):
        out = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            pos = rng.randrange(len(out))
            out[pos] = rng.randrange(256)
        path.write_bytes(bytes(out))
        try:
            slide = kolva.open(path)
        except kolva.SlideError as exc:
            assert_plain(exc)
            assert exc.__cause__ is None or isinstance(exc.__cause__, kolva.CoreError)
            continue
        assert isinstance(slide.properties, dict)
        for lv in slide.levels:
            for xy in [(0, 0), (lv.tile_grid[0] - 1, lv.tile_grid[1] - 1)]:
                try:
                    slide.read_tile(lv.index, *xy)
                except kolva.SlideError as exc:
                    assert_plain(exc)
        slide.close()


def test_summary_is_what_info_and_the_server_show() -> None:
    """One summary of a slide for `kolva info --json` and the server's slide JSON."""
    with kolva.open(kolva.example_path()) as slide:
        summary = slide.summary()
        assert summary["format"] == slide.format == "aperio"
        assert summary["vendor"] == slide.properties["kolva.vendor"]
        assert summary["levels"][1]["tile_grid"] == list(slide.levels[1].tile_grid)
        assert summary["mpp"] == list(slide.mpp or ())
        assert summary["objective_power"] == slide.objective_power
        assert summary["associated_images"] == sorted(slide.associated_images)
