"""Where a slide's bytes come from: local paths, URLs, and the files beside a
slide that a format keeps its pixels in (an Olympus .vsi's stack folders).

The native core opens a slide over a set of sources: the file it was opened
with, plus siblings a driver asks for by a name relative to that file's folder.
Locally the core lists and opens them itself; for a URL it asks
`RemoteSiblings`, which lists folders through fsspec (for HTTP(S): the folder's
index page) and opens each sibling as a `RemoteFile`.
"""
from __future__ import annotations

import builtins
import re
from typing import Any

from . import _remote

_SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")


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
