"""kavo.starlette: Starlette's and FastAPI's GZipMiddleware with kavo compressing. Same arguments, defaults and
rules as starlette.middleware.gzip.GZipMiddleware: add it with app.add_middleware(GZipMiddleware, ...) or wrap
an ASGI app in it.
"""

__all__ = ["DEFAULT_EXCLUDED_CONTENT_TYPES", "GZipMiddleware"]

from typing import Any, Awaitable, Callable, Final, MutableMapping

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

DEFAULT_EXCLUDED_CONTENT_TYPES: Final[tuple[str, ...]]
"""Media types left uncompressed (compressed already, or an event stream); a type/* entry covers a family."""

class GZipMiddleware:
    """Compresses a response of at least minimum_size bytes as gzip for a client whose Accept-Encoding names
    gzip, unless it has a Content-Encoding already, is partial (206) or has an excluded media type; adds Vary:
    Accept-Encoding and sets Content-Length. A streamed response goes out chunk by chunk, each ending in a sync
    flush. compresslevel follows zlib: 0 stores, 1 to 9 and -1 compress (kavo compresses the same way at each),
    anything else raises ValueError (TypeError for a non-int) here, when the middleware is made. Bodies of
    thread_minimum_size bytes or more are compressed on a worker thread.
    """

    app: ASGIApp
    minimum_size: int
    compresslevel: int
    thread_minimum_size: int
    exclude_content_types: tuple[str, ...]

    def __init__(
        self,
        app: ASGIApp,
        minimum_size: int = 500,
        compresslevel: int = 9,
        thread_minimum_size: int = 131072,
        *,
        exclude_content_types: tuple[str, ...] = ...,
    ) -> None: ...
    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None: ...
