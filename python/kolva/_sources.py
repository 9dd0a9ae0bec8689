"""Where slides come from: what a list of sources names, what each slide is called,
and where a slide's bytes are (local paths, URLs, and the files beside a slide that
a format keeps its pixels in, such as an Olympus .vsi's stack folders).

`expand_sources` turns what a user gives `kolva export`, `convert`, `serve` and
`kolva.torch` (paths, globs, folders, list files, URLs) into slides, each once and
in order. A folder of DICOM instances is one slide (its instances make a series),
as is a DICOM folder URL or a DICOMweb series URL. `slide_key` names a slide the
same way everywhere: export sample keys, convert output folders, serve URLs.

The native core opens a slide over a set of sources: the file it was opened
with, plus siblings a driver asks for by a name relative to that file's folder.
Locally the core lists and opens them itself; for a URL it asks
`RemoteSiblings`, which lists folders through fsspec (for HTTP(S): the folder's
index page) and opens each sibling as a `RemoteFile`.
"""
from __future__ import annotations

import builtins
import glob
import hashlib
import os
import re
from collections.abc import Iterable
from pathlib import Path
from typing import Any

from . import _dicom, _remote
from ._core import SlideError
from ._failures import one_line

_SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")


class SourceError(SlideError, ValueError):
    """Sources that name no slide: a glob that matches nothing, a folder without
    slides, a list file that cannot be read or names a file that is not there."""


# Files taken as slides inside a folder (a slide named explicitly may have any name).
# DICOM instances (.dcm) are not slides one by one: the folder holding them is.
SLIDE_SUFFIXES = frozenset({".svs", ".tif", ".tiff", ".ndpi", ".vsi", ".ets", ".btf",
                            ".bif", ".scn", ".qptiff", ".avs", ".mrxs", ".vms", ".vmu",
                            ".svslide"})
DICOM_SUFFIX = ".dcm"
LIST_SUFFIXES = (".txt", ".list", ".lst")
# List files naming list files: this deep at most.
LIST_DEPTH = 8

_GLOB_CHARS = re.compile(r"[*?\[]")
_KEY_UNSAFE = re.compile(r"[^A-Za-z0-9_-]+")
_DICOMWEB = re.compile(r"/studies/[^/]+/series/[^/]+/?$")


PLANE_AXES = ("series", "channel", "focal_plane", "timepoint")


def plane_options(planes: dict[str, int | str] | None) -> dict[str, int | str]:
    """`planes` checked as `kolva.open` keywords choosing one image and plane of a
    file that holds several ({"channel": 1, "focal_plane": "z2"}); {} for None."""
    out = dict(planes or {})
    unknown = sorted(set(out) - set(PLANE_AXES))
    if unknown:
        raise ValueError(f"planes: {', '.join(unknown)} is no plane axis "
                         f"(one of {', '.join(PLANE_AXES)})")
    return {k: v for k, v in out.items() if v is not None}


def is_url(source: str) -> bool:
    """Whether `source` is a URL (``scheme://...``) rather than a local path."""
    return _SCHEME.match(source) is not None


def local_path_of(url: str) -> str | None:
    """The path of a file:// URL (or 'local://'), None for any other URL."""
    for prefix in ("file://", "local://"):
        if url.startswith(prefix):
            return url[len(prefix):]
    return None


