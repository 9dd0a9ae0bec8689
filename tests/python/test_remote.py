"""Slides read over HTTP (a real server of the tests' own on 127.0.0.1), over a real
S3 API (moto in server mode with s3fs), through any fsspec file system and from
file objects: the same geometry, properties and bytes as the local file, few round
trips, and every transport failure a kolva.SlideError naming the URL and the cause.
"""
from __future__ import annotations

import io
import pickle
import random
import threading
import time
from pathlib import Path

import pytest

import kolva
from kolva import _remote
from fixtures.ets import ETS_UNOPENABLE, all_ets_fixtures
from fixtures.http_server import RangeServer
from fixtures.s3 import loopback_s3
from fixtures.ndpi import all_ndpi_fixtures, make_ndpi
from fixtures.tiff_slides import all_tiff_fixtures

CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus" / "real"
REAL = {
    "cmu-small": "svs/CMU-1-Small-Region.svs",
    "tcga-j2k": "svs/tcga-cr-7395-01a-01-ts1.svs",
    "ndpi": "ndpi/test3-DAPI-2-(387).ndpi",
    "cog": "tiff/gdal_cog_jpeg.tif",
    "boxes": "tiff/openslide-python_boxes.tiff",
    "naip-webp": "bigtiff/image-tiff_usda_naip_256_webp_z3.tif",
}
# Requests of an opening with the walker: the first round trip (both ends of the
# file) plus one window per directory the ends do not hold.
OPEN_REQUESTS = {"cog": 2, "cmu-small": 5, "tcga-j2k": 4, "ndpi": 11}


def _files(tmp: Path) -> dict[str, Path]:
    files: dict[str, Path] = {}
    files.update({f"tiff-{k}": v.path for k, v in all_tiff_fixtures(tmp / "tiff").items()})
    files.update({f"ndpi-{k}": v.path for k, v in all_ndpi_fixtures(tmp / "ndpi").items()})
    files.update({f"ets-{k}": Path(v.path) for k, v in all_ets_fixtures(tmp / "ets").items()
                  if k not in ETS_UNOPENABLE})
    for name, rel in REAL.items():
        if (CORPUS / rel).is_file():
            files[f"real-{name}"] = CORPUS / rel
    return files


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, Path]:
    tmp = tmp_path_factory.mktemp("remote")
    for sub in ("tiff", "ndpi", "ets"):
        (tmp / sub).mkdir()
    return _files(tmp)


@pytest.fixture(scope="module")
def server(files):
    with RangeServer({k: v.read_bytes() for k, v in files.items()}) as srv:
        yield srv


@pytest.fixture
def http(server):
    server.fail(None)
    server.delay = 0.0
    server.reset_counts()
    yield server
    server.fail(None)


def _all_coords(slide: kolva.Slide, level: int) -> list[tuple[int, int]]:
    across, down = slide.levels[level].tile_grid
    return [(x, y) for y in range(down) for x in range(across)]


def _tiles(slide: kolva.Slide, level: int, coords) -> list[bytes | type]:
    """Tile bytes, or the class of the error for tiles that cannot be read."""
    out: list[bytes | type] = []
    for x, y in coords:
        try:
            out.append(slide.read_tile(level, x, y))
        except kolva.SlideError as exc:
            out.append(type(exc))
    return out


def assert_opens_the_same(open_remote, path: Path, **kwargs) -> None:
    """The remote slide matches the local one; a file refused locally is refused alike."""
    try:
        local = kolva.open(path)
    except kolva.SlideError as exc:
        with pytest.raises(type(exc)):
            open_remote()
        return
    with open_remote() as remote:
        assert_same_slide(remote, local, **kwargs)


