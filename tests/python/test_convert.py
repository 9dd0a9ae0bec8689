"""`kolva convert`: every fixture family and the real slides become DICOM that
dciodvfy accepts, whose frames are the source's tiles byte for byte, and that
OpenSlide and wsidicom open with the same pixels; reruns, crashes, refused codecs,
a broken source among good ones, and STOW-RS to a loopback Orthanc."""
from __future__ import annotations

import glob
import io
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import kolva
from kolva._convert import convert, parse_attributes
from kolva._convert.blank import blank_jpeg
from kolva._convert.dataset import ds_text, srgb_profile
from kolva._convert.frames import with_mct
from kolva.cli import main as cli_main

from fixtures import codec_tiffs, ets as ets_fixtures, ndpi as ndpi_fixtures
from fixtures import tiff_slides as ts
from fixtures.common import CORPUS

pydicom = pytest.importorskip("pydicom")
from pydicom.encaps import generate_frames  # noqa: E402

DCIODVFY = shutil.which("dciodvfy")
REAL = [CORPUS / "svs" / "CMU-1-Small-Region.svs",
        CORPUS / "svs" / "tcga-cr-7395-01a-01-ts1.svs",
        CORPUS / "tiff" / "gdal_cog_jpeg.tif",
        CORPUS / "tiff" / "image-tiff_quad-tile.jpg.tiff",
        CORPUS / "ndpi" / "test3-DAPI-2-(387).ndpi"]


# --------------------------------------------------------------------------- fixtures
@pytest.fixture(scope="module")
def sources(tmp_path_factory) -> dict[str, Path]:
    d = tmp_path_factory.mktemp("convert-src")
    out = {
        "aperio-ycbcr": d / "aperio-ycbcr.svs",
        "aperio-rgb": d / "aperio-rgb.svs",
        "aperio-j2k-33005": d / "j2k-rgb.svs",
        "aperio-j2k-33003": d / "j2k-ycbcr.svs",
        "philips-sparse": d / "philips.tiff",
        "generic": d / "generic.tiff",
        "ets": d / "jpeg.ets",
        "ndpi": d / "small.ndpi",
    }
    ts.make_aperio_svs(out["aperio-ycbcr"])
    ts.make_aperio_svs(out["aperio-rgb"], rgb=True, scanner_strips=True)
    ts.make_aperio_j2k(out["aperio-j2k-33005"])
    ts.make_aperio_j2k(out["aperio-j2k-33003"], compression=ts.APERIO_J2K_YCBCR)
    ts.make_philips_tiff(out["philips-sparse"], missing=((0, 2, 1), (1, 0, 1)))
    ts.make_generic_tiff(out["generic"])
    ets_fixtures.make_ets(out["ets"], compression=ets_fixtures.JPEG,
                          levels=((3, 2), (1, 1)), missing=[(0, 1, 1)])
    ndpi_fixtures.make_ndpi(out["ndpi"])
    for real in REAL:
        if real.exists():
            out[f"real:{real.name}"] = real
    return out


@pytest.fixture(scope="module")
def converted(sources, tmp_path_factory) -> dict[str, Path]:
    """Every source converted once (in this process); name -> its folder."""
    dest = tmp_path_factory.mktemp("convert-out")
    names = list(sources)
    summary = convert([str(sources[n]) for n in names], dest, workers=1, tile_size=256)
    out = {}
    for name, result in zip(names, summary.slides):
        assert result.error is None, f"{name}: {result.error}"
        out[name] = Path(result.folder)
    return out


def _frames(path: Path) -> tuple[object, list[bytes]]:
    ds = pydicom.dcmread(path)
    if ds.file_meta.TransferSyntaxUID.is_encapsulated:
        frames = list(generate_frames(ds.PixelData, number_of_frames=int(ds.NumberOfFrames)))
    else:
        n = int(ds.NumberOfFrames)
        size = len(ds.PixelData) // n
        frames = [ds.PixelData[i * size:(i + 1) * size] for i in range(n)]
    return ds, frames


