"""Cross-check of the TIFF directory reader against tifffile.

tifffile writes small files in both byte orders, classic and BigTIFF, with
several pages and tags of many types (inline and out of line); the C++ tool
`tiff_dump` prints what the reader decoded, and every tag must agree with what
tifffile reports. The tool is found through KOLVA_TIFF_DUMP or at
build-tests/tiff_dump; without it the tests are skipped.
"""
from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

tifffile = pytest.importorskip("tifffile")

REPO = Path(__file__).resolve().parents[2]
TYPE_NAMES = {1: "BYTE", 2: "ASCII", 3: "SHORT", 4: "LONG", 5: "RATIONAL", 6: "SBYTE",
              7: "UNDEFINED", 8: "SSHORT", 9: "SLONG", 10: "SRATIONAL", 11: "FLOAT",
              12: "DOUBLE", 16: "LONG8", 17: "SLONG8", 18: "IFD8"}
ELEMENT_SIZE = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 6: 1, 7: 1, 9: 4, 11: 4, 12: 8, 16: 8}


def find_tool() -> Path | None:
    env = os.environ.get("KOLVA_TIFF_DUMP")
    candidates = [Path(env)] if env else []
    candidates.append(REPO / "build-tests" / "tiff_dump")
    for path in candidates:
        if path.is_file() and os.access(path, os.X_OK):
            return path
    return None


TOOL = find_tool()
pytestmark = pytest.mark.skipif(
    TOOL is None,
    reason="tiff_dump not built: configure with -DKOLVA_BUILD_TOOLS=ON into build-tests "
           "or set KOLVA_TIFF_DUMP",
)


def dump(path: Path) -> list[dict]:
    done = subprocess.run([str(TOOL), str(path)], capture_output=True, check=False)
    assert done.returncode == 0, done.stderr.decode()
    return json.loads(done.stdout)["ifds"]


def extratags(bigtiff: bool) -> list[tuple]:
    tags = [
        (65000, "H", 3, (1, 2, 65535), False),        # SHORT array, 6 bytes
        (65001, "I", 1, 70000, False),                # LONG single, inline
        (65002, "I", 2, (7, 0xFFFFFFFF), False),      # 8 bytes: deferred classic, inline BigTIFF
        (65003, "s", 0, b"caf\xe9", False),           # ASCII with a Latin-1 byte
        (65004, "f", 2, (1.5, -2.25), False),         # FLOAT array
        (65005, "d", 1, 3.125, False),                # DOUBLE, out of line in classic
        (65006, 7, 3, b"\x01\x02\x03", False),        # UNDEFINED inline
        (65007, 7, 20, bytes(range(20)), False),      # UNDEFINED out of line
        (65008, "B", 1, 200, False),                  # BYTE single
        (65009, "i", 2, (-5, 6), False),              # SLONG array
        (65010, 5, 2, (1, 2, 3, 4), False),           # RATIONAL array, out of line
        (65011, "H", 1, 9, False),                    # SHORT single
        (65012, "s", 0, "x" * 40, False),             # long ASCII, out of line
    ]
    if bigtiff:
        tags.append((65013, "Q", 2, (1, 2**63 + 5), False))  # LONG8 array
    return tags


def write_sample(path: Path, byteorder: str, bigtiff: bool) -> None:
    with tifffile.TiffWriter(path, byteorder=byteorder, bigtiff=bigtiff) as tif:
        # tifffile adds its own JSON description to the first page: tag 270 twice.
        tif.write(np.arange(32 * 32 * 3, dtype=np.uint8).reshape(32, 32, 3), tile=(16, 16),
                  description="tiny", resolution=(72, 1), extratags=extratags(bigtiff))
        tif.write(np.arange(40 * 24, dtype=np.uint16).reshape(40, 24), rowsperstrip=8,
                  metadata=None)
        tif.write(np.zeros((4, 4), dtype=np.float32), description="third", software="kolva",
                  metadata=None)


