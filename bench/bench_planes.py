"""OME-TIFF and QPTIFF: opening and stored-tile reads against OpenSlide 4.0.1 and
fastslide 0.8.1 on the same synthetic files.

    python bench/bench_planes.py [--size 8192] [--opens 20] [--rounds 5] [--tiles 1024] [--out FILE]

Builds, with the test fixtures' layouts at a larger size: an RGB OME-TIFF (JPEG
tiles, SubIFD pyramid), a 3-channel uint16 OME-TIFF (zlib tiles, SubIFDs) and a
3-channel QPTIFF (LZW tiles, reduced sets, thumbnail/overview/label); and, unless
--no-large, a real-size OME-TIFF (65,536 x 65,536, seven levels; see build_large;
opened only). Measures in one run:
  open       median of --opens opens (and closes) per reader, in --rounds
             rounds with the readers taking turns; the median of the rounds'
             medians (one reader's block of opens alone takes in whatever the
             machine was doing in those milliseconds)
  tiles/s    `read_tiles_into` of --tiles random level-0 tiles on one thread
             (medians of 9 samples, each the median of 3 passes after an untimed
             one, the sides taking
             turns)
             (and, kolva_default_threads_vs_floor, with its default threads: the
             machine's cores), against the floor: bench/pread_floor.cpp issuing
             the same preads on one thread into one reused buffer, and
             (kolva_vs_floor_spread) each tile after the previous one in a
             buffer of the batch's size
Reports ratios; timings are machine-dependent, the ratios are the point.
"""
from __future__ import annotations

import argparse
import json
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import tifffile

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import kolva  # noqa: E402
from bench import floor_binary, floor_median, warm_median  # noqa: E402
from fixtures import plane_tiffs  # noqa: E402


