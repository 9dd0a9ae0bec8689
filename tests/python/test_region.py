"""Decoded regions against OpenSlide 4's read_region (RGBA), OpenJPEG through
imagecodecs, and themselves across threads, caches and remote reads."""
from __future__ import annotations

import threading

import imagecodecs
import numpy as np
import openslide
import pytest
import tifffile

import kolva
from fixtures import codec_tiffs, dicom, tiff_slides as ts
from fixtures.common import CORPUS
from fixtures.http_server import RangeServer


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    return ts.all_tiff_fixtures(tmp_path_factory.mktemp("region"))


def real(path: str):
    full = CORPUS / path
    return pytest.param(full, id=path, marks=pytest.mark.skipif(
        not full.exists(), reason=f"{path} not present"))


def regions_of(dims: tuple[int, int], tile: tuple[int, int]) -> list[tuple[int, int, int, int]]:
    """(x, y, w, h) in level pixels: inside one tile, straddling four, over each
    edge and corner, wholly outside, the whole level and a 1-pixel one."""
    (w, h), (tw, th) = dims, tile
    return [(3, 5, 17, 9), (tw - 20, th - 30, 57, 64), (w - 40, h - 25, 90, 70),
            (-13, -7, 50, 40), (w - 10, 5, 30, 20), (w + 5, h + 5, 8, 8), (0, 0, w, h),
            (tw, th, 1, 1)]


def compare(slide: kolva.Slide, osr: openslide.OpenSlide, levels=None) -> int:
    compared = 0
    for n in range(slide.level_count) if levels is None else levels:
        ds = osr.level_downsamples[n]
        if abs(ds - round(ds)) > 1e-9 or osr.level_dimensions[n] != slide.level_dimensions[n]:
            continue  # OpenSlide shifts by fractions of a pixel or sizes the level its own way
        ds = round(ds)
        for x, y, w, h in regions_of(slide.level_dimensions[n], slide.levels[n].tile_size):
            want = np.asarray(osr.read_region((x * ds, y * ds), n, (w, h)))
            got = slide.read_region((x * ds, y * ds), n, (w, h), alpha=True)
            assert np.array_equal(got, want), (n, x, y, w, h)
            rgb = slide.read_region((x * ds, y * ds), n, (w, h))
            opaque = want[..., 3] == 255
            assert np.array_equal(rgb[opaque], want[..., :3][opaque]), (n, x, y)
            assert (rgb[~opaque] == 255).all(), (n, x, y)
            compared += 1
    return compared


# Every JPEG (native decoder) and JPEG 2000 (imagecodecs) family, both with the
# decoded-tile cache holding whole tiles and without it (parts decoded alone).
@pytest.mark.parametrize("cache", [0, None])
@pytest.mark.parametrize("name, levels", [
    ("generic-le", None), ("aperio-ycbcr", None), ("aperio-rgb", None),
    ("aperio-rgb-app14", None), ("aperio-bigtiff-be", None), ("philips", [0]),
    ("philips-sparse", [0]), ("aperio-j2k-rgb", None), ("aperio-j2k-ycbcr", None)])
def test_fixture_regions_match_openslide(slides, name, levels, cache):
    path = slides[name].path
    with kolva.open(path, region_cache=cache) as slide:
        assert compare(slide, openslide.OpenSlide(str(path)), levels)


@pytest.mark.parametrize("path", [real("svs/CMU-1-Small-Region.svs"),
                                  real("svs/tcga-cr-7395-01a-01-ts1.svs")])
def test_real_regions_match_openslide(path):
    with kolva.open(path, region_cache=0) as slide:
        assert compare(slide, openslide.OpenSlide(str(path)))


@pytest.mark.skipif(not (CORPUS / "svs/tcga-cr-7395-01a-01-ts1.svs").exists(), reason="absent")
def test_jpeg2000_regions_are_openjpegs_decode():
    with kolva.open(CORPUS / "svs/tcga-cr-7395-01a-01-ts1.svs") as slide:
        tiles = [[imagecodecs.jpeg2k_decode(slide.read_tile(0, c, r)) for c in (2, 3)]
                 for r in (4, 5)]
        whole = np.concatenate([np.concatenate(row, axis=1) for row in tiles], axis=0)
        got = slide.read_region((2 * 256 + 100, 4 * 256 + 50), 0, (300, 400))
        assert np.array_equal(got, whole[50:450, 100:400])


