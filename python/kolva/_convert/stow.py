"""Storing the converted instances in a DICOMweb service through STOW-RS: one
`POST {root}/studies` per instance, a multipart/related body streamed from the
file (so a level of any size goes up without being held in memory)."""
from __future__ import annotations

import http.client
import os
import urllib.parse
import uuid
from collections.abc import Iterator
from typing import Any

PREFIX = "dicomweb+"
_CHUNK = 1 << 20


class StowError(RuntimeError):
    """The DICOMweb service refused an instance."""


def is_dicomweb(dest: str) -> bool:
    return dest.startswith(PREFIX + "http://") or dest.startswith(PREFIX + "https://")


def _body(path: str, head: bytes, tail: bytes) -> Iterator[bytes]:
    yield head
    with open(path, "rb") as f:
        while chunk := f.read(_CHUNK):
            yield chunk
    yield tail


def store(dest: str, path: str, timeout: float = 300.0) -> None:
    """POSTs the DICOM file at `path` to the STOW-RS service at `dest`."""
    url = urllib.parse.urlsplit(dest[len(PREFIX):])
    boundary = uuid.uuid4().hex
    head = (f"--{boundary}\r\nContent-Type: application/dicom\r\n\r\n").encode()
    tail = f"\r\n--{boundary}--\r\n".encode()
    length = len(head) + os.path.getsize(path) + len(tail)
    conn_type = http.client.HTTPSConnection if url.scheme == "https" else http.client.HTTPConnection
    conn = conn_type(url.hostname or "127.0.0.1", url.port, timeout=timeout)
    try:
        headers = {"Content-Type": f'multipart/related; type="application/dicom"; '
                                   f"boundary={boundary}",
                   "Content-Length": str(length), "Accept": "application/dicom+json"}
        if url.username:
            import base64

            token = base64.b64encode(
                f"{urllib.parse.unquote(url.username)}:"
                f"{urllib.parse.unquote(url.password or '')}".encode()).decode()
            headers["Authorization"] = f"Basic {token}"
        conn.request("POST", url.path.rstrip("/") + "/studies", body=_body(path, head, tail),
                     headers=headers)
        response = conn.getresponse()
        text = response.read()
        if response.status not in (200, 202):
            raise StowError(f"STOW-RS to {url.hostname}: HTTP {response.status} "
                            f"{response.reason}: {text[:200]!r}")
        if _refused(text):
            raise StowError(f"STOW-RS to {url.hostname}: the service refused "
                            f"{os.path.basename(path)}: {text[:300]!r}")
    finally:
        conn.close()


def _refused(text: bytes) -> bool:
    """The response lists the instance in its Failed SOP Sequence (0008,1198)."""
    import json

    try:
        answer = json.loads(text)
    except ValueError:
        return False
    items = answer if isinstance(answer, list) else [answer]
    return any(isinstance(i, dict) and i.get("00081198", {}).get("Value") for i in items)


def store_results(dest: str, results: list[Any]) -> int:
    """Stores every instance of the converted slides; an instance refused marks its
    slide as failed. Returns the instances stored."""
    stored = 0
    for r in results:
        if r.error is not None or not r.folder:
            continue
        try:
            for inst in r.instances:
                store(dest, os.path.join(r.folder, inst.filename))
                stored += 1
        except (OSError, StowError, http.client.HTTPException) as exc:
            r.error = str(exc)
    return stored
