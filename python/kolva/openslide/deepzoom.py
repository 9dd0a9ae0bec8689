"""Deep Zoom tiles and .dzi metadata of a slide, as openslide-python's
`openslide.deepzoom.DeepZoomGenerator` makes them (same levels, tile grid, read
regions and scaling, so the same tiles where the slide's pixels are the same).

Four coordinate planes: tile column/row in a Deep Zoom level (t), pixels of that
Deep Zoom level (z), pixels of the slide level read (l), pixels of slide level 0 (l0).
Deep Zoom level n is level 0 halved (rounding up) until 1 x 1, counted from the
smallest; each is read from the slide level `get_best_level_for_downsample` picks for
its downsample and scaled with Lanczos filtering.
"""
from __future__ import annotations

import math
from typing import Any
from xml.etree.ElementTree import Element, ElementTree, SubElement
from io import BytesIO

from PIL import Image

from . import (PROPERTY_NAME_BACKGROUND_COLOR, PROPERTY_NAME_BOUNDS_HEIGHT,
               PROPERTY_NAME_BOUNDS_WIDTH, PROPERTY_NAME_BOUNDS_X, PROPERTY_NAME_BOUNDS_Y)

__all__ = ["DeepZoomGenerator"]

_Pair = tuple[int, int]


class DeepZoomGenerator:
    """Deep Zoom tiles of `osr` (a `kolva.openslide` slide, or any object with the
    OpenSlide slide interface)."""

    BOUNDS_OFFSET_PROPS = (PROPERTY_NAME_BOUNDS_X, PROPERTY_NAME_BOUNDS_Y)
    BOUNDS_SIZE_PROPS = (PROPERTY_NAME_BOUNDS_WIDTH, PROPERTY_NAME_BOUNDS_HEIGHT)

    def __init__(self, osr: Any, tile_size: int = 254, overlap: int = 1,
                 limit_bounds: bool = False) -> None:
        """tile_size: width and height of a tile (tile_size + 2 * overlap a power of
        two suits viewers best); overlap: extra pixels on each interior tile edge;
        limit_bounds: only the slide's non-empty region (its bounds properties)."""
        self._osr = osr
        self._tile = tile_size
        self._overlap = overlap
        self._limit_bounds = limit_bounds
        props = osr.properties
        level_dims: tuple[_Pair, ...] = tuple(tuple(d) for d in osr.level_dimensions)
        if limit_bounds:
            self._l0_offset: _Pair = (int(props.get(PROPERTY_NAME_BOUNDS_X, 0)),
                                      int(props.get(PROPERTY_NAME_BOUNDS_Y, 0)))
            scale = tuple(int(props.get(name, full)) / full
                          for name, full in zip(self.BOUNDS_SIZE_PROPS, osr.dimensions))
            self._l_dims: tuple[_Pair, ...] = tuple(
                (math.ceil(w * scale[0]), math.ceil(h * scale[1])) for w, h in level_dims)
        else:
            self._l0_offset = (0, 0)
            self._l_dims = level_dims
        self._l0_dims = self._l_dims[0]

        size = self._l0_dims
        sizes = [size]
        while size[0] > 1 or size[1] > 1:
            size = (max(1, math.ceil(size[0] / 2)), max(1, math.ceil(size[1] / 2)))
            sizes.append(size)
        self._z_dims: tuple[_Pair, ...] = tuple(reversed(sizes))
        self._t_dims: tuple[_Pair, ...] = tuple(
            (math.ceil(w / tile_size), math.ceil(h / tile_size)) for w, h in self._z_dims)
        self._levels = len(self._z_dims)

        l0_z_downsamples = tuple(2 ** (self._levels - n - 1) for n in range(self._levels))
        self._slide_level = tuple(osr.get_best_level_for_downsample(d)
                                  for d in l0_z_downsamples)
        self._l0_l_downsamples = tuple(osr.level_downsamples)
        self._l_z_downsamples = tuple(
            l0_z_downsamples[n] / self._l0_l_downsamples[self._slide_level[n]]
            for n in range(self._levels))
        self._bg_color = "#" + props.get(PROPERTY_NAME_BACKGROUND_COLOR, "ffffff")

    def __repr__(self) -> str:
        return (f"{self.__class__.__name__}({self._osr!r}, tile_size={self._tile!r}, "
                f"overlap={self._overlap!r}, limit_bounds={self._limit_bounds!r})")

    @property
    def level_count(self) -> int:
        """The number of Deep Zoom levels."""
        return self._levels

    @property
    def level_tiles(self) -> tuple[_Pair, ...]:
        """(tiles across, tiles down) of each Deep Zoom level."""
        return self._t_dims

    @property
    def level_dimensions(self) -> tuple[_Pair, ...]:
        """(width, height) in pixels of each Deep Zoom level."""
        return self._z_dims

    @property
    def tile_count(self) -> int:
        """The number of tiles of all Deep Zoom levels."""
        return sum(across * down for across, down in self._t_dims)

    def get_tile(self, level: int, address: tuple[int, int]) -> Image.Image:
        """The RGB tile at (column, row) `address` of Deep Zoom `level`, laid on the
        slide's background colour."""
        args, z_size = self._tile_info(level, address)
        tile = self._osr.read_region(*args)
        profile = tile.info.get("icc_profile")
        background = Image.new("RGB", tile.size, self._bg_color)
        tile = Image.composite(tile, background, tile)
        if tile.size != z_size:
            tile.thumbnail(z_size, Image.Resampling.LANCZOS)
        if profile is not None:
            tile.info["icc_profile"] = profile
        return tile

    def get_tile_coordinates(self, level: int, address: tuple[int, int]
                             ) -> tuple[_Pair, int, _Pair]:
        """The `read_region` arguments (level 0 location, slide level, size) of a tile."""
        return self._tile_info(level, address)[0]

    def get_tile_dimensions(self, level: int, address: tuple[int, int]) -> _Pair:
        """(width, height) of a tile."""
        return self._tile_info(level, address)[1]

    def get_dzi(self, format: str) -> str:  # noqa: A002 - openslide-python's name
        """The .dzi XML of the image; `format`: the tiles' format ("png", "jpeg")."""
        image = Element("Image", TileSize=str(self._tile), Overlap=str(self._overlap),
                        Format=format, xmlns="http://schemas.microsoft.com/deepzoom/2008")
        w, h = self._l0_dims
        SubElement(image, "Size", Width=str(w), Height=str(h))
        buf = BytesIO()
        ElementTree(element=image).write(buf, encoding="UTF-8")
        return buf.getvalue().decode("UTF-8")

    def _tile_info(self, dz_level: int, address: tuple[int, int]
                   ) -> tuple[tuple[_Pair, int, _Pair], _Pair]:
        if not 0 <= dz_level < self._levels:
            raise ValueError("Invalid level")
        grid = self._t_dims[dz_level]
        if len(address) != 2 or not all(0 <= t < lim for t, lim in zip(address, grid)):
            raise ValueError("Invalid address")
        slide_level = self._slide_level[dz_level]
        l_z = self._l_z_downsamples[dz_level]
        l0_l = self._l0_l_downsamples[slide_level]
        location: list[int] = []
        l_size: list[int] = []
        z_size: list[int] = []
        for axis in range(2):
            t, t_lim = address[axis], grid[axis]
            z_lim = self._z_dims[dz_level][axis]
            tl = self._overlap * int(t != 0)
            br = self._overlap * int(t != t_lim - 1)
            size = min(self._tile, z_lim - self._tile * t) + tl + br
            l_pos = l_z * (self._tile * t - tl)
            location.append(int(l0_l * l_pos + self._l0_offset[axis]))
            l_size.append(int(min(math.ceil(l_z * size),
                                  self._l_dims[slide_level][axis] - math.ceil(l_pos))))
            z_size.append(size)
        return (((location[0], location[1]), slide_level, (l_size[0], l_size[1])),
                (z_size[0], z_size[1]))
