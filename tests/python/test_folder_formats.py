"""Hamamatsu VMS/VMU, Sakura SVSlide and MIRAX: slides that are an index beside
their data files (or a database). Each synthetic slide is first opened by OpenSlide
4.0.1, then kolva is compared with it (levels, shared properties, associated
images, decoded pixels of stored tiles at their rectangles), every stored tile is
checked against the bytes the fixture stored, and the slide opens over loopback
HTTP with its folder and gives the same tiles. Hostile files end in SlideError."""
from __future__ import annotations

import io
import struct
from pathlib import Path

import numpy as np
import openslide
import pytest
import tifffile
from PIL import Image

import kolva
from fixtures import mirax, sakura, vms
from fixtures.http_server import RangeServer


def _decode(data: bytes) -> np.ndarray:
    if data[:4] in (b"II*\0", b"MM\0*"):
        return tifffile.imread(io.BytesIO(data))
    return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"))


def _region(osr: openslide.OpenSlide, level: int, x: int, y: int, w: int, h: int) -> np.ndarray:
    ds = osr.level_downsamples[level]
    return np.asarray(osr.read_region((int(x * ds), int(y * ds)), level, (w, h)).convert("RGB"))


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    root = tmp_path_factory.mktemp("folders")
    made = {
        "vms": vms.write_vms(root / "vms", cols=2, rows=2),
        "vmu": vms.write_vmu(root / "vmu")[0],
        "sakura": sakura.write_svslide(root / "sak" / "slide.svslide", missing=((1, 1, 1),))[0],
        "mirax": mirax.write_mirax(root / "mrx", overlap=16,
                                   positions=mirax.grid_positions(4, 4, 256, 16),
                                   missing=((0, 5),)).path,
        "mirax-2.2": mirax.write_mirax(root / "mrx22", nx=2, ny=2, overlap=8, compressed=True,
                                       positions=mirax.grid_positions(2, 2, 256, 8)).path,
    }
    return root, made


FAMILIES = ["vms", "vmu", "sakura", "mirax", "mirax-2.2"]


def _stored_tiles(slide: kolva.Slide, level: int):
    lv = slide.levels[level]
    for y in range(lv.tile_grid[1]):
        for x in range(lv.tile_grid[0]):
            try:
                yield (x, y), slide.read_tile(level, x, y)
            except kolva.TileNotFound:
                continue


@pytest.mark.parametrize("family", FAMILIES)
def test_levels_properties_and_associated_images_agree_with_openslide(slides, family):
    _, made = slides
    osr = openslide.OpenSlide(str(made[family]))
    with kolva.open(made[family]) as slide:
        # Every kolva level is a stored OpenSlide level (VMS: level 0 and the map;
        # OpenSlide adds levels it scales itself).
        for lv in slide.levels:
            assert lv.dimensions in osr.level_dimensions
        assert slide.levels[0].dimensions == osr.dimensions
        if family != "vms":  # OpenSlide scales the VMS map down further
            assert slide.levels[-1].dimensions == osr.level_dimensions[-1]
        for key in ("mpp-x", "mpp-y", "objective-power"):
            assert slide.properties.get(f"kolva.{key}") == osr.properties.get(f"openslide.{key}")
        vendor = {k: v for k, v in osr.properties.items() if not k.startswith("openslide.")}
        assert {k: slide.properties.get(k) for k in vendor} == vendor
        assert set(slide.associated_images) == set(osr.associated_images)
        for name, image in slide.associated_images.items():
            assert image.dimensions == osr.associated_images[name].size
            assert np.array_equal(_decode(image.data),
                                  np.asarray(osr.associated_images[name].convert("RGB")))


@pytest.mark.parametrize("family", ["vms", "vmu", "sakura"])
def test_grid_tiles_decode_to_openslides_pixels(slides, family):
    _, made = slides
    osr = openslide.OpenSlide(str(made[family]))
    with kolva.open(made[family]) as slide:
        for level in range(len(slide.levels)):
            os_level = osr.level_dimensions.index(slide.levels[level].dimensions)
            tw, th = slide.levels[level].tile_size
            for (x, y), data in _stored_tiles(slide, level):
                pixels = _decode(data)
                if pixels.dtype == np.uint16:  # VMU: 12 bits a sample
                    pixels = (pixels >> 4).astype(np.uint8)
                h, w = pixels.shape[:2]
                expected = _region(osr, os_level, x * tw, y * th, w, h)
                # VMS tiles are cut from a chroma-subsampled frame: an MCU row's
                # upsampling near its edges may differ by a step or two.
                tolerance = 12 if family == "vms" else 0
                assert np.abs(pixels.astype(int) - expected).max() <= tolerance, (level, x, y)


