"""Regenerates the example slide bundled with the `kolva` package.

    python tools/make_example.py

writes python/kolva/example/example.svs: a small Aperio SVS (three JPEG levels plus
thumbnail, label and macro) built with the test suite's fixture builder, so it is a
file the reader is known to serve tile for tile. The content is seeded, so running
the script again gives the same pixels.
"""
from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from fixtures import tiff_slides  # noqa: E402

EXAMPLE = ROOT / "python" / "kolva" / "example" / "example.svs"

# (width, height, tile) per level: a 4 x 3 grid of 240-pixel tiles at level 0 with
# a partial last column and row, then two reductions.
LEVELS = ((880, 600, 240), (440, 300, 240), (220, 150, 240))


def build(path: Path) -> tiff_slides.BuiltSlide:
    """Write the example slide to `path`; the result lists every tile's bytes."""
    return tiff_slides.make_aperio_svs(path, levels=LEVELS, quality=75, seed=7)


def main() -> int:
    slide = build(EXAMPLE)
    size = EXAMPLE.stat().st_size
    print(f"{EXAMPLE.relative_to(ROOT)}: {size} bytes, "
          f"{len(slide.levels)} levels, level 0 {slide.dimensions[0]} x {slide.dimensions[1]}")
    if size > 200_000:
        print("warning: the example should stay under 200 KB", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
