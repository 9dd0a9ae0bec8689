"""Slides where they live: byte ranges over HTTP(S), S3 and any fsspec file system,
or from an open binary file object. The transports (transports.py) each answer one
question: the bytes of a range, checked to be exactly that range. `RemoteFile`,
here, is the file object over a transport.

`RemoteFile.fetch` is what the native slide's read executor calls for every range
of a batch (and for a read that misses the range cache): adjacent ranges merged, at
most `max_requests` requests in flight, transient failures (5xx, resets, truncated
bodies) retried with backoff, every failure a `kolva.SlideError` naming the URL and
the cause.
"""
from __future__ import annotations

import asyncio
import os
from collections.abc import Awaitable, Callable, Sequence
from typing import Any, TypeVar

from .._core import SlideError
from .transports import _S3, _cause, _Failure, _FileObject, _Fsspec, _Http, _Transient, _Transport

# The first round trip of an opening fetches this much from both ends of the object.
WINDOW = 64 << 10
DEFAULT_CACHE_SIZE = 32 << 20
DEFAULT_MAX_REQUESTS = 64
DEFAULT_TIMEOUT = 30.0
DEFAULT_RETRIES = 3
# A merged request is at most this long, or the batch's bytes over max_requests
# when that is more, so that merging never costs the batch its concurrency.
MERGE_LIMIT = 1 << 20


Range = tuple[int, int]  # (offset, length)
_T = TypeVar("_T")


# --------------------------------------------------------------------------- the file
def merge_ranges(ranges: Sequence[Range], limit: int) -> list[Range]:
    """The distinct ranges sorted, runs of touching or overlapping ones joined while
    the joined range stays within `limit` bytes (a single longer range stays whole)."""
    merged: list[Range] = []
    for offset, length in sorted(set(r for r in ranges if r[1] > 0)):
        if merged:
            m_off, m_len = merged[-1]
            end = max(m_off + m_len, offset + length)
            if offset <= m_off + m_len and end - m_off <= limit:
                merged[-1] = (m_off, end - m_off)
                continue
        merged.append((offset, length))
    return merged


