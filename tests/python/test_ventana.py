"""Roche/Ventana BIF and TIF against OpenSlide 4.0.1: level sizes, properties,
associated images, every stored tile as stored, the tile rectangles the stitching
gives, decoded pixels, and the same slide over loopback HTTP."""
from __future__ import annotations

import dataclasses
import io

import numpy as np
import openslide
import pytest
import tifffile
from PIL import Image

import kolva
from fixtures import ventana as vf
from fixtures.http_server import RangeServer

# OpenSlide 4.0.1 refuses LEFT and DOWN joints: its twin with RIGHT and UP joints
# (the same adjacency, the same overlaps) is its oracle.
TWINS = {"bif-left-down": "bif-left-down-twin"}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ventana")
    out = vf.all_ventana_fixtures(folder)
    case = vf.CASES["bif-left-down"]
    twin = dataclasses.replace(case, aois=tuple(dataclasses.replace(a, directions=("RIGHT", "UP"))
                                                for a in case.aois))
    out["bif-left-down-twin"] = vf.make_ventana(folder / "twin.bif", twin)
    return out


def oracle(files, name):
    return openslide.OpenSlide(str(files[TWINS.get(name, name)]))


def stored_tiles(path, level):
    """Each stored tile of the level's directory as one JPEG stream."""
    with tifffile.TiffFile(path) as tif:
        page = [p for p in tif.pages if str(p.description).startswith(f"level={level} ")][0]
        tables = page.jpegtables
        with open(path, "rb") as f:
            for offset, count in zip(page.dataoffsets, page.databytecounts):
                f.seek(offset)
                tile = f.read(count)
                yield tables[:-2] + tile[2:] if tables else tile


def expected_rects(case: vf.Case) -> np.ndarray:
    """Level 0's tile rectangles by OpenSlide's rule (one mean advance per axis)."""
    t = case.tile
    scanned = [a for a in case.aois if a.scanned]
    joints = [j for a in scanned for j in vf.joints(a)]
    across = [j[3] for j in joints if j[2] in ("RIGHT", "LEFT")]
    down = [j[4] for j in joints if j[2] in ("UP", "DOWN")]
    adv_x = t - (np.mean(across) if across else 0)
    adv_y = t - (np.mean(down) if down else 0)
    heights = [(a.grid[1] - 1) * adv_y + t for a in scanned]
    base = max(a.pos[1] + h for a, h in zip(scanned, heights))
    rects = np.full((case.grid[1], case.grid[0], 4), np.nan)
    for a, h in zip(scanned, heights):
        c0, r0 = a.origin[0] // t, a.origin[1] // t
        for r in range(a.grid[1]):
            for c in range(a.grid[0]):
                rects[r0 + r, c0 + c] = (a.pos[0] + c * adv_x, base - a.pos[1] - h + r * adv_y, t, t)
    return rects


@pytest.mark.parametrize("name", list(vf.CASES))
def test_ventana_matches_openslide(files, name):
    slide = kolva.open(files[name])
    osr = oracle(files, name)
    assert slide.format == "ventana"
    assert slide.level_dimensions == osr.level_dimensions
    assert slide.level_downsamples == pytest.approx(osr.level_downsamples)
    props = slide.properties
    for key, value in osr.properties.items():
        if key.startswith(("ventana.", "tiff.")) or key.startswith("openslide.region["):
            assert props[key.replace("openslide.", "kolva.")] == value, key
    for key in ("mpp-x", "mpp-y", "objective-power", "vendor", "comment"):
        assert props[f"kolva.{key}"] == osr.properties[f"openslide.{key}"]
    from kolva.openslide._properties import quickhash1  # worked out when first asked for
    assert quickhash1(slide) == osr.properties["openslide.quickhash-1"]
    assert sorted(slide.associated_images) == sorted(osr.associated_images)
    for image_name, image in slide.associated_images.items():
        assert image.dimensions == osr.associated_images[image_name].size
        ours = np.asarray(Image.open(io.BytesIO(image.data)).convert("RGB"), np.int16)
        theirs = np.asarray(osr.associated_images[image_name].convert("RGB"), np.int16)
        assert np.abs(ours - theirs).max() <= 2
    case = vf.CASES[name]
    for level in range(slide.level_count):
        across, down = slide.levels[level].tile_grid
        coords = [(x, y) for y in range(down) for x in range(across)]
        assert slide.read_tiles(level, coords) == list(stored_tiles(files[name], level))
        assert slide.levels[level].positioned == bool(case.aois)
    rects = slide.tile_rects(0)
    if case.aois:
        np.testing.assert_allclose(rects, expected_rects(case))
    else:
        assert not np.isnan(rects).any() and rects[-1, -1, 2] == case.tile


