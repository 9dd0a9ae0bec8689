"""One slide to a folder of DICOM instances: plan the instances from the opened
slide, then write each file that is not there yet, its frames read in batches
through `Slide.read_tiles` and written as they arrive."""
from __future__ import annotations

import dataclasses
import hashlib
import io
import json
import os
import re
import time
from array import array
from collections.abc import Iterator
from dataclasses import dataclass, field, replace
from typing import Any

from .._failures import one_line
from .._slide_cache import lease
from .._sources import slide_key, slide_name
from .dataset import Instance, SlideFacts, build
from .._core import extend_jpeg
from .frames import (JPEG_BASELINE, FrameError, FrameFormat, Uncompressed, frame_format,
                     frame_size, native_format, with_mct)
from .blank import blank_frame
from .writer import BOT_LIMIT, write_file

BATCH = 256
# Tile edge of the slides convert opens (formats that cut tiles at the caller's size).
CONVERT_TILE_SIZE = 512
NOMINAL_MPP = 1.0
# Associated images kolva names -> the instance they become.
ROLES = {"label": "LABEL", "macro": "OVERVIEW", "overview": "OVERVIEW",
         "thumbnail": "THUMBNAIL"}


@dataclass
class InstanceReport:
    filename: str
    role: str
    frames: int = 0
    written: bool = True      # False: the file was complete already
    blank: int = 0            # frames of empty glass for tiles the source lacks
    extended: int = 0         # edge tiles extended to the frame size (losslessly)
    native: bool = False      # decoded to uncompressed samples
    note: str = ""


@dataclass
class SlideResult:
    source: str
    folder: str = ""
    instances: list[InstanceReport] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)   # what the reader should know
    error: str | None = None
    frame_bytes: int = 0
    seconds: float = 0.0


@dataclass
class Options:
    levels: list[int] | None = None         # None: all
    tile_size: int | None = None
    decode_to: str | None = None            # None or "native"
    attributes: dict[str, Any] = field(default_factory=dict)
    extended_limit: int = BOT_LIMIT         # pixel data past this: Extended Offset Table
    sync: bool = False
    threads: int | None = None
    # For fsspec, opening remote sources (as they were listed with).
    storage_options: dict[str, Any] | None = None
    deidentify: bool = False
    planes: dict[str, int | str] = field(default_factory=dict)  # kolva.open's plane choice


def folder_name(source: str) -> str:
    """The folder a slide is written to: its `slide_key`, as export and serve name it."""
    return slide_key(source)


def _stem(source: str) -> str:
    name = slide_name(source)
    stem = name.rsplit(".", 1)[0] if "." in name[1:] else name
    return stem[:64]


def _fingerprint(slide: Any, source: str) -> str:
    """What identifies the slide's content: its name, geometry, properties and the
    bytes of the first and last tile of its smallest level."""
    h = hashlib.sha256()
    h.update(json.dumps([slide_name(source), slide.format, [list(lv.dimensions) for lv in
                                                            slide.levels],
                         sorted(slide.properties.items())]).encode())
    top = slide.level_count - 1
    gx, gy = slide.levels[top].tile_grid
    for x, y in ((0, 0), (gx - 1, gy - 1)):
        try:
            h.update(slide.read_tile(top, x, y))
        except Exception:
            h.update(b"-")
    return h.hexdigest()


def _date(props: dict[str, str], source: str) -> tuple[str, str]:
    """(DA, TM) of the acquisition as the source states it, else of the file's last
    change, else the epoch."""
    text = (props.get("aperio.Date"), props.get("aperio.Time"))
    if text[0]:
        m = re.match(r"(\d{1,2})/(\d{1,2})/(\d{2,4})", text[0])
        if m:
            mo, d, y = (int(g) for g in m.groups())
            y += 2000 if y < 100 else 0
            t = re.sub(r"\D", "", text[1] or "")[:6].ljust(6, "0")
            return f"{y:04d}{mo:02d}{d:02d}", t
    for key in ("philips.DICOM_ACQUISITION_DATETIME", "tiff.DateTime"):
        v = re.sub(r"\D", "", props.get(key, ""))
        if len(v) >= 14:
            return v[:8], v[8:14]
    if "://" not in source:
        try:
            stamp = time.gmtime(int(os.stat(source).st_mtime))
            return time.strftime("%Y%m%d", stamp), time.strftime("%H%M%S", stamp)
        except OSError:
            pass
    return "19700101", "000000"


