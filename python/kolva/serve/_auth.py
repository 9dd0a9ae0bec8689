"""Authentication for `kolva serve`: an ASGI middleware in front of the whole application.

Every request (the viewer, the tiles, the static files and whatever routes are mounted
later) passes through `Authenticate` first. It accepts

- a bearer token (`--token-file`: one token per line) in `Authorization: Bearer ...`,
  or in the cookie a browser got when it opened a page once with `?token=...` (the
  answer to that request sets the cookie and redirects to the address without the
  token, so the token stays out of history, bookmarks and the logs);
- a user name and password (`--basic-auth`: lines `user:bcrypt-hash`) in
  `Authorization: Basic ...`. A bcrypt check takes a good fraction of a second by
  design; a successful one is remembered for `BASIC_TTL` seconds under a keyed digest
  of the credentials (the key is random per process), so a viewer's tile requests
  do not each pay for it.

Anything else gets 401 with `WWW-Authenticate`. Tokens are compared with
`hmac.compare_digest`, each against every configured token.
"""
from __future__ import annotations

import asyncio
import base64
import hmac
import logging
import os
import secrets
import time
from collections import OrderedDict
from collections.abc import Awaitable, Callable, MutableMapping
from pathlib import Path
from typing import Any
from urllib.parse import parse_qsl, urlencode

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]

__all__ = ["Authenticate", "AuthError", "read_tokens", "read_users"]

COOKIE = "kolva_token"
QUERY = "token"
BASIC_TTL = 60.0
_BASIC_CACHE_SIZE = 1024
# Checked against when the user is unknown, so that an unknown user costs as long as
# a wrong password: bcrypt.hashpw(b"-", bcrypt.gensalt(12)).
_DUMMY_HASH = b"$2b$12$mX6DipPUUaN5qh/EUbOw2eTchqfgt6IJmkWgFiwWC5vlvcZQj38mm"

log = logging.getLogger("kolva.serve")


class AuthError(ValueError):
    """A token or password file that cannot be used."""


def _lines(path: str | os.PathLike[str], what: str) -> list[str]:
    try:
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise AuthError(f"{what} {os.fspath(path)!r} cannot be read: {exc}") from None
    return [line.strip() for line in text.splitlines()
            if line.strip() and not line.lstrip().startswith("#")]


def read_tokens(path: str | os.PathLike[str]) -> list[bytes]:
    """The bearer tokens of a token file: one per line (blank lines and `#` comments
    skipped); each must be at least 16 characters of printable ASCII without spaces."""
    tokens = []
    for i, line in enumerate(_lines(path, "token file"), 1):
        if len(line) < 16 or not line.isascii() or not line.isprintable() or " " in line:
            raise AuthError(f"token file {os.fspath(path)!r}: token {i} must be at least 16 "
                            f"printable ASCII characters without spaces")
        tokens.append(line.encode())
    if not tokens:
        raise AuthError(f"token file {os.fspath(path)!r} holds no token")
    return tokens


def read_users(path: str | os.PathLike[str]) -> dict[str, bytes]:
    """The users of a password file: lines `user:hash`, the hash a bcrypt one
    (`$2b$...`, as `htpasswd -B` or `bcrypt.hashpw` write it)."""
    users: dict[str, bytes] = {}
    for i, line in enumerate(_lines(path, "password file"), 1):
        user, sep, hashed = line.partition(":")
        if not sep or not user or not hashed.startswith(("$2a$", "$2b$", "$2y$")):
            raise AuthError(f"password file {os.fspath(path)!r}: line {i} is not "
                            f"'user:bcrypt-hash'")
        users[user] = hashed.replace("$2y$", "$2b$", 1).encode()
    if not users:
        raise AuthError(f"password file {os.fspath(path)!r} holds no user")
    return users


def _check_password(password: bytes, hashed: bytes) -> bool:
    import bcrypt

    try:
        return bool(bcrypt.checkpw(password, hashed))
    except ValueError:
        return False


