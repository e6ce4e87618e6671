"""kavo: fast DEFLATE compression into raw deflate, zlib or gzip, one compressobj per stream.
Pass the input to compress() in any number of pieces, end the stream with flush(), and join every
returned piece in order. The output is fixed: the same input split the same way gives the same
bytes in every version. (The compiled module has no docstrings; this stub carries them.)
"""

import gzip
import io
import os
from typing import Any, Final, Literal, NoReturn, Protocol, overload, type_check_only

from _typeshed import ReadableBuffer

from kavo import zlib as zlib

@type_check_only
class _pybind11_type(type):
    """The metaclass pybind11 gives every class it binds (pybind11_builtins.pybind11_type)."""

KAVO_FMT_GZIP: Final[int]
"""Format 0: one gzip member (10-byte header without name, mtime 0; CRC-32 and size trailer)."""

KAVO_FMT_ZLIB: Final[int]
"""Format 1: one zlib stream (header 78 01, Adler-32 trailer)."""

KAVO_FMT_DEFLATE: Final[int]
"""Format 2, the default: raw deflate with no container; every other format number means this too."""

class compressobj(metaclass=_pybind11_type):
    """One compression stream: compress() pieces of input, then flush() once; join the results.
    Calls on one object are serialised by a lock of its own; different objects compress in
    parallel, with the interpreter lock released while compressing. There is no history between
    calls: every compress() starts matching afresh, so many tiny pieces compress worse.
    """

    def __init__(self, level: int = 1, format: int = 2) -> None:
        """Start a stream. Only the lowest bit of level counts: odd levels compress (greedy
        matching, fixed Huffman codes), even levels store the input. format is KAVO_FMT_GZIP (0),
        KAVO_FMT_ZLIB (1) or KAVO_FMT_DEFLATE (2, also for any other value). Both are ints in the
        signed 32-bit range; anything else raises TypeError.
        """

    def compress(self, obj: bytes) -> bytes:
        """Compress obj (bytes or a bytes subclass; not bytearray, memoryview or str) and return
        the bytes this step produced, which may be empty: a few bits wait for the next call. The
        first call of a gzip or zlib stream also returns the header. Raises ValueError after
        flush(), and RuntimeError("Could not allocate bytes object!") when there is no memory for
        the result; that happens before any input is consumed, so the stream can go on.
        """

    def flush(self) -> bytes:
        """End the stream and return its last bytes (final block and, for gzip and zlib, the
        trailer). Every later flush() returns b"" and every later compress() raises ValueError.
        If the result cannot be allocated, the stream's end is lost: RuntimeError, now and on every
        later call.
        """

def compress(
    data: ReadableBuffer,
    level: int = 1,
    format: int = 2,
    *,
    threads: int = 1,
    mtime: float | None = None,
    fname: str | bytes | None = None,
) -> bytes:
    """The whole of data in one call, read in place (any C-contiguous bytes-like object, of any
    size) with the interpreter lock released: exactly compressobj(0 if level == 0 else 1,
    format).compress(bytes(data)) + flush(). level follows the zlib module: 0 stores, 1 to 9 and -1
    compress (all with the same bytes), anything else raises ValueError. threads > 1 parses it on
    that many threads (0: every core the process may use) with the same bytes; ValueError outside 0
    to 256. mtime and fname (gzip only) fill the header's MTIME and FNAME as gzip.compress and
    gzip.GzipFile write them: seconds from 0 to 2**32 - 1, a Latin-1 str or bytes without NUL; left
    out, the header is the constant one. TypeError for an object without the buffer protocol,
    BufferError for a buffer that is not contiguous, MemoryError when the result cannot be
    allocated.
    """

def compress_bgzf(data: ReadableBuffer, level: int = 1, *, threads: int = 1) -> bytes:
    """The whole of data as a BGZF series, end-of-file member included: exactly what
    open(f, "wb", level, bgzf=True, threads=threads) writes for data in one write(), for any
    number of threads. Levels and threads as for compress(). gzip.decompress() reads it back.
    """

