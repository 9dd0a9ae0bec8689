"""The DICOMweb face of `kolva serve` (read-only): QIDO-RS searches, WADO-RS metadata,
bulk data, frames, rendered images and thumbnails under `/dicomweb`.

Every served slide is one study with one series, whose instances are the ones
`kolva convert` writes for it (`_convert.slide.describe`: the same data sets and
deterministic UIDs), so converting the slide later gives the same identifiers. A
DICOM series (files or DICOMweb) passes through with its own identity: its study,
series and frame of reference UIDs, patient and study attributes, level 0's SOP
instance UID, and its frames as stored. A
level instance's frames are its stored tiles, byte for byte, in row-major order;
where convert writes something else (empty glass for a tile the source lacks, an
edge tile extended to the frame size, samples for a codec DICOM has no transfer
syntax for) the frame is made the same way. Descriptions are made once per slide,
the first time a DICOMweb request needs them.
"""
from __future__ import annotations

import fnmatch
import hashlib
import re
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import parse_qsl

from .._media import MEDIA_TYPES
from ._catalog import Entry

PREFIX = "/dicomweb"
DICOM_JSON = "application/dicom+json"
# Binary values whose base64 text is longer than this are handed out by BulkDataURI
# (an ICC profile, a label's pixels).
BULK_THRESHOLD = 256
# Frames one request may ask for.
MAX_FRAMES = 4096
# Rendered images without a viewport: at most this many pixels.
MAX_RENDERED = 4096 * 4096
THUMBNAIL = (256, 256)

# transfer syntax -> the media type DICOMweb gives a frame of it.
SYNTAX_MEDIA = {m.transfer_syntax: t for t, m in MEDIA_TYPES.items() if m.transfer_syntax}
OCTETS = "application/octet-stream"

STUDY_TAGS = ("00080020", "00080030", "00080050", "00080090", "00081030", "00100010",
              "00100020", "00100030", "00100040", "0020000D", "00200010")
SERIES_TAGS = ("00080060", "0008103E", "0020000E", "00200011", "00080021", "00080031")
INSTANCE_TAGS = ("00080016", "00080018", "00200013", "00280010", "00280011", "00280008",
                 "00080008")
_CONTROL = {"limit", "offset", "includefield", "fuzzymatching"}


class QueryError(ValueError):
    """A search or retrieval the request cannot name (answered 400 with why)."""


class NotAcceptable(ValueError):
    """What the request accepts is not what the frames are (answered 406 with why)."""


@dataclass
class Instance:
    sop: str
    plan: Any                 # the convert instance (kolva._convert.dataset.Instance)
    what: Any                 # (tile sizes, sample tile) of a level; an associated image's bytes
    json: dict[str, Any]      # its metadata, BulkDataURIs as paths from the server's root
    bulk: list[bytes]         # the values its BulkDataURIs name, by number
    frames: Any = None        # LevelFrames of a level
    transfer_syntax: str = ""
    tag: str = ""             # short digest of the UID, for ETags
    frame_count: int = 1
    # 1 for each frame that is its stored tile as it is (read through the tile path)
    stored: bytes = b""

    @property
    def level(self) -> int | None:
        level: int | None = self.plan.level
        return level


@dataclass
class Study:
    entry: Entry
    study: str
    series: str
    instances: dict[str, Instance] = field(default_factory=dict)

    @property
    def base(self) -> str:
        return f"{PREFIX}/studies/{self.study}/series/{self.series}"


def dicom_entry(entry: Entry, deidentify: bool = False) -> Entry:
    """The entry whose slide the DICOMweb face describes: the slide as `kolva convert`
    opens it (tiles cut at convert's tile size where the format cuts them at the
    caller's), or `entry` itself when that gives the same levels."""
    import dataclasses

    from .._convert.slide import CONVERT_TILE_SIZE

    options: dict[str, Any] = {"tile_size": CONVERT_TILE_SIZE}
    if deidentify:
        options["deidentify"] = True
    tiled = dataclasses.replace(entry, open_options=options)
    with entry.lease() as slide:
        levels = [(lv.dimensions, lv.tile_size) for lv in slide.levels]
    with tiled.lease() as slide:
        same = levels == [(lv.dimensions, lv.tile_size) for lv in slide.levels]
    return entry if same else tiled


