"""Zeiss CZI: synthetic files checked against OpenSlide and czifile, the real
sample files sub-block by sub-block against czifile, remote reads and hostile
files."""
from __future__ import annotations

import io
from collections import defaultdict
from pathlib import Path

import imagecodecs
import numpy as np
import openslide
import pytest
import tifffile
from PIL import Image

import kolva
from fixtures import czi
from fixtures.http_server import RangeServer

czifile = pytest.importorskip("czifile")
pyczi = pytest.importorskip("pylibCZIrw.czi")

REAL = Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus" / "real" / "czi"


def _decode(data: bytes, media_type: str) -> np.ndarray:
    if media_type == "image/tiff":
        return tifffile.imread(io.BytesIO(data))
    if media_type == "image/jxr":
        return imagecodecs.jpegxr_decode(data)
    return np.asarray(Image.open(io.BytesIO(data)))


def _tiles(slide: kolva.Slide, level: int):
    """(rect, decoded pixels) of every stored tile of a level."""
    lv = slide.levels[level]
    rects = slide.tile_rects(level)
    for y in range(lv.tile_grid[1]):
        for x in range(lv.tile_grid[0]):
            if np.isnan(rects[y, x, 0]):
                continue
            yield tuple(int(v) for v in rects[y, x]), _decode(slide.read_tile(level, x, y), lv.media_type)


def test_properties_worked_out_on_first_use_are_those_of_the_opening(tmp_path):
    # Without channel or scene names the metadata XML is read when the properties
    # are first asked for (here: after close); with them, at open.
    blocks = [czi.block(czi.image(64, 48, seed=2), 0, 0, czi.BGR24, C=0, S=0, M=0)]
    plain = czi.write_czi(tmp_path / "plain.czi", blocks, czi.metadata_xml((64, 48), barcode="B-1"))
    named = czi.write_czi(tmp_path / "named.czi", blocks,
                          czi.metadata_xml((64, 48), barcode="B-1", channels=["TL"]))
    later = kolva.open(plain.path)
    later.close()
    with kolva.open(named.path) as slide:
        assert slide.planes["channel"] == ["TL"]
        at_open = {k: v for k, v in slide.properties.items() if "Channel" not in k}
    assert later.properties == at_open
    assert at_open["kolva.barcode"] == "B-1" and float(at_open["kolva.objective-power"]) == 20


@pytest.mark.parametrize("compression", [czi.NONE, czi.ZSTD1])
def test_brightfield_agrees_with_openslide_and_its_source(tmp_path, compression):
    written, full = czi.brightfield(tmp_path / "bf.czi", compression=compression)
    osr = openslide.OpenSlide(str(written.path))
    with kolva.open(written.path) as slide:
        assert slide.format == "czi" and slide.properties["kolva.vendor"] == "zeiss"
        assert slide.level_dimensions == osr.level_dimensions
        assert [lv.downsample for lv in slide.levels] == list(osr.level_downsamples)
        assert all(lv.positioned and lv.media_type == "image/tiff" for lv in slide.levels)
        for key in ("mpp-x", "mpp-y", "objective-power", "barcode"):
            assert float(slide.properties[f"kolva.{key}"]) == pytest.approx(
                float(osr.properties[f"openslide.{key}"])) if key != "barcode" else \
                slide.properties["kolva.barcode"] == osr.properties["openslide.barcode"]
        assert slide.properties["czi.Scaling.Items.X.Value"] == osr.properties["zeiss.Scaling.Items.X.Value"]
        assert set(slide.associated_images) == set(osr.associated_images) == {"label", "thumbnail"}
        for name, image in slide.associated_images.items():
            assert image.dimensions == osr.associated_images[name].size
            expected = np.asarray(osr.associated_images[name].convert("RGB")).astype(int)
            assert np.abs(_decode(image.data, image.media_type).astype(int) - expected).max() <= 0
        for level in range(slide.level_count):
            ds = int(slide.levels[level].downsample)
            source = full[::ds, ::ds]
            for (x, y, w, h), pixels in _tiles(slide, level):
                assert np.array_equal(pixels, source[y:y + h, x:x + w]), (level, x, y)
                shown = np.asarray(osr.read_region((x * ds, y * ds), level, (w, h)).convert("RGB"))
                # OpenSlide paints later frames over earlier ones: compare where none overlaps.
                m = 24
                assert np.array_equal(pixels[m:-m, m:-m], shown[m:-m, m:-m]), (level, x, y)


