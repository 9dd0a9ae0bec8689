"""`kolva serve`: a tile server that hands the browser each tile as it is stored.

    kolva serve SOURCES... [--host 127.0.0.1] [--port 8000]
    kolva serve --example
    kolva serve SOURCES... --host 0.0.0.0 --token-file TOKENS [--tls-cert C --tls-key K]

Off this machine (any --host but loopback) the server needs a credential:
`--token-file` (bearer tokens) or `--basic-auth` (bcrypt password file), see
`_auth.py`; `--insecure-no-auth` serves without one. `--deidentify` serves no label
or macro image and none of the properties that identify a patient, case or barcode.

SOURCES are what `kolva export` takes: slide files, folders of slides (a folder of
DICOM instances is one slide), globs, list files and URLs. The server runs on uvicorn
(with httptools and uvloop when installed); `create_app(sources)` builds the ASGI
application for any other ASGI server.

Endpoints: `/slides`, `/slides/{id}`, `/slides/{id}/tiles/{level}/{x}/{y}`,
`/slides/{id}/associated/{name}`, and a viewer at `/` and `/view/{id}`; every slide
as a DICOMweb study under `/dicomweb` (QIDO-RS, WADO-RS metadata, frames, rendered,
thumbnails; `_dicomweb.py`) and as an IIIF Image API 3.0 image under `/iiif/{id}`
(`_iiif.py`).
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
               max_open: int | None = None, deidentify: bool = False) -> TileServer:
    """An ASGI application serving the slides of `sources` (files, directories, URLs),
    with at most `max_open` of them open at once (default 64); `deidentify`: each
    slide opened with `kolva.open(..., deidentify=True)` and named by its id."""
    from ._app import create_app as _create
    from ._catalog import MAX_OPEN

    return _create(sources, threads=threads, max_open=max_open or MAX_OPEN,
                   deidentify=deidentify)


def protect(app: Any, token_file: str | None = None, basic_auth: str | None = None) -> Any:
    """`app` behind authentication by the tokens of `token_file` and/or the users of
    `basic_auth`; `app` itself when neither is given."""
    if token_file is None and basic_auth is None:
        return app
    from ._auth import Authenticate, read_tokens, read_users

    return Authenticate(app, tokens=read_tokens(token_file) if token_file else None,
                        users=read_users(basic_auth) if basic_auth else None)


def register(subparsers: Any) -> None:
    """Adds the `serve` sub-command to the `kolva` command line."""
    parser = subparsers.add_parser(
        "serve", help="serve slides to a browser viewer, each tile as stored",
        usage="kolva serve [-h] (SOURCE... | --example) [--host HOST] [--port PORT] "
              "[--workers N] [--max-open N] [--token-file FILE] [--basic-auth FILE] "
              "[--insecure-no-auth] [--tls-cert FILE --tls-key FILE] [--deidentify] "
              "[--access-log]")
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
    parser.add_argument("--token-file", metavar="FILE",
                        help="require a bearer token: FILE holds the tokens, one per line "
                             "(browsers: open a page once with ?token=...)")
    parser.add_argument("--basic-auth", metavar="FILE",
                        help="require a user and password: FILE holds lines user:bcrypt-hash "
                             "(needs kolva[serve-auth])")
    parser.add_argument("--insecure-no-auth", action="store_true",
                        help="serve beyond this machine without any credential")
    parser.add_argument("--tls-cert", metavar="FILE", help="serve https with this certificate "
                                                           "(PEM, with its chain)")
    parser.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    parser.add_argument("--deidentify", action="store_true",
                        help="serve no label or macro image and no identifying property")
    parser.add_argument("--access-log", action="store_true",
                        help="log every request (client and path; tokens are redacted)")
    parser.set_defaults(run=run)


LOOPBACK = ("127.0.0.1", "localhost", "::1")


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
    authenticated = args.token_file is not None or args.basic_auth is not None
    if args.host not in LOOPBACK and not authenticated and not args.insecure_no_auth:
        raise CliError(f"serve: --host {args.host} lets every machine that reaches it read "
                       f"every slide; give --token-file FILE or --basic-auth FILE, or "
                       f"--insecure-no-auth to serve without a credential")
    if (args.tls_cert is None) != (args.tls_key is None):
        raise CliError("serve: --tls-cert and --tls-key go together")
    from ._auth import AuthError

    try:
        protect(None, args.token_file, args.basic_auth)  # the files are checked up front
    except AuthError as exc:
        raise CliError(f"serve: {exc}") from None
    try:
        with muffler():
            app = create_app(sources, max_open=args.max_open, deidentify=args.deidentify)
    except SourceError as exc:
        raise CliError(str(exc)) from None
    if not app.slides:
        raise CliError("serve: no slide found in " + ", ".join(sources))
    host = f"[{args.host}]" if ":" in args.host else args.host
    if args.host not in LOOPBACK and not authenticated:
        sys.stderr.write(f"kolva: warning: serving to every machine that can reach "
                         f"{args.host}:{args.port}, without a credential\n")
    scheme = "https" if args.tls_cert else "http"
    out.write(f"kolva: serving {len(app.slides)} slide{'s' if len(app.slides) != 1 else ''} "
              f"at {scheme}://{host}:{args.port}/\n")
    entries = sorted(app.slides.values(), key=lambda e: e.id)
    for entry in entries[:LISTED_AT_START]:
        out.write(f"  {scheme}://{host}:{args.port}/view/{entry.id}  {entry.source}\n")
    if len(entries) > LISTED_AT_START:
        out.write(f"  ... and {len(entries) - LISTED_AT_START} more: see "
                  f"{scheme}://{host}:{args.port}/\n")
    out.write(f"  DICOMweb: {scheme}://{host}:{args.port}/dicomweb   IIIF: "
              f"{scheme}://{host}:{args.port}/iiif/<id>/info.json\n")
    if args.token_file:
        out.write(f"  browsers: add ?token=<a token of {args.token_file}> to an address once\n")
    out.flush()
    options: dict[str, Any] = {}
    if args.tls_cert:
        options.update(ssl_certfile=args.tls_cert, ssl_keyfile=args.tls_key)
    if args.access_log:
        options.update(access_log=True, log_level="info")
    if args.workers > 1:
        app.close()  # each worker process opens the slides itself
        serve_sources(sources, args.host, args.port, workers=args.workers,
                      max_open=args.max_open, deidentify=args.deidentify,
                      token_file=args.token_file, basic_auth=args.basic_auth, **options)
    else:
        serve(protect(app, args.token_file, args.basic_auth), args.host, args.port, **options)
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
                  max_open: int | None = None, deidentify: bool = False,
                  token_file: str | None = None, basic_auth: str | None = None,
                  **options: Any) -> None:
    """Serves `sources` with `workers` processes sharing one listening socket; each
    process opens the slides itself, at most `max_open` at once, and reads the
    credentials of `token_file` / `basic_auth` itself."""
    import json
    import os

    os.environ[_SOURCES_VARIABLE] = json.dumps({
        "sources": list(sources), "max_open": max_open, "deidentify": deidentify,
        "token_file": token_file, "basic_auth": basic_auth})
    serve("kolva.serve:_app_from_environment", host, port, factory=True, workers=workers,
          **options)


def _app_from_environment() -> TileServer:
    """The app of a worker process started by `serve_sources`."""
    import json
    import os

    sys.setswitchinterval(0.0005)
    given = json.loads(os.environ[_SOURCES_VARIABLE])
    app = create_app(given["sources"], max_open=given["max_open"],
                     deidentify=given.get("deidentify", False))
    return protect(app, given.get("token_file"), given.get("basic_auth"))  # type: ignore[no-any-return]
