"""NDPI edge tiles extended to full frames: kolva._core.extend_jpeg (libjpeg's
coefficient API) against the pure-Python entropy coder kolva convert used before,
taken from git history (ratio in one run).

    python bench/bench_extend.py [REV]   # REV: a commit that still has the Python coder
"""
from __future__ import annotations

import io
import subprocess
import sys
import time
import types
from pathlib import Path

import numpy as np
from PIL import Image

from kolva import _core

ROOT = Path(__file__).resolve().parents[1]
REV = sys.argv[1] if len(sys.argv) > 1 else "97fd113"


def python_coder() -> types.ModuleType:
    source = subprocess.run(["git", "-C", str(ROOT), "show", f"{REV}:python/kolva/_convert/extend.py"],
                            check=True, capture_output=True, text=True).stdout
    module = types.ModuleType("old_extend")
    exec(compile(source, "old_extend.py", "exec"), module.__dict__)
    return module


def edge_tile() -> bytes:
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:400, 0:300]
    pixels = np.stack([(x + y) % 256, (2 * y) % 256, (3 * x) % 256], -1).astype(np.int16)
    pixels += rng.integers(-30, 30, pixels.shape, dtype=np.int16)
    buf = io.BytesIO()
    Image.fromarray(np.clip(pixels, 0, 255).astype(np.uint8)).save(buf, "JPEG", quality=85)
    return buf.getvalue()  # a 300 x 400 4:2:0 tile at the edge of a 512 x 512 grid


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main() -> None:
    old = python_coder()
    data = edge_tile()
    same = old.extend_jpeg(data, 512, 512) == _core.extend_jpeg(data, 512, 512)
    t_py = best(lambda: old.extend_jpeg(data, 512, 512), 3)
    t_c = best(lambda: _core.extend_jpeg(data, 512, 512), 50)
    print(f"300 x 400 JPEG -> 512 x 512, {len(data)} bytes; same bytes: {same}")
    print(f"python coder {t_py * 1e3:9.2f} ms")
    print(f"libjpeg      {t_c * 1e3:9.2f} ms   ratio {t_py / t_c:.0f}x")


if __name__ == "__main__":
    main()
