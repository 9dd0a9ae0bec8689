"""Decoded patches of a chosen size at a chosen resolution, over tissue, for
`kolva.torch.TileDataset(..., patch_size=, mpp=)`.

For a target `mpp` the level read is the smallest one (the largest downsample)
whose pixels are no coarser than asked; when it does not match the target, each
patch is read at the size that covers the same area and resized (antialiased) to
`patch_size`. Patches lie on a grid of the level, kept where their centre falls
in a tissue tile (told from the stored tile sizes, as `Slide.tissue_tiles`), and
are decoded in batches through `Slide.read_regions`.
"""
from __future__ import annotations

import math
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import torch
from torch.utils.data import IterableDataset, get_worker_info

import kolva

from ._export.plan import expand_sources


@dataclass(frozen=True)
class PatchGrid:
    """The patches of one slide: its level, the read size and level-0 origins."""

    source: str
    level: int
    read_size: int            # level pixels each patch covers
    mpp: tuple[float, float]  # of the patches as returned
    origins: np.ndarray       # (n, 2) int64, level-0 pixels


def choose_level(slide: kolva.Slide, mpp: float | None) -> tuple[int, float]:
    """(level, scale): the level to read and level pixels per output pixel."""
    if mpp is None:
        return 0, 1.0
    base = slide.mpp
    if base is None:
        raise ValueError(f"{slide.source}: the file does not give its pixel size, so mpp= "
                         "cannot be met")
    want = mpp / base[0]  # downsample asked of level 0
    level = slide.get_best_level_for_downsample(want * (1 + 1e-3))
    scale = want / slide.level_downsamples[level]
    return level, 1.0 if abs(scale - 1) < 1e-3 else scale


def plan_patches(slide: kolva.Slide, patch_size: int, mpp: float | None,
                 tissue: bool = True) -> PatchGrid:
    level, scale = choose_level(slide, mpp)
    read = max(1, round(patch_size * scale))
    lv = slide.levels[level]
    w, h = lv.dimensions
    grid_x, grid_y = np.meshgrid(np.arange(0, max(1, w - read + 1), read),
                                 np.arange(0, max(1, h - read + 1), read))
    xs, ys = grid_x.ravel(), grid_y.ravel()
    if tissue:
        tw, th = lv.tile_size
        kept = np.zeros(lv.tile_grid[::-1], bool)
        for x, y in slide.tissue_tiles(level):
            kept[y, x] = True
        centre = kept[np.minimum((ys + read // 2) // th, kept.shape[0] - 1),
                      np.minimum((xs + read // 2) // tw, kept.shape[1] - 1)]
        xs, ys = xs[centre], ys[centre]
    ds = lv.downsample
    origins = np.stack([np.floor(xs * ds), np.floor(ys * ds)], 1).astype(np.int64)
    base = slide.mpp
    out_mpp = (math.nan, math.nan) if base is None else (base[0] * ds * scale,
                                                          base[1] * ds * scale)
    return PatchGrid(str(slide.source), level, read, out_mpp, origins)


class PatchDataset(IterableDataset[dict[str, Any]]):
    """Patches of `patch_size` pixels at `mpp` micrometres per pixel (None: level 0
    as stored) of every slide of `sources`, over tissue (`tiles="tissue"`) or
    everywhere ("all"). Items: image (C x H x W uint8 tensor), slide, level, x, y
    (level-0 pixels), mpp. Each DataLoader worker takes its share of the slides'
    batches; `batch_tiles` patches are decoded per `read_regions` call on
    `read_threads` threads."""

    def __init__(self, sources: Any, level: int = 0, tiles: str | Sequence[Any] = "tissue",
                 shuffle: bool = True, seed: int = 0, batch_tiles: int = 64,
                 max_open: int = 64, decode: str | None = "cpu",
                 transform: Callable[[Any], Any] | None = None, *, patch_size: int,
                 mpp: float | None = None, read_threads: int | None = None,
                 open_options: dict[str, Any] | None = None, **_: Any) -> None:
        super().__init__()
        if patch_size < 1 or batch_tiles < 1:
            raise ValueError("patch_size and batch_tiles must be at least 1")
        if tiles not in ("tissue", "all"):
            raise ValueError('with patch_size, tiles must be "tissue" or "all"')
        self.patch_size, self.mpp = patch_size, mpp
        self.shuffle, self.seed, self.batch_tiles = shuffle, seed, batch_tiles
        self.transform, self.read_threads = transform, read_threads
        self.open_options = dict(open_options or {})
        self.grids: list[PatchGrid] = []
        for source in expand_sources(sources):
            with kolva.open(source, **self.open_options) as slide:
                self.grids.append(plan_patches(slide, patch_size, mpp, tiles == "tissue"))

    def __len__(self) -> int:
        return sum(len(g.origins) for g in self.grids)

    def _batches(self) -> list[tuple[int, np.ndarray]]:
        out = []
        rng = np.random.default_rng(self.seed)
        for i, g in enumerate(self.grids):
            order = rng.permutation(len(g.origins)) if self.shuffle else np.arange(len(g.origins))
            out += [(i, order[a:a + self.batch_tiles])
                    for a in range(0, len(order), self.batch_tiles)]
        if self.shuffle:
            out = [out[k] for k in rng.permutation(len(out))]
        return out

    def __iter__(self) -> Iterator[dict[str, Any]]:
        info = get_worker_info()
        batches = self._batches()
        if info is not None:
            batches = batches[info.id::info.num_workers]
        slides: dict[int, kolva.Slide] = {}
        try:
            for i, picked in batches:
                g = self.grids[i]
                slide = slides.get(i)
                if slide is None:
                    slide = slides[i] = kolva.open(g.source, **self.open_options)
                origins = g.origins[picked]
                pixels = torch.from_numpy(slide.read_regions(
                    g.level, origins.tolist(), (g.read_size, g.read_size),
                    threads=self.read_threads)).permute(0, 3, 1, 2)
                if g.read_size != self.patch_size:
                    pixels = torch.nn.functional.interpolate(
                        pixels.float(), size=(self.patch_size, self.patch_size),
                        mode="bilinear", antialias=True, align_corners=False,
                    ).round_().clamp_(0, 255).to(torch.uint8)
                for k, (x, y) in enumerate(origins.tolist()):
                    image: Any = pixels[k]
                    if self.transform is not None:
                        image = self.transform(image)
                    yield {"image": image, "slide": g.source, "level": g.level, "x": x,
                           "y": y, "mpp": g.mpp}
        finally:
            for s in slides.values():
                s.close()
