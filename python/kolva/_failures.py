"""What went wrong, told the same way everywhere: one line of message for a summary
or a command's error, and the HTTP status the tile server answers with.

A failure of a remote source (a refused connection, a 5xx, a body cut short: the
transports raise `kolva.SlideError` from the cause) is the upstream's (502); a
request that got no answer in time is a timeout (504); a tile or level that does
not exist is 404. What a slide file itself gets wrong is the slide's error."""
from __future__ import annotations

import asyncio
import http.client
import socket

from ._core import ImageNotFound, TileNotFound

_TIMEOUTS: tuple[type[BaseException], ...] = (TimeoutError, asyncio.TimeoutError, socket.timeout)
# Errors of talking to a server, whichever library raised them.
_UPSTREAM: tuple[type[BaseException], ...] = (http.client.HTTPException, ConnectionError,
                                             EOFError, socket.gaierror)


def one_line(exc: BaseException) -> str:
    """The exception's message on one line (its type's name when it has none)."""
    return " ".join((str(exc) or type(exc).__name__).split())


def causes(exc: BaseException) -> list[BaseException]:
    """The exception and what it was raised from, outermost first."""
    chain: list[BaseException] = []
    current: BaseException | None = exc
    while current is not None and all(current is not c for c in chain):
        chain.append(current)
        current = current.__cause__ or current.__context__
    return chain


def is_timeout(exc: BaseException) -> bool:
    chain = causes(exc)
    return any(isinstance(c, _TIMEOUTS) for c in chain) or \
        any("no answer within" in str(c) for c in chain[:1])


def is_upstream(exc: BaseException) -> bool:
    """Did talking to a server fail (rather than the slide's contents)?"""
    return any(isinstance(c, _UPSTREAM) or type(c).__module__.split(".", 1)[0] in
               ("aiohttp", "botocore", "aiobotocore", "urllib3", "requests")
               for c in causes(exc))


def http_status(exc: BaseException, remote: bool) -> int:
    """The status the tile server answers a failed read with: 404 for what does not
    exist, 504 when a remote source gave no answer in time, 502 for any other
    failure of a remote source, 500 for a local slide that cannot be read."""
    if isinstance(exc, (TileNotFound, ImageNotFound)):
        return 404
    if is_timeout(exc):
        return 504
    if remote or is_upstream(exc):
        return 502
    return 500
