"""What a level's stored tiles are, as DICOM sees them: the transfer syntax and the
photometric interpretation that let a DICOM reader decode the very same bytes.

JPEG tiles carry their own answer in the stream: the frame header (SOF) gives the
process and the components, an Adobe APP14 segment with transform 0 (or component
ids 'R', 'G', 'B') marks RGB-coded samples. JPEG 2000 codestreams give theirs in
SIZ (components, depth) and COD (the multiple-component transform and the wavelet);
Aperio's compression 33003 stores YCbCr samples without any transform, which only
the TIFF tag tells.
"""
from __future__ import annotations

import io
import struct
from collections.abc import Iterator
from dataclasses import dataclass, replace

from .._media import media_facts

JPEG_BASELINE = "1.2.840.10008.1.2.4.50"
JPEG_EXTENDED = "1.2.840.10008.1.2.4.51"
JPEG_LOSSLESS_SV1 = "1.2.840.10008.1.2.4.70"
JPEG_LOSSLESS = "1.2.840.10008.1.2.4.57"
JPEG_2000 = "1.2.840.10008.1.2.4.91"
JPEG_LS_LOSSLESS = "1.2.840.10008.1.2.4.80"
JPEG_LS_NEAR = "1.2.840.10008.1.2.4.81"
HTJ2K_LOSSLESS = "1.2.840.10008.1.2.4.201"
HTJ2K = "1.2.840.10008.1.2.4.203"
EXPLICIT_LE = "1.2.840.10008.1.2.1"

# Codecs of stored tiles that no DICOM transfer syntax carries, by media type.
NO_TRANSFER_SYNTAX = {
    "image/tiff": "TIFF-coded",
    "image/webp": "WebP", "image/png": "PNG", "image/bmp": "BMP",
    "image/avif": "AVIF", "image/jxr": "JPEG XR",
    "application/octet-stream": "raw samples",
}
# Pillow's names of TIFF compressions, as the refusal names them.
_TIFF_CODECS = {"tiff_lzw": "LZW", "tiff_adobe_deflate": "Deflate", "tiff_deflate": "Deflate",
                "packbits": "PackBits", "tiff_zstd": "Zstd", "webp": "WebP", "lzma": "LZMA"}


class FrameError(ValueError):
    """The tiles cannot be written as DICOM frames as they are."""


class Uncompressed(FrameError):
    """The tiles hold raw samples: DICOM's native pixel data takes them as they are."""


@dataclass(frozen=True)
class FrameFormat:
    """How a level's frames are labelled in DICOM."""

    transfer_syntax: str
    photometric: str
    samples: int             # components per pixel
    bits: int                # bits stored
    width: int               # the frame size the stream declares
    height: int
    lossy: bool              # "01": the source was compressed lossily (or may have been)
    method: str              # Lossy Image Compression Method ("" when lossless)
    subsampling: str = ""    # JPEG: "444", "422", "420", ... (luma sampling factors)
    native: bool = False     # uncompressed frames (decoded from a codec DICOM lacks)
    mct: bool = False        # JPEG 2000: the codestream applies a colour transform
    ycbcr_samples: bool = False  # JPEG 2000: YCbCr samples without one (Aperio 33003)
    set_mct: bool = False    # JPEG 2000: set COD's transform flag in each frame (33003)

    @property
    def encapsulated(self) -> bool:
        return not self.native


def _jpeg_segments(data: bytes) -> Iterator[tuple[int, bytes]]:
    """(marker, payload) of every segment before the first SOS, and SOS itself."""
    if data[:2] != b"\xff\xd8":
        raise FrameError("the tile is no JPEG stream (no SOI)")
    pos = 2
    n = len(data)
    while pos + 4 <= n:
        if data[pos] != 0xFF:
            raise FrameError("the JPEG stream is damaged (no marker where one belongs)")
        marker = data[pos + 1]
        if marker == 0xFF:
            pos += 1
            continue
        length = struct.unpack_from(">H", data, pos + 2)[0]
        yield marker, data[pos + 4:pos + 2 + length]
        if marker == 0xDA:
            return
        pos += 2 + length
    raise FrameError("the JPEG stream ends before its scan")


