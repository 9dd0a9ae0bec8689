# Type stubs for the `_kolva_rs` extension module (C++, CPython limited API).
from typing import Final, SupportsIndex, final

__all__ = ["__version__", "sum_as_string", "KolvaPyDecoder"]

__version__: Final[str]

def sum_as_string(a: SupportsIndex, b: SupportsIndex) -> str:
    """Formats the sum of two numbers as string."""

@final
class KolvaPyDecoder:
    """An open slide. Opening runs format detection; level geometry is read once.

    Failures (missing file, unsupported or malformed file, absent tile) raise
    `PanicException`. The object is bound to the thread that created it."""

    def __new__(cls, path: str) -> KolvaPyDecoder: ...
    @property
    def level_count(self) -> int: ...
    @property
    def dimensions(self) -> tuple[int, int]:
        """(width, height) of level 0."""
    @property
    def level_dimensions(self) -> list[tuple[int, int]]:
        """(width, height) of every level, level 0 first."""
    @property
    def level_tile_sizes(self) -> list[tuple[int, int]]:
        """(tile width, tile height) of every level, level 0 first."""
    def read_tile_as_bytes(self, lv: SupportsIndex, x: SupportsIndex, y: SupportsIndex) -> bytes:
        """The stored, still-encoded bytes of tile (x, y) of level `lv`."""

class PanicException(BaseException):
    """Raised for every failure inside the module; derives from BaseException."""
