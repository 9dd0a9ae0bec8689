"""Format facts come from the core for every source: the ICC profile, Aperio 33003's
YCbCr JPEG 2000 and the media types of DICOM's JPEG-LS and HTJ2K frames reach
`kolva convert`, `kolva extract` and `Slide` alike, local or over HTTP; the JPEG edge
extension keeps the bytes of the coder it replaced."""
from __future__ import annotations

import hashlib
import io
import json
from pathlib import Path

import numpy as np
import pytest

import kolva
from kolva import _core
from kolva._convert import convert
from kolva._convert.dataset import srgb_profile
from kolva.cli import main as cli_main

from fixtures import tiff_slides as ts
from fixtures.http_server import RangeServer

pydicom = pytest.importorskip("pydicom")
dicom_fixtures = pytest.importorskip("fixtures.dicom")
EXTEND = Path(__file__).resolve().parents[1] / "fixtures" / "extend"


@pytest.fixture(scope="module")
def icc() -> bytes:
    """A real profile that is not the sRGB one convert falls back to."""
    from PIL import ImageCms

    return bytes(ImageCms.ImageCmsProfile(ImageCms.createProfile("XYZ")).tobytes())


@pytest.fixture(scope="module")
def sources(tmp_path_factory, icc) -> dict[str, Path]:
    import tifffile

    d = tmp_path_factory.mktemp("facts")
    y, x = np.mgrid[0:300, 0:400]
    pixels = np.stack([x % 256, y % 256, (x + y) % 256], -1).astype(np.uint8)
    out = {"icc-tiff": d / "icc.tiff", "j2k-33003": d / "ycbcr.svs"}
    tifffile.imwrite(out["icc-tiff"], pixels, tile=(128, 128), compression="jpeg",
                     photometric="rgb", iccprofile=icc)
    ts.make_aperio_j2k(out["j2k-33003"], compression=ts.APERIO_J2K_YCBCR)
    for codec in ("jpeg", "jls", "htj2k"):
        folder = d / f"dicom-{codec}"
        dicom_fixtures.write_series(folder, levels=2, codec=codec,
                                    icc=icc if codec == "jpeg" else None)
        out[f"dicom-{codec}"] = folder
    return out


@pytest.fixture(scope="module")
def server(sources):
    files = {p.name: p.read_bytes() for p in sources.values() if p.is_file()}
    with RangeServer(files) as srv:
        yield srv


def _level0(folder: Path):
    return pydicom.dcmread(folder / "level-0.dcm")


def _convert_one(source: str, dest: Path) -> Path:
    if Path(source).is_dir():  # a DICOM series: convert takes one of its files
        source = str(Path(source) / "level-0.dcm")
    result = convert(source, dest, workers=1).slides[0]
    assert result.error is None, result.error
    return Path(result.folder)


@pytest.mark.parametrize("where", ["local", "url"])
@pytest.mark.parametrize("name", ["icc-tiff", "dicom-jpeg"])
def test_the_icc_profile_survives_conversion(sources, server, icc, tmp_path, name, where):
    if where == "url" and name.startswith("dicom"):
        pytest.skip("a DICOM folder is opened locally")
    source = server.url(sources[name].name) if where == "url" else str(sources[name])
    assert kolva.open(source).icc_profile == icc
    ds = _level0(_convert_one(source, tmp_path))
    assert ds.OpticalPathSequence[0].ICCProfile == icc != srgb_profile()


def test_a_remote_33003_slide_converts_as_a_local_one(sources, server, tmp_path):
    local = _level0(_convert_one(str(sources["j2k-33003"]), tmp_path / "local"))
    remote = _level0(_convert_one(server.url(sources["j2k-33003"].name), tmp_path / "remote"))
    assert local.PhotometricInterpretation == remote.PhotometricInterpretation == "YBR_ICT"
    assert local.PixelData == remote.PixelData
    slide = kolva.open(server.url(sources["j2k-33003"].name))
    assert [lv.photometric for lv in slide.levels] == ["YBR_FULL", "YBR_FULL"]


@pytest.mark.parametrize("codec,media_type,syntax,extension", [
    ("jls", "image/jls", "1.2.840.10008.1.2.4.80", "jls"),
    ("htj2k", "image/jphc", "1.2.840.10008.1.2.4.201", "jhc"),
])
def test_dicom_jpeg_ls_and_htj2k_convert_and_extract(sources, tmp_path, codec, media_type,
                                                      syntax, extension):
    from pydicom.encaps import generate_frames

    source = sources[f"dicom-{codec}"]
    slide = kolva.open(str(source))
    assert slide.levels[0].media_type == media_type
    assert slide.levels[0].extension == extension
    ds = _level0(_convert_one(str(source), tmp_path / "dcm"))
    assert ds.file_meta.TransferSyntaxUID == syntax
    frames = list(generate_frames(ds.PixelData, number_of_frames=int(ds.NumberOfFrames)))
    assert frames[0].rstrip(b"\0") == slide.read_tile(0, 0, 0).rstrip(b"\0")
    assert cli_main(["extract", str(source), str(tmp_path / "tiles"), "--level", "0"]) == 0
    assert {p.suffix for p in (tmp_path / "tiles" / "0").iterdir()} == {f".{extension}"}


def test_media_types_have_one_table():
    from kolva import _media

    assert _media.extension("image/jp2", b"\x00\x00\x00\x0cjP  ") == "jp2"
    assert _media.extension("image/jp2", b"\xff\x4f\xff\x51") == "j2k"
    assert _media.extension("image/x-unknown") == "bin"
    assert {"image/jls", "image/jphc", "image/jp2", "image/tiff"} <= _media.UNDISPLAYABLE
    assert _media.media_facts("image/JLS; transfer-syntax=x").codec == "jpegls"


@pytest.mark.parametrize("name", sorted(json.loads((EXTEND / "expected.json").read_text())))
def test_extend_gives_the_bytes_of_the_coder_it_replaced(name):
    """Outputs of the Python entropy coder convert used before, saved as hashes."""
    expected = json.loads((EXTEND / "expected.json").read_text())[name]
    out = _core.extend_jpeg((EXTEND / f"{name}.jpg").read_bytes(), expected["width"],
                            expected["height"])
    assert hashlib.sha256(out).hexdigest() == expected["sha256"]


@pytest.mark.parametrize("data,size,words", [
    (b"not a jpeg", (64, 64), "no JPEG stream"),
    ((EXTEND / "ycbcr420.jpg").read_bytes(), (100, 100), "cannot extend"),
    ((EXTEND / "ycbcr420.jpg").read_bytes(), (264, 256), "MCUs"),
    ((EXTEND / "ycbcr420.jpg").read_bytes()[:700], (256, 256), "."),
])
def test_extend_refuses_in_words(data, size, words):
    with pytest.raises(ValueError, match=words):
        _core.extend_jpeg(data, *size)
