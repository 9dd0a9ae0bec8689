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
        names = sorted(os.listdir(folder))
    except OSError:
        return []
    return [p for p in (os.path.join(folder, n) for n in names) if os.path.isfile(p)]


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