def describe(entry: Entry, deidentify: bool = False) -> Study:
    """The study of a served slide (opens it: run it off the event loop)."""
    from .._convert.slide import LevelFrames, Options
    from .._convert.slide import describe as describe_slide

    entry = dicom_entry(entry, deidentify)
    with entry.lease() as slide:
        dicom = describe_slide(slide, entry.source,
                               Options(decode_to="native", deidentify=deidentify))
        source = _source_identity(slide.properties)
        study: Study | None = None
        for plan, what in dicom.plans:
            ds = dicom.dataset(plan)
            if source:
                _keep_identity(ds, plan, source)
            if study is None:
                study = Study(entry, str(ds.StudyInstanceUID), str(ds.SeriesInstanceUID))
            sop = str(ds.SOPInstanceUID)
            bulk: list[bytes] = []
            base = f"{study.base}/instances/{sop}/bulkdata/"

            def handler(element: Any, bulk: list[bytes] = bulk, base: str = base) -> str:
                bulk.append(bytes(element.value))
                return f"{base}{len(bulk) - 1}"

            items = ds.to_json_dict(BULK_THRESHOLD, handler)
            syntax = str(ds.file_meta.TransferSyntaxUID)
            items["00020010"] = {"vr": "UI", "Value": [syntax]}
            items["00083002"] = {"vr": "UI", "Value": [syntax]}   # AvailableTransferSyntaxUID
            frames = None
            stored = b""
            if plan.level is not None:
                sizes, sample = what
                frames = LevelFrames(slide, plan, sizes, sample)
                stored = _stored_mask(frames)
            tag = hashlib.blake2b(sop.encode(), digest_size=6).hexdigest()
            study.instances[sop] = Instance(sop, plan, what, items, bulk, frames, syntax, tag,
                                            int(plan.frames), stored)
    assert study is not None  # a slide has at least one level
    return study


def _stored_mask(frames: Any) -> bytes:
    """1 for each frame of a level that is its stored tile, byte for byte."""
    import numpy as np

    gx, gy = frames.grid
    if frames.altered:
        return bytes(gx * gy)
    mask = (np.frombuffer(memoryview(frames.sizes).cast("B"), np.int64) > 0).reshape(gy, gx)
    if frames.ragged[0]:
        mask[:, -1] = False
    if frames.ragged[1]:
        mask[-1, :] = False
    return mask.astype(np.uint8).tobytes()


# A DICOM series (from files or DICOMweb) keeps its identity: these attributes of
# its data sets, as the slide's properties state them.
_IDENTITY = ("StudyInstanceUID", "SeriesInstanceUID", "FrameOfReferenceUID", "PatientName",
             "PatientID", "PatientBirthDate", "PatientSex", "StudyDate", "StudyTime",
             "AccessionNumber", "StudyID", "StudyDescription", "SeriesDescription",
             "ReferringPhysicianName", "ContainerIdentifier")


def _source_identity(properties: dict[str, str]) -> dict[str, str]:
    """The identity of a DICOM source (empty for any other format)."""
    if not properties.get("dicom.StudyInstanceUID") or \
            not properties.get("dicom.SeriesInstanceUID"):
        return {}
    out = {k: properties[f"dicom.{k}"] for k in _IDENTITY if f"dicom.{k}" in properties}
    if properties.get("dicom.SOPInstanceUID"):
        out["SOPInstanceUID"] = properties["dicom.SOPInstanceUID"]
    return out


def _keep_identity(ds: Any, plan: Any, source: dict[str, str]) -> None:
    """Gives the data set of a DICOM source's instance the source's UIDs: its study,
    series and frame of reference, and level 0 its SOP instance UID (the slide names
    only level 0's; the others derive from the series UID)."""
    from .._convert.dataset import uid

    for keyword, value in source.items():
        if keyword != "SOPInstanceUID":
            setattr(ds, keyword, value)
    sop = source.get("SOPInstanceUID") if plan.level == 0 else None
    if sop is None:
        sop = uid(source["SeriesInstanceUID"], "instance", plan.role, plan.level,
                  plan.associated)
    ds.SOPInstanceUID = sop
    ds.file_meta.MediaStorageSOPInstanceUID = sop


# ---------------------------------------------------------------------------- frames
def frame_numbers(text: str, count: int) -> list[int]:
    """The frame numbers of a `frames/{list}` path segment, checked against `count`."""
    values = text.split(",")
    if len(values) > MAX_FRAMES:
        raise QueryError(f"at most {MAX_FRAMES} frames a request, not {len(values)}")
    out = []
    for v in values:
        if not v.isascii() or not v.isdigit() or len(v) > 10:
            raise QueryError(f"frame number {v[:40]!r} is not a positive whole number")
        n = int(v)
        if not 1 <= n <= count:
            raise LookupError(f"frame {n} does not exist: the instance has {count} "
                              f"frame{'s' if count != 1 else ''}")
        out.append(n)
    return out


