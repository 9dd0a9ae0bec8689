"""`kolva export`: shards that webdataset reads back with every tile's exact bytes, a
manifest whose offsets point at them, the wids index, the size filter, reruns after
a crash or a killed worker, Dask clusters (local and by address), S3 output on a
loopback moto server, and a broken slide among good ones."""
from __future__ import annotations

import json
import math
import os
import shutil
import signal
import subprocess
import sys
import tarfile
import time
from array import array
from pathlib import Path

import pytest

import kolva
from kolva._export import ExportError
from kolva._export import plan as plan_mod
from kolva._export import tasks as tasks_mod
from kolva.cli import main as cli_main

from fixtures import ndpi as ndpi_fixtures
from fixtures import tiff_slides as ts
from fixtures.export_slides import make_small_slides, make_tissue_svs

webdataset = pytest.importorskip("webdataset")

REAL_SVS = Path(__file__).resolve().parents[3] / "shared/corpus/real/svs/CMU-1-Small-Region.svs"


# --------------------------------------------------------------------------- fixtures
@pytest.fixture(scope="module")
def slides(tmp_path_factory) -> dict[str, Path]:
    """Slides of every kind of tile plan: spliced JPEG, J2K codestreams, sparse
    Philips (absent tiles), NDPI (tiles cut from a strip), and a name with dots."""
    d = tmp_path_factory.mktemp("slides")
    out = {
        "svs": d / "TCGA-AA-0001-01Z-00-DX1.5F7B2C1D-0A1B-4C2D-9E8F-123456789ABC.svs",
        "generic": d / "generic.tiff",
        "j2k": d / "j2k.svs",
        "philips": d / "philips-sparse.tiff",
        "ndpi": d / "small.ndpi",
    }
    ts.make_aperio_svs(out["svs"])
    ts.make_generic_tiff(out["generic"])
    ts.make_aperio_j2k(out["j2k"])
    ts.make_philips_tiff(out["philips"], missing=((0, 2, 1), (1, 0, 1)))
    ndpi_fixtures.make_ndpi(out["ndpi"])
    return out