ENCODINGS = [  # pixel type, compression, dtype, channels, lossless
    (czi.GRAY8, czi.NONE, np.uint8, 1, True),
    (czi.GRAY16, czi.ZSTD1, np.uint16, 1, True),
    (czi.GRAY16, czi.ZSTD0, np.uint16, 1, True),
    (czi.BGR48, czi.ZSTD0, np.uint16, 3, True),
    (czi.BGR24, czi.ZSTD1, np.uint8, 3, True),
    (czi.GRAY32F, czi.NONE, np.float32, 1, True),
    (czi.GRAY32, czi.ZSTD0, np.int32, 1, True),
    (czi.BGR96F, czi.NONE, np.float32, 3, True),
    (czi.BGRA32, czi.NONE, np.uint8, 4, True),
    (czi.BGRA32, czi.ZSTD0, np.uint8, 4, True),
    (czi.GRAY16, czi.LZW, np.uint16, 1, True),
    (czi.BGR24, czi.LZW, np.uint8, 3, True),
    (czi.BGR24, czi.JPEG, np.uint8, 3, False),
    (czi.GRAY8, czi.JPEGXR, np.uint8, 1, False),
]


@pytest.mark.parametrize("pixel_type,compression,dtype,channels,lossless", ENCODINGS)
def test_encodings_go_out_stored_or_as_lossless_tiff_and_agree_with_czifile(
        tmp_path, pixel_type, compression, dtype, channels, lossless):
    px = czi.image(96, 64, seed=3, channels=channels,
                   dtype=np.uint16 if dtype == np.uint16 else np.uint8).astype(dtype)
    written = czi.write_czi(tmp_path / "e.czi", [czi.block(px, 10, -20, pixel_type, compression, C=0)],
                            czi.metadata_xml((96, 64)))
    with kolva.open(written.path) as slide, pyczi.open_czi(str(written.path)) as doc:
        media = slide.levels[0].media_type
        assert media == {czi.JPEG: "image/jpeg", czi.JPEGXR: "image/jxr"}.get(compression, "image/tiff")
        data = slide.read_tile(0, 0, 0)
        if not lossless:
            assert data == written.blocks[0].data  # as stored
        got = _decode(data, media)
        if lossless:
            assert np.array_equal(got, px)
        # pylibCZIrw decodes neither JPEG and LZW sub-blocks nor Gray32, Bgr96Float and Bgra32 ones.
        if compression not in (czi.JPEG, czi.LZW) and pixel_type not in (czi.GRAY32, czi.BGR96F,
                                                                          czi.BGRA32):
            theirs = np.squeeze(doc.read(roi=(10, -20, 96, 64), plane={"C": 0}))
            theirs = theirs[..., ::-1] if channels == 3 else theirs  # libCZI gives blue first
            assert np.abs(got.astype(float) - theirs.astype(float)).max() <= (0 if lossless else 2)
    if compression in (czi.NONE, czi.JPEG, czi.JPEGXR):  # what czifile 2019 decodes (LZW: not with numpy 2)
        with czifile.CziFile(written.path) as cf:
            theirs = np.squeeze(next(cf.subblocks()).data())  # czifile gives RGB
            if compression == czi.JPEG:
                # czifile swaps a decoded JPEG as if it held blue-first samples; the
                # stream itself is an ordinary RGB JPEG (libCZI's decoder hands it out BGR).
                theirs = theirs[..., ::-1]
            assert np.abs(got.astype(float) - theirs.astype(float)).max() <= (0 if lossless else 2)


def test_lzw_sub_blocks_that_fill_the_code_table_decode_exactly(tmp_path):
    """Noise fills LZW's 4,096 codes several times over: the table is cleared
    and the code width grows from 9 to 12 bits, as TIFF's LZW does."""
    px = np.random.default_rng(7).integers(0, 256, (160, 256), dtype=np.uint8)
    px[:40] = 200  # a long run too: strings far longer than one byte
    written = czi.write_czi(tmp_path / "l.czi", [czi.block(px, 0, 0, czi.GRAY8, czi.LZW, C=0)],
                            czi.metadata_xml((256, 160)))
    assert len(written.blocks[0].data) * 8 // 12 > 2 * 4096  # codes enough to fill it twice
    with kolva.open(written.path) as slide:
        assert np.array_equal(tifffile.imread(io.BytesIO(slide.read_tile(0, 0, 0))), px)


