"""OpenSlide's Python API over kolva: code written for openslide-python runs with
only its import changed.

    import kolva.openslide as openslide

    with openslide.OpenSlide("slide.svs") as slide:
        slide.properties[openslide.PROPERTY_NAME_MPP_X]
        region = slide.read_region((1000, 2000), 0, (512, 512))   # RGBA PIL image

Properties carry OpenSlide's names (``openslide.vendor``, ``openslide.mpp-x``,
``openslide.level[N].*``, ``openslide.quickhash-1``, ...) beside the vendor's keys;
geometry, `get_best_level_for_downsample`, `read_region` (transparent outside the
slide and where no tile is stored), `get_thumbnail`, `associated_images` (RGBA) and
`color_profile` follow OpenSlide; NDPI slides get OpenSlide's extra levels (the
smallest stored level at 1/2, 1/4 and 1/8 JPEG scale). Beyond what OpenSlide opens, `OpenSlide` takes
what `kolva.open` takes: URLs, Olympus VSI, DICOM folders and DICOMweb series.

Errors: `OpenSlideError` is `kolva.SlideError` and `OpenSlideUnsupportedFormatError`
is `kolva.UnsupportedFormat`, so ``except openslide.OpenSlideError`` catches every
error kolva raises. Unlike OpenSlide, a level that does not exist raises
`kolva.TileNotFound` (an OpenSlideError and an IndexError) instead of returning a
transparent image.
"""
from __future__ import annotations

import math
import os
from abc import ABCMeta, abstractmethod
from collections.abc import Iterator, Mapping
from io import BytesIO
from types import TracebackType
from typing import Any, Literal, TypeVar, Union

from PIL import Image, ImageCms

from .. import __version__ as _kolva_version
from .._core import SlideError, TileNotFound, UnsupportedFormat
from .._slide import Slide
from .._slide import open as _open
from ._ndpi import ScaledLevels, crop, scaled_levels
from ._properties import PropertyMap, level_dimensions, openslide_names

__all__ = [
    "AbstractSlide", "ImageSlide", "OpenSlide", "OpenSlideCache", "OpenSlideError",
    "OpenSlideUnsupportedFormatError", "OpenSlideVersionError", "open_slide",
    "PROPERTY_NAME_BACKGROUND_COLOR", "PROPERTY_NAME_BARCODE", "PROPERTY_NAME_BOUNDS_HEIGHT",
    "PROPERTY_NAME_BOUNDS_WIDTH", "PROPERTY_NAME_BOUNDS_X", "PROPERTY_NAME_BOUNDS_Y",
    "PROPERTY_NAME_COMMENT", "PROPERTY_NAME_MPP_X", "PROPERTY_NAME_MPP_Y",
    "PROPERTY_NAME_OBJECTIVE_POWER", "PROPERTY_NAME_QUICKHASH1", "PROPERTY_NAME_VENDOR",
    "__library_version__", "__version__",
]

__version__ = _kolva_version
# The OpenSlide release whose behaviour and outputs this API is checked against.
__library_version__ = "4.0.1"

OpenSlideError = SlideError
OpenSlideUnsupportedFormatError = UnsupportedFormat


class OpenSlideVersionError(SlideError):
    """A feature of an OpenSlide release this API does not follow."""


PROPERTY_NAME_BACKGROUND_COLOR = "openslide.background-color"
PROPERTY_NAME_BARCODE = "openslide.barcode"
PROPERTY_NAME_BOUNDS_HEIGHT = "openslide.bounds-height"
PROPERTY_NAME_BOUNDS_WIDTH = "openslide.bounds-width"
PROPERTY_NAME_BOUNDS_X = "openslide.bounds-x"
PROPERTY_NAME_BOUNDS_Y = "openslide.bounds-y"
PROPERTY_NAME_COMMENT = "openslide.comment"
PROPERTY_NAME_MPP_X = "openslide.mpp-x"
PROPERTY_NAME_MPP_Y = "openslide.mpp-y"
PROPERTY_NAME_OBJECTIVE_POWER = "openslide.objective-power"
PROPERTY_NAME_QUICKHASH1 = "openslide.quickhash-1"
PROPERTY_NAME_VENDOR = "openslide.vendor"

Filename = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_T = TypeVar("_T")


def _check_size(size: tuple[int, int]) -> tuple[int, int]:
    w, h = (int(s) for s in size)
    if w < 0 or h < 0:
        raise OpenSlideError(f"negative width ({w}) or negative height ({h}) not allowed")
    return w, h


