"""kolva: whole-slide images (Aperio SVS, Philips TIFF, Hamamatsu NDPI, Olympus ETS,
tiled TIFF/BigTIFF) read tile by tile, each tile handed out as its stored, still-encoded
bytes.

    >>> import kolva
    >>> slide = kolva.KolvaPyDecoder(str(kolva.example_path()))
    >>> slide.level_count, slide.level_dimensions[0], slide.level_tile_sizes[0]
    (3, (880, 600), (240, 240))
    >>> slide.read_tile_as_bytes(0, 0, 0)[:2]   # level 0, column 0, row 0: a JPEG
    b'\\xff\\xd8'

A failed open or tile read raises `kolva.PanicException`, which derives from
BaseException (not Exception): catch it by name. The command line `kolva info` and
`kolva extract` (also `python -m kolva`) show a slide's pyramid and dump its tiles.
"""
from __future__ import annotations

from pathlib import Path

from _kolva_rs import KolvaPyDecoder, PanicException, __version__

__all__ = ["KolvaPyDecoder", "PanicException", "__version__", "example_path"]


def example_path() -> Path:
    """Path of the example slide shipped with the package: a small Aperio SVS with
    three JPEG levels (880 x 600, 440 x 300, 220 x 150; 240 x 240 tiles)."""
    return Path(__file__).resolve().parent / "example" / "example.svs"
