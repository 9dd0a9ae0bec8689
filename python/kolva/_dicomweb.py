"""DICOM whole-slide series over DICOMweb (WADO-RS).

A URL ending in `/studies/<uid>/series/<uid>` is a DICOMweb series. Its metadata
(`…/series/<uid>/metadata`, DICOM JSON) is turned into one small Part 10 data set
per instance, in memory, whose pixel data holds a 12-byte stand-in per frame
naming the instance and frame; the native reader opens those like files, so
levels, tile placement, focal planes, optical paths, properties and the wrapping
of each frame (Adobe marker, TIFF header) are decided by the same code as for
files. A tile read asks the native slide for the tile, finds the stand-in at its
end, and puts the frame fetched from `…/instances/<uid>/frames/<n>` in its place.

Frames are fetched with `Accept: multipart/related; type="application/octet-stream";
transfer-syntax=*`, several frame numbers per request, requests in parallel.
Servers answer that differently: Orthanc types each part by its codec
(`image/jpeg`, `image/jls`, `image/jp2`) and leaves the Transfer Syntax UID out
of the metadata, so the encoding is taken from the parts: when the metadata does
not name it, the first frame of every instance is fetched while opening.
"""
from __future__ import annotations

import base64
import json
import re
import struct
import urllib.request
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from email.parser import BytesParser
from email.policy import HTTP
from typing import Any

from . import _core
from ._media import media_facts

SERIES_URL = re.compile(r"^(?P<base>https?://.+)/studies/(?P<study>[^/]+)/series/(?P<series>[^/]+)/?$")
FRAMES_ACCEPT = 'multipart/related; type="application/octet-stream"; transfer-syntax=*'
#: Frames asked for in one request.
BATCH = 32
_MAGIC = 0x4B4F
_STAND_IN = struct.Struct("<2sIIH")  # SOI, instance, frame (1-based), magic: 12 bytes


_LONG_VRS = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "UC", "UR", "UT", "UN", "SV", "UV"}
_BINARY = {"US": "<H", "SS": "<h", "UL": "<I", "SL": "<i", "FL": "<f", "FD": "<d",
           "UV": "<Q", "SV": "<q"}


def is_series_url(url: str) -> bool:
    return SERIES_URL.match(url) is not None


# --------------------------------------------------------------------------- HTTP
class _Client:
    def __init__(self, headers: dict[str, str] | None, timeout: float | None) -> None:
        self.headers = dict(headers or {})
        self.timeout = timeout
        self.requests = 0

    def get(self, url: str, accept: str) -> tuple[bytes, str]:
        request = urllib.request.Request(url, headers={**self.headers, "Accept": accept})
        self.requests += 1
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as answer:
                return answer.read(), answer.headers.get("Content-Type", "")
        except OSError as exc:
            raise _core.SlideError(f"cannot read {url}: {exc}") from exc


def parse_multipart(body: bytes, content_type: str) -> list[tuple[str, bytes]]:
    """(content type, body) of every part of a multipart/related answer."""
    message = BytesParser(policy=HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
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


# --------------------------------------------------------------------------- JSON to Part 10
def _element(tag: int, vr: str, value: bytes) -> bytes:
    if len(value) % 2:
        value += b"\0" if vr in ("UI", "OB", "UN") else b" "
    head = struct.pack("<HH2s", tag >> 16, tag & 0xFFFF, vr.encode())
    if vr in _LONG_VRS:
        return head + struct.pack("<HI", 0, len(value)) + value
    if len(value) > 0xFFFF:
        return b""  # no longer value fits a short-length element: leave it out
    return head + struct.pack("<H", len(value)) + value


def _text(v: Any) -> str:
    if isinstance(v, dict):  # PN
        return str(v.get("Alphabetic", ""))
    if isinstance(v, float) and v.is_integer():
        return str(int(v))
    return str(v)


#: Bulk data worth a request of its own: the ICC profile (the pixel data is not).
_BULK_KEPT = {0x00282000}


def _data_set(items: dict[str, Any], bulk: Any = None) -> bytes:
    out = bytearray()
    for key in sorted(items):
        tag = int(key, 16)
        if tag >> 16 == 0x0002 or tag in (0x7FE00010, 0x7FE00001, 0x7FE00002):
            continue
        entry = items[key]
        vr = entry.get("vr", "UN")
        values = entry.get("Value")
        if vr == "SQ":
            body = bytearray()
            for item in values or []:
                body += struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF) + _data_set(item, bulk)
                body += struct.pack("<HHI", 0xFFFE, 0xE00D, 0)
            body += struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
            out += struct.pack("<HH2sHI", tag >> 16, tag & 0xFFFF, b"SQ", 0, 0xFFFFFFFF) + body
            continue
        if "InlineBinary" in entry:
            out += _element(tag, vr, base64.b64decode(entry["InlineBinary"]))
            continue
        if "BulkDataURI" in entry and tag in _BULK_KEPT and bulk is not None:
            out += _element(tag, vr, bulk(entry["BulkDataURI"]))
            continue
        if values is None:
            continue  # empty, or bulk data kept elsewhere
        if vr in _BINARY:
            out += _element(tag, vr, b"".join(struct.pack(_BINARY[vr], v) for v in values))
        elif vr in ("AT",):
            continue
        else:
            out += _element(tag, vr, "\\".join(_text(v) for v in values).encode("utf-8"))
    return bytes(out)