class Authenticate:
    """ASGI middleware: lets through only requests with a valid credential."""

    def __init__(self, app: App, *, tokens: list[bytes] | None = None,
                 users: dict[str, bytes] | None = None, realm: str = "kolva") -> None:
        if not tokens and not users:
            raise AuthError("authentication needs tokens or users")
        if users:
            try:
                import bcrypt  # noqa: F401
            except ImportError:
                raise AuthError("--basic-auth needs bcrypt: pip install "
                                "'kolva[serve-auth]'") from None
        self.app = app
        self._tokens = list(tokens or [])
        self._users = dict(users or {})
        self._key = secrets.token_bytes(32)
        self._verified: OrderedDict[bytes, float] = OrderedDict()
        challenges = []
        if self._tokens:
            challenges.append(f'Bearer realm="{realm}"')
        if self._users:
            challenges.append(f'Basic realm="{realm}", charset="UTF-8"')
        self._challenge = ", ".join(challenges).encode()

    def __getattr__(self, name: str) -> Any:
        # `app.slides`, `app.close()`: the wrapped server's own attributes.
        if name == "app":
            raise AttributeError(name)
        return getattr(self.app, name)

    def _token_ok(self, given: bytes) -> bool:
        ok = False
        for token in self._tokens:  # no early exit: each token costs the same
            ok |= hmac.compare_digest(given, token)
        return ok

    async def _basic_ok(self, encoded: bytes) -> str | None:
        """The user name of valid `Basic` credentials, else None."""
        if not self._users:
            return None
        try:
            user_b, sep, password = base64.b64decode(encoded, validate=True).partition(b":")
            user = user_b.decode()
        except (ValueError, UnicodeDecodeError):
            return None
        if not sep:
            return None
        digest = hmac.digest(self._key, user_b + b"\0" + password, "sha256")
        now = time.monotonic()
        seen = self._verified.get(digest)
        if seen is not None and now - seen < BASIC_TTL:
            return user
        hashed = self._users.get(user)
        ok = await asyncio.get_running_loop().run_in_executor(
            None, _check_password, password, hashed or _DUMMY_HASH)
        if not ok or hashed is None:
            return None
        self._verified[digest] = now
        self._verified.move_to_end(digest)
        while len(self._verified) > _BASIC_CACHE_SIZE:
            self._verified.popitem(last=False)
        return user

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        authorization = cookie = None
        for name, value in scope["headers"]:
            if name == b"authorization":
                authorization = value
            elif name == b"cookie":
                cookie = value if cookie is None else cookie + b"; " + value
        query: bytes = scope.get("query_string", b"")
        if query.startswith(b"token=") or b"&token=" in query:
            await self._from_query(scope, send, query)
            return
        if authorization is not None:
            scheme, _, credential = authorization.partition(b" ")
            scheme = scheme.lower()
            credential = credential.strip()
            if scheme == b"bearer" and self._tokens and self._token_ok(credential):
                await self.app(scope, receive, send)
                return
            if scheme == b"basic":
                user = await self._basic_ok(credential)
                if user is not None:
                    scope["user"] = user
                    await self.app(scope, receive, send)
                    return
        elif cookie is not None and self._tokens:
            for part in cookie.split(b";"):
                name, _, value = part.strip().partition(b"=")
                if name == COOKIE.encode() and self._token_ok(value):
                    await self.app(scope, receive, send)
                    return
        await self._refuse(scope, send)

    async def _from_query(self, scope: Scope, send: Send, query: bytes) -> None:
        """A page opened with `?token=...`: the token becomes a cookie and the
        browser goes to the same address without it."""
        pairs = parse_qsl(query.decode("latin-1"), keep_blank_values=True)
        given = [v for k, v in pairs if k == QUERY]
        rest = urlencode([(k, v) for k, v in pairs if k != QUERY])
        # What the access log prints from here on: the address without the token.
        scope["query_string"] = (rest + ("&" if rest else "") + "token=[redacted]").encode()
        if len(given) != 1 or not self._tokens or not self._token_ok(given[0].encode()):
            await self._refuse(scope, send)
            return
        location = (scope.get("root_path", "") + scope["path"]) + ("?" + rest if rest else "")
        secure = "; Secure" if scope.get("scheme") in ("https", "wss") else ""
        cookie = f"{COOKIE}={given[0]}; Path=/; HttpOnly; SameSite=Strict{secure}"
        await send({"type": "http.response.start", "status": 303,
                    "headers": [(b"location", location.encode("latin-1")),
                                (b"set-cookie", cookie.encode()),
                                (b"cache-control", b"no-store"),
                                (b"content-length", b"0")]})
        await send({"type": "http.response.body", "body": b""})

    async def _refuse(self, scope: Scope, send: Send) -> None:
        client = scope.get("client")
        log.warning("refused %s %s from %s: no valid credential", scope.get("method", "-"),
                    scope["path"], f"{client[0]}:{client[1]}" if client else "?")
        if scope["type"] == "websocket":
            await send({"type": "websocket.close", "code": 1008})
            return
        body = b'{"error":"authentication required"}'
        await send({"type": "http.response.start", "status": 401,
                    "headers": [(b"www-authenticate", self._challenge),
                                (b"content-type", b"application/json"),
                                (b"content-length", str(len(body)).encode()),
                                (b"cache-control", b"no-store")]})
        await send({"type": "http.response.body", "body": body})
