#!/usr/bin/env python3
"""Conversion benchmark: `kolva convert` (slides to DICOM, tiles copied as stored)
against the floor of copying the same tile bytes, wsidicomizer (which also copies
tiles), a decode-and-re-encode pipeline, its peak memory, and Dask scaling.

    python bench/bench_convert.py            # the 40,000 x 30,000 SVS of bench.py
    python bench/bench_convert.py --quick    # a small SVS, one pass: a smoke test

Measured in one run on a warm page cache (medians of the passes):
  * convert: `kolva.convert(svs, levels=[0], workers=1)`, level 0 to one DICOM file
    (header, offset table, one fragment per tile), and the whole slide (every level
    and the thumbnail);
  * floor: bench/copy_floor.cpp, pread of each level-0 tile's stored bytes and one
    write per tile into one file, interleaved pass by pass with the converter;
  * wsidicomizer (PyPI) converting the same slide (level 0, 240-px tiles so that it
    copies them, one worker), and kolva converting the same level;
  * decode + re-encode: OpenSlide read_region of each tile's area and a Pillow JPEG
    save at quality 90 (bench_export's), on a random sample, extrapolated;
  * peak RSS of a process converting the whole slide (ru_maxrss);
  * Dask: four slides (links to the big one) converted on a LocalCluster of 1 and
    of 2 single-threaded workers, and what two processes of a plain CPU loop reach
    at the same moment.
Goals: >= 0.5 x the floor; >= 5 x wsidicomizer; >= 50 x decode+re-encode; peak RSS
< 200 MB; 2 workers >= 1.6 x one. Results: bench/convert_results.json (--quick:
bench/.cache/convert-results-quick.json).
"""
from __future__ import annotations

import argparse
import json
import os
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
sys.path.insert(0, str(HERE))

import bench  # noqa: E402  (the slide builders)
import bench_export  # noqa: E402  (re-encode rate, machine parallelism)


def big_svs(cache: Path, quick: bool) -> Path:
    size, tile, levels = bench.QUICK["svs"] if quick else bench.FULL["svs"]
    path = cache / ("convert-quick.svs" if quick else "convert.svs")
    stamp = path.with_suffix(".json")
    key = json.dumps([size, tile, levels, bench.POOL_TILES])
    if not (path.exists() and stamp.exists() and stamp.read_text() == key):
        print("building the slide ...", flush=True)
        bench.build_svs(path, size, tile, levels)
        stamp.write_text(key)
    return path


def floor_exe(cache: Path) -> Path:
    exe = cache / "copy_floor"
    src = HERE / "copy_floor.cpp"
    if not exe.exists() or exe.stat().st_mtime < src.stat().st_mtime:
        subprocess.run(["g++", "-O2", "-std=c++17", "-o", str(exe), str(src)], check=True)
    return exe


def convert_and_floor(path: Path, cache: Path, work: Path, passes: int) -> tuple[dict, dict]:
    import tifffile

    import kolva

    exe = floor_exe(cache)
    with tifffile.TiffFile(path) as tif:
        page = tif.pages[0]
        ranges = [(o, c) for o, c in zip(page.dataoffsets, page.databytecounts) if c]
    listing = cache / "convert_ranges.txt"
    listing.write_text("".join(f"1 {o} {c}\n" for o, c in ranges))
    conv_s, floor_s = [], []
    res: dict = {}
    size = 0
    for _ in range(passes + 1):  # the first pass warms the caches
        shutil.rmtree(work / "dcm", ignore_errors=True)
        t = time.perf_counter()
        summary = kolva.convert(path, work / "dcm", levels=[0], workers=1, progress=False)
        conv_s.append(time.perf_counter() - t)
        assert summary.ok, summary.failed[0].error
        size = summary.slides[0].frame_bytes
        res = json.loads(subprocess.run([str(exe), str(path), str(listing),
                                         str(work / "floor.bin"), "1"], check=True,
                                        capture_output=True, text=True).stdout)
        floor_s.append(res["ns"][0] / 1e9)
        (work / "floor.bin").unlink(missing_ok=True)
    shutil.rmtree(work / "dcm", ignore_errors=True)
    tiles = len(ranges)
    conv = {"tiles": tiles, "file_bytes": size, "seconds": conv_s[1:],
            "tiles_per_s": tiles / statistics.median(conv_s[1:])}
    floor = {"tiles": res["tiles"], "bytes": res["bytes"], "seconds": floor_s[1:],
             "tiles_per_s": res["tiles"] / statistics.median(floor_s[1:])}
    return conv, floor


