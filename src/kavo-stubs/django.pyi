"""kavo.django: Django's GZipMiddleware with kavo compressing; name it in MIDDLEWARE as
"kavo.django.GZipMiddleware" in place of "django.middleware.gzip.GZipMiddleware".
"""

__all__ = ["GZipMiddleware"]

from typing import Any, Final

LEVEL: Final[int]
STREAM_BLOCK: Final[int]

class GZipMiddleware:
    """Django's rules: responses of 200 bytes or more (and every streamed one) for clients that accept gzip,
    unless already encoded; Vary: Accept-Encoding, a strong ETag made weak, a response kept as it is when
    compressing would not make it shorter. Every gzip header names a file of 1 to max_random_bytes random bytes
    (BREACH); 0 leaves the name out. A streamed response is one gzip member, a sync flush after each chunk.
    """

    max_random_bytes: int
    def __init__(self, get_response: Any) -> None: ...
    def __call__(self, request: Any) -> Any: ...
    def process_response(self, request: Any, response: Any) -> Any: ...
