"""Sources across the commands: a slide file and a folder of DICOM instances get one
name from export, convert, serve and torch; private S3 sources convert with the
storage options they were listed with; torch reopens an export's slides with its
tile_size; a failing remote read is a 502/504 with a reason from the server; bad
inputs end every command with one line on standard error."""
from __future__ import annotations

import http.client
import json
import shutil
from pathlib import Path

import pytest

import kolva
from kolva._sources import slide_key
from kolva.cli import main as cli_main

from fixtures import ndpi as ndpi_fixtures
from fixtures.s3 import loopback_s3

pydicom = pytest.importorskip("pydicom")
httpx = pytest.importorskip("httpx")
pytest.importorskip("starlette")
from fixtures.dicom import write_series  # noqa: E402
from serve_util import running  # noqa: E402


@pytest.fixture(scope="module")
def sources(tmp_path_factory) -> dict[str, Path]:
    root = tmp_path_factory.mktemp("kinds")
    shutil.copy(kolva.example_path(), root / "example.svs")
    (root / "dicom").mkdir()
    write_series(root / "dicom" / "case 7", levels=2)
    return {"file": root / "example.svs", "dicom folder": root / "dicom" / "case 7"}


@pytest.mark.parametrize("kind", ["file", "dicom folder"])
def test_one_name_for_a_slide_in_export_convert_serve_and_torch(sources, kind, tmp_path):
    from kolva.serve import create_app
    from kolva.torch import TileIndex

    source = sources[kind]
    key = slide_key(str(source))
    # Given as its parent folder: a DICOM folder is one slide, not its instances.
    given = str(source.parent) if kind == "dicom folder" else str(source)

    summary = kolva.export([given], tmp_path / "ds", workers=1, progress=False)
    assert summary.ok and summary.samples > 0
    lines = [json.loads(n) for n in (tmp_path / "ds" / "manifest.jsonl").read_text().splitlines()]
    assert {rec["key"].rsplit("-l", 1)[0] for rec in lines} == {key}

    converted = kolva.convert([given], tmp_path / "dicom-out", workers=1, progress=False)
    assert converted.ok and [Path(s.folder).name for s in converted.slides] == [key]
    with kolva.open(converted.slides[0].folder) as out, kolva.open(str(source)) as slide:
        assert out.read_tile(0, 0, 0) == slide.read_tile(0, 0, 0)

    app = create_app([given])
    try:
        assert list(app.slides) == [key]
        with running(app) as base, httpx.Client(base_url=base, timeout=10) as client, \
                kolva.open(str(source)) as slide:
            r = client.get(f"/slides/{key}/tiles/0/0/0", headers={"accept": "*/*"})
            assert r.status_code == 200 and r.content == slide.read_tile(0, 0, 0)
    finally:
        app.close()

    index = TileIndex.from_manifest(tmp_path / "ds")
    assert {index[i]["slide_key"] for i in range(len(index))} == {key}


@pytest.fixture(scope="module")
def s3(sources):
    data = kolva.example_path().read_bytes()
    objects = {"private/slides/a.svs": data, "private/slides/b.svs": data}
    objects |= {f"private/dicom/{p.name}": p.read_bytes()
                for p in sources["dicom folder"].iterdir()}
    with loopback_s3(objects) as options:
        yield options


@pytest.mark.parametrize("given, slides", [
    ("s3://private/slides/*.svs", ["s3://private/slides/a.svs", "s3://private/slides/b.svs"]),
    ("s3://private/slides/", ["s3://private/slides/a.svs", "s3://private/slides/b.svs"]),
    ("s3://private/dicom/", ["s3://private/dicom/"]),     # one series
])
def test_convert_opens_private_s3_sources_with_the_storage_options_it_lists_them_with(
        s3, tmp_path, given, slides):
    summary = kolva.convert(given, tmp_path, workers=1, storage_options=s3, progress=False)
    assert [(s.source, s.error) for s in summary.slides] == [(s, None) for s in slides]
    assert [Path(s.folder).name for s in summary.slides] == [slide_key(s) for s in slides]


