"""DICOM series over DICOMweb, served by Debian's Orthanc with its DICOMweb plugin on
127.0.0.1 (started and stopped here): every tile and associated image equals the
local file's, byte for byte."""
from __future__ import annotations

import shutil
from pathlib import Path

import pytest

import kolva
from fixtures import orthanc
from fixtures.dicom import image, write_instance, write_series

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
        yield folders, urls


def _all(slide: kolva.Slide, level: int) -> list[tuple[int, int]]:
    across, down = slide.levels[level].tile_grid
    return [(x, y) for y in range(down) for x in range(across)]


@pytest.mark.parametrize("kind", ["pyramid", "native", "planes", "highdicom_sm_image_jpegls",
                                  "boxes"])
def test_tiles_over_dicomweb_equal_the_local_files(served, kind):
    folders, urls = served
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
    folders, urls = served
    if "boxes" not in urls:
        pytest.skip("boxes absent")
    for slide in (kolva.open(folders["boxes"]), kolva.open(urls["boxes"])):
        assert slide.read_tile(0, 0, 0).count(b"\xff\xee\x00\x0eAdobe") == 1


def test_choices_and_absent_tiles_over_dicomweb(served):
    folders, urls = served
    local = kolva.open(folders["planes"], focal_plane=1, optical_path="b")
    web = kolva.open(urls["planes"], focal_plane=1, optical_path="b")
    assert web.read_tile(0, 0, 0) == local.read_tile(0, 0, 0)
    with pytest.raises(kolva.TileNotFound, match=r"tile \(1, 0\) of level 0 is not stored"):
        web.read_tile(0, 1, 0)


def test_a_batch_of_frames_is_one_request_per_instance(served):
    folders, urls = served
    web = kolva.open(urls["pyramid"])
    client = web._series.client  # noqa: SLF001 - the request count is the contract here
    before = client.requests
    web.read_tiles(0, _all(web, 0))
    assert client.requests - before == 1