def slide_facts(slide: Any, source: str, attributes: dict[str, Any]) -> SlideFacts:
    p = slide.properties
    date, tm = _date(p, source)
    mpp = slide.mpp
    power = p.get("kolva.objective-power")
    vendor = p.get("kolva.vendor", slide.format)
    manufacturer = {"aperio": "Aperio", "hamamatsu": "Hamamatsu", "philips": "Philips",
                    "olympus": "Olympus"}.get(vendor, p.get("tiff.Make", ""))
    barcode = p.get("philips.PIM_DP_UFS_BARCODE", p.get("aperio.Barcode", ""))
    if "philips.PIM_DP_UFS_BARCODE" in p:
        import base64

        try:
            barcode = base64.b64decode(barcode).decode("utf-8", "replace")
        except ValueError:
            pass
    return SlideFacts(
        fingerprint=_fingerprint(slide, source), name=_stem(source),
        mpp=mpp, objective=float(power) if power else None, manufacturer=manufacturer,
        model=p.get("tiff.Model", p.get("hamamatsu.Model", ""))[:64],
        serial=p.get("aperio.ScanScope ID", p.get("philips.DICOM_DEVICE_SERIAL_NUMBER", ""))[:64],
        software=p.get("tiff.Software", "")[:64], date=date, time=tm,
        barcode=barcode[:64], label_text=p.get("aperio.Title", "")[:64],
        icc=slide.icc_profile, dimensions=slide.dimensions, attributes=attributes)


def _decode(data: bytes) -> tuple[bytes, int, int, int, int]:
    """(samples, width, height, samples per pixel, bits) of an encoded image."""
    import numpy as np
    from PIL import Image

    with Image.open(io.BytesIO(data)) as opened:
        im: Image.Image = opened
        if im.mode not in ("L", "RGB", "I;16", "I;16B"):
            im = im.convert("RGB")
        a = np.asarray(im)
    if a.dtype != np.uint8:
        a = a.astype("<u2")
    spp = 1 if a.ndim == 2 else a.shape[2]
    return a.tobytes(), a.shape[1], a.shape[0], spp, 8 * a.dtype.itemsize


def _pad_native(raw: bytes, w: int, h: int, tw: int, th: int, px: int) -> bytes:
    if (w, h) == (tw, th):
        return raw
    out = bytearray(b"\xff" * (tw * th * px))
    for r in range(min(h, th)):
        out[r * tw * px:r * tw * px + min(w, tw) * px] = raw[r * w * px:r * w * px + min(w, tw) * px]
    return bytes(out)


