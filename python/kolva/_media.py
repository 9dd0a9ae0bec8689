"""The media types kolva hands tiles and associated images out as, in one table:
the file extension their bytes get (in `kolva extract` folders and export shards)
and whether browsers display them as they are (the server re-encodes the others
as PNG). kolva labels bare JPEG 2000 codestreams image/jp2, as DICOMweb does; they
are `.j2k` files."""
from __future__ import annotations

from typing import NamedTuple


class MediaType(NamedTuple):
    extension: str    # without the dot
    displayable: bool  # shown by browsers as stored


MEDIA_TYPES: dict[str, MediaType] = {
    "image/jpeg": MediaType("jpg", True),
    "image/jp2": MediaType("j2k", False),
    "image/j2k": MediaType("j2k", False),
    "image/jpx": MediaType("jpx", False),
    "image/tiff": MediaType("tif", False),
    "image/png": MediaType("png", True),
    "image/webp": MediaType("webp", True),
    "image/gif": MediaType("gif", True),
    "image/bmp": MediaType("bmp", True),
    "image/jxl": MediaType("jxl", True),
    "image/avif": MediaType("avif", True),
    "application/octet-stream": MediaType("bin", True),
}

# Stored media types a browser can't display.
UNDISPLAYABLE = frozenset(t for t, m in MEDIA_TYPES.items() if not m.displayable)


def extension(media_type: str, head: bytes = b"") -> str:
    """The file extension (without the dot) of bytes of `media_type`; JPEG 2000 is
    told apart by its first bytes: a bare codestream is `j2k`, a JP2 file `jp2`.
    Unknown types are `bin`."""
    if media_type == "image/jp2" and head.startswith(b"\x00\x00\x00\x0cjP"):
        return "jp2"
    known = MEDIA_TYPES.get(media_type)
    return known.extension if known else "bin"