def test_scenes_channels_focal_planes_and_timepoints_are_planes(tmp_path):
    blocks, pixels = [], {}
    for s in range(2):
        for c in range(2):
            for z in range(3):
                for t in range(2):
                    px = czi.image(40, 30, seed=s * 100 + c * 10 + z * 3 + t, channels=1)
                    pixels[s, c, z, t] = px
                    blocks.append(czi.block(px, 1000 * s, 0, czi.GRAY8, czi.NONE, S=s, C=c, Z=z, T=t, M=0))
    xml = czi.metadata_xml((40, 30), channels=["DAPI", "FITC"], scenes=["left", "right"])
    path = czi.write_czi(tmp_path / "p.czi", blocks, xml).path
    with kolva.open(path) as slide:
        assert slide.planes == {"series": ["left", "right"], "channel": ["DAPI", "FITC"],
                                "focal_plane": [0, 1, 2], "timepoint": [0, 1]}
    for choice, key in [({}, (0, 0, 0, 0)), (dict(series="right", channel="FITC", focal_plane=2, timepoint=1),
                                            (1, 1, 2, 1)), (dict(series=1, focal_plane=1), (1, 0, 1, 0))]:
        with kolva.open(path, **choice) as slide:
            assert slide.level_dimensions == ((40, 30),)
            assert np.array_equal(_decode(slide.read_tile(0, 0, 0), "image/tiff"), pixels[key])
    with pytest.raises(kolva.SlideError, match="channel"):
        kolva.open(path, channel="Cy5")


def _real_files():
    return sorted(REAL.glob("*.czi")) if REAL.is_dir() else []


@pytest.mark.parametrize("path", _real_files(), ids=lambda p: p.name)
def test_real_files_hand_out_every_sub_block_as_czifile_decodes_it(path):
    with czifile.CziFile(path) as cf:
        def start(e, axis):
            return next((d.start for d in e.dimension_entries if d.dimension == axis), 0)
        # Full-resolution sub-blocks of the first index of the axes kolva does not choose.
        entries = [e for e in cf.filtered_subblock_directory
                   if all(start(e, a) == 0 for a in "BHIRV") and e.shape == e.stored_shape]
        scenes = sorted({start(e, "S") for e in entries})
        by_plane = defaultdict(list)
        for e in entries:
            by_plane[tuple(start(e, a) for a in "SCZT")].append(e)
        for (s, c, z, t), blocks in by_plane.items():
            in_scene = [e for e in entries if start(e, "S") == s]
            axes = {a: sorted({start(e, k) for e in in_scene})
                    for a, k in (("channel", "C"), ("focal_plane", "Z"), ("timepoint", "T"))}
            select = dict(series=scenes.index(s), channel=axes["channel"].index(c),
                          focal_plane=axes["focal_plane"].index(z), timepoint=axes["timepoint"].index(t))
            with kolva.open(path, **select) as slide:
                assert [len(slide.planes[a]) for a in axes] == [len(v) for v in axes.values()]
                ours = sorted(p.tobytes() for _, p in _tiles(slide, 0))
            theirs = [np.ascontiguousarray(_czifile_pixels(e)).tobytes() for e in blocks]
            assert ours == sorted(theirs), (s, c, z, t)
            if len(blocks) == 1:  # the plane is this one sub-block: libCZI's composition agrees
                x, y = start(blocks[0], "X"), start(blocks[0], "Y")
                h, w = _czifile_pixels(blocks[0]).shape[:2]
                with pyczi.open_czi(str(path)) as doc:
                    plane = doc.read(roi=(x, y, w, h), plane={"C": c, "Z": z, "T": t},
                                     scene=s if len(scenes) > 1 else None)
                plane = np.squeeze(plane)
                assert [np.ascontiguousarray(plane[..., ::-1] if plane.ndim == 3 else plane).tobytes()] == ours


@pytest.mark.parametrize("path", _real_files(), ids=lambda p: p.name)
def test_real_regions_compose_sub_blocks_as_libczi_does(path):
    """Overlapping mosaic tiles are painted in the file's mosaic order (higher on
    top); where no sub-block lies, libCZI's background is 0 and ours the slide's."""
    with pyczi.open_czi(str(path)) as doc:
        scenes = doc.scenes_bounding_rectangle or {None: doc.total_bounding_rectangle}
        for i, (scene, box) in enumerate(sorted(scenes.items(), key=lambda kv: kv[0] or 0)):
            with kolva.open(path, series=i) if scene is not None else kolva.open(path) as slide:
                size = slide.dimensions
                ours = slide.read_region((0, 0), 0, size)
                covered = slide.read_region((0, 0), 0, size, alpha=True)[..., 3] == 255
            theirs = doc.read(roi=(box.x, box.y, box.w, box.h), plane={"C": 0, "Z": 0, "T": 0})
            theirs = theirs[..., ::-1] if theirs.shape[-1] == 3 else theirs
            assert covered.any()
            assert np.array_equal(ours[covered], theirs[covered]), (path.name, scene)
            assert not theirs[~covered].any()


