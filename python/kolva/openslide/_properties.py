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

import base64
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
# How far before an NDPI level's scan data its JPEG header is looked for.
_NDPI_HEADER_WINDOW = 1 << 16


def level_dimensions(slide: Slide) -> tuple[tuple[int, int], ...]:
    """The levels' sizes as OpenSlide gives them. Philips pads its lower levels to
    whole tiles; OpenSlide clips them to level 0's size over the (whole) downsample."""
    dims = slide.level_dimensions
    if slide.format != "philips":
        return dims
    (w0, h0), ds = dims[0], slide.level_downsamples
    return (dims[0],) + tuple((int(w0 // round(d)), int(h0 // round(d))) for d in ds[1:])


def openslide_names(slide: Slide) -> dict[str, str]:
    """kolva's properties with OpenSlide's names, plus the associated images' sizes."""
    out: dict[str, str] = {}
    for key, value in slide.properties.items():
        if key.startswith("kolva."):
            key = "openslide." + key[len("kolva."):]
        out[key] = value
    for i, (w, h) in enumerate(level_dimensions(slide)):
        out[f"openslide.level[{i}].width"] = str(w)
        out[f"openslide.level[{i}].height"] = str(h)
    barcode = out.get("philips.PIM_DP_UFS_BARCODE")
    if barcode is not None and "openslide.barcode" not in out:
        try:
            out["openslide.barcode"] = base64.b64decode(barcode, validate=True).decode()
        except (ValueError, UnicodeDecodeError):
            pass
    # the listing's sizes: no associated image is read for them
    for name, (_, (width, height)) in slide._associated.items():
        out[f"openslide.associated.{name}.width"] = str(width)
        out[f"openslide.associated.{name}.height"] = str(height)
    # ICC profiles' sizes, as the core tells them
    profile = slide.icc_profile
    if profile:
        out["openslide.icc-size"] = str(len(profile))
    for image in slide._core.associated:
        if image.name in slide._associated and image.icc_profile:
            out[f"openslide.associated.{image.name}.icc-size"] = str(len(image.icc_profile))
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
    if slide.format == "philips":  # its XML description is not among the properties
        description = _first_description(slide)
        if description is None:
            return None
        props["tiff.ImageDescription"] = description
    for name in _HASHED_TAGS:
        h.update(name.encode() + b"\0")
        h.update(props.get(name, "").encode("utf-8", "surrogateescape") + b"\0")
    return h.hexdigest()


def _smallest_level_chunks(slide: Slide) -> list[tuple[int, int]] | None:
    """(offset, length) of every stored tile of the smallest level, in the order of
    the directory's offset table."""
    last = slide.level_count - 1
    if slide.format == "ndpi":
        return _ndpi_strip(slide)
    import numpy as np

    # the streams' sizes (shared JPEG tables counted in each) bound the stored sizes
    sizes = np.frombuffer(slide._core.tile_sizes(last), np.int64)
    if int(sizes.sum()) > 64 * _HASH_LIMIT:
        return None  # far too large to hash: OpenSlide gives none
    across = slide.levels[last].tile_grid[0]
    stored = [(int(i) % across, int(i) // across) for i in np.flatnonzero(sizes)]
    if not stored:
        return []
    _, ranges = slide._core.plan_tiles(last, stored)
    return [(int(o), int(n)) for o, n in ranges]


def _tiff(slide: Slide) -> Any:
    """The slide's file opened with tifffile, for what kolva does not hand out; None
    for remote slides (or without tifffile)."""
    source = slide.source
    if not isinstance(source, (str, os.PathLike)) or not os.path.isfile(source):
        return None
    try:
        import tifffile
    except ImportError:  # pragma: no cover - tifffile is an optional dependency
        return None
    return tifffile.TiffFile(source)


def _first_description(slide: Slide) -> str | None:
    tif = _tiff(slide)
    if tif is None:
        return None
    with tif:
        tag = tif.pages.first.tags.get(270)
        if tag is None:
            return None
        # the stored text up to its NUL (tifffile's value drops trailing white space)
        tif.filehandle.seek(tag.valueoffset)
        raw: bytes = tif.filehandle.read(tag.count)
        return raw.split(b"\0", 1)[0].decode("utf-8", "surrogateescape")


def _ndpi_strip(slide: Slide) -> list[tuple[int, int]] | None:
    """An NDPI level is one JPEG strip. kolva reads its scan data and keeps the JPEG
    header (SOI up to the end of SOS) apart: the strip starts where a header read
    segment by segment ends exactly at the scan data, and ends with the EOI after it."""
    last = slide.level_count - 1
    lv = slide.levels[last]
    coords = [(x, y) for y in range(lv.tile_grid[1]) for x in range(lv.tile_grid[0])]
    _, ranges = slide._core.plan_tiles(last, coords)
    start = min(int(o) for o, _ in ranges)
    end = max(int(o) + int(n) for o, n in ranges)
    base = max(0, start - _NDPI_HEADER_WINDOW)
    window, tail = _read_ranges(slide, [(base, start - base), (end - 2, _NDPI_HEADER_WINDOW)])
    # the scan data ends with EOI, the only FF D9 in it (FF in scan data is FF 00 or RSTn)
    eoi = tail.find(b"\xff\xd9")
    if eoi < 0:
        return None
    end += eoi
    at = window.rfind(b"\xff\xd8")
    while at >= 0:
        if _header_end(window, at) == len(window):
            return [(base + at, end - base - at)]
        at = window.rfind(b"\xff\xd8", 0, at)
    return None


def _header_end(data: bytes, at: int) -> int:
    """Where the JPEG header starting at `at` (SOI) ends after its SOS segment, or -1."""
    pos = at + 2
    while pos + 4 <= len(data):
        if data[pos] != 0xFF:
            return -1
        marker, length = data[pos + 1], int.from_bytes(data[pos + 2:pos + 4], "big")
        pos += 2 + length
        if marker == 0xDA:
            return pos
    return -1


def _read_ranges(slide: Slide, ranges: list[tuple[int, int]]) -> list[bytes]:
    remote = slide._remote
    if remote is not None:
        return list(remote.fetch(ranges))
    with open(os.fspath(slide.source), "rb") as f:
        return [os.pread(f.fileno(), n, o) for o, n in ranges]