class RemoteSiblings:
    """The files beside the remote slide at `url`, for the core's source set.

    `list(folder)` names the entries of a folder relative to the slide's own;
    `open(relative)` gives (fetch, size, name, seeds) of one file there. Missing
    folders and files raise FileNotFoundError."""

    def __init__(self, url: str, storage_options: dict[str, Any] | None, *, max_requests: int,
                 timeout: float | None, retries: int) -> None:
        self._base = url.split("?", 1)[0].rsplit("/", 1)[0] + "/"
        self._options = dict(storage_options or {})
        self._max_requests = max_requests
        self._timeout = timeout
        self._retries = retries
        self._opened: builtins.list[_remote.RemoteFile] = []  # alive as long as the slide

    def list(self, folder: str) -> builtins.list[str]:
        from fsspec.core import url_to_fs

        url = self._base + folder.strip("/") + "/" if folder else self._base
        fs, path = url_to_fs(url, **self._options)
        if not url.startswith(("http://", "https://")):
            path = path.rstrip("/")
        try:
            entries = fs.ls(path, detail=False)
        except FileNotFoundError:
            raise
        except OSError as exc:
            raise FileNotFoundError(f"{url}: {exc}") from exc
        names: builtins.list[str] = []
        for entry in entries:
            name = str(entry).rstrip("/").rsplit("/", 1)[-1]
            if name and name not in names:
                names.append(name)
        return names

    def open(self, relative: str) -> tuple[Any, int, str, builtins.list[tuple[int, bytes]]]:
        url = self._base + relative
        remote = _remote.remote_file(url, self._options, max_requests=self._max_requests,
                                     timeout=self._timeout, retries=self._retries)
        try:
            seeds = remote.first_round_trip()
        except Exception as exc:
            if "404" in str(exc) or "no such" in str(exc).lower():
                raise FileNotFoundError(url) from exc
            raise
        self._opened.append(remote)
        return remote.fetch, remote.size, remote.name, seeds

    def open_many(self, relative: builtins.list[str]) -> builtins.list[Any]:
        """`open` of every name at once, their first round trips in flight together
        (a slide of many files opens in one round trip, not one a file): per name,
        what `open` gives or the exception it raised."""
        from concurrent.futures import ThreadPoolExecutor

        def attempt(name: str) -> Any:
            try:
                return self.open(name)
            except Exception as exc:  # handed back for the core to report
                return exc

        workers = max(1, min(len(relative), self._max_requests))
        with ThreadPoolExecutor(max_workers=workers) as pool:
            return builtins.list(pool.map(attempt, relative))


# --------------------------------------------------------------------------- naming
def slide_name(source: str) -> str:
    """The file (or folder) name of a source, path or URL, as given."""
    path = source.split("://", 1)[1] if is_url(source) else source
    path = path.split("?", 1)[0].rstrip("/")
    return path.rsplit("/", 1)[-1] or path


def slide_key(source: str) -> str:
    """The one name of a slide: export sample keys start with it, convert writes the
    slide to a folder of this name, serve has it in the slide's URLs. The file name
    without the extension, every run of characters other than letters, digits, '-'
    and '_' (dots included: WebDataset cuts keys at the first dot) made one '_', cut
    to 48 characters, then 10 hex digits of a hash of where the slide is (the
    absolute path, or the URL), so that two files of one name in two folders differ."""
    where = source if is_url(source) else os.path.abspath(source)
    name = slide_name(source)
    stem = name.rsplit(".", 1)[0] if "." in name[1:] else name
    stem = _KEY_UNSAFE.sub("_", stem).strip("_")[:48] or "slide"
    digest = hashlib.sha1(where.encode("utf-8", "surrogateescape")).hexdigest()[:10]
    return f"{stem}-{digest}"


# --------------------------------------------------------------------------- folders
def is_dicom_folder(folder: str) -> bool:
    """Whether a local folder is one DICOM slide: it holds DICOM instances."""
    return os.path.isdir(folder) and _dicom.holds_dicom(folder)


def slide_files(directory: str) -> list[str]:
    """The slides under a folder, sorted, subfolders included: files by their suffix
    (.ets files that belong to a .vsi beside their `_name_` folder are left to the
    .vsi) and folders of DICOM instances, each one slide."""
    found: list[str] = []
    for root, dirs, files in os.walk(directory):
        dirs.sort()
        suffixes = {Path(name).suffix.lower() for name in files}
        if files and (DICOM_SUFFIX in suffixes or not suffixes & SLIDE_SUFFIXES) \
                and _dicom.holds_dicom(root):
            found.append(root)
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