def jpeg_format(data: bytes) -> FrameFormat:
    sof = None
    sof_marker = 0
    adobe_transform: int | None = None
    jfif = False
    for marker, payload in _jpeg_segments(data):
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            sof, sof_marker = payload, marker
        elif marker == 0xEE and payload[:5] == b"Adobe" and len(payload) >= 12:
            adobe_transform = payload[11]
        elif marker == 0xE0 and payload[:5] == b"JFIF\0":
            jfif = True
    if sof is None:
        raise FrameError("the JPEG stream has no frame header")
    precision, height, width, ncomp = struct.unpack_from(">BHHB", sof, 0)
    comps = [(sof[6 + 3 * i], sof[7 + 3 * i] >> 4, sof[7 + 3 * i] & 15) for i in range(ncomp)]
    if sof_marker == 0xC0:
        syntax = JPEG_BASELINE
    elif sof_marker == 0xC1:
        syntax = JPEG_EXTENDED
    elif sof_marker == 0xC3:
        syntax = JPEG_LOSSLESS_SV1 if _predictor(data) == 1 else JPEG_LOSSLESS
    else:
        kinds = {0xC2: "progressive", 0xC5: "differential sequential", 0xC6: "differential "
                 "progressive", 0xC7: "differential lossless", 0xC9: "arithmetic-coded",
                 0xCA: "arithmetic-coded progressive", 0xCB: "arithmetic-coded lossless"}
        raise FrameError(f"{kinds.get(sof_marker, 'this')} JPEG has no DICOM transfer "
                         "syntax (baseline, extended and lossless JPEG have)")
    if ncomp == 1:
        photometric = "MONOCHROME2"
        sampling = ""
    elif ncomp == 3:
        ids = bytes(c[0] for c in comps)
        rgb = adobe_transform == 0 or (adobe_transform is None and not jfif and ids == b"RGB")
        photometric = "RGB" if rgb else "YBR_FULL_422"
        h0, v0 = comps[0][1], comps[0][2]
        sampling = {(1, 1): "444", (2, 1): "422", (2, 2): "420"}.get((h0, v0), f"{h0}x{v0}")
        if any((h, v) != (1, 1) for _, h, v in comps[1:]):
            sampling = f"{sampling}*"  # chroma not 1x1: unusual, still a valid stream
    else:
        raise FrameError(f"JPEG tiles with {ncomp} components have no DICOM photometric "
                         "interpretation")
    lossless = syntax in (JPEG_LOSSLESS, JPEG_LOSSLESS_SV1)
    return FrameFormat(syntax, photometric, ncomp, precision, width, height,
                       lossy=not lossless, method="" if lossless else "ISO_10918_1",
                       subsampling=sampling)


def _predictor(data: bytes) -> int:
    for marker, payload in _jpeg_segments(data):
        if marker == 0xDA:
            ns = payload[0]
            return int(payload[1 + 2 * ns])
    return 0


