"""Tile server benchmark: `kolva serve` against a decode-and-re-encode server.

    python bench/bench_serve.py [SLIDE] [--seconds 20] [--clients 64] [--json OUT]

Both servers run on uvicorn (httptools, uvloop when installed) in their own process on
127.0.0.1; the load generator runs in this process: CLIENTS keep-alive connections,
each asking for random tiles of SLIDE, for SECONDS per server in all (at most
--max-requests), taken in four alternating rounds so that other work on a shared
machine falls on both servers alike.
The re-encoding server answers the same kind of request with OpenSlide's
DeepZoomGenerator.get_tile (decode, scale, re-encode as JPEG), its usual way of
serving a slide. Goals: at least 3,000 tiles/s with p99 under 25 ms for kolva, and 20
times the re-encoding server's tiles/s.

The load generator is a small HTTP/1.1 client on asyncio streams rather than a full
client library: on a two-core machine it shares the CPU with the server, and the less
it costs per request, the more of the machine measures the server.

`--auth` measures the price of authentication instead: `kolva serve` with a token
file, every request carrying `Authorization: Bearer`, against the same server
without one. Goal: at least 0.9 times the unauthenticated tiles/s.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
import socket
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

GOAL_TILES_PER_S = 3000.0
GOAL_P99_MS = 25.0
GOAL_RATIO = 20.0
GOAL_AUTH_RATIO = 0.9
BENCH_TOKEN = "kolva-bench-token-0123456789abcdef"
ROUNDS = 4
REAL_SVS = Path(__file__).resolve().parents[1].parent / "shared/corpus/real/svs/CMU-1-Small-Region.svs"


# --------------------------------------------------------------------------- load generator
@dataclass
class LoadResult:
    requests: int
    errors: int
    seconds: float
    tiles_per_s: float
    p50_ms: float
    p99_ms: float
    bytes: int
    statuses: dict
    latencies: list = field(default_factory=list, repr=False)  # seconds, sorted


def _percentile(sorted_values: list[float], q: float) -> float:
    if not sorted_values:
        return float("nan")
    i = min(len(sorted_values) - 1, max(0, round(q * (len(sorted_values) - 1))))
    return sorted_values[i]


async def _client(host: str, port: int, paths: list[str], deadline: float, budget: list[int],
                  latencies: list[float], statuses: dict, totals: list[int],
                  rng: random.Random, extra: str = "") -> None:
    reader, writer = await asyncio.open_connection(host, port)
    try:
        while budget[0] > 0 and time.perf_counter() < deadline:
            budget[0] -= 1
            path = paths[rng.randrange(len(paths))]
            start = time.perf_counter()
            writer.write(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nAccept: image/*\r\n{extra}"
                         f"\r\n".encode())
            head = await reader.readuntil(b"\r\n\r\n")
            length = 0
            for line in head.split(b"\r\n")[1:]:
                if line[:15].lower() == b"content-length:":
                    length = int(line[15:])
                    break
            body = await reader.readexactly(length)
            latencies.append(time.perf_counter() - start)
            status = int(head[9:12])
            statuses[status] = statuses.get(status, 0) + 1
            totals[0] += len(body)
    except (OSError, asyncio.IncompleteReadError, ValueError):
        statuses["connection error"] = statuses.get("connection error", 0) + 1
    finally:
        writer.close()


async def _load(host: str, port: int, paths: list[str], clients: int, seconds: float,
                max_requests: int, seed: int, extra: str = "") -> LoadResult:
    latencies: list[float] = []
    statuses: dict = {}
    totals = [0]
    budget = [max_requests]
    start = time.perf_counter()
    deadline = start + seconds
    await asyncio.gather(*(
        _client(host, port, paths, deadline, budget, latencies, statuses, totals,
                random.Random(seed + i), extra) for i in range(clients)))
    elapsed = time.perf_counter() - start
    latencies.sort()
    errors = sum(n for s, n in statuses.items() if s != 200)
    return LoadResult(len(latencies), errors, elapsed, len(latencies) / elapsed,
                      _percentile(latencies, 0.50) * 1e3, _percentile(latencies, 0.99) * 1e3,
                      totals[0], {str(k): v for k, v in statuses.items()}, latencies)


def combine(parts: list[LoadResult]) -> LoadResult:
    """One result for several runs against the same server."""
    latencies = sorted(x for p in parts for x in p.latencies)
    seconds = sum(p.seconds for p in parts)
    statuses: dict = {}
    for p in parts:
        for k, v in p.statuses.items():
            statuses[k] = statuses.get(k, 0) + v
    return LoadResult(len(latencies), sum(p.errors for p in parts), seconds,
                      len(latencies) / seconds, _percentile(latencies, 0.50) * 1e3,
                      _percentile(latencies, 0.99) * 1e3, sum(p.bytes for p in parts),
                      statuses, latencies)


def run_load(host: str, port: int, paths: list[str], *, clients: int = 64,
             seconds: float = 3.0, max_requests: int = 1_000_000, seed: int = 0,
             headers: str = "") -> LoadResult:
    """`clients` concurrent keep-alive connections requesting random `paths` until
    `seconds` pass or `max_requests` were sent; `headers`: more header lines, each
    ending in CRLF."""
    try:
        import uvloop

        runner = uvloop.run
    except ImportError:
        runner = asyncio.run
    return runner(_load(host, port, paths, clients, seconds, max_requests, seed, headers))


# --------------------------------------------------------------------------- servers
def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port: int, proc: subprocess.Popen, timeout: float = 30.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with status {proc.returncode}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not start listening")


def start_server(kind: str, slide: str, port: int, workers: int = 1) -> subprocess.Popen:
    """This script in server mode, in its own process."""
    proc = subprocess.Popen([sys.executable, __file__, "--server", kind, slide, str(port),
                             str(workers)],
                            stdout=subprocess.DEVNULL)
    wait_for_port(port, proc)
    return proc


def stop_server(proc: subprocess.Popen) -> None:
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def deepzoom_app(slide_path: str):  # -> Starlette app
    """OpenSlide's DeepZoomGenerator behind Starlette: each tile decoded, scaled and
    re-encoded as JPEG on a worker thread."""
    import io

    import anyio.to_thread
    import openslide
    from openslide.deepzoom import DeepZoomGenerator
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, Response
    from starlette.routing import Route

    slide = openslide.OpenSlide(slide_path)
    dz = DeepZoomGenerator(slide, tile_size=240, overlap=0, limit_bounds=False)

    def render(level: int, x: int, y: int) -> bytes:
        out = io.BytesIO()
        dz.get_tile(level, (x, y)).save(out, format="JPEG", quality=75)
        return out.getvalue()

    async def tile(request):  # type: ignore[no-untyped-def]
        p = request.path_params
        try:
            data = await anyio.to_thread.run_sync(render, p["level"], p["x"], p["y"])
        except ValueError as exc:
            return JSONResponse({"error": str(exc)}, status_code=404)
        return Response(data, media_type="image/jpeg")

    app = Starlette(routes=[Route("/dz/{level:int}/{x:int}/{y:int}", tile)])
    app.state.levels = dz.level_count
    app.state.tiles = dz.level_tiles
    return app


def deepzoom_paths(slide_path: str) -> list[str]:
    """Tiles of the full-resolution Deep Zoom level: the same tiles a kolva client asks
    for at level 0."""
    import openslide
    from openslide.deepzoom import DeepZoomGenerator

    dz = DeepZoomGenerator(openslide.OpenSlide(slide_path), tile_size=240, overlap=0,
                           limit_bounds=False)
    level = dz.level_count - 1
    across, down = dz.level_tiles[level]
    return [f"/dz/{level}/{x}/{y}" for y in range(down) for x in range(across)]


def kolva_paths(slide_path: str) -> list[str]:
    import kolva
    from kolva.serve._catalog import slide_id

    sid = slide_id(slide_path)
    with kolva.open(slide_path) as slide:
        across, down = slide.levels[0].tile_grid
    return [f"/slides/{sid}/tiles/0/{x}/{y}" for y in range(down) for x in range(across)]


def _serve(kind: str, slide: str, port: int, workers: int) -> None:
    from kolva.serve import serve, serve_sources

    if kind == "kolva":
        serve_sources([slide], "127.0.0.1", port, workers=workers)
    elif kind == "kolva-auth":
        serve_sources([slide], "127.0.0.1", port, workers=workers,
                      token_file=os.environ["KOLVA_BENCH_TOKEN_FILE"])
    else:
        serve(deepzoom_app(slide), "127.0.0.1", port)


def summary(r: LoadResult) -> dict:
    out = asdict(r)
    del out["latencies"]
    return out


# --------------------------------------------------------------------------- main
def main() -> int:
    if len(sys.argv) == 6 and sys.argv[1] == "--server":
        _serve(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("slide", nargs="?", default=str(REAL_SVS))
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--clients", type=int, default=64)
    parser.add_argument("--max-requests", type=int, default=2_000_000)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="kolva server processes, as `kolva serve --workers` (default: "
                             "one per core; the re-encoding server's threads use every "
                             "core too)")
    parser.add_argument("--json", metavar="OUT", help="also write the results as JSON")
    parser.add_argument("--auth", action="store_true",
                        help="kolva with a bearer token against kolva without one")
    args = parser.parse_args()
    if not os.path.exists(args.slide):
        import kolva

        args.slide = str(kolva.example_path())
    if args.auth:
        return auth_main(args)

    load_before = os.getloadavg()
    # Both servers run side by side (the idle one costs nothing) and take turns in
    # ROUNDS rounds, so that other work on the machine weighs on both alike.
    servers = {}
    try:
        for kind, paths in (("kolva", kolva_paths(args.slide)),
                            ("deepzoom", deepzoom_paths(args.slide))):
            port = free_port()
            workers = args.workers if kind == "kolva" else 1
            servers[kind] = (start_server(kind, args.slide, port, workers), port, paths)
            run_load("127.0.0.1", port, paths, clients=args.clients, seconds=1.0)  # warm-up
        rounds: dict[str, list[LoadResult]] = {kind: [] for kind in servers}
        for i in range(ROUNDS):
            for kind, (_, port, paths) in servers.items():
                rounds[kind].append(run_load(
                    "127.0.0.1", port, paths, clients=args.clients,
                    seconds=args.seconds / ROUNDS, max_requests=args.max_requests // ROUNDS,
                    seed=i * 1000))
    finally:
        for proc, _, _ in servers.values():
            stop_server(proc)
    results = {kind: combine(parts) for kind, parts in rounds.items()}
    for kind, r in results.items():
        print(f"{kind:9s} {r.tiles_per_s:8.0f} tiles/s  p50 {r.p50_ms:6.2f} ms  "
              f"p99 {r.p99_ms:6.2f} ms  {r.requests} requests, {r.errors} errors, "
              f"{r.bytes / 1e6:.1f} MB")
    k, d = results["kolva"], results["deepzoom"]
    ratio = k.tiles_per_s / d.tiles_per_s if d.tiles_per_s else float("inf")
    goals = {
        f"kolva >= {GOAL_TILES_PER_S:.0f} tiles/s": k.tiles_per_s >= GOAL_TILES_PER_S,
        f"kolva p99 < {GOAL_P99_MS:.0f} ms": k.p99_ms < GOAL_P99_MS,
        f"kolva >= {GOAL_RATIO:.0f}x deepzoom tiles/s ({ratio:.1f}x)": ratio >= GOAL_RATIO,
        "no errors": k.errors == 0 and d.errors == 0,
    }
    print(f"  load average {load_before[0]:.1f} before, {os.getloadavg()[0]:.1f} after "
          f"({os.cpu_count()} cores)")
    for goal, met in goals.items():
        print(f"  {'met    ' if met else 'NOT MET'}  {goal}")
    if args.json:
        Path(args.json).write_text(json.dumps({
            "slide": os.path.basename(args.slide), "clients": args.clients,
            "seconds": args.seconds, "cpus": os.cpu_count(), "kolva_workers": args.workers,
            # Other work on the machine during the run (1-minute load average before
            # and after): the latency tail in particular depends on it.
            "load_average": [round(load_before[0], 2), round(os.getloadavg()[0], 2)],
            "kolva": summary(k), "deepzoom": summary(d), "ratio": ratio,
            "goals": goals}, indent=2) + "\n")
    return 0 if all(goals.values()) else 1


def auth_main(args: argparse.Namespace) -> int:
    """`kolva serve` with and without a token file, in alternating rounds."""
    import tempfile

    with tempfile.NamedTemporaryFile("w", suffix=".tokens", delete=False) as f:
        f.write(BENCH_TOKEN + "\n")
    os.environ["KOLVA_BENCH_TOKEN_FILE"] = f.name
    paths = kolva_paths(args.slide)
    headers = {"kolva": "", "kolva-auth": f"Authorization: Bearer {BENCH_TOKEN}\r\n"}
    servers = {}
    try:
        for kind in headers:
            port = free_port()
            servers[kind] = (start_server(kind, args.slide, port, args.workers), port)
            warm = run_load("127.0.0.1", port, paths, clients=args.clients, seconds=1.0,
                            headers=headers[kind])
            assert warm.errors == 0, (kind, warm.statuses)
        rounds: dict[str, list[LoadResult]] = {kind: [] for kind in servers}
        for i in range(ROUNDS):
            for kind, (_, port) in servers.items():
                rounds[kind].append(run_load(
                    "127.0.0.1", port, paths, clients=args.clients,
                    seconds=args.seconds / ROUNDS, max_requests=args.max_requests // ROUNDS,
                    seed=i * 1000, headers=headers[kind]))
    finally:
        for proc, _ in servers.values():
            stop_server(proc)
        os.unlink(f.name)
    results = {kind: combine(parts) for kind, parts in rounds.items()}
    for kind, r in results.items():
        print(f"{kind:10s} {r.tiles_per_s:8.0f} tiles/s  p50 {r.p50_ms:6.2f} ms  "
              f"p99 {r.p99_ms:6.2f} ms  {r.requests} requests, {r.errors} errors")
    plain, auth = results["kolva"], results["kolva-auth"]
    ratio = auth.tiles_per_s / plain.tiles_per_s if plain.tiles_per_s else 0.0
    met = ratio >= GOAL_AUTH_RATIO and plain.errors == 0 and auth.errors == 0
    print(f"  {'met    ' if met else 'NOT MET'}  authenticated >= {GOAL_AUTH_RATIO}x "
          f"unauthenticated tiles/s ({ratio:.3f}x), no errors")
    if args.json:
        Path(args.json).write_text(json.dumps({
            "slide": os.path.basename(args.slide), "clients": args.clients,
            "seconds": args.seconds, "kolva_workers": args.workers,
            "kolva": summary(plain), "kolva_auth": summary(auth), "ratio": ratio,
            "goal_met": met}, indent=2) + "\n")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
