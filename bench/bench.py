#!/usr/bin/env python3
"""Tile-read benchmark: kolva against tifffile's raw path, opentile, OpenSlide and
the pread floor, on realistically sized slides built by the project's fixture
builders.

    python bench/bench.py            # full run (slides of up to ~40,000 x 30,000)
    python bench/bench.py --quick    # tiny slides, few repetitions: a smoke test

Needs the module installed (`pip install .`); installs its peers (tifffile,
imagecodecs, opentile, openslide-python, openslide-bin, numpy) from PyPI when
they are missing, and g++ for the floor program. Slides are built once into
bench/.cache/ and reused.

Measured in one run, on a warm page cache, readers interleaved in every
repetition (medians reported):
  * every level-0 tile in a fixed random order: kolva's read_tile_as_bytes,
    tifffile's raw path (pread of dataoffsets/databytecounts, tables spliced in
    Python), opentile's get_tile, and OpenSlide's read_region of the same tile
    areas on a sample (it decodes, so it is context, not a peer);
  * the floor: bench/pread_floor.cpp issuing the same pread calls into one
    reused buffer (for NDPI, the ranges a tile is cut from: one per MCU row,
    rows that lie back to back joined);
  * open latency of each reader; peak RSS after reading every tile, one
    subprocess per reader;
  * the real NDPI sample (when present beside the repository): its full-width
    level-0 tile (0, 0), one range of the level's stream, read through
    read_tile_as_bytes against the floor's single pread of that span.
The table goes to stdout, the numbers to bench/results.json (--quick:
bench/.cache/results-quick.json).
"""
from __future__ import annotations

import argparse
import importlib
import json
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO / "tests"))

PEERS = {  # import name -> PyPI name
    "numpy": "numpy", "tifffile": "tifffile", "imagecodecs": "imagecodecs",
    "opentile": "opentile", "openslide": "openslide-python", "openslide_bin": "openslide-bin",
    "PIL": "Pillow",
}


