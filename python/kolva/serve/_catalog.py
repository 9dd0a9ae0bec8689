"""The slides a server was given: sources expanded, opened once, each with a stable id.

An id is the source's name made URL-safe plus a short hash of the source itself (the
real path of a file, or the URL as given), so it does not depend on the order of the
arguments or on the working directory, and two files of the same name in different
folders get different ids.
"""
from __future__ import annotations

import hashlib
import logging
import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any
from urllib.parse import unquote, urlsplit

import kolva

log = logging.getLogger("kolva.serve")

# Files looked at inside a directory source (a slide named explicitly may have any name).
SLIDE_SUFFIXES = frozenset({".svs", ".tif", ".tiff", ".ndpi", ".vsi", ".ets", ".btf",
                            ".bif", ".scn", ".qptiff"})

_UNSAFE = re.compile(r"[^A-Za-z0-9_.-]+")


def is_url(source: str) -> bool:
    return re.match(r"^[A-Za-z][A-Za-z0-9+.-]*://", source) is not None


def _digest(text: str, size: int = 5) -> str:
    return hashlib.blake2b(text.encode("utf-8", "surrogateescape"), digest_size=size).hexdigest()


def slide_id(source: str) -> str:
    """`<name>-<hash>` for a source: URL-safe, stable, unique per source."""
    if is_url(source):
        key = source
        name = unquote(urlsplit(source).path.rstrip("/").rsplit("/", 1)[-1])
    else:
        key = os.path.realpath(source)
        name = os.path.basename(key)
    stem = name.rsplit(".", 1)[0] if "." in name.lstrip(".") else name
    slug = _UNSAFE.sub("-", stem).strip("-.")[:48] or "slide"
    return f"{slug}-{_digest(key)}"


@dataclass
class Entry:
    """One served slide."""

    id: str
    source: str
    slide: kolva.Slide
    name: str
    # Stable tag of the file's identity and version for ETags, or None when the source
    # can't be stat'ed (a URL): tiles then get an ETag from a hash of their bytes.
    version: str | None
    info: dict[str, Any] = field(default_factory=dict)

    @property
    def levels(self) -> tuple[kolva.Level, ...]:
        return self.slide.levels


def _version(path: str) -> str:
    st = os.stat(path)
    return _digest(f"{os.path.realpath(path)}\0{st.st_size}\0{st.st_mtime_ns}\0{st.st_ino}", 8)


def _walk(directory: str) -> list[str]:
    """Slide files under a directory, sorted; .ets files that belong to a .vsi beside
    their `_name_` folder are left to the .vsi."""
    found: list[str] = []
    for root, dirs, files in os.walk(directory):
        dirs.sort()
        for name in sorted(files):
            if Path(name).suffix.lower() not in SLIDE_SUFFIXES:
                continue
            path = os.path.join(root, name)
            if name.lower().endswith(".ets") and _owned_by_vsi(path, directory):
                continue
            found.append(path)
    return found


def _owned_by_vsi(path: str, top: str) -> bool:
    here = Path(path).parent
    top_path = Path(top)
    while here != top_path and here != here.parent:
        if here.name.startswith("_") and here.name.endswith("_") and len(here.name) > 2:
            if (here.parent / (here.name[1:-1] + ".vsi")).is_file():
                return True
        here = here.parent
    return False


class SourceError(Exception):
    """A source named explicitly that can't be served."""


def open_sources(sources: list[str]) -> dict[str, Entry]:
    """Opens every slide of `sources` (files, directories, URLs). A file or URL named
    explicitly must open (SourceError otherwise); files found in a directory that
    kolva can't read are skipped with a log line."""
    entries: dict[str, Entry] = {}

    def add(source: str, explicit: bool) -> None:
        sid = slide_id(source)
        if sid in entries:
            return
        try:
            slide = kolva.open(source)
        except (kolva.SlideError, OSError, ValueError) as exc:
            if explicit:
                raise SourceError(f"{source}: {exc}") from None
            log.warning("skipping %s: %s", source, exc)
            return
        if is_url(source):
            name, version = unquote(urlsplit(source).path.rsplit("/", 1)[-1]) or source, None
        else:
            name, version = os.path.basename(source), _version(source)
        entries[sid] = Entry(sid, source, slide, name, version)

    for source in sources:
        source = os.fspath(source)
        if is_url(source):
            add(source, True)
        elif os.path.isdir(source):
            for path in _walk(source):
                add(path, False)
        elif os.path.exists(source):
            add(source, True)
        else:
            raise SourceError(f"{source}: no such file or directory")
    return entries


def describe(entry: Entry) -> dict[str, Any]:
    """The JSON description of a slide: the slide's own summary (as `kolva info`
    gives it), its id and name here, and its properties."""
    summary = entry.slide.summary()
    summary.pop("vendor")
    return {"id": entry.id, "name": entry.name, **summary,
            "properties": entry.slide.properties}