def _first(items: dict[str, Any], key: str, default: Any = None) -> Any:
    values = items.get(key, {}).get("Value")
    return values[0] if values else default


def synthesize(items: dict[str, Any], instance: int, syntax: str, bulk: Any = None) -> bytes:
    """A Part 10 file of the instance's attributes whose frames are stand-ins;
    `bulk(uri)` fetches the bulk data that is kept (the ICC profile)."""
    frames = int(_first(items, "00280008", 1))
    meta = _element(0x00020010, "UI", syntax.encode())
    out = bytearray(128) + b"DICM" + meta + _data_set(items, bulk)
    out += struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, 0xFFFFFFFF)
    out += struct.pack("<HHI", 0xFFFE, 0xE000, 0)
    for n in range(1, frames + 1):
        out += struct.pack("<HHI", 0xFFFE, 0xE000, _STAND_IN.size)
        out += _STAND_IN.pack(b"\xff\xd8", instance, n, _MAGIC)
    out += struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
    return bytes(out)


def stand_in(wrapped: bytes) -> tuple[bytes, int, int, int]:
    """(what goes in front of the frame, instance, frame, bytes of the frame to skip)
    of a stand-in as the native slide handed it out."""
    soi, instance, frame, magic = _STAND_IN.unpack(b"\xff\xd8" + wrapped[-10:])
    if magic != _MAGIC:
        raise _core.SlideError("a DICOMweb frame stand-in was not found")
    whole = wrapped[-12:-10] == b"\xff\xd8"
    return wrapped[:len(wrapped) - (12 if whole else 10)], instance, frame, 0 if whole else 2


def _has_adobe_marker(jpeg: bytes) -> bool:
    """Whether a JPEG stream carries an Adobe APP14 segment before its frame header."""
    at = 2
    while at + 4 <= len(jpeg) and jpeg[at] == 0xFF:
        marker = jpeg[at + 1]
        if marker == 0xDA or (0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC)):
            return False
        length = int.from_bytes(jpeg[at + 2:at + 4], "big")
        if length < 2:
            return False
        if marker == 0xEE and jpeg[at + 4:at + 9] == b"Adobe":
            return True
        at += 2 + length
    return False


def finish(head: bytes, frame: bytes, skip: int) -> bytes:
    """A fetched frame with what the native slide put in front of its stand-in: the
    TIFF header of an uncompressed frame, or the Adobe marker of an RGB JPEG frame,
    which a frame written with one of its own keeps alone."""
    if skip and head[2:4] == b"\xff\xee" and _has_adobe_marker(frame):
        return frame
    return head + frame[skip:]


