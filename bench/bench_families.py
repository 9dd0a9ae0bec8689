#!/usr/bin/env python3
"""Opening and tile reads of the Ventana BIF / TIF, Trestle and Huron families.

    python bench/bench_families.py          # 20 opens, 1,024 tiles, 9 repetitions
    python bench/bench_families.py --quick  # a smoke run

For each family a synthetic file (tests/fixtures builders, about 4,000 x 3,000 pixels
in 256-pixel JPEG tiles) is built once into bench/.cache/families/. Measured on a
warm page cache:
  * opening: median of 20 `kolva.open` + close against OpenSlide 4.0.1's
    `OpenSlide()` + close (goal: kolva at least 2x faster), and against fastslide
    0.8.1's `FastSlide.from_file_path()` + close where it opens the file (goal: at
    least as fast), the readers taking turns open by open; the median of five
    such rounds' medians (each open follows another reader's, so one round's
    median moves with what happened to be in the caches);
  * tiles: `read_tiles_into(0, coords, out)` of 1,024 random level-0 tiles, on
    one thread and with its default threads (the machine's cores), against
    bench/pread_floor.cpp issuing the same pread calls on one thread (goal: at
    least 0.8x the floor's tiles per second), and against the same calls landing
    one after another in one buffer (--spread), as read_tiles_into's do; medians
    of all, each sample the median of 3 passes after an untimed one.
Ratios are printed and written to bench/results-families.json (--quick: .cache).
"""
from __future__ import annotations

import argparse
import json
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import bench  # noqa: E402  (the pread floor program)


