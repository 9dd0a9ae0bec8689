"""kolva.torch with real PyTorch: every tile exactly once per epoch across DataLoader
workers and ranks, deterministic epochs, pickling into spawned workers, bounded open
slides and memory, and decoded tiles equal to what imagecodecs and OpenSlide give."""
from __future__ import annotations

import multiprocessing
import operator
import os
import pickle
from collections import Counter
from pathlib import Path

import numpy as np
import pytest

torch = pytest.importorskip("torch")
imagecodecs = pytest.importorskip("imagecodecs")

import kolva  # noqa: E402
from kolva.torch import SlideCache, TileDataset, TileIndex, collate, split_tiles  # noqa: E402
from fixtures.export_slides import make_tissue_svs  # noqa: E402
from fixtures.http_server import RangeServer  # noqa: E402
from fixtures.tiff_slides import make_aperio_j2k, make_aperio_svs  # noqa: E402
from torch.utils.data import DataLoader  # noqa: E402

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus" / "real"


@pytest.fixture(scope="module")
def folder(tmp_path_factory) -> Path:
    d = tmp_path_factory.mktemp("torch")
    for i in range(5):
        make_tissue_svs(d / f"slide{i}.svs", size=(1440, 960), seed=20 + i)
    return d


def _keys(batches) -> list[tuple[str, int, int]]:
    return [k for b in batches for k in zip(b["slide"], b["x"].tolist(), b["y"].tolist())]


def _epoch(ds: TileDataset, epoch: int, workers: int) -> list[tuple[str, int, int]]:
    ds.set_epoch(epoch)
    return _keys(DataLoader(ds, batch_size=10, num_workers=workers, collate_fn=collate))


def test_workers_and_ranks_share_every_tile_exactly_once_per_epoch(folder):
    everything = TileDataset(str(folder / "*.svs"), tiles="all", shuffle=False)
    all_tiles = Counter(_epoch(everything, 0, 0))
    assert len(all_tiles) == len(everything.plan) == 5 * 24 and max(all_tiles.values()) == 1

    def ranks(seed: int, epoch: int) -> list[list[tuple[str, int, int]]]:
        out = []
        for rank in range(2):
            ds = TileDataset(str(folder / "*.svs"), tiles="all", seed=seed, batch_tiles=7,
                             rank=rank, world_size=2)
            out.append(_epoch(ds, epoch, 2))
            assert len(out[-1]) == len(ds)
        return out

    first = ranks(0, 0)
    assert Counter(first[0] + first[1]) == all_tiles
    assert abs(len(first[0]) - len(first[1])) <= 1
    again, later, other = ranks(0, 0), ranks(0, 1), ranks(1, 0)
    assert again == first  # the order is a function of seed and epoch
    assert Counter(later[0] + later[1]) == all_tiles and later != first
    assert other != first


@pytest.mark.parametrize("context", ["fork", "spawn"])
def test_persistent_workers_follow_set_epoch(folder, context):
    ds = TileDataset(str(folder / "slide*.svs"), tiles="all", batch_tiles=5)
    loader = DataLoader(ds, batch_size=10, num_workers=2, collate_fn=collate,
                        persistent_workers=True, multiprocessing_context=context)
    epochs = []
    for epoch in range(2):
        ds.set_epoch(epoch)
        epochs.append(_keys(loader))
        fresh = TileDataset(str(folder / "slide*.svs"), tiles="all", batch_tiles=5)
        assert epochs[-1] == _epoch(fresh, epoch, 2)  # the epoch's own order
    assert epochs[0] != epochs[1]
    assert pickle.loads(pickle.dumps(ds)).epoch == 1  # pickled elsewhere: a plain number


def test_a_batch_of_raw_tiles_is_one_buffer_with_offsets(folder):
    ds = TileDataset(str(folder / "slide0.svs"), tiles="tissue", batch_tiles=4)
    with kolva.open(folder / "slide0.svs") as slide:
        assert [(it["x"], it["y"]) for it in TileDataset(
            str(folder / "slide0.svs"), shuffle=False)] == slide.tissue_tiles(0)
        for batch in DataLoader(ds, batch_size=5, num_workers=2, collate_fn=collate):
            assert batch["tile"].dtype == np.uint8 and batch["tile"].ndim == 1
            assert batch["offsets"][-1] == batch["tile"].size
            tiles = [bytes(t) for t in split_tiles(batch)]
            assert tiles == [slide.read_tile(0, x, y) for x, y in
                             zip(batch["x"].tolist(), batch["y"].tolist())]
            assert np.allclose(batch["mpp"], 0.499) and batch["mpp"].shape == (len(tiles), 2)


