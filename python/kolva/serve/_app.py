"""The ASGI application: tiles on a bare ASGI path, everything else on Starlette.

A tile request is the hot path: it is parsed and answered here without routing,
middleware or response objects, and the read runs on a worker thread (the slide
releases the interpreter lock while it reads), so the event loop never waits on the
disk or the network. The page, the JSON descriptions and the static files go
through Starlette.
"""
from __future__ import annotations

import asyncio
import hashlib
import html
import json
import os
import threading
from collections import deque
from collections.abc import Awaitable, Callable, MutableMapping
from concurrent.futures import ThreadPoolExecutor
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

import logging

import kolva

from .._failures import http_status, one_line
from .._slide_cache import SlideCache
from . import _dicomweb, _iiif, _routes, _transcode
from ._http import digest as _digest
from ._http import etag_matches as _etag_matches
from ._http import root as _root
from ._catalog import MAX_OPEN, Entry, describe, open_sources

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]

_log = logging.getLogger("kolva.serve")
# Entries of the answer caches of IIIF stored tiles and frame media types.
_IIIF_HITS = 65536
_FRAME_TYPES = 1024
STATIC = Path(__file__).resolve().parent / "static"
CACHE_FOREVER = b"public, max-age=31536000, immutable"
CORS = (b"access-control-allow-origin", b"*")
_UNDISPLAYABLE = frozenset(t.encode() for t in _transcode.UNDISPLAYABLE)
# Longest decimal coordinate taken as a number; longer ones are out of range anyway.
_MAX_DIGITS = 12


def _json_body(payload: Any) -> bytes:
    return json.dumps(payload, separators=(",", ":")).encode()


def _parse_int(text: str) -> int | None:
    """A decimal integer (optionally negative), or None when `text` is not one."""
    digits = text[1:] if text.startswith("-") else text
    if not digits or not digits.isascii() or not digits.isdigit():
        return None
    if len(digits) > _MAX_DIGITS:
        return -1  # out of range whatever its sign
    return int(text)


# A queued read: (future of the caller, slide, level, x, y), and its outcome:
# (future, tile bytes or None, exception or None).
_Read = tuple["asyncio.Future[bytes]", Entry, int, int, int]
_Outcome = tuple["asyncio.Future[bytes]", "bytes | None", "BaseException | None"]


