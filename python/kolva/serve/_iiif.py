"""The IIIF Image API 3.0 face of `kolva serve`: `/iiif/{id}/info.json` and
`/iiif/{id}/{region}/{size}/{rotation}/{quality}.{format}`.

info.json describes the stored pyramid: one `tiles` entry per stored tile size with
the scale factors of the levels that are an integer downsample of level 0, and the
levels' sizes. A request for exactly one stored tile at its own size, in its own
format, is answered with the stored bytes (the tile path's ETag); any other region,
size, rotation, quality or format is read through the region reader from the level
closest above the asked size, scaled, turned and encoded (level 2).
"""
from __future__ import annotations

import io
import math
import re
from dataclasses import dataclass
from typing import Any

CONTEXT = "http://iiif.io/api/image/3/context.json"
# Largest image handed out (pixels), and largest width or height.
MAX_AREA = 4096 * 4096
MAX_SIDE = 8192
# Format extension -> (PIL format, media type).
FORMATS = {"jpg": ("JPEG", "image/jpeg"), "png": ("PNG", "image/png"),
           "webp": ("WEBP", "image/webp"), "gif": ("GIF", "image/gif"),
           "tif": ("TIFF", "image/tiff")}
EXTRA_FORMATS = ["png", "webp", "gif", "tif"]
QUALITIES = ("default", "color", "gray", "bitonal")
EXTRA_FEATURES = ["mirroring", "rotationArbitrary", "sizeUpscaling", "regionSquare",
                  "regionByPct", "sizeByPct", "sizeByConfinedWh", "baseUriRedirect", "cors",
                  "jsonldMediaType", "profileLinkHeader", "canonicalLinkHeader"]
# Stored media types handed out as they are, by the extension a request names.
STORED_FORMATS = {"image/jpeg": "jpg", "image/png": "png", "image/webp": "webp"}

_INT = re.compile(r"[0-9]{1,10}")
_FLOAT = re.compile(r"(?:[0-9]{1,10}(?:\.[0-9]{0,10})?|\.[0-9]{1,10})")


class BadRequest(ValueError):
    """A request the API's syntax does not allow, or that asks for too much."""


@dataclass(frozen=True)
class Request:
    region: tuple[int, int, int, int]  # x, y, width, height in level-0 pixels
    size: tuple[int, int]
    mirror: bool
    rotation: float
    quality: str
    format: str


def _int(text: str, what: str) -> int:
    if not _INT.fullmatch(text):
        raise BadRequest(f"{what} {text!r} is not a whole number of pixels")
    return int(text)


def _float(text: str, what: str) -> float:
    if not _FLOAT.fullmatch(text):
        raise BadRequest(f"{what} {text!r} is not a decimal number")
    return float(text)


def parse_region(text: str, width: int, height: int) -> tuple[int, int, int, int]:
    """The region of a request, cropped to the image: (x, y, w, h) in pixels."""
    if text == "full":
        return 0, 0, width, height
    if text == "square":
        side = min(width, height)
        return (width - side) // 2, (height - side) // 2, side, side
    if text.startswith("pct:"):
        values = text[4:].split(",")
        if len(values) != 4:
            raise BadRequest(f"region {text!r}: give pct:x,y,w,h")
        px, py, pw, ph = (_float(v, "region percentage") for v in values)
        x, y = round(px * width / 100), round(py * height / 100)
        w, h = round(pw * width / 100), round(ph * height / 100)
        if pw <= 0 or ph <= 0:
            raise BadRequest(f"region {text!r} has no area")
        w, h = max(w, 1), max(h, 1)
    else:
        values = text.split(",")
        if len(values) != 4:
            raise BadRequest(f"region {text!r}: give full, square, x,y,w,h or pct:x,y,w,h")
        x, y, w, h = (_int(v, "region value") for v in values)
        if w == 0 or h == 0:
            raise BadRequest(f"region {text!r} has no area")
    if x >= width or y >= height:
        raise BadRequest(f"region {text!r} lies outside the image ({width} x {height})")
    return x, y, min(w, width - x), min(h, height - y)