def j2k_format(data: bytes, aperio_ycbcr: bool = False) -> FrameFormat:
    """A bare JPEG 2000 codestream (or a JP2 file's codestream box) -> its format."""
    start = data.find(b"\xff\x4f\xff\x51")
    if start < 0:
        raise FrameError("the tile is no JPEG 2000 codestream (no SOC/SIZ)")
    if start:
        raise FrameError("JP2 files are no DICOM frames; only bare codestreams are")
    siz = start + 4
    (lsiz, _rsiz, xsiz, ysiz, xo, yo, _xt, _yt, _xto, _yto, csiz) = struct.unpack_from(
        ">HHIIIIIIIIH", data, siz)
    comps = [(data[siz + 38 + 3 * i], data[siz + 39 + 3 * i], data[siz + 40 + 3 * i])
             for i in range(csiz)]
    depth = (comps[0][0] & 0x7F) + 1
    pos = siz + lsiz
    mct = 0
    reversible = False
    set_mct = False
    while pos + 4 <= len(data):
        marker, length = struct.unpack_from(">HH", data, pos)
        if marker == 0xFF52:  # COD
            mct = data[pos + 8]
            reversible = data[pos + 13] == 1
        if marker == 0xFF90:  # first tile-part: the main header is over
            break
        pos += 2 + length
    if csiz == 1:
        photometric = "MONOCHROME2"
    elif csiz == 3:
        if aperio_ycbcr:
            # YCbCr samples without a transform. DICOM's YBR_ICT says the codestream's
            # inverse ICT gives RGB; with the 9/7 wavelet and full-size components it
            # does so exactly for these samples once COD's transform flag is set (the
            # ICT is the YCbCr matrix), so that one header byte is set in each frame.
            photometric = "YBR_ICT"
            same_size = all(c[1:] == comps[0][1:] for c in comps)
            set_mct = same_size and not reversible and not mct
        elif mct:
            photometric = "YBR_RCT" if reversible else "YBR_ICT"
        else:
            photometric = "RGB"
    else:
        raise FrameError(f"JPEG 2000 tiles with {csiz} components have no DICOM "
                         "photometric interpretation")
    return FrameFormat(JPEG_2000, photometric, csiz, depth, xsiz - xo, ysiz - yo,
                       lossy=not reversible, method="" if reversible else "ISO_15444_1",
                       mct=bool(mct) or set_mct, ycbcr_samples=aperio_ycbcr and csiz == 3,
                       set_mct=set_mct)


def with_mct(data: bytes) -> bytes:
    """The codestream with the main header's COD transform flag set."""
    pos = data.find(b"\xff\x4f\xff\x51") + 2
    while pos + 4 <= len(data):
        marker, length = struct.unpack_from(">HH", data, pos)
        if marker == 0xFF90:
            break
        if marker == 0xFF52:
            if data[pos + 8] == 1:
                return data
            return data[:pos + 8] + b"\x01" + data[pos + 9:]
        pos += 2 + length
    raise FrameError("the JPEG 2000 codestream has no COD segment")


def native_format(samples: int, bits: int, width: int, height: int) -> FrameFormat:
    photometric = "RGB" if samples == 3 else "MONOCHROME2"
    return FrameFormat(EXPLICIT_LE, photometric, samples, bits, width, height,
                       lossy=False, method="", native=True)


def jpeg_ls_format(data: bytes, photometric: str = "") -> FrameFormat:
    """A JPEG-LS stream (SOF55, then SOS with its NEAR parameter) -> its format."""
    sof = sos = None
    for marker, payload in _jpeg_segments(data):
        if marker == 0xF7:
            sof = payload
        elif marker == 0xDA:
            sos = payload
    if sof is None or sos is None or len(sos) < 2 + 2 * sos[0]:
        raise FrameError("the tile is no JPEG-LS stream (no SOF55 and scan header)")
    precision, height, width, ncomp = struct.unpack_from(">BHHB", sof, 0)
    near = sos[1 + 2 * sos[0]]
    if ncomp not in (1, 3):
        raise FrameError(f"JPEG-LS tiles with {ncomp} components have no DICOM photometric "
                         "interpretation")
    photometric = photometric or ("MONOCHROME2" if ncomp == 1 else "RGB")
    return FrameFormat(JPEG_LS_NEAR if near else JPEG_LS_LOSSLESS, photometric, ncomp,
                       precision, width, height, lossy=bool(near),
                       method="ISO_14495_1" if near else "")


def htj2k_format(data: bytes, photometric: str = "") -> FrameFormat:
    """A High-Throughput JPEG 2000 codestream: JPEG 2000's labels, its own syntax."""
    f = j2k_format(data, photometric == "YBR_FULL")
    if f.lossy:
        return replace(f, transfer_syntax=HTJ2K, method="ISO_15444_15")
    return replace(f, transfer_syntax=HTJ2K_LOSSLESS)


