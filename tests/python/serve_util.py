"""Helpers for the tile server tests: a uvicorn server on 127.0.0.1 in a thread, and
requests with the exact bytes of a request line (clients normalise `..` and `%2F`)."""
from __future__ import annotations

import socket
import threading
import time
from functools import lru_cache
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any


@contextmanager
def running(app: Any, *, timeout: float = 15.0, **config: Any) -> Iterator[str]:
    """Serves `app` on a free loopback port for the duration; yields the base URL.
    `config`: more uvicorn settings (ssl_certfile and ssl_keyfile make it https)."""
    import uvicorn

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    options: dict[str, Any] = {"log_level": "warning", "access_log": False}
    try:
        import httptools  # noqa: F401

        options["http"] = "httptools"
    except ImportError:
        pass
    options.update(config)
    server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=port,
                                           lifespan="off", **options))
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    deadline = time.monotonic() + timeout
    while not server.started:
        if time.monotonic() > deadline or not thread.is_alive():
            raise RuntimeError("test server did not start")
        time.sleep(0.02)
    try:
        yield f"{'https' if 'ssl_certfile' in config else 'http'}://127.0.0.1:{port}"
    finally:
        server.should_exit = True
        thread.join(timeout)


def raw_get(base: str, target: str, headers: dict[str, str] | None = None,
            timeout: float = 10.0) -> tuple[int, dict[str, str], bytes]:
    """GET with `target` sent as is on the request line: (status, headers, body)."""
    host, port = base.removeprefix("http://").split(":")
    lines = [f"GET {target} HTTP/1.1", f"Host: {host}", "Connection: close"]
    lines += [f"{k}: {v}" for k, v in (headers or {}).items()]
    with socket.create_connection((host, int(port)), timeout=timeout) as sock:
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        data = b""
        while chunk := sock.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    fields = {}
    for line in header_lines:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return int(status_line.split()[1]), fields, body


@lru_cache(maxsize=None)
def _open(source: str) -> Any:
    import kolva

    return kolva.open(source)


def slide_of(entry: Any) -> Any:
    """The slide a server entry serves, opened apart from the server (to compare with)."""
    return _open(entry.source)