@pytest.mark.parametrize("name", list(vf.CASES))
def test_ventana_pixels_match_openslide(files, name):
    """Each placed level-0 tile, decoded, is what OpenSlide draws at its rectangle
    (away from the overlaps), and whole levels read alike."""
    slide = kolva.open(files[name])
    osr = oracle(files, name)
    rects = slide.tile_rects(0)
    margin = 16
    checked = 0
    for (y, x), rect in np.ndenumerate(rects[..., 0]):
        rx, ry, w, h = rects[y, x]
        if np.isnan(rx) or rx != int(rx):
            continue  # not placed, or at a fractional position OpenSlide resamples
        tile = np.asarray(Image.open(io.BytesIO(slide.read_tile(0, x, y))).convert("RGB"), np.int16)
        area = osr.read_region((int(rx) + margin, int(ry) + margin), 0,
                               (int(w) - 2 * margin, int(h) - 2 * margin))
        theirs = np.asarray(area.convert("RGB"), np.int16)
        assert np.abs(tile[margin:-margin, margin:-margin] - theirs).max() <= 2, (x, y)
        checked += 1
    assert checked
    for level in range(slide.level_count):
        size = slide.level_dimensions[level]
        ours = slide.read_region((0, 0), level, size, alpha=True).astype(np.int16)
        theirs = np.asarray(osr.read_region((0, 0), level, size), np.int16)
        diff = np.abs(ours - theirs)
        # Upper BIF levels are painted in the level-0 tiles each stored tile
        # holds, as OpenSlide does; at fractional places OpenSlide blends the
        # edges, rounded to whole pixels here.
        assert diff.mean() < 1 and (diff.max(-1) > 8).mean() < 0.05, level
        # windows across the overlaps: pieces cut by the region, tiles cached
        ds = round(slide.level_downsamples[level])
        for x, y in ((0, 0), (size[0] // 3, size[1] // 4), (size[0] - 20, size[1] // 2)):
            ours = slide.read_region((x * ds, y * ds), level, (37, 29), alpha=True).astype(np.int16)
            theirs = np.asarray(osr.read_region((x * ds, y * ds), level, (37, 29)), np.int16)
            assert np.abs(ours - theirs).mean() < 2, (level, x, y)


def test_ventana_over_http(files):
    names = list(vf.CASES)
    with RangeServer({n: files[n].read_bytes() for n in names}) as server:
        for name in names:
            local = kolva.open(files[name])
            with kolva.open(server.url(name)) as remote:
                assert (remote.format, remote.levels, remote.properties) == \
                    (local.format, local.levels, local.properties)
                for level in range(local.level_count):
                    np.testing.assert_array_equal(remote.tile_rects(level), local.tile_rects(level))
                    across, down = local.levels[level].tile_grid
                    coords = [(x, y) for y in range(down) for x in range(across)]
                    assert remote.read_tiles(level, coords) == local.read_tiles(level, coords)
                assert dict(remote.associated_images) == dict(local.associated_images)


@pytest.mark.parametrize("xmp, says", [
    ('<iScan/>', None),  # a Ventana TIF: no EncodeInfo
    ('<EncodeInfo><AoiOrigin><AOI0 OriginX="0" OriginY="0"/></AoiOrigin><SlideStitchInfo/>'
     '</EncodeInfo>', "1 area origins"),
    ('<EncodeInfo><AoiOrigin><AOI0 OriginX="0" OriginY="0"/></AoiOrigin><SlideStitchInfo>'
     '<ImageInfo Width="128" Height="128" NumRows="1" NumCols="1" Pos-X="0" Pos-Y="0">'
     '<TileJointInfo Tile1="1" Tile2="2" Direction="SIDEWAYS"/></ImageInfo></SlideStitchInfo>'
     '</EncodeInfo>', "SIDEWAYS"),
    ('<EncodeInfo><AoiOrigin><AOI0 OriginX="0" OriginY="0"/></AoiOrigin><SlideStitchInfo>'
     '<ImageInfo Width="128" Height="128" NumRows="1" NumCols="2" Pos-X="0" Pos-Y="0">'
     '<TileJointInfo Tile1="1" Tile2="9" Direction="RIGHT"/></ImageInfo></SlideStitchInfo>'
     '</EncodeInfo>', "joins tile 9 of 2"),
    ('<EncodeInfo><AoiOrigin><AOI0 OriginX="64" OriginY="0"/></AoiOrigin><SlideStitchInfo>'
     '<ImageInfo Width="128" Height="128" NumRows="1" NumCols="1" Pos-X="0" Pos-Y="0"/>'
     '</SlideStitchInfo></EncodeInfo>', "tile grid"),
])
def test_bad_encode_info_is_refused_in_words(tmp_path, xmp, says):
    case = vf.CASES["tif"]
    path2 = tmp_path / "y.bif"
    with tifffile.TiffWriter(path2, bigtiff=True) as tif:
        x = vf.iscan_xmp(case).encode()
        tif.write(vf.pixels(96, 64, 7), photometric="rgb", description="Label Image", metadata=None,
                  extratags=[(700, "B", len(x), x, True)])
        info = xmp.encode()
        tif.write(vf.pixels(256, 256, 0), photometric="rgb", tile=(128, 128), compression="jpeg",
                  description="level=0 mag=20 quality=90", metadata=None,
                  extratags=[(700, "B", len(info), info, True)])
    if says is None:
        assert not kolva.open(path2).levels[0].positioned
        return
    with pytest.raises(kolva.SlideError, match=says):
        kolva.open(path2)


def test_positioned_levels_in_info_export_and_plain_grids(files, tmp_path, capsys):
    """`kolva info --json` and exported samples carry a positioned level's
    rectangles; a plain grid's rectangles are its cells clipped to the level."""
    import json
    import tarfile

    from kolva.cli import main as cli_main

    path = files["bif-two-aois"]
    slide = kolva.open(path)
    assert cli_main(["info", "--json", str(path)]) == 0
    levels = json.loads(capsys.readouterr().out)[0]["levels"]
    rects = slide.tile_rects(0).reshape(-1, 4)
    assert levels[0]["positioned"] is True
    assert [r is None for r in levels[0]["tile_rects"]] == list(np.isnan(rects[:, 0]))
    assert cli_main(["info", str(path)]) == 0
    assert "positioned levels: 0, 1" in capsys.readouterr().out

    kolva.export(path, tmp_path / "out", min_bytes=None, workers=1)
    manifest = [json.loads(line) for line in (tmp_path / "out" / "manifest.jsonl").open()]
    level0 = {(m["x"], m["y"]): m for m in manifest if m["level"] == 0}
    across = slide.levels[0].tile_grid[0]
    for (x, y), m in level0.items():
        want = rects[y * across + x]
        assert (m.get("rect") is None) if np.isnan(want[0]) else m["rect"] == list(want)
    shard = next((tmp_path / "out").glob("*.tar"))
    with tarfile.open(shard) as tar:
        sample = json.loads(tar.extractfile(next(n for n in tar.getnames()
                                                 if n.endswith(".json"))).read())
    assert "rect" in sample and "box" in sample

    tif = kolva.open(files["tif"])
    grid = tif.tile_rects(1)
    assert not tif.levels[1].positioned and grid.shape == (2, 2, 4)
    np.testing.assert_array_equal(grid[1, 1], [128, 128, 128, 64])  # clipped to 256 x 192
    with pytest.raises(kolva.TileNotFound):
        tif.tile_rects(5)
