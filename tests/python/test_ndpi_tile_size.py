"""NDPI levels at a tile size of the caller's choosing: every tile, decoded, shows
exactly the pixels of the same area of the level decoded whole (the tiles are cut
in the DCT domain, so nothing is re-encoded)."""
from __future__ import annotations

import ctypes
import ctypes.util
import io
import shutil
import subprocess

import numpy as np
import openslide
import pytest
from PIL import Image

import kolva
from fixtures import ndpi
from fixtures.common import CORPUS

REAL_NDPI = CORPUS / "ndpi" / "test3-DAPI-2-(387).ndpi"


class _TurboJpeg:
    """libjpeg-turbo through ctypes, decoding with plain (non-smoothing) chroma
    upsampling: each pixel then depends only on its own MCU, so a crop decodes to
    the same pixels as the whole image even when chroma is subsampled."""

    FASTUPSAMPLE = 256

    def __init__(self) -> None:
        name = ctypes.util.find_library("turbojpeg") or "libturbojpeg.so.0"
        lib = ctypes.CDLL(name)
        lib.tjInitDecompress.restype = ctypes.c_void_p
        lib.tjDecompressHeader3.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ulong] + \
            [ctypes.POINTER(ctypes.c_int)] * 4
        lib.tjDecompress2.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ulong,
                                      ctypes.c_void_p] + [ctypes.c_int] * 5
        lib.tjDestroy.argtypes = [ctypes.c_void_p]
        self.lib = lib
        self.handle = lib.tjInitDecompress()

    def decode(self, data: bytes) -> np.ndarray:
        w, h, sub, cs = (ctypes.c_int() for _ in range(4))
        assert self.lib.tjDecompressHeader3(self.handle, data, len(data), ctypes.byref(w),
                                            ctypes.byref(h), ctypes.byref(sub),
                                            ctypes.byref(cs)) == 0
        out = np.empty((h.value, w.value, 3), np.uint8)
        assert self.lib.tjDecompress2(self.handle, data, len(data), out.ctypes.data, w.value, 0,
                                      h.value, 0, self.FASTUPSAMPLE) == 0
        return out


@pytest.fixture(scope="module")
def turbo():
    return _TurboJpeg()


