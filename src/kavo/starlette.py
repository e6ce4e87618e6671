"""Starlette's and FastAPI's GZipMiddleware with kavo compressing: the same arguments, rules and headers."""
from __future__ import annotations

import zlib
from typing import Any, Awaitable, Callable, MutableMapping

import anyio
import anyio.lowlevel
import anyio.to_thread

from starlette.datastructures import Headers, MutableHeaders

import kavo
import kavo.zlib

__all__ = ["DEFAULT_EXCLUDED_CONTENT_TYPES", "GZipMiddleware"]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

# Bodies that are compressed already, or whose consumer needs each event as it is sent.
DEFAULT_EXCLUDED_CONTENT_TYPES = (
    "application/grpc",
    "application/gzip",
    "application/x-gzip",
    "application/zip",
    "audio/*",
    "font/woff",
    "font/woff2",
    "image/avif",
    "image/gif",
    "image/jpeg",
    "image/png",
    "image/webp",
    "text/event-stream",
    "video/*",
)

# Big pieces are compressed on a worker thread (kavo lets go of the interpreter lock meanwhile), at most this many
# at once per event loop, so that one large response does not stall every other request on the loop.
_THREAD_LIMIT = 40
_limiter: anyio.lowlevel.RunVar[anyio.CapacityLimiter] = anyio.lowlevel.RunVar("kavo_gzip_limiter")


def _thread_limiter() -> anyio.CapacityLimiter:
    try:
        return _limiter.get()
    except LookupError:
        limiter = anyio.CapacityLimiter(_THREAD_LIMIT)
        _limiter.set(limiter)
        return limiter


def _normalized(content_types: tuple[str, ...]) -> tuple[str, ...]:
    return tuple(t.partition(";")[0].strip().lower() for t in content_types)


class GZipMiddleware:
    """starlette.middleware.gzip.GZipMiddleware with kavo's compressor: responses of at least minimum_size
    bytes to clients that accept gzip, except those already encoded, partial (206) or of an excluded type.
    compresslevel follows zlib (0 stores, 1 to 9 and -1 compress) and is checked here, at construction.
    A streamed response leaves chunk by chunk: every chunk ends with a sync flush, so the client can decode
    each one as it arrives."""

    def __init__(
        self,
        app: ASGIApp,
        minimum_size: int = 500,
        compresslevel: int = 9,
        thread_minimum_size: int = 128 * 1024,
        *,
        exclude_content_types: tuple[str, ...] = DEFAULT_EXCLUDED_CONTENT_TYPES,
    ) -> None:
        kavo.zlib.compressobj(compresslevel, zlib.DEFLATED, 31)  # a level zlib refuses fails now, not per request
        self.app = app
        self.minimum_size = minimum_size
        self.compresslevel = compresslevel
        self.thread_minimum_size = thread_minimum_size
        self.exclude_content_types = _normalized(exclude_content_types)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        gzip = "gzip" in Headers(scope=scope).get("Accept-Encoding", "")
        await _Responder(self, gzip, send).run(scope, receive)


class _Responder:
    """One response: holds its start message until the first body tells whether to compress."""

    def __init__(self, middleware: GZipMiddleware, gzip: bool, send: Send) -> None:
        self.mw = middleware
        self.gzip = gzip
        self.send = send
        self.start: Message = {}
        self.passthrough = False  # encoded already, partial or excluded: every message goes out as it is
        self.started = False
        self.stream: Any = None  # the kavo.zlib stream of a response that comes in several bodies

    async def run(self, scope: Scope, receive: Receive) -> None:
        await self.mw.app(scope, receive, self.forward)

    async def forward(self, message: Message) -> None:
        kind = message["type"]
        if kind == "http.response.start":
            self.start = message
            headers = Headers(raw=message.setdefault("headers", []))
            media = headers.get("content-type", "").partition(";")[0].strip().lower()
            media_types = {media, media.partition("/")[0] + "/*"}
            if media.startswith("application/grpc+"):
                media_types.add("application/grpc")
            self.passthrough = ("content-encoding" in headers or message["status"] == 206
                                or not media_types.isdisjoint(self.mw.exclude_content_types))
            if self.passthrough:
                await self.send(message)
        elif self.passthrough and kind in ("http.response.body", "http.response.pathsend"):
            await self.send(message)
        elif kind == "http.response.body" and not self.started:
            self.started = True
            body = message.get("body", b"")
            more = message.get("more_body", False)
            if len(body) < self.mw.minimum_size and not more:
                await self.send(self.start)
                await self.send(message)
                return
            headers = MutableHeaders(raw=self.start["headers"])
            headers.add_vary_header("Accept-Encoding")
            if self.gzip:
                message["body"] = await self.compress(body, more)
                headers["Content-Encoding"] = "gzip"
                if more or self.start.get("trailers", False):
                    del headers["Content-Length"]
                else:
                    headers["Content-Length"] = str(len(message["body"]))
            await self.send(self.start)
            await self.send(message)
        elif kind == "http.response.body":
            if self.gzip:
                message["body"] = await self.compress(message.get("body", b""), message.get("more_body", False))
            await self.send(message)
        elif kind in ("http.response.early_hint", "http.response.trailers"):
            await self.send(message)
        elif kind == "http.response.pathsend":
            # a file the server sends by itself: no body passes through here to compress
            await self.send(self.start)
            await self.send(message)

    async def compress(self, body: bytes, more: bool) -> bytes:
        if len(body) >= self.mw.thread_minimum_size:
            return await anyio.to_thread.run_sync(self.compress_now, body, more, limiter=_thread_limiter())
        return self.compress_now(body, more)

    def compress_now(self, body: bytes, more: bool) -> bytes:
        if self.stream is None:
            if not more:  # the whole response in one body: one call, no stream object
                return kavo.compress(body, self.mw.compresslevel, kavo.KAVO_FMT_GZIP)
            self.stream = kavo.zlib.compressobj(self.mw.compresslevel, zlib.DEFLATED, 31)
        out: bytes = self.stream.compress(body) + self.stream.flush(zlib.Z_SYNC_FLUSH if more else zlib.Z_FINISH)
        if not more:
            self.stream = None
        return out
