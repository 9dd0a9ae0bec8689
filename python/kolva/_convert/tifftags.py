"""A few tags of each directory of a local TIFF (classic or BigTIFF, either byte
order), read without decoding anything: the compression of the tiled directories
(Aperio's 33003 and 33005 differ only there) and the ICC profile."""
from __future__ import annotations

import io
import struct
from typing import BinaryIO

COMPRESSION, TILE_WIDTH, ICC_PROFILE = 259, 322, 34675
CODECS = {1: "uncompressed", 5: "LZW", 8: "Deflate", 32946: "Deflate", 32773: "PackBits",
          50000: "Zstd", 34925: "LZMA", 34887: "LERC", 50001: "WebP", 50002: "JPEG XL",
          34933: "PNG", 22610: "JPEG XR", 34934: "JPEG XR"}
_SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 7: 1, 16: 8}


def _value(f: BinaryIO, bo: str, ftype: int, count: int, inline: bytes, big: bool) -> bytes:
    size = _SIZES.get(ftype, 1) * count
    room = 8 if big else 4
    if size <= room:
        return inline[:size]
    f.seek(struct.unpack(bo + ("Q" if big else "I"), inline[:room])[0])
    return f.read(size)


def directories(path: str | bytes, limit: int = 256) -> list[dict[int, bytes | int]]:
    """Per directory of the file at `path` (or of the TIFF in `path` when it is bytes):
    tag -> first number (COMPRESSION, TILE_WIDTH) or raw bytes (ICC_PROFILE). Empty
    when it is no TIFF."""
    out: list[dict[int, bytes | int]] = []
    with (io.BytesIO(path) if isinstance(path, bytes) else open(path, "rb")) as f:
        head = f.read(16)
        if head[:2] not in (b"II", b"MM"):
            return out
        bo = "<" if head[:2] == b"II" else ">"
        version = struct.unpack(bo + "H", head[2:4])[0]
        big = version == 43
        if version not in (42, 43):
            return out
        offset = struct.unpack(bo + "Q", head[8:16])[0] if big else struct.unpack(
            bo + "I", head[4:8])[0]
        seen = set()
        while offset and offset not in seen and len(out) < limit:
            seen.add(offset)
            f.seek(offset)
            n = struct.unpack(bo + ("Q" if big else "H"), f.read(8 if big else 2))[0]
            entry = 20 if big else 12
            raw = f.read(n * entry)
            nxt = f.read(8 if big else 4)
            tags: dict[int, bytes | int] = {}
            for i in range(n):
                e = raw[i * entry:(i + 1) * entry]
                tag, ftype = struct.unpack(bo + "HH", e[:4])
                if tag not in (COMPRESSION, TILE_WIDTH, ICC_PROFILE):
                    continue
                count = struct.unpack(bo + ("Q" if big else "I"), e[4:12 if big else 8])[0]
                data = _value(f, bo, ftype, count, e[12:] if big else e[8:], big)
                if tag == ICC_PROFILE:
                    tags[tag] = data
                elif ftype in (3, 4, 16) and data:
                    tags[tag] = struct.unpack(bo + {3: "H", 4: "I", 16: "Q"}[ftype],
                                              data[:_SIZES[ftype]])[0]
            out.append(tags)
            if len(nxt) < (8 if big else 4):
                break
            offset = struct.unpack(bo + ("Q" if big else "I"), nxt)[0]
    return out
