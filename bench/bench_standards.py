"""The standards faces of `kolva serve` against its tile path, and the tile path
against nginx serving the same tiles as static files.

    python bench/bench_standards.py [SLIDE] [--seconds 20] [--clients 64] [--workers 2]
                                    [--json OUT]

One `kolva serve` (WORKERS processes) serves SLIDE; the load generator of
bench_serve.py (CLIENTS keep-alive connections, random tiles of level 0) asks it in
alternating rounds for

- `tiles`: `/slides/{id}/tiles/0/{x}/{y}`, the stored tile;
- `wado`:  `/dicomweb/studies/…/instances/{sop}/frames/{n}` for the same tiles, one
  frame per request as multipart/related (`Accept: multipart/related;
  type="image/jpeg"`);
- `iiif`:  `/iiif/{id}/{x},{y},{w},{h}/{w},/0/default.jpg` for the same tiles (the
  requests OpenSeadragon makes, answered with the stored bytes);

and `nginx`: the same tiles written out as files, served by nginx (one worker per
core, sendfile, keep-alive) when it is installed. Goals: WADO frames at least 0.8
times and IIIF stored tiles at least 0.9 times the tile path's requests per second.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_serve import (REAL_SVS, LoadResult, combine, free_port, run_load,  # noqa: E402
                         stop_server, summary, wait_for_port)

# Short rounds, each kind in turn and the order turned every round: on a shared
# machine the other work changes within seconds, and falls on every kind alike.
ROUNDS = 10

GOALS = {"wado": 0.8, "iiif": 0.9}
FRAME_ACCEPT = 'Accept: multipart/related; type="image/jpeg"\r\n'


def start_kolva(slide: str, port: int, workers: int) -> subprocess.Popen:
    proc = subprocess.Popen([sys.executable, "-m", "kolva", "serve", slide, "--port", str(port),
                             "--workers", str(workers)], stdout=subprocess.DEVNULL)
    wait_for_port(port, proc)
    return proc


def paths(base: str, slide: str) -> dict[str, list[str]]:
    """The request paths of each kind, for the same interior tiles of level 0."""
    import httpx

    import kolva
    from kolva.serve._catalog import slide_id

    sid = slide_id(slide)
    with httpx.Client(base_url=base, timeout=120) as client:
        series = client.get(f"/dicomweb/slides/{sid}").headers["location"]
        series = series[series.index("/dicomweb"):]
        level0 = next(i for i in client.get(f"{series}/instances",
                                            params={"includefield": "all"}).json()
                      if i["00200013"]["Value"] == [1])
        sop = level0["00080018"]["Value"][0]
    with kolva.open(slide) as s:
        lv = s.levels[0]
        gx, gy = lv.tile_grid
        tw, th = lv.tile_size
    coords = [(x, y) for y in range(gy - 1) for x in range(gx - 1)]  # interior tiles
    return {
        "tiles": [f"/slides/{sid}/tiles/0/{x}/{y}" for x, y in coords],
        "wado": [f"{series}/instances/{sop}/frames/{y * gx + x + 1}" for x, y in coords],
        "iiif": [f"/iiif/{sid}/{x * tw},{y * th},{tw},{th}/{tw},/0/default.jpg"
                 for x, y in coords],
        "nginx": [f"/t/{x}/{y}.jpg" for x, y in coords],
    }


def start_nginx(slide: str, root: Path, port: int, workers: int) -> subprocess.Popen | None:
    """nginx serving level 0's interior tiles as files under /t/{x}/{y}.jpg."""
    binary = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx")
                                       else None)
    if binary is None:
        return None
    import kolva

    with kolva.open(slide) as s:
        gx, gy = s.levels[0].tile_grid
        for y in range(gy - 1):
            for x in range(gx - 1):
                d = root / "t" / str(x)
                d.mkdir(parents=True, exist_ok=True)
                (d / f"{y}.jpg").write_bytes(s.read_tile(0, x, y))
    root.chmod(0o755)  # nginx's workers may run as another user
    conf = root / "nginx.conf"
    conf.write_text(f"""
worker_processes {workers};
pid {root}/nginx.pid;
error_log {root}/error.log;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on; tcp_nopush on; keepalive_requests 100000;
    client_body_temp_path {root}/body; proxy_temp_path {root}/proxy;
    fastcgi_temp_path {root}/fastcgi; uwsgi_temp_path {root}/uwsgi; scgi_temp_path {root}/scgi;
    types {{ image/jpeg jpg; }}
    server {{ listen 127.0.0.1:{port}; root {root}; etag on; }}
}}
""")
    proc = subprocess.Popen([binary, "-c", str(conf), "-p", str(root), "-g", "daemon off;"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(port, proc)
    return proc


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("slide", nargs="?", default=str(REAL_SVS))
    parser.add_argument("--seconds", type=float, default=20.0, help="per kind, in all")
    parser.add_argument("--clients", type=int, default=64)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--json", metavar="OUT")
    args = parser.parse_args()
    if not os.path.exists(args.slide):
        import kolva

        args.slide = str(kolva.example_path())
    load_before = os.getloadavg()
    port, nginx_port = free_port(), free_port()
    kolva_proc = start_kolva(args.slide, port, args.workers)
    root = Path(tempfile.mkdtemp(prefix="kolva-bench-nginx-"))
    nginx = None
    try:
        kinds = paths(f"http://127.0.0.1:{port}", args.slide)
        nginx = start_nginx(args.slide, root, nginx_port, args.workers)
        if nginx is None:
            print("nginx is not installed: the static baseline is left out")
            del kinds["nginx"]
        ports = {k: nginx_port if k == "nginx" else port for k in kinds}
        headers = {k: FRAME_ACCEPT if k == "wado" else "" for k in kinds}
        for kind, p in kinds.items():  # warm-up (and the first DICOMweb description)
            warm = run_load("127.0.0.1", ports[kind], p, clients=args.clients, seconds=1.0,
                            headers=headers[kind])
            assert warm.errors == 0, (kind, warm.statuses)
        rounds: dict[str, list[LoadResult]] = {k: [] for k in kinds}
        order = list(kinds)
        for i in range(ROUNDS):
            for kind in order[i % len(order):] + order[:i % len(order)]:
                p = kinds[kind]
                rounds[kind].append(run_load("127.0.0.1", ports[kind], p, clients=args.clients,
                                             seconds=args.seconds / ROUNDS, seed=i * 1000,
                                             headers=headers[kind]))
    finally:
        stop_server(kolva_proc)
        if nginx is not None:
            stop_server(nginx)
        shutil.rmtree(root, ignore_errors=True)
    results = {k: combine(parts) for k, parts in rounds.items()}
    for kind, r in results.items():
        print(f"{kind:6s} {r.tiles_per_s:8.0f} req/s  p50 {r.p50_ms:6.2f} ms  "
              f"p99 {r.p99_ms:6.2f} ms  {r.requests} requests, {r.errors} errors, "
              f"{r.bytes / 1e6:.1f} MB")
    tiles = results["tiles"].tiles_per_s
    ratios = {k: results[k].tiles_per_s / tiles for k in results if k != "tiles"}
    goals = {f"{k} >= {g}x tile path ({ratios[k]:.3f}x)": ratios[k] >= g
             for k, g in GOALS.items()}
    goals["no errors"] = all(r.errors == 0 for r in results.values())
    print(f"  load average {load_before[0]:.1f} before, {os.getloadavg()[0]:.1f} after "
          f"({os.cpu_count()} cores)")
    if "nginx" in ratios:
        print(f"  tile path = {1 / ratios['nginx']:.3f}x nginx static files")
    for goal, met in goals.items():
        print(f"  {'met    ' if met else 'NOT MET'}  {goal}")
    if args.json:
        Path(args.json).write_text(json.dumps({
            "slide": os.path.basename(args.slide), "clients": args.clients,
            "seconds": args.seconds, "cpus": os.cpu_count(), "kolva_workers": args.workers,
            "load_average": [round(load_before[0], 2), round(os.getloadavg()[0], 2)],
            "results": {k: summary(r) for k, r in results.items()},
            "ratios_to_tile_path": ratios, "goals": goals,
            "when": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}, indent=2) + "\n")
    return 0 if all(goals.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