def media_ranges(accept: str) -> list[tuple[float, str, dict[str, str]]]:
    """(q, type, parameters) of each media range of an Accept header, best first."""
    out = []
    for i, item in enumerate(accept.split(",")):
        kind, *params = item.split(";")
        values: dict[str, str] = {}
        for p in params:
            k, _, v = p.partition("=")
            values[k.strip().lower()] = v.strip().strip('"')
        try:
            q = float(values.pop("q", "1"))
        except ValueError:
            q = 0.0
        if kind.strip() and q > 0:
            out.append((q, kind.strip().lower(), values))
    out.sort(key=lambda r: -r[0])
    return out


def frame_part_type(accept: str | None, syntax: str, stored_type: str) -> str:
    """The media type of the parts of a frames answer (the transfer syntax the frames
    have, `syntax`, as `accept` can take it); NotAcceptable says why none."""
    default = SYNTAX_MEDIA.get(syntax, OCTETS)
    if syntax == "1.2.840.10008.1.2.1":
        default = OCTETS
    if not accept:
        return default
    asked = []
    for _, kind, params in media_ranges(accept):
        if kind in ("*/*", "multipart/*"):
            return default
        part = params.get("type", "").lower() if kind == "multipart/related" else kind
        wanted = params.get("transfer-syntax")
        asked.append(f"{part or '*'} ({wanted or 'any syntax'})")
        if wanted not in (None, "*", syntax):
            continue
        if part in ("", "*/*", "*"):
            return default
        if part == OCTETS:
            # Encoded frames as octets when the syntax is named or left open.
            if wanted is not None or syntax == "1.2.840.10008.1.2.1":
                return OCTETS
            continue
        if part == default or part == stored_type or MEDIA_TYPES.get(part) and \
                MEDIA_TYPES[part].transfer_syntax == syntax:
            return part
    raise NotAcceptable(f"the frames are stored as {default} (transfer syntax {syntax}) and "
                        f"are handed out as they are; the request accepts only "
                        f"{', '.join(asked) or 'nothing'}")


BOUNDARY = "kolva-frame-boundary-7f3a"


def part_head(part_type: str, syntax: str) -> bytes:
    """What comes before each part of a frames answer."""
    return f"--{BOUNDARY}\r\nContent-Type: {part_type}; transfer-syntax={syntax}\r\n\r\n".encode()


def multipart_type(part_type: str) -> str:
    return f'multipart/related; type="{part_type}"; boundary={BOUNDARY}'


_END = f"--{BOUNDARY}--\r\n".encode()


def multipart_body(parts: list[bytes], head: bytes) -> bytes:
    """The body of a multipart/related answer of `parts`, each after `head`."""
    if len(parts) == 1:
        return b"".join((head, parts[0], b"\r\n", _END))
    chunks: list[bytes] = []
    for p in parts:
        chunks += (head, p, b"\r\n")
    chunks.append(_END)
    return b"".join(chunks)


def finish_frames(study: Study, inst: Instance, numbers: list[int],
                  stored: list[bytes | None]) -> list[bytes]:
    """The frames `numbers` from their stored tiles (None: not read, the frame is not
    the stored tile). Runs off the event loop when a frame must be made."""
    if inst.frames is None:
        return [inst.what]
    return [inst.frames.finish(n - 1, data) if data is None or not inst.stored[n - 1]
            else data for n, data in zip(numbers, stored)]


