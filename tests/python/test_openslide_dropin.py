"""kolva.openslide against openslide-python 4.0.1 on the same files: properties under
OpenSlide's names (quickhash-1 included), geometry, associated images, read_region,
thumbnails and Deep Zoom tiles; an openslide-style script run with its import changed;
and what kolva.openslide does beyond or unlike OpenSlide.

The pixel tests need `kolva.Slide.read_region` and skip while the Slide has none."""
from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import kolva
import kolva.openslide as kos
from fixtures import dicom, ndpi, vsi
from fixtures import tiff_slides as ts
from fixtures.common import CORPUS
from fixtures.http_server import RangeServer
from kolva.openslide.deepzoom import DeepZoomGenerator

openslide = pytest.importorskip("openslide")
from openslide.deepzoom import DeepZoomGenerator as OpenSlideDeepZoom  # noqa: E402

PIXELS = pytest.mark.skipif(not hasattr(kolva.Slide, "read_region"),
                            reason="kolva.Slide.read_region is not there yet")
REAL = Path(os.environ.get("KOLVA_CORPUS", CORPUS))
# name -> (path for kolva, path for OpenSlide); DICOM: the folder, one instance of it
REAL_FILES = {
    "real-svs-jpeg": "svs/CMU-1-Small-Region.svs",
    "real-svs-j2k": "svs/tcga-cr-7395-01a-01-ts1.svs",
    "real-ndpi": "ndpi/test3-DAPI-2-(387).ndpi",
    "real-tiff-deflate": "tiff/openslide-python_boxes.tiff",
    "real-tiff-cog": "tiff/gdal_cog_jpeg.tif",
    "real-dicom": "dicom/boxes",
}
BUILT = ["generic", "aperio-ycbcr", "aperio-rgb-j2k", "philips-sparse", "ndpi", "dicom"]


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, tuple[Path, Path]]:
    d = tmp_path_factory.mktemp("dropin")
    built = {
        "generic": ts.make_generic_tiff(d / "generic.tiff").path,
        "aperio-ycbcr": ts.make_aperio_svs(d / "aperio.svs", scanner_strips=True).path,
        "aperio-rgb-j2k": ts.make_aperio_j2k(d / "j2k.svs").path,
        "philips-sparse": ts.make_philips_tiff(d / "philips.tiff",
                                               missing=((0, 2, 1), (1, 0, 1))).path,
        "ndpi": ndpi.make_ndpi(d / "slide.ndpi").path,
    }
    out = {name: (p, p) for name, p in built.items()}
    dicom.write_series(d / "dicom", size=(300, 200), levels=3)
    out["dicom"] = (d / "dicom", sorted((d / "dicom").glob("*.dcm"))[0])
    for name, rel in REAL_FILES.items():
        p = REAL / rel
        out[name] = (p, next(iter(sorted(p.glob("*.dcm")))) if p.is_dir() else p)
    return out


def pair(files, name):
    ours, theirs = files[name]
    if not ours.exists():
        pytest.skip(f"{ours} not present")
    return kos.OpenSlide(ours), openslide.OpenSlide(str(theirs))


@pytest.mark.parametrize("name", BUILT + list(REAL_FILES))
def test_properties_and_geometry(files, name):
    ours, theirs = pair(files, name)
    assert ours.level_dimensions == theirs.level_dimensions
    assert ours.level_downsamples == theirs.level_downsamples
    for ds in (0.5, 1, 1.9, 2, 3, 4.5, 20, 1000):
        assert ours.get_best_level_for_downsample(ds) == theirs.get_best_level_for_downsample(ds)
    mine, want = ours.properties, theirs.properties
    for key, value in want.items():
        if key.startswith("openslide.associated.") and key.endswith("icc-size") or \
                ours.slide.icc_profile is None and key.endswith("icc-size"):
            continue  # no ICC profile from kolva for this image yet
        if "ndpi" in name and (key.endswith("tile-width") or key.endswith("tile-height")):
            continue  # NDPI: OpenSlide's tiles are restart intervals, kolva's its own
        if name.endswith("dicom") and key not in mine and not key.startswith("openslide."):
            continue  # OpenSlide lists more DICOM attributes (sequences, ...)
        assert mine.get(key) == value, key
    assert set(theirs.associated_images) <= set(ours.associated_images)
    assert kos.OpenSlide.detect_format(files[name][0]) == \
        openslide.OpenSlide.detect_format(str(files[name][1]))


@pytest.mark.parametrize("name", ["aperio-ycbcr", "philips-sparse", "real-dicom",
                                  "real-svs-jpeg"])
