# Type declarations (.pyi) for kolva._core, the native module (C++, CPython limited API).
import builtins
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Final, Protocol, SupportsIndex, TypeAlias, final

from _typeshed import structseq


_Range: TypeAlias = tuple[int, int]  # (offset, length)
_Fetch: TypeAlias = Callable[[list[_Range]], Sequence[bytes]]

class SlideError(Exception):
    """A slide could not be opened or read."""

class UnsupportedFormat(SlideError):
    """The file is not a slide kolva can read."""

class TileNotFound(SlideError, IndexError):
    """A level or tile that does not exist."""

class ImageNotFound(SlideError, KeyError):
    """An associated image that the slide does not have."""

class MissingFile(SlideError, FileNotFoundError):
    """A file the slide keeps its pixels in (an Olympus .vsi's companion) is not there."""

class CoreError(Exception):
    """The core library's own error, kept as the cause."""

class _Siblings(Protocol):
    """The files beside a remote slide (see kolva._sources.RemoteSiblings)."""

    def list(self, folder: str) -> builtins.list[str]: ...
    def open(self, relative: str) -> tuple[_Fetch, int, str, builtins.list[tuple[int, bytes]]]: ...

@final
class LevelInfo(structseq[Any], tuple[int, int, int, int, int, int, str, float]):
    """One pyramid level."""

    __match_args__: Final = ("width", "height", "tile_width", "tile_height", "tiles_across",
                             "tiles_down", "media_type", "downsample")
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def tile_width(self) -> int: ...
    @property
    def tile_height(self) -> int: ...
    @property
    def tiles_across(self) -> int: ...
    @property
    def tiles_down(self) -> int: ...
    @property
    def media_type(self) -> str: ...
    @property
    def downsample(self) -> float: ...

@final
class ImageInfo(structseq[Any], tuple[str, str, int, int]):
    """One associated image."""

    __match_args__: Final = ("name", "media_type", "width", "height")
    @property
    def name(self) -> str: ...
    @property
    def media_type(self) -> str: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...

@final
class Slide:
    """An opened slide; immutable, usable from any thread."""

    @property
    def closed(self) -> bool: ...
    @property
    def cache_stats(self) -> tuple[int, int, int, int] | None:
        """(hits, misses, bytes fetched, bytes held) of a remote slide's range cache."""
    @property
    def format(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def levels(self) -> tuple[LevelInfo, ...]: ...
    @property
    def properties(self) -> dict[str, str]: ...
    @property
    def associated(self) -> tuple[ImageInfo, ...]: ...
    def read_tile(self, level: SupportsIndex, x: SupportsIndex, y: SupportsIndex, /) -> bytes: ...
    def read_tiles(self, level: SupportsIndex, coords: Iterable[Sequence[SupportsIndex]],
                   threads: SupportsIndex, /) -> list[bytes]: ...
    def tile_nbytes(self, level: SupportsIndex, coords: Iterable[Sequence[SupportsIndex]],
                    threads: SupportsIndex, /) -> bytes: ...
    def read_tiles_into(self, level: SupportsIndex, coords: Iterable[Sequence[SupportsIndex]],
                        out: Any, threads: SupportsIndex, /) -> bytearray: ...
    def read_associated(self, name: str, /) -> bytes: ...
    def tile_sizes(self, level: SupportsIndex, /) -> bytes: ...
    def plan_tiles(self, level: SupportsIndex, coords: Iterable[Sequence[SupportsIndex]],
                   /) -> tuple[Any, list[_Range]]: ...
    def assemble_tiles(self, plans: Any, buffers: Sequence[bytes], /) -> list[bytes]: ...
    def close(self) -> None: ...

def open(path: str, tile_size: SupportsIndex = ...) -> Slide: ...
def open_fetch(fetch: _Fetch, size: SupportsIndex, name: str,
               seeds: Iterable[tuple[int, bytes]], tile_size: SupportsIndex = ...,
               cache_size: SupportsIndex = ..., siblings: _Siblings | None = ...) -> Slide: ...
def open_dicom(paths: Iterable[str], named: bool = ..., folder: bool = ..., series: str = ...,
               focal_plane: SupportsIndex = ..., optical_path: str = ...) -> Slide: ...
def open_dicom_fetch(instances: Iterable[tuple[_Fetch, int, str, Iterable[tuple[int, bytes]]]]
                     | Iterable[tuple[bytes, str]],
                     named: bool = ..., folder: bool = ..., series: str = ...,
                     focal_plane: SupportsIndex = ..., optical_path: str = ...,
                     cache_size: SupportsIndex = ...,
                     frames: Callable[[list[tuple[int, int]]], Sequence[bytes]] | None = ...,
                     series_name: str = ...) -> Slide: ...
def write_shard(path: str, shard_name: str, pieces: Sequence[tuple[Any, ...]], sync: bool,
                start: SupportsIndex = ..., /) -> tuple[int, int, int, bytes]: ...
