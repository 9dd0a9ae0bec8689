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

import struct
from collections.abc import Iterator
from dataclasses import dataclass

JPEG_BASELINE = "1.2.840.10008.1.2.4.50"
JPEG_EXTENDED = "1.2.840.10008.1.2.4.51"
JPEG_LOSSLESS_SV1 = "1.2.840.10008.1.2.4.70"
JPEG_LOSSLESS = "1.2.840.10008.1.2.4.57"
JPEG_2000 = "1.2.840.10008.1.2.4.91"
EXPLICIT_LE = "1.2.840.10008.1.2.1"

# Codecs of stored tiles that no DICOM transfer syntax carries, by media type.
NO_TRANSFER_SYNTAX = {
    "image/tiff": "TIFF-coded",
    "image/webp": "WebP", "image/png": "PNG", "image/bmp": "BMP",
    "image/jxl": "JPEG XL", "image/avif": "AVIF", "image/jxr": "JPEG XR",
    "application/octet-stream": "raw samples",
}


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


def frame_format(media_type: str, first: bytes, aperio_ycbcr: bool = False) -> FrameFormat:
    """The DICOM labels of a level whose tiles have `media_type`; `first` is one of its
    stored tiles."""
    if media_type == "image/jpeg":
        return jpeg_format(first)
    if media_type == "image/jp2":
        return j2k_format(first, aperio_ycbcr)
    codec = NO_TRANSFER_SYNTAX.get(media_type, media_type)
    if media_type == "image/tiff":  # a one-directory TIFF around the tile: its codec
        from .tifftags import CODECS, COMPRESSION, directories

        try:
            code = directories(first)[0].get(COMPRESSION)
        except (IndexError, ValueError, struct.error):
            code = None
        if code == 1:
            raise Uncompressed("uncompressed tiles")
        if isinstance(code, int):
            codec = CODECS.get(code, f"TIFF compression {code}")
    raise FrameError(f"{codec} tiles have no DICOM transfer syntax; give --decode-to "
                     "native to write them uncompressed (lossless)")
