"""The media types kolva hands tiles and associated images out as, from the core's
one table: the file extension their bytes get (in `kolva extract` folders and export
shards), whether browsers display them as they are (the server re-encodes the others
as PNG), the codec that decodes them (imagecodecs' `<codec>_decode`) and the transfer
syntax DICOMweb assumes for frames of the type. kolva labels bare JPEG 2000
codestreams image/jp2, as DICOMweb does; they are `.j2k` files."""
from __future__ import annotations

from typing import NamedTuple

from . import _core


class MediaType(NamedTuple):
    extension: str        # without the dot
    displayable: bool     # shown by browsers as stored
    codec: str            # imagecodecs' name of its decoder ("" when none)
    transfer_syntax: str  # DICOMweb's default for frames of the type ("" when none)


MEDIA_TYPES: dict[str, MediaType] = {row[0]: MediaType(*row[1:]) for row in _core.media_types()}
UNKNOWN = MediaType("bin", True, "", "")

# Stored media types a browser can't display.
UNDISPLAYABLE = frozenset(t for t, m in MEDIA_TYPES.items() if not m.displayable)


def media_facts(media_type: str) -> MediaType:
    """The row of `media_type` (without parameters, any case); UNKNOWN when none."""
    return MEDIA_TYPES.get(media_type.split(";", 1)[0].strip().lower(), UNKNOWN)


def extension(media_type: str, head: bytes = b"") -> str:
    """The file extension (without the dot) of bytes of `media_type`; JPEG 2000 is
    told apart by its first bytes: a bare codestream is `j2k`, a JP2 file `jp2`.
    Unknown types are `bin`."""
    return _core.media_extension(media_type, head[:16])
