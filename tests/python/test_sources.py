"""A slide over a set of sources: an Olympus .vsi finds its ETS companions beside it
locally and at a URL (the folder's index page on a loopback HTTP server), gives the
same tiles both ways, and the failures of a remote read come back as the caller's
exception whichever thread fetched."""
from __future__ import annotations

from pathlib import Path

import pytest

import kolva
from kolva import _sources
from fixtures import vsi
from fixtures.http_server import RangeServer
from fixtures.vsi import IMAGE, OVERVIEW, VsiStack

MAIN = VsiStack(IMAGE, (1000, 700), "40x BF", tiles=(4, 3), pixel_size=(0.1725, 0.1725),
                objective=40.0)
OVERVIEW_STACK = VsiStack(OVERVIEW, (500, 200), "Overview", tiles=(2, 1),
                          pixel_size=(8.6, 8.6), objective=2.0)


@pytest.fixture(scope="module")
def scanner(tmp_path_factory):
    root = tmp_path_factory.mktemp("sources")
    built = vsi.make_vsi(root / "scan", "slide", [OVERVIEW_STACK, MAIN],
                         [("stack1", 0), ("stack10001", 1)], main_folder="stack10001")
    files = {str(p.relative_to(root)): p.read_bytes() for p in root.rglob("*") if p.is_file()}
    with RangeServer(files) as server:
        yield built, server


def _all_tiles(slide: kolva.Slide) -> list[list[bytes]]:
    return [slide.read_tiles(i, [(x, y) for y in range(lv.tile_grid[1])
                                 for x in range(lv.tile_grid[0])])
            for i, lv in enumerate(slide.levels)]


def test_a_vsi_opens_from_a_url_as_it_does_locally(scanner):
    built, server = scanner
    with kolva.open(built.path) as local, kolva.open(server.url("scan/slide.vsi")) as remote:
        assert remote.format == local.format == "ets"
        assert remote.level_dimensions == local.level_dimensions
        assert remote.properties["olympus.stack-folder"] == "stack10001"
        assert remote.properties == local.properties
        assert _all_tiles(remote) == _all_tiles(local)
        assert remote.read_tile(0, 1, 2) == local.read_tile(0, 1, 2)
        assert remote.associated_images["overview"].data == built.overview


def test_a_remote_vsi_without_companions_is_a_missing_file(tmp_path):
    built = vsi.make_vsi(tmp_path, "lonely", [MAIN], [], main_folder=None)
    with RangeServer({"lonely.vsi": built.path.read_bytes()}) as server:
        with pytest.raises(kolva.MissingFile, match=r"_lonely_/stack<N>/frame_t.ets"):
            kolva.open(server.url("lonely.vsi"))


@pytest.mark.parametrize("listing", ["empty", "403"])
def test_a_remote_vsi_finds_the_usual_stack_folders_without_a_listing(scanner, listing,
                                                                       tmp_path):
    built, server = scanner
    with RangeServer(server.files, listing=listing) as quiet:
        with kolva.open(built.path) as local, kolva.open(quiet.url("scan/slide.vsi")) as remote:
            assert remote.properties == local.properties
            assert _all_tiles(remote) == _all_tiles(local)
    odd = vsi.make_vsi(tmp_path, "odd", [MAIN], [("stack7", 0)], main_folder="stack7")
    files = {str(p.relative_to(tmp_path)): p.read_bytes() for p in tmp_path.rglob("*")
             if p.is_file()}
    with RangeServer(files, listing=listing, delay=0.05) as quiet:
        with pytest.raises(kolva.MissingFile, match=r"the server must list the folder _odd_/"):
            kolva.open(quiet.url(odd.path.name))
        assert quiet.counts.peak >= 8  # the usual names (8 here) were asked for together


def test_remote_siblings_list_the_folders_index(scanner):
    _, server = scanner
    siblings = _sources.RemoteSiblings(server.url("scan/slide.vsi"), None, max_requests=4,
                                       timeout=5.0, retries=0)
    assert sorted(siblings.list("")) == ["_slide_", "slide.vsi"]
    assert sorted(siblings.list("_slide_")) == ["stack1", "stack10001"]
    with pytest.raises(FileNotFoundError):
        siblings.list("_nothing_")


@pytest.mark.parametrize("read", ["read_tile", "read_tiles"])
def test_a_failed_fetch_raises_the_transports_error(scanner, read):
    built, server = scanner
    with kolva.open(server.url("scan/slide.vsi"), retries=0, cache_size=0) as slide:
        server.fail("403")
        try:
            with pytest.raises(kolva.SlideError, match="HTTP 403") as caught:
                if read == "read_tile":
                    slide.read_tile(0, 0, 0)
                else:
                    slide.read_tiles(0, [(0, 0), (1, 0), (2, 0)], threads=4)
        finally:
            server.fail(None)
    # The transport's own words, naming the companion that failed.
    assert "cannot read" in str(caught.value)
    assert "stack10001" in str(caught.value)


@pytest.mark.parametrize("source", ["a/b.svs", "C:/x", "/abs/path.tif", "relative.ndpi"])
def test_paths_are_not_urls(source):
    assert not _sources.is_url(source)


@pytest.mark.parametrize("source", ["http://h/x", "s3://b/k", "gs://b/k", "file:///tmp/x"])
def test_urls_are_urls(source):
    assert _sources.is_url(source)
