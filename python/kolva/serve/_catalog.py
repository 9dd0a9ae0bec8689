"""The slides a server was given: sources expanded, each with a stable id.

Every slide is opened once at the start (a slide that does not open is reported
then) and its format and levels kept; after that the slides are leased from a cache
that keeps at most `max_open` of them open, so a server of thousands of slides
holds no more files open than that.

Sources are expanded as `kolva export` expands them (files, folders, globs, list
files, URLs; a folder of DICOM instances is one slide). A slide's id is its
`slide_key`, the name export and convert give it too: the source's name made
URL-safe plus a short hash of where it is (the absolute path of a file, or the URL
as given), so it does not depend on the order of the arguments or on the working
directory, and two files of the same name in different folders get different ids.
"""
from __future__ import annotations

import hashlib
import logging
import os
from contextlib import AbstractContextManager
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import unquote, urlsplit

import kolva

from .._slide_cache import SlideCache
from .._sources import (SLIDE_SUFFIXES, SourceError, expand_sources, is_dicom_folder, is_url,
                        slide_files, slide_key)

__all__ = ["MAX_OPEN", "SLIDE_SUFFIXES", "Entry", "SourceError", "describe", "open_sources",
           "slide_files", "slide_id"]

log = logging.getLogger("kolva.serve")


def _digest(text: str, size: int = 5) -> str:
    return hashlib.blake2b(text.encode("utf-8", "surrogateescape"), digest_size=size).hexdigest()


def slide_id(source: str) -> str:
    """The id of a source in the server's URLs: its `slide_key`."""
    return slide_key(source)


# Slides a server keeps open at once unless told otherwise.
MAX_OPEN = 64


@dataclass
class Entry:
    """One served slide: what it is, and its slide leased from the server's cache."""

    id: str
    source: str
    name: str
    # Stable tag of the file's identity and version for ETags, or None when the source
    # can't be stat'ed (a URL): tiles then get an ETag from a hash of their bytes.
    version: str | None
    cache: SlideCache[kolva.Slide]
    format: str
    dimensions: tuple[int, int]
    levels: tuple[kolva.Level, ...]
    info: dict[str, Any] = field(default_factory=dict)
    # Options the slide is opened with for this entry (None: the cache's own opener).
    open_options: dict[str, Any] | None = None

    @property
    def level_count(self) -> int:
        return len(self.levels)

    def lease(self) -> AbstractContextManager[kolva.Slide]:
        """The open slide, for the block (opened again if the cache closed it)."""
        options = self.open_options
        if options is None:
            return self.cache.lease(self.source)
        source = self.source
        return self.cache.lease((source, *sorted(options.items())),
                                lambda: kolva.open(source, **options))


def _version(path: str) -> str:
    """A tag of the file's (or a DICOM folder's files') identity and version."""
    paths = [path]
    if os.path.isdir(path):
        paths = sorted(e.path for e in os.scandir(path) if e.is_file())
    parts = []
    for p in paths:
        st = os.stat(p)
        parts.append(f"{os.path.realpath(p)}\0{st.st_size}\0{st.st_mtime_ns}\0{st.st_ino}")
    return _digest("\0".join(parts), 8)


def open_sources(sources: list[str], cache: SlideCache[kolva.Slide]) -> dict[str, Entry]:
    """Opens every slide of `sources` (files, folders, globs, list files, URLs) through
    `cache`. A slide named explicitly (or by a glob or a list) must open (SourceError
    otherwise); files found in a folder that kolva can't read are skipped with a
    log line."""
    entries: dict[str, Entry] = {}

    def add(source: str, explicit: bool) -> None:
        sid = slide_id(source)
        if sid in entries:
            return
        try:
            with cache.lease(source) as slide:
                kind, dimensions, levels = slide.format, slide.dimensions, slide.levels
        except (kolva.SlideError, OSError, ValueError) as exc:
            if explicit:
                raise SourceError(f"{source}: {exc}") from None
            log.warning("skipping %s: %s", source, exc)
            return
        if is_url(source):
            name = unquote(urlsplit(source).path.rstrip("/").rsplit("/", 1)[-1]) or source
            version = None
        else:
            name, version = os.path.basename(source.rstrip(os.sep)), _version(source)
        entries[sid] = Entry(sid, source, name, version, cache, kind, dimensions, levels)

    for given in sources:
        given = os.fspath(given)
        local = not is_url(given)
        if local and not os.path.exists(given) and not any(c in given for c in "*?["):
            raise SourceError(f"{given}: no such file or directory")
        # The slides found in a folder are tried; one that does not open is skipped.
        folder = local and os.path.isdir(given) and not is_dicom_folder(given)
        try:
            found = expand_sources([given])
        except SourceError:
            if folder:
                continue  # a folder without slides: nothing to serve from it
            raise
        for source in found:
            add(source, not folder)
    return entries


def describe(entry: Entry) -> dict[str, Any]:
    """The JSON description of a slide (opens it: run it off the event loop): the
    slide's own summary (as `kolva info` gives it), its id and name here, and its
    properties."""
    with entry.lease() as slide:
        summary = slide.summary()
        properties = slide.properties
    summary.pop("vendor")
    return {"id": entry.id, "name": entry.name, **summary, "properties": properties}