@pytest.fixture(scope="module")
def broken(tmp_path_factory, slides) -> dict[str, Path]:
    d = tmp_path_factory.mktemp("broken")
    data = slides["svs"].read_bytes()
    truncated = d / "truncated.svs"
    truncated.write_bytes(data[: len(data) // 2])
    text = d / "notes.svs"
    text.write_text("not a slide\n")
    return {"truncated": truncated, "text": text, "missing": d / "missing.svs"}


def good_sources(slides) -> list[str]:
    return [str(slides[k]) for k in ("svs", "generic", "j2k", "philips", "ndpi")]


@pytest.fixture(scope="module")
def reference(tmp_path_factory, slides) -> Path:
    """The single-process export of the good slides, several shards."""
    out = tmp_path_factory.mktemp("reference") / "ds"
    summary = kolva.export(good_sources(slides), out, shard_size="40KB", workers=1)
    assert summary.ok and summary.shards >= 4
    return out


@pytest.fixture(scope="module")
def cluster():
    """A Dask cluster of 2 worker processes on 127.0.0.1, for the module."""
    distributed = pytest.importorskip("distributed")
    lc = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  scheduler_port=0, silence_logs=40)
    client = distributed.Client(lc)
    try:
        yield lc, client
    finally:
        client.close()
        lc.close()


def tree(dest: Path) -> dict[str, bytes]:
    """The export's files (shards, index, manifest) and their bytes."""
    names = sorted(p.name for p in dest.iterdir() if p.is_file())
    return {n: (dest / n).read_bytes() for n in names}


def read_samples(dest: Path) -> list[dict]:
    index = json.loads((dest / "index.wids.json").read_text())
    urls = [str(dest / s["url"]) for s in index["shardlist"]]
    ds = webdataset.WebDataset(urls, shardshuffle=False)
    return list(ds)


# --------------------------------------------------------------------------- read back
def test_shards_read_back_with_exact_tile_bytes(reference, slides):
    samples = read_samples(reference)
    opened = {}
    seen = set()
    expected = 0
    for name in ("svs", "generic", "j2k", "philips", "ndpi"):
        s = kolva.open(slides[name])
        lv = s.levels[0]
        sizes = array("q")
        sizes.frombytes(s._core.tile_sizes(0))
        expected += sum(1 for v in sizes if v >= 0)
        opened[str(slides[name])] = s
    assert len(samples) == expected
    for sample in samples:
        key = sample["__key__"]
        assert "." not in key and key not in seen
        seen.add(key)
        meta = json.loads(sample["json"])
        s = opened[meta["source"]]
        tile_ext = next(k for k in sample if k not in ("__key__", "__url__", "__local_path__",
                                                         "json"))
        data = sample[tile_ext]
        assert data == s.read_tile(meta["level"], meta["x"], meta["y"])
        assert meta["key"] == key
        assert meta["bytes"] == len(data)
        assert tuple(meta["box"]) == s.tile_box(meta["level"], meta["x"], meta["y"])
        lv = s.levels[meta["level"]]
        assert meta["media_type"] == lv.media_type and meta["downsample"] == lv.downsample
        assert meta["slide"] == os.path.basename(meta["source"])
        assert meta["mpp"] == (list(s.mpp) if s.mpp else None)
        assert tile_ext == {"image/jpeg": "jpg", "image/jp2": "j2k"}[lv.media_type]
    # The TCGA name's dots stay in the JSON, not in the key.
    tcga = [json.loads(x["json"]) for x in samples if "TCGA" in x["__key__"]]
    assert tcga and tcga[0]["slide"] == slides["svs"].name
    # Philips: the two tiles the file does not store are no samples.
    philips = [x for x in samples if x["__key__"].startswith("philips")]
    assert len(philips) == opened[str(slides["philips"])].levels[0].tile_grid[0] * \
        opened[str(slides["philips"])].levels[0].tile_grid[1] - 1


def test_manifest_index_and_tar_layout_agree(reference):
    index = json.loads((reference / "index.wids.json").read_text())
    assert index["__kind__"] == "wids-shard-index-v1" and index["wids_version"] == 1
    names = [s["url"] for s in index["shardlist"]]
    assert names == [f"shard-{i:06d}.tar" for i in range(len(names))]
    lines = [json.loads(x) for x in (reference / "manifest.jsonl").read_text().splitlines()]
    by_shard: dict[str, list[dict]] = {}
    for line in lines:
        by_shard.setdefault(line["shard"], []).append(line)
    assert list(by_shard) == names
    for entry in index["shardlist"]:
        path = reference / entry["url"]
        assert entry["filesize"] == path.stat().st_size
        data = path.read_bytes()
        with tarfile.open(path) as tar:
            members = tar.getmembers()
        assert all(m.isfile() and m.mode == 0o644 and m.mtime == 0 for m in members)
        tiles = [m for m in members if not m.name.endswith(".json")]
        assert entry["nsamples"] == len(tiles) == len(by_shard[entry["url"]])
        for m, line in zip(tiles, by_shard[entry["url"]]):
            assert m.name.split(".", 1)[0] == line["key"]
            assert (m.offset_data, m.size) == (line["offset"], line["bytes"])
            meta = json.loads(data[m.offset_data + 512 * math.ceil(m.size / 512) + 512:]
                              .split(b"\0", 1)[0])
            assert (meta["x"], meta["y"], meta["level"]) == (line["x"], line["y"], line["level"])


def test_wids_reader_opens_the_index(reference):
    wids = pytest.importorskip("wids")
    ds = wids.ShardListDataset(str(reference / "index.wids.json"))
    index = json.loads((reference / "index.wids.json").read_text())
    assert len(ds) == sum(s["nsamples"] for s in index["shardlist"])


# --------------------------------------------------------------------------- plan pieces
@pytest.mark.parametrize("source, stem", [
    ("/d/TCGA-AA-0001-01Z-00-DX1.5F7B2C1D-0A1B.svs", "TCGA-AA-0001-01Z-00-DX1_5F7B2C1D-0A1B"),
    ("s3://bucket/slides/a b+c.ndpi", "a_b_c"),
    ("https://host/x/slide.tiff?sig=1.2", "slide"),
    ("/d/.hidden", "hidden"),
    ("/d/" + "n" * 200 + ".svs", "n" * 48),
])
def test_slide_keys(source, stem):
    key = plan_mod.slide_key(source)
    assert key.rsplit("-", 1)[0] == stem and "." not in key
    assert plan_mod.slide_key(source) == key                      # stable
    assert len(plan_mod.tile_key(key, 9, 99999, 99999) + ".json") <= 100  # fits a tar name
    other = source.replace("/d/", "/e/").replace("slides/", "other/").replace("/x/", "/y/")
    assert plan_mod.slide_key(other) != key                       # same name elsewhere


@pytest.mark.parametrize("text, value", [
    (4096, 4096), ("4096", 4096), ("64KB", 64000), ("64KiB", 65536), ("1GB", 10**9),
    ("1.5 GiB", 3 * 2**29), ("0", 0),
])
def test_parse_size(text, value):
    assert plan_mod.parse_size(text, "x") == value


@pytest.mark.parametrize("text", ["", "1XB", "-5", "GB", True])
def test_parse_size_refuses(text):
    with pytest.raises(ValueError):
        plan_mod.parse_size(text, "x")


def test_sources_from_globs_lists_and_urls(tmp_path, slides):
    for n in ("b.svs", "a.svs", "c.tiff"):
        (tmp_path / n).write_bytes(b"")
    sub = tmp_path / "lists"
    sub.mkdir()
    (sub / "more.txt").write_text("# slides\n../c.tiff\n\ns3://bucket/x.svs\n../a.svs\n")
    got = plan_mod.expand_sources([str(tmp_path / "*.svs"), str(sub / "more.txt")])
    assert got == [str(tmp_path / "a.svs"), str(tmp_path / "b.svs"),
                   str(tmp_path / "c.tiff"), "s3://bucket/x.svs"]
    with pytest.raises(ValueError, match="no slide matches"):
        plan_mod.expand_sources(str(tmp_path / "*.ndpi"))
    # A folder: its slide files, sorted, subfolders included (lists are no slides).
    (sub / "d.ndpi").write_bytes(b"")
    assert plan_mod.expand_sources(str(tmp_path)) == [
        str(tmp_path / n) for n in ("a.svs", "b.svs", "c.tiff", "lists/d.ndpi")]
    (sub / "empty").mkdir()
    with pytest.raises(ValueError, match="no slide file in the folder"):
        plan_mod.expand_sources(str(sub / "empty"))


@pytest.mark.parametrize("sizes, low, high", [
    ([1500] * 40 + [20000] * 60, 1501, 20000),           # glass and tissue
    ([1000, 1100, 1200] * 20 + [30000, 40000] * 15, 1201, 30000),
    ([18000, 20000, 22000, 25000] * 25, 0, 0),            # all tissue: keep everything
    ([100, 50000] * 5, 0, 0),                             # too few tiles to tell
    ([7000] * 100, 0, 0),                                 # one size
])
def test_otsu_threshold(sizes, low, high):
    t = plan_mod.otsu_threshold(sizes)
    assert low <= t <= high


def test_shard_cut_is_contiguous_and_bounded():
    def scan(n, size):
        s = plan_mod.SlideScan(source=f"s{n}")
        s.tiles = array("Q", range(n)).tobytes()
        s.sizes = array("q", [size] * n).tobytes()
        return s

    scans = [scan(7, 3000), plan_mod.SlideScan(source="bad", error="x"), scan(5, 100000),
             scan(0, 1)]
    limit = 4 * plan_mod.sample_estimate(3000)
    shards = plan_mod.cut_shards(scans, limit)
    covered = [(p.slide, t) for s in shards for p in s.pieces for t in range(p.start, p.stop)]
    assert covered == [(0, t) for t in range(7)] + [(2, t) for t in range(5)]
    assert [s.index for s in shards] == list(range(len(shards)))
    for s in shards:  # within the limit, unless one sample alone exceeds it
        assert s.estimate <= limit or s.samples == 1
    assert plan_mod.cut_shards(scans, limit) == shards


# --------------------------------------------------------------------------- size filter
def test_min_bytes_fixed_and_auto(tmp_path):
    mask = make_tissue_svs(tmp_path / "tissue.svs")
    s = kolva.open(tmp_path / "tissue.svs")
    fixed = kolva.export(tmp_path / "tissue.svs", tmp_path / "fixed", min_bytes="5KB", workers=1)
    assert fixed.slides[0].skipped == mask.count(False)
    auto = kolva.export(tmp_path / "tissue.svs", tmp_path / "auto", min_bytes="auto", workers=1)
    report = auto.slides[0]
    kept = {(json.loads(x["json"])["x"], json.loads(x["json"])["y"])
            for x in read_samples(tmp_path / "auto")}
    across = s.levels[0].tile_grid[0]
    tissue = {(i % across, i // across) for i, m in enumerate(mask) if m}
    glass_kept = len(kept - tissue)
    # Every glass tile dropped, every tissue tile kept, and the report says so.
    print(f"\nauto threshold {report.threshold} B: dropped {mask.count(False) - glass_kept}"
          f"/{mask.count(False)} background tiles, kept {len(kept & tissue)}/{len(tissue)} "
          "tissue tiles")
    assert kept == tissue and report.skipped == mask.count(False) and report.threshold > 0
    # A slide of tissue only keeps every tile.
    none = kolva.export(kolva.example_path(), tmp_path / "example", min_bytes="auto", workers=1)
    assert none.slides[0].skipped == 0 and none.slides[0].threshold == 0


# --------------------------------------------------------------------------- failures
def test_broken_slides_are_reported_and_the_others_exported(tmp_path, slides, broken, capsys):
    sources = [str(broken["text"]), str(slides["svs"]), str(broken["truncated"]),
               str(broken["missing"]), str(slides["generic"])]
    status = cli_main(["export", *sources, "--out", str(tmp_path / "ds"), "--workers", "1"])
    captured = capsys.readouterr()
    assert status == 1
    for name in ("notes.svs", "truncated.svs", "missing.svs"):
        assert f"{name}:" in captured.err
    assert "3 failed" in captured.out or "failed" in captured.out
    lines = (tmp_path / "ds" / "manifest.jsonl").read_text().splitlines()
    slides_seen = {json.loads(x)["slide"] for x in lines}
    assert slides_seen == {str(slides["svs"]), str(slides["generic"])}


def test_a_destination_of_another_export_is_refused(tmp_path, slides):
    kolva.export(slides["generic"], tmp_path / "ds", workers=1)
    with pytest.raises(ExportError, match="other slides or options"):
        kolva.export(slides["generic"], tmp_path / "ds", workers=1, min_bytes=10)
    summary = kolva.export(slides["generic"], tmp_path / "ds", workers=1, min_bytes=10,
                           overwrite=True)
    assert summary.ok and summary.shards_written == summary.shards


def test_a_destination_where_nothing_was_written_takes_a_new_export(tmp_path, slides, broken):
    failed = kolva.export(broken["missing"], tmp_path / "ds", workers=1)
    assert not failed.ok and failed.shards == 0
    summary = kolva.export(slides["generic"], tmp_path / "ds", workers=1)  # the fixed command
    assert summary.ok and summary.shards_written == summary.shards > 0


@pytest.mark.parametrize("sources, expect", [
    (["small", "small2"], 1),             # a few small local files: this process
    (["small", "s3://bucket/a.svs"], 2),  # remote slides: worker processes
    (["small", "large"], 2),
])
def test_default_workers(tmp_path, monkeypatch, sources, expect):
    for name in ("small", "small2"):
        (tmp_path / name).write_bytes(b"x" * 1000)
    with open(tmp_path / "large", "wb") as f:
        f.truncate(300 * 1000**2)  # sparse
    import kolva._export as export_mod

    chosen = []

    def make(workers, scheduler):
        chosen.append(workers)
        raise RuntimeError("stop here")

    monkeypatch.setattr(export_mod.executors, "make", make)
    monkeypatch.setattr(export_mod.executors, "machine_cores", lambda: 4)
    with pytest.raises(RuntimeError, match="stop here"):
        kolva.export([s if "://" in s else str(tmp_path / s) for s in sources],
                     tmp_path / "ds")
    assert chosen == [expect]


# --------------------------------------------------------------------------- reruns
def test_interrupted_export_completes_on_rerun(tmp_path, slides, reference):
    dest = tmp_path / "ds"
    calls = []

    def stop_after_two(done):
        calls.append(done.name)
        if len(calls) == 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        kolva.export(good_sources(slides), dest, shard_size="40KB", workers=1,
                     on_shard=stop_after_two)
    assert not (dest / "manifest.jsonl").exists()
    summary = kolva.export(good_sources(slides), dest, shard_size="40KB", workers=1)
    assert summary.ok and summary.shards_written == summary.shards - 2
    assert tree(dest) == tree(reference)


# The command line, with each shard slowed down so that it can be killed half-way.
SLOW_CLI = """
import sys, time
import kolva._export as e
write = e.write_shard
def slow(*args):
    time.sleep(0.2)
    return write(*args)
e.write_shard = slow
from kolva.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_killed_client_then_rerun(tmp_path, slides, reference):
    dest = tmp_path / "ds"
    args = ["export", *good_sources(slides), "--out", str(dest), "--shard-size", "40KB",
            "--workers", "1", "--quiet"]
    proc = subprocess.Popen([sys.executable, "-c", SLOW_CLI, *args])
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not (dest / "shard-000001.tar").exists():
            if proc.poll() is not None:
                break
            time.sleep(0.02)
        assert proc.poll() is None, "the export finished before it could be killed"
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.wait(timeout=30)
    assert not (dest / "index.wids.json").exists()
    rerun = subprocess.run([sys.executable, "-m", "kolva", *args], timeout=60)
    assert rerun.returncode == 0
    assert tree(dest) == tree(reference)


# --------------------------------------------------------------------------- Dask
def test_two_dask_workers_equal_one_process(tmp_path, slides, reference, cluster):
    _, client = cluster
    summary = kolva.export(good_sources(slides), tmp_path / "ds", shard_size="40KB",
                           scheduler=client)
    assert summary.ok
    assert tree(tmp_path / "ds") == tree(reference)


def test_scheduler_address_from_the_command_line(tmp_path, slides, reference, cluster):
    lc, _ = cluster
    assert lc.scheduler_address.startswith("tcp://127.0.0.1:")
    status = cli_main(["export", *good_sources(slides), "--out", str(tmp_path / "ds"),
                       "--shard-size", "40KB", "--scheduler", lc.scheduler_address, "--quiet"])
    assert status == 0
    assert tree(tmp_path / "ds") == tree(reference)


def test_killed_worker_then_rerun(tmp_path, slides, cluster):
    _, client = cluster
    # Small shards: many tasks, so that killing a worker lands in the middle of them.
    expected = tmp_path / "one-process" / "ds"
    kolva.export(good_sources(slides), expected, shard_size="8KB", workers=1)
    killed = []

    def kill_a_worker(done):
        if not killed:
            victim = sorted(client.run(os.getpid).values())[0]
            os.kill(victim, signal.SIGKILL)
            killed.append(victim)

    dest = tmp_path / "ds"
    first = kolva.export(good_sources(slides), dest, shard_size="8KB", scheduler=client,
                         on_shard=kill_a_worker)
    assert killed
    # The cluster retries the lost tasks, or reports them: a rerun completes the set.
    if not first.ok:
        assert kolva.export(good_sources(slides), dest, shard_size="8KB", workers=1).ok
    assert tree(dest) == tree(expected)
    client.wait_for_workers(2, timeout=30)


# --------------------------------------------------------------------------- S3
def test_export_to_s3_on_a_loopback_server(tmp_path, slides, reference):
    moto_server = pytest.importorskip("moto.server")
    s3fs = pytest.importorskip("s3fs")
    server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0)
    server.start()
    try:
        host, port = server.get_host_and_port()
        options = {"key": "testing", "secret": "testing",
                   "client_kwargs": {"endpoint_url": f"http://{host}:{port}",
                                     "region_name": "us-east-1"}}
        import boto3

        boto3.client("s3", endpoint_url=f"http://{host}:{port}", region_name="us-east-1",
                     aws_access_key_id="testing",
                     aws_secret_access_key="testing").create_bucket(Bucket="kolva-test")
        fs = s3fs.S3FileSystem(**options)
        summary = kolva.export(good_sources(slides), "s3://kolva-test/ds", shard_size="40KB",
                               workers=1, storage_options=options)
        assert summary.ok
        fs.invalidate_cache()
        names = sorted(p.rsplit("/", 1)[-1] for p in fs.ls("kolva-test/ds", detail=False)
                       if not p.endswith(".kolva-export"))
        assert names == sorted(tree(reference))
        for name in names:
            assert fs.cat_file(f"kolva-test/ds/{name}") == (reference / name).read_bytes(), name
        # A rerun finds every shard in place.
        again = kolva.export(good_sources(slides), "s3://kolva-test/ds", shard_size="40KB",
                             workers=1, storage_options=options)
        assert again.ok and again.shards_written == 0
    finally:
        server.stop()


# --------------------------------------------------------------------------- command line
def test_command_line_on_the_example(tmp_path, capsys):
    assert cli_main(["export", "--example", "--out", str(tmp_path / "ds")]) == 0
    out = capsys.readouterr().out
    assert "12 tiles" in out and "1 shard" in out
    assert len(read_samples(tmp_path / "ds")) == 12
    assert cli_main(["export", "--out", str(tmp_path / "x")]) == 1
    assert "give at least one SOURCE" in capsys.readouterr().err


# --------------------------------------------------------------------------- many slides a shard
@pytest.fixture(scope="module")
def many(tmp_path_factory) -> list[Path]:
    """50 small slides: one shard holds them all."""
    return make_small_slides(tmp_path_factory.mktemp("many"), 50)


def _start_fd_sampler(dask_worker=None):  # noqa: ANN001 - runs here or on a Dask worker
    """Closes the export's idle slides, then samples this process's open descriptors
    every few milliseconds; returns the state the sampler updates."""
    import os
    import threading
    import time

    from kolva._export import tasks

    tasks._slides.clear()
    state = {"base": len(os.listdir("/proc/self/fd")), "peak": 0, "stop": False}

    def loop() -> None:
        while not state["stop"]:
            state["peak"] = max(state["peak"], len(os.listdir("/proc/self/fd")))
            time.sleep(0.003)

    threading.Thread(target=loop, daemon=True).start()
    if dask_worker is not None:
        dask_worker.kolva_fds = state
        return None
    return state


def _stop_fd_sampler(dask_worker=None, state=None):  # noqa: ANN001
    state = dask_worker.kolva_fds if dask_worker is not None else state
    state["stop"] = True
    return state["peak"] - state["base"]


def assert_every_tile_once(dest: Path, sources: list[Path]) -> None:
    samples = read_samples(dest)
    assert len(json.loads((dest / "index.wids.json").read_text())["shardlist"]) == 1
    seen: dict[tuple[str, int, int], bytes] = {}
    for sample in samples:
        meta = json.loads(sample["json"])
        where = (meta["source"], meta["x"], meta["y"])
        assert where not in seen, f"{where} twice"
        seen[where] = sample["jpg"]
    expected = set()
    for path in sources:
        s = kolva.open(path)
        across, down = s.levels[0].tile_grid
        for y in range(down):
            for x in range(across):
                expected.add((str(path), x, y))
                assert seen.get((str(path), x, y)) == s.read_tile(0, x, y), (path, x, y)
        s.close()
    assert set(seen) == expected


# Descriptors besides the slides' that an export may hold for a moment: the shard,
# its manifest, directory listings, a worker's connections.
FD_SLACK = 6


def test_fifty_slides_in_one_shard_in_one_process(tmp_path, many):
    state = _start_fd_sampler()
    try:
        summary = kolva.export(many, tmp_path / "ds", workers=1)
    finally:
        grown = _stop_fd_sampler(state=state)
    assert summary.ok and summary.shards == summary.shards_written == 1
    assert_every_tile_once(tmp_path / "ds", many)
    assert tasks_mod._slides.open_count <= tasks_mod.MAX_OPEN_SLIDES
    assert grown <= tasks_mod.MAX_OPEN_SLIDES + FD_SLACK, f"{grown} more descriptors"


def test_fifty_slides_in_one_shard_on_two_dask_workers(tmp_path, many, cluster):
    _, client = cluster
    client.run(_start_fd_sampler)
    try:
        summary = kolva.export(many, tmp_path / "ds", scheduler=client)
    finally:
        grown = client.run(_stop_fd_sampler)
    assert summary.ok and summary.shards == summary.shards_written == 1
    assert_every_tile_once(tmp_path / "ds", many)
    assert len(grown) == 2
    assert max(grown.values()) <= tasks_mod.MAX_OPEN_SLIDES + FD_SLACK, grown


@pytest.mark.skipif(not REAL_SVS.is_file(), reason="the real CMU-1-Small-Region.svs is absent")
def test_ten_copies_of_a_real_slide_from_the_command_line(tmp_path, capsys):
    src = tmp_path / "src"
    src.mkdir()
    for i in range(10):
        (src / f"copy-{i}.svs").symlink_to(REAL_SVS)
    args = ["export", str(src / "*.svs"), "--out", str(tmp_path / "out"), "--workers", "1"]
    assert cli_main(args) == 0
    out = capsys.readouterr().out
    assert "1300 tiles" in out and "(1 written)" in out
    assert len((tmp_path / "out" / "manifest.jsonl").read_text().splitlines()) == 1300
    assert len(read_samples(tmp_path / "out")) == 1300


def test_the_summary_counts_written_found_and_failed_shards(tmp_path, slides, monkeypatch,
                                                              capsys):
    args = ["export", *good_sources(slides), "--out", str(tmp_path / "ds"),
            "--shard-size", "40KB", "--workers", "1"]

    def fails(*args):
        raise OSError("disk full")

    monkeypatch.setattr(tasks_mod, "_write_parts", fails)
    assert cli_main(args) == 1
    out = capsys.readouterr().out
    shards = len(json.loads((tmp_path / "ds" / ".kolva-export" / "plan.json").read_text())
                 ["shards"])
    assert f"(0 written, {shards} failed); 0 B written (0 tiles" in out
    assert "complete before" not in out and out.count("disk full") == shards
    monkeypatch.undo()

    first = kolva.export(good_sources(slides), tmp_path / "ds", shard_size="40KB", workers=1)
    written = sum((tmp_path / "ds" / f"shard-{i:06d}.tar").stat().st_size for i in range(shards))
    assert (first.shards_written, first.shards_found, first.shards_failed) == (shards, 0, 0)
    assert first.bytes_written == written and first.samples_written == first.samples
    (tmp_path / "ds" / "shard-000001.tar").unlink()
    assert cli_main(args) == 0
    out = capsys.readouterr().out
    assert f"(1 written, {shards - 1} complete before this run)" in out


def test_a_long_summary_lists_failed_slides_first():
    from kolva._export import ExportSummary, SlideReport
    from kolva._export.cli import SLIDE_LINES, format_summary

    reports = [SlideReport(f"s{i:02d}.svs", samples=4) for i in range(SLIDE_LINES + 5)]
    reports[-1].error = "not a slide"
    text = format_summary(ExportSummary("ds", slides=reports))
    assert "s24.svs" in text and "failed: not a slide" in text and "s19.svs" not in text
    assert "... and 5 more slides" in text and "24 slides (1 failed)" in text