# --------------------------------------------------------------------------- the series
class Series:
    """The instances of a DICOMweb series and the fetching of their frames."""

    def __init__(self, url: str, client: _Client, max_requests: int) -> None:
        m = SERIES_URL.match(url)
        assert m is not None
        self.url = url.rstrip("/")
        self.client = client
        self.max_requests = max(1, max_requests)
        body, _ = client.get(self.url + "/metadata", "application/dicom+json")
        try:
            self.instances: list[dict[str, Any]] = json.loads(body)
        except ValueError as exc:
            raise _core.SlideError(f"cannot read {self.url}/metadata: not JSON ({exc})") from exc
        if not self.instances:
            raise _core.UnsupportedFormat(f"{self.url} is not a slide kolva can read: the "
                                          "series has no instance")
        self.uids = [_first(i, "00080018", "") for i in self.instances]

    def frames(self, instance: int, numbers: Sequence[int]) -> list[tuple[str, bytes]]:
        """(part type, bytes) of the frames `numbers` (1-based) of an instance, in order."""
        url = (f"{self.url}/instances/{self.uids[instance]}/frames/"
               + ",".join(str(n) for n in numbers))
        body, content_type = self.client.get(url, FRAMES_ACCEPT)
        parts = parse_multipart(body, content_type)
        if len(parts) != len(numbers):
            raise _core.SlideError(f"cannot read {url}: {len(parts)} frames came back for "
                                   f"{len(numbers)}")
        return parts

    def fetch_all(self, wanted: Iterable[tuple[int, int]]) -> dict[tuple[int, int], bytes]:
        """The frames (instance, number), batched per instance, requests in parallel."""
        by_instance: dict[int, list[int]] = {}
        for instance, number in dict.fromkeys(wanted):
            by_instance.setdefault(instance, []).append(number)
        batches = [(i, ns[k:k + BATCH]) for i, ns in by_instance.items()
                   for k in range(0, len(ns), BATCH)]
        got: dict[tuple[int, int], bytes] = {}

        def one(batch: tuple[int, list[int]]) -> None:
            instance, numbers = batch
            for n, (_, data) in zip(numbers, self.frames(instance, numbers)):
                got[(instance, n)] = data

        if len(batches) == 1:
            one(batches[0])
        elif batches:
            with ThreadPoolExecutor(min(len(batches), self.max_requests)) as pool:
                list(pool.map(one, batches))
        return got

    def bulk(self, uri: str) -> bytes:
        """A bulk data value (one part of a multipart answer)."""
        body, content_type = self.client.get(uri, 'multipart/related; type="application/octet-stream"')
        return parse_multipart(body, content_type)[0][1]

    def syntaxes(self) -> list[str]:
        """Each instance's transfer syntax: from the metadata, else from the type of
        its first frame's part (fetched for all instances at once)."""
        named = [_first(i, "00020010") for i in self.instances]
        missing = [k for k, s in enumerate(named) if not s]

        def probe(k: int) -> str:
            part_type, _ = self.frames(k, [1])[0]
            syntax = _syntax_of(part_type)
            if syntax is None:
                raise _core.UnsupportedFormat(f"{self.url} is not a slide kolva can read: its "
                                              f"frames come as {part_type}")
            return syntax

        if missing:
            with ThreadPoolExecutor(min(len(missing), self.max_requests)) as pool:
                for k, syntax in zip(missing, pool.map(probe, missing)):
                    named[k] = syntax
        return [str(s) for s in named]


def open_series(url: str, options: dict[str, Any], headers: dict[str, str] | None,
                timeout: float | None, max_requests: int) -> tuple[Any, Series]:
    """The native slide of a DICOMweb series (over stand-ins) and its frame fetcher."""
    series = Series(url, _Client(headers, timeout), max_requests)
    syntaxes = series.syntaxes()
    files = [synthesize(items, k, syntax, series.bulk)
             for k, (items, syntax) in enumerate(zip(series.instances, syntaxes))]

    def serve(data: bytes) -> Any:
        return lambda ranges: [data[o:o + n] for o, n in ranges]

    instances = [(serve(data), len(data), f"{series.url}/instances/{uid}", [(0, data)])
                 for data, uid in zip(files, series.uids)]
    # The first instance of a VOLUME is source 0 (any whole-slide one would do).
    core = _core.open_dicom_fetch(instances, folder=True, **options)
    return core, series
