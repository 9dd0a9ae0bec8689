#!/usr/bin/env python3
"""Remote-read benchmark: kolva against tiffslide and tifffile over one loopback HTTP
server (the tests' own, on 127.0.0.1) that waits a fixed delay before every answer,
so that round trips, not bandwidth, set the times.

    python bench/bench_remote.py              # 50 ms per request, the big SVS at full size
    python bench/bench_remote.py --quick      # small SVS, 20 ms, few tiles: a smoke test

Measured:
  * opening each real sample file (when present) and a big synthetic SVS: requests,
    HEAD requests and wall time of kolva.open, against tiffslide on fsspec's HTTP
    file system with a 64 KiB block cache (median of a few opens);
  * 256 random level-0 tiles of the big SVS: kolva's read_tiles (64 requests in
    flight) against the same tiles read one by one through tifffile's raw path and
    through tiffslide's read_region on the same fsspec file.
The goals are printed as met or not; the numbers go to bench/results-remote.json
(--quick: bench/.cache/results-remote-quick.json).
"""
from __future__ import annotations

import argparse
import json
import random
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO / "tests"))
sys.path.insert(0, str(HERE))

CORPUS = REPO.parent / "shared" / "corpus" / "real"
REAL = {  # name -> (path, the walker's requests for the opening)
    "cog": ("tiff/gdal_cog_jpeg.tif", 2),
    "cmu-small": ("svs/CMU-1-Small-Region.svs", 5),
    "tcga-j2k": ("svs/tcga-cr-7395-01a-01-ts1.svs", 4),
    "ndpi": ("ndpi/test3-DAPI-2-(387).ndpi", 11),
}
BLOCK_CACHE = {"block_size": 65536, "cache_type": "blockcache"}


class ServerProcess:
    """The tests' RangeServer in a process of its own, with the same interface."""

    def __init__(self, files: dict[str, Path], delay: float) -> None:
        import subprocess

        self.proc = subprocess.Popen(
            [sys.executable, "-m", "fixtures.http_server", "--delay", str(delay),
             *(f"{k}={v}" for k, v in files.items())],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=REPO / "tests")
        assert self.proc.stdout is not None
        self.port = int(self.proc.stdout.readline())

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def reset_counts(self):
        import types
        import urllib.request

        with urllib.request.urlopen(self.url("__counts"), timeout=30) as r:
            return types.SimpleNamespace(**json.load(r))

    def __enter__(self) -> ServerProcess:
        return self

    def __exit__(self, *exc: object) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=20)
        except Exception:
            self.proc.kill()
            self.proc.wait()


def build_big_svs(cache: Path, quick: bool) -> Path:
    import bench

    size, tile, levels = bench.QUICK["svs"] if quick else bench.FULL["svs"]
    path = cache / ("remote-quick.svs" if quick else "remote-big.svs")
    if not path.exists():
        print(f"building {path.name} ...", flush=True)
        bench.build_svs(path, size, tile, levels)
    return path


def measured_rtt(server, name: str, count: int = 20) -> float:
    """The median time of a bare ranged GET on a kept-alive connection: the round
    trip the delay makes, plus what the server and the loopback add on this machine."""
    import http.client

    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    times = []
    for i in range(count):
        t = time.perf_counter()
        conn.request("GET", f"/{name}", headers={"Range": f"bytes={i * 1000}-{i * 1000 + 99}"})
        conn.getresponse().read()
        times.append(time.perf_counter() - t)
    conn.close()
    server.reset_counts()
    return statistics.median(times)


def timed(fn, reps: int):
    times, out = [], None
    for _ in range(reps):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times), out


