"""Transports of remote slides: one ranged read each, checked to be exactly the
range asked for. HTTP(S) and S3 use fsspec's file systems for sessions, credentials
and configuration (`storage_options`) but send their own ranged GETs, because the
answer's `Content-Range` carries what fsspec's `cat_file` drops: the object's size
(so opening needs no HEAD request) and proof that the server honoured the range.
Other fsspec file systems go through `cat_file`; open binary file objects are read
under a lock.
"""
from __future__ import annotations

import asyncio
import contextlib
import io
import re
import threading
from collections.abc import Iterator
from typing import Any

_CONTENT_RANGE = re.compile(r"^\s*bytes\s+(\d+)-(\d+)/(\d+|\*)\s*$", re.IGNORECASE)
_TRANSIENT_STATUS = frozenset({408, 425, 429, 500, 502, 503, 504})


class _Transient(Exception):
    """A failure worth another try (5xx, a reset, a body cut short)."""


class _Failure(Exception):
    """A failure that another try would repeat (403, 404, a server ignoring Range)."""


def _status_failure(status: int, reason: str | None) -> Exception:
    """An HTTP answer other than the one asked for, as the failure to raise."""
    text = f"HTTP {status} {reason or ''}".strip()
    return _Transient(text) if status in _TRANSIENT_STATUS else _Failure(text)


@contextlib.contextmanager
def _http_errors() -> Iterator[None]:
    """aiohttp's errors as failures: a refused connection is final, resets and cut
    bodies are worth another try."""
    import aiohttp

    try:
        yield
    except aiohttp.ClientConnectorError as exc:
        raise _Failure(f"cannot connect: {exc.os_error.strerror or exc}") from exc
    except (aiohttp.ServerDisconnectedError, aiohttp.ClientPayloadError,
            aiohttp.ClientOSError, aiohttp.ClientResponseError, ConnectionError) as exc:
        raise _Transient(_cause(exc)) from exc


def _cause(exc: BaseException) -> str:
    text = str(exc).strip()
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


class _Transport:
    """One ranged read. `get(wanted)` with wanted (offset, length) or (None, n) for the
    last n bytes returns (bytes, object size or None), checked to be exactly the
    range asked for."""

    name: str
    loop: asyncio.AbstractEventLoop | None = None  # None: get is called synchronously

    async def get(self, offset: int | None, length: int) -> tuple[bytes, int | None]:
        """A negative `length` asks for at most -length bytes from `offset` on."""
        raise NotImplementedError

    def size(self) -> int | None:
        """The object's size when it takes a request of its own to learn it."""
        return None

    def get_sync(self, offset: int | None, length: int) -> tuple[bytes, int | None]:
        raise NotImplementedError


def _check_range(name: str, offset: int | None, length: int, got: tuple[int, int, int | None],
                 body: bytes) -> int | None:
    """Checks a Content-Range (first, last, total) and the body against what was asked.
    A negative `length` asks for at most -length bytes (cut at the end of the file)."""
    first, last, total = got
    if length < 0:
        start = offset or 0
        if first != start or total is None or last != min(start - length, total) - 1:
            raise _Failure(f"asked for bytes {start}-{start - length - 1}, the server sent "
                           f"bytes {first}-{last}/{total if total is not None else '*'}")
    elif offset is None:  # the last `length` bytes
        if total is None or last != total - 1 or first != max(0, total - length):
            raise _Failure(f"asked for the last {length} bytes, the server sent bytes "
                           f"{first}-{last}/{total if total is not None else '*'}")
    elif first != offset or last != offset + length - 1:
        raise _Failure(f"asked for bytes {offset}-{offset + length - 1}, the server sent "
                       f"bytes {first}-{last}")
    if len(body) != last - first + 1:
        raise _Transient(f"the server sent {len(body)} bytes for bytes {first}-{last}")
    return total


def _range_header(offset: int | None, length: int) -> str:
    if offset is None:
        return f"bytes=-{length}"
    return f"bytes={offset}-{offset + abs(length) - 1}"


def _empty(status: int, headers: Any, content_length: int | None) -> bool:
    """Whether a range request's answer says the file is empty: a 416 with
    `Content-Range: bytes */0`, or a 200 without a body."""
    if status == 200:
        return content_length == 0
    return str(headers.get("Content-Range", "")).replace(" ", "") == "bytes*/0"