def whole_slide(path: Path, work: Path) -> dict:
    import kolva

    shutil.rmtree(work / "all", ignore_errors=True)
    t = time.perf_counter()
    summary = kolva.convert(path, work / "all", workers=1, progress=False)
    seconds = time.perf_counter() - t
    assert summary.ok
    frames = sum(i.frames for i in summary.slides[0].instances)
    shutil.rmtree(work / "all", ignore_errors=True)
    return {"frames": frames, "instances": len(summary.slides[0].instances),
            "seconds": seconds, "frames_per_s": frames / seconds}


def wsidicomizer_rate(path: Path, work: Path, tile: int) -> dict | None:
    try:
        import opentile.jpeg.jpeg as opentile_jpeg
        from wsidicomizer import WsiDicomizer
    except ImportError:
        return None
    # opentile's own library search trips over the static libturbojpeg.a.
    found = bench.turbo_path()
    if found:
        opentile_jpeg.find_turbojpeg_path = lambda: Path(found)
    out = work / "wsidicomizer"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    t = time.perf_counter()
    WsiDicomizer.convert(path, out, tile_size=tile, include_levels=[0], include_label=False,
                         include_overview=False, include_thumbnail=False, workers=1)
    seconds = time.perf_counter() - t
    shutil.rmtree(out, ignore_errors=True)
    return {"seconds": seconds}