def test_torch_reads_an_export_with_the_tile_size_it_was_made_with(tmp_path):
    pytest.importorskip("torch")
    from kolva.torch import TileIndex

    path = ndpi_fixtures.make_ndpi(tmp_path / "strips.ndpi").path
    kolva.export([str(path)], tmp_path / "ds", tile_size=64, workers=1, progress=False)
    index = TileIndex.from_manifest(tmp_path / "ds")
    with kolva.open(str(path), tile_size=64) as slide:
        assert slide.levels[0].tile_size == (64, 64)
        assert len(index) == slide.levels[0].tile_grid[0] * slide.levels[0].tile_grid[1]
        for i in range(0, len(index), 7):
            item = index[i]
            assert item["tile"] == slide.read_tile(0, item["x"], item["y"])


class _Flaky:
    """A slide whose tile reads fail as a remote source's do."""

    def __init__(self, slide: kolva.Slide, error: BaseException) -> None:
        self._slide, self._error = slide, error

    def __getattr__(self, name: str):  # noqa: ANN204
        return getattr(self._slide, name)

    def read_tile(self, *args):  # noqa: ANN002, ANN201
        raise self._error

    read_tiles = read_tile


def _raised_from(error: BaseException, cause: BaseException) -> BaseException:
    error.__cause__ = cause
    return error


@pytest.mark.parametrize("error, status, says", [
    (http.client.IncompleteRead(b"abc", 61), 502, "IncompleteRead"),
    (_raised_from(kolva.SlideError("cannot read https://slides.invalid/a.svs: 503"),
                  ConnectionResetError()), 502, "503"),
    (_raised_from(kolva.SlideError("cannot read https://slides.invalid/a.svs: no answer "
                                   "within 30 s"), TimeoutError()), 504, "no answer"),
    (TimeoutError("timed out"), 504, "timed out"),
])
def test_a_failing_remote_read_is_a_gateway_error_with_a_reason(monkeypatch, error, status,
                                                                says):
    from kolva.serve import create_app

    real_open = kolva.open
    monkeypatch.setattr(kolva, "open",
                        lambda source, **kw: _Flaky(real_open(kolva.example_path()), error))
    app = create_app(["https://slides.invalid/a.svs"])
    (sid,) = app.slides
    with running(app) as base, httpx.Client(base_url=base, timeout=10) as client:
        r = client.get(f"/slides/{sid}/tiles/0/0/0")
        assert r.status_code == status and says in r.json()["error"], r.text
        assert client.get("/slides").status_code == 200
    app.close()


@pytest.fixture(scope="module")
def bad(tmp_path_factory) -> dict[str, str]:
    d = tmp_path_factory.mktemp("bad")
    (d / "empty.svs").write_bytes(b"")
    (d / "picture.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(64))
    (d / "readme.md").write_text("not a slide\n")
    (d / "nothing").mkdir()
    (d / "slides.txt").write_text("# slides\nabsent.svs\n")
    return {"empty": str(d / "empty.svs"), "png": str(d / "picture.png"),
            "text": str(d / "readme.md"), "folder": str(d / "nothing"),
            "missing": str(d / "missing.svs"), "glob": str(d / "none-*.svs"),
            "list": str(d / "slides.txt"), "url": "http://127.0.0.1:9/refused.svs"}


@pytest.mark.parametrize("command", ["info", "extract", "export", "convert", "serve"])
@pytest.mark.parametrize("case", ["empty", "png", "text", "folder", "missing", "glob",
                                  "list", "url"])
def test_a_bad_source_ends_a_command_with_one_line_naming_it(bad, command, case, tmp_path,
                                                             capsys):
    source = bad[case]
    argv = {"info": ["info", source], "extract": ["extract", source, str(tmp_path / "x")],
            "serve": ["serve", source, "--port", "1"]}.get(
        command, [command, source, "--out", str(tmp_path / "out"), "--workers", "1", "--quiet"])
    assert cli_main(argv) != 0
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1 and err[0].startswith("kolva: error: "), err
    named = Path(source).name if case != "url" else source  # a list, not just its entry
    assert named in err[0], err
    assert "Traceback" not in err[0]