class _Http(_Transport):
    def __init__(self, url: str, storage_options: dict[str, Any]) -> None:
        import fsspec

        self.name = url
        self.fs = fsspec.filesystem("https" if url.startswith("https") else "http",
                                    **storage_options)
        self.loop = self.fs.loop
        # What every request sends: the file system's request options and headers.
        self._kwargs = dict(self.fs.kwargs)
        self._headers = dict(self._kwargs.pop("headers", None) or {})
        self._headers.setdefault("Accept-Encoding", "identity")
        self._url = self.fs.encode_url(url)

    async def get(self, offset: int | None, length: int) -> tuple[bytes, int | None]:
        headers = {**self._headers, "Range": _range_header(offset, length)}
        session = await self.fs.set_session()
        with _http_errors():
            async with session.get(self._url, headers=headers, **self._kwargs) as r:
                if r.status == 206:
                    got = _CONTENT_RANGE.match(r.headers.get("Content-Range", ""))
                    if got is None:
                        r.close()
                        raise _Failure("the server answered a range request without a valid "
                                       f"Content-Range ({r.headers.get('Content-Range')!r})")
                    first, last = int(got[1]), int(got[2])
                    total = None if got[3] == "*" else int(got[3])
                    expected = last - first + 1
                    if r.content_length is not None and r.content_length != expected:
                        r.close()
                        raise _Failure(f"the server announced {r.content_length} bytes for "
                                       f"bytes {first}-{last}")
                    # Never more than one byte past what the range holds.
                    chunks, got_bytes = [], 0
                    while got_bytes <= expected:
                        chunk = await r.content.read(expected + 1 - got_bytes)
                        if not chunk:
                            break
                        chunks.append(chunk)
                        got_bytes += len(chunk)
                    body = chunks[0] if len(chunks) == 1 else b"".join(chunks)
                    return body, _check_range(self.name, offset, length, (first, last, total), body)
                r.close()  # never read a body that is not the range asked for
                if r.status in (200, 416) and _empty(r.status, r.headers, r.content_length):
                    return b"", 0  # an empty file has no range to answer with
                if r.status == 200:
                    raise _Failure("the server ignores Range requests (it answered 200 with "
                                   "the whole file)")
                if r.status == 416:
                    raise _Failure("the server says the range is past the end of the file "
                                   "(HTTP 416): the file is empty or shorter than a slide")
                raise _status_failure(r.status, r.reason)

    async def get_document(self, url: str, accept: str) -> tuple[bytes, str]:
        """A whole resource beside the slide (DICOMweb metadata, frames, bulk data)
        and its Content-Type, with this transport's session, headers and errors."""
        headers = {**self._headers, "Accept": accept}
        session = await self.fs.set_session()
        with _http_errors():
            async with session.get(self.fs.encode_url(url), headers=headers, **self._kwargs) as r:
                if r.status == 200:
                    return await r.read(), r.headers.get("Content-Type", "")
                r.close()
                raise _status_failure(r.status, r.reason)


class _S3(_Transport):
    def __init__(self, url: str, storage_options: dict[str, Any]) -> None:
        import fsspec

        self.name = url
        self.fs = fsspec.filesystem("s3", **storage_options)
        self.loop = self.fs.loop
        self.bucket, self.key, self.version = self.fs.split_path(url)

    async def get(self, offset: int | None, length: int) -> tuple[bytes, int | None]:
        extra = {"VersionId": self.version} if self.version else {}
        try:
            resp = await self.fs._call_s3("get_object", Bucket=self.bucket, Key=self.key,
                                          Range=_range_header(offset, length), **extra)
        except FileNotFoundError as exc:
            raise _Failure("no such object (404)") from exc
        except PermissionError as exc:
            raise _Failure(f"access denied (403): {exc}") from exc
        except (ConnectionError, asyncio.IncompleteReadError) as exc:
            raise _Transient(_cause(exc)) from exc
        except OSError as exc:
            if "InvalidRange" in str(exc) and await self._is_empty():
                return b"", 0  # an empty object has no range to answer with
            raise _Failure(_cause(exc)) from exc
        body_stream = resp["Body"]
        try:
            got = _CONTENT_RANGE.match(resp.get("ContentRange") or "")
            if got is None:
                raise _Failure("the store answered a range request without a Content-Range")
            first, last = int(got[1]), int(got[2])
            total = None if got[3] == "*" else int(got[3])
            try:
                body = await body_stream.read()
            except Exception as exc:  # a connection dropped mid-body
                raise _Transient(_cause(exc)) from exc
        finally:
            body_stream.close()
        return body, _check_range(self.name, offset, length, (first, last, total), body)

    async def _is_empty(self) -> bool:
        try:
            head = await self.fs._call_s3("head_object", Bucket=self.bucket, Key=self.key)
        except OSError:
            return False
        return int(head.get("ContentLength", -1)) == 0