def plan_instances(slide: Any, source: str, options: Options,
                   notes: list[str]) -> list[tuple[Instance, Any]]:
    """The instances of a slide, each with what its frames come from."""
    levels = options.levels if options.levels is not None else list(range(slide.level_count))
    for n in levels:
        if not 0 <= n < slide.level_count:
            raise FrameError(f"level {n} does not exist: the slide has {slide.level_count} "
                             f"level{'s' if slide.level_count != 1 else ''}")
        if slide.levels[n].positioned:
            # Frames of a DICOM level tile it edge to edge; these tiles overlap or
            # sit off the grid, so written as stored they would show a different image.
            raise FrameError(f"level {n} of this {slide.format} slide is positioned (its stored "
                             f"tiles overlap or sit off the grid), which DICOM frames cannot "
                             f"hold as stored")
    w0, h0 = slide.dimensions
    mpp = slide.mpp
    if mpp is None:
        # DICOM requires a pixel spacing for levels and thumbnails.
        mpp = (NOMINAL_MPP, NOMINAL_MPP)
        notes.append(f"the source states no pixel size: levels say a nominal "
                       f"{NOMINAL_MPP:g} µm per pixel at level 0")
    out: list[tuple[Instance, Any]] = []
    number = 1
    for n in levels:
        lv = slide.levels[n]
        sizes = array("q")
        sizes.frombytes(slide.tile_sizes(n))
        first = next((i for i, s in enumerate(sizes) if s > 0), None)
        if first is None:
            raise FrameError(f"level {n} stores no tile")
        gx = lv.tile_grid[0]
        sample = slide.read_tile(n, first % gx, first // gx)
        tw, th = lv.tile_size
        try:
            fmt = frame_format(lv.media_type, sample, lv.photometric)
        except FrameError as exc:
            if options.decode_to != "native" and not isinstance(exc, Uncompressed):
                raise
            _, _, _, spp, bits = _decode(sample)
            fmt = native_format(spp, bits, tw, th)
        if not fmt.native and (fmt.width, fmt.height) != (tw, th):
            if fmt.transfer_syntax != JPEG_BASELINE or fmt.width > tw or fmt.height > th:
                raise FrameError(f"level {n}: its tiles are {fmt.width} x {fmt.height}, the "
                                 f"level's tile size is {tw} x {th}")
            fmt = replace(fmt, width=tw, height=th)  # edge tiles get extended
        w, h = lv.dimensions
        spacing = (mpp[0] * w0 / w / 1000.0, mpp[1] * h0 / h / 1000.0)
        inst = Instance("VOLUME", f"level-{n}.dcm", number, w, h, tw, th, fmt,
                        level=n, spacing=spacing, resampled=n > 0)
        out.append((inst, (sizes, sample)))
        number += 1
    images = slide.associated_images
    for name in images:
        role = ROLES.get(name)
        if role is None:
            notes.append(f"{name}: no DICOM image type for it")
            continue
        if any(i.role == role for i, _ in out):
            notes.append(f"{name}: the slide has another {role.lower()} image")
            continue
        image = images[name]
        try:
            fmt = frame_format(image.media_type, image.data)
            data = image.data
            w, h = image.dimensions
            if (fmt.width, fmt.height) != (w, h):
                raise FrameError("its stream is not the image's size")
        except FrameError:
            # Associated images are small: a codec DICOM lacks (Aperio's LZW label)
            # is decoded to uncompressed samples, losslessly.
            try:
                data, w, h, spp, bits = _decode(image.data)
            except Exception as exc:
                notes.append(f"{name}: cannot decode it ({exc})")
                continue
            fmt = native_format(spp, bits, w, h)
        thumb_spacing = ((mpp[0] * w0 / w / 1000.0, mpp[1] * h0 / h / 1000.0)
                         if role == "THUMBNAIL" else None)
        inst = Instance(role, f"{role.lower()}.dcm", number, w, h, w, h, fmt,
                        associated=name, spacing=thumb_spacing)
        out.append((inst, data))
        number += 1
    return out


class LevelFrames:
    """The frames of a level instance, one by one: the stored tile as it is, a frame
    of empty glass where the source has none, samples where the codec has no
    transfer syntax, and edge tiles extended to the frame size. `kolva convert`
    writes them and `kolva serve` hands them out over DICOMweb."""

    def __init__(self, slide: Any, inst: Instance, sizes: array[int], sample: bytes,
                 report: InstanceReport | None = None) -> None:
        assert inst.level is not None
        self.inst, self.sizes, self.sample, self.report = inst, sizes, sample, report
        lv = slide.levels[inst.level]
        self.grid = lv.tile_grid
        # Only tiles of the last column or row can end at the level's edge (NDPI).
        self.ragged = (lv.dimensions[0] % inst.tile_width, lv.dimensions[1] % inst.tile_height)
        self._blank: bytes | None = None

    @property
    def altered(self) -> bool:
        """Whether frames other than empty or edge ones differ from the stored tiles."""
        return self.inst.fmt.native or self.inst.fmt.set_mct

    def at_edge(self, i: int) -> bool:
        """Whether frame `i` (from 0) is a tile that may end at the level's edge."""
        gx, gy = self.grid
        return bool((self.ragged[0] and i % gx == gx - 1) or (self.ragged[1] and i // gx == gy - 1))

    def as_stored(self, i: int) -> bool:
        """Whether frame `i` is the stored tile, byte for byte."""
        return self.sizes[i] > 0 and not self.altered and not self.at_edge(i)

    def blank(self) -> bytes:
        if self._blank is None:
            self._blank = blank_frame(self.inst.fmt, self.sample)
        return self._blank

    def finish(self, i: int, data: bytes | None) -> bytes:
        """Frame `i` (from 0) from its stored tile (None or empty when not stored)."""
        inst, fmt, report = self.inst, self.inst.fmt, self.report
        if not data:
            if report is not None:
                report.blank += 1
            return self.blank()
        if fmt.native:
            raw, w, h, _, _ = _decode(data)
            px = fmt.samples * ((fmt.bits + 7) // 8)
            return _pad_native(raw, w, h, inst.tile_width, inst.tile_height, px)
        if fmt.set_mct:
            return with_mct(data)
        if self.at_edge(i):
            size = frame_size(fmt, data)
            if size != (inst.tile_width, inst.tile_height):
                x, y = i % self.grid[0], i // self.grid[0]
                if fmt.transfer_syntax != JPEG_BASELINE:
                    raise FrameError(f"level {inst.level}: tile ({x}, {y}) is {size[0]} x "
                                     f"{size[1]}, not the level's tile size "
                                     f"{inst.tile_width} x {inst.tile_height}")
                # A tile that ends at the level's edge (NDPI): extended losslessly.
                if report is not None:
                    report.extended += 1
                return extend_jpeg(data, inst.tile_width, inst.tile_height)
        return data


def level_frames(slide: Any, inst: Instance, sizes: array[int], sample: bytes,
                 options: Options, report: InstanceReport) -> Iterator[list[bytes]]:
    """The frames of a level in row-major order, in batches."""
    level = inst.level
    assert level is not None
    frames = LevelFrames(slide, inst, sizes, sample, report)
    gx = frames.grid[0]
    for start in range(0, len(sizes), BATCH):
        idx = range(start, min(start + BATCH, len(sizes)))
        present = [i for i in idx if sizes[i] > 0]
        tiles = slide.read_tiles(level, [(i % gx, i // gx) for i in present],
                                 threads=options.threads)
        if len(present) == len(idx) and not frames.altered and not (
                frames.at_edge(idx[-1]) or frames.at_edge(idx[0])
                or idx[0] // gx != idx[-1] // gx and frames.ragged[0]):
            yield tiles  # the common case: every tile stored, none at a ragged edge
            continue
        stored = dict(zip(present, tiles))
        yield [frames.finish(i, stored.get(i)) for i in idx]


@dataclass
class SlideDicom:
    """A slide described as DICOM: what the headers say of it, and each instance with
    what its frames come from ((tile sizes, a sample tile) for a level, the encoded
    image for an associated one). `kolva convert` writes it; `kolva serve` serves it."""

    facts: SlideFacts
    plans: list[tuple[Instance, Any]]
    notes: list[str] = field(default_factory=list)

    def dataset(self, inst: Instance) -> Any:
        """The instance's data set, without its pixel data."""
        return build(self.facts, inst)


def describe(slide: Any, source: str, options: Options) -> SlideDicom:
    """The DICOM instances of an opened slide, with the same UIDs whoever asks."""
    facts = slide_facts(slide, source, options.attributes)
    if options.deidentify:  # the profile's dummy values for what must stay present
        facts = dataclasses.replace(facts, name=facts.fingerprint[:16], date="19700101",
                                    time="000000", serial="", barcode="", label_text="",
                                    deidentified=True)
    notes: list[str] = []
    plans = plan_instances(slide, source, options, notes)
    for inst, what in plans:
        inst.stored_bytes = (sum(max(int(s), 0) for s in what[0]) if inst.level is not None
                             else len(what))
    return SlideDicom(facts, plans, notes)


def convert_slide(source: str, dest: str, options: Options) -> SlideResult:
    """Writes the instances of `source` missing from `dest/<slide folder>`."""
    started = time.perf_counter()
    result = SlideResult(source=source)
    try:
        open_options: dict[str, Any] = {"tile_size": options.tile_size} if options.tile_size else {}
        if options.storage_options:
            open_options["storage_options"] = options.storage_options
        if options.deidentify:
            open_options["deidentify"] = True
        open_options.update(options.planes)
        with lease(source, open_options) as slide:
            _write_slide(slide, source, dest, options, result)
    except Exception as exc:  # a slide that fails is reported; the others go on
        result.error = one_line(exc)
    result.seconds = time.perf_counter() - started
    return result


def _write_slide(slide: Any, source: str, dest: str, options: Options,
                 result: SlideResult) -> None:
    result.folder = os.path.join(dest, folder_name(source))
    dicom = describe(slide, source, options)
    result.notes.extend(dicom.notes)
    os.makedirs(result.folder, exist_ok=True)
    for inst, what in dicom.plans:
        report = InstanceReport(inst.filename, inst.role, inst.frames, native=inst.fmt.native)
        result.instances.append(report)
        path = os.path.join(result.folder, inst.filename)
        if os.path.exists(path):
            report.written = False
            continue
        if inst.level is not None:
            sizes, sample = what
            estimate = inst.stored_bytes + 9 * len(sizes)
            frames: Any = level_frames(slide, inst, sizes, sample, options, report)
        else:
            estimate = inst.stored_bytes
            frames = [[what]]
        ds = dicom.dataset(inst)
        px = inst.fmt.samples * ((inst.fmt.bits + 7) // 8)
        result.frame_bytes += write_file(
            path, ds, frames, inst.frames, native=inst.fmt.native,
            frame_bytes=inst.tile_width * inst.tile_height * px,
            extended=estimate > options.extended_limit, sync=options.sync)
        notes = []
        if report.blank:
            notes.append(f"{report.blank} tile{'s' if report.blank != 1 else ''} not "
                         "stored in the source: written as frames of empty glass")
        if report.extended:
            notes.append(f"{report.extended} edge tile{'s' if report.extended != 1 else ''}"
                         " extended to the frame size losslessly")
        report.note = "; ".join(notes)
