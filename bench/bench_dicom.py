"""DICOM whole-slide series: kolva against wsidicom and OpenSlide 4 on the same files.

    python bench/bench_dicom.py [--size 4096] [--repeat 5] [--out bench/results-dicom.json]

Builds a JPEG series (3 levels, 256-px tiles, basic offset tables, plus label,
overview and thumbnail) with the test fixtures, then measures, in one run:
  open      opening the series (median of --repeat)
  frames/s  reading every frame of every level as stored: kolva's read_tiles,
            wsidicom's encoded-frame path (read_encoded_tile), and the floor: os.pread
            of the same byte ranges, one call each
  remote    over the loopback range server with 50 ms per request: requests and
            time to the first tile, kolva against wsidicom over fsspec (HTTP)
Reports ratios; timings are machine-dependent, the ratios are the point.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import kolva  # noqa: E402
from fixtures.dicom import write_series  # noqa: E402


def _median(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def _all_coords(slide: kolva.Slide) -> list[tuple[int, list[tuple[int, int]]]]:
    return [(i, [(x, y) for y in range(lv.tile_grid[1]) for x in range(lv.tile_grid[0])])
            for i, lv in enumerate(slide.levels)]


def bench_local(folder: Path, repeat: int) -> dict:
    import openslide
    import wsidicom

    level0 = str(folder / "level-0.dcm")
    out: dict = {}
    out["open_s"] = {
        "kolva": _median(lambda: kolva.open(folder), repeat),
        "wsidicom": _median(lambda: wsidicom.WsiDicom.open(folder).close(), repeat),
        "openslide": _median(lambda: openslide.OpenSlide(level0).close(), repeat),
    }
    slide = kolva.open(folder)
    levels = _all_coords(slide)
    frames = sum(len(c) for _, c in levels)

    def ours() -> None:
        for level, coords in levels:
            slide.read_tiles(level, coords, threads=1)

    wsi = wsidicom.WsiDicom.open(folder)

    def theirs() -> None:
        for level, coords in levels:
            lv = wsi.levels[level]
            for x, y in coords:
                wsi.read_encoded_tile(lv.level, (x, y))

    # The floor: the same frame ranges read with one pread each (each level's
    # instance opened alone, so that its plans name byte ranges of that file).
    ranges = []
    for level, coords in levels:
        path = folder / f"level-{level}.dcm"
        alone = kolva.open([str(path)])
        _, rs = alone._core.plan_tiles(0, coords)
        ranges += [(str(path), int(r[0]), int(r[1])) for r in rs]
    fds: dict[str, int] = {}

    def floor() -> None:
        for path, offset, length in ranges:
            fd = fds.get(path)
            if fd is None:
                fd = fds[path] = os.open(path, os.O_RDONLY)
            os.pread(fd, length, offset)

    out["frames"] = frames
    # A pass over every frame takes well under a millisecond: medians of many
    # passes, or the ratios move with whatever else the machine does.
    passes = max(repeat, 50)
    out["frames_per_s"] = {
        "kolva": frames / _median(ours, passes),
        "wsidicom": frames / _median(theirs, passes),
        "pread_floor": frames / _median(floor, passes),
    }
    wsi.close()
    for fd in fds.values():
        os.close(fd)
    o, f = out["open_s"], out["frames_per_s"]
    out["ratios"] = {
        "open_wsidicom_over_kolva": o["wsidicom"] / o["kolva"],
        "open_openslide_over_kolva": o["openslide"] / o["kolva"],
        "frames_kolva_over_wsidicom": f["kolva"] / f["wsidicom"],
        "frames_floor_over_kolva": f["pread_floor"] / f["kolva"],
    }
    return out


def bench_remote(folder: Path) -> dict:
    from fixtures.http_server import RangeServer

    files = sorted(folder.iterdir())
    out: dict = {}
    with RangeServer({f.name: f.read_bytes() for f in files}, delay=0.05) as srv:
        urls = [srv.url(f.name) for f in files]
        srv.reset_counts()
        t = time.perf_counter()
        slide = kolva.open(urls)
        slide.read_tile(0, 0, 0)
        out["kolva"] = {"first_tile_s": time.perf_counter() - t,
                        "requests": srv.reset_counts().requests}
        try:
            import wsidicom
            from upath import UPath

            t = time.perf_counter()
            wsi = wsidicom.WsiDicom.open([UPath(u) for u in urls])
            wsi.read_encoded_tile(wsi.levels[0].level, (0, 0))
            out["wsidicom"] = {"first_tile_s": time.perf_counter() - t,
                               "requests": srv.reset_counts().requests}
            out["ratios"] = {
                "first_tile_wsidicom_over_kolva": out["wsidicom"]["first_tile_s"] / out["kolva"]["first_tile_s"],
                "requests_wsidicom_over_kolva": out["wsidicom"]["requests"] / out["kolva"]["requests"],
            }
        except Exception as exc:  # noqa: BLE001 - report what the peer could not do
            out["wsidicom"] = {"error": f"{type(exc).__name__}: {exc}"}
    return out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--out", default=str(Path(__file__).with_name("results-dicom.json")))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        series = write_series(Path(tmp) / "series", size=(args.size, args.size), levels=3,
                              tile=256)
        results = {"size": args.size, "local": bench_local(series.folder, args.repeat),
                   "remote": bench_remote(series.folder)}
    print(json.dumps(results, indent=2))
    Path(args.out).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
