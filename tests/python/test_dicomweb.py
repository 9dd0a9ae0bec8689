"""DICOM series over DICOMweb, served by Debian's Orthanc with its DICOMweb plugin on
127.0.0.1 (started and stopped here): every tile and associated image equals the
local file's, byte for byte, whichever way it is read (tiles, sizes, export)."""
from __future__ import annotations

import shutil
import tarfile
from pathlib import Path

import pytest

import kolva
from fixtures import orthanc
from fixtures.dicom import SEGMENTATION_CLASS, image, write_instance, write_series
from fixtures.http_server import RangeServer

pydicom = pytest.importorskip("pydicom")
if not orthanc.available():
    pytest.skip("Orthanc with its DICOMweb plugin is not installed", allow_module_level=True)

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus" / "real" / "dicom"


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("dicomweb")
    folders = {"pyramid": write_series(tmp / "pyramid", levels=3).folder}
    uid = pydicom.uid.generate_uid()
    (tmp / "native").mkdir()
    write_instance(tmp / "native" / "a.dcm", {(0, "1"): image(100, 70)}, codec="native", tile=32,
                   series_uid=uid, study_uid=uid)
    folders["native"] = tmp / "native"
    uid = pydicom.uid.generate_uid()
    (tmp / "planes").mkdir()
    write_instance(tmp / "planes" / "a.dcm",
                   {(z, p): image(128, 64, z) for z in (0, 1) for p in ("a", "b")},
                   sparse=True, skip=frozenset({(1, 0)}), series_uid=uid, study_uid=uid)
    folders["planes"] = tmp / "planes"
    # Implicit VR, an empty attribute and a value no short-length element holds.
    uid = pydicom.uid.generate_uid()
    (tmp / "implicit").mkdir()
    path = tmp / "implicit" / "a.dcm"
    write_instance(path, {(0, "1"): image(100, 70)}, codec="native", implicit=True, tile=32,
                   series_uid=uid, study_uid=uid)
    ds = pydicom.dcmread(path)
    ds.PatientID = ""
    ds.SeriesDescription = "long " * 14000
    ds.save_as(path)
    folders["implicit"] = tmp / "implicit"
    uid = pydicom.uid.generate_uid()
    (tmp / "segmentation").mkdir()
    path = tmp / "segmentation" / "seg.dcm"
    write_instance(path, {(0, "1"): image(64, 64)}, codec="native", sop_class=SEGMENTATION_CLASS,
                   series_uid=uid, study_uid=uid)
    ds = pydicom.dcmread(path)
    ds.BitsAllocated = ds.BitsStored = 1  # a binary segmentation's frames
    ds.HighBit = 0
    ds.save_as(path)
    folders["segmentation"] = tmp / "segmentation"
    for name in ("highdicom_sm_image_jpegls.dcm", "boxes"):
        if (CORPUS / name).exists():
            folder = tmp / name.split(".")[0]
            folder.mkdir()
            for f in [CORPUS / name] if name.endswith(".dcm") else sorted((CORPUS / name).iterdir()):
                shutil.copy(f, folder / f.name)
            folders[folder.name] = folder
    with orthanc.Orthanc(tmp / "orthanc") as server:
        urls = {}
        for kind, folder in folders.items():
            for f in sorted(folder.iterdir()):
                server.upload(f)
            ds = pydicom.dcmread(next(iter(sorted(folder.iterdir()))), stop_before_pixels=True)
            urls[kind] = server.series_url(ds.StudyInstanceUID, ds.SeriesInstanceUID)
        yield folders, urls, server.root


def _all(slide: kolva.Slide, level: int) -> list[tuple[int, int]]:
    across, down = slide.levels[level].tile_grid
    return [(x, y) for y in range(down) for x in range(across)]


@pytest.mark.parametrize("kind", ["pyramid", "native", "planes", "implicit",
                                  "highdicom_sm_image_jpegls", "boxes"])
def test_tiles_over_dicomweb_equal_the_local_files(served, kind):
    folders, urls, _ = served
    if kind not in urls:
        pytest.skip(f"{kind} absent")
    local, web = kolva.open(folders[kind]), kolva.open(urls[kind])
    assert web.format == "dicom"
    assert web.levels == local.levels
    assert web.properties == local.properties
    for level in range(local.level_count):
        coords = [c for c in _all(local, level) if not (kind == "planes" and c == (1, 0))]
        assert web.read_tiles(level, coords) == local.read_tiles(level, coords)
        assert web.read_tile(level, *coords[-1]) == local.read_tile(level, *coords[-1])
        sizes = web.tile_nbytes(level, coords)
        out = bytearray(int(sizes.sum()))
        offsets = web.read_tiles_into(level, coords, out)
        assert [bytes(out[a:b]) for a, b in zip(offsets[:-1], offsets[1:])] == \
            local.read_tiles(level, coords)
    for name in local.associated_images:
        assert web.associated_images[name].data == local.associated_images[name].data


def test_rgb_jpeg_frames_keep_one_adobe_marker(served):
    """An RGB JPEG frame gets the Adobe marker that keeps decoders off YCbCr, unless
    it carries one of its own (boxes_0.dcm does): never two."""
    folders, urls, _ = served
    if "boxes" not in urls:
        pytest.skip("boxes absent")
    for slide in (kolva.open(folders["boxes"]), kolva.open(urls["boxes"])):
        assert slide.read_tile(0, 0, 0).count(b"\xff\xee\x00\x0eAdobe") == 1