class _Reader:
    """Runs reads on worker threads, many per hand-off.

    Requests queue up on the event loop; a worker takes the queued reads in batches,
    reads a batch's tiles of one level with one `read_tiles` call (one release of the
    interpreter lock for the batch), and hands the whole batch back to the loop with
    one wake-up. Under load this costs far less than one thread round trip per tile,
    and the loop itself never touches the file. At most `workers` batches run at
    once, so slow sources (network reads) still proceed in parallel. Each run of
    one slide's reads holds that slide's lease, and only for the run."""

    BATCH = 32

    def __init__(self, workers: int) -> None:
        self._workers = workers
        self._executor = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="kolva-read")
        self._pending: deque[_Read] = deque()
        self._running = 0
        self._lock = threading.Lock()

    def read(self, entry: Entry, level: int, x: int, y: int) -> asyncio.Future[bytes]:
        future = asyncio.get_running_loop().create_future()
        with self._lock:
            self._pending.append((future, entry, level, x, y))
            if self._running >= self._workers:
                return future
            self._running += 1
        self._executor.submit(self._work)
        return future

    def _work(self) -> None:
        pending = self._pending
        while True:
            with self._lock:
                size = max(1, min(self.BATCH, len(pending) // self._workers))
                batch = [pending.popleft() for _ in range(min(size, len(pending)))]
                if not batch:
                    self._running -= 1
                    return
            by_loop: dict[asyncio.AbstractEventLoop, list[_Outcome]] = {}
            for result in self._read_batch(batch):
                by_loop.setdefault(result[0].get_loop(), []).append(result)
            for loop, results in by_loop.items():
                try:
                    loop.call_soon_threadsafe(self._deliver, results)
                except RuntimeError:  # that loop is closed: nobody waits for these
                    pass

    @staticmethod
    def _read_batch(batch: list[_Read]) -> list[_Outcome]:
        """[(future, data, exception)] for a batch, one `read_tiles` per run of one level."""
        results: list[_Outcome] = []
        i = 0
        while i < len(batch):
            _, entry, level = batch[i][:3]
            j = i + 1
            while j < len(batch) and batch[j][1] is entry and batch[j][2] == level:
                j += 1
            run = batch[i:j]
            try:
                with entry.lease() as slide:
                    results.extend(_Reader._read_run(slide, level, run))
            except BaseException as exc:  # noqa: BLE001 - the slide does not open any more
                results.extend((b[0], None, exc) for b in run)
            i = j
        return results

    @staticmethod
    def _read_run(slide: kolva.Slide, level: int, run: list[_Read]) -> list[_Outcome]:
        try:
            tiles = (slide.read_tiles(level, [(b[3], b[4]) for b in run], threads=1)
                     if len(run) > 1 else [slide.read_tile(level, run[0][3], run[0][4])])
            return [(b[0], data, None) for b, data in zip(run, tiles)]
        except BaseException:  # noqa: BLE001 - one bad tile: read each alone for its own error
            results: list[_Outcome] = []
            for b in run:
                try:
                    results.append((b[0], slide.read_tile(level, b[3], b[4]), None))
                except BaseException as exc:  # noqa: BLE001 - handed to the request
                    results.append((b[0], None, exc))
            return results

    @staticmethod
    def _deliver(results: list[_Outcome]) -> None:
        for future, data, exc in results:
            if future.done():  # the client went away
                continue
            if exc is not None:
                future.set_exception(exc)
            elif data is not None:
                future.set_result(data)

    def run(self, fn: Callable[..., Any], *args: Any) -> asyncio.Future[Any]:
        """Any other blocking call on the same threads."""
        return asyncio.get_running_loop().run_in_executor(self._executor, fn, *args)

    def close(self) -> None:
        self._executor.shutdown(wait=False, cancel_futures=True)


class TileServer:
    """The served slides and the ASGI entry point. At most `max_open` slides are open
    at once (the others are opened again when asked for)."""

    def __init__(self, sources: list[str], *, threads: int | None = None,
                 max_open: int = MAX_OPEN, deidentify: bool = False) -> None:
        self.cache: SlideCache[kolva.Slide] = (
            SlideCache(max_open, _open_deidentified) if deidentify else SlideCache(max_open))
        self.slides: dict[str, Entry] = open_sources(sources, self.cache)
        if deidentify:  # file names often carry the case number: ids and names without
            for entry in self.slides.values():
                entry.id = entry.name = "slide-" + entry.id.rsplit("-", 1)[-1]
            self.slides = {e.id: e for e in self.slides.values()}
        if threads is None:
            # Local reads take microseconds: a few threads keep up, and fewer threads
            # wait less for the interpreter lock. Network reads wait far longer, so
            # they get more threads to overlap them.
            remote = any(e.version is None for e in self.slides.values())
            threads = 32 if remote else 4
        self._reader = _Reader(threads)
        self._grids = {sid: [lv.tile_grid for lv in e.levels] for sid, e in self.slides.items()}
        self._types = {sid: [lv.media_type.encode() for lv in e.levels]
                       for sid, e in self.slides.items()}
        self._iiif_levels = {sid: _iiif.stored_levels(e.dimensions, e.levels)
                             for sid, e in self.slides.items()}
        self.deidentify = deidentify
        # The DICOMweb studies, described the first time a DICOMweb request needs them.
        self.studies: dict[str, _dicomweb.Study] = {}      # by slide id
        self._by_uid: dict[str, _dicomweb.Study] = {}      # by study UID
        self.dicom_errors: dict[str, str] = {}             # why a slide is not a study
        self._describing: asyncio.Lock | None = None
        self._sops: dict[str, tuple[_dicomweb.Study, _dicomweb.Instance]] = {}
        # Answers of recent requests: IIIF paths that are stored tiles (level, x, y), and
        # what frames are handed out as for an Accept header and a transfer syntax.
        self._iiif_hits: dict[str, tuple[int, int, int]] = {}
        self._frame_types: dict[tuple[bytes | None, str, str, int | None], Any] = {}
        self._app = self._starlette()

    # ------------------------------------------------------------------ ASGI
    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            path: str = scope["path"]
            if path.startswith("/slides/"):
                parts = path.split("/")
                if len(parts) == 7 and parts[3] == "tiles":
                    await self._tile(scope, send, parts[2], parts[4], parts[5], parts[6])
                    return
            elif path.startswith("/iiif/"):
                parts = path.split("/")
                if len(parts) == 7:
                    await self._iiif_image(scope, send, *parts[2:])
                    return
            elif path.startswith("/dicomweb/studies/"):
                parts = path.split("/")
                if len(parts) == 10 and parts[8] == "frames" and parts[4] == "series" \
                        and parts[6] == "instances":
                    await self._frames(scope, send, parts[3], parts[5], parts[7], parts[9])
                    return
        await self._app(scope, receive, send)

    async def _tile(self, scope: Scope, send: Send, sid: str, level_text: str,
                    x_text: str, y_text: str, cors: bool = False) -> None:
        method = scope["method"]
        if method != "GET" and method != "HEAD":
            await _send_json(send, 405, {"error": f"{method} is not allowed on tiles"},
                             [(b"allow", b"GET, HEAD")])
            return
        entry = self.slides.get(sid)
        if entry is None:
            await _send_json(send, 404, {"error": f"no slide {sid!r}"})
            return
        level, x, y = _parse_int(level_text), _parse_int(x_text), _parse_int(y_text)
        if level is None or x is None or y is None:
            await _send_json(send, 400, {"error": "level, x and y must be integers"})
            return
        grids = self._grids[sid]
        if not 0 <= level < len(grids):
            await _send_json(send, 404, {"error": f"level {level} does not exist: the slide "
                                                  f"has {len(grids)} levels"})
            return
        across, down = grids[level]
        if not (0 <= x < across and 0 <= y < down):
            await _send_json(send, 404, {"error": f"tile ({x}, {y}) of level {level} does "
                                                  f"not exist: the level has {across} x "
                                                  f"{down} tiles"})
            return
        await self._stored_tile(scope, send, entry, sid, level, x, y, cors)

    async def _stored_tile(self, scope: Scope, send: Send, entry: Entry, sid: str, level: int,
                           x: int, y: int, cors: bool = False) -> None:
        """A tile that exists, as stored (or as PNG for a browser that can't show it)."""
        method = scope["method"]
        media_type = self._types[sid][level]
        accept = if_none_match = None
        for name, value in scope["headers"]:
            if name == b"if-none-match":
                if_none_match = value
            elif name == b"accept":
                accept = value
        transcodable = media_type in _UNDISPLAYABLE
        stored = not transcodable or _transcode.wants_stored(
            media_type.decode(), None if accept is None else accept.decode("latin-1"))
        suffix = b"" if stored else b".png"
        etag = None
        if entry.version is not None:
            etag = f'"{entry.version}-{level}-{x}-{y}'.encode() + suffix + b'"'
            if if_none_match is not None and _etag_matches(if_none_match, etag):
                await _send_not_modified(send, etag)
                return

        try:
            data = await self._reader.read(entry, level, x, y)
        except kolva.TileNotFound as exc:
            await _send_json(send, 404, {"error": str(exc)})
            return
        except Exception as exc:  # noqa: BLE001 - answered with why, never a bare 500
            await _send_json(send, http_status(exc, entry.version is None),
                             {"error": f"tile could not be read: {one_line(exc)}"})
            return
        if etag is None:
            etag = b'"' + hashlib.blake2b(data, digest_size=12).hexdigest().encode() + suffix + b'"'
            if if_none_match is not None and _etag_matches(if_none_match, etag):
                await _send_not_modified(send, etag)
                return

        headers = [(b"etag", etag), (b"cache-control", CACHE_FOREVER)]
        if cors:
            headers.append(CORS)
        if transcodable:
            headers.append((b"vary", b"accept"))
        if not stored:
            try:
                data = await self._reader.run(_transcode.to_png, data, media_type.decode())
            except ValueError as exc:
                await _send_json(send, 500, {"error": str(exc)})
                return
            headers.append((b"x-kolva-transcoded", media_type + b" -> image/png"))
            media_type = b"image/png"
        headers.append((b"content-type", media_type))
        headers.append((b"content-length", str(len(data)).encode()))
        await send({"type": "http.response.start", "status": 200, "headers": headers})
        await send({"type": "http.response.body", "body": b"" if method == "HEAD" else data})


    # ------------------------------------------------------------------ IIIF
    async def _iiif_image(self, scope: Scope, send: Send, sid: str, region: str, size: str,
                          rotation: str, quality_format: str) -> None:
        """An IIIF image request: a stored tile as it is stored (through the tile path),
        anything else rendered through the region reader."""
        entry = self.slides.get(sid)
        if entry is None:
            await _send_json(send, 404, {"error": f"no image {sid!r}"}, [CORS])
            return
        method = scope["method"]
        path = scope["path"]
        hit = self._iiif_hits.get(path)
        if hit is None:
            found = _iiif.stored_tile(self._iiif_levels[sid], region, size, rotation,
                                      quality_format)
            if found is not None:
                if len(self._iiif_hits) >= _IIIF_HITS:
                    self._iiif_hits.clear()
                hit = self._iiif_hits[path] = (found[0].level, found[1], found[2])
        if hit is not None and (method == "GET" or method == "HEAD"):
            await self._stored_tile(scope, send, entry, sid, hit[0], hit[1], hit[2], True)
            return
        if method != "GET" and method != "HEAD":
            await _send_json(send, 405, {"error": f"{method} is not allowed on images"},
                             [(b"allow", b"GET, HEAD"), CORS])
            return
        try:
            request = _iiif.parse(region, size, rotation, quality_format, *entry.dimensions)
        except _iiif.BadRequest as exc:
            await _send_json(send, 400, {"error": str(exc)}, [CORS])
            return
        etag = _standard_etag(entry, scope["path"])
        if etag is not None and _not_modified(scope, etag):
            await _send_not_modified(send, etag)
            return
        try:
            data, media_type = await self._reader.run(_render_iiif, entry, request)
        except Exception as exc:  # noqa: BLE001 - answered with why, never a bare 500
            await _send_json(send, http_status(exc, entry.version is None),
                             {"error": f"image could not be read: {one_line(exc)}"}, [CORS])
            return
        canonical = f"{_root(scope)}/iiif/{sid}/{_iiif.canonical(request, *entry.dimensions)}"
        headers = [(b"content-type", media_type.encode()), CORS,
                   (b"link", b'<http://iiif.io/api/image/3/level2.json>;rel="profile", <'
                    + canonical.encode("latin-1", "replace") + b'>;rel="canonical"')]
        if etag is not None:
            headers += [(b"etag", etag), (b"cache-control", CACHE_FOREVER)]
        await _send_body(send, scope, 200, data, headers)

    # ------------------------------------------------------------------ DICOMweb
    async def ensure_studies(self) -> list[_dicomweb.Study]:
        """Every served slide's study (described now for those not described yet); a
        slide that cannot be described as DICOM is left out (and logged)."""
        if len(self.studies) + len(self.dicom_errors) < len(self.slides):
            if self._describing is None:
                self._describing = asyncio.Lock()
            async with self._describing:
                for sid, entry in self.slides.items():
                    if sid in self.studies or sid in self.dicom_errors:
                        continue
                    try:
                        study = await self._reader.run(_dicomweb.describe, entry,
                                                       self.deidentify)
                    except Exception as exc:  # noqa: BLE001 - that slide is not listed
                        self.dicom_errors[sid] = one_line(exc)
                        _log.warning("%s is not served as DICOM: %s", entry.source,
                                     one_line(exc))
                        continue
                    self.studies[sid] = study
                    self._by_uid[study.study] = study
                    for sop, inst in study.instances.items():
                        self._sops[sop] = (study, inst)
        return [self.studies[s] for s in sorted(self.studies)]

    async def find(self, study_uid: str, series_uid: str | None = None,
                   sop: str | None = None) -> tuple[_dicomweb.Study, _dicomweb.Instance | None]:
        """The study (and instance) of UIDs; LookupError says which one is unknown."""
        study = self._by_uid.get(study_uid)
        if study is None:
            await self.ensure_studies()
            study = self._by_uid.get(study_uid)
        if study is None:
            raise LookupError(f"no study {study_uid[:80]!r}")
        if series_uid is not None and series_uid != study.series:
            raise LookupError(f"study {study_uid} has no series {series_uid[:80]!r}")
        if sop is None:
            return study, None
        inst = study.instances.get(sop)
        if inst is None:
            raise LookupError(f"series {study.series} has no instance {sop[:80]!r}")
        return study, inst

    async def _frames(self, scope: Scope, send: Send, study_uid: str, series_uid: str,
                      sop: str, frame_text: str) -> None:
        """WADO-RS frames: each frame as stored, as multipart/related."""
        method = scope["method"]
        if method != "GET" and method != "HEAD":
            await _send_json(send, 405, {"error": f"{method} is not allowed on frames"},
                             [(b"allow", b"GET, HEAD"), CORS])
            return
        found = self._sops.get(sop)
        try:
            if found is None or found[0].study != study_uid or found[0].series != series_uid:
                study, inst = await self.find(study_uid, series_uid, sop)
                assert inst is not None
            else:
                study, inst = found
            count = inst.frame_count
            if frame_text.isdigit() and len(frame_text) < 10 and frame_text.isascii() \
                    and 0 < int(frame_text) <= count:
                numbers = [int(frame_text)]
            else:
                numbers = _dicomweb.frame_numbers(frame_text, count)
        except _dicomweb.QueryError as exc:
            await _send_json(send, 400, {"error": str(exc)}, [CORS])
            return
        except LookupError as exc:
            await _send_json(send, 404, {"error": str(exc)}, [CORS])
            return
        accept = if_none_match = None
        for name, value in scope["headers"]:
            if name == b"accept":
                accept = value
            elif name == b"if-none-match":
                if_none_match = value
        entry = study.entry
        level = inst.level
        answer = self._frame_types.get((accept, inst.transfer_syntax, entry.id, level))
        if answer is None:
            stored_type = "" if level is None else self._types[entry.id][level].decode()
            try:
                part_type = _dicomweb.frame_part_type(
                    None if accept is None else accept.decode("latin-1"),
                    inst.transfer_syntax, stored_type)
                answer = (part_type, _dicomweb.part_head(part_type, inst.transfer_syntax),
                          _dicomweb.multipart_type(part_type).encode(),
                          _digest(part_type)[:6])
            except _dicomweb.NotAcceptable as exc:
                answer = str(exc)
            if len(self._frame_types) >= _FRAME_TYPES:
                self._frame_types.clear()
            self._frame_types[(accept, inst.transfer_syntax, entry.id, level)] = answer
        if isinstance(answer, str):
            await _send_json(send, 406, {"error": answer}, [CORS])
            return
        etag = None
        if entry.version is not None:
            etag = (f'"{entry.version}-{inst.tag}-'
                    f'{frame_text if len(frame_text) < 40 else _digest(frame_text)}-'
                    f'{answer[3]}"').encode()
            if if_none_match is not None and _etag_matches(if_none_match, etag):
                await _send_not_modified(send, etag)
                return
        data: list[Any]
        try:
            frames = inst.frames
            if frames is None or level is None:
                data = [inst.what]
            elif len(numbers) == 1 and inst.stored[numbers[0] - 1]:
                i = numbers[0] - 1
                data = [await self._reader.read(entry, level, i % frames.grid[0],
                                                i // frames.grid[0])]
            else:
                gx = frames.grid[0]
                reads = [self._reader.read(entry, level, (n - 1) % gx, (n - 1) // gx)
                         if inst.stored[n - 1] else None for n in numbers]
                stored = [None if r is None else await r for r in reads]
                if any(d is None for d in stored):
                    data = await self._reader.run(_dicomweb.read_missing, study, inst,
                                                  numbers, stored)
                else:
                    data = list(stored)
        except Exception as exc:  # noqa: BLE001 - answered with why, never a bare 500
            await _send_json(send, http_status(exc, entry.version is None),
                             {"error": f"frame could not be read: {one_line(exc)}"}, [CORS])
            return
        body = _dicomweb.multipart_body(data, answer[1])
        headers = [(b"content-type", answer[2]), CORS]
        if etag is not None:
            headers.append((b"etag", etag))
            headers.append((b"cache-control", CACHE_FOREVER))
        await _send_body(send, scope, 200, body, headers)

    # ------------------------------------------------------------------ Starlette
    def _starlette(self) -> Any:
        from starlette.applications import Starlette
        from starlette.exceptions import HTTPException
        from starlette.requests import Request
        from starlette.responses import FileResponse, HTMLResponse, JSONResponse, Response
        from starlette.routing import Mount, Route
        from starlette.staticfiles import StaticFiles

        def entry_of(request: Request) -> Entry:
            entry = self.slides.get(request.path_params["sid"])
            if entry is None:
                raise HTTPException(404, f"no slide {request.path_params['sid']!r}")
            return entry

        async def index(request: Request) -> Response:
            rows = []
            for e in sorted(self.slides.values(), key=lambda e: (e.name, e.id)):
                w, h = e.dimensions
                study = self.studies.get(e.id)
                dicomweb = (f'<a href="/dicomweb/studies/{study.study}/series/{study.series}">'
                            "series</a>" if study is not None else
                            f'<a href="/dicomweb/slides/{html.escape(e.id)}">series</a>')
                rows.append(
                    f'<tr><td><a href="/view/{html.escape(e.id)}">{html.escape(e.name)}</a></td>'
                    f"<td>{html.escape(e.format)}</td><td>{w} x {h}</td>"
                    f"<td>{e.level_count}</td>"
                    f'<td><a href="/iiif/{html.escape(e.id)}/info.json">info.json</a></td>'
                    f"<td>{dicomweb}</td></tr>")
            body = (
                '<!doctype html><html lang="en"><head><meta charset="utf-8">'
                "<title>kolva slides</title>"
                '<link rel="stylesheet" href="/static/kolva.css"></head><body><main>'
                f"<h1>Slides</h1><table><tr><th>slide</th><th>format</th><th>size</th>"
                f"<th>levels</th><th>IIIF</th><th>DICOMweb</th></tr>{''.join(rows)}</table>"
                "<p>DICOMweb service: <code>/dicomweb</code> (QIDO-RS, WADO-RS); IIIF Image "
                "API 3.0: <code>/iiif/{id}/info.json</code>.</p></main></body></html>")
            return HTMLResponse(body, headers={"cache-control": "no-cache"})

        async def view(request: Request) -> Response:
            entry_of(request)
            return FileResponse(STATIC / "viewer.html", headers={"cache-control": "no-cache"})

        async def slides(request: Request) -> Response:
            return JSONResponse([
                {"id": e.id, "name": e.name, "format": e.format,
                 "dimensions": list(e.dimensions), "url": f"/slides/{e.id}"}
                for e in sorted(self.slides.values(), key=lambda e: e.id)])

        async def slide(request: Request) -> Response:
            entry = entry_of(request)
            if not entry.info:
                try:
                    entry.info = await self._reader.run(describe, entry)
                except Exception as exc:  # noqa: BLE001 - answered with why
                    return JSONResponse({"error": f"slide could not be read: {one_line(exc)}"},
                                        status_code=http_status(exc, entry.version is None))
            return JSONResponse(entry.info)

        async def associated(request: Request) -> Response:
            entry = entry_of(request)
            name = request.path_params["name"]
            try:
                image = await self._reader.run(_read_associated, entry, name)
            except Exception as exc:  # noqa: BLE001 - answered with why
                status = http_status(exc, entry.version is None)
                raise HTTPException(404 if status == 500 else status,
                                    f"associated image {name!r} could not be read: "
                                    f"{one_line(exc)}") from None
            if image is None:
                raise HTTPException(404, f"slide {entry.id!r} has no associated image {name!r}")
            data, media_type = image.data, image.media_type
            headers = {"cache-control": "public, max-age=86400"}
            tag = entry.version or hashlib.blake2b(data, digest_size=12).hexdigest()
            accept = request.headers.get("accept")
            if media_type in _transcode.UNDISPLAYABLE:
                headers["vary"] = "accept"
            if not _transcode.wants_stored(media_type, accept):
                try:
                    data = await self._reader.run(_transcode.to_png, data, media_type)
                except ValueError as exc:
                    return JSONResponse({"error": str(exc)}, status_code=500)
                headers["x-kolva-transcoded"] = f"{media_type} -> image/png"
                media_type = "image/png"
                tag += ".png"
            etag = f'"{tag}-a-{hashlib.blake2b(name.encode(), digest_size=6).hexdigest()}"'
            headers["etag"] = etag
            inm = request.headers.get("if-none-match")
            if inm is not None and _etag_matches(inm.encode(), etag.encode()):
                return Response(status_code=304, headers=headers)
            return Response(data, media_type=media_type, headers=headers)

        async def http_error(request: Request, exc: Exception) -> Response:
            status = getattr(exc, "status_code", 500)
            detail = getattr(exc, "detail", None) or "error"
            headers = getattr(exc, "headers", None)
            return JSONResponse({"error": detail}, status_code=status, headers=headers)

        @asynccontextmanager
        async def lifespan(app: Any):  # type: ignore[no-untyped-def]
            try:
                yield
            finally:
                self.close()

        routes = [
            Route("/", index),
            Route("/view/{sid}", view),
            Route("/slides", slides),
            Route("/slides/{sid}", slide),
            Route("/slides/{sid}/associated/{name}", associated),
            *_routes.routes(self),
            Mount("/static", StaticFiles(directory=STATIC), name="static"),
        ]
        return Starlette(routes=routes, exception_handlers={HTTPException: http_error},
                         lifespan=lifespan)

    def close(self) -> None:
        self._reader.close()
        self.cache.close()


def _open_deidentified(source: str) -> kolva.Slide:
    return kolva.open(source, deidentify=True)


def _read_associated(entry: Entry, name: str) -> kolva.EncodedImage | None:
    """An associated image of a slide, or None when it has none of that name."""
    with entry.lease() as slide:
        images = slide.associated_images
        return images[name] if name in images else None


async def _send_json(send: Send, status: int, payload: Any,
                     extra: list[tuple[bytes, bytes]] | None = None) -> None:
    body = _json_body(payload)
    headers = [(b"content-type", b"application/json"),
               (b"content-length", str(len(body)).encode()),
               (b"cache-control", b"no-store")]
    if extra:
        headers.extend(extra)
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})


def _standard_etag(entry: Entry, key: str) -> bytes | None:
    """The ETag of a rendered or described answer of a slide that has a version."""
    if entry.version is None:
        return None
    return f'"{entry.version}-{_digest(key)}"'.encode()


def _not_modified(scope: Scope, etag: bytes) -> bool:
    for name, value in scope["headers"]:
        if name == b"if-none-match":
            return _etag_matches(value, etag)
    return False


def _render_iiif(entry: Entry, request: _iiif.Request) -> tuple[bytes, str]:
    with entry.lease() as slide:
        return _iiif.render(slide, request)


async def _send_body(send: Send, scope: Scope, status: int, body: bytes,
                     headers: list[tuple[bytes, bytes]]) -> None:
    headers.append((b"content-length", str(len(body)).encode()))
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body",
                "body": b"" if scope["method"] == "HEAD" else body})


async def _send_not_modified(send: Send, etag: bytes) -> None:
    await send({"type": "http.response.start", "status": 304,
                "headers": [(b"etag", etag), (b"cache-control", CACHE_FOREVER)]})
    await send({"type": "http.response.body", "body": b""})


def create_app(sources: list[str] | tuple[str, ...], *, threads: int | None = None,
               max_open: int = MAX_OPEN, deidentify: bool = False) -> TileServer:
    """An ASGI application serving the slides of `sources`: slide files, directories
    of slides, or URLs (passed to `kolva.open` unchanged), with at most `max_open` of
    them open at once."""
    return TileServer([os.fspath(s) for s in sources], threads=threads, max_open=max_open,
                      deidentify=deidentify)