class AbstractSlide(metaclass=ABCMeta):
    """The base class of a slide object."""

    def __init__(self) -> None:
        self._profile: bytes | None = None

    def __enter__(self: _T) -> _T:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None,
                 traceback: TracebackType | None) -> Literal[False]:
        self.close()
        return False

    @classmethod
    @abstractmethod
    def detect_format(cls, filename: Filename) -> str | None:
        """A string naming the format of the file, or None if it is not recognised."""

    @abstractmethod
    def close(self) -> None:
        """Closes the slide."""

    @property
    @abstractmethod
    def level_count(self) -> int:
        """The number of levels in the image."""

    @property
    @abstractmethod
    def level_dimensions(self) -> tuple[tuple[int, int], ...]:
        """(width, height) of each level."""

    @property
    def dimensions(self) -> tuple[int, int]:
        """(width, height) of level 0."""
        return self.level_dimensions[0]

    @property
    @abstractmethod
    def level_downsamples(self) -> tuple[float, ...]:
        """The downsampling factor of each level."""

    @property
    @abstractmethod
    def properties(self) -> Mapping[str, str]:
        """Metadata: property name -> value."""

    @property
    @abstractmethod
    def associated_images(self) -> Mapping[str, Image.Image]:
        """Images associated with the slide: name -> PIL image."""

    @property
    def color_profile(self) -> ImageCms.ImageCmsProfile | None:
        """The slide's ICC colour profile, or None when it has none."""
        if self._profile is None:
            return None
        return ImageCms.getOpenProfile(BytesIO(self._profile))

    @abstractmethod
    def get_best_level_for_downsample(self, downsample: float) -> int:
        """The best level for displaying the given downsample."""

    @abstractmethod
    def read_region(self, location: tuple[int, int], level: int,
                    size: tuple[int, int]) -> Image.Image:
        """An RGBA image of `size` pixels of `level`, its top left at `location` (level 0
        coordinates)."""

    def set_cache(self, cache: OpenSlideCache) -> None:  # noqa: B027 - optional
        """Accepted for compatibility; this class keeps no cache."""

    def get_thumbnail(self, size: tuple[int, int]) -> Image.Image:
        """An RGB thumbnail no larger than `size`: the best level for the scale, laid
        on the background colour and reduced with Lanczos filtering (OpenSlide's way)."""
        downsample = max(dim / thumb for dim, thumb in zip(self.dimensions, size))
        level = self.get_best_level_for_downsample(downsample)
        tile = self.read_region((0, 0), level, self.level_dimensions[level])
        bg = "#" + self.properties.get(PROPERTY_NAME_BACKGROUND_COLOR, "ffffff")
        thumb = Image.new("RGB", tile.size, bg)
        thumb.paste(tile, None, tile)
        thumb.thumbnail(size, Image.Resampling.LANCZOS)
        if self._profile is not None:
            thumb.info["icc_profile"] = self._profile
        return thumb


class OpenSlideCache:
    """Accepted where OpenSlide takes a tile cache. kolva decodes nothing ahead and
    keeps no decoded tiles, so the capacity is only recorded."""

    def __init__(self, capacity: int) -> None:
        if capacity < 0:
            raise ValueError(f"capacity must not be negative, not {capacity}")
        self._capacity = capacity

    def __repr__(self) -> str:
        return f"{self.__class__.__name__}({self._capacity!r})"


class _AssociatedImages(Mapping[str, Image.Image]):
    """Name -> RGBA PIL image, each decoded from the stored stream when looked up."""

    def __init__(self, slide: Slide, profile: bytes | None) -> None:
        self._slide = slide
        self._profile = profile

    def __getitem__(self, name: str) -> Image.Image:
        try:
            encoded = self._slide.associated_images[name]
        except KeyError:
            raise KeyError(name) from None
        decoded = _decode(encoded.data, encoded.media_type)
        image = decoded.convert("RGBA")
        w, h = encoded.dimensions
        if image.width >= w and image.height >= h and image.size != (w, h):
            # a DICOM frame may be larger than the image it holds (OpenSlide refuses
            # such an image): the image is its top left
            image = image.crop((0, 0, w, h))
        # the image's own profile, where its stream carries one (as OpenSlide reads
        # each associated image's own)
        profile = decoded.info.get("icc_profile")
        if profile:
            image.info["icc_profile"] = self._profile if profile == self._profile else profile
        return image

    def __iter__(self) -> Iterator[str]:
        return iter(self._slide.associated_images)

    def __len__(self) -> int:
        return len(self._slide.associated_images)

    def __repr__(self) -> str:
        return f"<_AssociatedImageMap {list(self)!r}>"