def test_choices_and_absent_tiles_over_dicomweb(served):
    folders, urls, _ = served
    local = kolva.open(folders["planes"], focal_plane=1, optical_path="b")
    web = kolva.open(urls["planes"], focal_plane=1, optical_path="b")
    assert web.read_tile(0, 0, 0) == local.read_tile(0, 0, 0)
    with pytest.raises(kolva.TileNotFound, match=r"tile \(1, 0\) of level 0 is not stored"):
        web.read_tile(0, 1, 0)


def test_implicit_vr_empty_and_long_values_over_dicomweb(served):
    folders, urls, _ = served
    for slide in (kolva.open(folders["implicit"]), kolva.open(urls["implicit"])):
        assert slide.properties["dicom.PatientID"] == ""
        assert slide.properties["dicom.SeriesDescription"] == ("long " * 14000).strip()


def test_a_segmentation_is_refused_by_name_over_dicomweb(served):
    _, urls, _ = served
    with pytest.raises(kolva.UnsupportedFormat, match=r"series/[0-9.]+ is not a slide kolva can "
                                                      r"read: it holds a segmentation \(.*\), not "
                                                      r"a whole-slide image"):
        kolva.open(urls["segmentation"])


def _tar_payloads(folder: Path) -> list[bytes]:
    out = []
    for shard in sorted(folder.glob("*.tar")):
        with tarfile.open(shard) as tar:
            out += [tar.extractfile(m).read() for m in tar.getmembers()
                    if not m.name.endswith(".json")]
    return out


@pytest.mark.parametrize(("kind", "instance"), [("pyramid", "level-0.dcm"), ("native", "a.dcm")])
def test_export_and_tissue_tiles_over_dicomweb_equal_the_local_series(served, kind, instance,
                                                                       tmp_path):
    folders, urls, _ = served
    local, web = kolva.open(folders[kind] / instance), kolva.open(urls[kind])
    for min_bytes in ("auto", None):
        assert web.tissue_tiles(0, min_bytes) == local.tissue_tiles(0, min_bytes)
    assert local.tissue_tiles(0, None)
    for name, source in (("local", folders[kind] / instance), ("web", urls[kind])):
        summary = kolva.export(source, tmp_path / name, workers=1)
        assert not summary.failed
    payloads = _tar_payloads(tmp_path / "local")
    assert payloads and _tar_payloads(tmp_path / "web") == payloads


class _Gateway(RangeServer):
    """Orthanc behind a gateway that wants a bearer token and fails on demand
    (`fail("503", n)`), counting requests."""

    def __init__(self, upstream: str) -> None:
        super().__init__()
        self.upstream = upstream

    async def _handle(self, request):
        import aiohttp
        from aiohttp import web

        with self._lock:
            self.counts.requests += 1
        if request.headers.get("Authorization") != "Bearer token":
            return web.Response(status=401)
        if (mode := self._take_failure()) is not None:
            return web.Response(status=int(mode))
        async with aiohttp.ClientSession() as session, session.get(
                self.upstream + request.path_qs,
                headers={"Accept": request.headers.get("Accept", "*/*")}) as r:
            return web.Response(status=r.status, body=await r.read(),
                                headers={"Content-Type": r.headers.get("Content-Type", "")})


def test_storage_options_retries_and_batches_apply_to_dicomweb(served):
    folders, urls, root = served
    local = kolva.open(folders["pyramid"])
    coords = _all(local, 0)
    with _Gateway(root) as gateway:
        url = urls["pyramid"].replace(root, f"http://127.0.0.1:{gateway.port}")
        with pytest.raises(kolva.SlideError, match=r"cannot read http://.*/metadata: HTTP 401"):
            kolva.open(url)
        auth = {"headers": {"Authorization": "Bearer token"}}
        gateway.fail("503", 2)
        web = kolva.open(url, storage_options=auth, retries=2)
        gateway.reset_counts()
        out = bytearray(int(web.tile_nbytes(0, coords).sum()))
        offsets = web.read_tiles_into(0, coords, out)
        assert [bytes(out[a:b]) for a, b in zip(offsets, offsets[1:])] == local.read_tiles(0, coords)
        assert gateway.reset_counts().requests == 1  # sized and read from one fetch
        web = kolva.open(url, storage_options=auth, retries=2, cache_size=0)  # frames not kept
        gateway.reset_counts()
        assert web.read_tiles(0, coords) == local.read_tiles(0, coords)
        assert gateway.reset_counts().requests == 1  # one instance, 20 frames: one request
        gateway.fail("503", -1)
        with pytest.raises(kolva.SlideError, match=r"cannot read http://.*/frames/1: HTTP 503 "
                                                   r"Service Unavailable \(after 3 tries\)"):
            web.read_tile(0, 0, 0)


@pytest.mark.parametrize("body", [b"[1]", b'[{"00080018": 5}]', b'{"a": 1}', b"[" * 100000,
                                  b'[{"00080018": {"vr": "UI", "Value": ["1"]}, '
                                  b'"00020010": {"vr": "UI", "Value": ["1.2.840.10008.1.2.1"]}, '
                                  b'"00280010": {"vr": "US", "Value": ["x"]}}]'])
def test_unexpected_metadata_is_a_slide_error(body):
    with RangeServer({"s/studies/1/series/2/metadata": body}) as server:
        with pytest.raises(kolva.SlideError, match=r"cannot read http://.*/metadata: "):
            kolva.open(server.url("s/studies/1/series/2"))