def test_regions_in_batches_and_threads_agree(slides):
    path = slides["aperio-ycbcr"].path
    rng = np.random.default_rng(5)
    origins = [(int(x), int(y)) for x, y in zip(rng.integers(-50, 760, 64),
                                                rng.integers(-50, 500, 64))]
    with kolva.open(path, region_cache=0) as plain, kolva.open(path) as shared:
        want = np.stack([plain.read_region(o, 0, (70, 50)) for o in origins])
        assert np.array_equal(shared.read_regions(0, origins, (70, 50), threads=4), want)
        out = np.zeros_like(want)
        assert shared.read_regions(0, origins, (70, 50), threads=1, out=out) is not None
        assert np.array_equal(out, want)
        # Eight threads on one slide, one cache.
        results: dict[int, np.ndarray] = {}

        def work(k: int) -> None:
            results[k] = np.stack([shared.read_region(o, 0, (70, 50)) for o in origins[k::8]])

        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        for k in range(8):
            assert np.array_equal(results[k], want[k::8])


# A level larger than half the cache: a tile is decoded in part while one region
# asks for it, whole and kept once asked for twice, then served from the cache.
# YCbCr 4:2:0 (16-pixel iMCUs) and RGB 4:4:4 (8-pixel ones), parts at every offset.
@pytest.mark.parametrize("name", ["aperio-ycbcr", "aperio-rgb"])
def test_regions_cached_once_asked_twice_match_uncached(slides, name):
    from kolva import _region

    path = slides[name].path
    rng = np.random.default_rng(8)
    origins = [(int(x), int(y)) for x, y in zip(rng.integers(-20, 700, 40),
                                                rng.integers(-20, 450, 40))]
    with kolva.open(path, region_cache=0) as plain, kolva.open(path, region_cache=1 << 20) as kept:
        want = np.stack([plain.read_region(o, 0, (200, 190)) for o in origins])
        for _ in range(3):
            assert np.array_equal(np.stack([kept.read_region(o, 0, (200, 190)) for o in origins]),
                                  want)
        stats = _region.reader(kept).cache_stats
        assert stats["hits"] > 0 and 0 < stats["bytes"] <= 1 << 20
        # Fractional places are floored to the pixel that holds them.
        assert np.array_equal(kept.read_region((10.7, -3.2), 0, (200, 190)),
                              plain.read_region((10, -4), 0, (200, 190)))
        assert np.array_equal(kept.read_regions(0, [(10.7, -3.2)], (200, 190), threads=1)[0],
                              plain.read_region((10, -4), 0, (200, 190)))


def test_remote_region_fetches_only_its_tiles(slides):
    built = slides["aperio-ycbcr"]
    data = built.path.read_bytes()
    with RangeServer({"s.svs": data}) as server:
        with kolva.open(server.url("s.svs"), cache_size=0) as slide:
            server.reset_counts()
            got = slide.read_region((230, 230), 0, (20, 20))  # the corner of 4 tiles
            counts = server.reset_counts()
        local = kolva.open(built.path)
        assert np.array_equal(got, local.read_region((230, 230), 0, (20, 20)))
    under = [built.stored[0][c] for c in [(0, 0), (1, 0), (0, 1), (1, 1)]]
    spans = [(data.find(t), data.find(t) + len(t)) for t in under]
    assert counts.bytes_sent >= sum(len(t) for t in under)
    for text in counts.ranges:
        a, b = (int(v) for v in text.removeprefix("bytes=").split("-"))
        assert min(s for s, _ in spans) <= a and b < max(e for _, e in spans), text


def test_corrupt_tile_names_slide_level_and_tile(tmp_path):
    built = ts.make_aperio_svs(tmp_path / "bad.svs")
    data = bytearray(built.path.read_bytes())
    tile = built.stored[0][(1, 1)]
    at = data.find(tile)
    # The entropy-coded data, a few bytes in, becomes markers.
    start = at + tile.find(b"\xff\xda") + 20
    data[start:at + len(tile)] = b"\xd9" * (at + len(tile) - start)
    data[start:at + len(tile):2] = b"\xff" * len(range(start, at + len(tile), 2))
    built.path.write_bytes(bytes(data))
    with kolva.open(built.path, region_cache=0) as slide:
        slide.read_region((0, 0), 0, (200, 200))  # the tiles beside it decode
        with pytest.raises(kolva.SlideError, match=r"bad\.svs: tile \(1, 1\) of level 0 does "
                                                   r"not decode"):
            slide.read_region((230, 230), 0, (20, 20))


