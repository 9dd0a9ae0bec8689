"""`Slide.read_tiles_into`, `tile_nbytes` and `tissue_tiles`: the batch lands back to
back in the caller's buffer exactly as `read_tiles` returns it, for every format,
local and remote; sizing and bad coordinates fail before the buffer is written."""
from __future__ import annotations

import random
import sqlite3
from pathlib import Path

import numpy as np
import pytest

import kolva
from fixtures.codec_tiffs import CASES, make_codec_tiff
from fixtures.ets import ETS_UNOPENABLE, all_ets_fixtures
from fixtures import czi, sakura, vms
from fixtures.export_slides import make_tissue_svs
from fixtures.http_server import RangeServer
from fixtures.ndpi import all_ndpi_fixtures
from fixtures.tiff_slides import all_tiff_fixtures

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus" / "real"
REAL = ["svs/CMU-1-Small-Region.svs", "svs/tcga-cr-7395-01a-01-ts1.svs",
        "ndpi/test3-DAPI-2-(387).ndpi", "tiff/gdal_cog_jpeg.tif",
        "bigtiff/image-tiff_usda_naip_256_webp_z3.tif"]


@pytest.fixture(scope="module")
def slides(tmp_path_factory) -> dict[str, tuple[Path, dict]]:
    """name -> (path, open options): one file of each family and reading path."""
    tmp = tmp_path_factory.mktemp("into")
    out: dict[str, tuple[Path, dict]] = {}
    for name, built in all_tiff_fixtures(tmp).items():
        if name in ("aperio-ycbcr", "aperio-j2k-rgb", "philips-sparse", "generic-bigtiff-be-rgb"):
            out[name] = (built.path, {})
    ndpi = all_ndpi_fixtures(tmp)["ndpi_420"].path
    out["ndpi"] = (ndpi, {})
    out["ndpi-cut"] = (ndpi, {"tile_size": 64})  # tiles cut a band at a time
    ets = {k: v for k, v in all_ets_fixtures(tmp).items() if k not in ETS_UNOPENABLE}
    name = next(iter(ets))
    out[f"ets-{name}"] = (Path(ets[name].path), {})
    for case in ("lzw-le-rgb8-pred", "deflate-le-grey16"):  # wrapped in a TIFF of their own
        out[case] = (make_codec_tiff(tmp / f"{case}.tif", CASES[case]), {})
    # Stored bytes behind a header made for the tile: a JPEG interval with an end
    # marker, Bgr24 samples put in RGB order, three planes joined.
    out["vms"] = (vms.write_vms(tmp / "vms"), {})
    out["czi-bgr24"] = (czi.brightfield(tmp / "czi" / "b.czi")[0].path, {})
    out["sakura"] = (sakura.write_svslide(tmp / "sak" / "s.svslide")[0], {})
    for rel in REAL:
        if (CORPUS / rel).is_file():
            out[f"real-{Path(rel).stem}"] = (CORPUS / rel, {})
    return out