def winner(entries, bigtiff: bool):
    """The tag entry that survives among duplicates: inline entries in file
    order, then out-of-line ones in reverse file order; the last one wins."""
    value_size = 8 if bigtiff else 4
    inline = [t for t in entries if t.count * ELEMENT_SIZE.get(int(t.dtype), 8) <= value_size]
    deferred = [t for t in entries if t.count * ELEMENT_SIZE.get(int(t.dtype), 8) > value_size]
    return (inline + deferred[::-1])[-1]


def expected_values(tag) -> list:
    value = tag.value
    if isinstance(value, (bytes, bytearray)):
        return list(value)
    if isinstance(value, tuple):
        return [v for v in value]
    return [value]


def check_tag(code: int, tag, got: dict, bigtiff: bool) -> None:
    dtype = int(tag.dtype)
    assert got["type"] == TYPE_NAMES[dtype], code
    if dtype == 2:
        text = got["values"]
        expected = tag.value
        assert isinstance(expected, str)
        # The reader keeps every stored byte: NULs and inline padding included.
        assert text.rstrip("\0") == expected, code
        value_size = 8 if bigtiff else 4
        assert len(text) == (value_size if tag.count <= value_size else tag.count), code
        return
    assert got["array"] == (tag.count != 1), code
    values = got["values"]
    if dtype == 5:
        values = [x for pair in values for x in pair]
        count = 2 * tag.count
    else:
        count = tag.count
    # An inline array is decoded whole: elements past the count are padding.
    assert len(values) >= count
    assert all(v == 0 for v in values[count:]), code
    values = values[:count]
    expected = expected_values(tag)
    if dtype == 11:
        assert np.array_equal(np.float32(values), np.float32(expected)), code
    elif dtype == 12:
        assert values == [float(v) for v in expected], code
    else:
        assert values == [int(v) for v in expected], code


@pytest.mark.parametrize("bigtiff", [False, True], ids=["classic", "bigtiff"])
@pytest.mark.parametrize("byteorder", ["<", ">"], ids=["le", "be"])
def test_dump_matches_tifffile(tmp_path: Path, byteorder: str, bigtiff: bool) -> None:
    path = tmp_path / "sample.tif"
    write_sample(path, byteorder, bigtiff)
    ifds = dump(path)
    with tifffile.TiffFile(path) as tif:
        assert tif.is_bigtiff == bigtiff
        assert tif.byteorder == byteorder
        pages = list(tif.pages)
        duplicates = 0
        assert len(ifds) == len(pages) == 3
        for page, ifd in zip(pages, ifds):
            by_code: dict[int, list] = {}
            for tag in page.tags:
                by_code.setdefault(tag.code, []).append(tag)
            assert sorted(int(c) for c in ifd) == sorted(by_code)
            duplicates += sum(len(entries) > 1 for entries in by_code.values())
            for code, entries in by_code.items():
                check_tag(code, winner(entries, bigtiff), ifd[str(code)], bigtiff)
        assert duplicates == 1
    # "tiny" (5 bytes) is out of line in classic files, inline in BigTIFF ones, so
    # a different one of the two descriptions survives.
    first = ifds[0]["270"]["values"].rstrip("\0")
    assert first == ('{"shape": [32, 32, 3]}' if bigtiff else "tiny")


def test_same_content_in_every_flavour(tmp_path: Path) -> None:
    """Big-endian and little-endian files with the same content decode alike."""
    dumps = {}
    for byteorder in "<>":
        path = tmp_path / f"{'le' if byteorder == '<' else 'be'}.tif"
        write_sample(path, byteorder, bigtiff=False)
        dumps[byteorder] = dump(path)
    assert dumps["<"] == dumps[">"]


def test_not_a_tiff_fails_cleanly(tmp_path: Path) -> None:
    path = tmp_path / "not.tif"
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(32))
    done = subprocess.run([str(TOOL), str(path)], capture_output=True, check=False)
    assert done.returncode == 1
    assert done.stdout == b""
    assert b"Decoding Error Tiff Error Error During decodoing entry Invalid Header" in done.stderr
