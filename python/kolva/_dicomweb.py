"""DICOM whole-slide series over DICOMweb (WADO-RS).

A URL ending in `/studies/<uid>/series/<uid>` is a DICOMweb series. Its metadata
(`…/series/<uid>/metadata`, DICOM JSON) is turned into one small data set per
instance, in memory (explicit VR little endian whatever the stored syntax, as the
JSON names every VR: the native reader tells that from the first element), whose pixel data holds a stand-in item per frame; the native
reader opens those like files, so levels, tile placement, focal planes, optical
paths, properties and the wrapping of each frame (Adobe marker, TIFF header) are
decided by the same code as for files. The instances are frame sources of the
native slide: every read of a tile, however it is asked for (read_tile,
read_tiles_into, export, serve), names frames by number, and the read executor
fetches them through `Series.fetch_frames`.

Frames are fetched with `Accept: multipart/related; type="application/octet-stream";
transfer-syntax=*`, up to BATCH frame numbers per request, requests in parallel,
through the slide's remote transport (headers, auth, timeouts, retries as for any
remote slide). Servers answer that differently: Orthanc types each part by its codec
(`image/jpeg`, `image/jls`, `image/jp2`) and leaves the Transfer Syntax UID out
of the metadata, so the encoding is taken from the parts: when the metadata does
not name it, the first frame of every instance is fetched while opening. Values
the metadata hands out by BulkDataURI (an ICC profile, long values) are fetched
while opening, all at once.
"""
from __future__ import annotations

import base64
import json
import re
import struct
from collections.abc import Callable, Sequence
from email.parser import BytesParser
from email.policy import HTTP
from typing import Any

from . import _core
from ._media import media_facts

SERIES_URL = re.compile(r"^(?P<base>https?://.+)/studies/(?P<study>[^/]+)/series/(?P<series>[^/]+)/?$")
FRAMES_ACCEPT = 'multipart/related; type="application/octet-stream"; transfer-syntax=*'
BULK_ACCEPT = 'multipart/related; type="application/octet-stream"'
#: Frames asked for in one request.
BATCH = 32
#: What each frame's item holds in the data set made from the metadata: the
#: native reader never reads it (frames are fetched by number).
_STAND_IN = b"\xff\xd8\xff\xd9"
_EXPLICIT = "1.2.840.10008.1.2.1"
WSI_CLASS = "1.2.840.10008.5.1.4.1.1.77.1.6"
#: The data set is written in explicit VR whatever the syntax (the native reader
#: sees that from its first element); a deflated one is named explicit, its frames
#: being the same native pixels.
_AS_EXPLICIT = {"1.2.840.10008.1.2.1.99"}


_LONG_VRS = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "UC", "UR", "UT", "UN", "SV", "UV"}
_BINARY = {"US": "<H", "SS": "<h", "UL": "<I", "SL": "<i", "FL": "<f", "FD": "<d",
           "UV": "<Q", "SV": "<q"}
_PIXELS = {0x7FE00010, 0x7FE00008, 0x7FE00009}


def is_series_url(url: str) -> bool:
    return SERIES_URL.match(url) is not None


class _BadMetadata(Exception):
    """The metadata JSON is not what DICOM JSON looks like."""


