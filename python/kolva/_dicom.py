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
            first = next((f for f in _files_in(source) if is_dicom_file(f)), None)
            if first is None:
                raise _core.UnsupportedFormat(f"{source} is not a slide kolva can read: it holds "
                                              "no DICOM file")
            return _core.open_dicom([first], folder=True, **options)
        return _core.open_dicom([source], **options)
    paths = [os.fspath(p) for p in source]
    if not paths:
        raise ValueError("kolva.open() was given an empty list of DICOM instances")
    return _core.open_dicom(paths, named=True, **options)


# --------------------------------------------------------------------------- remote
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


def open_remote(url: str | list[str], storage_options: dict[str, Any] | None,
                options: dict[str, Any], make_remote: Any, cache_size: int) -> Any:
    """The native slide of a remote folder (a URL ending in "/"), a remote instance
    with the rest of its folder, or a list of instance URLs. Every instance's first
    window is fetched at once, concurrently, and seeds its range cache."""
    from concurrent.futures import ThreadPoolExecutor

    named = folder = False
    if isinstance(url, str) and url.endswith("/"):
        entries = _listing(url, storage_options)
        folder = True
    elif isinstance(url, str):
        entries = [(url, None)]
        if not url.split("://", 1)[0].startswith("http"):
            try:
                entries = _listing(url.rsplit("/", 1)[0] + "/", storage_options)
            except (OSError, ValueError):
                entries = [(url, None)]
        # The instance named is source 0: its series is the one opened.
        entries = [e for e in entries if e[0] == url] + [e for e in entries if e[0] != url]
        if entries[0][0] != url:
            entries = [(url, None)] + entries
    else:
        entries = [(u, None) for u in url]
        named = True
    if not entries:
        raise _core.UnsupportedFormat(f"{url} is not a slide kolva can read: it holds no file")
    remotes = [make_remote(u) for u, _ in entries]
    with ThreadPoolExecutor(min(len(remotes), 32)) as pool:
        heads = list(pool.map(_head, remotes, [s for _, s in entries]))
    instances = [(r.fetch, r.size, r.name, [(0, h)]) for r, h in zip(remotes, heads)]
    if folder:  # a folder opens from its first DICOM file
        first = next((i for i, h in enumerate(heads) if h[128:132] == b"DICM"), 0)
        instances.insert(0, instances.pop(first))
    return _core.open_dicom_fetch(instances, named=named, folder=folder, cache_size=cache_size,
                                  **options)
