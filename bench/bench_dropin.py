"""Deep Zoom tiles through kolva.openslide against openslide-python's DeepZoomGenerator
on the same slide, in one run.

    python bench/bench_dropin.py [SLIDE] [--tiles 400] [--out bench/results-dropin.json]

Default slide: a 4096 x 3072 Aperio SVS (JPEG, 240-px tiles, 3 levels) built with the
test fixtures. Both generators get the same tile_size (254), overlap (1) and the same
tile addresses: the tiles of the smaller Deep Zoom levels (up to half), then a seeded
sample of the full-resolution level, --tiles in all, each tile encoded
as JPEG (quality 75) as a viewer's tile server does. Reports tiles per second and the
ratio kolva / OpenSlide; timings depend on the machine, the ratio is the point.
"""
from __future__ import annotations

import argparse
import io
import json
import random
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import kolva  # noqa: E402


def addresses(dz, count: int, seed: int = 7) -> list[tuple[int, tuple[int, int]]]:
    """Every tile of the Deep Zoom levels below the top one, then random top tiles
    (at least half of `count`)."""
    top = dz.level_count - 1
    small = [(lv, (c, r)) for lv in range(top) for r in range(dz.level_tiles[lv][1])
             for c in range(dz.level_tiles[lv][0])][-count // 2:]
    across, down = dz.level_tiles[top]
    rng = random.Random(seed)
    return small + [(top, (rng.randrange(across), rng.randrange(down)))
                    for _ in range(count - len(small))]


def rate(dz, picks) -> float:
    t = time.perf_counter()
    for level, address in picks:
        dz.get_tile(level, address).save(io.BytesIO(), "JPEG", quality=75)
    return len(picks) / (time.perf_counter() - t)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("slide", nargs="?")
    ap.add_argument("--tiles", type=int, default=400)
    ap.add_argument("--out", type=Path)
    args = ap.parse_args()
    if not hasattr(kolva.Slide, "read_region"):
        sys.exit("kolva.Slide.read_region is needed (pixels): not in this build")
    import openslide
    from openslide.deepzoom import DeepZoomGenerator as OpenSlideDeepZoom

    import kolva.openslide as kos
    from kolva.openslide.deepzoom import DeepZoomGenerator

    with tempfile.TemporaryDirectory() as tmp:
        path = args.slide
        if path is None:
            from fixtures.tiff_slides import make_aperio_svs

            levels = ((4096, 3072, 240), (1024, 768, 240), (256, 192, 240))
            path = str(make_aperio_svs(Path(tmp) / "bench.svs", levels=levels).path)
        ours = DeepZoomGenerator(kos.OpenSlide(path))
        theirs = OpenSlideDeepZoom(openslide.OpenSlide(path))
        picks = addresses(ours, args.tiles)
        rate(ours, picks[:20])  # warm the page cache for both
        results = {"slide": Path(path).name, "tiles": len(picks),
                   "openslide_tiles_per_s": rate(theirs, picks),
                   "kolva_tiles_per_s": rate(ours, picks)}
    results["ratio_kolva_over_openslide"] = (results["kolva_tiles_per_s"]
                                             / results["openslide_tiles_per_s"])
    print(json.dumps(results, indent=2))
    if args.out:
        args.out.write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