def parse_multipart(body: bytes, content_type: str) -> list[tuple[str, bytes]]:
    """(content type, body) of every part of a multipart/related answer."""
    message = BytesParser(policy=HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1", "replace") + b"\r\n\r\n" + body)
    if not message.is_multipart():
        return [(message.get_content_type(), body)]
    parts: list[tuple[str, bytes]] = []
    for part in message.iter_parts():
        payload = part.get_payload(decode=False)
        data = payload if isinstance(payload, bytes) else part.get_payload(decode=True)
        kind = str(part.get("Content-Type", "application/octet-stream"))
        parts.append((kind, data if isinstance(data, bytes) else b""))
    return parts


def _syntax_of(part_type: str) -> str | None:
    fields = [f.strip() for f in part_type.split(";")]
    for f in fields[1:]:
        if f.lower().startswith("transfer-syntax="):
            return f.split("=", 1)[1].strip('"')
    # A part that names none has the media type's default (the core's media table).
    return media_facts(fields[0]).transfer_syntax or None


# --------------------------------------------------------------------------- JSON to a data set
def _element(tag: int, vr: str, value: bytes) -> bytes:
    if len(value) % 2:
        value += b"\0" if vr in ("UI", "OB", "UN") else b" "
    if len(value) > 0xFFFF and vr not in _LONG_VRS:
        # No short-length element holds it: text goes as UT, anything else as UN.
        vr = "UN" if vr in _BINARY or vr == "AT" else "UT"
    head = struct.pack("<HH2s", tag >> 16, tag & 0xFFFF, vr.encode())
    if vr in _LONG_VRS:
        return head + struct.pack("<HI", 0, len(value)) + value
    return head + struct.pack("<H", len(value)) + value


def _text(v: Any) -> str:
    if isinstance(v, dict):  # PN
        return str(v.get("Alphabetic", ""))
    if v is None:
        return ""
    if isinstance(v, float) and v.is_integer():
        return str(int(v))
    return str(v)


def _entries(items: Any) -> list[tuple[int, dict[str, Any]]]:
    """The (tag, entry) pairs of a DICOM JSON object, sorted by tag."""
    if not isinstance(items, dict):
        raise _BadMetadata(f"a data set is {type(items).__name__}, not an object")
    out = []
    for key, entry in items.items():
        try:
            tag = int(key, 16)
        except (TypeError, ValueError):
            raise _BadMetadata(f"{key!r} is no tag") from None
        if not 0 <= tag <= 0xFFFFFFFF or not isinstance(entry, dict):
            raise _BadMetadata(f"the attribute {key} is not a DICOM JSON attribute")
        out.append((tag, entry))
    return sorted(out, key=lambda e: e[0])


def bulk_uris(items: Any) -> list[str]:
    """Every BulkDataURI of a data set but the pixel data's."""
    found: list[str] = []
    for tag, entry in _entries(items):
        if tag in _PIXELS:
            continue
        if entry.get("vr") == "SQ":
            for item in entry.get("Value") or []:
                found += bulk_uris(item)
        elif isinstance(entry.get("BulkDataURI"), str):
            found.append(entry["BulkDataURI"])
    return found


def _data_set(items: Any, bulk: dict[str, bytes]) -> bytes:
    out = bytearray()
    for tag, entry in _entries(items):
        if tag >> 16 == 0x0002 or tag in _PIXELS or tag in (0x7FE00001, 0x7FE00002):
            continue
        vr = entry.get("vr", "UN")
        if not isinstance(vr, str) or len(vr) != 2 or not vr.isalpha():
            raise _BadMetadata(f"the attribute {tag:08X} has VR {vr!r}")
        values = entry.get("Value")
        if values is not None and not isinstance(values, list):
            raise _BadMetadata(f"the Value of {tag:08X} is no list")
        if vr == "SQ":
            body = bytearray()
            for item in values or []:
                body += struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF) + _data_set(item, bulk)
                body += struct.pack("<HHI", 0xFFFE, 0xE00D, 0)
            body += struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
            out += struct.pack("<HH2sHI", tag >> 16, tag & 0xFFFF, b"SQ", 0, 0xFFFFFFFF) + body
            continue
        if "InlineBinary" in entry:
            try:
                out += _element(tag, vr, base64.b64decode(entry["InlineBinary"]))
            except (TypeError, ValueError) as exc:
                raise _BadMetadata(f"the InlineBinary of {tag:08X}: {exc}") from None
            continue
        if "BulkDataURI" in entry:
            uri = entry["BulkDataURI"]
            out += _element(tag, vr, bulk.get(uri, b"") if isinstance(uri, str) else b"")
            continue
        if vr == "AT":
            continue
        if vr in _BINARY:
            try:
                value = b"".join(struct.pack(_BINARY[vr], v) for v in values or [])
            except (struct.error, TypeError) as exc:
                raise _BadMetadata(f"a value of {tag:08X} ({vr}): {exc}") from None
            out += _element(tag, vr, value)
        else:  # empty ones too: they are listed as ""
            out += _element(tag, vr, "\\".join(_text(v) for v in values or []).encode("utf-8"))
    return bytes(out)


def _first(items: dict[str, Any], key: str, default: Any = None) -> Any:
    entry = items.get(key)
    values = entry.get("Value") if isinstance(entry, dict) else None
    return values[0] if isinstance(values, list) and values else default


def synthesize(items: dict[str, Any], syntax: str, bulk: dict[str, bytes]) -> bytes:
    """A Part 10 data set of the instance's attributes (bulk data from `bulk`, by
    URI) whose pixel data holds one stand-in item per frame."""
    frames = _first(items, "00280008", 1)
    try:
        frames = int(frames)
    except (TypeError, ValueError):
        raise _BadMetadata(f"NumberOfFrames is {frames!r}") from None
    if not 0 < frames <= 1 << 20:
        raise _BadMetadata(f"NumberOfFrames is {frames}")
    meta = _element(0x00020010, "UI", (_EXPLICIT if syntax in _AS_EXPLICIT else syntax).encode())
    out = bytearray(128) + b"DICM" + meta + _data_set(items, bulk)
    out += struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, 0xFFFFFFFF)
    out += struct.pack("<HHI", 0xFFFE, 0xE000, 0)
    item = struct.pack("<HHI", 0xFFFE, 0xE000, len(_STAND_IN)) + _STAND_IN
    out += item * frames
    out += struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
    return bytes(out)


# --------------------------------------------------------------------------- the series
Get = Callable[[Sequence[tuple[str, str]]], list[tuple[bytes, str]]]