@pytest.mark.parametrize("path", [real("svs/CMU-1-Small-Region.svs")])
def test_thumbnail_is_openslides(path, slides):
    for p in (path, slides["aperio-ycbcr"].path):
        with kolva.open(p) as slide:
            want = np.asarray(openslide.OpenSlide(str(p)).get_thumbnail((300, 300)))
            got = slide.get_thumbnail((300, 300))
            assert got.shape == want.shape
            assert np.abs(got.astype(int) - want).mean() < 3


def test_patches_at_a_resolution(slides):
    torch_ = pytest.importorskip("kolva.torch")
    path = slides["aperio-ycbcr"].path  # levels 1, 4 and 8 times down, 0.499 um/px
    native = torch_.TileDataset([str(path)], patch_size=64, tiles="all", shuffle=False)
    first = next(iter(native))
    with kolva.open(path) as slide:
        want = slide.read_region((first["x"], first["y"]), 0, (64, 64))
    assert np.array_equal(first["image"].permute(1, 2, 0).numpy(), want)
    # 1.5 um/px: level 1 (2 um/px) is too coarse, level 0 read 3x as large and resized.
    coarse = torch_.TileDataset([str(path)], patch_size=32, mpp=1.5, tiles="all")
    assert coarse.grids[0].level == 0 and coarse.grids[0].read_size == 96
    assert next(iter(coarse))["image"].shape == (3, 32, 32)
    assert len(coarse) == (760 // 96) * (500 // 96)


def test_srgb_goes_through_the_slides_profile(slides, monkeypatch):
    from PIL import ImageCms

    srgb_profile = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    monkeypatch.setattr(kolva.Slide, "icc_profile", property(lambda self: srgb_profile))
    with kolva.open(slides["aperio-ycbcr"].path) as slide:
        stored = slide.read_region((10, 10), 0, (64, 48))
        srgb = slide.read_region((10, 10), 0, (64, 48), color="srgb")
        batch = slide.read_regions(0, [(10, 10)], (64, 48), color="srgb", threads=1)
    # sRGB to sRGB: the same pixels, give or take littlecms' rounding.
    assert srgb.shape == stored.shape and np.abs(srgb.astype(int) - stored).max() <= 1
    assert np.array_equal(batch[0], srgb)


# Every other media type goes through imagecodecs: tiles wrapped in TIFF (LZW,
# Deflate, Zstd, PackBits, none; 8 and 16 bits, grey and RGB), WebP, JPEG XL and
# 16-bit PNG tiles of generic TIFFs, JPEG-LS and HTJ2K frames of DICOM. A region is
# the decoded level (tifffile's decode; the DICOM images are lossless) cropped,
# with white (the type's largest value) past the edges.
@pytest.mark.parametrize("name", sorted(
    [n for n, c in codec_tiffs.CASES.items()
     if c.media_type != "image/jpeg" and c.dtype != "float32"] + ["dicom-jls", "dicom-htj2k"]))
def test_other_media_types_are_the_decoded_level_cropped(tmp_path, name):
    if name.startswith("dicom-"):
        series = dicom.write_series(tmp_path / name, size=(300, 200), levels=2,
                                    codec=name[6:])
        path = tmp_path / name
        base = dicom.image(*series.size)
        levels = [base, base[::2, ::2][:100, :150]]
    else:
        path = codec_tiffs.make_codec_tiff(tmp_path / f"{name}.tif", codec_tiffs.CASES[name])
        with tifffile.TiffFile(path) as tif:
            levels = [tif.pages[0].asarray(), tif.pages[2].asarray()]
    with kolva.open(path) as slide:
        assert slide.levels[0].media_type != "image/jpeg"
        for n, level in enumerate(levels):
            level = level if level.ndim == 3 else level[:, :, None]
            ds = round(slide.level_downsamples[n])
            h, w = level.shape[:2]
            for x, y, rw, rh in [(5, 7, 40, 60), (w - 20, h - 10, 50, 30), (-8, -6, 20, 16)]:
                got = slide.read_region((x * ds, y * ds), n, (rw, rh))
                want = np.full((rh, rw, level.shape[2]), np.iinfo(level.dtype).max, level.dtype)
                x0, y0 = max(x, 0), max(y, 0)
                x1, y1 = min(x + rw, w), min(y + rh, h)
                want[y0 - y:y1 - y, x0 - x:x1 - x] = level[y0:y1, x0:x1]
                assert got.dtype == level.dtype, (n, x, y)
                assert np.array_equal(got, want), (n, x, y)
