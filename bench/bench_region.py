#!/usr/bin/env python3
"""Decoded regions: kolva's read_region against OpenSlide 4, fastslide and tiffslide.

    python bench/bench_region.py            # 300 patches per slide
    python bench/bench_region.py --quick    # 60: a smoke test

One thread, random 256 x 256 level-0 patches (one seed, the same for every reader)
on the real CMU-1-Small-Region.svs (JPEG), tcga-cr-7395-01a-01-ts1.svs (JPEG 2000)
and a synthetic 12,000 x 9,600 SVS with 240-pixel JPEG tiles (bench.build_svs).
Each reader opens the slide anew (its own caches cold) and reads every patch once.
The floor is bench/region_floor.cpp: libjpeg-turbo decoding whole, in one C loop,
exactly the stored tiles under the same patches. Also: read_regions of 256 patches
with the default threads against one thread (and the processor time of its threads
over the wall time, which tells parallel decoding from a scheduler that grants the
process one core's share); get_thumbnail((1024, 1024)) of the big SVS against
OpenSlide; the resident set over 100,000 random regions with the default cache.
Results go to bench/results-region.json.
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import bench  # noqa: E402  (the slide builders)

import kolva  # noqa: E402

CORPUS = Path(os.environ.get("KOLVA_CORPUS", HERE.parents[1] / "shared" / "corpus" / "real"))
SIZE = 256


def patches(dims: tuple[int, int], n: int, seed: int = 1) -> list[tuple[int, int]]:
    rng = np.random.default_rng(seed)
    return [(int(x), int(y)) for x, y in zip(rng.integers(0, dims[0] - SIZE, n),
                                             rng.integers(0, dims[1] - SIZE, n))]


def rate(read, origins) -> float:
    t = time.perf_counter()
    for o in origins:
        read(o)
    return len(origins) / (time.perf_counter() - t)


def readers(path: Path) -> dict[str, object]:
    import openslide
    import tiffslide

    out = {
        "kolva": lambda: (lambda s: lambda o: s.read_region(o, 0, (SIZE, SIZE)))(kolva.open(path)),
        "kolva-nocache": lambda: (lambda s: lambda o: s.read_region(o, 0, (SIZE, SIZE)))(
            kolva.open(path, region_cache=0)),
        "openslide": lambda: (lambda s: lambda o: s.read_region(o, 0, (SIZE, SIZE)))(
            openslide.OpenSlide(str(path))),
        "tiffslide": lambda: (lambda s: lambda o: s.read_region(o, 0, (SIZE, SIZE),
                                                                as_array=True))(
            tiffslide.TiffSlide(str(path))),
    }
    try:
        import fastslide

        out["fastslide"] = lambda: (lambda s: lambda o: s.read_region(o, 0, (SIZE, SIZE)))(
            fastslide.FastSlide.from_file_path(str(path)))
    except ImportError:
        pass
    return out


def floor_rate(path: Path, origins, tmp: Path) -> float | None:
    """Patches per second of decoding whole every stored JPEG tile under them."""
    slide = kolva.open(path)
    lv = slide.levels[0]
    if lv.media_type != "image/jpeg":
        return None
    tw, th = lv.tile_size
    blob = bytearray()
    for x, y in origins:
        for r in range(y // th, (y + SIZE - 1) // th + 1):
            for c in range(x // tw, (x + SIZE - 1) // tw + 1):
                tile = slide.read_tile(0, c, r)
                blob += struct.pack("<I", len(tile)) + tile
    (tmp / "tiles.bin").write_bytes(bytes(blob))
    exe = tmp / "region_floor"
    if not exe.exists():
        subprocess.run(["g++", "-O2", str(HERE / "region_floor.cpp"), "-ljpeg", "-o", str(exe)],
                       check=True)
    _, seconds = subprocess.run([str(exe), str(tmp / "tiles.bin")], check=True,
                                capture_output=True, text=True).stdout.split()
    return len(origins) / float(seconds)


def timed(call, *args, **kwargs) -> tuple[float, float]:
    """Wall and processor (every thread's, user and system) seconds of a call."""
    before, t = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    call(*args, **kwargs)
    wall, after = time.perf_counter() - t, resource.getrusage(resource.RUSAGE_SELF)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    n = 60 if args.quick else 300
    cache = HERE / ".cache"
    cache.mkdir(exist_ok=True)
    big = cache / "region-12000x9600.svs"
    if not big.exists():
        bench.build_svs(big, (12000, 9600), 240, 3)
    slides = {"CMU-1-Small-Region (JPEG)": CORPUS / "svs/CMU-1-Small-Region.svs",
              "tcga-cr-7395 (JPEG 2000)": CORPUS / "svs/tcga-cr-7395-01a-01-ts1.svs",
              "synthetic 12000x9600, 240-px JPEG": big}
    results: dict[str, object] = {"patches": n, "size": SIZE}
    with tempfile.TemporaryDirectory() as tmpdir:
        tmp = Path(tmpdir)
        for name, path in slides.items():
            if not path.exists():
                print(f"{name}: absent, skipped")
                continue
            with kolva.open(path) as s:
                origins = patches(s.dimensions, n)
            row: dict[str, float] = {}
            for reader, make in readers(path).items():
                try:
                    row[reader] = rate(make(), origins)
                except Exception as exc:  # a peer that cannot read the file
                    print(f"  {reader}: {exc!r}")
            floor = floor_rate(path, origins, tmp)
            if floor:
                row["floor (whole tiles, C)"] = floor
            peers = [v for k, v in row.items() if k in ("openslide", "fastslide", "tiffslide")]
            row["kolva / fastest peer"] = row["kolva"] / max(peers)
            results[name] = row
            print(name, json.dumps({k: round(v, 2) for k, v in row.items()}), flush=True)

    # read_regions: 256 patches, default threads against one.
    origins = patches((12000, 9600), 256, seed=2)
    with kolva.open(big, region_cache=0) as s:
        s.read_regions(0, origins[:16], (SIZE, SIZE), threads=1)
        # Alternately, three times each: the fastest of each counts.
        runs: dict[bool, list[tuple[float, float]]] = {False: [], True: []}
        for _ in range(3):
            for default_threads in (False, True):
                runs[default_threads].append(timed(
                    s.read_regions, 0, origins, (SIZE, SIZE),
                    threads=None if default_threads else 1))
        (one, one_cpu), (default, default_cpu) = min(runs[False]), min(runs[True])
    results["read_regions 256, default threads / one"] = one / default
    # The processor time of all threads over the wall time: how many threads
    # decoded at once. On a shared machine the scheduler may give the process
    # (its session) no more than a share of one core whatever its threads.
    results["read_regions 256, cpu/wall: one thread, default threads"] = [
        one_cpu / one, default_cpu / default]
    results["threads (default)"] = len(os.sched_getaffinity(0))

    # Thumbnails of the big SVS.
    import openslide

    t = time.perf_counter()
    kolva.open(big).get_thumbnail((1024, 1024))
    k = time.perf_counter() - t
    t = time.perf_counter()
    openslide.OpenSlide(str(big)).get_thumbnail((1024, 1024))
    o = time.perf_counter() - t
    results["thumbnail 1024: kolva s, openslide s, ratio"] = [k, o, o / k]

    # The resident set over many random regions with the default cache: full
    # after the first third, then flat.
    with kolva.open(big) as s:
        many = patches(s.dimensions, 100_000 if not args.quick else 600, seed=3)
        third = len(many) // 3
        for o_ in many[:third]:
            s.read_region(o_, 0, (SIZE, SIZE))
        after_first = rss_mb()
        for o_ in many[third:]:
            s.read_region(o_, 0, (SIZE, SIZE))
        after_all = rss_mb()
    results["rss MB after 1/3, after all, growth"] = [after_first, after_all,
                                                     after_all / after_first - 1]
    results["max rss MB"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    for key in ("read_regions 256, default threads / one",
                "read_regions 256, cpu/wall: one thread, default threads", "thumbnail 1024: kolva s, openslide s, ratio",
                "rss MB after 1/3, after all, growth"):
        print(key, results[key])
    out = (cache if args.quick else HERE) / "results-region.json"
    out.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