def test_datasets_and_slides_pickle_into_spawned_workers(folder):
    index = TileIndex(str(folder / "*.svs"), tiles="all", decode="cpu")
    list(index.__getitems__([0, 1]))  # a reader in this process is not pickled along
    loader = DataLoader(index, batch_size=16, num_workers=2, collate_fn=collate,
                        multiprocessing_context="spawn", sampler=range(0, len(index), 4))
    batches = list(loader)
    assert sum(len(b["slide"]) for b in batches) == len(range(0, len(index), 4))
    assert batches[0]["tile"].shape[1:] == (3, 240, 240)
    with kolva.open(folder / "slide3.svs") as slide:
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            got = pool.apply(operator.methodcaller("read_tile", 0, 2, 1), (slide,))
        assert got == slide.read_tile(0, 2, 1)


def _fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def test_a_worker_keeps_at_most_max_open_slides_open(folder):
    ds = TileDataset(str(folder / "*.svs"), tiles="all", batch_tiles=3, mix=4, max_open=2)
    base = _fds()
    most = 0
    for _ in ds:
        most = max(most, _fds() - base)
    assert ds.open_slides.peak == 2 and most <= 2
    assert ds.open_slides.opened > 5  # slides were closed and opened again
    ds.close()
    assert _fds() == base


def test_a_leased_slide_is_never_closed(folder):
    cache = SlideCache(2)
    with cache.lease(str(folder / "slide0.svs")) as a:
        with cache.lease(str(folder / "slide1.svs")) as b:
            pass
        with cache.lease(str(folder / "slide2.svs")):
            assert cache.open_count == 2 and not a.closed  # a is being read: kept
            assert b.closed  # b was the least recently used free one
            with pytest.raises(RuntimeError, match="holds all 2"):  # the bound holds
                cache.acquire(str(folder / "slide3.svs"))
        a.read_tile(0, 0, 0)
    assert cache.open_count == 2 and not a.closed and cache.opened == 3
    with pytest.raises(ValueError):
        SlideCache(0)


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_memory_stays_flat_over_an_epoch_of_thousands_of_tiles(tmp_path, folder):
    big = tmp_path / "big.svs"
    make_tissue_svs(big, size=(4800, 3600), seed=5)
    for i in range(8):  # one slide under eight names: eight slides to the dataset
        os.symlink(big, tmp_path / f"copy{i}.svs")
    ds = TileDataset(str(tmp_path / "copy*.svs"), tiles="all", batch_tiles=64, max_open=3)
    assert len(ds) == 8 * 300
    marks = []
    for n, item in enumerate(ds):
        if n in (600, len(ds) - 1):
            marks.append(_rss())
    assert marks[1] - marks[0] < 16 << 20, marks


@pytest.fixture(scope="module")
def codec_slides(folder, tmp_path_factory) -> dict[str, Path]:
    d = tmp_path_factory.mktemp("codecs")
    out = {"jpeg": make_aperio_svs(d / "jpeg.svs").path, "tissue": folder / "slide1.svs",
           "j2k": make_aperio_j2k(d / "j2k.svs").path}
    for name, rel in [("cmu", "svs/CMU-1-Small-Region.svs"),
                      ("webp", "bigtiff/image-tiff_usda_naip_256_webp_z3.tif"),
                      ("tcga-j2k", "svs/tcga-cr-7395-01a-01-ts1.svs")]:
        if (CORPUS / rel).is_file():
            out[name] = CORPUS / rel
    return out


