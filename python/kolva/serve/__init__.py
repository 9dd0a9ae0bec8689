"""`kolva serve`: a tile server that hands the browser each tile as it is stored.

    kolva serve SOURCES... [--host 127.0.0.1] [--port 8000]
    kolva serve --example

SOURCES are what `kolva export` takes: slide files, folders of slides (a folder of
DICOM instances is one slide), globs, list files and URLs. The server runs on uvicorn
(with httptools and uvloop when installed); `create_app(sources)` builds the ASGI
application for any other ASGI server.

Endpoints: `/slides`, `/slides/{id}`, `/slides/{id}/tiles/{level}/{x}/{y}`,
`/slides/{id}/associated/{name}`, and a viewer at `/` and `/view/{id}`.
"""
from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any, TextIO

if TYPE_CHECKING:
    from ._app import TileServer

__all__ = ["create_app", "register"]

# Slides whose viewer address is printed at the start; the page at / lists them all.
LISTED_AT_START = 20


def create_app(sources: list[str] | tuple[str, ...], *, threads: int | None = None,
               max_open: int | None = None) -> TileServer:
    """An ASGI application serving the slides of `sources` (files, directories, URLs),
    with at most `max_open` of them open at once (default 64)."""
    from ._app import create_app as _create
    from ._catalog import MAX_OPEN

    return _create(sources, threads=threads, max_open=max_open or MAX_OPEN)


def register(subparsers: Any) -> None:
    """Adds the `serve` sub-command to the `kolva` command line."""
    parser = subparsers.add_parser(
        "serve", help="serve slides to a browser viewer, each tile as stored",
        usage="kolva serve [-h] (SOURCE... | --example) [--host HOST] [--port PORT] "
              "[--workers N] [--max-open N]")
    parser.add_argument("sources", nargs="*", metavar="SOURCE",
                        help="slide files, folders of slides, globs, list files, or URLs")
    parser.add_argument("--example", action="store_true",
                        help="serve the example slide shipped with kolva")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to bind (default: 127.0.0.1, this machine only)")
    parser.add_argument("--port", type=int, default=8000, help="port (default: 8000)")
    parser.add_argument("--workers", type=int, default=1, metavar="N",
                        help="server processes sharing the port (default: 1)")
    parser.add_argument("--max-open", type=int, default=None, metavar="N",
                        help="slides kept open at once, per process (default: 64)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace, muffler: Any, out: TextIO) -> int:
    from .. import example_path
    from ..cli import CliError

    sources = ([str(example_path())] if args.example else []) + list(args.sources)
    if not sources:
        raise CliError("serve: give at least one SOURCE, or --example")
    try:
        import uvicorn  # noqa: F401
        import starlette  # noqa: F401
    except ImportError as exc:
        raise CliError(f"serve needs uvicorn and starlette: pip install 'kolva[serve]' "
                       f"({exc.name} is missing)") from None
    from ._catalog import SourceError

    if args.workers < 1:
        raise CliError("serve: --workers must be at least 1")
    if args.max_open is not None and args.max_open < 1:
        raise CliError("serve: --max-open must be at least 1")
    try:
        with muffler():
            app = create_app(sources, max_open=args.max_open)
    except SourceError as exc:
        raise CliError(str(exc)) from None
    if not app.slides:
        raise CliError("serve: no slide found in " + ", ".join(sources))
    host = f"[{args.host}]" if ":" in args.host else args.host
    if args.host not in ("127.0.0.1", "localhost", "::1"):
        sys.stderr.write(f"kolva: warning: serving to every machine that can reach "
                         f"{args.host}:{args.port}\n")
    out.write(f"kolva: serving {len(app.slides)} slide{'s' if len(app.slides) != 1 else ''} "
              f"at http://{host}:{args.port}/\n")
    entries = sorted(app.slides.values(), key=lambda e: e.id)
    for entry in entries[:LISTED_AT_START]:
        out.write(f"  http://{host}:{args.port}/view/{entry.id}  {entry.source}\n")
    if len(entries) > LISTED_AT_START:
        out.write(f"  ... and {len(entries) - LISTED_AT_START} more: see "
                  f"http://{host}:{args.port}/\n")
    out.flush()
    if args.workers > 1:
        app.close()  # each worker process opens the slides itself
        serve_sources(sources, args.host, args.port, workers=args.workers,
                      max_open=args.max_open)
    else:
        serve(app, args.host, args.port)
    return 0


def serve(app: Any, host: str, port: int, **options: Any) -> None:
    """Runs `app` on uvicorn with the fastest HTTP parser and event loop available."""
    import uvicorn

    config: dict[str, Any] = {"log_level": "warning", "access_log": False,
                              "server_header": False}
    try:
        import httptools  # noqa: F401

        config["http"] = "httptools"
    except ImportError:
        config["http"] = "h11"
    try:
        import uvloop  # noqa: F401

        config["loop"] = "uvloop"
    except ImportError:
        config["loop"] = "asyncio"
    config.update(options)
    # Reads hand tiles back from worker threads; a short switch interval keeps the
    # loop from holding the interpreter lock for 5 ms while a finished read waits.
    # Set only here, where the process is the server.
    sys.setswitchinterval(0.0005)
    uvicorn.run(app, host=host, port=port, **config)


_SOURCES_VARIABLE = "KOLVA_SERVE_SOURCES"


def serve_sources(sources: list[str], host: str, port: int, *, workers: int = 1,
                  max_open: int | None = None, **options: Any) -> None:
    """Serves `sources` with `workers` processes sharing one listening socket; each
    process opens the slides itself, at most `max_open` at once."""
    import json
    import os

    os.environ[_SOURCES_VARIABLE] = json.dumps({"sources": list(sources),
                                                "max_open": max_open})
    serve("kolva.serve:_app_from_environment", host, port, factory=True, workers=workers,
          **options)


def _app_from_environment() -> TileServer:
    """The app of a worker process started by `serve_sources`."""
    import json
    import os

    sys.setswitchinterval(0.0005)
    given = json.loads(os.environ[_SOURCES_VARIABLE])
    return create_app(given["sources"], max_open=given["max_open"])
