"""numcodecs' "gzip" and "zlib" codecs compressing with kavo: standard ids and configs, stock decoders.

    import kavo.numcodecs
    codec = kavo.numcodecs.GZip(level=1)     # get_config() == {"id": "gzip", "level": 1}
    kavo.numcodecs.register()                # numcodecs.get_codec({"id": "gzip", ...}) gives kavo's class
    kavo.numcodecs.unregister()              # and numcodecs' own again

The stored metadata is numcodecs' own, so any reader decodes the chunks with stock numcodecs, kavo absent.
decode() is inherited unchanged. Levels follow the standard library (0 stores, 1 to 9 and -1 compress),
checked when the codec is made rather than at the first chunk.
"""
from __future__ import annotations

import threading
from typing import Any

import numcodecs.gzip
import numcodecs.registry
import numcodecs.zlib
from numcodecs.compat import ensure_contiguous_ndarray

import kavo


class GZip(numcodecs.gzip.GZip):
    """numcodecs.gzip.GZip whose encode() writes one gzip member with kavo (constant header, no name)."""

    codec_id = "gzip"

    def __init__(self, level: int = 1) -> None:
        kavo.compress(b"", level)  # ValueError for a level outside the standard library's
        super().__init__(level)

    def encode(self, buf: Any) -> bytes:
        return kavo.compress(ensure_contiguous_ndarray(buf), self.level, kavo.KAVO_FMT_GZIP)


class Zlib(numcodecs.zlib.Zlib):
    """numcodecs.zlib.Zlib whose encode() writes one zlib stream with kavo."""

    codec_id = "zlib"

    def __init__(self, level: int = 1) -> None:
        kavo.compress(b"", level)
        super().__init__(level)

    def encode(self, buf: Any) -> bytes:
        return kavo.compress(ensure_contiguous_ndarray(buf), self.level, kavo.KAVO_FMT_ZLIB)


_CODECS = {"gzip": GZip, "zlib": Zlib}
_lock = threading.Lock()
_previous: dict[str, Any] = {}  # codec id -> the class numcodecs had for it before register()


def register() -> None:
    """Make numcodecs.get_codec({"id": "gzip" | "zlib", ...}) build kavo's codecs. Safe to call again."""
    with _lock:
        for codec_id, cls in _CODECS.items():
            current = numcodecs.registry.codec_registry.get(codec_id)
            if current is not cls:
                _previous[codec_id] = current
            numcodecs.registry.register_codec(cls, codec_id)


def unregister() -> None:
    """Put back the classes numcodecs had for "gzip" and "zlib" before register()."""
    with _lock:
        for codec_id, cls in _CODECS.items():
            if codec_id not in _previous:
                continue
            old = _previous.pop(codec_id)
            if numcodecs.registry.codec_registry.get(codec_id) is cls:
                if old is None:
                    del numcodecs.registry.codec_registry[codec_id]
                else:
                    numcodecs.registry.register_codec(old, codec_id)
