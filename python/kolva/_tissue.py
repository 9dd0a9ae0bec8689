"""Which tiles of a level hold tissue, told from their stored sizes alone: background
(glass) compresses far better than tissue, so the sizes of a level's tiles fall into
two groups that Otsu's method on their logarithm separates. `kolva export
--min-bytes`, `Slide.tissue_tiles` and `kolva.torch` keep the same tiles."""
from __future__ import annotations

import math
import re
from collections.abc import Sequence

# Size filters below this many tiles fall back to keeping every tile.
AUTO_MIN_TILES = 16
# The two classes Otsu's method finds must be this far apart (ratio of their
# geometric mean sizes) and explain this share of the variance of the log sizes,
# or the slide is taken to have no background (a unimodal spread gets split
# in two by Otsu's method all the same).
AUTO_MIN_RATIO = 3.0
AUTO_MIN_SEPARATION = 0.7
# The least spread (of the log sizes) taken for the background group.
AUTO_MIN_SPREAD = 0.05

_SIZE_UNITS = {"": 1, "b": 1, "k": 1000, "kb": 1000, "kib": 1024, "m": 1000**2, "mb": 1000**2,
               "mib": 1024**2, "g": 1000**3, "gb": 1000**3, "gib": 1024**3,
               "t": 1000**4, "tb": 1000**4, "tib": 1024**4}


def parse_size(text: str | int, what: str) -> int:
    """Bytes from 123, "123", "64KB", "1GB", "1.5GiB" (KB = 1000, KiB = 1024)."""
    if isinstance(text, bool):
        raise ValueError(f"{what} must be a size in bytes, not {text!r}")
    if isinstance(text, int):
        value = text
    else:
        m = re.fullmatch(r"\s*([0-9]+(?:\.[0-9]*)?)\s*([A-Za-z]*)\s*", str(text))
        unit = m.group(2).lower() if m else ""
        if not m or unit not in _SIZE_UNITS:
            raise ValueError(f"{what} must be a size such as 1GB, 64MiB or 4096, not {text!r}")
        value = int(float(m.group(1)) * _SIZE_UNITS[unit])
    if value < 0:
        raise ValueError(f"{what} must not be negative")
    return value


def otsu_threshold(sizes: Sequence[int], bins: int = 128) -> int:
    """The stored size below which a slide's tiles are background, by Otsu's method on
    the logarithm of the sizes; 0 (keep every tile) when the sizes do not fall into
    two clearly separate groups or there are too few of them."""
    if len(sizes) < AUTO_MIN_TILES:
        return 0
    logs = [math.log(max(int(s), 1)) for s in sizes]
    lo, hi = min(logs), max(logs)
    if hi - lo < math.log(AUTO_MIN_RATIO):
        return 0
    width = (hi - lo) / bins
    hist = [0] * bins
    sums = [0.0] * bins
    for v in logs:
        b = min(int((v - lo) / width), bins - 1)
        hist[b] += 1
        sums[b] += v
    n = len(logs)
    total = sum(sums)
    mean = total / n
    var_total = sum((v - mean) ** 2 for v in logs) / n
    best, best_b = -1.0, 0
    w0 = s0 = 0.0
    for b in range(bins - 1):
        w0 += hist[b]
        s0 += sums[b]
        w1 = n - w0
        if w0 == 0 or w1 == 0:
            continue
        m0, m1 = s0 / w0, (total - s0) / w1
        between = w0 * w1 * (m0 - m1) ** 2 / (n * n)
        if between > best:
            best, best_b = between, b
    if best <= 0 or var_total <= 0:
        return 0
    cut = lo + (best_b + 1) * width
    low = [v for v in logs if v < cut]
    high = [v for v in logs if v >= cut]
    if not low or not high:
        return 0
    low_mean = sum(low) / len(low)
    ratio = math.exp(sum(high) / len(high) - low_mean)
    if ratio < AUTO_MIN_RATIO or best / var_total < AUTO_MIN_SEPARATION:
        return 0
    # Background tiles vary little in size; tiles at the edge of the tissue, mostly
    # glass with some tissue, lie between the groups. Keep them: cut just above the
    # bulk of the background group (its median plus four robust deviations, from the
    # median absolute deviation) when that is below Otsu's cut.
    low.sort()
    median = low[len(low) // 2]
    mad = sorted(abs(v - median) for v in low)[len(low) // 2]
    spread = max(1.4826 * mad, AUTO_MIN_SPREAD)
    return int(math.ceil(math.exp(min(cut, median + 4 * spread))))


def select_by_size(sizes: Sequence[int],
                   min_bytes: int | str | None) -> tuple[int, list[tuple[int, int]]]:
    """The size filter of `kolva export --min-bytes` over the sizes of one level's
    tiles, row-major, as `Slide.tile_sizes` gives them (-1: not stored, -2: cannot be
    read): (threshold, [(tile index, size) of every stored tile of at least that
    size]). `min_bytes` is a number of bytes, "auto" (Otsu's cut of the stored sizes,
    see otsu_threshold) or None (every stored tile). `Slide.tissue_tiles` keeps the
    same tiles."""
    present = [(i, int(s)) for i, s in enumerate(sizes) if s >= 0]
    if min_bytes == "auto":
        threshold = otsu_threshold([s for _, s in present])
    else:
        threshold = int(min_bytes or 0)
    return threshold, [(i, s) for i, s in present if s >= threshold]