class RemoteFile:
    """A remote object read in checked, concurrent, retried ranges. Thread-safe."""

    def __init__(self, make_transport: Callable[[], _Transport], *,
                 max_requests: int = DEFAULT_MAX_REQUESTS,
                 timeout: float | None = DEFAULT_TIMEOUT, retries: int = DEFAULT_RETRIES,
                 backoff: float = 0.1) -> None:
        self._make_transport = make_transport
        self._transport = make_transport()
        self._pid = os.getpid()
        self.name = self._transport.name
        self.max_requests = max(1, int(max_requests))
        self.timeout = timeout
        self.retries = max(0, int(retries))
        self.backoff = backoff
        self.size = 0
        self._semaphore: asyncio.Semaphore | None = None

    @property
    def transport(self) -> _Transport:
        # A forked child (a DataLoader worker, say) cannot use the parent's event
        # loop thread or connections: it makes its own.
        if self._pid != os.getpid():
            transport = self._make_transport()
            try:
                transport.size()  # here, not on the event loop where it would block
            except _Failure as exc:
                raise self._error(exc) from (exc.__cause__ or exc)
            self._transport = transport
            self._semaphore = None
            self._pid = os.getpid()
        return self._transport

    # ------------------------------------------------------------------ errors
    def _error(self, exc: BaseException) -> SlideError:
        return SlideError(f"cannot read {self.name}: {exc}")

    # ------------------------------------------------------------------ one request
    async def _get(self, offset: int | None, length: int) -> tuple[bytes, int | None]:
        return await self._retried(lambda: self.transport.get(offset, length))

    async def _retried(self, request: Callable[[], Awaitable[_T]]) -> _T:
        if self._semaphore is None:
            self._semaphore = asyncio.Semaphore(self.max_requests)
        for attempt in range(self.retries + 1):
            try:
                async with self._semaphore, asyncio.timeout(self.timeout):
                    return await request()
            except asyncio.TimeoutError as exc:
                raise _Failure(f"no answer within {self.timeout:g} s") from exc
            except _Transient as exc:
                if attempt == self.retries:
                    raise _Failure(f"{exc} (after {self.retries + 1} tries)") from exc
                await asyncio.sleep(self.backoff * (2 ** attempt))
        raise AssertionError("unreachable")

    def _get_sync(self, offset: int | None, length: int) -> tuple[bytes, int | None]:
        import time

        for attempt in range(self.retries + 1):
            try:
                return self.transport.get_sync(offset, length)
            except _Transient as exc:
                if attempt == self.retries:
                    raise _Failure(f"{exc} (after {self.retries + 1} tries)") from exc
                time.sleep(self.backoff * (2 ** attempt))
        raise AssertionError("unreachable")

    def _run(self, make: Callable[[], Awaitable[Any]]) -> Any:
        from fsspec.asyn import sync

        try:
            return sync(self.transport.loop, make)
        except _Failure as exc:
            raise self._error(exc) from (exc.__cause__ or exc)

    # ------------------------------------------------------------------ the opening
    def first_round_trip(self) -> list[tuple[int, bytes]]:
        """The object's first and last WINDOW bytes, fetched at once; learns the size
        from the answer. Returns [(offset, bytes), ...] to seed the range cache."""
        try:
            known = self.transport.size()
        except _Failure as exc:
            raise self._error(exc) from (exc.__cause__ or exc)
        if self.transport.loop is None:
            try:
                head, total = self._get_sync(0, -WINDOW)
                tail, _ = self._get_sync(None, WINDOW)
            except _Failure as exc:
                raise self._error(exc) from (exc.__cause__ or exc)
        else:
            async def both() -> tuple[tuple[bytes, int | None], tuple[bytes, int | None]]:
                a, b = await asyncio.gather(self._get(0, -WINDOW), self._get(None, WINDOW))
                return a, b
            (head, total), (tail, _) = self._run(both)
        size = known if known is not None else total
        if size is None:
            raise self._error(_Failure("the server did not say how long the file is"))
        self.size = size
        return [(0, head), (size - len(tail), tail)]

    # ------------------------------------------------------------------ batches
    def fetch(self, ranges: Sequence[Range]) -> list[bytes]:
        """The bytes of every range, fetched concurrently (at most max_requests in
        flight, touching ranges merged); one bytes object per range, in order."""
        ranges = [(int(o), int(n)) for o, n in ranges]
        for offset, length in ranges:
            if offset < 0 or length < 0 or offset + length > self.size:
                raise SlideError(f"cannot read {self.name}: bytes {offset}-{offset + length - 1}"
                                 f" lie past the end of the file ({self.size} bytes)")
        total = sum(n for _, n in ranges)
        limit = max(MERGE_LIMIT, -(-total // self.max_requests))
        merged = merge_ranges(ranges, limit)
        if self.transport.loop is None:
            try:
                bodies = [self._get_sync(o, n)[0] for o, n in merged]
            except _Failure as exc:
                raise self._error(exc) from (exc.__cause__ or exc)
        else:
            async def all_of() -> list[bytes]:
                got = await asyncio.gather(*(self._get(o, n) for o, n in merged))
                return [body for body, _ in got]
            bodies = self._run(all_of)
        return _split(ranges, merged, bodies)


    # ------------------------------------------------------------------ whole resources
    def documents(self, requests: Sequence[tuple[str, str]]) -> list[tuple[bytes, str]]:
        """Whole HTTP(S) resources beside the object, [(url, accept), ...] ->
        [(body, content type), ...] in order: at most max_requests in flight,
        retried and timed out as ranges are; a failure names its URL."""
        transport = self.transport
        if not isinstance(transport, _Http):
            raise SlideError(f"cannot read {self.name}: only http(s) URLs serve DICOMweb")

        async def one(url: str, accept: str) -> tuple[bytes, str]:
            try:
                return await self._retried(lambda: transport.get_document(url, accept))
            except _Failure as exc:
                raise SlideError(f"cannot read {url}: {exc}") from (exc.__cause__ or exc)
            except (ValueError, OSError) as exc:  # a URL aiohttp cannot ask for, say
                raise SlideError(f"cannot read {url}: {_cause(exc)}") from exc

        async def all_of() -> list[tuple[bytes, str]]:
            return list(await asyncio.gather(*(one(u, a) for u, a in requests)))

        return list(self._run(all_of))


def _split(ranges: Sequence[Range], merged: Sequence[Range], bodies: Sequence[bytes]) -> list[bytes]:
    """Each range's bytes, cut out of the merged range that holds it."""
    import bisect

    starts = [o for o, _ in merged]
    out = []
    for offset, length in ranges:
        if length == 0:
            out.append(b"")
            continue
        i = bisect.bisect_right(starts, offset) - 1
        m_off, _ = merged[i]
        body = bodies[i]
        if m_off == offset and len(body) == length:
            out.append(body)
        else:
            out.append(body[offset - m_off: offset - m_off + length])
    return out


# --------------------------------------------------------------------------- entry
def remote_file(source: Any, storage_options: dict[str, Any] | None, *,
                max_requests: int, timeout: float | None, retries: int) -> RemoteFile:
    """The RemoteFile of a URL (HTTP(S), S3 or any fsspec protocol) or a file object."""
    options = dict(storage_options or {})

    def make() -> _Transport:
        if not isinstance(source, str):
            return _FileObject(source)
        protocol = source.split("://", 1)[0].lower()
        if protocol in ("http", "https"):
            return _Http(source, options)
        if protocol in ("s3", "s3a"):
            return _S3("s3://" + source.split("://", 1)[1], options)
        return _Fsspec(source, options)

    try:
        return RemoteFile(make, max_requests=max_requests, timeout=timeout, retries=retries)
    except ImportError as exc:
        raise SlideError(f"cannot open {source}: {exc.name or exc} is not installed "
                         f"(pip install {'s3fs' if 's3' in str(source)[:3] else 'fsspec'})") from exc
    except (ValueError, TypeError) as exc:
        raise SlideError(f"cannot open {source}: {exc}") from exc
    except _Failure as exc:
        raise SlideError(f"cannot read {source}: {exc}") from (exc.__cause__ or exc)