@pytest.fixture(scope="module")
def fixtures(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("ndpi-tile-size")
    return {
        # restart intervals narrower than a row (256 px, five per row)
        "444": ndpi.make_ndpi(tmp / "444.ndpi"),
        # one restart interval per whole MCU row, as the real scanner writes
        "444_rows": ndpi.make_ndpi(tmp / "444_rows.ndpi",
                                   levels=((1024, 784, 128), (512, 392, 64))),
        "420": ndpi.make_ndpi(tmp / "420.ndpi", sampling="420"),
        "422": ndpi.make_ndpi(tmp / "422.ndpi", sampling="422"),
        # whole-row intervals and a last MCU row only half filled
        "420_rows": ndpi.make_ndpi(tmp / "420_rows.ndpi", sampling="420",
                                   levels=((768, 520, 48), (384, 260, 24))),
    }


def level_pixels(turbo, fixture, level: int) -> np.ndarray:
    """The level decoded whole from its stored strip."""
    return turbo.decode(fixture.directories[fixture.served[level]].strip)


def check_tiles(slide: kolva.Slide, level: int, whole: np.ndarray, decode) -> int:
    lv = slide.levels[level]
    gx, gy = lv.tile_grid
    size = lv.tile_size[0]
    assert (gx, gy) == (-(-lv.dimensions[0] // size), -(-lv.dimensions[1] // size))
    coords = [(x, y) for y in range(gy) for x in range(gx)]
    for (x, y), data in zip(coords, slide.read_tiles(level, coords)):
        left, top, w, h = slide.tile_box(level, x, y)
        tile = decode(data)
        # edge tiles end at the level's edge
        assert tile.shape[:2] == (h, w), (level, x, y)
        area = whole[top:top + h, left:left + w]
        if area.shape[2] == 4:
            # OpenSlide leaves a last MCU row that is only partly inside the
            # level transparent: compare what it does show.
            shown = area[..., 3] == 255
            assert shown.mean() > 0.9 and np.array_equal(tile[shown], area[..., :3][shown])
        else:
            assert np.array_equal(tile, area), (level, x, y)
    return len(coords)


@pytest.mark.parametrize("name, tile_size", [
    ("444", 64), ("444", 200), ("444", 256), ("444", 1024),
    ("444_rows", 96), ("444_rows", 512), ("444_rows", 2048),
    ("420", 48), ("420", 160), ("420", 512),
    ("420_rows", 64), ("420_rows", 400),
])
def test_tiles_equal_the_level_decoded_whole(fixtures, turbo, name, tile_size):
    fixture = fixtures[name]
    with kolva.open(fixture.path, tile_size=tile_size) as slide:
        assert slide.level_count == len(fixture.levels)
        for level in range(slide.level_count):
            assert slide.levels[level].tile_size == (tile_size, tile_size)
            assert slide.levels[level].dimensions == (fixture.levels[level].width,
                                                      fixture.levels[level].height)
            check_tiles(slide, level, level_pixels(turbo, fixture, level), turbo.decode)


def _jpegtran_crop(jpeg: bytes, box: tuple[int, int, int, int]) -> bytes:
    left, top, w, h = box
    return subprocess.run(["jpegtran", "-copy", "none", "-crop", f"{w}x{h}+{left}+{top}"],
                          input=jpeg, capture_output=True, check=True).stdout


# The crop copies coefficients exactly as jpegtran -crop does on the level's whole
# stored JPEG, so the tiles are its very bytes: batches cut from whole bands and
# single reads cut from frames made only as wide as the tile needs (whose rows
# hold data past the frame, which the decoder skips) alike.
@pytest.mark.skipif(shutil.which("jpegtran") is None, reason="jpegtran not installed")
@pytest.mark.parametrize("name, tile_size", [
    ("444", 256), ("444_rows", 512), ("420", 160), ("420_rows", 400), ("422", 96),
])
def test_tiles_are_jpegtran_crops_of_the_level(fixtures, name, tile_size):
    fixture = fixtures[name]
    with kolva.open(fixture.path, tile_size=tile_size) as slide:
        for level in range(slide.level_count):
            whole = fixture.directories[fixture.served[level]].strip
            gx, gy = slide.levels[level].tile_grid
            coords = [(x, y) for y in range(gy) for x in range(gx)]

            def same(tile, expected, box):
                # A tile that is exactly its band of restart intervals is that band
                # joined, not re-encoded: it keeps the level's restart interval.
                joined = b"\xff\xdd" in tile[:tile.find(b"\xff\xda")]
                return tile == expected or (joined and _jpegtran_crop(
                    tile, (0, 0, box[2], box[3])) == expected)

            for (x, y), tile in zip(coords, slide.read_tiles(level, coords)):
                box = slide.tile_box(level, x, y)
                expected = _jpegtran_crop(whole, box)
                assert same(tile, expected, box), (level, x, y)
                if (x + y) % 3 == 0:
                    assert same(slide.read_tile(level, x, y), expected, box), (level, x, y)


def _openslide_level(osr: openslide.OpenSlide, level: int) -> np.ndarray:
    w, h = osr.level_dimensions[level]
    return np.asarray(osr.read_region((0, 0), level, (w, h)))


def _pillow(data: bytes) -> np.ndarray:
    return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"))


@pytest.mark.parametrize("name, tile_size", [("444", 200), ("444_rows", 256)])
def test_fixture_tiles_match_openslide(fixtures, name, tile_size):
    path = fixtures[name].path
    osr = openslide.OpenSlide(str(path))
    with kolva.open(path, tile_size=tile_size) as slide:
        for level in range(slide.level_count):
            assert osr.level_dimensions[level] == slide.levels[level].dimensions
            check_tiles(slide, level, _openslide_level(osr, level), _pillow)


@pytest.mark.skipif(not REAL_NDPI.exists(), reason="real NDPI sample not present")
@pytest.mark.parametrize("tile_size", [512, 1000])
def test_real_ndpi_tiles_match_openslide(tile_size):
    osr = openslide.OpenSlide(str(REAL_NDPI))
    with kolva.open(REAL_NDPI, tile_size=tile_size) as slide:
        assert [lv.dimensions for lv in slide.levels] == list(osr.level_dimensions[:4])
        tiles = sum(check_tiles(slide, level, _openslide_level(osr, level), _pillow)
                    for level in range(slide.level_count))
    assert tiles > 4 * slide.level_count


# Single reads cut from stripes made only as wide as the tile needs; batches cut
# whole bands: the tiles are the same bytes.
@pytest.mark.parametrize("name", ["444", "444_rows", "420_rows"])
def test_single_reads_equal_the_batch(fixtures, name):
    path = fixtures[name].path
    with kolva.open(path, tile_size=192) as slide:
        gx, gy = slide.levels[0].tile_grid
        coords = [(gx - 1, gy - 1), (0, 0), (3, 2), (0, 0), (1, 2), (gx - 1, 0)]
        batch = slide.read_tiles(0, coords, threads=2)
        assert batch == [slide.read_tile(0, x, y) for x, y in coords]
        assert batch == slide.read_tiles(0, coords, threads=1)
        assert slide.read_tiles(0, []) == []


def test_a_bad_coordinate_fails_the_whole_batch(fixtures):
    with kolva.open(fixtures["444"].path, tile_size=256) as slide:
        gx, gy = slide.levels[0].tile_grid
        with pytest.raises(kolva.TileNotFound, match="does not exist"):
            slide.read_tiles(0, [(0, 0), (gx, 0)])
        with pytest.raises(kolva.TileNotFound):
            slide.read_tile(0, 0, gy)
        with pytest.raises(kolva.TileNotFound):
            slide.read_tiles(slide.level_count, [(0, 0)])


@pytest.mark.parametrize("name, tile_size, mcu", [
    ("444", 100, "8 x 8"), ("420", 40, "16 x 16"), ("420", 8, "16 x 16"),
])
def test_tile_size_off_the_mcu_grid_is_refused(fixtures, name, tile_size, mcu):
    with pytest.raises(kolva.SlideError, match=f"not a multiple of the JPEG MCU size.*{mcu}"):
        kolva.open(fixtures[name].path, tile_size=tile_size)


def test_tile_size_past_a_jpeg_frame_is_refused(fixtures):
    with pytest.raises(kolva.SlideError, match="out of range"):
        kolva.open(fixtures["444"].path, tile_size=65536)


def test_formats_with_stored_tiles_ignore_tile_size():
    with kolva.open(kolva.example_path(), tile_size=512) as slide, \
            kolva.open(kolva.example_path()) as plain:
        assert slide.levels == plain.levels
        assert slide.read_tile(0, 0, 0) == plain.read_tile(0, 0, 0)


def test_default_keeps_the_files_own_tiling(fixtures):
    fixture = fixtures["444"]
    with kolva.open(fixture.path) as slide:
        assert slide.levels[0].tile_size == (fixture.levels[0].tile_width,
                                             fixture.levels[0].tile_height)
        assert slide.read_tile(0, 0, 0) == fixture.levels[0].tiles[(0, 0)]


def test_info_shows_the_chosen_tiling(fixtures, capsys):
    import json

    from kolva import cli

    path = str(fixtures["444"].path)
    assert cli.main(["info", "--json", "--tile-size", "320", path]) == 0
    levels = json.loads(capsys.readouterr().out)[0]["levels"]
    assert [(lv["tile_width"], lv["tiles_across"], lv["tiles_down"]) for lv in levels] == \
        [(320, 4, 4), (320, 2, 2), (320, 1, 1)]
    assert cli.main(["info", "--tile-size", "100", path]) == 1
    assert "not a multiple of the JPEG MCU size" in capsys.readouterr().err
