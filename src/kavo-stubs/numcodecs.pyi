"""kavo.numcodecs: numcodecs' "gzip" and "zlib" codecs with kavo compressing. Ids and configs are the
stock ones ({"id": "gzip", "level": 1}), so stock numcodecs decodes what they write.
"""

from abc import ABCMeta
from typing import Any

import numcodecs.gzip  # type: ignore[import-untyped]  # numcodecs ships no type information
import numcodecs.zlib  # type: ignore[import-untyped]

class GZip(numcodecs.gzip.GZip, metaclass=ABCMeta):
    """numcodecs.gzip.GZip whose encode() writes one gzip member with kavo; decode() is numcodecs' own."""

    codec_id: str
    level: int
    def __init__(self, level: int = 1) -> None:
        """level: 0 stores, 1 to 9 and -1 compress; ValueError otherwise."""

    def encode(self, buf: Any) -> bytes:
        """Any contiguous buffer (numcodecs.compat.ensure_contiguous_ndarray), compressed as one gzip member."""

class Zlib(numcodecs.zlib.Zlib, metaclass=ABCMeta):
    """numcodecs.zlib.Zlib whose encode() writes one zlib stream with kavo; decode() is numcodecs' own."""

    codec_id: str
    level: int
    def __init__(self, level: int = 1) -> None:
        """level: 0 stores, 1 to 9 and -1 compress; ValueError otherwise."""

    def encode(self, buf: Any) -> bytes:
        """Any contiguous buffer, compressed as one zlib stream."""

def register() -> None:
    """Make numcodecs.get_codec({"id": "gzip" | "zlib", ...}) give kavo's classes. Safe to call again."""

def unregister() -> None:
    """Give numcodecs' own classes back to the ids "gzip" and "zlib"."""
