"""Django's GZipMiddleware with kavo compressing: the same rules, headers and BREACH padding in the gzip file name."""
from __future__ import annotations

import io
import secrets
from typing import AsyncIterator, Iterable, Iterator

from django.http import HttpRequest
from django.http.response import HttpResponseBase
from django.middleware.gzip import re_accepts_gzip
from django.utils.cache import patch_vary_headers
from django.utils.deprecation import MiddlewareMixin

import kavo

__all__ = ["GZipMiddleware"]

LEVEL = 6  # Django's; kavo compresses the same way at every level from 1 to 9
STREAM_BLOCK = 64 * 1024  # what a streamed response's writer holds at most between two chunks


def _padding(max_random_bytes: int) -> bytes:
    """The gzip header's file name: a run of random length, so that the length of the response says less about
    its content (BREACH). Never empty, so that every header carries the FNAME flag."""
    return b"a" * (1 + secrets.randbelow(max_random_bytes))


def _compress(content: bytes, max_random_bytes: int) -> bytes:
    fname = _padding(max_random_bytes) if max_random_bytes else None
    return kavo.compress(content, LEVEL, kavo.KAVO_FMT_GZIP, mtime=0, fname=fname)


class _Member:
    """One gzip member written chunk by chunk: each chunk comes out with a sync flush, decodable on arrival."""

    def __init__(self, max_random_bytes: int) -> None:
        self.buffer = io.BytesIO()
        fname = _padding(max_random_bytes) if max_random_bytes else None
        self.writer = kavo.open(self.buffer, "wb", LEVEL, mtime=0, fname=fname, block_size=STREAM_BLOCK)

    def take(self) -> bytes:
        data = self.buffer.getvalue()
        self.buffer.seek(0)
        self.buffer.truncate()
        return data

    def chunk(self, item: bytes) -> bytes:
        self.writer.write(item)
        self.writer.flush()
        return self.take()

    def end(self) -> bytes:
        self.writer.close()
        return self.take()


def _compress_sequence(sequence: Iterable[bytes], max_random_bytes: int) -> Iterator[bytes]:
    member = _Member(max_random_bytes)
    try:
        for item in sequence:
            data = member.chunk(item)
            if data:
                yield data
        yield member.end()
    finally:
        member.writer.close()


async def _compress_async(sequence: AsyncIterator[bytes], max_random_bytes: int) -> AsyncIterator[bytes]:
    member = _Member(max_random_bytes)
    try:
        async for item in sequence:
            data = member.chunk(item)
            if data:
                yield data
        yield member.end()
    finally:
        member.writer.close()


class GZipMiddleware(MiddlewareMixin):
    """django.middleware.gzip.GZipMiddleware with kavo's compressor. Compresses responses of 200 bytes or more
    (and every streamed one) for clients that accept gzip, unless already encoded; adds Vary: Accept-Encoding,
    weakens a strong ETag, and keeps a response whose compressed form would not be shorter as it is.
    A streamed response is one gzip member whose chunks each end with a sync flush. Like Django's, every
    gzip header names a file of 1 to max_random_bytes random bytes; 0 leaves the name out."""

    max_random_bytes = 100

    def process_response(self, request: HttpRequest, response: HttpResponseBase) -> HttpResponseBase:
        if not response.streaming and len(response.content) < 200:
            return response
        if response.has_header("Content-Encoding"):
            return response
        patch_vary_headers(response, ("Accept-Encoding",))
        if not re_accepts_gzip.search(request.META.get("HTTP_ACCEPT_ENCODING", "")):
            return response

        if response.streaming:
            content = response.streaming_content
            if response.is_async:
                response.streaming_content = _compress_async(content, self.max_random_bytes)
            else:
                response.streaming_content = _compress_sequence(content, self.max_random_bytes)
            # the compressed length is known only once the stream has ended
            del response.headers["Content-Length"]
        else:
            compressed = _compress(response.content, self.max_random_bytes)
            if len(compressed) >= len(response.content):
                return response
            response.content = compressed
            response.headers["Content-Length"] = str(len(compressed))

        # A compressed body is not byte-for-byte the original: a strong ETag becomes weak (RFC 9110, 8.8.1),
        # which still lets conditional requests match.
        etag = response.get("ETag")
        if etag and etag.startswith('"'):
            response.headers["ETag"] = "W/" + etag
        response.headers["Content-Encoding"] = "gzip"
        return response