def test_decoded_tiles_equal_imagecodecs_and_openslide(codec_slides):
    openslide = pytest.importorskip("openslide")
    for name, path in codec_slides.items():
        index = TileIndex(str(path), tiles="all", decode="cpu")
        picks = list(range(0, len(index), max(1, len(index) // 6)))
        items = index.__getitems__(picks)
        with kolva.open(path) as slide:
            osr = openslide.OpenSlide(str(path)) if name != "webp" else None
            for item in items:
                tile = item["tile"]
                assert tile.dtype == torch.uint8 and tile.shape[0] in (3, 4), name
                x, y = item["x"], item["y"]
                hwc = tile.permute(1, 2, 0).numpy()
                assert np.array_equal(hwc, imagecodecs.imread(slide.read_tile(0, x, y))), name
                if osr is None or name.endswith("j2k"):  # OpenJPEG and imagecodecs round alike
                    continue                             # only mostly: checked by imagecodecs
                left, top, w, h = slide.tile_box(0, x, y)
                region = np.asarray(osr.read_region((left, top), 0, (w, h)).convert("RGB"))
                assert np.array_equal(hwc[:h, :w], region), (name, x, y)


def test_tile_index_reads_what_an_export_wrote(folder, tmp_path):
    kolva.export(str(folder / "slide2.svs"), str(tmp_path / "out"), min_bytes="auto")
    index = TileIndex.from_manifest(tmp_path / "out")
    with kolva.open(folder / "slide2.svs") as slide:
        assert [index.tile(i)[2:] for i in range(len(index))] == slide.tissue_tiles(0)
        items = index.__getitems__([3, 0, -1, 3])
        assert [(it["x"], it["y"]) for it in items] == [index.tile(i)[2:] for i in (3, 0, -1, 3)]
        assert items[0]["tile"] == slide.read_tile(0, *index.tile(3)[2:])
    with pytest.raises(IndexError):
        index[len(index)]


def test_listed_tiles_of_local_and_remote_slides(folder):
    local, remote = str(folder / "slide0.svs"), folder / "slide1.svs"
    with RangeServer({"b.svs": remote.read_bytes()}) as server:
        url = server.url("b.svs")
        ds = TileDataset([local, url], tiles=[(local, 1, 2), (1, 3, 0), (0, 0)],
                         shuffle=False, decode="cpu")
        got = [(it["slide"], it["x"], it["y"], it["tile"]) for it in ds]
    assert [g[:3] for g in got] == [(local, 1, 2), (local, 0, 0), (url, 3, 0), (url, 0, 0)]
    for source, x, y, tile in got:
        with kolva.open(remote if source == url else source) as slide:
            pixels = imagecodecs.imread(slide.read_tile(0, x, y))
        assert np.array_equal(tile.permute(1, 2, 0).numpy(), pixels)


@pytest.mark.parametrize("kwargs, error, match", [
    ({"decode": "gpu"}, ValueError, "decode must be"),
    ({"tiles": "some"}, ValueError, "tiles must be"),
    ({"max_open": 0}, ValueError, "max_open"),
    ({"level": 5}, kolva.TileNotFound, "level 5 does not exist"),
    ({"tiles": [("elsewhere.svs", 0, 0)]}, ValueError, "no such slide"),
])
def test_bad_arguments_fail_at_construction(folder, kwargs, error, match):
    with pytest.raises(error, match=match):
        TileDataset(str(folder / "slide0.svs"), **kwargs)


def test_cuda_decoding_without_cuda_says_what_is_missing(folder):
    if torch.cuda.is_available():
        pytest.skip("a CUDA device is present")
    with pytest.raises(RuntimeError, match="CUDA device"):
        TileDataset(str(folder / "slide0.svs"), decode="cuda")


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA device")
def test_cuda_decoded_tiles_equal_cpu_decoded_ones(folder):
    pytest.importorskip("nvidia.nvimgcodec")
    cpu = TileIndex(str(folder / "slide0.svs"), tiles="all", decode="cpu")
    gpu = TileIndex(str(folder / "slide0.svs"), tiles="all", decode="cuda")
    picks = list(range(len(cpu)))
    for a, b in zip(cpu.__getitems__(picks), gpu.__getitems__(picks)):
        assert b["tile"].device.type == "cuda"
        diff = (a["tile"].int() - b["tile"].cpu().int()).abs()
        assert diff.max() <= 2, (a["x"], a["y"])  # nvJPEG's IDCT may differ by a level