@pytest.mark.parametrize("family", ["mirax", "mirax-2.2"])
def test_mirax_images_are_stored_bytes_at_their_camera_positions(slides, family):
    _, made = slides
    osr = openslide.OpenSlide(str(made[family]))
    with kolva.open(made[family]) as slide:
        assert all(lv.positioned for lv in slide.levels)
        rects = slide.tile_rects(0)
        for (x, y), data in _stored_tiles(slide, 0):
            rx, ry, rw, rh = rects[y, x]
            pixels = _decode(data)
            m = 24  # away from the overlaps, where later images cover earlier ones
            expected = _region(osr, 0, int(rx) + m, int(ry) + m, int(rw) - 2 * m, int(rh) - 2 * m)
            assert np.abs(pixels[m:-m, m:-m].astype(int) - expected).max() <= 2, (x, y)


def test_every_mirax_image_is_handed_out_as_stored_and_absent_ones_are_absent(slides, tmp_path):
    m = mirax.write_mirax(tmp_path, levels=3, missing=((0, 5), (1, 2)), fmt="PNG")
    with kolva.open(m.path) as slide:
        assert [lv.media_type for lv in slide.levels] == ["image/png"] * 3
        seen = 0
        for level, lv in enumerate(slide.levels):
            step = 1 << level
            for (x, y), data in _stored_tiles(slide, level):
                assert data == m.images[(level, y * step * 4 + x * step)][0]
                seen += 1
        assert seen == len([k for k in m.images if isinstance(k, tuple)])
        with pytest.raises(kolva.TileNotFound):
            slide.read_tile(0, 1, 1)
        assert np.isnan(slide.tile_rects(0)[1, 1]).all()
        assert slide.associated_images["label"].data == m.images["ScanDataLayer_SlideBarcode"][0]


def test_vms_tiles_are_the_stored_restart_intervals(slides):
    root, made = slides
    with kolva.open(made["vms"]) as slide:
        lv = slide.levels[0]
        data = (root / "vms" / "img_0_0.jpg").read_bytes()
        sos = data.index(b"\xff\xda")
        entropy = data[sos + 2 + struct.unpack(">H", data[sos + 2:sos + 4])[0]:-2]
        per_file = 256 // lv.tile_size[1]
        pieces = []
        for y in range(per_file):
            tile = slide.read_tile(0, 0, y)
            tsos = tile.index(b"\xff\xda")
            pieces.append(tile[tsos + 2 + struct.unpack(">H", tile[tsos + 2:tsos + 4])[0]:-2])
        joined = b"".join(p + bytes([0xFF, 0xD0 + i % 8]) for i, p in enumerate(pieces))[:-2]
        assert joined == entropy


def test_sakura_tiles_join_the_three_stored_planes_losslessly(slides):
    _, made = slides
    with kolva.open(made["sakura"]) as slide:
        assert slide.levels[0].media_type == "image/jpeg"
        with pytest.raises(kolva.TileNotFound):
            slide.read_tile(1, 1, 1)
        import sqlite3
        db = sqlite3.connect(made["sakura"])
        for (x, y), data in _stored_tiles(slide, 1):
            planes = [np.asarray(Image.open(io.BytesIO(db.execute(
                "SELECT data FROM DataManager_0 WHERE id = ?",
                (f"T;{x * 512}|{y * 512};2;{c};0",)).fetchone()[0]))) for c in range(3)]
            assert np.array_equal(_decode(data), np.stack(planes, axis=-1))


@pytest.mark.parametrize("layout", [{"page_size": 512, "scatter": True}, {"page_size": 65536}])
def test_sakura_tiles_of_any_page_layout_are_their_stored_planes(tmp_path, layout):
    # Small pages (long overflow chains), chains written into freed pages
    # (not back to back), pages larger than a blob.
    import sqlite3
    path, _ = sakura.write_svslide(tmp_path / "s.svslide", width=600, height=300, tile=128, **layout)
    db = sqlite3.connect(path)
    with kolva.open(path) as slide:
        for level, d in enumerate((1, 2)):
            coords = [xy for xy, _ in _stored_tiles(slide, level)]
            tiles = slide.read_tiles(level, coords)
            buf = np.zeros(int(slide.tile_nbytes(level, coords).sum()), np.uint8)
            offsets = slide.read_tiles_into(level, coords, buf)
            assert [bytes(buf[a:b]) for a, b in zip(offsets[:-1], offsets[1:])] == tiles
            for (x, y), data in zip(coords, tiles):
                planes = [np.asarray(Image.open(io.BytesIO(db.execute(
                    "SELECT data FROM DataManager_0 WHERE id = ?",
                    (f"T;{x * 128 * d}|{y * 128 * d};{d};{c};0",)).fetchone()[0]))) for c in range(3)]
                assert np.array_equal(_decode(data), np.stack(planes, axis=-1))