def read_missing(study: Study, inst: Instance, numbers: list[int],
                 stored: list[bytes | None]) -> list[bytes]:
    """Reads the tiles of frames that were not read (made from their tile) and finishes
    every frame."""
    frames = inst.frames
    if frames is None:
        return [inst.what]
    gx = frames.grid[0]
    level = inst.level
    assert level is not None
    with study.entry.lease() as slide:
        filled = []
        for n, data in zip(numbers, stored):
            if data is None and frames.sizes[n - 1] > 0:
                data = slide.read_tile(level, (n - 1) % gx, (n - 1) // gx)
            filled.append(data)
    return finish_frames(study, inst, numbers, filled)


# ---------------------------------------------------------------------------- QIDO
def _tag_of(key: str) -> str:
    from pydicom.datadict import keyword_for_tag, tag_for_keyword

    if re.fullmatch(r"[0-9A-Fa-f]{8}", key):
        if not keyword_for_tag(int(key, 16)) and not int(key[:4], 16) & 1:
            raise QueryError(f"{key!r}: no DICOM attribute has that tag")
        return key.upper()
    tag = tag_for_keyword(key) if key.isascii() and key.isidentifier() else None
    if tag is None:
        raise QueryError(f"{key[:64]!r}: no DICOM attribute of that name")
    return f"{tag:08X}"


@dataclass
class Query:
    filters: list[tuple[str, str]]
    fields: set[str] | None      # None: all
    limit: int | None
    offset: int


def parse_query(query: str) -> Query:
    """The search of a QIDO-RS query string; QueryError says what is wrong with it."""
    if len(query) > 8192:
        raise QueryError("the query string is longer than 8192 characters")
    filters: list[tuple[str, str]] = []
    fields: set[str] | None = set()
    limit: int | None = None
    offset = 0
    try:
        pairs = parse_qsl(query, keep_blank_values=True, max_num_fields=256)
    except ValueError:
        raise QueryError("the query string has more than 256 parameters") from None
    for key, value in pairs:
        if key in ("limit", "offset"):
            if not value.isascii() or not value.isdigit() or len(value) > 9:
                raise QueryError(f"{key} must be a whole number, not {value[:40]!r}")
            if key == "limit":
                limit = int(value)
            else:
                offset = int(value)
        elif key == "includefield":
            for name in value.split(","):
                if name == "all":
                    fields = None
                elif fields is not None:
                    fields.add(_tag_of(name.strip()))
        elif key == "fuzzymatching":
            if value not in ("true", "false"):
                raise QueryError(f"fuzzymatching must be true or false, not {value[:40]!r}")
        else:
            if "." in key:
                raise QueryError(f"{key[:64]!r}: attributes inside sequences are not searched")
            filters.append((_tag_of(key), value))
    return Query(filters, fields, limit, offset)


def _values(element: dict[str, Any] | None) -> list[str]:
    if element is None:
        return []
    out = []
    for v in element.get("Value", []):
        if isinstance(v, dict):
            v = v.get("Alphabetic", "")
        out.append(str(v))
    return out


def _matches(element: dict[str, Any] | None, wanted: str) -> bool:
    if wanted == "":
        return True  # universal match
    vr = (element or {}).get("vr", "")
    values = _values(element)
    if vr == "UI":
        uids = set(re.split(r"[\\,]", wanted))
        return any(v in uids for v in values)
    if vr in ("DA", "TM", "DT") and "-" in wanted:
        low, _, high = wanted.partition("-")
        return any((not low or v >= low) and (not high or v <= high) for v in values)
    if "*" in wanted or "?" in wanted:
        pattern = re.compile(fnmatch.translate(wanted).replace("(?s:", "(?si:", 1)
                             if vr == "PN" else fnmatch.translate(wanted))
        return any(pattern.match(v) for v in values)
    if vr == "PN":
        return any(v.lower() == wanted.lower() for v in values)
    return wanted in values


def _record(level: str, study: Study, inst: Instance, root: str) -> dict[str, Any]:
    items = inst.json
    out = {t: items[t] for t in STUDY_TAGS if t in items}
    out["00080061"] = {"vr": "CS", "Value": ["SM"]}
    out["00201206"] = {"vr": "IS", "Value": [1]}
    out["00201208"] = {"vr": "IS", "Value": [len(study.instances)]}
    out["00080056"] = {"vr": "CS", "Value": ["ONLINE"]}
    url = f"{root}{PREFIX}/studies/{study.study}"
    if level in ("series", "instances"):
        out.update({t: items[t] for t in SERIES_TAGS if t in items})
        out["00201209"] = {"vr": "IS", "Value": [len(study.instances)]}
        url += f"/series/{study.series}"
    if level == "instances":
        out.update({t: items[t] for t in INSTANCE_TAGS if t in items})
        out["00083002"] = items["00083002"]
        url += f"/instances/{inst.sop}"
    out["00081190"] = {"vr": "UR", "Value": [url]}
    return out


def search(level: str, studies: list[Study], query: Query, root: str,
           study_uid: str | None = None, series_uid: str | None = None) -> list[dict[str, Any]]:
    """QIDO-RS: the matching studies, series or instances as DICOM JSON."""
    results = []
    for study in studies:
        if study_uid is not None and study.study != study_uid:
            continue
        if series_uid is not None and study.series != series_uid:
            continue
        candidates = (list(study.instances.values()) if level == "instances"
                      else list(study.instances.values())[:1])
        for inst in candidates:
            record = _record(level, study, inst, root)
            found = True
            for tag, wanted in query.filters:
                element = record.get(tag, inst.json.get(tag))
                if not _matches(element, wanted):
                    found = False
                    break
                if element is not None:
                    record[tag] = element
            if not found:
                continue
            extra = inst.json.keys() if query.fields is None else query.fields
            for tag in extra:
                if tag not in record and tag in inst.json and not tag.startswith(("0002", "7FE0")):
                    record[tag] = inst.json[tag]
            results.append(dict(sorted(record.items())))
    end = None if query.limit is None else query.offset + query.limit
    return results[query.offset:end]


def metadata(study: Study, sops: list[str] | None = None) -> list[dict[str, Any]]:
    return [i.json for s, i in study.instances.items() if sops is None or s in sops]


def with_root(body: bytes, root: str) -> bytes:
    """Makes the BulkDataURIs of a metadata body absolute."""
    return body.replace(b'"BulkDataURI":"/', b'"BulkDataURI":"' + root.encode() + b"/")


# ---------------------------------------------------------------------------- rendered
def _viewport(query: str) -> tuple[int, int] | None:
    try:
        pairs = parse_qsl(query, keep_blank_values=True, max_num_fields=32)
    except ValueError:
        raise QueryError("the query string has more than 32 parameters") from None
    for key, value in pairs:
        if key == "viewport":
            parts = value.split(",")
            if len(parts) < 2 or not all(p.isascii() and p.isdigit() and 0 < len(p) < 6
                                          for p in parts[:2]):
                raise QueryError(f"viewport must be width,height in pixels, not {value[:40]!r}")
            w, h = int(parts[0]), int(parts[1])
            if w < 1 or h < 1:
                raise QueryError("viewport must be at least 1 x 1")
            return w, h
    return None


def image_type(accept: str | None) -> str:
    """The media type of a rendered answer: JPEG unless the request prefers PNG."""
    if not accept:
        return "image/jpeg"
    for _, kind, _ in media_ranges(accept):
        if kind in ("image/jpeg", "image/png"):
            return kind
        if kind in ("*/*", "image/*"):
            return "image/jpeg"
    raise NotAcceptable("rendered images are image/jpeg or image/png; the request "
                        f"accepts neither ({accept[:80]})")


def _encode(pixels: Any, media_type: str) -> bytes:
    import io

    import numpy as np
    from PIL import Image

    if pixels.dtype != np.uint8:
        pixels = (pixels >> 8).astype(np.uint8)
    if pixels.ndim == 3 and pixels.shape[2] == 1:
        pixels = pixels[..., 0]
    elif pixels.ndim == 3 and pixels.shape[2] not in (3, 4):
        pixels = pixels[..., 0]
    image = Image.fromarray(np.ascontiguousarray(pixels))
    if media_type == "image/jpeg" and image.mode == "RGBA":
        image = image.convert("RGB")
    out = io.BytesIO()
    image.save(out, "JPEG" if media_type == "image/jpeg" else "PNG", quality=90)
    return out.getvalue()


def render(study: Study, inst: Instance | None, frame: int | None, query: str,
           media_type: str, thumbnail: bool) -> bytes:
    """A rendered instance or frame, or a thumbnail (of the study when `inst` is None),
    through the region reader (opens the slide: run it off the event loop)."""
    import io

    import numpy as np
    from PIL import Image

    viewport = _viewport(query)
    with study.entry.lease() as slide:
        if inst is not None and inst.level is None:  # an associated image
            with Image.open(io.BytesIO(slide.associated_images[inst.plan.associated].data)) as im:
                image = im.convert("RGB")
                if thumbnail or viewport:
                    image.thumbnail(viewport or THUMBNAIL)
                return _encode(np.asarray(image), media_type)
        if frame is not None:
            assert inst is not None and inst.level is not None
            gx = inst.frames.grid[0]
            left, top, w, h = slide.tile_box(inst.level, (frame - 1) % gx, (frame - 1) // gx)
            ds = slide.levels[inst.level].downsample
            pixels = slide.read_region((round(left * ds), round(top * ds)), inst.level, (w, h))
            if viewport or thumbnail:
                image = Image.fromarray(np.ascontiguousarray(pixels))
                image.thumbnail(viewport or THUMBNAIL)
                pixels = np.asarray(image)
            return _encode(pixels, media_type)
        if thumbnail:
            return _encode(slide.get_thumbnail(viewport or THUMBNAIL), media_type)
        assert inst is not None and inst.level is not None
        w, h = slide.levels[inst.level].dimensions
        if viewport is None:
            if w * h > MAX_RENDERED:
                raise QueryError(f"the instance is {w} x {h} pixels, more than "
                                 f"{MAX_RENDERED} rendered at once: give a viewport=w,h")
            viewport = (w, h)
        return _encode(slide.get_thumbnail((min(w, viewport[0]), min(h, viewport[1]))),
                       media_type)