def parse_size(text: str, region_w: int, region_h: int, max_area: int = MAX_AREA,
               max_side: int = MAX_SIDE) -> tuple[int, int]:
    """The size a request asks for, given the region's size."""
    upscale = text.startswith("^")
    body = text[1:] if upscale else text
    if body == "max":
        w, h = region_w, region_h
        if not upscale:  # the largest allowed, keeping the region's shape
            scale = min(1.0, max_side / w, max_side / h, math.sqrt(max_area / (w * h)))
            w, h = max(1, int(w * scale)), max(1, int(h * scale))
    elif body.startswith("pct:"):
        pct = _float(body[4:], "size percentage")
        if pct <= 0:
            raise BadRequest(f"size {text!r} has no area")
        w, h = round(region_w * pct / 100), round(region_h * pct / 100)
    else:
        confined = body.startswith("!")
        values = (body[1:] if confined else body).split(",")
        if len(values) != 2 or (confined and not all(values)) or not any(values):
            raise BadRequest(f"size {text!r}: give max, w,, ,h, w,h, !w,h or pct:n "
                             "(with ^ before it to allow upscaling)")
        w = _int(values[0], "width") if values[0] else 0
        h = _int(values[1], "height") if values[1] else 0
        if confined:
            scale = min(w / region_w, h / region_h)
            w, h = round(region_w * scale), round(region_h * scale)
        elif not values[1]:
            h = round(region_h * w / region_w)
        elif not values[0]:
            w = round(region_w * h / region_h)
    if w < 1 or h < 1:
        raise BadRequest(f"size {text!r} gives an image of no pixels ({w} x {h})")
    if not upscale and (w > region_w or h > region_h):
        raise BadRequest(f"size {text!r} ({w} x {h}) is larger than the region "
                         f"({region_w} x {region_h}): ask for ^{text} to upscale")
    if w > max_side or h > max_side or w * h > max_area:
        raise BadRequest(f"size {text!r} ({w} x {h}) is larger than this server hands "
                         f"out: at most {max_side} pixels a side and {max_area} pixels")
    return w, h


def parse_rotation(text: str) -> tuple[bool, float]:
    mirror = text.startswith("!")
    degrees = _float(text[1:] if mirror else text, "rotation")
    if degrees > 360:
        raise BadRequest(f"rotation {text!r}: give 0 to 360 degrees")
    return mirror, degrees % 360


def parse(region: str, size: str, rotation: str, quality_format: str,
          width: int, height: int) -> Request:
    """The parsed request for an image of `width` x `height`; BadRequest says why not."""
    quality, dot, fmt = quality_format.rpartition(".")
    if not dot:
        raise BadRequest(f"{quality_format!r}: give quality.format, such as default.jpg")
    if quality not in QUALITIES:
        raise BadRequest(f"quality {quality!r}: give one of {', '.join(QUALITIES)}")
    if fmt not in FORMATS:
        raise BadRequest(f"format {fmt!r}: give one of {', '.join(FORMATS)}")
    box = parse_region(region, width, height)
    mirror, degrees = parse_rotation(rotation)
    return Request(box, parse_size(size, box[2], box[3]), mirror, degrees, quality, fmt)


def canonical(request: Request, width: int, height: int) -> str:
    """The canonical form of a request (`region/size/rotation/quality.format`)."""
    x, y, w, h = request.region
    region = "full" if (x, y, w, h) == (0, 0, width, height) else f"{x},{y},{w},{h}"
    degrees = f"{request.rotation:g}"
    quality = "default" if request.quality == "color" else request.quality
    return (f"{region}/{request.size[0]},{request.size[1]}/{'!' if request.mirror else ''}"
            f"{degrees}/{quality}.{request.format}")


@dataclass(frozen=True)
class StoredLevel:
    """A level whose tiles are IIIF tiles at scale factor `scale`."""

    level: int
    scale: int
    tile: tuple[int, int]
    dimensions: tuple[int, int]
    format: str   # the extension of its stored tiles


def stored_levels(dimensions: tuple[int, int], levels: Any) -> dict[int, StoredLevel]:
    """scale factor -> the level whose grid a viewer asks for at that factor: levels
    that are an integer downsample of level 0 (within a pixel)."""
    w0, h0 = dimensions
    out: dict[int, StoredLevel] = {}
    for n, lv in enumerate(levels):
        w, h = lv.dimensions
        scale = round(w0 / w) if w else 0
        if scale < 1 or scale in out or abs(w0 / scale - w) >= 1 or abs(h0 / scale - h) >= 1:
            continue
        out[scale] = StoredLevel(n, scale, tuple(lv.tile_size), (w, h),
                                 STORED_FORMATS.get(lv.media_type, ""))
    return out