def assert_same_slide(remote: kolva.Slide, local: kolva.Slide, *, max_tiles: int = 400) -> None:
    assert (remote.format, remote.levels, remote.properties) == \
        (local.format, local.levels, local.properties)
    assert dict(remote.associated_images) == dict(local.associated_images)
    for level in range(local.level_count):
        coords = _all_coords(local, level)[:max_tiles]
        expected = _tiles(local, level, coords)
        stored = [c for c, t in zip(coords, expected) if isinstance(t, bytes)]
        assert remote.read_tiles(level, stored) == [t for t in expected if isinstance(t, bytes)]
        # One by one too (through the range cache), on a sample.
        sample = coords[:: max(1, len(coords) // 7)]
        assert _tiles(remote, level, sample) == _tiles(local, level, sample)


# --------------------------------------------------------------------------- HTTP
def test_every_fixture_and_real_file_reads_the_same_over_http(http, files):
    assert len(files) >= 20
    for name, path in sorted(files.items()):
        assert_opens_the_same(lambda: kolva.open(http.url(name)), path)
    assert http.counts.heads == 0


@pytest.mark.parametrize("name,walker", sorted(OPEN_REQUESTS.items()))
def test_opening_takes_the_walkers_round_trips(http, files, name, walker):
    if f"real-{name}" not in files:
        pytest.skip("real sample file absent")
    kolva.open(http.url(f"real-{name}"))
    counts = http.reset_counts()
    assert counts.heads == 0
    assert counts.requests <= walker + 1, counts.ranges


def test_tiles_cost_their_own_bytes_and_batches_merge_touching_ranges(http, files):
    slide = kolva.open(http.url("tiff-aperio-rgb"), cache_size=0)
    http.reset_counts()
    coords = _all_coords(slide, 0)
    plans, ranges = slide._core.plan_tiles(0, coords)
    tiles = slide.read_tiles(0, coords)
    counts = http.reset_counts()
    assert counts.bytes_sent == sum(n for _, n in ranges)
    assert counts.requests == len(_remote.merge_ranges(ranges, 1 << 30))
    assert len(tiles) == len(coords)


@pytest.mark.parametrize("which", ["fixture", "real"])
def test_a_remote_ndpi_is_sized_without_fetching_its_tiles(tmp_path, which):
    if which == "real":
        path = CORPUS / REAL["ndpi"]
        if not path.is_file():
            pytest.skip("real sample file absent")
    else:  # level 0's tiles lie past the opening's windows
        path = make_ndpi(tmp_path / "a.ndpi", levels=[(2048, 1024, 8), (1024, 512, 8)],
                         quality=95).path
    with RangeServer({"a.ndpi": path.read_bytes()}) as srv, kolva.open(path) as local:
        remote = kolva.open(srv.url("a.ndpi"))
        for level in range(local.level_count):
            coords = _all_coords(local, level)
            srv.reset_counts()
            sizes = remote.tile_nbytes(level, coords)
            assert srv.reset_counts().requests == 0, level
            tiles = remote.read_tiles(level, coords)
            assert sizes.tolist() == [len(t) for t in tiles] and tiles == local.read_tiles(level, coords)
            if level == 0:  # not sized from bytes the opening happened to hold
                assert srv.reset_counts().requests > 0


def test_a_bad_coordinate_fails_a_batch_before_any_request(http):
    slide = kolva.open(http.url("tiff-aperio-rgb"), cache_size=0)
    http.reset_counts()
    with pytest.raises(kolva.TileNotFound):
        slide.read_tiles(0, [(0, 0), (10**6, 0)])
    assert slide.read_tiles(0, []) == []
    assert http.reset_counts().requests == 0


@pytest.mark.parametrize("ranges,limit,merged", [
    ([(0, 10), (10, 5), (30, 5)], 100, [(0, 15), (30, 5)]),
    ([(30, 5), (0, 10), (10, 5), (0, 10)], 100, [(0, 15), (30, 5)]),  # unsorted, repeated
    ([(0, 10), (5, 10)], 100, [(0, 15)]),  # overlapping
    ([(0, 60), (60, 60)], 100, [(0, 60), (60, 60)]),  # the join would pass the limit
    ([(0, 500)], 100, [(0, 500)]),  # a long range stays whole
    ([(0, 0), (4, 2)], 100, [(4, 2)]),  # empty ranges need no request
])
def test_merge_ranges(ranges, limit, merged):
    assert _remote.merge_ranges(ranges, limit) == merged


def test_batches_run_concurrently(http, files):
    slide = kolva.open(http.url("real-cmu-small" if "real-cmu-small" in files
                                else "tiff-aperio-rgb"), max_requests=64)
    coords = _all_coords(slide, 0)
    random.Random(1).shuffle(coords)
    coords = coords[:64]
    expected = _tiles(kolva.open(files["real-cmu-small" if "real-cmu-small" in files
                                       else "tiff-aperio-rgb"]), 0, coords)
    http.delay = 0.3
    start = time.perf_counter()
    got = slide.read_tiles(0, coords)
    elapsed = time.perf_counter() - start
    assert got == expected
    # 64 requests one after the other would take 19 s; all at once, one delay.
    assert elapsed < 4 * 0.3


def test_concurrent_readers_share_a_remote_slide(http, files):
    local = kolva.open(files["tiff-aperio-ycbcr"])
    slide = kolva.open(http.url("tiff-aperio-ycbcr"))
    coords = [(level, x, y) for level in range(local.level_count)
              for x, y in _all_coords(local, level)]
    expected = {c: local.read_tile(*c) for c in coords}
    wrong: list[tuple] = []

    def work(seed: int) -> None:
        rng = random.Random(seed)
        for _ in range(40):
            c = rng.choice(coords)
            if slide.read_tile(*c) != expected[c]:
                wrong.append(c)
        if slide.read_tiles(0, [(x, y) for _, x, y in coords if _ == 0]) != \
                [expected[c] for c in coords if c[0] == 0]:
            wrong.append(("batch", seed))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not wrong


def test_a_remote_slide_pickles_by_url_and_options(http, files):
    slide = kolva.open(http.url("tiff-aperio-rgb"), cache_size=1 << 20, tile_size=None)
    clone = pickle.loads(pickle.dumps(slide))
    assert clone.source == http.url("tiff-aperio-rgb")
    assert clone._options == {"cache_size": 1 << 20}
    assert clone.read_tile(0, 1, 1) == slide.read_tile(0, 1, 1)


def _read_in_child(slide: kolva.Slide, queue) -> None:
    queue.put(slide.read_tiles(0, [(0, 0), (1, 1)]))


def test_a_remote_slide_works_in_a_forked_child(http, files):
    import multiprocessing

    slide = kolva.open(http.url("tiff-aperio-rgb"), cache_size=0)
    expected = slide.read_tiles(0, [(0, 0), (1, 1)])  # the parent's loop and connections exist
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_read_in_child, args=(slide, queue))
    child.start()
    try:
        assert queue.get(timeout=30) == expected
    finally:
        child.join(timeout=30)
        if child.is_alive():
            child.kill()


# --------------------------------------------------------------------------- failures
FAILURES = [
    # (mode, what the message says)
    ("403", "HTTP 403"),
    ("404", "HTTP 404"),
    ("ignore-range", "ignores Range"),
    ("wrong-range", "the server sent bytes"),
    ("short", "bytes"),
    ("drop", "tries"),
    ("500", "HTTP 500 Internal Server Error (after 3 tries)"),
    ("hang", "no answer within 0.5 s"),
]


@pytest.mark.parametrize("mode,says", FAILURES)
def test_failures_at_opening_and_in_tile_reads(http, files, mode, says):
    url = http.url("tiff-aperio-rgb")
    options = dict(timeout=0.5, retries=2)
    http.fail(mode)
    with pytest.raises(kolva.SlideError, match="cannot read") as err:
        kolva.open(url, **options)
    assert url in str(err.value) and says in str(err.value)
    assert err.value.__cause__ is not None

    http.fail(None)
    slide = kolva.open(url, cache_size=0, **options)  # every read goes to the server
    http.fail(mode)
    reads = [lambda: slide.read_tile(0, 1, 1), lambda: slide.read_tiles(0, [(0, 0), (1, 1)])]
    for name in list(slide.associated_images)[:1]:
        reads.append(lambda: slide.associated_images[name].data)
    for read in reads:
        with pytest.raises(kolva.SlideError) as err:
            read()
        assert url in str(err.value) and says in str(err.value), str(err.value)
    http.fail(None)
    assert slide.read_tile(0, 1, 1) == kolva.open(files["tiff-aperio-rgb"]).read_tile(0, 1, 1)


@pytest.mark.parametrize("mode", ["500", "503", "drop"])
def test_transient_failures_are_retried(http, files, mode):
    http.fail(mode, 2)
    slide = kolva.open(http.url("tiff-aperio-rgb"), retries=2)
    http.fail(mode, 2)
    assert slide.read_tiles(0, [(0, 0)]) == [kolva.open(files["tiff-aperio-rgb"]).read_tile(0, 0, 0)]


def test_connection_refused_and_missing_files():
    with RangeServer({}) as srv:
        url = srv.url("nothing.svs")
        with pytest.raises(kolva.SlideError, match="HTTP 404"):
            kolva.open(url)
    with pytest.raises(kolva.SlideError, match=f"cannot read {url}: cannot connect"):
        kolva.open(url, retries=0)


def test_a_file_that_is_no_slide_is_unsupported(http):
    http.files["junk.bin"] = b"no slide here" * 10000
    with pytest.raises(kolva.UnsupportedFormat, match="junk.bin"):
        kolva.open(http.url("junk.bin"))
    http.files["empty.bin"] = b""
    with pytest.raises(kolva.SlideError, match="empty"):
        kolva.open(http.url("empty.bin"))


# --------------------------------------------------------------------------- S3
@pytest.fixture(scope="module")
def s3(files):
    with loopback_s3({f"slides/{name}": path.read_bytes()
                      for name, path in files.items()}) as options:
        yield options


def test_every_fixture_and_real_file_reads_the_same_over_s3(s3, files):
    for name, path in sorted(files.items()):
        assert_opens_the_same(lambda: kolva.open(f"s3://slides/{name}", storage_options=s3),
                              path, max_tiles=64)


def test_s3_failures_name_the_url(s3):
    with pytest.raises(kolva.SlideError, match="cannot read s3://slides/missing.svs: no such"):
        kolva.open("s3://slides/missing.svs", storage_options=s3)
    slide = kolva.open("s3://slides/tiff-aperio-rgb", storage_options=s3)
    clone = pickle.loads(pickle.dumps(slide))
    assert clone.read_tile(0, 0, 0) == slide.read_tile(0, 0, 0)


# --------------------------------------------------------------------------- other sources
def test_fsspec_file_systems_and_file_objects(files):
    import fsspec

    path = files["ndpi-ndpi_444"]
    local = kolva.open(path)
    data = path.read_bytes()
    fs = fsspec.filesystem("memory")
    fs.pipe("/slides/a.ndpi", data)
    sources = {
        "memory url": "memory:///slides/a.ndpi",
        "file url": f"file://{path}",
        "BytesIO": io.BytesIO(data),
        "open file": open(path, "rb"),  # noqa: SIM115 - closed below
        "fsspec file": fsspec.open("memory:///slides/a.ndpi").open(),
        "fsspec OpenFile": fsspec.open("memory:///slides/a.ndpi"),
    }
    try:
        for what, source in sources.items():
            slide = kolva.open(source)
            assert_same_slide(slide, local), what
    finally:
        sources["open file"].close()
    with pytest.raises(kolva.SlideError, match="memory:///slides/none.ndpi: no such file"):
        kolva.open("memory:///slides/none.ndpi")
    with pytest.raises(TypeError, match="not int"):
        kolva.open(42)


def test_cli_reads_urls(http, files, capsys):
    from kolva import cli

    assert cli.main(["info", "--json", http.url("tiff-aperio-rgb")]) == 0
    remote_info = capsys.readouterr().out
    assert cli.main(["info", "--json", str(files["tiff-aperio-rgb"])]) == 0
    assert remote_info.replace(http.url("tiff-aperio-rgb"), "X") == \
        capsys.readouterr().out.replace(str(files["tiff-aperio-rgb"]), "X")
