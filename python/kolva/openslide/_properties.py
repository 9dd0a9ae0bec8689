"""A slide's properties under OpenSlide's names, and OpenSlide's quickhash-1.

kolva names its own summary keys ``kolva.*`` (vendor, mpp-x/-y, objective-power,
comment, bounds-*, background-color, level-count, level[N].*, icc-size); OpenSlide
names the same ``openslide.*``. Vendor keys (``aperio.*``, ``tiff.*``, ``dicom.*``,
...) keep their names.

quickhash-1 is a SHA-256 that OpenSlide makes at opening to identify a slide:

* TIFF families (Aperio, Hamamatsu NDPI, Philips, generic TIFF): the stored bytes of
  every tile (or strip) of the smallest level, as the TIFF directory lists them,
  then the names and values of nine text tags of the first directory (name and value
  each followed by a NUL; an absent tag hashes as an empty value). When the smallest
  level stores more than 5 MiB the slide has no quickhash.
* DICOM: the series' SeriesInstanceUID and a NUL.

Formats OpenSlide does not read (Olympus VSI/ETS) get no quickhash: there is no value
of OpenSlide's to match.
"""
from __future__ import annotations

import hashlib
import os
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .._slide import Slide

QUICKHASH = "openslide.quickhash-1"

# The text tags of the first directory that OpenSlide hashes, in its order.
_HASHED_TAGS = ("tiff.ImageDescription", "tiff.Make", "tiff.Model", "tiff.Software",
                "tiff.DateTime", "tiff.Artist", "tiff.HostComputer", "tiff.Copyright",
                "tiff.DocumentName")
_HASH_LIMIT = 5 << 20
_TIFF_FAMILIES = {"aperio", "ndpi", "philips", "generic-tiff"}
# NDPI: the tag saying which pyramid a directory belongs to (> 0: the slide's own).
_NDPI_SOURCE_LENS = 65421


def openslide_names(properties: Mapping[str, str], associated: Mapping[str, Any]
                    ) -> dict[str, str]:
    """kolva's properties with OpenSlide's names, plus the associated images' sizes."""
    out: dict[str, str] = {}
    for key, value in properties.items():
        if key.startswith("kolva."):
            key = "openslide." + key[len("kolva."):]
        out[key] = value
    for name, image in associated.items():
        width, height = image
        out[f"openslide.associated.{name}.width"] = str(width)
        out[f"openslide.associated.{name}.height"] = str(height)
    return out


class PropertyMap(Mapping[str, str]):
    """The properties of an `OpenSlide`; quickhash-1 is worked out when first asked
    for (it reads up to 5 MiB of the slide's smallest level)."""

    def __init__(self, slide: Slide, names: dict[str, str]) -> None:
        self._slide = slide
        self._names = names
        self._hashed = False

    def _complete(self) -> dict[str, str]:
        if not self._hashed:
            digest = quickhash1(self._slide)
            if digest is not None:
                self._names[QUICKHASH] = digest
            self._hashed = True
        return self._names

    def __getitem__(self, key: str) -> str:
        if key == QUICKHASH:
            return self._complete()[key]
        return self._names[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._complete())

    def __len__(self) -> int:
        return len(self._complete())

    def __contains__(self, key: object) -> bool:
        if key == QUICKHASH:
            return key in self._complete()
        return key in self._names

    def __repr__(self) -> str:
        return f"<_PropertyMap {dict(self)!r}>"


def quickhash1(slide: Slide) -> str | None:
    """OpenSlide's quickhash-1 of `slide`, or None where OpenSlide gives none."""
    props = slide.properties
    if slide.format == "dicom":
        uid = props.get("dicom.SeriesInstanceUID")
        if uid is None:
            return None
        return hashlib.sha256(uid.encode() + b"\0").hexdigest()
    if slide.format not in _TIFF_FAMILIES:
        return None
    chunks = _smallest_level_chunks(slide)
    if chunks is None or sum(n for _, n in chunks) > _HASH_LIMIT:
        return None
    h = hashlib.sha256()
    for data in _read_ranges(slide, chunks):
        h.update(data)
    for name in _HASHED_TAGS:
        h.update(name.encode() + b"\0")
        h.update(props.get(name, "").encode("utf-8", "surrogateescape") + b"\0")
    return h.hexdigest()


def _smallest_level_chunks(slide: Slide) -> list[tuple[int, int]] | None:
    """(offset, length) of every stored tile of the smallest level, in the order of
    the directory's offset table."""
    last = slide.level_count - 1
    if slide.format == "ndpi":
        return _ndpi_strip(slide, slide.levels[last].dimensions[0])
    import numpy as np

    sizes = np.frombuffer(slide._core.tile_sizes(last), np.int64)
    if int(sizes.sum()) > _HASH_LIMIT:
        return None  # too large to hash: OpenSlide gives none
    across = slide.levels[last].tile_grid[0]
    stored = [(int(i) % across, int(i) // across) for i in np.flatnonzero(sizes)]
    if not stored:
        return []
    _, ranges = slide._core.plan_tiles(last, stored)
    return [(int(o), int(n)) for o, n in ranges]


def _ndpi_strip(slide: Slide, width: int) -> list[tuple[int, int]] | None:
    """An NDPI level is one JPEG strip; kolva keeps its header apart from the scan
    data, so the strip's extent comes from the TIFF directory itself."""
    source = slide.source
    if not isinstance(source, (str, os.PathLike)) or not os.path.isfile(source):
        return None  # remote NDPI: not hashed
    try:
        import tifffile
    except ImportError:  # pragma: no cover - tifffile is an optional dependency
        return None
    with tifffile.TiffFile(source) as tif:
        best: tuple[int, int] | None = None
        best_width = None
        for page in tif.pages:
            tags = page.tags  # type: ignore[union-attr]
            lens = tags.get(_NDPI_SOURCE_LENS)
            if lens is None or float(lens.value) <= 0:
                continue
            page_width = int(tags[256].value)
            if best_width is None or page_width < best_width:
                best_width = page_width
                best = (int(tags[273].value[0]), int(tags[279].value[0]))
    if best is None or best_width != width:
        return None
    return [best]


def _read_ranges(slide: Slide, ranges: list[tuple[int, int]]) -> list[bytes]:
    remote = slide._remote
    if remote is not None:
        return list(remote.fetch(ranges))
    with open(os.fspath(slide.source), "rb") as f:
        return [os.pread(f.fileno(), n, o) for o, n in ranges]