def stored_tile(levels: dict[int, StoredLevel], region: str, size: str, rotation: str,
                quality_format: str) -> tuple[StoredLevel, int, int] | None:
    """(level, x, y) when the request is exactly one stored tile at its own size in
    its stored format; None otherwise (also for anything malformed)."""
    if rotation != "0" or quality_format not in _STORED_QF or not region.isascii() \
            or not size.isascii():
        return None
    values = region.split(",")
    sizes = size.split(",")
    if len(values) != 4 or len(sizes) != 2 or not all(v.isdigit() for v in values) \
            or not sizes[0].isdigit() or sizes[1] and not sizes[1].isdigit():
        return None
    rx, ry, rw, rh = (int(v) for v in values)
    w = int(sizes[0])
    h = int(sizes[1]) if sizes[1] else None
    if w <= 0 or rw % w:
        return None
    found = levels.get(rw // w)
    if found is None:
        return None
    tw, th = found.tile
    if (w, h or th) != (tw, th) or rh != th * found.scale or _STORED_QF[quality_format] != found.format:
        return None
    step_x, step_y = tw * found.scale, th * found.scale
    if rx < 0 or ry < 0 or rx % step_x or ry % step_y:
        return None
    x, y = rx // step_x, ry // step_y
    lw, lh = found.dimensions
    if (x + 1) * tw > lw or (y + 1) * th > lh:
        return None  # an edge tile: its stored size is not the region's
    return found, x, y


_STORED_QF = {f"{q}.{ext}": ext for q in ("default", "color") for ext in STORED_FORMATS.values()}


def info(base: str, dimensions: tuple[int, int], levels: Any,
         stored: dict[int, StoredLevel]) -> dict[str, Any]:
    """The info.json of an image served at `base`."""
    w0, h0 = dimensions
    tiles: dict[tuple[int, int], list[int]] = {}
    for scale in sorted(stored):
        tiles.setdefault(stored[scale].tile, []).append(scale)
    sizes = sorted({tuple(lv.dimensions) for lv in levels
                    if lv.dimensions[0] * lv.dimensions[1] <= MAX_AREA
                    and max(lv.dimensions) <= MAX_SIDE})
    out: dict[str, Any] = {
        "@context": CONTEXT, "id": base, "type": "ImageService3",
        "protocol": "http://iiif.io/api/image", "profile": "level2",
        "width": w0, "height": h0, "maxWidth": MAX_SIDE, "maxHeight": MAX_SIDE,
        "maxArea": MAX_AREA,
        "sizes": [{"width": w, "height": h} for w, h in sizes],
        "tiles": [{"width": tw, "height": th, "scaleFactors": scales}
                  for (tw, th), scales in tiles.items()],
        "extraFormats": EXTRA_FORMATS, "extraQualities": ["color", "gray", "bitonal"],
        "extraFeatures": EXTRA_FEATURES,
    }
    for key in ("sizes", "tiles"):
        if not out[key]:
            del out[key]
    return out


def render(slide: Any, request: Request) -> tuple[bytes, str]:
    """The image a request asks for, read through the region reader: (bytes, media type)."""
    import numpy as np
    from PIL import Image, ImageOps

    x, y, rw, rh = request.region
    w, h = request.size
    level = slide.get_best_level_for_downsample(max(1.0, min(rw / w, rh / h)))
    ds = slide.levels[level].downsample
    lw, lh = slide.levels[level].dimensions
    read_w = max(1, min(math.ceil(rw / ds), lw - int(x / ds)))
    read_h = max(1, min(math.ceil(rh / ds), lh - int(y / ds)))
    pixels = slide.read_region((x, y), level, (read_w, read_h))
    if pixels.dtype != np.uint8:
        pixels = (pixels >> 8).astype(np.uint8)
    samples = pixels.shape[2] if pixels.ndim == 3 else 1
    if samples == 1 or samples == 2:
        image = Image.fromarray(np.ascontiguousarray(pixels.reshape(pixels.shape[:2] + (-1,))[..., 0]), "L")
    elif samples == 4:
        image = Image.fromarray(np.ascontiguousarray(pixels), "RGBA")
    else:
        image = Image.fromarray(np.ascontiguousarray(pixels[..., :3]), "RGB")
    if image.size != (w, h):
        image = image.resize((w, h), Image.Resampling.LANCZOS, reducing_gap=3.0)
    if request.mirror:
        image = ImageOps.mirror(image)
    if request.rotation:
        quarter = {90.0: Image.Transpose.ROTATE_270, 180.0: Image.Transpose.ROTATE_180,
                   270.0: Image.Transpose.ROTATE_90}.get(request.rotation)
        if quarter is not None:
            image = image.transpose(quarter)
        else:
            if request.format == "png" and image.mode in ("RGB", "L"):
                image = image.convert("RGBA")  # corners uncovered by the turn: transparent
            fill: Any = (255,) * len(image.getbands())
            if image.mode == "RGBA":
                fill = (255, 255, 255, 0)
            image = image.rotate(-request.rotation, Image.Resampling.BICUBIC, expand=True,
                                 fillcolor=fill)
    if request.quality == "gray":
        image = image.convert("L")
    elif request.quality == "bitonal":
        image = image.convert("L").point(lambda v: 255 if v >= 128 else 0).convert("1")
    pil_format, media_type = FORMATS[request.format]
    if pil_format == "JPEG" and image.mode == "RGBA":
        image = image.convert("RGB")
    out = io.BytesIO()
    options: dict[str, Any] = {"quality": 90} if pil_format in ("JPEG", "WEBP") else {}
    image.save(out, pil_format, **options)
    return out.getvalue(), media_type
