"""Associated images of the `kolva` package, decoded and compared with what
OpenSlide decodes for the same name (real files and fixtures), or with the
directory's own decode by tifffile where OpenSlide has no such image."""
from __future__ import annotations

import io
import sys
from pathlib import Path

import numpy as np
import pytest
import tifffile
from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from fixtures import ndpi, tiff_slides  # noqa: E402
from fixtures.common import CORPUS  # noqa: E402

kolva = pytest.importorskip("kolva")
openslide = pytest.importorskip("openslide")

CMU = CORPUS / "svs" / "CMU-1-Small-Region.svs"
NDPI = CORPUS / "ndpi" / "test3-DAPI-2-(387).ndpi"


def decode(image) -> np.ndarray:
    if image.media_type == "image/tiff":
        return tifffile.imread(io.BytesIO(image.data))
    assert image.media_type == "image/jpeg"
    with Image.open(io.BytesIO(image.data)) as im:
        return np.asarray(im.convert("RGB"))


def openslide_pixels(path: Path, name: str) -> np.ndarray:
    with openslide.OpenSlide(str(path)) as osr:
        return np.asarray(osr.associated_images[name].convert("RGB"))


def assert_same_as_openslide(path: Path, names: set[str]) -> None:
    with kolva.open(path) as slide:
        images = slide.associated_images
        assert names <= set(images)
        for name in names:
            image = images[name]
            got, want = decode(image), openslide_pixels(path, name)
            assert image.dimensions == (want.shape[1], want.shape[0]), name
            assert got.shape == want.shape, name
            assert np.array_equal(got, want), f"{name}: {np.abs(got.astype(int) - want).max()}"


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    d = tmp_path_factory.mktemp("associated")
    return {
        "aperio-rgb": tiff_slides.make_aperio_svs(d / "aperio-rgb.svs", rgb=True,
                                                   scanner_strips=True),
        "aperio-ycbcr": tiff_slides.make_aperio_svs(d / "aperio-ycbcr.svs",
                                                     scanner_strips=True),
        "aperio-one-strip": tiff_slides.make_aperio_svs(d / "aperio-one-strip.svs"),
        "aperio-bigtiff-be": tiff_slides.make_aperio_svs(d / "aperio-be.svs", rgb=True,
                                                         bigtiff=True, byteorder=">",
                                                         scanner_strips=True),
        "philips-ifd": tiff_slides.make_philips_tiff(d / "philips-ifd.tiff"),
        "philips-xml": tiff_slides.make_philips_tiff(d / "philips-xml.tiff",
                                                     associated_in_xml=True),
        "ndpi": ndpi.make_ndpi(d / "with-map.ndpi", map_image=True),
    }


REAL_SVS = [
    (CMU, {"thumbnail": "image/jpeg", "label": "image/tiff", "macro": "image/jpeg"}),
    (CORPUS / "svs" / "tcga-cr-7395-01a-01-ts1.svs", {"thumbnail": "image/jpeg"}),
]


@pytest.mark.parametrize("path, media", REAL_SVS, ids=[p.name for p, _ in REAL_SVS])
def test_real_svs_matches_openslide(path, media):
    if not path.exists():
        pytest.skip("real SVS not present")
    assert_same_as_openslide(path, set(media))
    with kolva.open(path) as slide:
        got = {name: image.media_type for name, image in slide.associated_images.items()}
    assert got == media


@pytest.mark.skipif(not NDPI.exists(), reason="real NDPI not present")
def test_real_ndpi_macro_is_stored_jpeg_and_map_wraps_stored_bytes():
    assert_same_as_openslide(NDPI, {"macro"})
    with kolva.open(NDPI) as slide, tifffile.TiffFile(NDPI) as tif:
        macro = slide.associated_images["macro"]
        page = next(p for p in tif.pages if p.tags[65421].value == -1.0)
        tif.filehandle.seek(page.dataoffsets[0])
        assert macro.data == tif.filehandle.read(page.databytecounts[0])
        grey = slide.associated_images["map"]
        page = next(p for p in tif.pages if p.tags[65421].value == -2.0)
        assert grey.media_type == "image/tiff"
        assert np.array_equal(tifffile.imread(io.BytesIO(grey.data)), page.asarray())


@pytest.mark.parametrize("name, names", [
    ("aperio-rgb", {"thumbnail", "label", "macro"}),
    ("aperio-bigtiff-be", {"thumbnail", "label", "macro"}),
    ("aperio-one-strip", {"thumbnail", "label", "macro"}),
    ("philips-ifd", {"label", "macro"}),
    ("philips-xml", {"label", "macro"}),
    ("ndpi", {"macro"}),
])
def test_fixture_matches_openslide(built, name, names):
    assert_same_as_openslide(built[name].path, names)


def test_fixture_names_and_media_types(built):
    expected = {
        "aperio-rgb": {"thumbnail": "image/jpeg", "label": "image/tiff", "macro": "image/jpeg"},
        "philips-ifd": {"label": "image/jpeg", "macro": "image/jpeg"},
        "philips-xml": {"label": "image/jpeg", "macro": "image/jpeg"},
        "ndpi": {"macro": "image/jpeg", "map": "image/tiff"},
    }
    for name, media in expected.items():
        with kolva.open(built[name].path) as slide:
            got = {k: v.media_type for k, v in slide.associated_images.items()}
        assert got == media, name


def test_subsampled_strips_are_wrapped_and_decode_exactly(built):
    # Joined into one frame, 4:2:0 strips would decode with chroma blended across
    # the seams; wrapped as stored, they decode exactly as OpenSlide shows them.
    path = built["aperio-ycbcr"].path
    with kolva.open(path) as slide:
        for name in ("thumbnail", "macro"):
            image = slide.associated_images[name]
            assert image.media_type == "image/tiff", name
            assert np.array_equal(decode(image), openslide_pixels(path, name)), name


def test_missing_name_raises_key_error(built):
    with kolva.open(built["aperio-rgb"].path) as slide:
        with pytest.raises(KeyError):
            slide.associated_images["overview"]
        with pytest.raises(kolva.ImageNotFound, match="label, macro|thumbnail") as caught:
            slide._core.read_associated("overview")
        assert isinstance(caught.value, KeyError)
