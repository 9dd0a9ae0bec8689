"""Re-encoding for browsers, used only for stored types they can't display.

Browsers show JPEG, PNG, WebP, GIF and BMP but not JPEG 2000 or TIFF. A tile of those
types is decoded and re-encoded as PNG (lossless, so nothing is lost a second time)
when the request's Accept header does not ask for the stored type. Every browser
sends wildcards (`image/*`, `*/*;q=0.8`) with image requests while being unable to
show JPEG 2000, so for these types only an explicit listing counts as acceptance;
a request with no Accept header, or with exactly `*/*` (what HTTP libraries and
command-line tools send), gets the stored bytes.
"""
from __future__ import annotations

import io
from typing import Any

from .._media import UNDISPLAYABLE as UNDISPLAYABLE
from .._media import media_facts

TARGET = "image/png"


def wants_stored(media_type: str, accept: str | None) -> bool:
    """Whether a request with this Accept header gets the stored bytes of this type."""
    if media_type not in UNDISPLAYABLE or accept is None:
        return True
    accept = accept.strip()
    if accept in ("", "*/*"):
        return True
    for part in accept.split(","):
        fields = part.split(";")
        if fields[0].strip().lower() != media_type:
            continue
        q = 1.0
        for param in fields[1:]:
            key, _, value = param.partition("=")
            if key.strip().lower() == "q":
                try:
                    q = float(value)
                except ValueError:
                    q = 0.0
        return q > 0
    return False


def _decode(data: bytes, media_type: str) -> Any:  # a PIL.Image.Image
    from PIL import Image

    try:
        image = Image.open(io.BytesIO(data))
        image.load()
        return image
    except Exception:  # noqa: BLE001 - Pillow lacks the codec: try imagecodecs
        pass
    import imagecodecs

    codec = media_facts(media_type).codec or "imread"
    array = getattr(imagecodecs, codec if codec == "imread" else f"{codec}_decode")(data)
    return Image.fromarray(array)


def to_png(data: bytes, media_type: str) -> bytes:
    """The image re-encoded as PNG. Raises ValueError when it can't be decoded."""
    try:
        image = _decode(data, media_type)
    except Exception as exc:  # noqa: BLE001 - any decoder failure is a bad stored image
        raise ValueError(f"stored {media_type} image could not be decoded: {exc}") from None
    if image.mode not in ("RGB", "RGBA", "L", "LA"):
        image = image.convert("RGBA" if "A" in image.getbands() else "RGB")
    out = io.BytesIO()
    image.save(out, format="PNG", compress_level=1)
    return out.getvalue()
