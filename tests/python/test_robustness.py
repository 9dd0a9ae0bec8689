"""Damaged slides through the module, in this process: for one small file of each
format, every truncation in a spread of lengths and a few thousand seeded byte
mutations either open or raise PanicException, and tile reads of whatever opens
(inside the grid, on its edges and far outside it) either return bytes or raise
PanicException. Anything else (another exception type, a crash, a hang) fails.
A crash takes the whole pytest run down, which is the point of running in-process."""
from __future__ import annotations

import random
import sys
from pathlib import Path

import pytest

from _kolva_rs import KolvaPyDecoder, PanicException

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from fixtures import ets, ndpi, tiff_slides as ts  # noqa: E402

U64_MAX = 2**64 - 1
MUTANTS_PER_FORMAT = 1000
TILES_PER_LEVEL = 6


def build(kind: str, d: Path) -> bytes:
    """One small, valid file of the format `kind`."""
    if kind == "generic-tiff":
        path = ts.make_generic_tiff(d / "g.tiff", levels=((64, 48, 16), (32, 24, 16)),
                                    quality=30).path
    elif kind == "bigtiff-be":
        path = ts.make_generic_tiff(d / "gb.tiff", levels=((48, 40, (32, 16)),), bigtiff=True,
                                    byteorder=">", photometric="rgb", quality=30,
                                    extra_stripped=False).path
    elif kind == "aperio":
        path = ts.make_aperio_svs(d / "a.svs", levels=((64, 48, 32), (32, 24, 32)),
                                  quality=30).path
    elif kind == "philips":
        path = ts.make_philips_tiff(d / "p.tiff", content=(64, 48), tile=32, n_levels=2,
                                    missing=((0, 1, 1),), quality=30).path
    elif kind == "ndpi":
        path = ndpi.make_ndpi(d / "n.ndpi", levels=((64, 32, 2), (32, 16, 1)), macro=False,
                              quality=30).path
    elif kind == "ndpi-classic":
        path = ndpi.make_ndpi(d / "nc.ndpi", levels=((64, 32, 2),), macro=False, quality=30,
                              layout="classic").path
    elif kind == "ets":
        path = ets.make_ets(d / "e.ets", levels=((2, 2), (1, 1)), tile=(16, 16),
                            missing=[(0, 1, 1)]).path
    else:
        raise ValueError(kind)
    return Path(path).read_bytes()


KINDS = ["generic-tiff", "bigtiff-be", "aperio", "philips", "ndpi", "ndpi-classic", "ets"]


@pytest.fixture(scope="module")
def originals(tmp_path_factory) -> dict[str, bytes]:
    d = tmp_path_factory.mktemp("robust_src")
    return {kind: build(kind, d) for kind in KINDS}


def only_panics(call):
    """Runs `call`; returns its result, or None when it raised PanicException.
    Any other exception fails the test with the call's context."""
    try:
        return call()
    except PanicException as e:
        assert type(e) is PanicException and len(e.args) == 1 and isinstance(e.args[0], str)
        return None


def exercise(path: Path) -> bool:
    """Opens `path` and reads tiles; True when it opened."""
    d = only_panics(lambda: KolvaPyDecoder(str(path)))
    if d is None:
        return False
    levels = only_panics(lambda: d.level_count)
    dims = only_panics(lambda: d.level_dimensions) or []
    sizes = only_panics(lambda: d.level_tile_sizes) or []
    assert levels is None or levels == len(dims) == len(sizes)
    for lv in range(len(dims) + 1):  # one level past the end on purpose
        if lv < len(dims) and sizes[lv][0] and sizes[lv][1]:
            across = -(-dims[lv][0] // sizes[lv][0])
            down = -(-dims[lv][1] // sizes[lv][1])
        else:
            across = down = 1
        coords = [(x, y) for y in range(min(down, 2) + 1) for x in range(min(across, 2) + 1)]
        coords = coords[:TILES_PER_LEVEL] + [(across, 0), (0, down), (across, down),
                                             (U64_MAX, U64_MAX), (2**32, 0)]
        for x, y in coords:
            got = only_panics(lambda: d.read_tile_as_bytes(lv, x, y))
            assert got is None or isinstance(got, bytes)
    only_panics(lambda: d.read_tile_as_bytes(U64_MAX, 0, 0))
    del d
    return True


@pytest.mark.parametrize("kind", KINDS)
def test_original_opens(originals, tmp_path, kind):
    path = tmp_path / "f"
    path.write_bytes(originals[kind])
    assert exercise(path)


@pytest.mark.parametrize("kind", KINDS)
def test_truncations(originals, tmp_path, kind):
    data = originals[kind]
    n = len(data)
    lengths = sorted({*range(0, 80), *range(80, n, max(1, n // 150)), n - 1, n - 2, n // 2})
    path = tmp_path / "f"
    opened = 0
    for length in lengths:
        path.write_bytes(data[:length])
        opened += exercise(path)
    assert opened < len(lengths)  # the short ones at least are refused


def mutate(data: bytes, rng: random.Random) -> bytes:
    """A copy of `data` with 1 to 4 damaged spots: flipped bits, random bytes,
    or a boundary word (0, 0xFF.., 2^31) written over whatever was there."""
    out = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        # Most damage lands in the first 1 KiB (headers, directories) or the
        # last 1 KiB (where the fixture writers put directories and tables).
        where = rng.random()
        if where < 0.4:
            pos = rng.randrange(min(len(out), 1024))
        elif where < 0.8:
            pos = rng.randrange(max(0, len(out) - 1024), len(out))
        else:
            pos = rng.randrange(len(out))
        how = rng.randrange(4)
        if how == 0:
            out[pos] ^= 1 << rng.randrange(8)
        elif how == 1:
            out[pos] = rng.randrange(256)
        else:
            word = rng.choice([b"\0\0\0\0", b"\xff\xff\xff\xff", b"\x00\x00\x00\x80",
                               b"\x80\x00\x00\x00", b"\xff\xff", b"\x00\x01"])
            out[pos:pos + len(word)] = word
            del out[len(data):]
    return bytes(out)


@pytest.mark.parametrize("kind", KINDS)
def test_seeded_mutations(originals, tmp_path, kind):
    data = originals[kind]
    rng = random.Random(f"robust-{kind}")
    path = tmp_path / "f"
    opened = 0
    for _ in range(MUTANTS_PER_FORMAT):
        path.write_bytes(mutate(data, rng))
        opened += exercise(path)
    # Most single-spot damage misses anything that matters, so a fair share
    # still opens; if none did the mutations would test nothing but refusals.
    assert opened > 0