def _unpad(frame: bytes, tile: bytes) -> bytes:
    return frame[:len(tile)] if len(frame) == len(tile) + 1 else frame


# --------------------------------------------------------------------------- validity
def test_every_instance_passes_dciodvfy(converted):
    if DCIODVFY is None:
        pytest.skip("dciodvfy (dicom3tools) is not installed")
    warnings: set[str] = set()
    for name, folder in converted.items():
        for f in sorted(folder.glob("*.dcm")):
            run = subprocess.run([DCIODVFY, str(f)], capture_output=True, text=True,
                                 timeout=60)
            lines = (run.stdout + run.stderr).splitlines()
            errors = [ln for ln in lines if ln.startswith("Error")]
            assert not errors, f"{name}/{f.name}: {errors}"
            warnings.update(ln for ln in lines if ln.startswith("Warning"))
    # Only the DICOMDIR hints for the empty Patient ID / Study ID remain.
    assert all("DICOMDIR" in w for w in warnings), warnings


def test_frames_are_the_stored_tiles(sources, converted):
    for name, folder in converted.items():
        with kolva.open(sources[name], tile_size=256) as slide:
            files = sorted(folder.glob("level-*.dcm"))
            assert len(files) == slide.level_count, name
            for n, lv in enumerate(slide.levels):
                ds, frames = _frames(folder / f"level-{n}.dcm")
                gx, gy = lv.tile_grid
                assert len(frames) == gx * gy
                assert (ds.TotalPixelMatrixColumns, ds.TotalPixelMatrixRows) == lv.dimensions
                assert (ds.Columns, ds.Rows) == lv.tile_size
                for i, frame in enumerate(frames):
                    try:
                        tile = slide.read_tile(n, i % gx, i // gx)
                    except kolva.SlideError:
                        tile = b""
                    if not tile:  # not stored: a frame of empty glass
                        assert _decode(frame).min() >= 250, (name, n, i)
                        continue
                    if not ds.file_meta.TransferSyntaxUID.is_encapsulated:
                        continue  # decoded: checked against the source's pixels elsewhere
                    if name == "aperio-j2k-33003":  # the transform flag set, nothing else
                        tile = with_mct(tile)
                    if _unpad(frame, tile) == tile:
                        continue
                    # An edge tile extended to the frame size: the same pixels where
                    # the tile has them.
                    a, b = _decode(tile), _decode(frame)
                    assert b.shape[:2] == (ds.Rows, ds.Columns), (name, n, i)
                    assert (b[:a.shape[0], :a.shape[1]] == a).all(), (name, n, i)


def _decode(frame: bytes) -> np.ndarray:
    import imagecodecs

    return np.asarray(imagecodecs.imread(frame))


@pytest.mark.parametrize("name,photometric", [
    ("aperio-ycbcr", "YBR_FULL_422"), ("aperio-rgb", "RGB"),
    ("aperio-j2k-33005", "YBR_ICT"), ("aperio-j2k-33003", "YBR_ICT"),
    ("philips-sparse", "YBR_FULL_422"), ("ets", "YBR_FULL_422")])
def test_photometric_follows_the_stream(converted, name, photometric):
    ds = pydicom.dcmread(converted[name] / "level-0.dcm", stop_before_pixels=True)
    assert ds.PhotometricInterpretation == photometric
    if photometric == "RGB":
        _, frames = _frames(converted[name] / "level-0.dcm")
        assert b"\xff\xee\x00\x0eAdobe" in frames[0][:200]  # the colour fix stays


def test_metadata(sources, converted):
    folder = converted["aperio-ycbcr"]
    dss = [pydicom.dcmread(f, stop_before_pixels=True) for f in sorted(folder.glob("*.dcm"))]
    kinds = sorted(ds.ImageType[2] for ds in dss)
    assert kinds == ["LABEL", "OVERVIEW", "THUMBNAIL", "VOLUME", "VOLUME", "VOLUME"]
    for key in ("StudyInstanceUID", "SeriesInstanceUID", "FrameOfReferenceUID"):
        assert len({ds[key].value for ds in dss}) == 1
    assert len({ds.SOPInstanceUID for ds in dss}) == len(dss)
    level0 = next(ds for ds in dss if ds.ImageType[2] == "VOLUME" and ds.InstanceNumber == 1)
    spacing = level0.SharedFunctionalGroupsSequence[0].PixelMeasuresSequence[0].PixelSpacing
    assert [float(v) for v in spacing] == pytest.approx([0.000499, 0.000499])
    assert float(level0.OpticalPathSequence[0].ObjectiveLensPower) == 20
    assert level0.ImagedVolumeWidth == pytest.approx(760 * 0.000499)
    assert level0.ContainerIdentifier == "aperio-ycbcr"
    assert level0.OpticalPathSequence[0].ICCProfile == srgb_profile()
    label = next(ds for ds in dss if ds.ImageType[2] == "LABEL")
    assert "BarcodeValue" in label and "LabelText" in label
    # Every decimal string fits its 16 characters.
    for ds in dss:
        for elem in ds.iterall():
            if elem.VR == "DS" and elem.value is not None:
                values = elem.value if elem.VM > 1 else [elem.value]
                assert all(len(str(v)) <= 16 for v in values), elem


def test_missing_tiles_reported(tmp_path, sources):
    summary = convert(sources["philips-sparse"], tmp_path, workers=1)
    blanks = {i.filename: i.blank for i in summary.slides[0].instances if i.blank}
    assert blanks == {"level-0.dcm": 1, "level-1.dcm": 1}


@pytest.mark.parametrize("value", [0.000499, 1 / 3, 123456789.123456789, 2.5e-7, 0.2281811,
                                   1e-12, 98765432109876543.0])
def test_decimal_strings(value):
    text = ds_text(value)
    assert len(text) <= 16
    assert float(text) == pytest.approx(value, rel=1e-6, abs=1e-11)


@pytest.mark.parametrize("components,rgb", [([(1, 2, 2), (2, 1, 1), (3, 1, 1)], False),
                                            ([(1, 2, 1), (2, 1, 1), (3, 1, 1)], False),
                                            ([(0, 1, 1), (1, 1, 1), (2, 1, 1)], True),
                                            ([(1, 1, 1)], False)])
def test_blank_jpeg_decodes_white(components, rgb):
    from PIL import Image

    data = blank_jpeg(96, 80, components, rgb)
    with Image.open(io.BytesIO(data)) as im:
        a = np.asarray(im.convert("RGB"))
    assert a.shape == (80, 96, 3) and (a == 255).all()


def test_srgb_profile_is_stable():
    from PIL import ImageCms

    assert srgb_profile() == srgb_profile()
    ImageCms.ImageCmsProfile(io.BytesIO(srgb_profile()))  # a valid profile


# --------------------------------------------------------------------------- peers
def test_openslide_reads_the_same_pixels(sources, converted):
    openslide = pytest.importorskip("openslide")
    for name, folder in converted.items():
        try:
            src = openslide.OpenSlide(str(sources[name]))
        except openslide.OpenSlideError:
            continue  # a format OpenSlide does not read (ETS, DAPI NDPI ...)
        out = openslide.OpenSlide(str(folder / "level-0.dcm"))
        ndpi = src.properties.get("openslide.vendor") == "hamamatsu"
        # (OpenSlide adds smaller levels to NDPI slides of its own.)
        assert out.level_count == src.level_count or ndpi and out.level_count < src.level_count
        # (Philips: OpenSlide sizes the levels from level 0, kolva as the file does.)
        for n, (w, h) in enumerate(src.level_dimensions[:out.level_count]):
            w, h = min(w, out.level_dimensions[n][0]), min(h, out.level_dimensions[n][1])
            a = np.asarray(src.read_region((0, 0), n, (w, h)))
            b = np.asarray(out.read_region((0, 0), n, (w, h)))
            # Where OpenSlide shows the source transparent (Philips' missing tiles, the
            # last partial MCU row of the NDPI fixture's small level) the output has
            # white or the stored pixels: compare the rest.
            opaque = a[..., 3] == 255
            assert opaque.mean() > 0.75, (name, n)
            a, b = a[..., :3][opaque], b[..., :3][opaque]
            # 33003: OpenSlide converts the source's YCbCr itself, OpenJPEG the output's.
            limit = 2 if name == "aperio-j2k-33003" else 0
            assert np.abs(a.astype(int) - b).max() <= limit, (name, n)
        src.close()
        out.close()


def test_wsidicom_opens(sources, converted):
    wsidicom = pytest.importorskip("wsidicom")
    for name, folder in converted.items():
        with kolva.open(sources[name], tile_size=256) as slide:
            if any(math.log2(d) % 1 for d in slide.level_downsamples):
                continue  # wsidicom takes only pyramids that halve
        with wsidicom.WsiDicom.open(folder) as w:
            with kolva.open(sources[name], tile_size=256) as slide:
                assert [(lv.size.width, lv.size.height) for lv in w.levels] == list(
                    slide.level_dimensions), name


def test_kolva_reads_its_own_output(sources, converted):
    for name, folder in converted.items():
        try:
            out = kolva.open(folder)
        except (kolva.UnsupportedFormat, kolva.SlideError, IsADirectoryError, OSError):
            pytest.skip("kolva cannot open a DICOM folder yet")
        with out, kolva.open(sources[name], tile_size=256) as src:
            assert out.level_dimensions == src.level_dimensions
            assert [lv.tile_size for lv in out.levels] == [lv.tile_size for lv in src.levels]
            if src.mpp:
                assert out.mpp == pytest.approx(src.mpp)
            for n, lv in enumerate(src.levels):
                gx, gy = lv.tile_grid
                for i in range(gx * gy):
                    try:
                        tile = src.read_tile(n, i % gx, i // gx)
                    except kolva.SlideError:
                        continue
                    if name == "aperio-j2k-33003":  # the transform flag set, nothing else
                        tile = with_mct(tile)
                    got = out.read_tile(n, i % gx, i // gx)
                    if got.rstrip(b"\0") == tile.rstrip(b"\0"):
                        continue
                    # An edge tile extended to the frame size, or a tile written
                    # uncompressed: the same pixels where the tile has them.
                    a, b = _decode(tile), _decode(got)
                    assert (b[:a.shape[0], :a.shape[1]] == a).all(), (name, n, i)
            assert set(out.associated_images) >= {
                {"macro": "overview"}.get(k, k) for k in src.associated_images
                if k in ("label", "macro", "thumbnail")} - {"overview"}


# --------------------------------------------------------------------------- at scale
def _digest(folder: Path) -> dict[str, bytes]:
    return {f.name: f.read_bytes() for f in sorted(folder.glob("*"))}


@pytest.fixture(scope="module")
def tissue(tmp_path_factory) -> Path:
    from fixtures.export_slides import make_tissue_svs

    path = tmp_path_factory.mktemp("tissue") / "tissue.svs"
    make_tissue_svs(path)
    return path


def test_rerun_after_a_kill_gives_the_same_files(tissue, tmp_path):
    clean = convert(tissue, tmp_path / "clean", workers=1).slides[0]
    assert clean.error is None
    again = convert(tissue, tmp_path / "clean", workers=1).slides[0]
    assert not any(i.written for i in again.instances)  # complete: nothing rewritten

    dest = tmp_path / "killed"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    # Slow the writer down so the kill lands inside a level's pixel data.
    script = ("import sys, time, kolva._convert.writer as w\n"
              "add = w.EncapsulatedWriter.add_many\n"
              "def slow(self, frames):\n    time.sleep(0.5); add(self, frames)\n"
              "w.EncapsulatedWriter.add_many = slow\n"
              "from kolva.cli import main\nsys.exit(main(sys.argv[1:]))\n")
    proc = subprocess.Popen([sys.executable, "-c", script, "convert", str(tissue), "--out",
                             str(dest), "--workers", "1", "--quiet"], env=env)
    deadline = time.monotonic() + 60
    try:
        while (time.monotonic() < deadline and proc.poll() is None
               and not list(dest.glob("*/.*.tmp"))):
            time.sleep(0.01)
        assert list(dest.glob("*/.*.tmp")), "the writer never started"
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)
    folder = next(dest.iterdir())
    assert not (folder / "level-0.dcm").exists()  # only complete files get their name
    result = convert(tissue, dest, workers=1).slides[0]
    assert result.error is None
    assert {k: v for k, v in _digest(folder).items() if not k.startswith(".")} == _digest(
        Path(clean.folder))


def test_a_broken_source_is_reported_and_the_others_converted(sources, tmp_path, capsys):
    bad = tmp_path / "truncated.svs"
    data = sources["aperio-ycbcr"].read_bytes()
    bad.write_bytes(data[:len(data) // 3])
    text = tmp_path / "notes.svs"
    text.write_text("not a slide")
    good = sources["aperio-j2k-33005"]
    status = cli_main(["convert", str(bad), str(good), str(text), "--out",
                       str(tmp_path / "out"), "--workers", "1"])
    captured = capsys.readouterr()
    assert status == 1
    assert "truncated.svs" in captured.err and "notes.svs" in captured.err
    folders = list((tmp_path / "out").iterdir())
    done = [f for f in folders if f.name.startswith("j2k-rgb")]
    assert len(done) == 1 and (done[0] / "level-1.dcm").exists()


def test_two_dask_workers_write_what_one_process_writes(sources, tmp_path):
    pytest.importorskip("distributed")
    picks = [sources["aperio-ycbcr"], sources["aperio-j2k-33005"], sources["ets"]]
    one = convert(picks, tmp_path / "one", workers=1)
    two = convert(picks, tmp_path / "two", workers=2)
    assert one.ok and two.ok
    for a, b in zip(one.slides, two.slides):
        assert _digest(Path(a.folder)) == _digest(Path(b.folder))


# --------------------------------------------------------------------------- codecs
def test_codecs_without_transfer_syntax_are_refused_or_decoded(tmp_path):
    path = tmp_path / "lzw.tiff"
    codec_tiffs.make_codec_tiff(path, codec_tiffs.CASES["lzw-le-rgb8-pred"])
    refused = convert(path, tmp_path / "refused", workers=1).slides[0]
    assert refused.error and "LZW" in refused.error and "--decode-to native" in refused.error

    done = convert(path, tmp_path / "native", workers=1, decode_to="native").slides[0]
    assert done.error is None and all(i.native for i in done.instances)
    expected = codec_tiffs.expected_tiles(path)
    with kolva.open(path) as slide:
        for n, lv in enumerate(slide.levels):
            ds, frames = _frames(Path(done.folder) / f"level-{n}.dcm")
            assert ds.file_meta.TransferSyntaxUID == "1.2.840.10008.1.2.1"
            gx = lv.tile_grid[0]
            for (x, y), pixels in expected[n].items():
                got = np.frombuffer(frames[y * gx + x], np.uint8).reshape(
                    ds.Rows, ds.Columns, 3)
                h, w = pixels.shape[:2]
                assert (got[:h, :w] == pixels).all(), (n, x, y)
    if DCIODVFY:
        run = subprocess.run([DCIODVFY, str(Path(done.folder) / "level-0.dcm")],
                             capture_output=True, text=True, timeout=60)
        assert "Error" not in run.stdout + run.stderr


def test_extended_offset_table(sources, tmp_path):
    done = convert(sources["aperio-rgb"], tmp_path, workers=1, extended_limit=0).slides[0]
    ds, frames = _frames(Path(done.folder) / "level-0.dcm")
    assert "ExtendedOffsetTable" in ds and "ExtendedOffsetTableLengths" in ds
    offsets = np.frombuffer(ds.ExtendedOffsetTable, "<u8")
    lengths = np.frombuffer(ds.ExtendedOffsetTableLengths, "<u8")
    assert len(offsets) == len(frames) == int(ds.NumberOfFrames)
    assert list(lengths) == [len(f.rstrip(b"\0")) if len(f) % 2 == 0 and f.endswith(b"\xd9\0")
                             else len(f) for f in frames]
    with kolva.open(sources["aperio-rgb"]) as slide:
        gx = slide.levels[0].tile_grid[0]
        for i, frame in enumerate(frames):
            assert _unpad(frame, slide.read_tile(0, i % gx, i // gx)) == slide.read_tile(
                0, i % gx, i // gx)


def test_attributes_from_the_command_line(sources, tmp_path):
    attrs = tmp_path / "study.json"
    attrs.write_text(json.dumps({"StudyDescription": "frozen section", "PatientID": "X"}))
    status = cli_main(["convert", str(sources["aperio-j2k-33005"]), "--out", str(tmp_path / "o"),
                       "--workers", "1", "--quiet", "--attributes", str(attrs),
                       "--set", "PatientID=P-17", "--set", "PatientName=Doe^Jane"])
    assert status == 0
    for f in (tmp_path / "o").glob("*/*.dcm"):
        ds = pydicom.dcmread(f, stop_before_pixels=True)
        assert (ds.PatientID, str(ds.PatientName), ds.StudyDescription) == (
            "P-17", "Doe^Jane", "frozen section")
    with pytest.raises(ValueError, match="NotAKeyword"):
        parse_attributes(["NotAKeyword=1"])


# --------------------------------------------------------------------------- STOW-RS
@pytest.fixture(scope="module")
def orthanc(tmp_path_factory):
    """Orthanc with its DICOMweb plugin on 127.0.0.1, stopped at the end."""
    from fixtures import orthanc as server

    if not server.available():
        pytest.skip("Orthanc with the DICOMweb plugin is not installed")
    with server.Orthanc(tmp_path_factory.mktemp("orthanc")) as running:
        yield running.root


def test_stow_rs_to_orthanc(orthanc, sources, tmp_path):
    import urllib.request

    picks = [sources["aperio-ycbcr"], sources["aperio-j2k-33005"]]
    summary = convert(picks, f"dicomweb+{orthanc}/dicom-web", workers=1)
    assert summary.ok, [s.error for s in summary.failed]
    local = convert(picks, tmp_path, workers=1)
    assert summary.stored == sum(len(s.instances) for s in local.slides)
    for slide in local.slides:
        for inst in slide.instances:
            path = Path(slide.folder) / inst.filename
            ds = pydicom.dcmread(path, stop_before_pixels=True)
            url = (f"{orthanc}/dicom-web/studies/{ds.StudyInstanceUID}/series/"
                   f"{ds.SeriesInstanceUID}/instances/{ds.SOPInstanceUID}/metadata")
            meta = json.loads(urllib.request.urlopen(url, timeout=30).read())
            assert meta[0]["00080018"]["Value"] == [ds.SOPInstanceUID]
            found = json.loads(urllib.request.urlopen(urllib.request.Request(
                f"{orthanc}/tools/find", data=json.dumps(
                    {"Level": "Instance", "Query": {"SOPInstanceUID": ds.SOPInstanceUID}}
                ).encode()), timeout=30).read())
            stored = urllib.request.urlopen(f"{orthanc}/instances/{found[0]}/file",
                                            timeout=30).read()
            assert stored == path.read_bytes()


NATIVE_REAL = ["tiff/libtiffpic_quad-tile.tif", "tiff/openslide-python_boxes.tiff",
               "tiff/libtiffpic_cramps-tile.tif", "bigtiff/image-tiff_usda_naip_256_webp_z3.tif"]


@pytest.mark.parametrize("name", NATIVE_REAL)
def test_real_tiffs_in_other_codecs_decode_to_native(name, tmp_path):
    import tifffile

    path = CORPUS / name
    if not path.exists():
        pytest.skip(f"{path} is absent")
    refused = convert(path, tmp_path / "r", workers=1).slides[0]
    if "cramps" in name:  # raw samples: native pixel data without being asked
        assert refused.error is None
    else:
        codec = {"quad": "LZW", "boxes": "Deflate", "webp": "WebP"}
        assert refused.error and "--decode-to native" in refused.error
        assert next(c for k, c in codec.items() if k in name) in refused.error
    done = convert(path, tmp_path / "n", workers=1, decode_to="native").slides[0]
    assert done.error is None, done.error
    folder = Path(done.folder)
    if DCIODVFY:
        for f in folder.glob("*.dcm"):
            run = subprocess.run([DCIODVFY, str(f)], capture_output=True, text=True, timeout=60)
            assert "Error" not in run.stdout + run.stderr, (f.name, run.stdout + run.stderr)
    # Level 0 holds the source's pixels.
    ds, frames = _frames(folder / "level-0.dcm")
    with tifffile.TiffFile(path) as tif:
        page = tif.pages[0]
        want = page.asarray()
        if page.photometric == 0:  # MinIsWhite: written as MONOCHROME2, inverted
            want = 255 - want
    if want.ndim == 3 and want.shape[2] == 4:
        want = want[..., :3]
    spp = int(ds.SamplesPerPixel)
    tw, th = int(ds.Columns), int(ds.Rows)
    gx = -(-int(ds.TotalPixelMatrixColumns) // tw)
    dtype = np.uint8 if int(ds.BitsAllocated) == 8 else np.dtype("<u2")
    for i, frame in enumerate(frames[:8]):
        x, y = i % gx, i // gx
        got = np.frombuffer(frame, dtype).reshape((th, tw, spp) if spp > 1 else (th, tw))
        part = want[y * th:(y + 1) * th, x * tw:(x + 1) * tw]
        got = got[:part.shape[0], :part.shape[1]]
        assert (got == part.reshape(got.shape)).all(), i


def test_fsspec_destination(sources):
    fsspec = pytest.importorskip("fsspec")
    summary = convert(sources["aperio-j2k-33005"], "memory://kolva-convert-test", workers=1)
    assert summary.ok
    fs = fsspec.filesystem("memory")
    names = sorted(p.rsplit("/", 1)[-1] for p in fs.find("/kolva-convert-test"))
    assert names == ["label.dcm", "level-0.dcm", "level-1.dcm", "overview.dcm", "thumbnail.dcm"]
    fs.rm("/kolva-convert-test", recursive=True)


@pytest.mark.parametrize("mode,subsampling,restart", [("RGB", 0, 0), ("RGB", 0, 2), ("L", -1, 0),
                                                      ("L", -1, 3), ("RGB", 1, 0)])
def test_extend_keeps_the_visible_pixels(mode, subsampling, restart):
    """A JPEG of 100 x 75 (4:2:2: 96 x 75) extended to 128 x 96: every visible pixel
    decodes as before (4:2:2: the chroma block past the MCU-aligned right edge mirrors
    the last one, so the smoothing upsampler sees what it saw at the old edge)."""
    from PIL import Image

    from kolva._core import extend_jpeg

    rng = np.random.default_rng(3)
    w, h = (96, 75) if subsampling == 1 else (100, 75)
    base = np.linspace(0, 255, w * h * 3).reshape(h, w, 3) + rng.normal(0, 20, (h, w, 3))
    img = Image.fromarray(np.clip(base, 0, 255).astype(np.uint8)).convert(mode)
    buf = io.BytesIO()
    options = {"restart_marker_rows": restart} if restart else {}
    if subsampling >= 0:
        options["subsampling"] = subsampling
    img.save(buf, "JPEG", quality=85, **options)
    data = buf.getvalue()
    if restart:
        assert b"\xff\xdd" in data  # the stream does carry restart intervals
    out = extend_jpeg(data, 128, 96)
    with Image.open(io.BytesIO(data)) as a, Image.open(io.BytesIO(out)) as b:
        assert b.size == (128, 96)
        before, after = np.asarray(a).astype(int), np.asarray(b).astype(int)
    assert (after[:h, :w] == before).all()
    # Past the old blocks (and the mirrored chroma blocks), the added ones are white.
    row, col = (88, 114) if subsampling == 1 else (80, 104)  # (+ the upsampler reach)
    assert after[row:, :].min() >= 250 and after[:, col:].min() >= 250