# --------------------------------------------------------------------------- expansion
def expand_sources(sources: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                   storage_options: dict[str, Any] | None = None) -> list[str]:
    """Paths, globs, URLs, folders (their slides, see `slide_files`) and list files
    (.txt/.list/.lst: one source a line, `#` comments; relative entries are relative
    to the list) -> the slides, in order, each once. A URL is one slide (globs in
    its path are expanded through fsspec with `storage_options`). A glob that
    matches nothing, a folder without slides, a list that cannot be read and a list
    entry that is not there raise SourceError naming them."""
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    out: list[str] = []
    seen: set[str] = set()

    def add(item: str) -> None:
        same = item if is_url(item) else os.path.abspath(item)
        if same not in seen:
            seen.add(same)
            out.append(item)

    def visit(item: str, depth: int, listed_in: str = "") -> None:
        if depth > LIST_DEPTH:
            raise SourceError(f"{item}: list files nest too deeply")
        if is_url(item):
            if _GLOB_CHARS.search(item.split("://", 1)[1].split("?", 1)[0]):
                for url in _remote_glob(item, storage_options):
                    add(url)
            elif item.endswith("/") and not _DICOMWEB.search(item):
                for url in _remote_folder(item, storage_options):
                    add(url)
            else:
                add(item)
            return
        if _GLOB_CHARS.search(item) and not os.path.exists(item):
            matches = sorted(glob.glob(item, recursive=True))
            slides = [s for m in matches
                      for s in (slide_files(m) if os.path.isdir(m) else [m])]
            if not slides:
                raise SourceError(f"{item}: no slide matches")
            for s in slides:
                add(s)
            return
        if os.path.isdir(item):
            found = slide_files(item)
            if not found:
                raise SourceError(f"{item}: no slide file in the folder")
            for path in found:
                add(path)
            return
        if item.lower().endswith(LIST_SUFFIXES):
            for entry, where in _list_entries(item):
                visit(entry, depth + 1, where)
            return
        if listed_in and not os.path.exists(item):
            raise SourceError(f"{listed_in}: {item}: no such file or directory")
        add(item)

    for s in sources:
        visit(os.fspath(s), 0)
    return out


def _list_entries(path: str) -> list[tuple[str, str]]:
    """(source, "list, line n") of each entry of a list file."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        why = exc.strerror if isinstance(exc, OSError) else "it is not UTF-8 text"
        raise SourceError(f"{path}: cannot read the list: {why or exc}") from None
    base = os.path.dirname(path)
    out = []
    for number, line in enumerate(lines, 1):
        entry = line.strip()
        if not entry or entry.startswith("#"):
            continue
        if not is_url(entry) and not os.path.isabs(entry):
            entry = os.path.normpath(os.path.join(base, entry))
        out.append((entry, f"{path}, line {number}"))
    return out


def _remote_glob(pattern: str, storage_options: dict[str, Any] | None) -> list[str]:
    import fsspec

    protocol = pattern.split("://", 1)[0]
    try:
        _, _, paths = fsspec.get_fs_token_paths(pattern, storage_options=storage_options)
    except Exception as exc:  # the store's own errors: no connection, no bucket, denied
        raise SourceError(f"{pattern}: cannot list: {one_line(exc)}") from None
    if not paths:
        raise SourceError(f"{pattern}: no slide matches")
    return [p if is_url(p) else f"{protocol}://{p}" for p in sorted(paths)]


def _remote_folder(url: str, storage_options: dict[str, Any] | None) -> list[str]:
    """The slides of a folder URL: the folder itself when it holds DICOM instances (or
    cannot be listed: opening it tells why), else its slide files."""
    try:
        fs, root = remote_fs(url, storage_options)
        # An HTTP folder is listed by its index page, at the URL with its '/'.
        listed = fs.ls(url if url.startswith(("http://", "https://")) else root, detail=False)
        names = [str(n).rstrip("/").rsplit("/", 1)[-1] for n in listed]
    except Exception:  # noqa: BLE001 - reported when the folder is opened as a slide
        return [url]
    suffixes = {Path(n).suffix.lower() for n in names}
    if DICOM_SUFFIX in suffixes or not suffixes & SLIDE_SUFFIXES:
        return [url]
    return [url + n for n in sorted(set(names)) if Path(n).suffix.lower() in SLIDE_SUFFIXES]


def remote_fs(url: str, storage_options: dict[str, Any] | None) -> tuple[Any, str]:
    """(fsspec file system, path without the trailing '/') of a URL."""
    import fsspec

    fs, _, (root,) = fsspec.get_fs_token_paths(url, storage_options=storage_options)
    return fs, root.rstrip("/")