def build(folder: Path, quick: bool) -> dict[str, Path]:
    """The bench files, with gradients plus noise: tiles of tissue-like size (tens of
    kB), not the tiny ones the tests' smooth pixels compress to."""
    import numpy as np

    from fixtures import huron, trestle, ventana

    smooth = ventana.pixels

    def textured(width: int, height: int, seed: int) -> np.ndarray:
        noise = np.random.default_rng(seed).integers(0, 48, (height, width, 3), dtype=np.uint8)
        return smooth(width, height, seed) // 2 + noise

    for module in (huron, trestle, ventana):
        module.pixels = textured  # type: ignore[attr-defined]
    cols, rows = (6, 4) if quick else (16, 12)
    t = 256
    out = {}
    bif = ventana.Case(tile=t, grid=(cols, rows), iscan=ventana.ISCAN, levels=3,
                       aois=(ventana.Aoi((0, 0), (cols, rows), (0, 0), (12, 8)),))
    out["ventana-bif"] = folder / f"bench-{cols}x{rows}-textured-2.bif"
    out["ventana-tif"] = folder / f"bench-{cols}x{rows}-tif.tif"
    out["trestle"] = folder / f"trestle-{cols}x{rows}" / "slide.tif"
    out["huron"] = folder / f"huron-{cols}x{rows}.tif"
    if not out["ventana-bif"].exists():
        ventana.make_ventana(out["ventana-bif"], bif)
        ventana.make_ventana(out["ventana-tif"], ventana.Case(tile=t, grid=(cols, rows), levels=3,
                                                              iscan=ventana.ISCAN))
        w, h = cols * t, rows * t
        trestle.make_trestle(out["trestle"], trestle.Case(
            sizes=((w, h), (w // 2, h // 2), (w // 4, h // 4)), tile=t,
            overlaps=((16, 16), (8, 8), (4, 4))))
        huron.make_huron(out["huron"], (w, h), t)
    return out


def level0_ranges(path: Path, page_index: int) -> list[tuple[int, int]]:
    import tifffile

    with tifffile.TiffFile(path) as tif:
        page = tif.pages[page_index]
        return list(zip(page.dataoffsets, page.databytecounts))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    opens, reps, count = (5, 3, 256) if args.quick else (20, 9, 1024)
    rounds = 1 if args.quick else 5

    import numpy as np
    import openslide

    import kolva

    cache = HERE / ".cache"
    folder = cache / "families"
    folder.mkdir(parents=True, exist_ok=True)
    files = build(folder, args.quick)
    exe = bench.floor_binary(cache)
    results: dict[str, dict[str, float | None]] = {}
    for name, path in files.items():
        subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)

        def open_kolva() -> None:
            kolva.open(str(path)).close()  # a str, as the peers are given

        def open_openslide() -> None:
            openslide.OpenSlide(str(path)).close()

        openers = [("kolva", open_kolva), ("openslide", open_openslide)]
        try:
            import fastslide

            def open_fastslide() -> None:
                fastslide.FastSlide.from_file_path(str(path)).close()

            open_fastslide()
            openers.append(("fastslide", open_fastslide))
        except Exception:  # noqa: BLE001 - a peer that does not open the file is left out
            pass
        medians: dict[str, list[float]] = {which: [] for which, _ in openers}
        for _ in range(rounds):
            times: dict[str, list[float]] = {which: [] for which, _ in openers}
            for _ in range(opens):
                for which, fn in openers:
                    t = time.perf_counter()
                    fn()
                    times[which].append(time.perf_counter() - t)
            for which, values in times.items():
                medians[which].append(statistics.median(values))
        open_k, open_o = (statistics.median(medians[k]) for k in ("kolva", "openslide"))
        open_f = statistics.median(medians["fastslide"]) if medians.get("fastslide") else None

        slide = kolva.open(path)
        across, down = slide.levels[0].tile_grid
        coords = [(x, y) for y in range(down) for x in range(across)]
        random.Random(7).shuffle(coords)
        coords = (coords * (1 + count // len(coords)))[:count]
        page = 0
        if name.startswith("ventana"):
            import tifffile
            with tifffile.TiffFile(path) as tif:
                page = next(i for i, p in enumerate(tif.pages)
                            if str(p.description).startswith("level=0 "))
        ranges = level0_ranges(path, page)
        ranges_file = folder / f"{name}.ranges"
        ranges_file.write_text("".join(f"1 {ranges[y * across + x][0]} {ranges[y * across + x][1]}\n"
                                       for x, y in coords))
        out = np.empty(int(slide.tile_nbytes(0, coords).sum()), np.uint8)
        # Each sample is the median of 3 passes in a row on both sides after one
        # untimed pass (the floor program's first pass is dropped too). The
        # floor reads into one reused buffer; the spread floor lands each tile
        # after the previous one, where read_tiles_into must put it (tens of kB a
        # tile: the copy into memory outside the caches is most of a pass).
        tiles_k, tiles_d, tiles_f, tiles_s = [], [], [], []
        for _ in range(reps):
            for threads, samples in ((1, tiles_k), (None, tiles_d)):
                def one_pass(threads: int | None = threads) -> float:
                    t = time.perf_counter()
                    slide.read_tiles_into(0, coords, out, threads=threads)
                    return time.perf_counter() - t
                samples.append(bench.warm_median(one_pass))
            if exe is not None:
                for spread, samples in ((False, tiles_f), (True, tiles_s)):
                    samples.append(bench.floor_median(exe, path, ranges_file, spread))
        slide.close()
        tk, td = statistics.median(tiles_k), statistics.median(tiles_d)
        tf = statistics.median(tiles_f) if tiles_f else None
        ts = statistics.median(tiles_s) if tiles_s else None
        results[name] = {
            "open_kolva_ms": open_k * 1e3, "open_openslide_ms": open_o * 1e3,
            "open_speedup (>= 2)": open_o / open_k,
            "open_fastslide_ms": open_f * 1e3 if open_f else None,
            "open_vs_fastslide (>= 1)": open_f / open_k if open_f else None,
            "read_tiles_into_tiles_per_s": count / tk,
            "read_tiles_into / pread floor (>= 0.8)": (tf / tk) if tf else None,
            "read_tiles_into / spread pread floor": (ts / tk) if ts else None,
            "read_tiles_into_default_threads_tiles_per_s": count / td,
            "read_tiles_into, default threads / pread floor (>= 0.8)": (tf / td) if tf else None,
        }
    print(f"median of {rounds} rounds of {opens} opens; {count} random level-0 tiles, median of {reps} runs "
          "(one thread unless said)")
    for name, r in results.items():
        floor = r["read_tiles_into / pread floor (>= 0.8)"]
        spread = r["read_tiles_into / spread pread floor"]
        threaded = r["read_tiles_into, default threads / pread floor (>= 0.8)"]
        print(f"  {name:12s} open {r['open_kolva_ms']:7.2f} ms vs OpenSlide "
              f"{r['open_openslide_ms']:7.2f} ms: {r['open_speedup (>= 2)']:5.2f}x, "
              f"fastslide {'n/a' if r['open_vs_fastslide (>= 1)'] is None else format(r['open_vs_fastslide (>= 1)'], '.2f') + 'x'}   "
              f"tiles {r['read_tiles_into_tiles_per_s']:10,.0f}/s, "
              f"{'n/a' if floor is None else f'{floor:.2f}x'} the pread floor, "
              f"{'n/a' if spread is None else f'{spread:.2f}x'} the spread floor; "
              f"default threads {'n/a' if threaded is None else f'{threaded:.2f}x'} the pread floor")
    target = (cache if args.quick else HERE) / "results-families.json"
    target.write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