def _czifile_pixels(entry) -> np.ndarray:
    """A sub-block's pixels in RGB order: czifile's decode (RGB already), or for Zstd
    (which czifile 2019 does not decode) czifile's stored bytes through imagecodecs' zstd."""
    segment = entry.data_segment()
    if entry.compression not in (5, 6):
        return np.squeeze(segment.data())
    else:
        raw = segment.data(raw=True)
        hilo = False
        if entry.compression == 6:
            hilo = raw[0] == 3 and raw[2] & 1
            raw = raw[raw[0]:]
        plain = imagecodecs.zstd_decode(raw)
        if hilo:
            half = len(plain) // 2
            plain = np.stack([np.frombuffer(plain[:half], np.uint8),
                              np.frombuffer(plain[half:], np.uint8)], axis=-1).tobytes()
        data = np.frombuffer(plain, entry.dtype).reshape(entry.stored_shape).squeeze()
    return data[..., ::-1] if data.ndim == 3 else data


def test_over_http_it_gives_the_same_tiles(tmp_path):
    written, _ = czi.brightfield(tmp_path / "r.czi", compression=czi.ZSTD0)
    with RangeServer({"r.czi": written.path.read_bytes()}) as server, kolva.open(written.path) as local:
        with kolva.open(server.url("r.czi")) as remote:
            assert remote.level_dimensions == local.level_dimensions
            assert remote.properties == local.properties
            for level in range(local.level_count):
                grid = local.levels[level].tile_grid
                for y in range(grid[1]):
                    for x in range(grid[0]):
                        try:
                            expected = local.read_tile(level, x, y)
                        except kolva.TileNotFound:
                            continue
                        assert remote.read_tile(level, x, y) == expected
            for name, image in local.associated_images.items():
                assert remote.associated_images[name].data == image.data


def _patch(data: bytearray, at: int, value: bytes) -> None:
    data[at:at + len(value)] = value


HOSTILE = {
    "directory past the end": lambda d, w: _patch(d, 84, (2**62).to_bytes(8, "little")),
    "absurd entry count": lambda d, w: _patch(d, _dir(d) + 32, (2**31 - 1).to_bytes(4, "little")),
    "absurd dimension count": lambda d, w: _patch(d, _dir(d) + 160 + 28, (10**6).to_bytes(4, "little")),
    "sub-block past the end": lambda d, w: _patch(d, _dir(d) + 160 + 6, (len(d) - 8).to_bytes(8, "little")),
    "data size past the end": lambda d, w: _patch(d, w.data_offsets[0] - 256 - 32 + 40, (2**40).to_bytes(8, "little")),
    "stored size zero": lambda d, w: _patch(d, _dir(d) + 160 + 32 + 16, (0).to_bytes(4, "little")),
    "every entry the same sub-block": lambda d, w: [
        _patch(d, _dir(d) + 160 + i * 112 + 6, (w.data_offsets[0] - 288).to_bytes(8, "little")) for i in range(5)],
    "cut short": lambda d, w: d.__delitem__(slice(len(d) // 2, None)),
}


def _dir(d: bytearray) -> int:
    return int.from_bytes(d[84:92], "little")


@pytest.mark.parametrize("how", sorted(HOSTILE))
def test_hostile_files_are_refused_or_read_without_harm(tmp_path, how):
    written, _ = czi.brightfield(tmp_path / "h.czi", thumbnail=False, label=False)
    data = bytearray(written.path.read_bytes())
    HOSTILE[how](data, written)
    path = tmp_path / "bad.czi"
    path.write_bytes(bytes(data))
    try:
        with kolva.open(path) as slide:
            for level in range(slide.level_count):
                for y in range(slide.levels[level].tile_grid[1]):
                    for x in range(slide.levels[level].tile_grid[0]):
                        try:
                            slide.read_tile(level, x, y)
                        except kolva.SlideError:
                            pass
    except kolva.SlideError as exc:
        assert "bad.czi" in str(exc)
