"""DICOM whole-slide series through `kolva.open`: the real files against pydicom and
OpenSlide 4, and series built with pydicom (pyramids, concatenations, sparse levels,
focal planes, optical paths, every offset-table variant, uncompressed and RLE)."""
from __future__ import annotations

import io
import shutil
from pathlib import Path

import numpy as np
import pytest

import kolva
from fixtures.dicom import SEGMENTATION_CLASS, image, write_instance, write_series

pydicom = pytest.importorskip("pydicom")
from pydicom.encaps import generate_frames  # noqa: E402

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus" / "real" / "dicom"
REAL = ["wsi-to-dicom-converter_jpeg.dcm", "wsi-to-dicom-converter_jpeg2000.dcm",
        "wsi-to-dicom-converter_raw.dcm", "highdicom_sm_image.dcm",
        "highdicom_sm_image_jpegls.dcm", "boxes/boxes_0.dcm"]
ADOBE = b"\xff\xee\x00\x0eAdobe\x00\x64\x00\x00\x00\x00\x00"


def _real(name: str) -> Path:
    path = CORPUS / name
    if not path.exists():
        pytest.skip(f"{path} absent")
    return path


def _decode_tiff(data: bytes) -> np.ndarray:
    import tifffile
    return tifffile.imread(io.BytesIO(data))


def _pydicom_frames(path: Path) -> list[bytes] | np.ndarray:
    ds = pydicom.dcmread(path)
    if ds.file_meta.TransferSyntaxUID.is_encapsulated:
        return list(generate_frames(ds.PixelData, number_of_frames=int(ds.NumberOfFrames)))
    pixels = ds.pixel_array
    return pixels.reshape((int(ds.get("NumberOfFrames", 1)),) + pixels.shape[-3:])


# ------------------------------------------------------------------ the real files

