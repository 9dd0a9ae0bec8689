"""Resources under hostile and repeated use: opening and dropping slides many
times leaves file descriptors and memory flat; crafted files that name huge
ranges, loop their directory chain or claim enormous ETS tile maps fail (or
open) without allocating what they claim. Peak memory is measured in a fresh
subprocess so that nothing else in the test run inflates it."""
from __future__ import annotations

import json
import os
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest
import tifffile

from _kolva_rs import KolvaPyDecoder, PanicException

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from fixtures import ets, tiff_slides as ts  # noqa: E402

RESULT_UNWRAP = "called `Result::unwrap()` on an `Err` value: "
REPEATS = 10_000
PAGE = os.sysconf("SC_PAGE_SIZE")
# Far below the 2 GiB the crafted files ask for, far above an interpreter
# with the module loaded.
PEAK_RSS_LIMIT = 256 << 20
PEAK_VM_LIMIT = 1 << 30


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def panic(call) -> str:
    with pytest.raises(PanicException) as info:
        call()
    return info.value.args[0]


# ------------------------------------------------------------------- files

@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, Path]:
    d = tmp_path_factory.mktemp("resources")
    out: dict[str, Path] = {}

    out["garbage"] = d / "garbage.bin"
    out["garbage"].write_bytes(b"NOTASLIDE\r\n\x1a\n" + bytes(range(200)))

    out["generic"] = Path(ts.make_generic_tiff(d / "generic.tiff",
                                               levels=((64, 48, 16), (32, 24, 16)),
                                               quality=30).path)
    out["ets"] = Path(ets.make_ets(d / "small.ets", levels=((2, 2), (1, 1)), tile=(16, 16)).path)

    # Tile (0, 0) of level 0 claims 2 GiB, then 2 GiB + 1; JPEGTables claims 2^31 bytes.
    base = out["generic"].read_bytes()
    with tifffile.TiffFile(out["generic"]) as tif:
        counts_at = tif.pages[0].tags["TileByteCounts"].valueoffset
        tables_entry = tif.pages[0].tags["JPEGTables"].offset
    for name, count in (("tile_2gib", 0x80000000), ("tile_2gib_plus_1", 0x80000001)):
        data = bytearray(base)
        struct.pack_into("<I", data, counts_at, count)
        out[name] = d / f"{name}.tiff"
        out[name].write_bytes(bytes(data))
    data = bytearray(base)
    struct.pack_into("<I", data, tables_entry + 4, 1 << 31)  # the entry's count field
    out["tables_2gib"] = d / "tables_2gib.tiff"
    out["tables_2gib"].write_bytes(bytes(data))

    # A tiled directory whose next-directory offset is its own.
    entries = [(256, 4, 1, 64), (257, 4, 1, 64), (259, 3, 1, 7), (322, 4, 1, 64),
               (323, 4, 1, 64), (324, 4, 1, 0), (325, 4, 1, 0)]
    loop = b"II*\0" + struct.pack("<IH", 8, len(entries))
    loop += b"".join(struct.pack("<HHII", *e) for e in entries) + struct.pack("<I", 8)
    out["loop"] = d / "loop.tiff"
    out["loop"].write_bytes(loop)

    # 1000 levels, each with one entry at column 1023, row 1023: 1,048,576
    # slots claimed per level, 2^30 in all.
    header = ets.ets_header_bytes(tile=(16, 16))
    entries_ets = [ets.EtsEntry(1023, 1023, 0, lv, offset=0, size=4) for lv in range(1000)]
    out["ets_1000_levels"] = ets.make_ets_raw(d / "wide.ets", ets_header=header,
                                              entries=entries_ets)
    return out


# ------------------------------------------------------------------- repetition

def settle(make_garbage) -> tuple[int, int]:
    """Warm up (allocator pools, caches), then take fds and RSS."""
    for _ in range(500):
        make_garbage()
    return open_fds(), rss()


def test_failing_open_repeated_leaves_fds_and_memory_flat(files):
    path = str(files["garbage"])

    def once():
        try:
            KolvaPyDecoder(path)
        except PanicException:
            return
        raise AssertionError("garbage opened")

    fds, mem = settle(once)
    for _ in range(REPEATS):
        once()
    assert open_fds() == fds
    assert rss() - mem < 4 << 20


