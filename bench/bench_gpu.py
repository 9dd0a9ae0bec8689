#!/usr/bin/env python3
"""Decoded tiles per second on a GPU: kolva's batches of stored tiles decoded by
nvImageCodec against cuCIM and OpenSlide + torchvision, on the same tiles.

    python bench/bench_gpu.py            # the big SVS of bench.py (40,000 x 30,000)
    python bench/bench_gpu.py --quick    # a small SVS: a smoke test

Runs unchanged on any machine: what cannot run there (no CUDA device, a package
missing) is printed with the reason, and the rest is measured. Every reader decodes
the same random level-0 tiles into uint8 C x H x W tensors on the GPU:
  * kolva-nvimgcodec: `kolva.torch.TileDataset(decode="cuda")`: `read_tiles_into` a
    pinned buffer, one nvImageCodec batch decode per read batch;
  * kolva-torchvision: kolva's raw batches decoded by `torchvision.io.decode_jpeg(...,
    device="cuda")` (nvJPEG through torchvision);
  * cucim: cuCIM `read_region(..., device="cuda")`, batched over the same locations;
  * openslide-torchvision: OpenSlide `read_region` in 2 DataLoader workers, the RGB
    tiles made tensors with torchvision and copied to the GPU from pinned memory.
Results go to bench/results-gpu.json (--quick: bench/.cache/).
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
sys.path.insert(0, str(HERE))

import bench  # noqa: E402
from bench_torch import big_svs  # noqa: E402


class NotRun(Exception):
    """A reader that cannot run on this machine; the message says why."""


def need(module: str, package: str):
    try:
        return __import__(module, fromlist=["_"])
    except ImportError as exc:
        raise NotRun(f"{package} is not installed ({exc})") from None


def cuda():
    torch = need("torch", "torch")
    if not torch.cuda.is_available():
        raise NotRun(f"no CUDA device (torch {torch.__version__}, "
                     f"CUDA build: {torch.version.cuda or 'none'})")
    return torch


def kolva_nvimgcodec(path, coords, tile, batch):
    torch = cuda()
    need("nvidia.nvimgcodec", "nvidia-nvimgcodec-cu12")
    from kolva.torch import TileDataset

    ds = TileDataset(str(path), tiles=coords, decode="cuda", batch_tiles=batch, mix=1)

    def run() -> int:
        n = 0
        for item in ds:
            n += 1
            assert item["tile"].is_cuda
        torch.cuda.synchronize()
        return n
    return run


def kolva_torchvision(path, coords, tile, batch):
    torch = cuda()
    tv_io = need("torchvision.io", "torchvision")
    import kolva

    slide = kolva.open(path)
    pinned = torch.empty(int(slide.tile_nbytes(0, coords).sum()), dtype=torch.uint8,
                         pin_memory=True)

    def run() -> int:
        n = 0
        for i in range(0, len(coords), batch):
            part = coords[i:i + batch]
            offsets = slide.read_tiles_into(0, part, pinned).tolist()
            images = tv_io.decode_jpeg([pinned[a:b] for a, b in zip(offsets[:-1], offsets[1:])],
                                       device="cuda")
            n += len(images)
        torch.cuda.synchronize()
        return n
    return run


def cucim(path, coords, tile, batch):
    torch = cuda()
    cucim_mod = need("cucim", "cucim-cu12")
    image = cucim_mod.CuImage(str(path))
    locations = [(x * tile, y * tile) for x, y in coords]

    def run() -> int:
        n = 0
        regions = image.read_region(locations, (tile, tile), level=0, batch_size=batch,
                                    num_workers=2, device="cuda")
        for region in regions:
            t = torch.as_tensor(region, device="cuda")
            n += t.shape[0] if t.ndim == 4 else 1
        torch.cuda.synchronize()
        return n
    return run


def openslide_torchvision(path, coords, tile, batch):
    torch = cuda()
    need("openslide", "openslide-python")
    functional = need("torchvision.transforms.functional", "torchvision")
    from torch.utils.data import DataLoader, Dataset

    class Regions(Dataset):
        def __init__(self) -> None:
            self.slide = None

        def __len__(self) -> int:
            return len(coords)

        def __getitem__(self, i: int):
            if self.slide is None:
                import openslide
                self.slide = openslide.OpenSlide(str(path))
            x, y = coords[i]
            region = self.slide.read_region((x * tile, y * tile), 0, (tile, tile))
            return functional.pil_to_tensor(region.convert("RGB"))

    def run() -> int:
        n = 0
        for b in DataLoader(Regions(), batch_size=batch, num_workers=2, pin_memory=True):
            n += len(b.to("cuda", non_blocking=True))
        torch.cuda.synchronize()
        return n
    return run


READERS = {"kolva-nvimgcodec": kolva_nvimgcodec, "kolva-torchvision": kolva_torchvision,
           "cucim": cucim, "openslide-torchvision": openslide_torchvision}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--reps", type=int, default=0)
    ap.add_argument("--tiles", type=int, default=0)
    args = ap.parse_args()
    reps = args.reps or (2 if args.quick else 5)
    cache = HERE / ".cache"
    path = big_svs(cache, args.quick)
    level0 = bench.Level0(path, "svs", None)
    tile = level0.tile[0]
    coords = list(level0.tiles)
    random.Random(5).shuffle(coords)
    coords = coords[:args.tiles or (256 if args.quick else 4096)]
    batch = 64 if args.quick else 256

    runners, skipped = {}, {}
    for name, make in READERS.items():
        try:
            runners[name] = make(path, coords, tile, batch)
            runners[name]()  # warm-up: start-up, first CUDA kernels
        except NotRun as exc:
            skipped[name] = str(exc)
        except Exception as exc:  # noqa: BLE001 - a reader that fails is reported, not fatal
            skipped[name] = f"failed: {type(exc).__name__}: {exc}"
    samples: dict[str, list[float]] = {n: [] for n in runners}
    for _ in range(reps):
        for name, run in runners.items():
            t = time.perf_counter()
            n = run()
            samples[name].append(n / (time.perf_counter() - t))
    rate = {n: statistics.median(v) for n, v in samples.items()}
    print(f"{path.name}: {len(coords)} random level-0 tiles decoded onto the GPU, "
          f"median of {reps} runs")
    for name in READERS:
        if name in rate:
            print(f"  {name:24s} {rate[name]:12,.0f} tiles/s")
        else:
            print(f"  {name:24s} not run: {skipped[name]}")
    ratios = {}
    if "kolva-nvimgcodec" in rate:
        for other in ("cucim", "openslide-torchvision"):
            if other in rate:
                ratios[f"kolva-nvimgcodec / {other}"] = rate["kolva-nvimgcodec"] / rate[other]
    for k, v in ratios.items():
        print(f"  {k:40s} {v:.2f}x")
    out = (cache / "results-gpu-quick.json") if args.quick else (HERE / "results-gpu.json")
    out.write_text(json.dumps({"slide": path.name, "tiles": len(coords), "tiles_per_s": rate,
                               "ratios": ratios, "not_run": skipped}, indent=1))
    print(f"written to {out}")


if __name__ == "__main__":
    main()