def _jxl_codestream(data: bytes) -> bytes:
    """The bare codestream of a JPEG XL stream (itself, or the jxlc box of a file)."""
    if data[:2] == b"\xff\x0a":
        return data
    pos = 0
    while pos + 8 <= len(data):
        size, kind = struct.unpack_from(">I4s", data, pos)
        head = 8
        if size == 1 and pos + 16 <= len(data):
            size, head = struct.unpack_from(">Q", data, pos + 8)[0], 16
        if kind == b"jxlc":
            return data[pos + head:pos + size if size else len(data)]
        if size < head:
            break
        pos += size
    raise FrameError("the tile is no JPEG XL stream")


def jxl_format(data: bytes, transfer_syntax: str, photometric: str = "") -> FrameFormat:
    """A JPEG XL stream -> its format: the frame size from the codestream's SizeHeader
    (read least significant bit first), the colour from the level's facts."""
    stream = _jxl_codestream(data)
    bits = int.from_bytes(stream[2:18], "little")
    pos = 0

    def take(n: int) -> int:
        nonlocal pos
        value = (bits >> pos) & ((1 << n) - 1)
        pos += n
        return value

    def dimension(small: bool) -> int:
        if small:
            return (take(5) + 1) * 8
        return take((9, 13, 18, 30)[take(2)]) + 1

    small = bool(take(1))
    height = dimension(small)
    ratio = take(3)
    ratios = {1: (1, 1), 2: (12, 10), 3: (4, 3), 4: (3, 2), 5: (16, 9), 6: (5, 4), 7: (2, 1)}
    if ratio:
        num, den = ratios[ratio]
        width = height * num // den
    else:
        width = dimension(small)
    samples = 1 if photometric.startswith("MONOCHROME") else 3
    photometric = photometric or "RGB"
    return FrameFormat(transfer_syntax, photometric, samples, 8, width, height,
                       lossy=True, method="ISO_18181_1")


def frame_format(media_type: str, first: bytes, photometric: str = "") -> FrameFormat:
    """The DICOM labels of a level whose tiles have `media_type`; `first` is one of its
    stored tiles, `photometric` the colour of its samples as the slide states it
    ("YBR_FULL" for JPEG 2000: YCbCr samples without the codestream's transform)."""
    if media_type == "image/jpeg":
        return jpeg_format(first)
    if media_type == "image/jp2":
        return j2k_format(first, photometric == "YBR_FULL")
    if media_type == "image/jls":
        return jpeg_ls_format(first, photometric)
    if media_type == "image/jphc":
        return htj2k_format(first, photometric)
    if media_type == "image/jxl":
        syntax = media_facts(media_type).transfer_syntax
        return jxl_format(first, syntax, photometric)
    codec = NO_TRANSFER_SYNTAX.get(media_type, media_type)
    if media_type == "image/tiff":  # a one-directory TIFF around the tile: its codec
        from PIL import Image

        try:
            with Image.open(io.BytesIO(first)) as image:
                compression = image.info.get("compression")
        except Exception:  # noqa: BLE001 - a codec Pillow lacks: named generically
            compression = None
        if compression == "raw":
            raise Uncompressed("uncompressed tiles")
        if isinstance(compression, str):
            codec = _TIFF_CODECS.get(compression, compression)
    raise FrameError(f"{codec} tiles have no DICOM transfer syntax; give --decode-to "
                     "native to write them uncompressed (lossless)")


def frame_size(fmt: FrameFormat, frame: bytes) -> tuple[int, int]:
    """The size a stored frame of a level of format `fmt` declares."""
    if fmt.transfer_syntax in (JPEG_2000, HTJ2K, HTJ2K_LOSSLESS):
        f = j2k_format(frame)
    elif fmt.transfer_syntax in (JPEG_LS_LOSSLESS, JPEG_LS_NEAR):
        f = jpeg_ls_format(frame)
    elif fmt.method == "ISO_18181_1":
        f = jxl_format(frame, fmt.transfer_syntax)
    else:
        f = jpeg_format(frame)
    return f.width, f.height
