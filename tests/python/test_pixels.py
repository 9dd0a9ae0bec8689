"""Decoded tiles against an independent reader: every tile the library hands out,
decoded with Pillow, shows the same pixels as OpenSlide's read_region of that area."""
from __future__ import annotations

import io

import numpy as np
import openslide
import pytest
from PIL import Image

from _kolva_rs import KolvaPyDecoder, PanicException
from fixtures import ndpi
from fixtures import tiff_slides as ts
from fixtures.common import CORPUS


def decode(data: bytes) -> np.ndarray:
    return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"), dtype=np.int16)


def exact_downsample(osr: openslide.OpenSlide, level: int) -> int | None:
    ds = osr.level_downsamples[level]
    return int(round(ds)) if abs(ds - round(ds)) < 1e-9 else None


def compare_with_openslide(path, levels=None) -> list[tuple[int, int, int, float]]:
    """Mean absolute difference per tile, for every tile of the given levels."""
    d = KolvaPyDecoder(str(path))
    osr = openslide.OpenSlide(str(path))
    diffs = []
    for n in (range(d.level_count) if levels is None else levels):
        ds = exact_downsample(osr, n)
        if ds is None or osr.level_dimensions[n] != d.level_dimensions[n]:
            continue  # OpenSlide numbers this level differently
        width, height = d.level_dimensions[n]
        tw, th = d.level_tile_sizes[n]
        for y in range(-(-height // th)):
            for x in range(-(-width // tw)):
                tile = decode(d.read_tile_as_bytes(n, x, y))
                w, h = min(tile.shape[1], width - x * tw), min(tile.shape[0], height - y * th)
                region = osr.read_region((x * tw * ds, y * th * ds), n, (w, h))
                area = np.asarray(region.convert("RGB"), dtype=np.int16)
                diffs.append((n, x, y, float(np.abs(area - tile[:h, :w]).mean())))
    osr.close()
    assert diffs, "no level to compare"
    return diffs


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    return ts.all_tiff_fixtures(tmp_path_factory.mktemp("pixels"))


# OpenSlide decodes with the same libjpeg-turbo as Pillow: JPEG tiles match exactly.
@pytest.mark.parametrize("name", ["generic-le", "generic-bigtiff", "aperio-ycbcr", "aperio-rgb",
                                  "aperio-rgb-app14", "aperio-bigtiff-be", "philips"])
def test_fixture_tiles_match_openslide(slides, name):
    levels = [0] if name == "philips" else None  # OpenSlide derives Philips level sizes
    for n, x, y, diff in compare_with_openslide(slides[name].path, levels):
        assert diff == 0, (n, x, y, diff)


def test_rgb_aperio_tile_keeps_its_colours(tmp_path, monkeypatch):
    """Without the Adobe marker a decoder would take pure red for YCbCr and show
    it as some other colour."""
    red = np.zeros((240, 240, 3), np.uint8)
    red[..., 0] = 255
    monkeypatch.setattr(ts, "source_image", lambda w, h, seed: np.resize(red, (h, w, 3)))
    slide = ts.make_aperio_svs(tmp_path / "red.svs", rgb=True, levels=((240, 240, 240),))
    pixels = decode(KolvaPyDecoder(str(slide.path)).read_tile_as_bytes(0, 0, 0))
    assert np.abs(pixels - red).max() <= 2


@pytest.fixture(scope="module")
def ndpi_slides(tmp_path_factory):
    return ndpi.all_ndpi_fixtures(tmp_path_factory.mktemp("ndpi-pixels"))


# 4:4:4 tiles match exactly. With 4:2:2 the chroma of a tile's edge columns is
# upsampled without the neighbour tile's samples, so those differ a little.
@pytest.mark.parametrize("name, tolerance", [("ndpi_444", 0.0), ("ndpi_classic", 0.0),
                                             ("ndpi_422", 1.0)])
def test_ndpi_tiles_match_openslide(ndpi_slides, name, tolerance):
    diffs = compare_with_openslide(ndpi_slides[name].path)
    # Full, narrow, low and corner tiles are all among them.
    assert len(diffs) == sum(len(lv.tiles) for lv in ndpi_slides[name].levels)
    for n, x, y, diff in diffs:
        assert diff <= tolerance, (n, x, y, diff)


def real(path: str):
    full = CORPUS / path
    return pytest.param(full, id=path, marks=pytest.mark.skipif(
        not full.exists(), reason=f"{path} not present"))


@pytest.mark.parametrize("path", [real("svs/CMU-1-Small-Region.svs"),
                                  real("ndpi/test3-DAPI-2-(387).ndpi")])
def test_real_tiles_match_openslide(path):
    for n, x, y, diff in compare_with_openslide(path):
        assert diff == 0, (n, x, y, diff)


@pytest.mark.parametrize("path", [real("tiff/libtiffpic_cramps-tile.tif"),
                                  real("tiff/libtiffpic_quad-tile.tif"),
                                  real("tiff/openslide-python_boxes.tiff"),
                                  real("bigtiff/BigTIFF.tif"), real("bigtiff/BigTIFFLong.tif"),
                                  real("bigtiff/image-tiff_usda_naip_256_webp_z3.tif")])
def test_real_files_without_jpeg_levels_do_not_construct(path):
    with pytest.raises(PanicException) as info:
        KolvaPyDecoder(str(path))
    assert info.value.args[0] == "called `Option::unwrap()` on a `None` value"
