"""HTTP details every face of the server shares: ETag comparison and short digests."""
from __future__ import annotations

import hashlib
from typing import Any


def etag_matches(header: bytes, etag: bytes) -> bool:
    if header == etag or header.strip() == b"*":
        return True
    for candidate in header.split(b","):
        candidate = candidate.strip()
        if candidate.startswith(b"W/"):
            candidate = candidate[2:]
        if candidate == etag:
            return True
    return False


def digest(text: str) -> str:
    """A short hex digest of `text` (for ETags)."""
    return hashlib.blake2b(text.encode("utf-8", "surrogateescape"), digest_size=8).hexdigest()


_LOOPBACK = ("127.0.0.1", "localhost", "[::1]")
_DEFAULT_PORTS = {"http": 80, "https": 443}


def root(scope: Any) -> str:
    """The server's address as the client named it (`scheme://host[:port]`, and the
    root path), for absolute URLs in answers. A client that leaves the port out of
    `Host` for a loopback address (dicomweb-client does) gets the port it reached."""
    scheme = scope.get("scheme", "http")
    host = ""
    for name, value in scope.get("headers", ()):
        if name == b"host":
            host = value.decode("latin-1")
            break
    server = scope.get("server")
    if not host and server:
        host = f"{server[0]}:{server[1]}"
    elif host in _LOOPBACK and server and server[1] != _DEFAULT_PORTS.get(scheme):
        host = f"{host}:{server[1]}"
    return f"{scheme}://{host}{scope.get('root_path', '')}"