def _hwm_kb() -> int:
    """This process's peak RSS (VmHWM: unlike ru_maxrss, not inherited over fork)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def rss_child(path: str, dest: str) -> None:
    import kolva

    if dest == "-":
        print(json.dumps({"maxrss_kb": _hwm_kb()}))
        return
    summary = kolva.convert(path, dest, workers=1, progress=False)
    assert summary.ok
    print(json.dumps({"maxrss_kb": _hwm_kb()}))


def peak_rss(path: Path, work: Path) -> dict:
    dest = work / "rss"
    shutil.rmtree(dest, ignore_errors=True)
    base = subprocess.run([sys.executable, __file__, "--rss-child", str(path), "-"],
                          check=True, capture_output=True, text=True).stdout
    run = subprocess.run([sys.executable, __file__, "--rss-child", str(path), str(dest)],
                         check=True, capture_output=True, text=True)
    shutil.rmtree(dest, ignore_errors=True)
    return {"peak_rss_mb": json.loads(run.stdout.splitlines()[-1])["maxrss_kb"] / 1024,
            "import_rss_mb": json.loads(base.splitlines()[-1])["maxrss_kb"] / 1024,
            "slide_mb": path.stat().st_size / 1e6}


def dask_scaling(paths: list[Path], dest: Path, passes: int) -> dict:
    from distributed import Client, LocalCluster

    import kolva

    out: dict = {}
    for n in (1, 2):
        with LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None, silence_logs=40) as lc, Client(lc) as client:
            client.run(lambda: __import__("kolva._convert"))
            seconds = []
            for _ in range(passes + 1):
                shutil.rmtree(dest, ignore_errors=True)
                t = time.perf_counter()
                summary = kolva.convert(paths, dest, scheduler=client, progress=False)
                seconds.append(time.perf_counter() - t)
                assert summary.ok
            frames = sum(i.frames for s in summary.slides for i in s.instances)
            out[n] = {"frames": frames, "seconds": seconds[1:],
                      "frames_per_s": frames / statistics.median(seconds[1:])}
        if n == 2:
            out["machine_parallelism"] = bench_export.machine_parallelism()
    shutil.rmtree(dest, ignore_errors=True)
    out["speedup"] = out[2]["frames_per_s"] / out[1]["frames_per_s"]
    return out


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--rss-child", nargs=2, metavar=("SLIDE", "DEST"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.rss_child:
        rss_child(*args.rss_child)
        return 0
    cache = HERE / ".cache"
    cache.mkdir(exist_ok=True)
    svs = big_svs(cache, args.quick)
    tile = (bench.QUICK if args.quick else bench.FULL)["svs"][1]
    work = cache / "convert-out"
    work.mkdir(exist_ok=True)
    results: dict = {"quick": args.quick, "slide": svs.name}
    results["convert"], results["floor"] = convert_and_floor(svs, cache, work,
                                                             1 if args.quick else 5)
    results["whole_slide"] = whole_slide(svs, work)
    results["wsidicomizer"] = wsidicomizer_rate(svs, work, tile)
    kolva_once = convert_and_floor(svs, cache, work, 1)[0]  # right after, same load
    results["kolva_beside_wsidicomizer"] = kolva_once
    results["reencode"] = bench_export.reencode_rate(svs, 50 if args.quick else 300)
    results["rss"] = peak_rss(svs, work)
    links = []
    for i in range(4):
        link = cache / f"convert-copy{i}.svs"
        if link.is_symlink() and os.readlink(link) != svs.name:
            link.unlink()
        if not link.exists():
            link.symlink_to(svs.name)
        links.append(link)
    results["dask"] = dask_scaling(links, work / "dask", 1 if args.quick else 2)
    results["load_average"] = os.getloadavg()[0]

    c, f, r, d = results["convert"], results["floor"], results["reencode"], results["dask"]
    w = results["wsidicomizer"]
    k = results["kolva_beside_wsidicomizer"]
    wsi_ratio = (w["seconds"] / statistics.median(k["seconds"])) if w else None
    goals = {
        "convert >= 0.5 x floor": c["tiles_per_s"] >= 0.5 * f["tiles_per_s"],
        "convert >= 5 x wsidicomizer": wsi_ratio is not None and wsi_ratio >= 5,
        "convert >= 50 x decode+re-encode": c["tiles_per_s"] >= 50 * r["tiles_per_s"],
        "peak RSS < 200 MB": results["rss"]["peak_rss_mb"] < 200,
        "2 Dask workers >= 1.6 x one": d["speedup"] >= 1.6,
    }
    results["goals"] = goals
    print(f"load average at the end: {results['load_average']:.1f} on {os.cpu_count()} cores")
    print(f"slide: {svs.name}, {c['tiles']} level-0 tiles, {f['bytes'] / 1e6:.1f} MB of tiles")
    print(f"  kolva convert, level 0 (1 core) {c['tiles_per_s']:>12,.0f} tiles/s")
    print(f"  pread/write floor               {f['tiles_per_s']:>12,.0f} tiles/s  "
          f"(convert = {c['tiles_per_s'] / f['tiles_per_s']:.2f} x)")
    ws = results["whole_slide"]
    print(f"  kolva convert, whole slide      {ws['frames_per_s']:>12,.0f} frames/s "
          f"({ws['instances']} instances, {ws['seconds']:.2f} s)")
    if w:
        print(f"  wsidicomizer, level 0           {c['tiles'] / w['seconds']:>12,.0f} tiles/s  "
              f"(convert = {wsi_ratio:.1f} x; {w['seconds']:.1f} s)")
    print(f"  OpenSlide + Pillow q90          {r['tiles_per_s']:>12,.0f} tiles/s  "
          f"(convert = {c['tiles_per_s'] / r['tiles_per_s']:.0f} x, sample of {r['tiles']})")
    rss = results["rss"]
    print(f"  peak RSS converting the slide   {rss['peak_rss_mb']:>12,.0f} MB "
          f"(after import {rss['import_rss_mb']:.0f} MB; slide {rss['slide_mb']:.0f} MB)")
    print(f"  Dask, 1 worker, 4 slides        {d[1]['frames_per_s']:>12,.0f} frames/s")
    print(f"  Dask, 2 workers, 4 slides       {d[2]['frames_per_s']:>12,.0f} frames/s  "
          f"({d['speedup']:.2f} x; 2 processes of a plain CPU loop at that moment: "
          f"{d['machine_parallelism']:.2f} x)")
    for goal, met in goals.items():
        print(f"  goal {goal}: {'met' if met else 'NOT met'}")
    target = (cache / "convert-results-quick.json" if args.quick
              else HERE / "convert_results.json")
    target.write_text(json.dumps(results, indent=1) + "\n")
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