def _stored(slide: kolva.Slide, level: int, limit: int = 60) -> list[tuple[int, int]]:
    """Up to `limit` stored tiles of the level, shuffled (a repeat included)."""
    across, down = slide.levels[level].tile_grid
    sizes = np.frombuffer(slide._core.tile_sizes(level), np.int64)
    coords = [(i % across, i // across) for i in np.flatnonzero(sizes >= 0)]
    random.Random(3).shuffle(coords)
    return coords[:limit] + coords[:1]


def _split(buf, offsets) -> list[bytes]:
    data = memoryview(buf).cast("B")
    return [bytes(data[a:b]) for a, b in zip(offsets[:-1], offsets[1:])]


def test_every_format_reads_into_a_buffer_as_read_tiles_returns(slides):
    for name, (path, options) in slides.items():
        with kolva.open(path, **options) as slide:
            for level in range(slide.level_count):
                coords = _stored(slide, level)
                expected = slide.read_tiles(level, coords)
                sizes = slide.tile_nbytes(level, coords)
                assert sizes.tolist() == [len(t) for t in expected], (name, level)
                buf = np.full(int(sizes.sum()) + 7, 0xAB, np.uint8)
                offsets = slide.read_tiles_into(level, coords, buf)
                assert offsets.dtype == np.int64 and len(offsets) == len(coords) + 1
                assert offsets[0] == 0 and offsets[-1] == sizes.sum(), (name, level)
                assert _split(buf, offsets) == expected, (name, level)
                assert (buf[int(sizes.sum()):] == 0xAB).all()  # nothing past the batch


def _buffers(n: int):
    torch = pytest.importorskip("torch")
    yield "bytearray", bytearray(n)
    yield "numpy", np.zeros(n, np.uint8)
    yield "numpy-2d", np.zeros((2, (n + 1) // 2), np.uint8)
    yield "torch", torch.zeros(n, dtype=torch.uint8)
    yield "torch-int32", torch.zeros((n + 3) // 4, dtype=torch.int32)
    yield "memoryview", memoryview(bytearray(n))


def test_any_writable_host_buffer_takes_a_batch(slides):
    path, _ = slides["aperio-ycbcr"]
    with kolva.open(path) as slide:
        coords = _stored(slide, 0)
        expected = slide.read_tiles(0, coords)
        need = int(slide.tile_nbytes(0, coords).sum())
        for kind, buf in _buffers(need):
            offsets = slide.read_tiles_into(0, coords, buf, threads=1)
            raw = buf.numpy() if hasattr(buf, "numpy") else buf
            assert _split(raw, offsets) == expected, kind


@pytest.mark.parametrize("make, error", [
    (lambda n: bytes(n), BufferError),                                # read-only
    (lambda n: np.zeros(2 * n, np.uint8)[::2], ValueError),           # strided
    ("torch-strided", ValueError),
])
def test_unusable_buffers_are_refused(slides, make, error):
    path, _ = slides["aperio-ycbcr"]
    with kolva.open(path) as slide:
        coords = _stored(slide, 0, 4)
        n = int(slide.tile_nbytes(0, coords).sum())
        if make == "torch-strided":
            torch = pytest.importorskip("torch")
            buf = torch.zeros((n, 2), dtype=torch.uint8).t()
        else:
            buf = make(n)
        with pytest.raises(error):
            slide.read_tiles_into(0, coords, buf)


@pytest.mark.parametrize("name", ["aperio-ycbcr", "ndpi-cut", "lzw-le-rgb8-pred"])
def test_a_small_buffer_or_a_bad_coordinate_leaves_the_buffer_untouched(slides, name):
    path, options = slides[name]
    with kolva.open(path, **options) as slide:
        coords = _stored(slide, 0, 8)
        need = int(slide.tile_nbytes(0, coords).sum())
        small = bytearray(b"\x5a" * (need - 1))
        with pytest.raises(ValueError, match=f"holds {need - 1} bytes.*need {need}"):
            slide.read_tiles_into(0, coords, small)
        assert small == b"\x5a" * (need - 1)
        big = bytearray(b"\x5a" * need)
        across, down = slide.levels[0].tile_grid
        for bad in [(across, 0), (0, down)]:
            with pytest.raises(kolva.TileNotFound):
                slide.read_tiles_into(0, coords + [bad], big)
            with pytest.raises(kolva.TileNotFound):
                slide.tile_nbytes(0, [bad])
        with pytest.raises(kolva.TileNotFound):
            slide.read_tiles_into(slide.level_count, coords, big)
        assert big == b"\x5a" * need
        assert slide.read_tiles_into(0, [], bytearray()).tolist() == [0]


def test_remote_slides_read_into_buffers_like_local_ones(slides):
    names = [n for n in ("aperio-ycbcr", "ndpi", "lzw-le-rgb8-pred", "real-CMU-1-Small-Region")
             if n in slides]
    with RangeServer({n: slides[n][0].read_bytes() for n in names}) as server:
        for name in names:
            with kolva.open(slides[name][0]) as local, kolva.open(server.url(name)) as remote:
                coords = _stored(local, 0, 20)
                expected = local.read_tiles(0, coords)
                sizes = remote.tile_nbytes(0, coords)
                assert sizes.tolist() == [len(t) for t in expected], name
                buf = np.zeros(int(sizes.sum()), np.uint8)
                offsets = remote.read_tiles_into(0, coords, buf)
                assert _split(buf, offsets) == expected, name
                server.reset_counts()
                with pytest.raises(ValueError, match="tile_nbytes"):
                    remote.read_tiles_into(0, coords, bytearray(int(sizes.sum()) - 1))
                if name.startswith(("aperio", "real", "ndpi")):  # sized from the plans
                    assert server.reset_counts().requests == 0


def test_tissue_tiles_keep_what_the_export_keeps(tmp_path):
    from kolva._export.tasks import scan_slide

    path = tmp_path / "tissue.svs"
    mask = make_tissue_svs(path)
    with kolva.open(path) as slide:
        across = slide.levels[0].tile_grid[0]
        tissue = slide.tissue_tiles(0)
        assert tissue == [(i % across, i // across) for i, m in enumerate(mask) if m]
        assert len(slide.tissue_tiles(0, None)) == len(mask)
        assert slide.tissue_tiles(0, "1GB") == []
        for min_bytes in ("auto", 0, 5000):
            scan = scan_slide(str(path), 0, min_bytes, {})
            kept = np.frombuffer(scan.tiles, np.uint64).tolist()
            assert slide.tissue_tiles(0, min_bytes) == [(i % across, i // across) for i in kept]
        with pytest.raises(kolva.TileNotFound):
            slide.tissue_tiles(slide.level_count)


def test_sakura_planes_that_do_not_fit_the_usual_layout_read_into_place_as_read(tmp_path):
    # Headers past the row's own page (one longer than a tile's read of its
    # header gives), bytes after a plane's JPEG: the tiles come out as joined whole.
    def app1(data: bytes, n: int) -> bytes:
        return data[:2] + b"\xff\xe1" + (n + 2).to_bytes(2, "big") + bytes(n) + data[2:]
    changes = {0: {1: lambda d: app1(d, 5000)}, 1: {2: lambda d: d + b"\0\1\2"},
               2: {0: lambda d: app1(d, 20000), 2: lambda d: d + b"\xff\xd9"}}
    path, _ = sakura.write_svslide(tmp_path / "s.svslide")
    db = sqlite3.connect(path)
    for tile, (x, y) in enumerate([(0, 0), (256, 0), (0, 256)]):
        for colour, change in changes[tile].items():
            key = f"T;{x}|{y};1;{colour};0"
            (data,) = db.execute("SELECT data FROM DataManager_0 WHERE id = ?", (key,)).fetchone()
            db.execute("UPDATE DataManager_0 SET data = ? WHERE id = ?", (change(data), key))
    db.commit()
    db.close()
    with kolva.open(path) as slide:
        coords = [(0, 0), (1, 0), (0, 1), (1, 1), (0, 0)]
        expected = slide.read_tiles(0, coords)
        buf = np.zeros(int(slide.tile_nbytes(0, coords).sum()), np.uint8)
        assert _split(buf, slide.read_tiles_into(0, coords, buf)) == expected


@pytest.mark.parametrize("form, error", [
    (lambda c: c, None),                                  # a list of int tuples, read in place
    (lambda c: tuple(c), None),
    (lambda c: [list(p) for p in c], None),               # the general reading
    (lambda c: [(np.int64(x), y) for x, y in c], None),
    (lambda c: iter(c), None),
    (lambda c: c + [(0, -1)], OverflowError),             # the fast reading hands these over
    (lambda c: c + [(2 ** 64, 0)], OverflowError),
    (lambda c: c + [(0, 1, 2)], TypeError),
    (lambda c: c + [(0.0, 1)], TypeError),
])
def test_coordinates_in_any_form_read_the_same_tiles(slides, form, error):
    path, options = slides["lzw-le-rgb8-pred"]
    with kolva.open(path, **options) as slide:
        coords = _stored(slide, 0, 8)
        if error is not None:
            with pytest.raises(error):
                slide.read_tiles(0, form(coords))
            return
        assert slide.read_tiles(0, form(coords)) == [slide.read_tile(0, x, y) for x, y in coords]


@pytest.fixture(scope="module")
def many_tiles(tmp_path_factory) -> Path:
    """A Deflate TIFF of 32 x 32 tiles, stored in row order."""
    tifffile = pytest.importorskip("tifffile")
    path = tmp_path_factory.mktemp("many") / "many.tif"
    pixels = np.random.default_rng(2).integers(0, 255, (512, 512), dtype=np.uint8)
    tifffile.imwrite(path, pixels, tile=(16, 16), compression="zlib", metadata=None)
    return path


@pytest.fixture(scope="module")
def big_tiles(tmp_path_factory) -> Path:
    """An uncompressed TIFF of 2 x 2 tiles of 3 MiB: 48 of them are a batch
    larger than any processor's cache, whose repeats are copied with
    streaming stores."""
    tifffile = pytest.importorskip("tifffile")
    path = tmp_path_factory.mktemp("big") / "big.tif"
    pixels = np.random.default_rng(3).integers(0, 255, (2048, 2048, 3), dtype=np.uint8)
    tifffile.imwrite(path, pixels, tile=(1024, 1024), photometric="rgb", metadata=None)
    return path


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("name, count", [("aperio-ycbcr", 1200), ("philips-sparse", 1200),
                                         ("many", 1200), ("big", 48)])
def test_a_large_batch_with_repeats_lands_as_tile_by_tile_reads(slides, many_tiles, big_tiles,
                                                                name, count, threads):
    # Hundreds of tiles in random order, some asked for again: sorted into file
    # order in bulk, read in runs shared by the threads, repeats copied.
    path, options = {"many": (many_tiles, {}), "big": (big_tiles, {})}.get(name) or slides[name]
    with kolva.open(path, **options) as slide:
        coords = _stored(slide, 0, 10_000)
        coords = (coords * (count // len(coords) + 1))[:count]
        random.Random(5).shuffle(coords)
        out = bytearray(int(slide.tile_nbytes(0, coords).sum()))
        offsets = slide.read_tiles_into(0, coords, out, threads=threads)
        assert _split(out, offsets) == [slide.read_tile(0, x, y) for x, y in coords]
