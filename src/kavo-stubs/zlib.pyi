"""kavo.zlib: the standard zlib module with kavo compressing. compress() and compressobj() take
zlib's arguments and give data any zlib decoder reads; everything else is the standard module's
own object. For servers that let the application choose its zlib module, e.g.
aiohttp.set_zlib_backend(kavo.zlib).
"""

from typing import Any, NoReturn, type_check_only

from _typeshed import ReadableBuffer

from zlib import (
    DEF_BUF_SIZE as DEF_BUF_SIZE,
    DEF_MEM_LEVEL as DEF_MEM_LEVEL,
    DEFLATED as DEFLATED,
    MAX_WBITS as MAX_WBITS,
    Z_BEST_COMPRESSION as Z_BEST_COMPRESSION,
    Z_BEST_SPEED as Z_BEST_SPEED,
    Z_BLOCK as Z_BLOCK,
    Z_DEFAULT_COMPRESSION as Z_DEFAULT_COMPRESSION,
    Z_DEFAULT_STRATEGY as Z_DEFAULT_STRATEGY,
    Z_FILTERED as Z_FILTERED,
    Z_FINISH as Z_FINISH,
    Z_FIXED as Z_FIXED,
    Z_FULL_FLUSH as Z_FULL_FLUSH,
    Z_HUFFMAN_ONLY as Z_HUFFMAN_ONLY,
    Z_NO_COMPRESSION as Z_NO_COMPRESSION,
    Z_NO_FLUSH as Z_NO_FLUSH,
    Z_PARTIAL_FLUSH as Z_PARTIAL_FLUSH,
    Z_RLE as Z_RLE,
    Z_SYNC_FLUSH as Z_SYNC_FLUSH,
    Z_TREES as Z_TREES,
    ZLIB_RUNTIME_VERSION as ZLIB_RUNTIME_VERSION,
    ZLIB_VERSION as ZLIB_VERSION,
    adler32 as adler32,
    crc32 as crc32,
    decompress as decompress,
    decompressobj as decompressobj,
    error as error,
)

@type_check_only
class _pybind11_type(type):
    """The metaclass pybind11 gives every class it binds (pybind11_builtins.pybind11_type)."""

class Compress(metaclass=_pybind11_type):
    """A compression stream, made by compressobj(). Calls on one object are serialised; the
    interpreter lock is released while compressing.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> NoReturn:
        """Not for calling: TypeError. Streams come from compressobj()."""

    def compress(self, data: ReadableBuffer, /) -> bytes:
        """Compress data (any C-contiguous bytes-like object) and return what this step produced,
        which may be empty. zlib.error after flush(Z_FINISH); MemoryError leaves the stream as it was.
        """

    def flush(self, mode: int = 4, /) -> bytes:
        """Z_FINISH (the default) ends the stream. Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_PARTIAL_FLUSH
        and Z_BLOCK make all input so far decodable, ending on a byte boundary (an empty
        stored block, 00 00 ff ff); the stream goes on. A flush no stronger than the one before,
        with no compress() between them, returns b"", as zlib's does. Z_NO_FLUSH returns b"".
        """

    def copy(self) -> Compress:
        """An independent copy of the stream; ValueError once it has been finished."""

    def __copy__(self) -> Compress: ...
    def __deepcopy__(self, memo: Any, /) -> Compress: ...

def compressobj(
    level: int = -1,
    method: int = 8,
    wbits: int = 15,
    memLevel: int = 8,
    strategy: int = 0,
    zdict: ReadableBuffer | None = None,
) -> Compress:
    """A stream as zlib.compressobj() makes one. level 0 stores; -1 and 1 to 9 all compress the
    same way (kavo has one compressing mode). wbits 9 to 15 give a zlib stream, -9 to -15 raw
    deflate and 25 to 31 a gzip member; 8 is taken as 9, as zlib takes it. The window bits also
    cap the match distance, and a zlib header names the window. method, memLevel and
    strategy are checked as zlib checks them and change nothing; zdict is accepted and not used.
    ValueError("Invalid initialization option") for what zlib refuses.
    """

def compress(data: ReadableBuffer, /, level: int = -1, wbits: int = 15) -> bytes:
    """The whole of data compressed in one call, as compressobj(level, DEFLATED, wbits) would.
    zlib.error("Bad compression level") for a level or wbits zlib refuses.
    """
