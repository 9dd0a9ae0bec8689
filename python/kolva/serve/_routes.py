"""The Starlette routes of the standards faces: IIIF info.json, and DICOMweb searches,
metadata, bulk data, rendered images and thumbnails. Image requests of IIIF and
WADO-RS frames are answered on the bare ASGI path (`_app.TileServer`)."""
from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

from .._failures import http_status, one_line
from . import _dicomweb as dw
from . import _iiif
from ._http import digest, etag_matches, root

if TYPE_CHECKING:
    from starlette.requests import Request
    from starlette.responses import Response

    from ._app import TileServer

_CORS = {"access-control-allow-origin": "*"}


def _root(request: Request) -> str:
    return root(request.scope)


def routes(server: TileServer) -> list[Any]:
    from starlette.responses import RedirectResponse, Response
    from starlette.routing import Route

    def error(status: int, why: str) -> Response:
        return Response(json.dumps({"error": why}), status_code=status,
                        media_type="application/json", headers=_CORS)

    def failed(exc: BaseException, remote: bool = False) -> Response:
        if isinstance(exc, dw.QueryError):
            return error(400, str(exc))
        if isinstance(exc, dw.NotAcceptable):
            return error(406, str(exc))
        if isinstance(exc, LookupError):
            return error(404, str(exc).strip("'\""))
        return error(http_status(exc, remote), f"could not be read: {one_line(exc)}")

    def etag_of(request: Request, entry: Any, extra: str = "") -> str | None:
        if entry.version is None:
            return None
        return f'"{entry.version}-{digest(request.url.path + "?" + request.url.query + extra)}"'

    def unchanged(request: Request, etag: str | None) -> bool:
        if etag is None:
            return False
        header = request.headers.get("if-none-match")
        return header is not None and etag_matches(header.encode(), etag.encode())

    def dicom_json(request: Request, payload: Any, entry: Any = None) -> Response:
        body = dw.with_root(json.dumps(payload, separators=(",", ":")).encode(), _root(request))
        headers = dict(_CORS)
        if entry is not None:
            etag = etag_of(request, entry)
            if etag is not None:
                if unchanged(request, etag):
                    return Response(status_code=304, headers={"etag": etag, **_CORS})
                headers["etag"] = etag
        return Response(body, media_type=dw.DICOM_JSON, headers=headers)

    def wants_json(request: Request) -> None:
        accept = request.headers.get("accept")
        if accept and not any(k in ("*/*", "application/*", dw.DICOM_JSON, "application/json")
                              for _, k, _ in dw.media_ranges(accept)):
            raise dw.NotAcceptable(f"answers are {dw.DICOM_JSON}; the request accepts only "
                                   f"{accept[:80]}")

    # ------------------------------------------------------------------ IIIF
    async def iiif_base(request: Request) -> Response:
        sid = request.path_params["sid"]
        if sid not in server.slides:
            return error(404, f"no image {sid!r}")
        return RedirectResponse(f"{_root(request)}/iiif/{sid}/info.json", 303, headers=_CORS)

    async def iiif_info(request: Request) -> Response:
        sid = request.path_params["sid"]
        entry = server.slides.get(sid)
        if entry is None:
            return error(404, f"no image {sid!r}")
        payload = _iiif.info(f"{_root(request)}/iiif/{sid}", entry.dimensions, entry.levels,
                             server._iiif_levels[sid])
        ld = "application/ld+json" in request.headers.get("accept", "")
        media = ('application/ld+json;profile="http://iiif.io/api/image/3/context.json"'
                 if ld else "application/json")
        return Response(json.dumps(payload), media_type=media, headers={
            **_CORS, "link": '<http://iiif.io/api/image/3/level2.json>;rel="profile"',
            "vary": "accept"})

    # ------------------------------------------------------------------ DICOMweb
    async def slide_series(request: Request) -> Response:
        sid = request.path_params["sid"]
        if sid not in server.slides:
            return error(404, f"no slide {sid!r}")
        await server.ensure_studies()
        study = server.studies.get(sid)
        if study is None:
            why = server.dicom_errors.get(sid, "")
            return error(404, f"slide {sid!r} is not served as DICOM: {why}")
        return RedirectResponse(f"{_root(request)}{study.base}", 303, headers=_CORS)

    def search_route(level: str):  # type: ignore[no-untyped-def]
        async def handler(request: Request) -> Response:
            try:
                wants_json(request)
                query = dw.parse_query(request.url.query)
                study_uid = request.path_params.get("study")
                series_uid = request.path_params.get("series")
                studies = await server.ensure_studies()
                if study_uid is not None:
                    await server.find(study_uid, series_uid)
                found = dw.search(level, studies, query, _root(request), study_uid, series_uid)
            except Exception as exc:  # noqa: BLE001 - answered with why
                return failed(exc)
            return dicom_json(request, found)
        return handler

    async def metadata(request: Request) -> Response:
        p = request.path_params
        try:
            wants_json(request)
            study, inst = await server.find(p["study"], p.get("series"), p.get("sop"))
        except Exception as exc:  # noqa: BLE001 - answered with why
            return failed(exc)
        return dicom_json(request, dw.metadata(study, None if inst is None else [inst.sop]),
                          study.entry)

    async def bulkdata(request: Request) -> Response:
        p = request.path_params
        try:
            study, inst = await server.find(p["study"], p["series"], p["sop"])
            assert inst is not None
            index = p["index"]
            if not index.isascii() or not index.isdigit() or int(index) >= len(inst.bulk):
                raise LookupError(f"instance {inst.sop} has no bulk data {index[:20]!r}")
        except Exception as exc:  # noqa: BLE001 - answered with why
            return failed(exc)
        data = inst.bulk[int(index)]
        if request.headers.get("accept", "").strip().lower() == dw.OCTETS:
            return Response(data, media_type=dw.OCTETS, headers=_CORS)
        boundary = "kolva-bulk-boundary-5c1e"
        body = (f"--{boundary}\r\nContent-Type: {dw.OCTETS}\r\n\r\n".encode() + data
                + f"\r\n--{boundary}--\r\n".encode())
        return Response(body, media_type=f'multipart/related; type="{dw.OCTETS}"; '
                                         f"boundary={boundary}", headers=_CORS)

    def rendered_route(thumbnail: bool, frames: bool = False):  # type: ignore[no-untyped-def]
        async def handler(request: Request) -> Response:
            p = request.path_params
            remote = False
            try:
                study, inst = await server.find(p["study"], p.get("series"), p.get("sop"))
                remote = study.entry.version is None
                frame = None
                if frames:
                    assert inst is not None
                    numbers = dw.frame_numbers(p["frames"], inst.frame_count)
                    if len(numbers) != 1:
                        raise dw.QueryError("a rendered frame is one frame: give one number")
                    frame = numbers[0] if inst.level is not None else None
                media_type = dw.image_type(request.headers.get("accept"))
                etag = etag_of(request, study.entry, media_type)
                if unchanged(request, etag):
                    return Response(status_code=304, headers={"etag": str(etag), **_CORS})
                data = await server._reader.run(dw.render, study, inst, frame,
                                                request.url.query, media_type, thumbnail)
            except Exception as exc:  # noqa: BLE001 - answered with why
                return failed(exc, remote)
            headers = dict(_CORS)
            if etag is not None:
                headers["etag"] = etag
            return Response(data, media_type=media_type, headers=headers)
        return handler

    s, se, i = "/dicomweb/studies/{study}", "/series/{series}", "/instances/{sop}"
    return [
        Route("/iiif/{sid}", iiif_base),
        Route("/iiif/{sid}/info.json", iiif_info),
        Route("/dicomweb/slides/{sid}", slide_series),
        Route("/dicomweb/studies", search_route("studies")),
        Route("/dicomweb/series", search_route("series")),
        Route("/dicomweb/instances", search_route("instances")),
        Route(s + "/series", search_route("series")),
        Route(s + "/instances", search_route("instances")),
        Route(s + se + "/instances", search_route("instances")),
        Route(s + "/metadata", metadata),
        Route(s + se + "/metadata", metadata),
        Route(s + se + i + "/metadata", metadata),
        Route(s + se + i + "/bulkdata/{index}", bulkdata),
        Route(s + se + i + "/rendered", rendered_route(False)),
        Route(s + se + i + "/frames/{frames}/rendered", rendered_route(False, True)),
        Route(s + "/thumbnail", rendered_route(True)),
        Route(s + se + "/thumbnail", rendered_route(True)),
        Route(s + se + i + "/thumbnail", rendered_route(True)),
        Route(s + se + i + "/frames/{frames}/thumbnail", rendered_route(True, True)),
    ]
