"""Frames of empty glass (white) in a level's own codec, for tiles the source does not
store: every DICOM frame of a TILED_FULL level must exist and have the tile size.

The JPEG frame is built directly: one quantisation table of ones, one DC table with
the two categories needed and one AC table holding only end-of-block, so every
block is its DC value alone and decodes to exactly 255 (or 128 for chroma). The
components and their sampling factors copy the level's, and RGB-coded levels get the
same Adobe APP14 marker their tiles carry.
"""
from __future__ import annotations

import io
import struct

from .frames import JPEG_LS_LOSSLESS, FrameError, FrameFormat


def _segment(marker: int, payload: bytes) -> bytes:
    return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload


class _Bits:
    def __init__(self) -> None:
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, value: int, count: int) -> None:
        self.acc = (self.acc << count) | (value & ((1 << count) - 1))
        self.n += count
        while self.n >= 8:
            self.n -= 8
            byte = (self.acc >> self.n) & 0xFF
            self.out.append(byte)
            if byte == 0xFF:
                self.out.append(0)
        self.acc &= (1 << self.n) - 1

    def flush(self) -> bytes:
        if self.n:
            self.put((1 << (8 - self.n)) - 1, 8 - self.n)
        return bytes(self.out)


def blank_jpeg(width: int, height: int, components: list[tuple[int, int, int]],
               rgb: bool) -> bytes:
    """A baseline JPEG of `width` x `height` white pixels; `components` are (id, h, v)."""
    hmax = max(c[1] for c in components)
    vmax = max(c[2] for c in components)
    mcus_x = -(-width // (8 * hmax))
    mcus_y = -(-height // (8 * vmax))
    head = b"\xff\xd8"
    if rgb:
        head += _segment(0xEE, b"Adobe\x00\x64\x00\x00\x00\x00\x00")
    head += _segment(0xDB, b"\x00" + b"\x01" * 64)
    sof = struct.pack(">BHHB", 8, height, width, len(components))
    for cid, h, v in components:
        sof += struct.pack(">BBB", cid, (h << 4) | v, 0)
    head += _segment(0xC0, sof)
    # DC: category 0 -> '0', category 10 -> '10'. AC: end-of-block -> '0'.
    head += _segment(0xC4, b"\x00" + bytes([1, 1] + [0] * 14) + bytes([0, 10]))
    head += _segment(0xC4, b"\x10" + bytes([1] + [0] * 15) + bytes([0]))
    sos = bytes([len(components)])
    for cid, _, _ in components:
        sos += bytes([cid, 0x00])
    head += _segment(0xDA, sos + b"\x00\x3f\x00")
    # White: luma (and every RGB plane) 255 -> DC (255 - 128) * 8 = 1016; chroma 128 -> 0.
    full = [True] * len(components) if rgb or len(components) == 1 else \
        [True] + [False] * (len(components) - 1)
    bits = _Bits()
    pred = [0] * len(components)
    for _ in range(mcus_x * mcus_y):
        for k, (_, h, v) in enumerate(components):
            target = 1016 if full[k] else 0
            for _ in range(h * v):
                diff = target - pred[k]
                pred[k] = target
                if diff == 0:
                    bits.put(0b0, 1)
                else:  # only the first block of a component: 1016, category 10
                    bits.put(0b10, 2)
                    bits.put(diff, 10)
                bits.put(0b0, 1)  # end of block
    return head + bits.flush() + b"\xff\xd9"


def jpeg_components(tile: bytes) -> list[tuple[int, int, int]]:
    from .frames import _jpeg_segments

    for marker, payload in _jpeg_segments(tile):
        if 0xC0 <= marker <= 0xC3:
            n = payload[5]
            return [(payload[6 + 3 * i], payload[7 + 3 * i] >> 4, payload[7 + 3 * i] & 15)
                    for i in range(n)]
    raise ValueError("no frame header")


def blank_j2k(fmt: FrameFormat) -> bytes:
    """A JPEG 2000 codestream of white pixels labelled like the level's frames."""
    import numpy as np
    from PIL import Image

    if fmt.samples == 1:
        pixels = np.full((fmt.height, fmt.width), 255, np.uint8)
        image = Image.fromarray(pixels, "L")
        mct = 0
    else:
        # A level of YCbCr samples without a transform (Aperio 33003) is white at
        # (255, 128, 128); otherwise the samples are RGB, transformed or not.
        ycbcr = fmt.ycbcr_samples and not fmt.set_mct
        value = (255, 128, 128) if ycbcr else (255, 255, 255)
        pixels = np.empty((fmt.height, fmt.width, 3), np.uint8)
        pixels[...] = value
        image = Image.fromarray(pixels, "RGB")
        mct = int(fmt.mct)
    out = io.BytesIO()
    image.save(out, format="JPEG2000", no_jp2=True, mct=mct, irreversible=fmt.lossy)
    return out.getvalue()


def blank_by_imagecodecs(fmt: FrameFormat) -> bytes:
    """A JPEG-LS or JPEG XL frame of white pixels, encoded by imagecodecs."""
    import numpy as np

    try:
        import imagecodecs
    except ImportError:
        raise FrameError("frames of empty glass in JPEG-LS or JPEG XL need imagecodecs "
                         "(pip install imagecodecs)") from None
    shape = (fmt.height, fmt.width) if fmt.samples == 1 else (fmt.height, fmt.width, 3)
    pixels = np.full(shape, 255, np.uint8)
    if fmt.method == "ISO_18181_1":
        return bytes(imagecodecs.jpegxl_encode(pixels, lossless=True))
    return bytes(imagecodecs.jpegls_encode(pixels))


def blank_frame(fmt: FrameFormat, sample_tile: bytes) -> bytes:
    if fmt.native:
        return bytes([255]) * (fmt.width * fmt.height * fmt.samples * ((fmt.bits + 7) // 8))
    if fmt.transfer_syntax.startswith("1.2.840.10008.1.2.4.9") or fmt.method == "ISO_15444_15":
        return blank_j2k(fmt)
    if fmt.method in ("ISO_14495_1", "ISO_18181_1") or fmt.transfer_syntax == JPEG_LS_LOSSLESS:
        return blank_by_imagecodecs(fmt)
    return blank_jpeg(fmt.width, fmt.height, jpeg_components(sample_tile),
                      fmt.photometric == "RGB")