class Series:
    """The instances of a DICOMweb series and the fetching of their frames.
    `get([(url, accept), ...])` fetches whole resources (the remote transport's)."""

    def __init__(self, url: str, get: Get) -> None:
        self.url = url.rstrip("/")
        self.get = get
        metadata = self.url + "/metadata"
        body, _ = get([(metadata, "application/dicom+json")])[0]
        try:
            instances = json.loads(body)
        except (ValueError, RecursionError) as exc:
            raise _core.SlideError(f"cannot read {metadata}: not JSON ({exc})") from None
        if not isinstance(instances, list) or not all(isinstance(i, dict) for i in instances):
            raise _core.SlideError(f"cannot read {metadata}: it is no list of DICOM JSON "
                                   "data sets")
        if not instances:
            raise _core.UnsupportedFormat(f"{self.url} is not a slide kolva can read: the "
                                          "series has no instance")
        self.instances: list[dict[str, Any]] = instances
        self.uids = [str(_first(i, "00080018", "")) for i in instances]
        if not all(self.uids):
            raise _core.SlideError(f"cannot read {metadata}: an instance has no SOPInstanceUID")

    def _requests(self, wanted: Sequence[tuple[int, int]]) -> list[tuple[int, list[int]]]:
        """(instance, frame numbers) of every request for `wanted`: per instance, at
        most BATCH frames each."""
        by_instance: dict[int, list[int]] = {}
        for instance, number in dict.fromkeys(wanted):
            by_instance.setdefault(instance, []).append(number)
        return [(i, ns[k:k + BATCH]) for i, ns in by_instance.items()
                for k in range(0, len(ns), BATCH)]

    def _parts(self, batches: Sequence[tuple[int, list[int]]]) -> list[list[tuple[str, bytes]]]:
        urls = [f"{self.url}/instances/{self.uids[i]}/frames/" + ",".join(map(str, numbers))
                for i, numbers in batches]
        answers = self.get([(u, FRAMES_ACCEPT) for u in urls])
        out = []
        for url, (i, numbers), (body, content_type) in zip(urls, batches, answers):
            try:
                parts = parse_multipart(body, content_type)
            except Exception as exc:  # noqa: BLE001 - any parse failure is the server's
                raise _core.SlideError(f"cannot read {url}: {exc}") from exc
            if len(parts) != len(numbers):
                raise _core.SlideError(f"cannot read {url}: {len(parts)} frames came back "
                                       f"for {len(numbers)}")
            out.append(parts)
        return out

    def fetch_frames(self, wanted: Sequence[tuple[int, int]]) -> list[bytes]:
        """The frames [(instance, number), ...] (number 1-based), in order: batched
        per instance, the requests in parallel. The native slide's frame fetcher."""
        wanted = [(int(i), int(n)) for i, n in wanted]
        batches = self._requests(wanted)
        got: dict[tuple[int, int], bytes] = {}
        for (instance, numbers), parts in zip(batches, self._parts(batches)):
            for n, (_, data) in zip(numbers, parts):
                got[(instance, n)] = data
        return [got[w] for w in wanted]

    def bulk(self) -> dict[str, bytes]:
        """Every bulk data value of the metadata but the pixel data, by URI."""
        uris = list(dict.fromkeys(u for i in self.instances for u in bulk_uris(i)))
        answers = self.get([(u, BULK_ACCEPT) for u in uris])
        out = {}
        for uri, (body, content_type) in zip(uris, answers):
            parts = parse_multipart(body, content_type)
            out[uri] = parts[0][1] if parts else b""
        return out

    def syntaxes(self) -> list[str]:
        """Each instance's transfer syntax: from the metadata, else from the type of
        its first frame's part (fetched for all instances at once)."""
        named = [_first(i, "00020010") for i in self.instances]
        # Objects of other classes are named for what they are; their frames are
        # never read.
        for k, items in enumerate(self.instances):
            if not named[k] and _first(items, "00080016") != WSI_CLASS:
                named[k] = _EXPLICIT
        missing = [k for k, s in enumerate(named) if not s]
        for k, parts in zip(missing, self._parts([(k, [1]) for k in missing])):
            part_type = parts[0][0]
            syntax = _syntax_of(part_type)
            if syntax is None:
                raise _core.UnsupportedFormat(f"{self.url} is not a slide kolva can read: its "
                                              f"frames come as {part_type}")
            named[k] = syntax
        return [str(s) for s in named]


def open_series(url: str, options: dict[str, Any], get: Get) -> Any:
    """The native slide of a DICOMweb series, its frames fetched through `get`."""
    series = Series(url, get)
    syntaxes = series.syntaxes()
    bulk = series.bulk()
    try:
        files = [synthesize(items, syntax, bulk)
                 for items, syntax in zip(series.instances, syntaxes)]
    except (_BadMetadata, RecursionError) as exc:
        raise _core.SlideError(f"cannot read {series.url}/metadata: {exc}") from None
    instances = [(data, f"{series.url}/instances/{uid}") for data, uid in zip(files, series.uids)]
    return _core.open_dicom_fetch(instances, folder=True, frames=series.fetch_frames,
                                  series_name=series.url, **options)
