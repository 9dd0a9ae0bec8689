"""Lossless extension of a baseline JPEG to a larger frame, in the coefficient
domain: every DCT block of the stream is kept exactly (the partial blocks at its
right and bottom edge included, so the visible area decodes to the same pixels), new
blocks holding only a DC value of white fill the added area, and the blocks are
entropy-coded again in the new MCU order.

NDPI levels are cut into tiles that end at the level's edge; DICOM frames must all
have the level's tile size, so the converter extends those edge tiles. Only the
entropy coding is redone (with the standard Huffman tables of the JPEG standard's
Annex K, which hold every symbol a baseline stream can need); no coefficient changes.
For 4:4:4 streams the visible area decodes identically. With subsampled chroma a
decoder's smoothing upsampler also reads the chroma just past the old edge: the new
chroma blocks there mirror the last old ones (a mirrored block decodes to the exact
mirror image), so at an MCU-aligned edge the upsampler sees the edge samples
repeated, as before; an edge inside a chroma block can change the last visible row
or column by a level or two.
"""
from __future__ import annotations

import io
import re
import struct

_RST = re.compile(rb"\xff[\xd0-\xd7]")
_STANDARD: dict[tuple[int, int], tuple[bytes, bytes]] | None = None


def _segments(data: bytes) -> tuple[list[tuple[int, bytes]], int]:
    """(marker, payload) up to and including SOS; and where the entropy data starts."""
    out = []
    pos = 2
    while True:
        while data[pos + 1] == 0xFF:
            pos += 1
        marker = data[pos + 1]
        length = struct.unpack_from(">H", data, pos + 2)[0]
        out.append((marker, data[pos + 4:pos + 2 + length]))
        pos += 2 + length
        if marker == 0xDA:
            return out, pos


def _tables(payload: bytes) -> list[tuple[int, int, bytes, bytes]]:
    """(class, id, bits, values) of each table in a DHT segment."""
    out = []
    pos = 0
    while pos < len(payload):
        tc, th = payload[pos] >> 4, payload[pos] & 15
        bits = payload[pos + 1:pos + 17]
        n = sum(bits)
        out.append((tc, th, bits, payload[pos + 17:pos + 17 + n]))
        pos += 17 + n
    return out


def _codes(bits: bytes, values: bytes) -> dict[int, str]:
    """symbol -> code (a string of '0'/'1')."""
    codes = {}
    code = 0
    k = 0
    for length in range(1, 17):
        for _ in range(bits[length - 1]):
            codes[values[k]] = format(code, f"0{length}b")
            code += 1
            k += 1
        code <<= 1
    return codes


def _standard() -> dict[tuple[int, int], tuple[bytes, bytes]]:
    """The Annex K tables, as libjpeg writes them by default: (class, id) -> table."""
    global _STANDARD
    if _STANDARD is None:
        import numpy as np
        from PIL import Image

        buf = io.BytesIO()
        Image.fromarray(np.zeros((16, 16, 3), np.uint8)).save(buf, "JPEG", optimize=False)
        segs, _ = _segments(buf.getvalue())
        _STANDARD = {(tc, th): (bits, vals) for m, p in segs if m == 0xC4
                     for tc, th, bits, vals in _tables(p)}
    return _STANDARD


def _extra(value: int, size: int) -> str:
    if size == 0:
        return ""
    if value < 0:
        value += (1 << size) - 1
    return format(value, f"0{size}b")


def _signed(bits: str) -> int:
    v = int(bits, 2)
    n = len(bits)
    return v if v >= 1 << (n - 1) else v - (1 << n) + 1


# Zigzag index -> row-major index in the 8 x 8 block.
_ZIGZAG = [0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48,
           41, 34, 27, 20, 13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15,
           23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63]

Block = tuple[int, list[tuple[int, str]]]


