"""The NDPI levels OpenSlide adds below the stored ones.

An NDPI file stores a few JPEG levels; OpenSlide also offers the smallest of them
decoded at 1/2, 1/4 and 1/8 scale (libjpeg's DCT scaling), as levels of their own.
kolva stores no such level, so they are decoded here from the smallest level's tiles
with the same scaling (Pillow's `draft`), once per scale.
"""
from __future__ import annotations

import threading
from io import BytesIO
from typing import TYPE_CHECKING, Any

from PIL import Image

if TYPE_CHECKING:
    import numpy as np

    from .._slide import Slide

SCALES = (2, 4, 8)


def scaled_levels(slide: Slide) -> list[tuple[int, int, int]]:
    """(scale, width, height) of the levels OpenSlide adds to an NDPI slide."""
    if slide.format != "ndpi":
        return []
    w, h = slide.level_dimensions[-1]
    return [(k, w // k, h // k) for k in SCALES if w // k and h // k]


class ScaledLevels:
    """The smallest stored level decoded at each scale, when first read."""

    def __init__(self, slide: Slide) -> None:
        self._slide = slide
        self._decoded: dict[int, np.ndarray] = {}
        self._lock = threading.Lock()

    def level(self, scale: int) -> np.ndarray:
        """RGBA pixels of the level at 1/`scale`, alpha 255 where a tile is stored."""
        with self._lock:
            if scale not in self._decoded:
                self._decoded[scale] = self._decode(scale)
            return self._decoded[scale]

    def _decode(self, scale: int) -> np.ndarray:
        import numpy as np

        from .._core import TileNotFound

        slide, last = self._slide, self._slide.level_count - 1
        lv = slide.levels[last]
        w, h = lv.dimensions
        out = np.zeros((h // scale, w // scale, 4), np.uint8)
        for y in range(lv.tile_grid[1]):
            for x in range(lv.tile_grid[0]):
                try:
                    data = slide.read_tile(last, x, y)
                except TileNotFound:
                    continue
                left, top, tw, th = slide.tile_box(last, x, y)
                pixels = _decode_scaled(data, scale)
                part = pixels[:-(-th // scale), :-(-tw // scale)]
                part = part[:out.shape[0] - top // scale, :out.shape[1] - left // scale]
                rows, cols = part.shape[:2]
                out[top // scale:top // scale + rows, left // scale:left // scale + cols, :3] = part
                out[top // scale:top // scale + rows, left // scale:left // scale + cols, 3] = 255
        return out


def _decode_scaled(data: bytes, scale: int) -> Any:
    import numpy as np

    with Image.open(BytesIO(data)) as im:
        im.draft("RGB", (-(-im.width // scale), -(-im.height // scale)))
        return np.asarray(im.convert("RGB"))


def crop(level: np.ndarray, location: tuple[int, int], size: tuple[int, int]) -> np.ndarray:
    """`size` pixels of `level` from `location` (level pixels), transparent outside."""
    import numpy as np

    (x, y), (w, h) = location, size
    out = np.zeros((h, w, 4), np.uint8)
    x0, y0 = max(x, 0), max(y, 0)
    x1, y1 = min(x + w, level.shape[1]), min(y + h, level.shape[0])
    if x0 < x1 and y0 < y1:
        out[y0 - y:y1 - y, x0 - x:x1 - x] = level[y0:y1, x0:x1]
    return out
