#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds are small but realistic slides made by the fixture builders (tiny levels,
tiny tiles), plus hand-made edge files: truncated headers, looping directory
chains, BigTIFF with absurd counts, ETS tables with 0xFFFFFFFF coordinates, NDPI
restart-offset tables whose low words wrap. Files named regress-* are inputs
that once crashed a target; this script never touches them.

    python3 fuzz/make_seeds.py            # rewrite the generated seeds
"""

from __future__ import annotations

import io
import shutil
import struct
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import tifffile  # noqa: E402

from fixtures import codec_tiffs, ets, ndpi, tiff_slides  # noqa: E402

CORPUS = HERE / "corpus"
TARGETS = ("fuzz_open", "fuzz_tiff", "fuzz_ets", "fuzz_ndpi", "fuzz_jpeg", "fuzz_slide",
           "fuzz_dicom", "fuzz_region", "fuzz_planes", "fuzz_folders", "fuzz_mirax_index",
           "fuzz_sakura", "fuzz_czi")
MAX_SEED = 64 * 1024


# ------------------------------------------------------------------ realistic

def tiff_seeds(d: Path) -> dict[str, bytes]:
    small = ((64, 48, 16), (32, 24, 16))
    built = {
        "generic-le": tiff_slides.make_generic_tiff(d / "g-le.tiff", levels=small, quality=30),
        "generic-be": tiff_slides.make_generic_tiff(d / "g-be.tiff", levels=small, byteorder=">",
                                                    tables_type=tiff_slides.BYTE, quality=30),
        "generic-bigtiff": tiff_slides.make_generic_tiff(d / "g-big.tiff", levels=small,
                                                         bigtiff=True, quality=30,
                                                         extra_stripped=False),
        "generic-bigtiff-be-rgb": tiff_slides.make_generic_tiff(
            d / "g-big-be.tiff", bigtiff=True, byteorder=">", photometric="rgb",
            levels=((48, 40, (32, 16)),), quality=30, extra_stripped=False),
        "aperio-ycbcr": tiff_slides.make_aperio_svs(d / "a.svs", levels=((64, 48, 32), (32, 24, 32)),
                                                    quality=30),
        "aperio-rgb-app14": tiff_slides.make_aperio_svs(d / "a14.svs", rgb=True,
                                                        tables_have_app14=True,
                                                        levels=((48, 32, 32),), quality=30),
        "aperio-j2k": tiff_slides.make_aperio_j2k(d / "j2k.svs", levels=((48, 32, 32),)),
        "philips-sparse": tiff_slides.make_philips_tiff(d / "p.tiff", content=(64, 48), tile=32,
                                                        n_levels=2, missing=((0, 1, 1),),
                                                        quality=30),
    }
    return {name: Path(slide.path).read_bytes() for name, slide in built.items()}


def ndpi_seeds(d: Path) -> dict[str, bytes]:
    levels = ((64, 32, 2), (32, 16, 1))
    sub = ((64, 32, 2), (32, 16, 2))
    out = {}
    for name, kw in {
        "ndpi-444": dict(levels=levels),
        "ndpi-420": dict(levels=sub, sampling="420"),
        "ndpi-high-word": dict(levels=levels, offsets_high_word=True),
        "ndpi-classic": dict(levels=levels, layout="classic"),
        "ndpi-progressive": dict(levels=levels, progressive_level=1),
    }.items():
        path = d / f"{name}.ndpi"
        ndpi.make_ndpi(path, macro=False, quality=30, **kw)
        out[name] = path.read_bytes()

    # Restart offsets whose low words fall back, as if they had wrapped past
    # 2^32: once with an ordinary strip, once with a strip byte count that
    # claims the stream is long enough for the wrap to be believed.
    for name, claim in (("ndpi-wrapped-restarts", None), ("ndpi-wrapped-long-strip", 0xFFFFFFF0)):
        dirs, _ = ndpi._build(levels, "444", False, None, 30, False, False)
        for e in dirs[0].entries:
            if e.tag == ndpi.TAG_MCU_STARTS and len(e.values) > 2:
                v = list(e.values)
                v[2] = max(0, v[1] - 7)
                e.values = tuple(v)
        path = d / f"{name}.ndpi"
        ndpi._write_tiff(path, dirs, "ndpi")
        data = bytearray(path.read_bytes())
        if claim is not None:
            patch_first_tag(data, 279, claim, wide=True)
        out[name] = bytes(data)
    return out


def ets_seeds(d: Path) -> dict[str, bytes]:
    out = {}
    for name, kw in {
        "ets-jpeg": dict(levels=((2, 2), (1, 1)), missing=[(0, 1, 1)], plane1_only=[(0, 0, 1)],
                         duplicate=[(1, 0, 0)]),
        "ets-bmp": dict(compression=ets.BMP, levels=((2, 1),)),
        "ets-raw": dict(compression=ets.RAW, levels=((1, 1),)),
        "ets-j2k": dict(compression=ets.JPEG2000, levels=((1, 2),)),
        "ets-header-120": dict(header_size=120, levels=((1, 1),)),
        # A fluorescence stack's table: (x, y, T, Z, C, level), 44-byte entries,
        # with tiles in focus plane 1 that tile reads must not return.
        "ets-dims-6": dict(dimensions=6, levels=((2, 2), (1, 1)), plane1_only=[(0, 1, 0)],
                           plane1=[(0, 0, 0)], plane_at=1),
        "ets-dims-3": dict(dimensions=3, levels=((2, 1), (1, 1))),
    }.items():
        path = d / f"{name}.ets"
        ets.make_ets(path, tile=(16, 16), **kw)
        out[name] = path.read_bytes()
    (d / "hostile").mkdir()
    for name, path in ets.hostile_ets_files(d / "hostile").items():
        if path.stat().st_size <= MAX_SEED:
            out[f"ets-hostile-{name}"] = path.read_bytes()
    return out


# ------------------------------------------------------------------ hand-made

def patch_first_tag(data: bytearray, tag: int, value: int, *, wide: bool) -> None:
    """Sets the value field of the first directory's `tag` (little-endian,
    12-byte entries; with `wide` the high word after the next offset too)."""
    ifd = struct.unpack_from("<Q" if wide else "<I", data, 4)[0]
    n = struct.unpack_from("<H", data, ifd)[0]
    for i in range(n):
        at = ifd + 2 + 12 * i
        if struct.unpack_from("<H", data, at)[0] == tag:
            struct.pack_into("<I", data, at + 8, value & 0xFFFFFFFF)
            if wide:
                struct.pack_into("<I", data, ifd + 2 + 12 * n + 8 + 4 * i, value >> 32)
            return
    raise KeyError(tag)


def classic_ifd(entries: list[tuple[int, int, int, int]], next_offset: int = 0,
                at: int = 8) -> bytes:
    """"II*\\0" header pointing at one directory at `at` with inline values."""
    head = b"II*\0" + struct.pack("<I", at)
    body = struct.pack("<H", len(entries))
    for tag, typ, count, value in sorted(entries):
        body += struct.pack("<HHII", tag, typ, count, value)
    body += struct.pack("<I", next_offset)
    return head.ljust(at, b"\0") + body


TILED = [(256, 4, 1, 64), (257, 4, 1, 64), (259, 3, 1, 7), (322, 4, 1, 64), (323, 4, 1, 64)]


def tiff_edges(generic: bytes) -> dict[str, bytes]:
    out = {
        "trunc-2": b"II",
        "trunc-4": b"II*\0",
        "trunc-bigtiff-8": b"II+\0\x08\0\0\0",
        "trunc-be-6": b"MM\0*\0\0",
        "ifd-past-end": b"II*\0" + struct.pack("<I", 0xFFFFFFF0),
        "ifd-count-past-end": b"II*\0\x08\0\0\0\xff\xff",
    }
    # A directory whose next offset is itself, and two that point at each other.
    out["loop-self"] = classic_ifd(TILED + [(324, 4, 1, 0), (325, 4, 1, 0)], next_offset=8)
    first = classic_ifd(TILED, next_offset=100)
    out["loop-pair"] = first.ljust(100, b"\0") + struct.pack("<H", 1) + \
        struct.pack("<HHII", 256, 4, 1, 64) + struct.pack("<I", 8)
    # A tile byte count of 2 GiB (and one byte more) and a JPEGTables count of
    # 2^31 in an otherwise valid slide: ranges past the end, or too long.
    with tifffile.TiffFile(io.BytesIO(generic)) as tif:
        counts_at = tif.pages[0].tags["TileByteCounts"].valueoffset
        tables_entry = tif.pages[0].tags["JPEGTables"].offset
    for name, at, value in (("tile-2gib", counts_at, 0x80000000),
                            ("tile-2gib-plus-1", counts_at, 0x80000001),
                            ("tables-2gib", tables_entry + 4, 0x80000000)):
        data = bytearray(generic)
        struct.pack_into("<I", data, at, value)
        out[name] = bytes(data)
    # Out-of-line value arrays whose count times size wraps or is huge.
    out["count-huge-long"] = classic_ifd(TILED + [(324, 4, 0x40000001, 16), (325, 4, 1, 1)])
    # BigTIFF: entry count 2^64-1, and an entry of 2^60 LONG8 values.
    big = b"II+\0" + struct.pack("<HHQ", 8, 0, 16)
    out["bigtiff-huge-entry-count"] = big + struct.pack("<Q", 0xFFFFFFFFFFFFFFFF) + b"\0" * 20
    out["bigtiff-huge-value-count"] = big + struct.pack("<Q", 1) + \
        struct.pack("<HHQQ", 324, 16, 1 << 60, 64) + struct.pack("<Q", 0)
    out["bigtiff-bad-bytesize"] = b"II+\0" + struct.pack("<HHQ", 9, 0, 16) + b"\0" * 16
    # An NDPI-style (64-bit offset) header whose first directory lies past 4 GiB.
    out["ndpi-ifd-high"] = b"II*\0" + struct.pack("<Q", 0x100000010)
    return out


def ets_edges() -> dict[str, bytes]:
    def sis(ets_offset=64, ets_size=228, table_offset=292, tile_count=1, header_size=64,
            dimensions=4):
        b = bytearray(64)
        b[0:4] = ets.SIS_MAGIC
        struct.pack_into("<IIIQIIQI", b, 4, header_size, 2, dimensions, ets_offset, ets_size,
                         0, table_offset, tile_count)
        return bytes(b)

    header = ets.ets_header_bytes(tile=(16, 16))

    def entry(col, row, plane, level, offset, size):
        return struct.pack("<5IQ2I", 0, col, row, plane, level, offset, size, 0)

    FF = 0xFFFFFFFF
    out = {
        "sis-only": sis(),
        "sis-trunc": sis()[:40],
        "ets-header-past-end": sis(ets_offset=0xFFFFFFFFFFFFFF00) + header,
        "table-huge-count": sis(tile_count=FF) + header + entry(0, 0, 0, 0, 0, 1),
        "table-offset-wraps": sis(table_offset=0xFFFFFFFFFFFFFFF0) + header,
        "coords-all-ff": sis(tile_count=2) + header + entry(FF, FF, FF, FF, 0, 1)
        + entry(0, 0, 0, 0, 0, 1) + b"\0",
        "tile-offset-wraps": sis(tile_count=1) + header
        + entry(0, 0, 0, 0, 0xFFFFFFFFFFFFFFFF, FF) + b"\0",
        "tile-length-huge": sis(tile_count=1) + header + entry(0, 0, 0, 0, 0, FF) + b"\0",
    }
    # Six dimensions: 44-byte entries (x, y, T, Z, C, level); a channel
    # coordinate of 0xFFFFFFFF, and the table cut one byte into its last entry.
    def entry6(col, row, t, z, c, level, offset, size):
        return struct.pack("<7IQ2I", 0, col, row, t, z, c, level, offset, size, 0)

    def sis6(tile_count):
        return sis(tile_count=tile_count, dimensions=6)

    out["dims6-plane-ff"] = sis6(2) + header + entry6(0, 0, 0, 0, 0, 0, 0, 1) \
        + entry6(1, 0, 0, 0, FF, 0, 0, 1) + b"\0"
    out["dims6-short-table"] = sis6(2) + header + entry6(0, 0, 0, 1, 0, 0, 0, 1) \
        + entry6(1, 1, 0, 0, 0, 1, 0, 1)[:-1]
    out["dims-17"] = sis(tile_count=1, dimensions=17) + header + bytes(88)
    # 1000 levels, each claiming a 1024 x 1024 map (one entry at the far corner).
    table = b"".join(entry(1023, 1023, 0, lv, 0, 4) for lv in range(1000))
    out["levels-1000-wide"] = sis(tile_count=1000) + header + table + b"\0"
    return out


def jpeg_edges() -> dict[str, bytes]:
    sof0 = b"\xff\xc0\x00\x11\x08\x00\x10\x00\x10\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01"
    return {
        "soi-only": b"\xff\xd8",
        "sof0": b"\xff\xd8" + sof0 + b"\xff\xd9",
        "sof0-trunc": b"\xff\xd8" + sof0[:9],
        "dri-sos": b"\xff\xd8\xff\xdd\x00\x04\x00\x02" + sof0 + b"\xff\xda\x00\x02\x00\xff\xd0\x00\xff\xd9",
        "length-zero": b"\xff\xd8\xff\xe0\x00\x00\xff\xd9",
        "length-long": b"\xff\xd8\xff\xe1\xff\xff\x00",
    }


def jpeg_headers(files: dict[str, bytes]) -> dict[str, bytes]:
    """The first JPEG stream (SOI up to and including SOS) found in each file."""
    out = {}
    for name, data in files.items():
        start = data.find(b"\xff\xd8\xff")
        if start < 0:
            continue
        end = data.find(b"\xff\xda", start)
        end = start + 2048 if end < 0 else min(end + 64, len(data))
        out[f"from-{name}"] = data[start:end]
    return out


def slide_seeds(d: Path) -> dict[str, bytes]:
    """Tiled TIFFs in each tile codec and slides with associated images (joined
    JPEG strips, LZW labels, Philips XML JPEGs, the NDPI macro and map)."""
    out = {}
    for name, case in codec_tiffs.CASES.items():
        path = codec_tiffs.make_codec_tiff(d / f"c-{name}.tif", case,
                                           levels=((40, 24), (20, 12)), tile=(16, 16))
        out[f"codec-{name}"] = path.read_bytes()
    built = {
        "aperio-rgb-associated": tiff_slides.make_aperio_svs(
            d / "ar.svs", rgb=True, levels=((48, 32, 32),), quality=30, scanner_strips=True),
        "philips-xml-associated": tiff_slides.make_philips_tiff(
            d / "px.tiff", content=(64, 48), tile=32, n_levels=1, quality=30,
            associated_in_xml=True),
    }
    out.update({name: Path(s.path).read_bytes() for name, s in built.items()})
    nd = ndpi.make_ndpi(d / "nm.ndpi", levels=((64, 32, 2),), quality=30, map_image=True)
    out["ndpi-macro-map"] = Path(nd.path).read_bytes()
    return {k: v for k, v in out.items() if len(v) <= MAX_SEED}


# ------------------------------------------------------------------ writing

def region_seeds() -> dict[str, bytes]:
    """Eight parameter bytes (tile size, level size, region, scale, cache) and a
    small JPEG: subsampled, not, grayscale, restart-marked, progressive."""
    import io

    import numpy as np
    from PIL import Image

    rng = np.random.default_rng(7)
    rgb = Image.fromarray(rng.integers(0, 255, (64, 64, 3), np.uint8))
    out = {}
    kinds = {"420": dict(subsampling=2), "444": dict(subsampling=0),
             "progressive": dict(progressive=True), "restart": dict(restart_marker_blocks=2)}
    for i, (name, options) in enumerate(kinds.items()):
        buf = io.BytesIO()
        rgb.save(buf, "JPEG", quality=80, **options)
        out[name] = bytes([7, 5 + i, 3, 40 + 9 * i, 17 * i, 90, 70, i | (8 if i % 2 else 4)]) + buf.getvalue()
        if name == "420":  # the level painted in overlapping pieces
            out["420-pieces"] = bytes([7, 5, 3, 40, 0, 90, 70, 8 | 16 | 64]) + buf.getvalue()
    buf = io.BytesIO()
    rgb.convert("L").save(buf, "JPEG")
    out["gray"] = bytes([3, 1, 2, 3, 4, 50, 50, 1]) + buf.getvalue()
    return out


def write(target: str, seeds: dict[str, bytes]) -> None:
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    for old in d.glob("seed-*"):
        old.unlink()
    for name, data in sorted(seeds.items()):
        if len(data) > MAX_SEED:
            raise SystemExit(f"{target}/{name}: {len(data)} bytes, above {MAX_SEED}")
        (d / f"seed-{name}").write_bytes(data)


def dicom_seeds(d: Path) -> dict[str, bytes]:
    """Tiny DICOM instances: every offset-table variant, split fragments, sparse,
    several focal planes and optical paths, uncompressed (explicit and implicit VR)
    and RLE."""
    from fixtures import dicom

    uid = "1.2.3.4"
    img = dicom.image(40, 24)
    variants = {
        "basic": {}, "empty": {"offsets": "empty"}, "extended": {"offsets": "extended"},
        "split": {"offsets": "empty", "fragments": 2}, "sparse": {"sparse": True, "skip": frozenset({(1, 0)})},
        "native": {"codec": "native"}, "implicit": {"codec": "native", "implicit": True},
        "rle": {"codec": "rle"},
    }
    out = {}
    for name, options in variants.items():
        path = d / f"{name}.dcm"
        dicom.write_instance(path, {(0, "1"): img}, tile=16, series_uid=uid, study_uid=uid,
                             **options)
        out[f"dicom-{name}"] = path.read_bytes()
    planes = {(z, p): dicom.image(32, 16, z) for z in (0, 1) for p in ("a", "b")}
    dicom.write_instance(d / "zp.dcm", planes, tile=16, series_uid=uid, study_uid=uid,
                         codec="native")
    out["dicom-planes-paths"] = (d / "zp.dcm").read_bytes()
    return out


def plane_seeds(d: Path) -> dict[str, bytes]:
    """The several-images-and-planes files of the tests, their pixels blank (so the
    files are mostly directories and XML), each behind four choice bytes (series,
    channel, focal plane, timepoint; 0: none), plus the description dialects alone."""
    import numpy as np

    from fixtures import plane_tiffs

    blank = plane_tiffs._noise
    plane_tiffs._noise = lambda shape, seed, dtype="uint8": np.zeros(shape, dtype)
    try:
        built = {name: build(d / f"{name}.tif").read_bytes()
                 for name, build in plane_tiffs.BUILDERS.items()}
    finally:
        plane_tiffs._noise = blank
    out = {}
    for name, data in built.items():
        out[f"{name}-default"] = bytes(4) + data
    out["ome_fluo-choices"] = bytes([1, 0x82, 1, 0]) + built["ome_fluo"]
    out["qptiff-channel"] = bytes([0, 2, 0, 0]) + built["qptiff"]
    out["leica-series"] = bytes([1, 0, 0, 0]) + built["leica"]
    out["leica-collection"] = bytes([2, 0, 0, 0]) + built["leica"]
    out["leica_offset-collection"] = bytes([2, 0, 0, 0]) + built["leica_offset"]
    out["leica_dissimilar-collection"] = bytes([2, 0, 0, 0]) + built["leica_dissimilar"]
    out["argos-plane"] = bytes([0, 0, 2, 0]) + built["argos"]
    with tifffile.TiffFile(io.BytesIO(built["ome_fluo"])) as tif:
        out["ome-xml"] = tif.pages[0].description.encode()
    out["qpi-xml"] = plane_tiffs.qpi_xml("FullResolution", "DAPI").encode("utf-16")
    return out


def folder_seeds(d: Path) -> dict[str, dict[str, bytes]]:
    """Tiny VMS, VMU and MIRAX slides as one input each (the INI first, then each
    file after "\\n--FILE--\\n" and its name), MIRAX index files (two count bytes
    first), and a tiny SVSlide database."""
    from fixtures import mirax, sakura, vms

    sep = b"\n--FILE--\n"

    def bundle(first: Path, others: list[Path], root: Path) -> bytes:
        out = first.read_bytes()
        for f in others:
            out += sep + str(f.relative_to(root)).encode() + b"\n" + f.read_bytes()
        return out

    folders: dict[str, bytes] = {}
    v = vms.write_vms(d / "vms", cols=2, rows=1, file_w=32, file_h=16)
    folders["vms"] = bundle(v, sorted(p for p in v.parent.iterdir() if p != v), v.parent)
    u, _ = vms.write_vmu(d / "vmu", width=32, height=20, column=16)
    folders["vmu"] = bundle(u, sorted(p for p in u.parent.iterdir() if p != u), u.parent)
    index: dict[str, bytes] = {}
    for name, kw in {"plain": {}, "positions": {"overlap": 4, "positions": mirax.grid_positions(2, 2, 32, 4)},
                     "deflated": {"overlap": 4, "compressed": True,
                                  "positions": mirax.grid_positions(2, 2, 32, 4)}}.items():
        m = mirax.write_mirax(d / f"mrx-{name}", nx=2, ny=2, size=32, missing=((0, 1),))
        if kw:
            m = mirax.write_mirax(d / f"mrx-{name}", nx=2, ny=2, size=32, **kw)
        sub = m.path.parent / "slide"
        folders[f"mirax-{name}"] = bundle(sub / "Slidedat.ini", [sub / "Index.dat", sub / "Data0000.dat"],
                                          m.path.parent)
        index[f"index-{name}"] = bytes([2, 1 if name == "plain" else 2]) + (sub / "Index.dat").read_bytes()
    db, _ = sakura.write_svslide(d / "s.svslide", width=64, height=48, tile=32, downsamples=(1, 2),
                                 missing=((1, 1, 0),))
    # Small pages, the planes' overflow chains written into freed pages.
    chains, _ = sakura.write_svslide(d / "c.svslide", width=96, height=64, tile=48, downsamples=(1, 2),
                                     missing=((1, 1, 0),), page_size=512, scatter=True)
    return {"fuzz_folders": folders, "fuzz_mirax_index": index,
            "fuzz_sakura": {"svslide": db.read_bytes(), "svslide-chains": chains.read_bytes()}}


def czi_seeds() -> dict[str, bytes]:
    """Small CZI files: a positioned mosaic with a pyramid sub-block, a thumbnail and
    an embedded label; zstd1 hi-lo Gray16; planes (scenes, channels, focal planes)."""
    from fixtures import czi

    tiny = czi.image(16, 12, seed=2)
    gray = czi.image(16, 12, seed=3, channels=1, dtype=__import__("numpy").uint16)
    mosaic = [czi.block(tiny, 12 * i, 8 * j, czi.BGR24, czi.NONE, C=0, S=0, M=2 * j + i)
              for j in range(2) for i in range(2)]
    mosaic.append(czi.block(tiny[::2, ::2], 0, 0, czi.BGR24, czi.NONE, downsample=2, C=0, S=0, M=0))
    label = czi.czi_bytes([czi.block(tiny, 0, 0, czi.BGR24, czi.JPEG)])
    planes = [czi.block(tiny[..., 0], 40 * s, 0, czi.GRAY8, czi.NONE,
                        S=s, C=c, Z=z) for s in range(2) for c in range(2) for z in range(2)]
    return {
        "mosaic": czi.czi_bytes(mosaic, czi.metadata_xml((28, 20), channels=["A"]),
                                [czi.Attachment("Label", "CZI", label),
                                 czi.Attachment("Thumbnail", "JPG", czi.encode(tiny, czi.BGR24, czi.JPEG))]),
        "zstd1": czi.czi_bytes([czi.block(gray, 0, 0, czi.GRAY16, czi.ZSTD1)]),
        "zstd0-bgr": czi.czi_bytes([czi.block(tiny, -5, 3, czi.BGR24, czi.ZSTD0)]),
        "lzw-bgra": czi.czi_bytes([czi.block(czi.image(16, 12, seed=4, channels=4), 0, 0,
                                             czi.BGRA32, czi.LZW)]),
        "planes": czi.czi_bytes(planes, czi.metadata_xml((16, 12), channels=["a", "b"], scenes=["x", "y"])),
    }


def main() -> None:
    """Writes the seeds of the targets named on the command line (all without)."""
    only = set(sys.argv[1:]) or set(TARGETS)
    tmp = Path(tempfile.mkdtemp(prefix="kolva-seeds-"))
    try:
        tiff = tiff_seeds(tmp)
        nd = ndpi_seeds(tmp)
        et = ets_seeds(tmp)
        sl = slide_seeds(tmp)
        dc = dicom_seeds(tmp) if "fuzz_dicom" in only else {}
        pl = plane_seeds(tmp) if "fuzz_planes" in only else {}
        fo = folder_seeds(tmp) if only & {"fuzz_folders", "fuzz_mirax_index", "fuzz_sakura"} else {}
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    te, ee = tiff_edges(tiff["generic-le"]), ets_edges()
    # A looping chain runs to the read budget, seconds under ASan: only the
    # directory reader's corpus carries it (the Python resource tests cover
    # it through the whole opening composition).
    no_loops = {k: v for k, v in te.items() if not k.startswith("loop")}
    seeds = {
        "fuzz_open": lambda: {**tiff, **nd, **et, **no_loops, **ee},
        "fuzz_tiff": lambda: {**tiff, **{k: v for k, v in nd.items() if "classic" in k}, **te},
        "fuzz_ndpi": lambda: {**nd, **{k: v for k, v in te.items() if "ndpi" in k}},
        "fuzz_ets": lambda: {**et, **ee},
        "fuzz_jpeg": lambda: {**jpeg_edges(), **jpeg_headers({**tiff, **nd})},
        "fuzz_slide": lambda: {**sl, **tiff, **nd, **no_loops},
        "fuzz_dicom": lambda: dc,
        "fuzz_region": region_seeds,
        "fuzz_planes": lambda: pl,
        "fuzz_folders": lambda: fo["fuzz_folders"],
        "fuzz_mirax_index": lambda: fo["fuzz_mirax_index"],
        "fuzz_sakura": lambda: fo["fuzz_sakura"],
        "fuzz_czi": czi_seeds,
    }
    for target in TARGETS:
        if target in only:
            write(target, seeds[target]())
    total = sum(p.stat().st_size for p in CORPUS.rglob("*") if p.is_file())
    print(f"corpus: {sum(1 for p in CORPUS.rglob('*') if p.is_file())} files, {total} bytes")


if __name__ == "__main__":
    main()
