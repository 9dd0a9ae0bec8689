"""`kolva.convert`: slides to standard DICOM whole-slide images without re-encoding
a pixel.

Each slide becomes a folder of DICOM files, one VL Whole Slide Microscopy Image
instance per pyramid level (`level-<n>.dcm`, TILED_FULL, one frame per stored tile,
byte for byte) and one per associated image (`label.dcm`, `overview.dcm`,
`thumbnail.dcm`), in one new study and series whose UIDs derive from the slide, so
that a rerun writes identical files. Files appear under their names only when
complete; a rerun writes the ones that are missing.

Slides are converted by the same executors as `kolva.export` (this process, worker
processes, or a Dask cluster), one task per slide. With a `dicomweb+http(s)://` DEST
the instances are written to a temporary folder and stored through STOW-RS.
"""
from __future__ import annotations

import json
import os
import re
import sys
import tempfile
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from .._sources import expand_sources, is_url, plane_options, remote_fs
from .slide import (BATCH, CONVERT_TILE_SIZE, InstanceReport, Options, SlideResult,
                    convert_slide, folder_name)

__all__ = ["ConvertSummary", "InstanceReport", "SlideResult", "convert", "folder_name",
           "parse_attributes"]


@dataclass
class ConvertSummary:
    dest: str
    slides: list[SlideResult] = field(default_factory=list)
    seconds: float = 0.0
    stored: int = 0   # instances sent through STOW-RS

    @property
    def failed(self) -> list[SlideResult]:
        return [s for s in self.slides if s.error is not None]

    @property
    def ok(self) -> bool:
        return not self.failed


def parse_attributes(items: Iterable[str] = (), json_file: str | None = None) -> dict[str, Any]:
    """`Keyword=Value` texts (and a JSON object of keyword -> value) -> attributes for
    every instance; keywords are checked against pydicom's data dictionary."""
    from pydicom.datadict import dictionary_VR, keyword_for_tag, tag_for_keyword

    out: dict[str, Any] = {}
    if json_file:
        with open(json_file, encoding="utf-8") as f:
            loaded = json.load(f)
        if not isinstance(loaded, dict):
            raise ValueError(f"{json_file}: give a JSON object of attribute keyword -> value")
        out.update(loaded)
    for item in items:
        key, sep, value = item.partition("=")
        if not sep:
            raise ValueError(f"--set {item!r}: give Keyword=Value")
        out[key.strip()] = value
    checked: dict[str, Any] = {}
    for key, given in out.items():
        tag = tag_for_keyword(key)
        if tag is None:  # also (0010,0020) or 00100020
            digits = key.replace("(", "").replace(")", "").replace(",", "")
            hexa = re.fullmatch(r"[0-9A-Fa-f]{8}", digits)
            known = keyword_for_tag(int(digits, 16)) if hexa else ""
            if not known:
                raise ValueError(f"{key!r}: no DICOM attribute of that name")
            key, tag = known, int(digits, 16)
        vr = dictionary_VR(tag)
        if vr in ("US", "UL", "SS", "SL", "IS") and isinstance(given, str) and given:
            given = int(given)
        checked[key] = given
    return checked


def _levels(levels: str | Iterable[int] | None) -> list[int] | None:
    if levels is None or levels == "all":
        return None
    if isinstance(levels, str):
        try:
            return [int(v) for v in levels.split(",") if v.strip()]
        except ValueError:
            raise ValueError(f"levels must be 'all' or numbers such as 0,1,2, not "
                             f"{levels!r}") from None
    return [int(v) for v in levels]