class _Fsspec(_Transport):
    """Any other fsspec file system: the size from `info`, the bytes from `cat_file`."""

    def __init__(self, url: str, storage_options: dict[str, Any]) -> None:
        from fsspec.core import url_to_fs

        self.name = url
        self.fs, self.path = url_to_fs(url, **storage_options)
        self.loop = self.fs.loop if getattr(self.fs, "async_impl", False) else None
        self._size: int | None = None

    def size(self) -> int | None:
        if self._size is not None:
            return self._size
        try:
            info = self.fs.info(self.path)
        except FileNotFoundError as exc:
            raise _Failure("no such file") from exc
        except OSError as exc:
            raise _Failure(_cause(exc)) from exc
        if info.get("type") == "directory":
            raise _Failure("is a directory")
        self._size = int(info["size"])
        return self._size

    def _limits(self, offset: int | None, length: int) -> tuple[int, int]:
        if self._size is None:
            self.size()
        assert self._size is not None
        start = max(0, self._size - length) if offset is None else offset
        return start, min(self._size, start + abs(length))

    def _checked(self, body: bytes, start: int, end: int) -> tuple[bytes, int | None]:
        if len(body) != end - start:
            raise _Transient(f"asked for {end - start} bytes at offset {start}, got {len(body)}")
        return body, self._size

    async def get(self, offset: int | None, length: int) -> tuple[bytes, int | None]:
        start, end = self._limits(offset, length)
        try:
            body = await self.fs._cat_file(self.path, start=start, end=end)
        except FileNotFoundError as exc:
            raise _Failure("no such file") from exc
        except OSError as exc:
            raise _Transient(_cause(exc)) from exc
        return self._checked(bytes(body), start, end)

    def get_sync(self, offset: int | None, length: int) -> tuple[bytes, int | None]:
        start, end = self._limits(offset, length)
        try:
            body = self.fs.cat_file(self.path, start=start, end=end)
        except FileNotFoundError as exc:
            raise _Failure("no such file") from exc
        except OSError as exc:
            raise _Transient(_cause(exc)) from exc
        return self._checked(bytes(body), start, end)


class _FileObject(_Transport):
    """An open binary file object (`read` and `seek`), read under a lock."""

    def __init__(self, fileobj: Any) -> None:
        self.file = fileobj
        self.name = str(getattr(fileobj, "path", None) or getattr(fileobj, "name", None)
                        or f"<{type(fileobj).__name__}>")
        self.lock = threading.Lock()
        self._size: int | None = None

    def size(self) -> int | None:
        if self._size is not None:
            return self._size
        with self.lock:
            try:
                self._size = int(self.file.seek(0, io.SEEK_END))
            except (OSError, ValueError) as exc:
                raise _Failure(f"cannot seek: {_cause(exc)}") from exc
        return self._size

    def get_sync(self, offset: int | None, length: int) -> tuple[bytes, int | None]:
        if self._size is None:
            self.size()
        assert self._size is not None
        start = max(0, self._size - length) if offset is None else offset
        end = min(self._size, start + abs(length))
        with self.lock:
            try:
                self.file.seek(start)
                body = self.file.read(end - start)
            except (OSError, ValueError) as exc:
                raise _Failure(_cause(exc)) from exc
        body = bytes(body or b"")
        if len(body) != end - start:
            raise _Failure(f"asked for {end - start} bytes at offset {start}, got {len(body)}")
        return body, self._size