class Writer(metaclass=_pybind11_type):
    """A compressed file being written, as kavo.open() returns it (an io.BufferedIOBase). Its bytes
    are those of one compressobj(level, format) fed the data in blocks of block_size bytes, one
    compress() each, with a sync flush at every flush() that follows new data and the stream's
    end at close(): the same for any number of threads and any sizes of write() calls.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> NoReturn:
        """Not for calling: TypeError. Writers come from kavo.open()."""

    def write(self, data: ReadableBuffer, /) -> int:
        """Take data (any C-contiguous bytes-like object) and return its length. Full blocks go to
        the workers; with all of them busy, write() waits. An error of the file is raised here, and
        again by every later call."""

    def flush(self) -> None:
        """Make everything written so far decodable in the file (a sync flush, only after new
        data) and flush the file."""

    def close(self) -> None:
        """End the stream, write the trailer, close the file if kavo.open() opened it."""

    @property
    def closed(self) -> bool: ...
    @property
    def name(self) -> Any: ...
    @property
    def mode(self) -> str: ...
    def fileno(self) -> int: ...
    def writable(self) -> bool: ...
    def readable(self) -> bool: ...
    def seekable(self) -> bool: ...
    def isatty(self) -> bool: ...
    def __enter__(self) -> Writer: ...
    def __exit__(self, *args: object) -> None: ...

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

@type_check_only
class _BinaryWritable(Protocol):
    def write(self, data: bytes, /) -> object: ...

_WriteMode = Literal["wb", "ab", "xb", "w", "a", "x", "bw", "ba", "bx"]
_TextMode = Literal["wt", "at", "xt", "tw", "ta", "tx", "rt", "tr"]

@overload
def open(
    filename: _Path | Any,
    mode: Literal["rb", "r", "br"] = "rb",
    compresslevel: int = 1,
    encoding: None = None,
    errors: None = None,
    newline: None = None,
    *,
    format: int = 0,
    threads: int = 1,
    block_size: int = 1048576,
    mtime: None = None,
    fname: None = None,
    bgzf: Literal[False] = False,
    index: None = None,
) -> gzip.GzipFile: ...
@overload
def open(
    filename: _Path | Any,
    mode: _WriteMode,
    compresslevel: int = 1,
    encoding: None = None,
    errors: None = None,
    newline: None = None,
    *,
    format: int = 0,
    threads: int = 1,
    block_size: int = 1048576,
    mtime: float | None = None,
    fname: str | bytes | None = None,
    bgzf: bool = False,
    index: _Path | _BinaryWritable | None = None,
) -> Writer: ...
@overload
def open(
    filename: _Path | Any,
    mode: _TextMode,
    compresslevel: int = 1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    *,
    format: int = 0,
    threads: int = 1,
    block_size: int = 1048576,
    mtime: float | None = None,
    fname: str | bytes | None = None,
    bgzf: bool = False,
    index: _Path | _BinaryWritable | None = None,
) -> io.TextIOWrapper: ...
@overload
def open(
    filename: _Path | Any,
    mode: str,
    compresslevel: int = 1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    *,
    format: int = 0,
    threads: int = 1,
    block_size: int = 1048576,
    mtime: float | None = None,
    fname: str | bytes | None = None,
    bgzf: bool = False,
    index: _Path | _BinaryWritable | None = None,
) -> Any:
    """gzip.open() for writing, with gzip.open's parameters in its order: a gzip file (or, with
    format, a zlib or raw deflate file) to write in modes "wb", "ab" (a new member appended), "xb",
    and their text forms "wt", "at", "xt" through io.TextIOWrapper; "rb"/"rt" (the default, as in
    gzip.open) hand a gzip file to the gzip module's reader. filename is a path or a binary file
    object with write(); kavo closes only what it opened. compresslevel follows gzip: 0 stores, 1
    to 9 and -1 compress (all with the same bytes), anything else raises ValueError. threads=N
    compresses up to N blocks at once (0: every usable core; 1 starts no thread); at most about
    2N + 1 blocks of block_size bytes are held. mtime and fname fill the gzip header's MTIME and
    FNAME (seconds, and a Latin-1 str or bytes without NUL); left out, the header is the constant
    one.

    bgzf=True writes BGZF (blocked gzip, as bgzip): gzip members of 65280 input bytes each (fewer
    where flush() ends one), each at most 65536 bytes with its size in the 'BC' extra field, and the
    28-byte end-of-file member at close; format stays gzip and block_size, mtime and fname do not
    apply (ValueError). Appending ("ab") starts a new series after the old one's end-of-file member.
    index (with bgzf=True, modes "w" and "x" only) is a path or a binary file object that receives
    the .gzi index at close: the count, then (compressed offset, uncompressed offset) of every member
    but the first, all as little-endian 64-bit numbers. It is written only after the whole file
    was, and not at all when writing failed. Reading BGZF is the gzip module's (or htslib's).
    """