def _decode(data: bytes, media_type: str) -> Image.Image:
    try:
        with Image.open(BytesIO(data)) as im:
            im.load()
            return im
    except (OSError, ValueError):
        # Pillow lacks the codec (JPEG 2000 builds without OpenJPEG, JPEG-LS, ...)
        import imagecodecs
        import numpy as np

        pixels = np.asarray(imagecodecs.imread(data))
        if pixels.dtype != np.uint8:
            raise OpenSlideError(f"cannot decode the {media_type} associated image: "
                                 f"{pixels.dtype} samples") from None
        return Image.fromarray(pixels)


def _open_as_openslide(filename: Filename | Any) -> Slide:
    """The slide as OpenSlide shows it: where the file offers a series named
    ``collection`` (its regions composed on slide-sized levels, as OpenSlide
    composes them), that series; the default one where the regions cannot be
    composed, which OpenSlide refuses to open."""
    slide = _open(filename)
    if "collection" not in slide.planes.get("series", ()) or not isinstance(
            filename, (str, os.PathLike)):
        return slide
    try:
        composed = _open(filename, series="collection")
    except SlideError:
        return slide
    slide.close()
    return composed


class OpenSlide(AbstractSlide):
    """An open whole-slide image, read through kolva.

    `filename` is anything `kolva.open` takes: a path, a URL, a DICOM folder or
    DICOMweb series URL, an open binary file object, or an already opened
    `kolva.Slide` (shared, not closed by `close`)."""

    def __init__(self, filename: Filename | Slide | Any) -> None:
        AbstractSlide.__init__(self)
        self._filename = filename
        if isinstance(filename, Slide):
            self._slide, self._owned = filename, False
        else:
            if isinstance(filename, bytes):
                filename = os.fsdecode(filename)
            self._slide, self._owned = _open_as_openslide(filename), True
        self._profile = self._slide.icc_profile
        # NDPI: OpenSlide's levels decoded at reduced JPEG scale follow the stored ones
        scaled = scaled_levels(self._slide)
        self._scales = [k for k, _, _ in scaled]
        self._scaled = ScaledLevels(self._slide) if scaled else None
        self._level_dimensions = level_dimensions(self._slide) + tuple(
            (w, h) for _, w, h in scaled)
        (w0, h0) = self._level_dimensions[0]
        self._level_downsamples = self._slide.level_downsamples + tuple(
            (w0 / w + h0 / h) / 2 for _, w, h in scaled)
        self._props: PropertyMap | None = None

    def __repr__(self) -> str:
        return f"{self.__class__.__name__}({self._filename!r})"

    @classmethod
    def detect_format(cls, filename: Filename) -> str | None:
        """The vendor of the slide (``aperio``, ``hamamatsu``, ``philips``,
        ``generic-tiff``, ``dicom``, ``olympus``), or None when kolva cannot read it."""
        if isinstance(filename, bytes):
            filename = os.fsdecode(filename)
        try:
            with _open(filename) as slide:
                return slide.properties.get("kolva.vendor", slide.format)
        except (SlideError, OSError):
            return None

    def close(self) -> None:
        """Releases the file (not a `kolva.Slide` passed in)."""
        if self._owned:
            self._slide.close()

    @property
    def slide(self) -> Slide:
        """The underlying `kolva.Slide`: its stored tiles, still encoded."""
        return self._slide

    @property
    def level_count(self) -> int:
        return len(self._level_dimensions)

    @property
    def level_dimensions(self) -> tuple[tuple[int, int], ...]:
        return self._level_dimensions

    @property
    def level_downsamples(self) -> tuple[float, ...]:
        return self._level_downsamples

    @property
    def properties(self) -> Mapping[str, str]:
        if self._props is None:
            names = openslide_names(self._slide)
            stored = self._slide.level_count
            tw, th = self._slide.levels[-1].tile_size
            for i in range(stored, self.level_count):
                k = self._scales[i - stored]
                names.update({
                    f"openslide.level[{i}].width": str(self._level_dimensions[i][0]),
                    f"openslide.level[{i}].height": str(self._level_dimensions[i][1]),
                    f"openslide.level[{i}].downsample": format(self._level_downsamples[i], ".17g"),
                    f"openslide.level[{i}].tile-width": str(tw // k),
                    f"openslide.level[{i}].tile-height": str(th // k)})
            names["openslide.level-count"] = str(self.level_count)
            self._props = PropertyMap(self._slide, names)
        return self._props

    @property
    def associated_images(self) -> Mapping[str, Image.Image]:
        return _AssociatedImages(self._slide, self._profile)

    def get_best_level_for_downsample(self, downsample: float) -> int:
        """The largest level whose downsample does not exceed `downsample`."""
        ds = self._level_downsamples
        return next((i - 1 for i in range(1, len(ds)) if downsample < ds[i]), len(ds) - 1) \
            if downsample >= ds[0] else 0

    def read_region(self, location: tuple[int, int], level: int,
                    size: tuple[int, int]) -> Image.Image:
        """An RGBA image of `size` pixels of `level` whose top left is `location` in
        level 0 coordinates; transparent (0, 0, 0, 0) outside the slide and where the
        slide stores no tile. Not premultiplied."""
        w, h = _check_size(size)
        if not 0 <= level < self.level_count:
            plural = "level" if self.level_count == 1 else "levels"
            raise TileNotFound(f"level {level} does not exist: the slide has "
                               f"{self.level_count} {plural}")
        if w == 0 or h == 0:
            region = Image.new("RGBA", (w, h))
        else:
            x, y = (int(v) for v in location)
            if level >= self._slide.level_count:
                assert self._scaled is not None
                ds = self._level_downsamples[level]
                pixels = crop(self._scaled.level(self._scales[level - self._slide.level_count]),
                              (math.floor(x / ds), math.floor(y / ds)), (w, h))
            else:
                pixels = self._slide.read_region(  # type: ignore[attr-defined, unused-ignore]
                    (x, y), level, (w, h), alpha=True)
            region = Image.fromarray(self._clip(pixels, (x, y), level), "RGBA")
        if self._profile is not None:
            region.info["icc_profile"] = self._profile
        return region

    def _clip(self, pixels: Any, location: tuple[int, int], level: int) -> Any:
        """Clears what lies beyond the level's size where OpenSlide makes a level
        smaller than its stored tiles (Philips' padding)."""
        size = self._level_dimensions[level]
        if level >= self._slide.level_count or size == self._slide.level_dimensions[level]:
            return pixels
        if not pixels.flags.writeable:
            pixels = pixels.copy()
        ds = self.level_downsamples[level]
        for axis, (at, limit) in enumerate(zip(location, size)):
            first_out = limit - math.floor(at / ds)
            if first_out < pixels.shape[1 - axis]:
                index = [slice(None)] * 2
                index[1 - axis] = slice(max(first_out, 0), None)
                pixels[tuple(index)] = 0
        return pixels

    def set_cache(self, cache: OpenSlideCache) -> None:
        """Accepts an `OpenSlideCache` (kolva keeps no decoded tiles to cache)."""
        if not isinstance(cache, OpenSlideCache):
            raise TypeError("Not a cache object")


class ImageSlide(AbstractSlide):
    """A PIL image (or an image file Pillow opens) behind the slide interface."""

    def __init__(self, file: Filename | Image.Image) -> None:
        AbstractSlide.__init__(self)
        self._file_arg = file
        if isinstance(file, Image.Image):
            self._close = False
            self._image: Image.Image | None = file
        else:
            self._close = True
            self._image = Image.open(file)
        self._profile = self._image.info.get("icc_profile")

    def __repr__(self) -> str:
        return f"{self.__class__.__name__}({self._file_arg!r})"

    @classmethod
    def detect_format(cls, filename: Filename) -> str | None:
        """Pillow's name for the file's format, or None."""
        try:
            with Image.open(filename) as img:
                return img.format
        except OSError:
            return None

    def close(self) -> None:
        if self._close and self._image is not None:
            self._image.close()
            self._close = False
        self._image = None

    def _opened(self) -> Image.Image:
        if self._image is None:
            raise ValueError("Cannot read from a closed slide")
        return self._image

    @property
    def level_count(self) -> Literal[1]:
        return 1

    @property
    def level_dimensions(self) -> tuple[tuple[int, int]]:
        return (self._opened().size,)

    @property
    def level_downsamples(self) -> tuple[float]:
        return (1.0,)

    @property
    def properties(self) -> Mapping[str, str]:
        return {}

    @property
    def associated_images(self) -> Mapping[str, Image.Image]:
        return {}

    def get_best_level_for_downsample(self, _downsample: float) -> Literal[0]:
        return 0

    def read_region(self, location: tuple[int, int], level: int,
                    size: tuple[int, int]) -> Image.Image:
        image = self._opened()
        if level != 0:
            raise OpenSlideError("Invalid level")
        w, h = _check_size(size)
        tile = Image.new("RGBA", (w, h), (0, 0, 0, 0))
        x, y = location
        left, top = max(x, 0), max(y, 0)
        right, bottom = min(x + w, image.width), min(y + h, image.height)
        if left < right and top < bottom:
            tile.paste(image.crop((left, top, right, bottom)), (left - x, top - y))
        if self._profile is not None:
            tile.info["icc_profile"] = self._profile
        return tile


def open_slide(filename: Filename) -> OpenSlide | ImageSlide:
    """An `OpenSlide` for whole-slide images, an `ImageSlide` for other images."""
    try:
        return OpenSlide(filename)
    except OpenSlideUnsupportedFormatError:
        return ImageSlide(filename)
