#!/usr/bin/env python3
"""Training-pipeline reads: `read_tiles_into` against the pread floor, `kolva.torch`
through a DataLoader against one worker and against datasets built on OpenSlide and
tiffslide.

    python bench/bench_torch.py            # the big SVS of bench.py (40,000 x 30,000)
    python bench/bench_torch.py --quick    # a small SVS: a smoke test

Measured on a warm page cache, medians of interleaved repetitions (a read sample
is the best of 5 passes, as the floor program reports its passes):
  * `read_tiles_into` of 1,024 random level-0 tiles into one reused buffer, one
    thread and the default threads, against bench/pread_floor.cpp issuing the same
    pread calls on one thread;
  * `TileDataset` (raw bytes) through a DataLoader, 2 workers against 1, tiles/s;
  * decoded tiles (`decode="cpu"`, 2 workers) against map-style datasets that call
    OpenSlide's and tiffslide's `read_region` for the same tiles, 2 workers each.
Ratios are printed and written to bench/results-torch.json (--quick: bench/.cache/).
"""
from __future__ import annotations

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench  # noqa: E402  (the slide builders and the floor program)

import numpy as np  # noqa: E402
import torch  # noqa: E402
from torch.utils.data import DataLoader, Dataset  # noqa: E402

TILES = int(os.environ.get("KOLVA_BENCH_TILES", "1024"))


def big_svs(cache: Path, quick: bool) -> Path:
    """The SVS of bench.py (only that one is built here)."""
    size, tile, levels = (bench.QUICK if quick else bench.FULL)["svs"]
    path = cache / f"torch-{size[0]}x{size[1]}.svs"
    if not path.exists():
        print("building the SVS ...", flush=True)
        cache.mkdir(parents=True, exist_ok=True)
        bench.build_svs(path, size, tile, levels)
    return path


def median_time(fn, reps: int) -> float:
    samples = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t)
    return statistics.median(samples)


# --------------------------------------------------------------------------- read_tiles_into

def bench_into(path: Path, cache: Path, reps: int) -> dict:
    import kolva

    ranges_file = cache / "torch.ranges"
    _, coords = bench.random_level0_tiles(path, TILES, ranges_file)
    exe = bench.floor_binary(cache)

    slide = kolva.open(path)
    buf = np.empty(int(slide.tile_nbytes(0, coords).sum()), np.uint8)
    offsets = slide.read_tiles_into(0, coords, buf)
    assert bytes(buf[offsets[5]:offsets[6]]) == slide.read_tile(0, *coords[5])

    def floor() -> float:
        out = subprocess.run([str(exe), str(path), str(ranges_file), "5"],
                             capture_output=True, text=True, check=True).stdout
        return min(json.loads(out)["ns"]) / 1e9

    fns = {"into_1_thread": lambda: slide.read_tiles_into(0, coords, buf, threads=1),
           "into_default": lambda: slide.read_tiles_into(0, coords, buf)}
    samples: dict[str, list[float]] = {"floor": [], **{n: [] for n in fns}}
    for _ in range(reps):  # each sample the best of 5 passes, as the floor program takes
        if exe is not None:
            samples["floor"].append(floor())
        for name, fn in fns.items():
            samples[name].append(min(median_time(fn, 1) for _ in range(5)))
    rate = {n: len(coords) / statistics.median(v) for n, v in samples.items() if v}
    return {"tiles": len(coords), "tiles_per_s": rate, "goals": {
        "read_tiles_into 1 thread / pread floor (>= 0.9)":
            rate["into_1_thread"] / rate["floor"] if "floor" in rate else None,
        "read_tiles_into default threads / floor (>= 1.5)":
            rate["into_default"] / rate["floor"] if "floor" in rate else None}}


# --------------------------------------------------------------------------- datasets

class RegionDataset(Dataset):
    """A dataset as people write it on a region reader: open lazily in each worker,
    one `read_region` per tile, RGB to a C x H x W uint8 tensor."""

    def __init__(self, path: Path, coords: list[tuple[int, int]], tile: int, reader: str):
        self.path, self.coords, self.tile, self.reader = str(path), coords, tile, reader
        self._slide = None

    def __len__(self) -> int:
        return len(self.coords)

    def __getitem__(self, i: int) -> torch.Tensor:
        if self._slide is None:
            if self.reader == "openslide":
                import openslide
                self._slide = openslide.OpenSlide(self.path)
            else:
                import tiffslide
                self._slide = tiffslide.TiffSlide(self.path)
        x, y = self.coords[i]
        t = self.tile
        if self.reader == "tiffslide":
            rgb = self._slide.read_region((x * t, y * t), 0, (t, t), as_array=True)
        else:
            rgb = np.asarray(self._slide.read_region((x * t, y * t), 0, (t, t)).convert("RGB"))
        return torch.from_numpy(np.array(rgb[..., :3])).permute(2, 0, 1)


