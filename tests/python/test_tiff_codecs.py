"""Tiled TIFFs in every common tile codec through the `kolva` package: every
tile of every level decodes (Pillow, tifffile, imagecodecs) to exactly
tifffile's decode of the stored tile."""
from __future__ import annotations

import io
import sys
from pathlib import Path

import numpy as np
import pytest
import tifffile
from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from fixtures import codec_tiffs  # noqa: E402
from fixtures.common import CORPUS  # noqa: E402

kolva = pytest.importorskip("kolva")
imagecodecs = pytest.importorskip("imagecodecs")


def decode(media_type: str, data: bytes) -> np.ndarray:
    if media_type == "image/tiff":
        return tifffile.imread(io.BytesIO(data))
    if media_type in ("image/jpeg", "image/webp"):
        with Image.open(io.BytesIO(data)) as im:
            return np.asarray(im)
    if media_type == "image/jxl":
        return imagecodecs.jpegxl_decode(data)
    if media_type == "image/jp2":
        return imagecodecs.jpeg2k_decode(data)
    if media_type == "image/png":
        return imagecodecs.png_decode(data)
    raise AssertionError(media_type)


def assert_tiles_match(path: Path, media_types: list[str]) -> None:
    expected = codec_tiffs.expected_tiles(path)
    with kolva.open(path) as slide:
        assert slide.format == "generic-tiff"
        assert [lv.media_type for lv in slide.levels] == media_types
        assert len(slide.levels) == len(expected)
        for lv, tiles in zip(slide.levels, expected):
            coords = [(x, y) for y in range(lv.tile_grid[1]) for x in range(lv.tile_grid[0])]
            assert set(tiles) == set(coords)
            batch = slide.read_tiles(lv.index, coords, threads=2)
            for (x, y), data in zip(coords, batch):
                assert data == slide.read_tile(lv.index, x, y)
                want = tiles[(x, y)]
                got = decode(lv.media_type, data).reshape(want.shape)
                assert got.dtype == want.dtype, (lv.index, x, y)
                assert np.array_equal(got, want), (lv.index, x, y)


@pytest.mark.parametrize("name", sorted(codec_tiffs.CASES))
def test_codec_fixture_tiles_decode_like_tifffile(tmp_path, name):
    case = codec_tiffs.CASES[name]
    path = codec_tiffs.make_codec_tiff(tmp_path / f"{name}.tif", case)
    assert_tiles_match(path, [case.media_type] * len(codec_tiffs.LEVELS))
    with kolva.open(path) as slide:
        assert [lv.dimensions for lv in slide.levels] == list(codec_tiffs.LEVELS)


def test_rgb_coded_jpeg_gets_the_adobe_marker(tmp_path):
    path = codec_tiffs.make_codec_tiff(tmp_path / "rgb.tif", codec_tiffs.CASES["jpeg-rgb-coded"])
    with kolva.open(path) as slide:
        tile = slide.read_tile(0, 0, 0)
    assert tile[:2] == b"\xff\xd8" and tile[2:4] == b"\xff\xee"
    assert tile[2 + 15] == 0  # transform 0: the components are RGB


REAL = [
    ("tiff/libtiffpic_quad-tile.tif", ["image/tiff"]),
    ("tiff/libtiffpic_cramps-tile.tif", ["image/tiff"]),
    ("tiff/openslide-python_boxes.tiff", ["image/tiff"] * 4),
    ("bigtiff/image-tiff_usda_naip_256_webp_z3.tif", None),
]


@pytest.mark.parametrize("name, media_types", REAL, ids=[r[0] for r in REAL])
def test_real_tiff_tiles_decode_like_tifffile(name, media_types):
    path = CORPUS / name
    if not path.exists():
        pytest.skip("real file not present")
    if media_types is None:
        with kolva.open(path) as slide:
            media_types = [lv.media_type for lv in slide.levels]
        assert set(media_types) == {"image/webp"}
    assert_tiles_match(path, media_types)


def test_specified_jpeg_tables_reader_still_takes_its_files():
    path = CORPUS / "tiff" / "image-tiff_quad-tile.jpg.tiff"
    if not path.exists():
        pytest.skip("real file not present")
    with kolva.open(path) as slide:
        assert [lv.media_type for lv in slide.levels] == ["image/jpeg"]


def test_stripped_tiff_is_refused_in_words(tmp_path):
    path = tmp_path / "stripped.tif"
    tifffile.imwrite(path, np.zeros((64, 64), np.uint8), compression="lzw")
    with pytest.raises(kolva.UnsupportedFormat, match="strips, not tiles"):
        kolva.open(path)


def test_unsupported_tile_codec_is_refused_in_words(tmp_path):
    path = tmp_path / "lerc.tif"
    tifffile.imwrite(path, np.zeros((64, 64), np.float32), tile=(32, 32), compression="lerc")
    with pytest.raises(kolva.UnsupportedFormat, match="LERC"):
        kolva.open(path)