def _mirrored(blocks: dict[tuple[int, int], Block], xy: tuple[int, int],
              grid: tuple[int, int]) -> Block | None:
    """For a new block right of, below or diagonal to the old grid's last column/row:
    the adjacent old block mirrored across the edge (the coefficients of odd
    horizontal or vertical frequency negated), which decodes to its exact mirror
    image. None for the blocks further out."""
    bx, by = xy
    gw, gh = grid
    if not (bx == gw or by == gh) or bx > gw or by > gh:
        return None
    source = blocks.get((min(bx, gw - 1), min(by, gh - 1)))
    if source is None:
        return None
    flip_u, flip_v = bx == gw, by == gh
    dc, tokens = source
    out = []
    k = 1
    for sym, extra in tokens:
        if sym == 0:
            out.append((sym, extra))
            break
        if sym == 0xF0:
            k += 16
            out.append((sym, extra))
            continue
        k += sym >> 4
        natural = _ZIGZAG[k]
        odd = (flip_u and natural % 2) ^ (flip_v and (natural // 8) % 2)
        if odd:
            extra = "".join("1" if b == "0" else "0" for b in extra)
        out.append((sym, extra))
        k += 1
    return dc, out


def _symbol(stream: str, pos: int, table: dict[str, int]) -> tuple[int, int]:
    """The Huffman-coded symbol at bit `pos` of `stream`, and the position after it."""
    for length in range(1, 17):
        code = stream[pos:pos + length]
        if code in table:
            return table[code], pos + length
    raise ValueError("bad Huffman code in the JPEG stream")


def extend_jpeg(data: bytes, width: int, height: int) -> bytes:
    """The baseline JPEG `data`, extended to `width` x `height` (not smaller than its
    own size; a multiple of its MCU size unless it is its own size)."""
    segs, start = _segments(data)
    sof = next(p for m, p in segs if m in (0xC0, 0xC1))
    _, h0, w0, nc = struct.unpack_from(">BHHB", sof, 0)
    if (w0, h0) == (width, height):
        return data
    if w0 > width or h0 > height:
        raise ValueError(f"cannot extend a {w0} x {h0} JPEG to {width} x {height}")
    comps = [(sof[6 + 3 * i], sof[7 + 3 * i] >> 4, sof[7 + 3 * i] & 15, sof[8 + 3 * i])
             for i in range(nc)]
    hmax = max(c[1] for c in comps)
    vmax = max(c[2] for c in comps)
    ri = 0
    quant: dict[int, int] = {}
    dc_tables: dict[int, dict[str, int]] = {}
    ac_tables: dict[int, dict[str, int]] = {}
    for m, p in segs:
        if m == 0xDD:
            ri = struct.unpack(">H", p)[0]
        elif m == 0xC4:
            for tc, th, bits, vals in _tables(p):
                lookup = {code: sym for sym, code in _codes(bits, vals).items()}
                (ac_tables if tc else dc_tables)[th] = lookup
        elif m == 0xDB:
            pos = 0
            while pos < len(p):
                pq, tq = p[pos] >> 4, p[pos] & 15
                quant[tq] = p[pos + 1] if pq == 0 else struct.unpack_from(">H", p, pos + 1)[0]
                pos += 65 if pq == 0 else 129
    sos = next(p for m, p in segs if m == 0xDA)
    selectors = {sos[1 + 2 * i]: (sos[2 + 2 * i] >> 4, sos[2 + 2 * i] & 15) for i in range(sos[0])}
    if sos[0] != nc:
        raise ValueError("only single-scan baseline JPEG can be extended")
    end = data.rfind(b"\xff\xd9")
    entropy = data[start:end if end > start else len(data)]

    # Block grids: interleaved scans code whole MCUs; a one-component scan codes the
    # component's own blocks.
    if nc == 1:
        grid = [(-(-w0 // 8), -(-h0 // 8))]
        new_grid = [(-(-width // 8), -(-height // 8))]
        units = grid[0][0] * grid[0][1]
    else:
        mx, my = -(-w0 // (8 * hmax)), -(-h0 // (8 * vmax))
        grid = [(mx * c[1], my * c[2]) for c in comps]
        new_grid = [(-(-width // (8 * hmax)) * c[1], -(-height // (8 * vmax)) * c[2])
                    for c in comps]
        units = mx * my
    # blocks[k][(bx, by)] = (absolute DC, AC tokens as (symbol, extra bits))
    blocks: list[dict[tuple[int, int], tuple[int, list[tuple[int, str]]]]] = [{} for _ in comps]
    pieces = _RST.split(entropy) if ri else [entropy]
    unit = 0
    for piece in pieces:
        stream = "".join(format(b, "08b") for b in piece.replace(b"\xff\x00", b"\xff"))
        pos = 0
        pred = [0] * nc
        count = ri if ri else units
        for _ in range(count):
            if unit >= units:
                break
            if nc == 1:
                coords: list[list[tuple[int, int]]] = [[(unit % grid[0][0], unit // grid[0][0])]]
            else:
                ux, uy = unit % mx, unit // mx
                coords = [[(ux * c[1] + i, uy * c[2] + j) for j in range(c[2]) for i in range(c[1])]
                          for c in comps]
            for k, c in enumerate(comps):
                dct, act = selectors[c[0]]
                dtab, atab = dc_tables[dct], ac_tables[act]
                for xy in coords[k]:
                    size, pos = _symbol(stream, pos, dtab)
                    diff = _signed(stream[pos:pos + size]) if size else 0
                    pos += size
                    pred[k] += diff
                    tokens: list[tuple[int, str]] = []
                    n = 1
                    while n < 64:
                        sym, pos = _symbol(stream, pos, atab)
                        size = sym & 15
                        tokens.append((sym, stream[pos:pos + size]))
                        pos += size
                        if sym == 0:
                            break
                        n += (sym >> 4) + 1
                    blocks[k][xy] = (pred[k], tokens)
            unit += 1

    # White filler: luma (or every RGB plane) DC at (255 - 128) * 8 / q; chroma 0.
    rgb = any(m == 0xEE and p[:5] == b"Adobe" and len(p) >= 12 and p[11] == 0 for m, p in segs)
    filler: list[int] = []
    for k, c in enumerate(comps):
        full = k == 0 or rgb or nc == 1
        filler.append(round(1016 / quant.get(c[3], 1)) if full else 0)
    filler = [min(v, 2047) for v in filler]

    # Chroma blocks just past the old edge mirror the block before it, so that a
    # smoothing upsampler sees the edge samples repeated, as it did at the old edge.
    subsampled = [nc > 1 and (c[1] < hmax or c[2] < vmax) for c in comps]

    std = _standard()
    table_of = [0 if (k == 0 or rgb) else 1 for k in range(nc)]
    dc_codes = {t: _codes(*std[(0, t)]) for t in (0, 1)}
    ac_codes = {t: _codes(*std[(1, t)]) for t in (0, 1)}
    out: list[str] = []
    pred = [0] * nc
    if nc == 1:
        units_x, units_y = new_grid[0]
    else:
        units_x, units_y = -(-width // (8 * hmax)), -(-height // (8 * vmax))
    for uy in range(units_y):
        for ux in range(units_x):
            for k, c in enumerate(comps):
                hh, vv = (1, 1) if nc == 1 else (c[1], c[2])
                for j in range(vv):
                    for i in range(hh):
                        xy = (ux * hh + i, uy * vv + j)
                        block = blocks[k].get(xy)
                        if block is None:
                            block = (_mirrored(blocks[k], xy, grid[k]) if subsampled[k]
                                     else None) or (filler[k], [(0, "")])
                        dc, tokens = block
                        diff = dc - pred[k]
                        pred[k] = dc
                        size = abs(diff).bit_length()
                        out.append(dc_codes[table_of[k]][size])
                        out.append(_extra(diff, size))
                        ac = ac_codes[table_of[k]]
                        for sym, extra in tokens:
                            out.append(ac[sym])
                            out.append(extra)
    bitstr = "".join(out)
    bitstr += "1" * (-len(bitstr) % 8)
    body = int(bitstr, 2).to_bytes(len(bitstr) // 8, "big") if bitstr else b""
    body = body.replace(b"\xff", b"\xff\x00")

    def seg(marker: int, payload: bytes) -> bytes:
        return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload

    head = b"\xff\xd8"
    for m, p in segs:
        if 0xE0 <= m <= 0xEF or m == 0xDB:
            head += seg(m, p)
    new_sof = bytearray(sof)
    struct.pack_into(">HH", new_sof, 1, height, width)
    head += seg(0xC0 if sof is not None else 0xC0, bytes(new_sof))
    dht = b""
    for t in sorted(set(table_of)):
        dht += bytes([0x00 | t]) + std[(0, t)][0] + std[(0, t)][1]
        dht += bytes([0x10 | t]) + std[(1, t)][0] + std[(1, t)][1]
    head += seg(0xC4, dht)
    new_sos = bytes([nc]) + b"".join(bytes([c[0], (table_of[k] << 4) | table_of[k]])
                                     for k, c in enumerate(comps)) + b"\x00\x3f\x00"
    head += seg(0xDA, new_sos)
    return head + body + b"\xff\xd9"