def drain(loader) -> tuple[float, float]:
    """(tiles/s, tiles per CPU second) of one pass. The rate counts from the first
    batch on (worker start-up and the first batch excluded); the CPU time is the
    whole pass's, this process's and its workers' (joined at the end), so that it
    says what the work costs whatever else the machine runs."""
    def count(batch) -> int:
        return len(batch["x"]) if isinstance(batch, dict) else len(batch)

    def children() -> float:
        r = resource.getrusage(resource.RUSAGE_CHILDREN)
        return r.ru_utime + r.ru_stime

    cpu0, own0 = children(), time.process_time()
    it = iter(loader)
    total = count(next(it))
    n, t = 0, time.perf_counter()
    for batch in it:
        n += count(batch)
    wall = time.perf_counter() - t
    del it, batch
    cpu = children() - cpu0 + time.process_time() - own0
    return n / wall, (total + n) / cpu


def bench_datasets(path: Path, reps: int, quick: bool) -> dict:
    from kolva.torch import TileDataset, collate

    level0 = bench.Level0(path, "svs", None)
    tile = level0.tile[0]
    results: dict = {"raw": {}, "decoded": {}}

    batch = 8 if quick else 256
    raw = TileDataset(str(path), tiles="all", batch_tiles=256)
    results["raw_per_cpu_s"] = {}
    for workers in (1, 2):
        rates, per_cpu = [], []
        for epoch in range(reps):
            raw.set_epoch(epoch)
            loader = DataLoader(raw, batch_size=batch, num_workers=workers, collate_fn=collate)
            rate, cpu_rate = drain(loader)
            rates.append(rate)
            per_cpu.append(cpu_rate)
        results["raw"][f"{workers}_workers"] = statistics.median(rates)
        results["raw_per_cpu_s"][f"{workers}_workers"] = statistics.median(per_cpu)

    coords = list(level0.tiles)
    random.Random(11).shuffle(coords)
    coords = coords[:(512 if quick else 3072)]
    decoded = TileDataset(str(path), tiles=coords, decode="cpu", batch_tiles=64)
    small = 8 if quick else 64
    loaders = {
        "kolva": lambda: DataLoader(decoded, batch_size=small, num_workers=2, collate_fn=collate),
        "openslide": lambda: DataLoader(RegionDataset(path, coords, tile, "openslide"),
                                        batch_size=small, num_workers=2, shuffle=True),
        "tiffslide": lambda: DataLoader(RegionDataset(path, coords, tile, "tiffslide"),
                                        batch_size=small, num_workers=2, shuffle=True),
    }
    samples: dict[str, list[float]] = {n: [] for n in loaders}
    cpu_samples: dict[str, list[float]] = {n: [] for n in loaders}
    for rep in range(reps):
        for name, make in loaders.items():
            try:
                rate, cpu_rate = drain(make())
            except ImportError as exc:
                print(f"  {name}: not run ({exc})")
                continue
            samples[name].append(rate)
            cpu_samples[name].append(cpu_rate)
    results["decoded"] = {n: statistics.median(v) for n, v in samples.items() if v}
    results["decoded_per_cpu_s"] = {n: statistics.median(v) for n, v in cpu_samples.items() if v}
    r, d, dc = results["raw"], results["decoded"], results["decoded_per_cpu_s"]
    results["goals"] = {
        "DataLoader raw, 2 workers / 1 worker (>= 1.7)": r["2_workers"] / r["1_workers"],
        "DataLoader raw, 2 workers, tiles/s (>= 50,000)": r["2_workers"],
        "decode=cpu / OpenSlide read_region, 2 workers (>= 2)":
            d["kolva"] / d["openslide"] if "openslide" in d else None,
        "decode=cpu / tiffslide read_region, 2 workers (>= 2)":
            d["kolva"] / d["tiffslide"] if "tiffslide" in d else None,
        "per CPU second: decode=cpu / OpenSlide":
            dc["kolva"] / dc["openslide"] if "openslide" in dc else None,
        "per CPU second: decode=cpu / tiffslide":
            dc["kolva"] / dc["tiffslide"] if "tiffslide" in dc else None,
    }
    return results


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--reps", type=int, default=0)
    args = ap.parse_args()
    reps = args.reps or (3 if args.quick else 9)
    cache = HERE / ".cache"
    path = big_svs(cache, args.quick)
    into = bench_into(path, cache, reps)
    datasets = bench_datasets(path, max(3, reps // 3), args.quick)
    print(f"{path.name}: read_tiles_into of {into['tiles']} random level-0 tiles")
    for n, v in into["tiles_per_s"].items():
        print(f"  {n:16s} {v:12,.0f} tiles/s")
    print("TileDataset through a DataLoader (tiles/s)")
    print(f"  {'':28s} {'tiles/s':>12s} {'per CPU s':>12s}")
    for kind in ("raw", "decoded"):
        for k, v in datasets[kind].items():
            print(f"  {kind + ', ' + k:28s} {v:12,.0f} {datasets[kind + '_per_cpu_s'][k]:12,.0f}")
    goals = {**into["goals"], **datasets["goals"]}
    for goal, value in goals.items():
        shown = ("n/a" if value is None else
                 f"{value:,.0f}" if "tiles/s" in goal else f"{value:.2f}x")
        print(f"  {goal:56s} {shown}")
    out = (cache / "results-torch-quick.json") if args.quick else (HERE / "results-torch.json")
    out.write_text(json.dumps({"slide": path.name, "read_tiles_into": into,
                               "datasets": datasets, "cpu_count": os.cpu_count(),
                               "load_average": os.getloadavg()}, indent=1))
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print(f"written to {out}")


if __name__ == "__main__":
    main()