def convert(sources: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
            dest: str | os.PathLike[str], *, levels: str | Iterable[int] | None = "all",
            tile_size: int | None = None, decode_to: str | None = None,
            attributes: dict[str, Any] | None = None, workers: int | None = None,
            scheduler: str | Any | None = None, overwrite: bool = False,
            storage_options: dict[str, Any] | None = None, sync: bool = False,
            progress: bool | None = None, extended_limit: int | None = None,
            deidentify: bool = False,
            planes: dict[str, int | str] | None = None) -> ConvertSummary:
    """Converts the slides in `sources` (paths, globs, URLs, or .txt/.list files naming
    them) to DICOM in `dest`: a folder, an fsspec URL, or `dicomweb+http://host/path`
    (a DICOMweb service's root, stored through STOW-RS).

    `levels`: "all" or the level numbers to write. `tile_size`: NDPI tile edge (default
    512). `decode_to="native"`: tiles of a codec DICOM lacks (LZW, Deflate, WebP ...)
    are written uncompressed instead of refused. `attributes`: DICOM keyword -> value
    set on every instance (patient, study). `workers`/`scheduler`: as for
    `kolva.export`. `overwrite`: write every file again. Returns a ConvertSummary; a
    slide that cannot be converted carries its error and the others are converted.
    `deidentify`: each slide opened with `kolva.open(..., deidentify=True)` (no label
    or overview instance) and written as the Basic Application Level Confidentiality
    Profile says (no file name, barcode, serial number or date). `planes`: the image
    and plane converted of slides that hold several, as `kolva.open` takes them
    ({"channel": 1})."""
    from .._export import executors
    from . import stow

    started = time.perf_counter()
    if decode_to not in (None, "native"):
        raise ValueError(f"decode_to must be 'native' or None, not {decode_to!r}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    options = Options(levels=_levels(levels), tile_size=tile_size or CONVERT_TILE_SIZE,
                      decode_to=decode_to, attributes=dict(attributes or {}), sync=sync,
                      storage_options=dict(storage_options) if storage_options else None,
                      deidentify=deidentify, planes=plane_options(planes))
    if extended_limit is not None:
        options.extended_limit = extended_limit
    dest_text = os.fspath(dest)
    paths = expand_sources(sources, storage_options)
    if not paths:
        raise ValueError("no sources given")
    if progress is None:
        progress = sys.stderr.isatty()

    upload = stow.is_dicomweb(dest_text)
    remote = is_url(dest_text) and not upload
    workdir = tempfile.mkdtemp(prefix="kolva-convert-") if (upload or remote) else None
    local = workdir or dest_text
    os.makedirs(local, exist_ok=True)
    if overwrite and not workdir:
        for p in paths:
            folder = os.path.join(local, folder_name(p))
            if os.path.isdir(folder):
                for n in os.listdir(folder):
                    if n.endswith(".dcm"):
                        os.unlink(os.path.join(folder, n))

    summary = ConvertSummary(dest=dest_text)
    if workers is None and scheduler is None:
        workers = min(executors.machine_cores(), len(paths))
    if (workers or 1) > 1 or scheduler is not None:
        options.threads = 1   # the workers share the cores
    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=len(paths), unit="slide", file=sys.stderr, leave=False)
    results: list[SlideResult] = [None] * len(paths)  # type: ignore[list-item]
    try:
        with executors.make(workers, scheduler) as pool:
            futures = {pool.submit(convert_slide, p, local, options): i
                       for i, p in enumerate(paths)}
            for fut in pool.as_completed(list(futures)):
                i = futures[fut]
                try:
                    results[i] = fut.result()
                except Exception as exc:  # the worker itself died
                    results[i] = SlideResult(paths[i], error=f"{type(exc).__name__}: {exc}")
                if bar is not None:
                    bar.update(1)
        summary.slides = results
        if upload:
            summary.stored = stow.store_results(dest_text, results)
        elif remote:
            _upload(results, local, dest_text, storage_options)
    finally:
        if bar is not None:
            bar.close()
        if workdir is not None:
            import shutil

            shutil.rmtree(workdir, ignore_errors=True)
    summary.seconds = time.perf_counter() - started
    return summary


def _upload(results: list[SlideResult], local: str, dest: str,
            storage_options: dict[str, Any] | None) -> None:
    fs, root = remote_fs(dest, storage_options)
    for r in results:
        if r.error is not None or not r.folder:
            continue
        name = os.path.basename(r.folder)
        for inst in r.instances:
            fs.put_file(os.path.join(r.folder, inst.filename), f"{root}/{name}/{inst.filename}")
        r.folder = f"{dest.rstrip('/')}/{name}"
