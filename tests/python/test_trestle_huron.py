"""Trestle (overlapping tiles per level) and Huron against OpenSlide 4.0.1: level
sizes and downsamples, shared properties, associated images, every stored tile as
stored, tile rectangles, decoded pixels, and the same slides over loopback HTTP."""
from __future__ import annotations

import io

import numpy as np
import openslide
import pytest
import tifffile
from PIL import Image

import kolva
from fixtures import trestle as tf
from fixtures.http_server import RangeServer
from fixtures.huron import make_huron


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("trestle-huron")
    out = {f"trestle-{k}": v for k, v in tf.all_trestle_fixtures(folder).items()}
    out["huron"] = make_huron(folder / "huron.tif")
    # A thumbnail of the smallest level's size, before it in the file: the
    # level's own tiles are hashed.
    out["huron-small-thumbnail"] = make_huron(folder / "huron-t.tif", thumbnail=(128, 96))
    return out


def stored_tiles(path, page_index):
    with tifffile.TiffFile(path) as tif, open(path, "rb") as f:
        page = tif.pages[page_index]
        for offset, count in zip(page.dataoffsets, page.databytecounts):
            f.seek(offset)
            tile = f.read(count)
            yield page.jpegtables[:-2] + tile[2:] if page.jpegtables else tile


def decode(data: bytes) -> np.ndarray:
    return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"), np.int16)


@pytest.mark.parametrize("name", ["trestle-overlapping", "trestle-level-0-only-overlap", "huron",
                                  "huron-small-thumbnail"])
def test_matches_openslide(files, name):
    slide = kolva.open(files[name])
    osr = openslide.OpenSlide(str(files[name]))
    assert slide.format == name.split("-")[0]
    assert slide.level_dimensions == osr.level_dimensions
    assert slide.level_downsamples == pytest.approx(osr.level_downsamples)
    props = slide.properties
    for key, value in osr.properties.items():
        if key.startswith(("trestle.", "huron.", "tiff.")):
            assert props[key] == value, key
        elif key.split(".")[1] in ("mpp-x", "mpp-y", "objective-power", "vendor", "comment",
                                   "background-color"):
            assert props[key.replace("openslide.", "kolva.")] == value, key
    assert "kolva.comment" in props or "openslide.comment" not in osr.properties
    from kolva.openslide._properties import quickhash1  # worked out when first asked for
    assert quickhash1(slide) == osr.properties["openslide.quickhash-1"]
    assert sorted(slide.associated_images) == sorted(osr.associated_images)
    for image_name, image in slide.associated_images.items():
        assert image.dimensions == osr.associated_images[image_name].size
        theirs = np.asarray(osr.associated_images[image_name].convert("RGB"), np.int16)
        assert np.abs(decode(image.data) - theirs).max() <= 2, image_name

    pages = [0] + [i for i in range(2, 6)] if name.startswith("huron") else list(range(slide.level_count))
    overlaps = tf.CASES[name[len("trestle-"):]].overlaps if name.startswith("trestle") else ()
    for level in range(slide.level_count):
        lv = slide.levels[level]
        across, down = lv.tile_grid
        coords = [(x, y) for y in range(down) for x in range(across)]
        assert slide.read_tiles(level, coords) == list(stored_tiles(files[name], pages[level]))
        ox, oy = overlaps[level] if level < len(overlaps) else (0, 0)
        assert lv.positioned == bool(ox or oy)
        rects = slide.tile_rects(level)
        tw, th = lv.tile_size
        if lv.positioned:
            np.testing.assert_array_equal(rects[..., 0], np.arange(across)[None, :] * (tw - ox)
                                          + np.zeros((down, 1)))
            np.testing.assert_array_equal(rects[..., 1], np.arange(down)[:, None] * (th - oy)
                                          + np.zeros((1, across)))
        # Every tile away from its neighbours' overlaps shows OpenSlide's pixels there.
        ds = osr.level_downsamples[level]
        # OpenSlide resamples regions of levels with a fractional downsample.
        for (y, x) in np.ndindex(down, across) if ds == int(ds) else ():
            rx, ry, w, h = (int(v) for v in rects[y, x])
            w, h = min(w, lv.dimensions[0] - rx) - ox, min(h, lv.dimensions[1] - ry) - oy
            if w <= 0 or h <= 0:
                continue
            tile = decode(slide.read_tile(level, x, y))[:h, :w]
            area = osr.read_region((round(rx * ds), round(ry * ds)), level, (w, h))
            assert np.abs(tile - np.asarray(area.convert("RGB"), np.int16)).max() <= 2, (level, x, y)
        ours = slide.read_region((0, 0), level, lv.dimensions).astype(np.int16)
        theirs = np.asarray(osr.read_region((0, 0), level, lv.dimensions).convert("RGB"), np.int16)
        assert np.abs(ours - theirs).mean() < 1, level


def test_over_http(files):
    """Trestle's `.Full` macro comes from beside the remote slide too."""
    served = {}
    for name, path in files.items():
        served[f"{name}/{path.name}"] = path.read_bytes()
        if path.with_suffix(".Full").exists():
            served[f"{name}/{path.stem}.Full"] = path.with_suffix(".Full").read_bytes()
    with RangeServer(served) as server:
        for name, path in files.items():
            local = kolva.open(path)
            with kolva.open(server.url(f"{name}/{path.name}")) as remote:
                assert (remote.format, remote.levels, remote.properties) == \
                    (local.format, local.levels, local.properties)
                for level in range(local.level_count):
                    np.testing.assert_array_equal(remote.tile_rects(level), local.tile_rects(level))
                    across, down = local.levels[level].tile_grid
                    coords = [(x, y) for y in range(down) for x in range(across)]
                    assert remote.read_tiles(level, coords) == local.read_tiles(level, coords)
                assert dict(remote.associated_images) == dict(local.associated_images)


def test_convert_refuses_positioned_levels_by_name(files, tmp_path):
    path = files["trestle-level-0-only-overlap"]
    refused = kolva.convert(path, tmp_path / "all", workers=1)
    assert "level 0 of this trestle slide is positioned" in refused.failed[0].error
    assert kolva.convert(path, tmp_path / "upper", levels=[1, 2], workers=1).ok
    assert kolva.convert(files["huron"], tmp_path / "huron", workers=1).ok


def test_positioned_levels_in_other_codecs_are_composed_at_their_rectangles(tmp_path):
    path = tmp_path / "slide.tif"
    pixels = np.zeros((256, 256, 3), np.uint8)
    for i, (r, c) in enumerate([(0, 0), (0, 1), (1, 0), (1, 1)]):
        pixels[r * 128:(r + 1) * 128, c * 128:(c + 1) * 128] = 40 * (i + 1)
    with tifffile.TiffWriter(path) as tif:
        tif.write(pixels, tile=(128, 128), compression="lzw",
                  photometric="rgb", software="MedScan", metadata=None,
                  description="Objective Power=20;OverlapsXY= 8 8")
    slide = kolva.open(path)
    assert slide.levels[0].positioned and slide.level_dimensions[0] == (248, 248)
    # Each tile at its rectangle, later tiles over earlier ones: (1, 0) starts at 120.
    expected = np.full((248, 248, 3), 255, np.uint8)
    rects = slide.tile_rects(0)
    for r, c in np.ndindex(rects.shape[:2]):
        x, y, w, h = (int(v) for v in rects[r, c])
        part = expected[y:y + h, x:x + w]
        part[...] = pixels[r * 128:r * 128 + part.shape[0], c * 128:c * 128 + part.shape[1]]
    assert np.array_equal(slide.read_region((0, 0), 0, (248, 248)), expected)
