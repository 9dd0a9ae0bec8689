"""DICOM whole-slide series: which files make up the series that `kolva.open` was given.

A series is a set of instance files (one per pyramid level, label, overview...). It is
opened from a folder holding them, from any one of them (the rest of its series is
found beside it) or from an explicit list. The native reader parses every instance
and groups them; this module only finds the files.
"""
from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

from . import _core

#: Where a Part 10 file says what it is: "DICM" after a 128-byte preamble.
_MAGIC_AT = 128


def is_dicom_file(path: str) -> bool:
    """Does `path` start like a DICOM Part 10 file?"""
    try:
        with open(path, "rb") as f:
            head = f.read(_MAGIC_AT + 4)
    except OSError:
        return False
    return len(head) == _MAGIC_AT + 4 and head[_MAGIC_AT:] == b"DICM"


def _files_in(folder: str) -> list[str]:
    try:
        with os.scandir(folder) as entries:
            return sorted(e.path for e in entries if e.is_file())
    except OSError:
        return []


def holds_dicom(folder: str) -> bool:
    """Does `folder` hold a DICOM Part 10 file?"""
    return any(is_dicom_file(f) for f in _files_in(folder))


def options_of(series: str | None, focal_plane: int, optical_path: str | None) -> dict[str, Any]:
    """The native reader's keyword arguments for the series options of `kolva.open`."""
    if focal_plane < 0:
        raise ValueError(f"focal_plane must not be negative, not {focal_plane}")
    return {"series": series or "", "focal_plane": focal_plane, "optical_path": optical_path or ""}


def open_local(source: str | Sequence[str], options: dict[str, Any]) -> Any:
    """The native slide of a folder, of one instance and its siblings, or of named files."""
    if isinstance(source, str):
        if os.path.isdir(source):
            files = _files_in(source)
            return _core.open_dicom(files, source.rstrip(os.sep) or source, False, **options)
        folder = os.path.dirname(source) or "."
        files = _files_in(folder)
        this = os.path.realpath(source)
        anchor = next((i for i, f in enumerate(files) if os.path.realpath(f) == this), -1)
        if anchor < 0:
            files, anchor = [source], 0
        return _core.open_dicom(files, source, False, anchor=anchor, **options)
    paths = [os.fspath(p) for p in source]
    if not paths:
        raise ValueError("kolva.open() was given an empty list of DICOM instances")
    name = paths[0] if len(paths) == 1 else f"{paths[0]} (+{len(paths) - 1} instances)"
    return _core.open_dicom(paths, name, True, **options)


# --------------------------------------------------------------------------- remote
class SeriesRemote:
    """The remote instances of a series behind one `fetch`: the native slide numbers
    instance i's bytes from i << INSTANCE_SHIFT on, as its plans do."""

    INSTANCE_SHIFT = 40

    def __init__(self, remotes: list[Any]) -> None:
        self.remotes = remotes

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
        mask = (1 << self.INSTANCE_SHIFT) - 1
        by_instance: dict[int, list[int]] = {}
        for i, (offset, _) in enumerate(ranges):
            by_instance.setdefault(int(offset) >> self.INSTANCE_SHIFT, []).append(i)
        out: list[bytes] = [b""] * len(ranges)

        def one(instance: int) -> None:
            picked = by_instance[instance]
            got = self.remotes[instance].fetch([(int(ranges[i][0]) & mask, int(ranges[i][1]))
                                                for i in picked])
            for i, data in zip(picked, got):
                out[i] = data

        if len(by_instance) == 1:
            one(next(iter(by_instance)))
        else:
            from concurrent.futures import ThreadPoolExecutor
            with ThreadPoolExecutor(min(len(by_instance), 16)) as pool:
                list(pool.map(one, by_instance))
        return out


def _listing(url: str, storage_options: dict[str, Any] | None) -> list[tuple[str, int | None]]:
    """(URL, size) of the files in a remote folder, in one listing request."""
    import fsspec

    fs, path = fsspec.core.url_to_fs(url, **(storage_options or {}))
    protocol = url.split("://", 1)[0]
    found = []
    for entry in fs.ls(path.rstrip("/"), detail=True):
        if entry.get("type") != "file":
            continue
        name = entry["name"]
        found.append((name if "://" in name else f"{protocol}://{name}", entry.get("size")))
    return sorted(found)


def _head(remote: Any, size: int | None) -> bytes:
    """The first window of an instance (its header and, mostly, its offset table);
    learns the instance's size from the answer when the listing did not say."""
    from ._remote import WINDOW

    if size is not None:
        remote.size = size
    if remote.transport.loop is None:
        head, total = remote._get_sync(0, -WINDOW)
    else:
        head, total = remote._run(lambda: remote._get(0, -WINDOW))
    if size is None:
        if total is None:
            raise _core.SlideError(f"cannot read {remote.name}: the server did not say how "
                                   "long the file is")
        remote.size = total
    return bytes(head)


def open_remote(url: str | list[str], storage_options: dict[str, Any] | None, options: dict[str, Any],
                make_remote: Any, cache_size: int) -> tuple[Any, SeriesRemote]:
    """The native slide of a remote folder (a URL ending in "/"), a remote instance
    with the rest of its folder, or a list of instance URLs; and the fetcher of its
    tile reads. Every instance's first window is fetched at once, concurrently."""
    from concurrent.futures import ThreadPoolExecutor

    anchor = -1
    named = False
    if isinstance(url, str) and url.endswith("/"):
        entries = _listing(url, storage_options)
        name = url
    elif isinstance(url, str):
        name = url
        entries = [(url, None)]
        if not url.split("://", 1)[0].startswith("http"):
            parent = url.rsplit("/", 1)[0] + "/"
            try:
                entries = _listing(parent, storage_options)
            except (OSError, ValueError):
                entries = [(url, None)]
        anchor = next((i for i, (u, _) in enumerate(entries) if u == url), -1)
        if anchor < 0:
            entries, anchor = [(url, None)], 0
    else:
        entries = [(u, None) for u in url]
        named = True
        name = entries[0][0] if len(entries) == 1 else f"{entries[0][0]} (+{len(entries) - 1} instances)"
    if not entries:
        raise _core.UnsupportedFormat(f"{name} is not a slide kolva can read: it holds no file")
    remotes = [make_remote(u) for u, _ in entries]
    with ThreadPoolExecutor(min(len(remotes), 32)) as pool:
        heads = list(pool.map(_head, remotes, [s for _, s in entries]))
    instances = [(r.fetch, r.size, r.name, h) for r, h in zip(remotes, heads)]
    core = _core.open_dicom_fetch(instances, name, named, anchor=anchor, cache_size=cache_size,
                                  **options)
    return core, SeriesRemote(remotes)