def measure_open(server, name: str, reps: int) -> dict:
    import kolva
    import tiffslide

    url = server.url(name)
    server.reset_counts()
    seconds, _ = timed(lambda: kolva.open(url), reps)
    counts = server.reset_counts()
    def tiffslide_open():
        # What kolva.open knows once it returns: every level and the properties.
        ts = tiffslide.TiffSlide(url, storage_options=BLOCK_CACHE)
        return ts.level_dimensions, ts.level_downsamples, ts.properties

    ts_seconds, _ = timed(tiffslide_open, reps)
    ts_counts = server.reset_counts()
    return {"kolva_s": seconds, "requests": counts.requests // reps, "heads": counts.heads // reps,
            "tiffslide_s": ts_seconds, "tiffslide_requests": ts_counts.requests // reps,
            "tiffslide_heads": ts_counts.heads // reps}


def measure_tiles(server, name: str, count: int, reps: int) -> dict:
    import fsspec
    import kolva
    import tifffile
    import tiffslide

    url = server.url(name)
    slide = kolva.open(url, max_requests=64)
    across, down = slide.levels[0].tile_grid
    rng = random.Random(7)
    everything = [(x, y) for y in range(down) for x in range(across)]
    coords = rng.sample(everything, min(count, len(everything)))
    count = len(coords)
    server.reset_counts()
    seconds, tiles = timed(lambda: slide.read_tiles(0, coords), reps)
    counts = server.reset_counts()

    # tifffile's raw path: each tile's stored range read through an fsspec file.
    with fsspec.open(url, **BLOCK_CACHE) as fh, tifffile.TiffFile(fh) as tif:
        page = tif.pages[0]
        offsets, sizes = page.dataoffsets, page.databytecounts
        server.reset_counts()
        t = time.perf_counter()
        raw = []
        for x, y in coords:
            i = y * across + x
            fh.seek(offsets[i])
            raw.append(fh.read(sizes[i]))
        tifffile_s = time.perf_counter() - t
    tifffile_requests = server.reset_counts().requests
    # kolva hands out complete streams (tables spliced in): each holds the raw tile.
    assert all(r[2:-2] in k for r, k in zip(raw, tiles))

    ts = tiffslide.TiffSlide(url, storage_options=BLOCK_CACHE)
    tw, th = slide.levels[0].tile_size
    server.reset_counts()
    t = time.perf_counter()
    for x, y in coords:
        ts.read_region((x * tw, y * th), 0, (tw, th))
    tiffslide_s = time.perf_counter() - t
    tiffslide_requests = server.reset_counts().requests
    return {"tiles": count, "kolva_s": seconds, "requests": counts.requests // reps,
            "bytes": counts.bytes_sent // reps, "tifffile_s": tifffile_s,
            "tifffile_requests": tifffile_requests, "tiffslide_s": tiffslide_s,
            "tiffslide_requests": tiffslide_requests}


def measure_export(server, name: str, count: int) -> dict:
    """`kolva.export` of the slide's level 0 straight from the URL, against the
    tile-by-tile cost the shard writer had before it read through the read
    executor: one request per tile (a `read_tile` loop over `count` tiles)."""
    import tempfile

    import kolva

    url = server.url(name)
    with kolva.open(url) as slide:
        across, down = slide.levels[0].tile_grid
        tiles = across * down
        coords = [(x, y) for y in range(down) for x in range(across)][:count]
        server.reset_counts()
        t = time.perf_counter()
        for x, y in coords:
            slide.read_tile(0, x, y)
        per_tile_s = (time.perf_counter() - t) / len(coords)
    with tempfile.TemporaryDirectory() as out:
        server.reset_counts()
        t = time.perf_counter()
        summary = kolva.export(url, out, workers=1, progress=False)
        export_s = time.perf_counter() - t
        requests = server.reset_counts().requests
    return {"tiles": tiles, "samples": summary.samples, "export_s": export_s,
            "requests": requests, "tile_by_tile_s": per_tile_s * tiles}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rtt", type=float, default=None, help="seconds per request")
    args = parser.parse_args()
    rtt = args.rtt if args.rtt is not None else (0.02 if args.quick else 0.05)
    cache = HERE / ".cache"
    cache.mkdir(exist_ok=True)

    files = {"big-svs": build_big_svs(cache, args.quick)}
    walkers: dict[str, int | None] = {"big-svs": None}
    for name, (rel, walker) in REAL.items():
        if (CORPUS / rel).is_file():
            files[name] = CORPUS / rel
            walkers[name] = walker
    reps = 1 if args.quick else 3
    results: dict = {"rtt": rtt, "open": {}, "tiles": {}}
    goals: list[tuple[str, bool]] = []
    with ServerProcess(files, rtt) as server:
        delay, rtt = rtt, measured_rtt(server, "big-svs")
        results["delay"], results["rtt"] = delay, rtt
        for name in files:
            r = measure_open(server, name, reps)
            round_trips = max(1, r["requests"] - 1)  # the first round trip is two requests
            r["round_trips"] = round_trips
            results["open"][name] = r
            walker = walkers[name]
            goals.append((f"open {name}: no HEAD, {r['requests']} requests"
                          + (f" (walker {walker}, at most {walker + 1})" if walker else ""),
                          r["heads"] == 0 and (walker is None or r["requests"] <= walker + 1)))
            goals.append((f"open {name}: {r['kolva_s'] * 1000:.0f} ms within "
                          f"({round_trips} + 1) x RTT = {(round_trips + 1) * rtt * 1000:.0f} ms",
                          r["kolva_s"] <= (round_trips + 1) * rtt))
            goals.append((f"open {name}: faster than tiffslide "
                          f"({r['tiffslide_s'] * 1000:.0f} ms, {r['tiffslide_requests']} requests)",
                          r["kolva_s"] < r["tiffslide_s"]))
        count = 64 if args.quick else 256
        t = measure_tiles(server, "big-svs", count, reps)
        results["tiles"]["big-svs"] = t
        goals.append((f"read_tiles of {count} tiles: {t['kolva_s'] * 1000:.0f} ms within 6 x RTT "
                      f"= {6 * rtt * 1000:.0f} ms ({t['requests']} requests)",
                      t["kolva_s"] <= 6 * rtt))
        slowest_peer = min(t["tifffile_s"], t["tiffslide_s"])
        goals.append((f"read_tiles at least 20x faster than one by one: tifffile "
                      f"{t['tifffile_s']:.2f} s, tiffslide {t['tiffslide_s']:.2f} s "
                      f"({slowest_peer / t['kolva_s']:.0f}x)", slowest_peer >= 20 * t["kolva_s"]))

        e = measure_export(server, "big-svs", 32 if args.quick else 128)
        results["export"] = e
        goals.append((f"kolva export of {e['tiles']} tiles from the URL: {e['export_s']:.2f} s, "
                      f"{e['requests']} requests, at least 20x faster than tile by tile "
                      f"({e['tile_by_tile_s']:.1f} s, "
                      f"{e['tile_by_tile_s'] / e['export_s']:.0f}x)",
                      e["tile_by_tile_s"] >= 20 * e["export_s"]))

    print(f"remote reads over a loopback server waiting {results['delay'] * 1000:.0f} ms before "
          f"each answer; a bare request takes {rtt * 1000:.1f} ms (the RTT below)\n")
    print(f"{'opening':<12}{'requests':>9}{'HEAD':>6}{'kolva':>10}{'tiffslide':>11}{'its req.':>9}")
    for name, r in results["open"].items():
        print(f"{name:<12}{r['requests']:>9}{r['heads']:>6}{r['kolva_s'] * 1000:>8.0f}ms"
              f"{r['tiffslide_s'] * 1000:>9.0f}ms{r['tiffslide_requests']:>9}")
    print()
    for text, met in goals:
        print(f"  [{'met' if met else 'NOT MET'}] {text}")
    results["goals"] = [{"goal": text, "met": met} for text, met in goals]
    out = cache / "results-remote-quick.json" if args.quick else HERE / "results-remote.json"
    out.write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