@pytest.mark.parametrize("name", ["generic", "ets"])
def test_open_read_drop_repeated_leaves_fds_and_memory_flat(files, name):
    path = str(files[name])

    def once():
        d = KolvaPyDecoder(path)
        assert d.read_tile_as_bytes(0, 0, 0)
        panic(lambda: d.read_tile_as_bytes(0, 1000, 1000))
        del d

    fds, mem = settle(once)
    for _ in range(REPEATS):
        once()
    assert open_fds() == fds
    assert rss() - mem < 4 << 20


def test_held_objects_each_hold_one_fd_until_dropped(files):
    fds = open_fds()
    held = [KolvaPyDecoder(str(files["ets"])) for _ in range(200)]
    assert open_fds() == fds + 200
    del held
    assert open_fds() == fds


# ------------------------------------------------------------------- crafted files

PROBE = textwrap.dedent("""
    import json, sys, time
    from _kolva_rs import KolvaPyDecoder, PanicException
    path, tile = sys.argv[1], sys.argv[2] == "tile"
    out = {}
    start = time.monotonic()
    try:
        d = KolvaPyDecoder(path)
        out["levels"] = d.level_count
        if tile:
            d.read_tile_as_bytes(0, 0, 0)
            out["tile"] = "read"
    except PanicException as e:
        out["error"] = e.args[0]
    out["seconds"] = time.monotonic() - start
    # Peaks of this process since exec (getrusage's maxrss would carry the
    # parent's over the fork). An allocation never written to does not show
    # in RSS; the peak of the address space shows it all the same.
    with open("/proc/self/status") as f:
        status = dict(ln.split(":", 1) for ln in f)
    out["peak_rss"] = int(status["VmHWM"].split()[0]) * 1024
    out["peak_vm"] = int(status["VmPeak"].split()[0]) * 1024
    sys.stderr.write("\\nRESULT " + json.dumps(out) + "\\n")
""")


def probe(path: Path, tile: bool) -> dict:
    """Opens (and with `tile`, reads tile 0,0,0 of) `path` in a fresh interpreter;
    diagnostic lines on stdout are thrown away."""
    proc = subprocess.run([sys.executable, "-c", PROBE, str(path), "tile" if tile else "open"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    line = [ln for ln in proc.stderr.splitlines() if ln.startswith("RESULT ")][-1]
    return json.loads(line[len("RESULT "):])


@pytest.mark.parametrize("name,tile,error", [
    # The range reaches past the end: refused before anything is allocated.
    ("tile_2gib", True, "UnexpectedStep"),
    ("tables_2gib", False, "UnexpectedStep"),
    # Longer than one request may ever be.
    ("tile_2gib_plus_1", True, "UnableToAllocateLargeSize"),
])
def test_huge_ranges_fail_without_allocating(files, name, tile, error):
    out = probe(files[name], tile)
    assert out.get("error") == RESULT_UNWRAP + error, out
    assert out["peak_rss"] < PEAK_RSS_LIMIT, out
    assert out["peak_vm"] < PEAK_VM_LIMIT, out


def test_self_looping_directory_chain_stops_at_the_step_budget(files):
    t0 = time.monotonic()
    out = probe(files["loop"], False)
    assert out.get("error") == RESULT_UNWRAP + "UnableToAllocateLargeSize", out
    assert time.monotonic() - t0 < 60, out
    assert out["peak_rss"] < 1 << 30, out
    assert out["peak_vm"] < 2 << 30, out


def test_ets_claiming_a_thousand_levels_of_a_million_slots_stays_small(files):
    out = probe(files["ets_1000_levels"], True)
    # It opens (every level has an entry); the one stored slot per level is at
    # the far corner, so tile (0, 0) is absent.
    assert out.get("levels") == 1000, out
    assert "TileNotFound" in out.get("error", ""), out
    assert out["peak_rss"] < PEAK_RSS_LIMIT, out
    assert out["peak_vm"] < PEAK_VM_LIMIT, out
