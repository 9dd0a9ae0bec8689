"""NDPI and Olympus ETS end to end through KolvaPyDecoder: geometry, every tile's
bytes, the tiles' pixels, and how refused files surface."""
from __future__ import annotations

import io

import numpy as np
import pytest
from PIL import Image

from _kolva_rs import KolvaPyDecoder, PanicException
from fixtures import ets, ndpi
from fixtures.common import CORPUS

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def panic_message(call) -> str:
    with pytest.raises(PanicException) as info:
        call()
    return str(info.value.args[0])


@pytest.fixture(scope="module")
def ndpi_slides(tmp_path_factory):
    return ndpi.all_ndpi_fixtures(tmp_path_factory.mktemp("ndpi"))


@pytest.fixture(scope="module")
def ets_slides(tmp_path_factory):
    return ets.all_ets_fixtures(tmp_path_factory.mktemp("ets"))


def assert_slide(slide) -> KolvaPyDecoder:
    d = KolvaPyDecoder(str(slide.path))
    assert d.level_count == len(slide.levels)
    assert d.level_dimensions == [(lv.width, lv.height) for lv in slide.levels]
    assert d.level_tile_sizes == [(lv.tile_width, lv.tile_height) for lv in slide.levels]
    for n, lv in enumerate(slide.levels):
        for (x, y), expected in lv.tiles.items():
            assert d.read_tile_as_bytes(n, x, y) == expected, (n, x, y)
    return d


@pytest.mark.parametrize("name", ["ndpi_444", "ndpi_422", "ndpi_420", "ndpi_high_word",
                                  "ndpi_progressive", "ndpi_classic"])
def test_ndpi_every_tile(ndpi_slides, name, capfd):
    slide = ndpi_slides[name]
    d = assert_slide(slide)
    # The level scan reports the tile edge it chose, and every dropped level.
    out = capfd.readouterr().out
    assert f"Max DRI {slide.T}" in out.splitlines()
    if name == "ndpi_progressive":
        assert "During IFDtoDecoder Decoding Error NDPI Error SOF not found" in out.splitlines()
    # Outside the grid: the first column past the last, and a level past the end.
    across = slide.levels[0].tiles_across
    assert panic_message(lambda: d.read_tile_as_bytes(0, across, 0)) == (
        UNWRAP + f"TileNotFound {{ x: {across}, y: 0, z: 0 }}")
    n = len(slide.levels)
    assert panic_message(lambda: d.read_tile_as_bytes(n, 0, 0)) == (
        UNWRAP + f"LevelNotFound {{ selected: {n}, num_level: {n} }}")


@pytest.mark.parametrize("name", ["ndpi_444", "ndpi_420"])
def test_ndpi_tiles_show_the_level(ndpi_slides, name):
    """Each tile decodes to the matching window of the whole level (4:2:0 MCUs are
    16 x 16 pixels: cut on an 8-pixel grid these tiles would not decode)."""
    slide = ndpi_slides[name]
    d = KolvaPyDecoder(str(slide.path))
    for n, lv in enumerate(slide.levels):
        whole = None
        for (x, y) in lv.tiles:
            tile = np.asarray(Image.open(io.BytesIO(d.read_tile_as_bytes(n, x, y))).convert("RGB"),
                              dtype=np.int16)
            if whole is None:
                whole = ndpi.source_rgb(lv.width, lv.height).astype(np.int16)
            h, w = tile.shape[:2]
            window = whole[y * lv.tile_height:y * lv.tile_height + h,
                           x * lv.tile_width:x * lv.tile_width + w]
            assert window.shape == tile.shape
            assert np.abs(window - tile).mean() < 8, (n, x, y)


def test_ndpi_over_4gib(tmp_path):
    if not ndpi.sparse_files_supported(tmp_path):
        pytest.skip("the temporary directory cannot hold sparse files")
    slide = ndpi.make_ndpi_big(tmp_path / "big.ndpi")
    assert slide.path.stat().st_size > 1 << 32
    assert_slide(slide)


@pytest.mark.skipif(not (CORPUS / "ndpi").is_dir(), reason="real NDPI sample absent")
def test_real_ndpi_tiles_match_the_whole_level():
    import tifffile

    path = CORPUS / "ndpi" / "test3-DAPI-2-(387).ndpi"
    d = KolvaPyDecoder(str(path))
    assert d.level_count == 4
    assert d.dimensions == (3968, 4864)
    with tifffile.TiffFile(path) as tf:
        page = tf.pages[3]  # tifffile splits NDPI strips itself: take the stored strip
        tf.filehandle.seek(page.tags[273].value[0])
        strip = tf.filehandle.read(page.tags[279].value[0])
    whole = np.asarray(Image.open(io.BytesIO(strip)))
    tile = np.asarray(Image.open(io.BytesIO(d.read_tile_as_bytes(3, 0, 0))))
    assert tile.shape[:2] == (608, 496)
    assert np.array_equal(tile, whole[:608, :496])


@pytest.mark.parametrize("name", ["jpeg", "header_120", "header_157", "bmp", "jpeg2000",
                                  "plane1_extent", "dims_3", "dims_4", "dims_5", "dims_6"])
def test_ets_every_tile_as_stored(ets_slides, name):
    slide = ets_slides[name]
    d = assert_slide(slide)
    for n, lv in enumerate(slide.levels):
        for y in range(lv.tiles_down):
            for x in range(lv.tiles_across):
                if (x, y) not in lv.tiles:
                    assert panic_message(lambda: d.read_tile_as_bytes(n, x, y)) == (
                        UNWRAP + f"TileNotFound {{ x: {x}, y: {y}, z: 0 }}")


@pytest.mark.parametrize("name, message", [
    ("header_156", UNWRAP + 'Decoding("Olympus Error Failed to parse SIS header")'),
    # Compressions without a tile encoding have no level description.
    ("raw", "called `Option::unwrap()` on a `None` value"),
    ("png", "called `Option::unwrap()` on a `None` value"),
    ("lossless_jpeg", "called `Option::unwrap()` on a `None` value"),
])
def test_ets_refused(ets_slides, name, message):
    assert panic_message(lambda: KolvaPyDecoder(str(ets_slides[name].path))) == message


SIS = 'Decoding("Olympus Error Failed to parse SIS header")'


@pytest.mark.parametrize("name, error", [
    ("empty_table", 'Decoding("Olympus Error No tile in ETS table")'),
    ("col_ffffffff", 'Decoding("Olympus Error Tile column, row or plane out of range in ETS table")'),
    ("row_ffffffff", 'Decoding("Olympus Error Tile column, row or plane out of range in ETS table")'),
    ("plane_ffffffff", 'Decoding("Olympus Error Tile column, row or plane out of range in ETS table")'),
    ("level_ffffffff", 'Decoding("Olympus Error Failed to decode ETS")'),
    ("level_gap", 'Decoding("Olympus Error Failed to decode ETS")'),
    ("huge_level", "UnableToAllocateLargeSize"),
    ("header_149", SIS),
    ("pixel_type_0", SIS),
    ("pixel_type_5", SIS),
    ("colour_space_2", SIS),
    ("compression_7", SIS),
    ("unknown_format", SIS),
    ("dims_2", 'Decoding("Olympus Error Failed to decode ETS")'),
    ("dims_17", 'Decoding("Olympus Error Failed to decode ETS")'),
])
def test_hostile_ets(tmp_path, name, error):
    path = ets.hostile_ets_files(tmp_path)[name]
    assert panic_message(lambda: KolvaPyDecoder(str(path))) == UNWRAP + error