def ensure_peers() -> None:
    missing = []
    for module, dist in PEERS.items():
        try:
            importlib.import_module(module)
        except Exception:
            missing.append(dist)
    if missing:
        print(f"installing {' '.join(missing)}", flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", *missing], check=True)
        importlib.invalidate_caches()


# --------------------------------------------------------------------------- slides
QUICK = {
    "svs": ((1920, 1440), 240, 3),
    "philips": ((2048, 1536), 512, 3),
    "generic": ((2048, 1536), 256, 3),
    "ndpi": ((1280, 1024), 4),
}
FULL = {
    "svs": ((40000, 30000), 240, 3),      # level 0, tile, levels (each 4x down)
    "philips": ((24576, 18432), 512, 4),  # content, tile, levels (each 2x down)
    "generic": ((16384, 12288), 256, 3),  # level 0, tile, levels (each 2x down)
    "ndpi": ((6144, 4608), 4),            # level 0, levels (each 2x down, DRI 32, 16, 8, 4)
}
POOL_TILES = 24  # distinct encoded tiles a level's tiles cycle through
MIN_READS = 20000  # tile reads per pass and reader, at least


def tile_pool(tile: int, seed: int):
    """JPEG tables and POOL_TILES abbreviated tiles of `tile` pixels square."""
    from fixtures import tiff_slides as ts
    img = ts.source_image(tile * 6, tile * 4, seed)
    enc = ts.encode_jpeg_tiles(img, tile, tile, rgb=False, quality=80)
    return enc.tables, enc.tiles


def grid(width: int, height: int, tile: int) -> int:
    return -(-width // tile) * -(-height // tile)


def build_svs(path: Path, size, tile: int, n_levels: int) -> None:
    from fixtures import tiff_slides as ts
    w0, h0 = size
    tables, pool = tile_pool(tile, 2)
    tail = ts._aperio_tail(w0, h0)
    ifds = []
    for n in range(n_levels):
        w, h = w0 // 4 ** n, h0 // 4 ** n
        chunks = [pool[i % len(pool)] for i in range(grid(w, h, tile))]
        down = "" if n == 0 else f" -> {w}x{h}"
        desc = (f"{ts.APERIO_HEAD}\r\n{w0}x{h0} [0,100 {w0}x{h0}] ({tile}x{tile}){down} "
                f"JPEG/RGB Q=80" + tail)
        ifds.append(ts._tiled_ifd(w, h, tile, tile, chunks, compression=ts.COMPRESSION_JPEG,
                                  photometric=ts.PHOTOMETRIC_YCBCR, subfile=0, tables=tables,
                                  description=desc, dim_type=ts.LONG, tile_dim_type=ts.LONG))
        if n == 0:  # the thumbnail sits second, as the scanner writes it
            th = max(1, round(192 * h0 / w0))
            ifds.append(ts._jpeg_strip_ifd(ts.source_image(192, th, 5), subfile=0,
                                           description=f"{ts.APERIO_HEAD}\r\n{w0}x{h0} -> "
                                                       f"192x{th} - " + tail))
    ts.write_tiff(path, ifds, bigtiff=False)


def build_philips(path: Path, content, tile: int, n_levels: int) -> None:
    from fixtures import tiff_slides as ts
    cw, ch = content
    tables, pool = tile_pool(tile, 4)
    contents = [(-(-cw // 2 ** n), -(-ch // 2 ** n)) for n in range(n_levels)]
    padded = [(-(-w // tile) * tile, -(-h // tile) * tile) for w, h in contents]
    xml = ts._philips_xml(contents, padded, 0.000227273)
    ifds = []
    for n, (pw, ph) in enumerate(padded):
        chunks = [pool[i % len(pool)] for i in range(grid(pw, ph, tile))]
        extra = {ts.SOFTWARE: (ts.ASCII, "Philips DP v1.0"),
                 ts.X_RESOLUTION: (ts.RATIONAL, [(44000, 10)]),
                 ts.Y_RESOLUTION: (ts.RATIONAL, [(44000, 10)]),
                 ts.RESOLUTION_UNIT: (ts.SHORT, 3),
                 ts.IMAGE_DESCRIPTION: (ts.ASCII, xml if n == 0 else
                                        f"Level={n} Mag={40 / 2 ** n:g} Quality=80")}
        ifds.append(ts._tiled_ifd(pw, ph, tile, tile, chunks, compression=ts.COMPRESSION_JPEG,
                                  photometric=ts.PHOTOMETRIC_YCBCR, subfile=0 if n == 0 else 1,
                                  tables=tables, dim_type=ts.LONG, extra=extra))
    soft = {ts.SOFTWARE: (ts.ASCII, "Philips DP v1.0")}
    ifds.append(ts._jpeg_strip_ifd(ts.source_image(320, 120, 7), subfile=1,
                                   description="Macro", extra=soft))
    ifds.append(ts._jpeg_strip_ifd(ts.source_image(128, 128, 8), subfile=1,
                                   description="Label", extra=soft))
    ts.write_tiff(path, ifds)


def build_generic(path: Path, size, tile: int, n_levels: int) -> None:
    from fixtures import tiff_slides as ts
    w0, h0 = size
    tables, pool = tile_pool(tile, 1)
    ifds = []
    for n in range(n_levels):
        w, h = w0 // 2 ** n, h0 // 2 ** n
        chunks = [pool[i % len(pool)] for i in range(grid(w, h, tile))]
        ifds.append(ts._tiled_ifd(w, h, tile, tile, chunks, compression=ts.COMPRESSION_JPEG,
                                  photometric=ts.PHOTOMETRIC_YCBCR, subfile=0 if n == 0 else 1,
                                  tables=tables, dim_type=ts.LONG, tile_dim_type=ts.LONG))
    ts.write_tiff(path, ifds)


def build_ndpi(path: Path, size, n_levels: int):
    from fixtures import ndpi
    w0, h0 = size
    levels = [(w0 // 2 ** n, h0 // 2 ** n, 32 // 2 ** n) for n in range(n_levels)]
    return ndpi.make_ndpi(path, levels=levels)


def ndpi_tile_ranges(slide) -> dict:
    """(x, y) -> the byte ranges (file offsets) a level-0 tile is read from: one per MCU
    row, rows that lie back to back in the file joined, as kolva reads them."""
    from fixtures import ndpi
    d = slide.directories[slide.served[0]]
    starts = next(e.values for e in d.entries if e.tag == ndpi.TAG_MCU_STARTS)
    lay = ndpi.parse_jpeg(d.strip)
    cut = slide.cuts[0]
    per_row = lay.width // (lay.mcu_width * cut.d)
    per_tile = slide.T // cut.d
    ends = list(starts[1:]) + [len(d.strip)]
    out = {}
    for (x, y) in cut.tiles:
        rows = cut.B if (y == cut.tiles_down - 1 and cut.B) else slide.T
        n = cut.A if (x == cut.tiles_across - 1 and cut.A) else per_tile
        first = y * slide.T * per_row + x * per_tile
        joined: list[list[int]] = []
        for j in range(rows):
            offset = d.strip_offset + starts[first + j * per_row]
            length = ends[first + j * per_row + n - 1] - starts[first + j * per_row]
            if joined and sum(joined[-1]) == offset:
                joined[-1][1] += length
            else:
                joined.append([offset, length])
        out[(x, y)] = [tuple(r) for r in joined]
    return out


def build_slides(cache: Path, quick: bool) -> dict:
    sizes = QUICK if quick else FULL
    cache.mkdir(parents=True, exist_ok=True)
    stamp = cache / "slides.json"
    key = json.dumps(sizes, sort_keys=True) + str(POOL_TILES)
    slides = {"svs": cache / "bench.svs", "philips": cache / "philips.tiff",
              "generic": cache / "generic.tiff", "ndpi": cache / "bench.ndpi"}
    if stamp.exists() and json.loads(stamp.read_text()).get("key") == key and all(
            p.exists() for p in slides.values()):
        ndpi_ranges = {tuple(map(int, k.split(","))): v
                       for k, v in json.loads(stamp.read_text())["ndpi_ranges"].items()}
        return slides, ndpi_ranges
    t = time.perf_counter()
    print("building slides ...", flush=True)
    build_svs(slides["svs"], *sizes["svs"])
    build_philips(slides["philips"], *sizes["philips"])
    build_generic(slides["generic"], *sizes["generic"])
    built = build_ndpi(slides["ndpi"], *sizes["ndpi"])
    ndpi_ranges = ndpi_tile_ranges(built)
    stamp.write_text(json.dumps({"key": key, "ndpi_ranges": {
        f"{x},{y}": v for (x, y), v in ndpi_ranges.items()}}))
    print(f"built in {time.perf_counter() - t:.1f} s", flush=True)
    return slides, ndpi_ranges


# --------------------------------------------------------------------------- readers
class Level0:
    """Level-0 geometry and stored tile ranges, from tifffile (TIFF) or the NDPI builder."""

    def __init__(self, path: Path, kind: str, ndpi_ranges: dict | None):
        import tifffile
        self.kind = kind
        with tifffile.TiffFile(path) as tif:
            page = tif.pages[0]
            if kind == "ndpi":
                self.tile = None
                self.tables = None
                self.ranges = ndpi_ranges
            else:
                self.tile = (page.tilewidth, page.tilelength)
                self.across = -(-page.imagewidth // page.tilewidth)
                self.tables = page.jpegtables
                self.ranges = {(i % self.across, i // self.across): [(o, c)]
                               for i, (o, c) in enumerate(zip(page.dataoffsets,
                                                              page.databytecounts)) if c}
        self.tiles = sorted(self.ranges)
        random.Random(12345).shuffle(self.tiles)


def kolva_reader(path: Path, level0: Level0):
    from _kolva_rs import KolvaPyDecoder
    f = KolvaPyDecoder(str(path)).read_tile_as_bytes

    def run(tiles):
        n = 0
        for x, y in tiles:
            n += len(f(0, x, y))
        return n
    return run


def tifffile_raw_reader(path: Path, level0: Level0):
    import tifffile
    tif = tifffile.TiffFile(path)
    page = tif.pages[0]
    offsets, counts = page.dataoffsets, page.databytecounts
    across = -(-page.imagewidth // page.tilewidth)
    tables = page.jpegtables
    fd = os.open(path, os.O_RDONLY)
    pread = os.pread
    head = tables[:-2] if tables else None

    def run(tiles):
        n = 0
        for x, y in tiles:
            i = y * across + x
            data = pread(fd, counts[i], offsets[i])
            if head is not None:
                data = head + data[2:]
            n += len(data)
        return n
    run.keep = (tif, fd)
    return run


def turbo_path() -> str | None:
    """libturbojpeg for opentile: its own search trips over the static library
    that libturbojpeg0-dev installs beside the shared one."""
    import ctypes.util
    return ctypes.util.find_library("turbojpeg")


def opentile_reader(path: Path, level0: Level0):
    from opentile import OpenTile
    tiler = OpenTile.open(path, tile_size=256, turbo_path=turbo_path())
    level = tiler.get_level(0)

    def run(tiles):
        n = 0
        for xy in tiles:
            n += len(level.get_tile(xy))
        return n
    run.keep = tiler
    return run


def openslide_reader(path: Path, level0: Level0):
    import openslide
    slide = openslide.OpenSlide(str(path))
    tw, th = level0.tile or (256, 256)

    def run(tiles):
        n = 0
        for x, y in tiles:
            region = slide.read_region((x * tw, y * th), 0, (tw, th))
            n += tw * th * 4
            del region
        return n
    run.keep = slide
    return run


READERS = {"kolva": kolva_reader, "tifffile-raw": tifffile_raw_reader,
           "opentile": opentile_reader, "openslide": openslide_reader}


def opener(name: str, path: Path):
    if name == "kolva":
        from _kolva_rs import KolvaPyDecoder
        return lambda: KolvaPyDecoder(str(path))
    if name == "tifffile-raw":
        import tifffile

        def open_tifffile():
            with tifffile.TiffFile(path) as tif:
                return tif.pages[0].dataoffsets
        return open_tifffile
    if name == "opentile":
        from opentile import OpenTile

        def open_opentile():
            tiler = OpenTile.open(path, tile_size=256, turbo_path=turbo_path())
            tiler.get_level(0)
            tiler.close()
        return open_opentile
    if name == "openslide":
        import openslide
        return lambda: openslide.OpenSlide(str(path)).close()
    raise ValueError(name)


def floor_binary(cache: Path) -> Path | None:
    exe = cache / "pread_floor"
    src = HERE / "pread_floor.cpp"
    if exe.exists() and exe.stat().st_mtime >= src.stat().st_mtime:
        return exe
    if shutil.which("g++") is None:
        return None
    subprocess.run(["g++", "-O2", "-std=c++17", "-o", str(exe), str(src)], check=True)
    return exe


def warm_median(run, passes: int = 3) -> float:
    """The median of `passes` timed runs of `run()` (seconds each) after one untimed
    run: the first pass after another process wrote tens of MB pays for that
    process's cache and TLB debris, on whichever side comes next."""
    run()
    return statistics.median(run() for _ in range(passes))


def floor_median(exe: Path, slide: Path, ranges_file: Path, spread: bool = False,
                 passes: int = 3) -> float:
    """Seconds of one pass of the pread floor program: the median of `passes`
    passes after one untimed pass, as `warm_median` times the reader."""
    run = subprocess.run([str(exe), str(slide), str(ranges_file), str(passes + 1),
                          *(["--spread"] if spread else [])],
                         check=True, capture_output=True, text=True)
    return statistics.median(json.loads(run.stdout)["ns"][1:]) / 1e9


def random_level0_tiles(path: Path, count: int, ranges_file: Path):
    """`count` level-0 tiles of the SVS at `path` in a fixed random order (the level's
    tiles repeated when it has fewer), with the file read into the page cache and the
    pread floor's ranges for those tiles written to `ranges_file`."""
    level0 = Level0(path, "svs", None)
    coords = list(level0.tiles)
    random.Random(7).shuffle(coords)
    coords = (coords * (1 + count // len(coords)))[:count]
    subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)
    ranges_file.write_text("".join(
        f"{len(level0.ranges[t])} " + " ".join(f"{o} {c}" for o, c in level0.ranges[t]) + "\n"
        for t in coords))
    return level0, coords


# --------------------------------------------------------------------------- measuring
def median(values):
    return statistics.median(values) if values else None


def try_reader(name, path, level0):
    try:
        run = READERS[name](path, level0)
        run(level0.tiles[:3])
        return run, None
    except BaseException as e:  # PanicException is a BaseException
        if isinstance(e, KeyboardInterrupt):
            raise
        return None, f"{type(e).__name__}: {str(e).splitlines()[0][:120] if str(e) else ''}"


def measure_slide(kind, path, level0, exe, cache, reps, sample):
    """Interleaved repetitions of every reader over all level-0 tiles."""
    # small slides are read several times over per repetition, so that a pass
    # lasts long enough to time
    tiles = level0.tiles * max(1, MIN_READS // len(level0.tiles))
    ranges_file = cache / f"{kind}.ranges"
    ranges_file.write_text("".join(
        f"{len(level0.ranges[t])} " + " ".join(f"{o} {c}" for o, c in level0.ranges[t]) + "\n"
        for t in tiles))
    subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)  # warm cache
    runs, notes, these = {}, {}, {}
    for name in READERS:
        if kind == "generic" and name == "opentile":
            notes[name] = "opentile has no tiler for plain tiled TIFF"
            continue
        if kind == "ndpi" and name == "tifffile-raw":
            notes[name] = "NDPI tiles are cut from one strip; no raw tile path"
            continue
        run, err = try_reader(name, path, level0)
        if run is None:
            notes[name] = err
            continue
        runs[name] = run
        # a reader that would take more than ~2 s a pass reads a sample instead
        probe = level0.tiles[:min(len(level0.tiles), 20)]
        t = time.perf_counter_ns()
        run(probe)
        per = (time.perf_counter_ns() - t) / len(probe)
        if name == "openslide" or per * len(tiles) > 2e9:
            these[name] = (level0.tiles * (1 + sample // len(level0.tiles)))[:sample]
            notes[name] = f"sampled: {sample} tiles a pass"
        else:
            these[name] = tiles
    times = {name: [] for name in runs}
    nbytes = {}
    floor_ns, floor_bytes = [], None
    order = list(runs) + (["floor"] if exe else [])
    for rep in range(reps):
        for name in order[rep % len(order):] + order[:rep % len(order)]:
            if name == "floor":
                out = subprocess.run([str(exe), str(path), str(ranges_file), "1"],
                                     capture_output=True, text=True, check=True).stdout
                got = json.loads(out)
                floor_ns.append(got["ns"][0] / got["tiles"])
                floor_bytes = got["bytes"]
                continue
            t = time.perf_counter_ns()
            nbytes[name] = runs[name](these[name])
            times[name].append((time.perf_counter_ns() - t) / len(these[name]))
    rows = {}
    for name, ns in times.items():
        count = len(these[name])
        per = median(ns)
        rows[name] = {"ns_per_tile": per, "tiles_per_s": 1e9 / per,
                      "mb_per_s": nbytes[name] / count / per * 1e3,
                      "reads_per_pass": count, "reps": len(ns)}
    if floor_ns:
        per = median(floor_ns)
        rows["pread-floor"] = {"ns_per_tile": per, "tiles_per_s": 1e9 / per,
                               "mb_per_s": floor_bytes / len(tiles) / per * 1e3,
                               "reads_per_pass": len(tiles), "reps": len(floor_ns),
                               "preads_per_tile": sum(len(level0.ranges[t]) for t in tiles)
                               / len(tiles)}
    return rows, notes


def measure_open(kind, path, reps):
    out = {}
    names = list(READERS)
    for name in names:
        try:
            fn = opener(name, path)
            fn()
        except BaseException as e:
            if isinstance(e, KeyboardInterrupt):
                raise
            continue
        out[name] = []
    for rep in range(reps):
        for name in out:
            t = time.perf_counter_ns()
            opener(name, path)()
            out[name].append((time.perf_counter_ns() - t) / 1e6)
    return {name: median(v) for name, v in out.items()}


def rss_child(name: str, kind: str, path: str, cache: str, sample: int) -> None:
    """Runs in a subprocess: open, read every level-0 tile (OpenSlide: the sample),
    print peak RSS (KiB)."""
    if name == "kolva":  # its own geometry: no tifffile or numpy in this process
        from _kolva_rs import KolvaPyDecoder
        d = KolvaPyDecoder(path)
        (w, h), (tw, th) = d.level_dimensions[0], d.level_tile_sizes[0]
        f = d.read_tile_as_bytes
        for y in range(-(-h // th)):
            for x in range(-(-w // tw)):
                f(0, x, y)
    else:
        slides, ndpi_ranges = build_slides(Path(cache), quick=Path(cache).name == "quick")
        level0 = Level0(Path(path), kind, ndpi_ranges if kind == "ndpi" else None)
        run = READERS[name](Path(path), level0)
        run(level0.tiles[:sample] if name == "openslide" else level0.tiles)
    # VmHWM is this process's own peak (ru_maxrss would carry the parent's over exec)
    status = Path("/proc/self/status").read_text().split("\n")
    hwm = [line.split()[1] for line in status if line.startswith("VmHWM:")]
    print(hwm[0] if hwm else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


def measure_rss(kind, path, cache, names, sample):
    out = {}
    for name in names:
        r = subprocess.run([sys.executable, __file__, "--rss-child", name, kind, str(path),
                            str(cache), str(sample)], capture_output=True, text=True)
        if r.returncode == 0:
            out[name] = int(r.stdout.strip().splitlines()[-1]) / 1024
    return out


REAL_NDPI = "ndpi/test3-DAPI-2-(387).ndpi"


def measure_real_ndpi(exe, cache: Path, reps: int, quick: bool) -> dict | None:
    """Level-0 tile (0, 0) of the real NDPI sample through kolva against one pread
    of the span it is cut from. The tile is as wide as the level, so its MCU rows
    lie back to back: the stream from the first interval to the tile's last one.
    The span is the tile without the level header in front and the EOI after it."""
    from fixtures.common import CORPUS
    path = CORPUS / REAL_NDPI
    if not path.exists():
        return {"note": f"{REAL_NDPI} not present"}
    import tifffile
    from _kolva_rs import KolvaPyDecoder
    with tifffile.TiffFile(path) as tif:
        page = tif.pages[0]
        strip_offset = int(page.tags[273].value[0])
        header_len = int(page.tags[65426].value[0])
    read = KolvaPyDecoder(str(path)).read_tile_as_bytes
    tile = read(0, 0, 0)
    span = (strip_offset + header_len, len(tile) - header_len - 2)
    with open(path, "rb") as f:  # the span holds the tile's data (markers renumbered aside)
        f.seek(span[0])
        assert f.read(16) == tile[header_len:header_len + 16]
    per_pass = 50 if quick else 200
    ranges_file = cache / "ndpi-real.ranges"
    ranges_file.write_text(f"1 {span[0]} {span[1]}\n" * per_pass)
    subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)  # warm cache
    for _ in range(5):
        read(0, 0, 0)
    ours, floor = [], []
    for _ in range(max(reps, 5)):
        t = time.perf_counter_ns()
        for _ in range(per_pass):
            read(0, 0, 0)
        ours.append((time.perf_counter_ns() - t) / per_pass)
        if exe:  # its first pass faults the fresh buffer in: the second one counts
            out = json.loads(subprocess.run([str(exe), str(path), str(ranges_file), "2"],
                                            capture_output=True, text=True,
                                            check=True).stdout)
            floor.append(out["ns"][1] / out["tiles"])
    row = {"tile_bytes": len(tile), "span": list(span), "kolva_ns": median(ours),
           "pread_ns": median(floor), "reps": len(ours), "reads_per_pass": per_pass}
    row["ratio"] = row["kolva_ns"] / row["pread_ns"] if row["pread_ns"] else None
    return row


# --------------------------------------------------------------------------- report
def fmt(v, pattern):
    return "-" if v is None else format(v, pattern)


def report(results: dict) -> str:
    lines = []
    head = (f"{'slide':8} {'reader':13} {'tiles/s':>11} {'MB/s':>8} {'ns/tile':>9} "
            f"{'kolva x':>8} {'open ms':>8} {'RSS MB':>7}")
    lines += [head, "-" * len(head)]
    for kind, r in results["slides"].items():
        rows = r["reads"]
        ours = rows.get("kolva", {}).get("ns_per_tile")
        for name in ["kolva", "pread-floor", "tifffile-raw", "opentile", "openslide"]:
            row = rows.get(name)
            note = r["notes"].get(name)
            if row is None and note is None:
                continue
            if row is None:
                lines.append(f"{kind:8} {name:13} n/a: {note}")
                continue
            # > 1: kolva is that many times faster; for the floor, < 1 is our overhead
            ratio = row["ns_per_tile"] / ours if ours else None
            lines.append(
                f"{kind:8} {name:13} {row['tiles_per_s']:11,.0f} {row['mb_per_s']:8.0f} "
                f"{row['ns_per_tile']:9.0f} {fmt(ratio, '8.2f')} "
                f"{fmt(r['open_ms'].get(name), '8.2f')} {fmt(r['rss_mb'].get(name), '7.0f')}"
                + ("  (decodes)" if name == "openslide" else "")
                + (f"  ({note})" if note else ""))
    real = results.get("real_ndpi")
    if real and "kolva_ns" in real:
        lines.append(f"ndpi real tile vs one pread: {fmt(real['ratio'], '.2f')} "
                     f"(kolva {real['kolva_ns'] / 1e3:.0f} us, one pread of "
                     f"{real['span'][1]:,} bytes "
                     f"{fmt(real['pread_ns'] and real['pread_ns'] / 1e3, '.0f')} us; "
                     f"level-0 tile (0, 0) of {REAL_NDPI})")
    elif real:
        lines.append(f"ndpi real tile vs one pread: n/a ({real['note']})")
    lines.append("")
    lines.append("kolva x = the reader's time per tile / kolva's (above 1: kolva is faster; "
                 "for the floor: 1 / kolva's overhead over bare pread)")
    lines.append("")
    lines.append("goals:")
    for g in results["goals"]:
        lines.append(f"  [{'met' if g['met'] else ('--' if g['met'] is None else 'MISSED')}] "
                     f"{g['what']}: {g['measured']}")
    return "\n".join(lines)


def goals(results: dict) -> list:
    out = []

    def ratio(rows, a, b):
        if a in rows and b in rows:
            return rows[a]["ns_per_tile"] / rows[b]["ns_per_tile"]
        return None

    for kind, r in results["slides"].items():
        rows = r["reads"]
        if "kolva" not in rows:
            out.append({"what": f"{kind}: tile reads", "met": None,
                        "measured": r["notes"].get("kolva", "not measured")})
            continue
        floor_limit, peers = (2.0, [("opentile", 20.0)]) if kind == "ndpi" else (
            1.5, [("tifffile-raw", 2.5), ("opentile", 5.0)])
        f = ratio(rows, "kolva", "pread-floor")
        out.append({"what": f"{kind}: within {floor_limit}x of the pread floor",
                    "met": None if f is None else f <= floor_limit,
                    "measured": fmt(f, ".2f") + "x the floor"})
        for peer, want in peers:
            p = ratio(rows, peer, "kolva")
            out.append({"what": f"{kind}: >= {want}x {peer}",
                        "met": None if p is None else p >= want,
                        "measured": fmt(p, ".2f") + "x"})
        ours, theirs = r["open_ms"].get("kolva"), r["open_ms"].get("openslide")
        out.append({"what": f"{kind}: opening no slower than OpenSlide",
                    "met": None if ours is None or theirs is None else ours <= theirs,
                    "measured": f"{fmt(ours, '.2f')} ms vs {fmt(theirs, '.2f')} ms"})
    real = results.get("real_ndpi")
    if real and "kolva_ns" in real:
        r = real["ratio"]
        out.append({"what": "ndpi real: a full level-0 tile within 2x of one pread of its span",
                    "met": None if r is None else r <= 2.0,
                    "measured": fmt(r, ".2f") + "x one pread"})
    return out


# ------------------------------------------------------------ NDPI at a chosen tile size
def build_ndpi_rows(path: Path, quick: bool):
    """An NDPI whose restart intervals are whole MCU rows, as scanners write them."""
    from fixtures import ndpi
    w, h = (2048, 1536) if quick else (8192, 6144)
    # Levels down to 512-px rows: opentile's tile size follows the narrowest stripe.
    levels = [(w >> n, h >> n, (w >> n) // 8) for n in range(8) if w >> n >= 512]
    if not path.exists():
        ndpi.make_ndpi(path, levels=levels, macro=False)
    return path


def measure_ndpi_tile_size(cache: Path, quick: bool, tile_size: int, reps: int) -> dict:
    """Every level-0 tile at `tile_size`: kolva's read_tile one by one, kolva's
    read_tiles (the whole level in one call, on 1 and on all threads), and
    opentile's get_tile (same tile size, same file). Medians in ms."""
    import kolva
    from opentile import OpenTile
    stripes = cache / "bench.ndpi"
    if not stripes.exists():
        build_ndpi(stripes, *(QUICK if quick else FULL)["ndpi"])
    files = {"ndpi-stripes-256": stripes,
             "ndpi-whole-rows": build_ndpi_rows(cache / "bench-rows.ndpi", quick)}
    real = REPO.parent / "shared" / "corpus" / "real" / "ndpi" / "test3-DAPI-2-(387).ndpi"
    if real.exists():
        files["real-ndpi"] = real
    out = {}
    for name, path in files.items():
        if not path.exists():
            continue
        tiler = OpenTile.open(path, tile_size=tile_size, turbo_path=turbo_path())
        level = tiler.get_level(0)
        size = level.tile_size.width
        slide = kolva.open(path, tile_size=size)
        gx, gy = slide.levels[0].tile_grid
        coords = [(x, y) for y in range(gy) for x in range(gx)]
        assert (level.tiled_size.width, level.tiled_size.height) == (gx, gy)
        runs = {
            "kolva read_tile": lambda: [slide.read_tile(0, x, y) for x, y in coords],
            "kolva read_tiles 1 thread": lambda: slide.read_tiles(0, coords, threads=1),
            "kolva read_tiles": lambda: slide.read_tiles(0, coords),
            "opentile get_tile": lambda: [level.get_tile((x, y)) for x, y in coords],
        }
        times = {k: [] for k in runs}
        for _ in range(reps):
            for k, f in runs.items():
                t = time.perf_counter()
                f()
                times[k].append((time.perf_counter() - t) * 1000)
        ms = {k: median(v) for k, v in times.items()}
        peer = ms["opentile get_tile"]
        out[name] = {"path": str(path), "tile_size": size, "tiles": len(coords), "ms": ms,
                     "opentile_over_kolva": {k: peer / v for k, v in ms.items()
                                             if k != "opentile get_tile"}}
        slide.close()
        tiler.close()
    return out


def report_ndpi_tile_size(rows: dict) -> str:
    lines = ["NDPI level 0 at a chosen tile size (ms for all tiles; ratio = opentile / kolva)"]
    for name, r in rows.items():
        lines.append(f"  {name}: {r['tiles']} tiles of {r['tile_size']} px")
        for k, v in r["ms"].items():
            ratio = r["opentile_over_kolva"].get(k)
            lines.append(f"    {k:<28}{v:10.1f}" + (f"   x{ratio:.1f}" if ratio else ""))
    return "\n".join(lines)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="tiny slides, few repetitions")
    ap.add_argument("--reps", type=int, help="interleaved repetitions (default 7, quick 3)")
    ap.add_argument("--sample", type=int, default=300,
                    help="tiles OpenSlide decodes per repetition (default 300)")
    ap.add_argument("--out", type=Path, help="JSON output path")
    ap.add_argument("--only", nargs="*",
                    help="slide kinds to run (svs philips generic ndpi ndpi-real ndpi-tile-size)")
    ap.add_argument("--ndpi-tile-size", type=int, default=512,
                    help="tile size of the NDPI re-tiling section (default 512)")
    ap.add_argument("--rss-child", nargs=5, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.rss_child:
        name, kind, path, cache, sample = args.rss_child
        rss_child(name, kind, path, cache, int(sample))
        return

    ensure_peers()
    cache = HERE / ".cache" / ("quick" if args.quick else "full")
    reps = args.reps or (3 if args.quick else 7)
    sample = min(args.sample, 40) if args.quick else args.sample
    out_path = args.out or (HERE / ".cache" / "results-quick.json" if args.quick
                            else HERE / "results.json")
    synthetic = [k for k in ("svs", "philips", "generic", "ndpi")
                 if not args.only or k in args.only]
    cache.mkdir(parents=True, exist_ok=True)
    slides, ndpi_ranges = build_slides(cache, args.quick) if synthetic else ({}, {})
    exe = floor_binary(cache)
    results = {"quick": args.quick, "reps": reps, "cpus": os.cpu_count(),
               "loadavg": os.getloadavg(), "slides": {}}
    for kind, path in slides.items():
        if args.only and kind not in args.only:
            continue
        print(f"measuring {kind} ({path.stat().st_size / 2**20:.0f} MiB) ...", flush=True)
        level0 = Level0(path, kind, ndpi_ranges if kind == "ndpi" else None)
        rows, notes = measure_slide(kind, path, level0, exe, cache, reps, sample)
        if "kolva" not in rows and kind == "ndpi":
            notes["kolva"] = ("skipped: NDPI is not wired into the installed module yet ("
                              + notes.get("kolva", "") + ")")
        open_ms = measure_open(kind, path, max(reps, 5))
        rss = measure_rss(kind, path, cache, list(rows.keys() - {"pread-floor"}), sample)
        results["slides"][kind] = {"path": str(path), "bytes": path.stat().st_size,
                                   "level0_tiles": len(level0.tiles), "reads": rows,
                                   "notes": notes, "open_ms": open_ms, "rss_mb": rss}
    if not args.only or "ndpi-real" in args.only:
        print("measuring the real NDPI tile ...", flush=True)
        results["real_ndpi"] = measure_real_ndpi(exe, cache, reps, args.quick)
    if not args.only or "ndpi-tile-size" in args.only:
        print(f"measuring NDPI at tile size {args.ndpi_tile_size} ...", flush=True)
        results["ndpi_tile_size"] = measure_ndpi_tile_size(cache, args.quick,
                                                           args.ndpi_tile_size, reps)
    results["goals"] = goals(results)
    results["loadavg_after"] = os.getloadavg()
    table = report(results)
    print()
    print(table)
    if "ndpi_tile_size" in results:
        print()
        print(report_ndpi_tile_size(results["ndpi_tile_size"]))
    out_path.parent.mkdir(parents=True, exist_ok=True)
    out_path.write_text(json.dumps(results, indent=2) + "\n")
    print(f"\nwrote {out_path}")


if __name__ == "__main__":
    main()