@pytest.mark.parametrize("name", REAL)
def test_every_frame_equals_pydicoms(name):
    path = _real(name)
    slide = kolva.open(path)
    frames = _pydicom_frames(path)
    across = slide.levels[0].tile_grid[0]
    for i in range(len(frames)):
        tile = slide.read_tile(0, i % across, i // across)
        if isinstance(frames, np.ndarray):  # uncompressed: the same pixels, in a TIFF
            assert slide.levels[0].media_type == "image/tiff"
            np.testing.assert_array_equal(_decode_tiff(tile), frames[i])
        elif tile[2:18] == ADOBE and frames[i][2:18] != ADOBE:
            assert tile[:2] + tile[18:] == frames[i]  # the Adobe marker put in front
        else:
            assert tile == frames[i]


@pytest.mark.parametrize("name", REAL + ["boxes"])
def test_levels_and_pixel_size_equal_openslides(name):
    openslide = pytest.importorskip("openslide")
    path = _real(name)
    # OpenSlide opens a series from one of its files; kolva from the folder too.
    their_path = path / "boxes_0.dcm" if path.is_dir() else path
    try:
        theirs = openslide.OpenSlide(str(their_path))
    except openslide.OpenSlideError as exc:  # JPEG-LS: OpenSlide reads none
        pytest.skip(f"OpenSlide cannot read it: {exc}")
    ours = kolva.open(path)
    assert ours.level_dimensions == theirs.level_dimensions
    assert ours.level_downsamples == pytest.approx(theirs.level_downsamples)
    assert ours.mpp == pytest.approx((float(theirs.properties["openslide.mpp-x"]),
                                      float(theirs.properties["openslide.mpp-y"])))
    assert ours.properties.get("kolva.objective-power") == theirs.properties.get(
        "openslide.objective-power")
    assert ours.properties["kolva.vendor"] == theirs.properties["openslide.vendor"] == "dicom"
    assert set(ours.associated_images) == set(theirs.associated_images)
    assert ours.properties.get("kolva.icc-size") == theirs.properties.get("openslide.icc-size")
    for key in ("SeriesInstanceUID", "Manufacturer", "PhotometricInterpretation",
                "TotalPixelMatrixColumns", "TransferSyntaxUID", "ContainerIdentifier"):
        assert ours.properties.get(f"dicom.{key}") == theirs.properties.get(f"dicom.{key}")
    for i in range(4):
        assert ours.properties.get(f"dicom.ImageType[{i}]") == theirs.properties.get(
            f"dicom.ImageType[{i}]")


@pytest.mark.parametrize("name", ["wsi-to-dicom-converter_jpeg.dcm", "boxes/boxes_0.dcm"])
def test_decoded_jpeg_tiles_equal_openslides_pixels(name):
    openslide = pytest.importorskip("openslide")
    from PIL import Image
    path = _real(name)
    ours, theirs = kolva.open(path), openslide.OpenSlide(str(path))
    level = ours.levels[0]
    for y in range(level.tile_grid[1]):
        for x in range(level.tile_grid[0]):
            left, top, w, h = ours.tile_box(0, x, y)
            decoded = np.asarray(Image.open(io.BytesIO(ours.read_tile(0, x, y))).convert("RGB"))
            region = np.asarray(theirs.read_region((left, top), 0, (w, h)).convert("RGB"))
            np.testing.assert_array_equal(decoded[:h, :w], region)


def test_a_thumbnail_instance_is_found_beside_the_named_one_and_the_icc_profile_read():
    path = _real("boxes/boxes_0.dcm")
    slide = kolva.open(path)
    thumb = slide.associated_images["thumbnail"]
    assert thumb.media_type == "image/tiff" and thumb.dimensions == (16, 16)
    assert _decode_tiff(thumb.data).shape == (16, 16, 3)
    icc = slide.icc_profile
    assert icc is not None and len(icc) == int(slide.properties["kolva.icc-size"])
    assert icc[36:40] == b"acsp"  # an ICC profile's signature


# ------------------------------------------------------------------ built series

@pytest.mark.parametrize("options", [
    {},
    {"offsets": "empty"},
    {"offsets": "empty", "fragments": 3},
    {"offsets": "basic", "fragments": 2},
    {"offsets": "extended"},
    {"concatenate_level": 0},
], ids=lambda o: "-".join(f"{k}={v}" for k, v in o.items()) or "basic")
def test_built_pyramids_hand_out_every_stored_frame(tmp_path, options):
    series = write_series(tmp_path / "series", **options)
    slide = kolva.open(series.folder)
    assert slide.format == "dicom"
    assert slide.level_dimensions == ((300, 200), (150, 100), (75, 50))
    assert slide.level_downsamples == (1.0, 2.0, 4.0)
    assert slide.mpp == pytest.approx((0.25, 0.25))
    assert slide.properties["kolva.objective-power"] == "20"
    for i, level in enumerate(series.levels):
        coords = [(x, y) for x, y, _, _ in level.frames]
        assert slide.read_tiles(i, coords) == list(level.frames.values())
    for name, written in series.associated.items():
        assert slide.associated_images[name].data == next(iter(written.frames.values()))


@pytest.mark.parametrize("how", ["folder", "one_instance", "list"])
def test_a_series_opens_from_a_folder_an_instance_or_a_list(tmp_path, how):
    series = write_series(tmp_path / "series", levels=2)
    files = sorted(series.folder.iterdir())
    source = {"folder": series.folder, "one_instance": series.folder / "level-1.dcm",
              "list": [str(f) for f in files]}[how]
    slide = kolva.open(source)
    assert slide.level_count == 2 and set(slide.associated_images) == {"label", "macro", "thumbnail"}


def test_a_sparse_level_stores_only_some_tiles(tmp_path):
    uid = pydicom.uid.generate_uid()
    written = write_instance(tmp_path / "sparse.dcm", {(0, "1"): image(200, 130)}, sparse=True,
                             skip=frozenset({(1, 0), (2, 2)}), series_uid=uid, study_uid=uid)
    slide = kolva.open(tmp_path / "sparse.dcm")
    assert slide.levels[0].tile_grid == (4, 3)
    for (x, y, _, _), data in written.frames.items():
        assert slide.read_tile(0, x, y) == data
    for x, y in ((1, 0), (2, 2)):
        with pytest.raises(kolva.TileNotFound, match=rf"tile \({x}, {y}\) of level 0 is not stored"):
            slide.read_tile(0, x, y)


@pytest.mark.parametrize("sparse", [False, True])
def test_focal_planes_and_optical_paths_are_chosen(tmp_path, sparse):
    uid = pydicom.uid.generate_uid()
    images = {(z, p): image(128, 64, seed) for seed, (z, p) in
              enumerate([(0, "bright"), (1, "bright"), (0, "dapi"), (1, "dapi")])}
    written = write_instance(tmp_path / "zp.dcm", images, sparse=sparse, series_uid=uid,
                             study_uid=uid)
    default = kolva.open(tmp_path / "zp.dcm")
    assert default.properties["dicom.optical-paths"] == "bright, dapi"
    assert default.properties["dicom.focal-planes"] == "2"
    for z in (0, 1):
        for path in ("bright", "dapi"):
            slide = kolva.open(tmp_path / "zp.dcm", focal_plane=z, optical_path=path)
            for x in (0, 1):
                assert slide.read_tile(0, x, 0) == written.frames[(x, 0, z, path)]
    assert default.read_tile(0, 1, 0) == written.frames[(1, 0, 0, "bright")]
    with pytest.raises(kolva.SlideError, match="optical path 'gfp' does not exist: the slide has "
                                               "bright, dapi"):
        kolva.open(tmp_path / "zp.dcm", optical_path="gfp")
    with pytest.raises(kolva.SlideError, match="focal plane 2 does not exist"):
        kolva.open(tmp_path / "zp.dcm", focal_plane=2)
    # A tile size, even one that is no size, and a timepoint are other formats'
    # choices: the instance opens as without them.
    for odd in ({"tile_size": 24}, {"tile_size": -1}, {"timepoint": 3}):
        slide = kolva.open(tmp_path / "zp.dcm", focal_plane=1, **odd)
        assert slide.read_tile(0, 1, 0) == written.frames[(1, 0, 1, "bright")]


@pytest.mark.parametrize("codec,implicit", [("native", False), ("native", True), ("rle", False)])
def test_uncompressed_and_rle_frames_become_tiffs_of_the_same_pixels(tmp_path, codec, implicit):
    uid = pydicom.uid.generate_uid()
    written = write_instance(tmp_path / "px.dcm", {(0, "1"): image(100, 70)}, codec=codec,
                             implicit=implicit, tile=32, series_uid=uid, study_uid=uid)
    slide = kolva.open(tmp_path / "px.dcm")
    assert slide.levels[0].media_type == "image/tiff"
    for (x, y, _, _), pixels in written.pixels.items():
        np.testing.assert_array_equal(_decode_tiff(slide.read_tile(0, x, y)), pixels)
    if codec == "rle":  # pydicom's own RLE decoding agrees
        ds = pydicom.dcmread(tmp_path / "px.dcm")
        np.testing.assert_array_equal(ds.pixel_array[5], _decode_tiff(slide.read_tile(0, 1, 1)))


@pytest.mark.parametrize("bits", [8, 1])
def test_other_objects_are_passed_over_in_a_folder_and_refused_alone(tmp_path, bits):
    series = write_series(tmp_path / "series", levels=1)
    seg = write_instance(series.folder / "seg.dcm", {(0, "1"): image(64, 64)},
                         sop_class=SEGMENTATION_CLASS, series_uid=series.series_uid,
                         study_uid="1.2", codec="jpeg" if bits == 8 else "native").path
    if bits == 1:  # a binary segmentation's frames
        ds = pydicom.dcmread(seg)
        ds.BitsAllocated = ds.BitsStored = 1
        ds.HighBit = 0
        ds.save_as(seg)
    (series.folder / "notes.txt").write_text("not DICOM")
    assert kolva.open(series.folder).level_count == 1
    with pytest.raises(kolva.UnsupportedFormat, match=r"seg\.dcm is not a slide kolva can read: it "
                                                      r"is a segmentation"):
        kolva.open([seg])
    with pytest.raises(kolva.UnsupportedFormat, match="it is a segmentation"):
        kolva.open(seg)


def test_a_folder_of_two_series_needs_one_chosen(tmp_path):
    one = write_series(tmp_path / "one", levels=1)
    two = write_series(tmp_path / "two", levels=2)
    both = tmp_path / "both"
    both.mkdir()
    for f in [*one.folder.iterdir(), *two.folder.iterdir()]:
        shutil.copy(f, both / f"{f.parent.name}-{f.name}")
    with pytest.raises(kolva.SlideError, match=f"holds 2 series; choose one with series=.*"
                                               f"{two.series_uid}"):
        kolva.open(both)
    assert kolva.open(both, series=two.series_uid).level_count == 2
    # Naming an instance picks its series.
    assert kolva.open(both / "one-level-0.dcm").level_count == 1


@pytest.mark.parametrize("damage,says", [
    (lambda b: b[: len(b) // 2], "is damaged"),
    (lambda b: b[:132] + b"\x08\x00\x16\x00UI\xff\x7f" + b[140:], "past the end of the file"),
])
def test_damaged_instances_fail_saying_what_is_wrong(tmp_path, damage, says):
    uid = pydicom.uid.generate_uid()
    path = write_instance(tmp_path / "a.dcm", {(0, "1"): image(128, 128)}, offsets="empty",
                          series_uid=uid, study_uid=uid).path
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(kolva.SlideError, match=says):
        slide = kolva.open(path)
        for x, y in [(0, 0), (1, 0), (0, 1), (1, 1)]:
            slide.read_tile(0, x, y)


def test_deflated_and_big_endian_data_sets_are_refused(tmp_path):
    uid = pydicom.uid.generate_uid()
    path = write_instance(tmp_path / "a.dcm", {(0, "1"): image(64, 64)}, codec="native",
                          series_uid=uid, study_uid=uid).path
    data = path.read_bytes()
    for syntax, says in ((b"1.2.840.10008.1.2.1.99", "deflated"), (b"1.2.840.10008.1.2.2\0", "big endian")):
        at = data.index(b"1.2.840.10008.1.2.1\0")
        bad = tmp_path / "bad.dcm"
        # The meta group's lengths change with the UID; rewrite the element in place.
        length = len(syntax) + len(syntax) % 2
        element = b"\x02\x00\x10\x00UI" + length.to_bytes(2, "little") + syntax.ljust(length, b"\0")
        start = at - 8
        bad.write_bytes(data[:start] + element + data[at + 20:])
        with pytest.raises(kolva.UnsupportedFormat, match=says):
            kolva.open([bad])
