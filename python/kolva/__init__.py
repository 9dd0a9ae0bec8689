"""kolva: whole-slide images (Aperio SVS, Philips TIFF, Hamamatsu NDPI, Olympus ETS/VSI,
tiled TIFF/BigTIFF) read tile by tile, each tile handed out as its stored, still-encoded
bytes: nothing is decoded.

    >>> import kolva
    >>> with kolva.open(kolva.example_path()) as slide:
    ...     slide.format, slide.level_count, slide.dimensions
    ...     slide.read_tile(0, 0, 0)[:2]        # level 0, column 0, row 0: a JPEG
    ('aperio', 3, (880, 600))
    b'\\xff\\xd8'

Every failure is a `kolva.SlideError`; `kolva.UnsupportedFormat` (not a slide kolva
reads), `kolva.TileNotFound` (a level or tile that does not exist; also an
IndexError), `kolva.ImageNotFound` (an associated image the slide does not have;
also a KeyError), `kolva.MissingFile` (a companion file that is not there; also a
FileNotFoundError) and `kolva.SourceError` (sources of many slides that name none: a
glob matching nothing, a folder without slides; also a ValueError) derive from it.
"""
from __future__ import annotations

from pathlib import Path

from ._core import (CoreError, ImageNotFound, MissingFile, SlideError, TileNotFound,
                    UnsupportedFormat)
from ._slide import EncodedImage, Level, Slide, open
from ._sources import SourceError
from ._export import export
from ._convert import convert

from ._version import __version__

__all__ = [
    "CoreError",
    "EncodedImage",
    "ImageNotFound",
    "Level",
    "MissingFile",
    "Slide",
    "SlideError",
    "SourceError",
    "TileNotFound",
    "UnsupportedFormat",
    "__version__",
    "convert",
    "example_path",
    "export",
    "open",
]


def example_path() -> Path:
    """Path of the example slide shipped with the package: a small Aperio SVS with
    three JPEG levels (880 x 600, 440 x 300, 220 x 150; 240 x 240 tiles)."""
    return Path(__file__).resolve().parent / "example" / "example.svs"