@pytest.mark.parametrize("family", FAMILIES)
def test_opens_over_http_with_its_folder_as_it_does_locally(slides, family):
    root, made = slides
    files = {str(p.relative_to(root)): p.read_bytes() for p in root.rglob("*") if p.is_file()}
    with RangeServer(files) as server, kolva.open(made[family]) as local:
        with kolva.open(server.url(str(made[family].relative_to(root)))) as remote:
            assert remote.format == local.format
            assert remote.level_dimensions == local.level_dimensions
            assert remote.properties == local.properties
            for level in range(len(local.levels)):
                assert dict(_stored_tiles(remote, level)) == dict(_stored_tiles(local, level))
            for name in local.associated_images:
                assert remote.associated_images[name].data == local.associated_images[name].data


def test_mirax_over_http_opens_its_data_files_together(tmp_path):
    # Scanners spread a slide over many data files; an empty .mrxs is common.
    made = mirax.write_mirax(tmp_path, data_files=5)
    made.path.write_bytes(b"")
    files = {str(p.relative_to(tmp_path)): p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    with RangeServer(files, delay=0.05) as server, kolva.open(made.path) as local:
        with kolva.open(server.url("slide.mrxs")) as slide:
            counts = server.reset_counts()
            assert dict(_stored_tiles(slide, 0)) == dict(_stored_tiles(local, 0))
    assert not any(r.endswith("/") for r in counts.ranges)  # nothing listed
    # One round trip a file (its head and tail asked for together): the .mrxs,
    # Slidedat.ini, then the five data files and the index all at once.
    assert counts.requests <= 2 * (2 + 6)
    assert counts.peak >= 6


def _corrupt_index(path: Path, how: str) -> None:
    index = path.parent / path.stem / "Index.dat"
    data = bytearray(index.read_bytes())
    root = 5 + len(mirax.SLIDE_ID)
    hier = struct.unpack_from("<i", data, root)[0]
    head = struct.unpack_from("<i", data, hier)[0]
    page = struct.unpack_from("<i", data, head + 4)[0]
    if how == "cycle":
        struct.pack_into("<i", data, page + 4, page)
    elif how == "count":
        struct.pack_into("<i", data, page, 1 << 28)
    elif how == "pointer":
        struct.pack_into("<i", data, head + 4, len(data) + 100)
    elif how == "image":
        struct.pack_into("<i", data, page + 8 + 8, 1 << 30)  # a length past the data file
    index.write_bytes(bytes(data))


@pytest.mark.parametrize("how", ["cycle", "count", "pointer", "image"])
def test_hostile_mirax_indexes_are_refused(tmp_path, how):
    m = mirax.write_mirax(tmp_path, nx=2, ny=2)
    _corrupt_index(m.path, how)
    with pytest.raises(kolva.SlideError):
        kolva.open(m.path)


def test_hostile_vms_and_sakura_files_are_refused(tmp_path):
    path = vms.write_vms(tmp_path / "cut", cols=1)
    jpeg = path.parent / "img_0_0.jpg"
    jpeg.write_bytes(jpeg.read_bytes()[:-300])
    with pytest.raises(kolva.SlideError):
        kolva.open(path)
    path = vms.write_vms(tmp_path / "missing", cols=2)
    (path.parent / "img_1_0.jpg").unlink()
    with pytest.raises(kolva.MissingFile):
        kolva.open(path)
    db, _ = sakura.write_svslide(tmp_path / "s.svslide")
    data = bytearray(db.read_bytes())
    data[len(data) // 2:] = b"\xff" * (len(data) - len(data) // 2)
    db.write_bytes(bytes(data))
    try:
        with kolva.open(db) as slide:
            for level in range(len(slide.levels)):
                list(_stored_tiles(slide, level))
    except kolva.SlideError:
        pass
