"""DICOM series read over HTTP (the loopback range server) and S3 (moto): the same
frames as from the local files, with the requests of the opening counted."""
from __future__ import annotations

from pathlib import Path

import pytest

import kolva
from fixtures.dicom import write_series
from fixtures.http_server import RangeServer
from fixtures.s3 import loopback_s3

pytest.importorskip("pydicom")

REAL = (Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus" / "real" / "dicom"
        / "wsi-to-dicom-converter_jpeg.dcm")


@pytest.fixture(scope="module")
def series(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("dicom-remote")
    return {"basic": write_series(tmp / "basic", levels=3),
            "empty": write_series(tmp / "empty", levels=2, offsets="empty"),
            "extended": write_series(tmp / "extended", levels=2, offsets="extended")}


@pytest.fixture(scope="module")
def server(series):
    files = {f"{kind}/{f.name}": f.read_bytes() for kind, s in series.items()
             for f in s.folder.iterdir()}
    with RangeServer(files) as srv:
        yield srv


def _same_tiles(remote: kolva.Slide, local: kolva.Slide) -> None:
    assert remote.level_dimensions == local.level_dimensions
    assert remote.properties == local.properties
    for level in range(local.level_count):
        across, down = local.levels[level].tile_grid
        coords = [(x, y) for y in range(down) for x in range(across)]
        assert remote.read_tiles(level, coords) == local.read_tiles(level, coords)
        assert remote.read_tile(level, 0, 0) == local.read_tile(level, 0, 0)
    for name in local.associated_images:
        assert remote.associated_images[name].data == local.associated_images[name].data


@pytest.mark.parametrize("kind", ["basic", "extended"])
def test_a_series_with_offset_tables_opens_in_one_request_per_instance(server, series, kind):
    files = sorted(series[kind].folder.iterdir())
    server.reset_counts()
    remote = kolva.open([server.url(f"{kind}/{f.name}") for f in files])
    # Every instance's header and offset table come in its first window, all at once.
    assert server.counts.requests == len(files)
    _same_tiles(remote, kolva.open(series[kind].folder))


def test_a_series_without_offset_tables_scans_item_headers(server, series):
    files = sorted(series["empty"].folder.iterdir())
    remote = kolva.open([server.url(f"empty/{f.name}") for f in files])
    _same_tiles(remote, kolva.open(series["empty"].folder))


def test_large_fragments_without_offset_tables_are_skipped_not_fetched(tmp_path):
    import numpy as np
    import pydicom
    from fixtures.dicom import write_instance

    noise = np.random.default_rng(0).integers(0, 256, (1024, 1024, 3), dtype=np.uint8)
    uid = pydicom.uid.generate_uid()
    path = write_instance(tmp_path / "a.dcm", {(0, "1"): noise}, tile=256, offsets="empty",
                          series_uid=uid, study_uid=uid).path
    data = path.read_bytes()
    with RangeServer({"a.dcm": data}) as srv:
        remote = kolva.open(srv.url("a.dcm"))
        # The first window and one header per 100 KB frame, not the frames between.
        assert srv.counts.bytes_sent < len(data) // 10
        local = kolva.open(path)
        coords = [(x, y) for y in range(4) for x in range(4)]
        assert remote.read_tiles(0, coords) == local.read_tiles(0, coords)


@pytest.mark.skipif(not REAL.exists(), reason="the real corpus is not beside the repository")
def test_small_fragments_without_offset_tables_are_walked_a_window_at_a_time():
    data = REAL.read_bytes()
    local = kolva.open(REAL)
    coords = [(x, y) for y in range(local.levels[0].tile_grid[1])
              for x in range(local.levels[0].tile_grid[0])]
    with RangeServer({"a.dcm": data}) as srv:
        remote = kolva.open(srv.url("a.dcm"))
        assert remote.read_tiles(0, coords) == local.read_tiles(0, coords)
        # Twelve 12 KB frames behind an empty offset table: the first window,
        # then one window holding the headers past it (and the frames read after).
        assert srv.counts.requests <= 2
        assert srv.counts.bytes_sent <= len(data)


def test_tile_batches_cost_one_request_per_merged_run(server, series):
    files = sorted(series["basic"].folder.iterdir())
    remote = kolva.open([server.url(f"basic/{f.name}") for f in files])
    server.reset_counts()
    across, down = remote.levels[0].tile_grid
    remote.read_tiles(0, [(x, y) for y in range(down) for x in range(across)])
    # The frames of a level lie back to back: one request at most (none when the
    # opening window already holds them).
    assert server.counts.requests <= 1


@pytest.fixture(scope="module")
def s3(series):
    with loopback_s3({f"idc/{kind}/{f.name}": f.read_bytes()
                      for kind, s in series.items() for f in s.folder.iterdir()}) as options:
        yield options


@pytest.mark.parametrize("kind", ["basic", "empty"])
def test_a_remote_folder_and_a_remote_instance_open_their_series(s3, series, kind):
    local = kolva.open(series[kind].folder)
    _same_tiles(kolva.open(f"s3://idc/{kind}/", storage_options=s3), local)
    one = kolva.open(f"s3://idc/{kind}/level-1.dcm", storage_options=s3)
    assert one.level_count == local.level_count
