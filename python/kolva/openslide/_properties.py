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
  level stores more than 5 MiB the slide has no quickhash. Leica: the smallest macro
  level (the collection's, whichever image is served); Argos: then the XML and a NUL.
* DICOM: the series' SeriesInstanceUID and a NUL.

The slide hands out what is hashed (the ranges and raw tag text, the bytes read through
its own reader, so remote slides hash like local ones); this module only hashes it.
Formats OpenSlide does not read (Olympus VSI/ETS) get no quickhash: there is no value
of OpenSlide's to match.
"""
from __future__ import annotations

import base64
import hashlib
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .._slide import Slide

QUICKHASH = "openslide.quickhash-1"

# The text tags of the first directory that OpenSlide hashes, in its order.
_HASHED_TAGS = ("tiff.ImageDescription", "tiff.Make", "tiff.Model", "tiff.Software",
                "tiff.DateTime", "tiff.Artist", "tiff.HostComputer", "tiff.Copyright",
                "tiff.DocumentName")
_HASH_LIMIT = 5 << 20


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
    for name, icc in slide.associated_icc_profiles.items():
        out[f"openslide.associated.{name}.icc-size"] = str(len(icc))
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
    if slide.format == "dicom":
        uid = slide.properties.get("dicom.SeriesInstanceUID")
        if uid is None:
            return None
        return hashlib.sha256(uid.encode() + b"\0").hexdigest()
    hashed = slide.quickhash_input()
    if hashed is None:
        return None
    ranges, texts = hashed
    if sum(n for _, n in ranges) > _HASH_LIMIT:
        return None
    h = hashlib.sha256()
    if ranges:
        h.update(slide.read_quickhash_input())
    for name, text in zip(_HASHED_TAGS, texts[:len(_HASHED_TAGS)], strict=True):
        h.update(name.encode() + b"\0" + text + b"\0")
    for text in texts[len(_HASHED_TAGS):]:  # a family's own text (Argos: its XML)
        h.update(text + b"\0")
    return h.hexdigest()