def test_associated_images(files, name):
    ours, theirs = pair(files, name)
    for image_name, image in theirs.associated_images.items():
        got = ours.associated_images[image_name]
        assert got.mode == "RGBA" and got.size == image.size
        assert np.array_equal(np.asarray(got), np.asarray(image)), image_name
    if ours.slide.icc_profile is not None:
        assert ours.color_profile.tobytes() == theirs.color_profile.tobytes()


def regions(slide, level: int) -> list[tuple[tuple[int, int], tuple[int, int]]]:
    """(level 0 location, size): across the top left corner, inside, across the
    bottom right corner, wholly outside."""
    ds = round(slide.level_downsamples[level])
    w, h = slide.level_dimensions[level]
    return [((-7 * ds, -5 * ds), (40, 30)), ((w // 3 * ds, h // 4 * ds), (w // 2, h // 2)),
            (((w - 20) * ds, (h - 10) * ds), (50, 40)), (((w + 5) * ds, 0), (8, 8))]


@PIXELS
@pytest.mark.parametrize("name", BUILT + list(REAL_FILES))
def test_read_region_and_thumbnail(files, name):
    ours, theirs = pair(files, name)
    for level in range(theirs.level_count):
        if ours.level_downsamples[level] != round(ours.level_downsamples[level]):
            continue  # a fractional downsample: OpenSlide's location rounding is its own
        for location, size in regions(ours, level):
            got = np.asarray(ours.read_region(location, level, size), np.int16)
            want = np.asarray(theirs.read_region(location, level, size), np.int16)
            assert got.shape == want.shape
            assert np.array_equal(got[..., 3], want[..., 3]), (level, location, size)
            # JPEG 2000 decoders may differ by one in a few samples
            assert np.abs(got - want).max() <= ("j2k" in name), (level, location, size)
    assert np.array_equal(np.asarray(ours.get_thumbnail((100, 80))),
                          np.asarray(theirs.get_thumbnail((100, 80))))


@pytest.mark.parametrize("limit_bounds", [False, True])
@pytest.mark.parametrize("name", ["aperio-ycbcr", "philips-sparse", "ndpi", "dicom",
                                  "real-svs-jpeg", "real-tiff-deflate"])
def test_deep_zoom(files, name, limit_bounds):
    ours, theirs = pair(files, name)
    dz = DeepZoomGenerator(ours, tile_size=126, overlap=1, limit_bounds=limit_bounds)
    want = OpenSlideDeepZoom(theirs, tile_size=126, overlap=1, limit_bounds=limit_bounds)
    assert (dz.level_count, dz.tile_count, dz.level_tiles, dz.level_dimensions) == \
        (want.level_count, want.tile_count, want.level_tiles, want.level_dimensions)
    assert dz.get_dzi("jpeg") == want.get_dzi("jpeg")
    for level in range(dz.level_count):
        for col in range(dz.level_tiles[level][0]):
            for row in range(dz.level_tiles[level][1]):
                assert dz.get_tile_coordinates(level, (col, row)) == \
                    want.get_tile_coordinates(level, (col, row))
                assert dz.get_tile_dimensions(level, (col, row)) == \
                    want.get_tile_dimensions(level, (col, row))
    with pytest.raises(ValueError):
        dz.get_tile(dz.level_count, (0, 0))
    if hasattr(kolva.Slide, "read_region"):
        top = dz.level_count - 1
        picks = [(lv, (0, 0)) for lv in range(top - 3, top + 1)]
        picks += [(top, dz.level_tiles[top]), (top, (1, 1))]
        for level, (col, row) in picks:
            col, row = min(col, dz.level_tiles[level][0] - 1), min(row, dz.level_tiles[level][1] - 1)
            got, expected = dz.get_tile(level, (col, row)), want.get_tile(level, (col, row))
            assert got.mode == expected.mode == "RGB"
            assert np.array_equal(np.asarray(got), np.asarray(expected)), (level, col, row)


SCRIPT = '''
import openslide
from openslide.deepzoom import DeepZoomGenerator


def summarise(path):
    try:
        openslide.OpenSlide(path + ".missing")
    except openslide.OpenSlideError as e:
        failed = type(e).__name__ != ""
    with openslide.open_slide(path) as slide:
        mpp = float(slide.properties.get(openslide.PROPERTY_NAME_MPP_X, 0))
        level = slide.get_best_level_for_downsample(4)
        region = slide.read_region((96, 48), level, (64, 48)).convert("RGB")
        thumb = slide.get_thumbnail((128, 128))
        dz = DeepZoomGenerator(slide, tile_size=254, overlap=1)
        tile = dz.get_tile(dz.level_count - 2, (0, 0))
        label = slide.associated_images["label"].size
        return (failed, slide.dimensions, slide.level_count, mpp, level, region.tobytes(),
                thumb.size, thumb.tobytes(), dz.get_dzi("jpeg"), tile.tobytes(), label,
                slide.properties[openslide.PROPERTY_NAME_QUICKHASH1])
'''


@PIXELS
def test_an_openslide_script_runs_with_its_import_changed(files):
    path = str(files["aperio-ycbcr"][0])
    theirs, ours = {}, {}
    exec(SCRIPT, theirs)
    exec(SCRIPT.replace("import openslide\nfrom openslide.deepzoom",
                        "import kolva.openslide as openslide\nfrom kolva.openslide.deepzoom"),
         ours)
    assert ours["openslide"] is kos
    assert ours["summarise"](path) == theirs["summarise"](path)


def test_dicom_frames_larger_than_their_image(files):
    """Each associated image of the built series is one 64 x 64 frame holding a 60 x 40
    image: OpenSlide fails to read them, kolva.openslide crops the frame."""
    ours, theirs = pair(files, "dicom")
    with pytest.raises(openslide.OpenSlideError, match="64x64 != 60x40"):
        theirs.associated_images["label"]
    label = ours.associated_images["label"]
    assert label.size == (60, 40)
    assert np.asarray(label)[..., 3].min() == 255


def test_errors_caches_and_image_slides(files, tmp_path):
    path = files["aperio-ycbcr"][0]
    with kos.OpenSlide(path) as slide:
        assert isinstance(slide, kos.AbstractSlide)
        slide.set_cache(kos.OpenSlideCache(64 << 20))
        with pytest.raises(TypeError):
            slide.set_cache(object())  # type: ignore[arg-type]
        with pytest.raises(kos.OpenSlideError, match="negative"):
            slide.read_region((0, 0), 0, (-1, 4))
        # OpenSlide hands back a transparent image for a level that does not exist
        with pytest.raises(kos.OpenSlideError, match="level 9 does not exist"):
            slide.read_region((0, 0), 9, (4, 4))
        assert slide.read_region((0, 0), 0, (0, 3)).size == (0, 3)
    assert slide.slide.closed
    with pytest.raises(kos.OpenSlideError):
        slide.properties["openslide.quickhash-1"]
    not_a_slide = tmp_path / "notes.txt"
    not_a_slide.write_text("not a slide")
    with pytest.raises(kos.OpenSlideUnsupportedFormatError):
        kos.OpenSlide(not_a_slide)
    assert kos.OpenSlide.detect_format(not_a_slide) is None
    png = tmp_path / "plain.png"
    Image.fromarray(np.arange(60 * 40 * 3, dtype=np.uint8).reshape(40, 60, 3)).save(png)
    with kos.open_slide(png) as image, openslide.open_slide(str(png)) as expected:
        assert isinstance(image, kos.ImageSlide)
        assert kos.ImageSlide.detect_format(png) == "PNG"
        for location, size in [((-5, -5), (20, 20)), ((50, 30), (20, 20)), ((70, 0), (5, 5))]:
            assert np.array_equal(np.asarray(image.read_region(location, 0, size)),
                                  np.asarray(expected.read_region(location, 0, size)))


def test_what_openslide_cannot_open(files, tmp_path):
    """Slides over HTTP (quickhash-1 read through the slide like local ones) and Olympus
    VSI."""
    for name in ("aperio-ycbcr", "philips-sparse"):
        local = files[name][0]
        with RangeServer({local.name: local.read_bytes()}) as server, \
                kos.OpenSlide(server.url(local.name)) as remote, kos.OpenSlide(local) as here:
            assert kos.PROPERTY_NAME_QUICKHASH1 in remote.properties
            assert dict(remote.properties) == dict(here.properties)
            assert remote.associated_images["label"].tobytes() == \
                here.associated_images["label"].tobytes()
    stack = vsi.VsiStack(vsi.IMAGE, (600, 400), "20x BF", tiles=(3, 2), pixel_size=(0.5, 0.5),
                         objective=20.0)
    built = vsi.make_vsi(tmp_path, "slide", [stack], [("stack1", 0)], main_folder="stack1")
    with kos.open_slide(built.path) as slide, kolva.open(built.path) as plain:
        assert slide.level_dimensions == plain.level_dimensions
        assert slide.properties[kos.PROPERTY_NAME_MPP_X] == "0.5"
        assert slide.properties[kos.PROPERTY_NAME_OBJECTIVE_POWER] == "20"
        assert kos.PROPERTY_NAME_QUICKHASH1 not in slide.properties
        assert slide.associated_images["overview"].mode == "RGBA"
        assert len(DeepZoomGenerator(slide).get_dzi("png")) > 0