def build(folder: Path, size: int) -> dict[str, Path]:
    rng = np.random.default_rng(3)
    base = rng.integers(0, 255, (size // 16, size // 16), dtype=np.uint8)
    plane = np.kron(base, np.ones((16, 16), np.uint8))
    out = {}
    path = folder / "rgb.ome.tif"
    xml = plane_tiffs._ome(
        f'<Image ID="Image:0" Name="scan"><Pixels ID="Pixels:0" DimensionOrder="XYCZT" Type="uint8" '
        f'SizeX="{size}" SizeY="{size}" SizeC="3" SizeZ="1" SizeT="1" PhysicalSizeX="0.25" '
        'PhysicalSizeY="0.25"><Channel ID="Channel:0:0" SamplesPerPixel="3"/>'
        '<TiffData IFD="0" PlaneCount="1"/></Pixels></Image>')
    rgb = np.stack([plane, plane[::-1], plane.T], axis=-1)
    with tifffile.TiffWriter(path, bigtiff=True) as w:
        w.write(rgb, subifds=3, tile=(256, 256), compression="jpeg", photometric="rgb",
                description=xml, metadata=None, resolution=(40000, 40000),
                resolutionunit="CENTIMETER")
        for k in (2, 4, 8):
            w.write(rgb[::k, ::k], subfiletype=1, tile=(256, 256), compression="jpeg",
                    photometric="rgb", metadata=None)
    out["ome-rgb-jpeg"] = path
    path = folder / "fluo.ome.tif"
    xml = plane_tiffs._ome(
        f'<Image ID="Image:0" Name="tissue"><Pixels ID="Pixels:0" DimensionOrder="XYCZT" '
        f'Type="uint16" SizeX="{size}" SizeY="{size}" SizeC="3" SizeZ="1" SizeT="1">'
        + "".join(f'<Channel ID="Channel:0:{c}" Name="c{c}" SamplesPerPixel="1"/>' for c in range(3))
        + '<TiffData IFD="0" PlaneCount="3"/></Pixels></Image>')
    with tifffile.TiffWriter(path, bigtiff=True) as w:
        for c in range(3):
            p16 = (np.roll(plane, c * 7, axis=1).astype(np.uint16) * 50)
            w.write(p16, subifds=2, tile=(256, 256), compression="zlib", metadata=None,
                    description=xml if c == 0 else None, photometric="minisblack")
            for k in (2, 4):
                w.write(p16[::k, ::k], subfiletype=1, tile=(256, 256), compression="zlib",
                        metadata=None, photometric="minisblack")
    out["ome-fluo-u16-zlib"] = path
    path = folder / "scan.qptiff"
    common = dict(software="PerkinElmer-QPI", metadata=None, resolution=(20000, 20000),
                  resolutionunit="CENTIMETER")
    with tifffile.TiffWriter(path, bigtiff=True) as w:
        planes = [np.roll(plane, c * 5, axis=0) for c in range(3)]
        for c, p in enumerate(planes):
            w.write(p, tile=(256, 256), compression="lzw", photometric="minisblack",
                    description=plane_tiffs.qpi_xml("FullResolution", f"c{c}"), **common)
        w.write(rgb[::32, ::32], photometric="rgb", compression="lzw",
                description=plane_tiffs.qpi_xml("Thumbnail"), **common)
        for k in (2, 4):
            for c, p in enumerate(planes):
                w.write(p[::k, ::k], tile=(256, 256), compression="lzw", photometric="minisblack",
                        subfiletype=1, description=plane_tiffs.qpi_xml("ReducedResolution", f"c{c}"),
                        **common)
        w.write(rgb[:200, :600], photometric="rgb", compression="jpeg", rowsperstrip=16,
                description=plane_tiffs.qpi_xml("Overview"), **common)
        w.write(rgb[:100, :100], photometric="rgb", compression="lzw",
                description=plane_tiffs.qpi_xml("Label"), **common)
    out["qptiff-lzw"] = path
    return out


def build_large(cache: Path) -> Path:
    """A real-size OME-TIFF: 65,536 x 65,536 pixels in 256-pixel tiles (65,536 at
    level 0) with six reduced levels in SubIFDs, BigTIFF. Its tiles are zlib-packed
    zeros, so it is small and quick to make: the opening reads directories and
    tile tables, never pixels. Kept in bench/.cache."""
    path = cache / "planes" / "large-65536.ome.tif"
    if path.exists():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    size, t = 65536, 256
    tile = np.zeros((t, t, 3), np.uint8)
    sides = [size >> k for k in range(7)]
    xml = plane_tiffs._ome(
        f'<Image ID="Image:0" Name="scan"><Pixels ID="Pixels:0" DimensionOrder="XYCZT" Type="uint8" '
        f'SizeX="{size}" SizeY="{size}" SizeC="3" SizeZ="1" SizeT="1"><Channel ID="Channel:0:0" '
        'SamplesPerPixel="3"/><TiffData IFD="0" PlaneCount="1"/></Pixels></Image>')
    part = path.with_suffix(".part")
    with tifffile.TiffWriter(part, bigtiff=True) as w:
        for n, side in enumerate(sides):
            extra = dict(subifds=len(sides) - 1, description=xml) if n == 0 else dict(subfiletype=1)
            w.write((tile for _ in range((side // t) ** 2)), shape=(side, side, 3), dtype=np.uint8,
                    tile=(t, t), compression="zlib", photometric="rgb", metadata=None, **extra)
    part.rename(path)
    return path


def median_open(fn, count: int) -> float:
    times = []
    for _ in range(count):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def openers(path: Path) -> dict:
    # Every reader is given the path as a str (a Path costs each of them
    # a conversion of its own).
    kolva.open(str(path)).close()  # each reader opens the file once untimed
    out = {"kolva": lambda: kolva.open(str(path)).close()}
    try:
        import openslide
        openslide.OpenSlide(str(path)).close()
        out["openslide"] = lambda: openslide.OpenSlide(str(path)).close()
    except Exception:  # noqa: BLE001 - a peer that does not open the file is left out
        pass
    try:
        import fastslide
        fastslide.FastSlide.from_file_path(str(path)).close()
        out["fastslide"] = lambda: fastslide.FastSlide.from_file_path(str(path)).close()
    except Exception:  # noqa: BLE001
        pass
    return out


def tiles(path: Path, count: int, cache: Path, reps: int = 9) -> dict:
    slide = kolva.open(path)
    across, down = slide.levels[0].tile_grid
    coords = [(x, y) for y in range(down) for x in range(across)]
    random.Random(7).shuffle(coords)
    coords = (coords * (1 + count // len(coords)))[:count]
    out = bytearray(int(slide.tile_nbytes(0, coords).sum()))
    _, ranges = slide._core.plan_tiles(0, coords)
    subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)  # page cache

    def ours(threads: int | None = 1) -> float:
        t = time.perf_counter()
        slide.read_tiles_into(0, coords, out, threads=threads)
        return time.perf_counter() - t

    ours()
    ranges_file = cache / (path.name + ".ranges")
    ranges_file.write_text("".join(f"1 {int(o)} {int(n)}\n" for o, n, *_ in ranges))
    exe = floor_binary(cache)
    # Each sample is the median of 3 passes in a row on each side after one
    # untimed pass, the sides taking turns (the machine's speed drifts between
    # runs): kolva on one thread and with its default threads; the floor into
    # one reused buffer (the floor of the goal) and spread into one of the
    # batch's size, as read_tiles_into writes (its cache misses are the caller's).
    samples: dict[str, list[float]] = {"kolva_s": [], "kolva_default_threads_s": [],
                                       "pread_floor_s": [], "pread_floor_spread_s": []}
    for _ in range(reps):
        for key, threads in (("kolva_s", 1), ("kolva_default_threads_s", None)):
            samples[key].append(warm_median(lambda: ours(threads)))
        if exe is not None:
            for key, spread in (("pread_floor_s", False), ("pread_floor_spread_s", True)):
                samples[key].append(floor_median(exe, path, ranges_file, spread))
    result = {"tiles": len(coords), "reps": reps}
    result.update({k: statistics.median(v) for k, v in samples.items() if v})
    if exe is not None:
        for key in ("", "_spread"):
            result[f"kolva_vs_floor{key}"] = result[f"pread_floor{key}_s"] / result["kolva_s"]
        result["kolva_default_threads_vs_floor"] = (result["pread_floor_s"]
                                                    / result["kolva_default_threads_s"])
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=8192)
    parser.add_argument("--opens", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--tiles", type=int, default=1024)
    parser.add_argument("--out", type=Path)
    parser.add_argument("--no-large", action="store_true",
                        help="leave out the real-size OME-TIFF (about 20 s to make once)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        results = {}
        files = build(folder, args.size)
        if not args.no_large:
            files["ome-rgb-65536-zlib"] = build_large(HERE / ".cache")
        for name, path in files.items():
            readers = openers(path)
            rounds: dict[str, list[float]] = {k: [] for k in readers}
            for _ in range(args.rounds):
                for k, fn in readers.items():
                    rounds[k].append(median_open(fn, args.opens))
            opens = {k: statistics.median(v) for k, v in rounds.items()}
            entry = {"open_s": opens,
                     "open_vs": {k: v / opens["kolva"] for k, v in opens.items() if k != "kolva"}}
            # The real-size file is there for its opening: its tiles are a few
            # hundred bytes of packed zeros, nothing like a scanner's.
            if not name.startswith("ome-rgb-65536"):
                entry["read"] = tiles(path, args.tiles, folder)
            results[name] = entry
            print(name, json.dumps(entry))
        if args.out:
            args.out.write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
