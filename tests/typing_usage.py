"""Typed use of all of kavo's API, for `mypy --strict` against the installed stub; also runs as a plain script."""
from __future__ import annotations

import gzip
import importlib.util
import sys
import tempfile
import zlib
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Iterable

import kavo
import kavo.django
import kavo.starlette
import kavo.websockets

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type

# zlib's window argument that decodes each of our formats.
WBITS = {kavo.KAVO_FMT_GZIP: 31, kavo.KAVO_FMT_ZLIB: 15, kavo.KAVO_FMT_DEFLATE: -15}


def compress_pieces(pieces: Iterable[bytes], level: int = 1, fmt: int = kavo.KAVO_FMT_DEFLATE) -> bytes:
    stream = kavo.compressobj(level, fmt)
    out = [stream.compress(piece) for piece in pieces]
    out.append(stream.flush())
    return b"".join(out)


def gzip_file(src: Path, dst: Path, piece_size: int = 1 << 20) -> None:
    """Streams a file of any size into a .gz file that gzip -d reads."""
    stream = kavo.compressobj(level=1, format=kavo.KAVO_FMT_GZIP)
    with src.open("rb") as fin, dst.open("wb") as fout:
        while piece := fin.read(piece_size):
            fout.write(stream.compress(piece))
        fout.write(stream.flush())


class CountingCompressor(kavo.compressobj):
    """A subclass from Python: the stub's methods can be overridden with the same types."""

    def __init__(self, level: int = 1, format: int = kavo.KAVO_FMT_DEFLATE) -> None:
        super().__init__(level, format)
        self.calls = 0

    def compress(self, obj: bytes) -> bytes:
        self.calls += 1
        return super().compress(obj)


class Tagged(bytes):
    """bytes subclasses are accepted, by the stub and at run time."""


def raises(kind: type[BaseException], call: Callable[[], object]) -> None:
    try:
        call()
    except kind:
        return
    raise AssertionError(f"expected {kind.__name__}")


def check_types() -> None:
    stream = kavo.compressobj()
    assert_type(stream, kavo.compressobj)
    assert_type(stream.compress(b"abc"), bytes)
    assert_type(stream.flush(), bytes)
    assert_type(kavo.KAVO_FMT_GZIP, int)
    assert_type(kavo.KAVO_FMT_ZLIB, int)
    assert_type(kavo.KAVO_FMT_DEFLATE, int)
    assert_type(kavo.compressobj(0, kavo.KAVO_FMT_ZLIB), kavo.compressobj)
    assert_type(kavo.compress_bgzf(bytearray(b"abc"), 1, threads=2), bytes)
    assert_type(kavo.compressobj(level=True, format=kavo.KAVO_FMT_GZIP), kavo.compressobj)


def check_rejections() -> None:
    """What the stub refuses, each refused at run time too (the ignores must all be needed)."""
    stream = kavo.compressobj()
    raises(TypeError, lambda: stream.compress(bytearray(b"x")))  # type: ignore[arg-type]
    raises(TypeError, lambda: stream.compress(memoryview(b"x")))  # type: ignore[arg-type]
    raises(TypeError, lambda: stream.compress("text"))  # type: ignore[arg-type]
    raises(TypeError, lambda: stream.compress(None))  # type: ignore[arg-type]
    raises(TypeError, lambda: stream.compress())  # type: ignore[call-arg]
    raises(TypeError, lambda: stream.flush(b""))  # type: ignore[call-arg]
    raises(TypeError, lambda: kavo.compressobj(1.0))  # type: ignore[arg-type]
    raises(TypeError, lambda: kavo.compressobj("1"))  # type: ignore[arg-type]
    raises(TypeError, lambda: kavo.compressobj(1, 2, 3))  # type: ignore[call-arg]
    raises(TypeError, lambda: kavo.compressobj(fmt=2))  # type: ignore[call-arg]
    raises(AttributeError, lambda: stream.level)  # type: ignore[attr-defined]
    if TYPE_CHECKING:  # accepted at run time, refused by type checkers: the constants are Final
        kavo.KAVO_FMT_GZIP = 3  # type: ignore[misc]
        kavo.KAVO_FMT_ZLIB = 3  # type: ignore[misc]
        kavo.KAVO_FMT_DEFLATE = 3  # type: ignore[misc]


async def plain_app(scope: kavo.starlette.Scope, receive: kavo.starlette.Receive, send: kavo.starlette.Send) -> None:
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": b"hello " * 200})


def check_integrations() -> None:
    """The web integrations take their hosts' arguments; each is what the host expects in its place."""
    import fastapi
    from websockets.extensions.base import ClientExtensionFactory, ServerExtensionFactory

    wrapped = kavo.starlette.GZipMiddleware(plain_app, minimum_size=100, compresslevel=6)
    assert_type(wrapped.compresslevel, int)
    api = fastapi.FastAPI()
    api.add_middleware(kavo.starlette.GZipMiddleware, minimum_size=1000, compresslevel=9)
    server: ServerExtensionFactory = kavo.websockets.ServerPerMessageDeflateFactory(
        server_max_window_bits=12, client_max_window_bits=12, compress_settings={"memLevel": 5})
    client: ClientExtensionFactory = kavo.websockets.ClientPerMessageDeflateFactory(client_max_window_bits=True)
    assert server.name == client.name == "permessage-deflate"
    raises(ValueError, lambda: kavo.starlette.GZipMiddleware(plain_app, compresslevel=10))
    raises(ValueError, lambda: kavo.websockets.ServerPerMessageDeflateFactory(server_max_window_bits=8))
    assert_type(kavo.django.GZipMiddleware.max_random_bytes, int)


DATA_ENGINES = ("fsspec", "numcodecs", "zarr", "distributed", "numpy")


def check_data_engines(tmp: str) -> None:
    """kavo inside fsspec, Dask, numcodecs and Zarr, typed (imported here: the hosts are optional)."""
    import fsspec  # type: ignore[import-untyped]  # neither ships type information
    import numcodecs  # type: ignore[import-untyped]
    import numpy as np
    import zarr

    import kavo.dask
    import kavo.fsspec
    import kavo.numcodecs
    import kavo.zarr

    kavo.fsspec.register(threads=1)
    assert_type(kavo.fsspec.registered(), bool)
    try:
        with fsspec.open(f"{tmp}/lines.txt.gz", "wt", compression="infer") as f:
            f.write("typed\n" * 100)
    finally:
        kavo.fsspec.unregister()
    with gzip.open(f"{tmp}/lines.txt.gz", "rt") as r:
        assert r.read() == "typed\n" * 100
    plugin = kavo.dask.KavoPlugin(threads=1)
    assert_type(plugin.threads, int)
    codec = kavo.numcodecs.GZip(level=1)
    packed = codec.encode(b"numcodecs " * 100)
    assert_type(packed, bytes)
    assert numcodecs.GZip().decode(packed) == b"numcodecs " * 100
    assert zlib.decompress(kavo.numcodecs.Zlib().encode(bytearray(b"z" * 50))) == b"z" * 50
    z = zarr.create_array(f"{tmp}/a.zarr", shape=(100,), chunks=(10,), dtype="int32",
                          compressors=[kavo.zarr.GzipCodec(level=1)])
    z[:] = np.arange(100, dtype="int32")
    assert np.array_equal(np.asarray(zarr.open_array(f"{tmp}/a.zarr")[:]), np.arange(100))
    assert_type(kavo.zarr.QUALNAME, str)


def main() -> None:
    check_types()
    check_rejections()
    check_integrations()
    data = b"".join(b"line %d: the quick brown fox jumps over the lazy dog\n" % i for i in range(2000))

    for fmt in (kavo.KAVO_FMT_GZIP, kavo.KAVO_FMT_ZLIB, kavo.KAVO_FMT_DEFLATE):
        for level in (0, 1):
            packed = compress_pieces([data[:1000], Tagged(data[1000:50000]), data[50000:]], level, fmt)
            assert zlib.decompress(packed, WBITS[fmt]) == data

    counting = CountingCompressor(format=kavo.KAVO_FMT_ZLIB)
    packed = counting.compress(data) + counting.compress(obj=b"") + counting.flush()
    assert counting.calls == 2 and zlib.decompress(packed) == data
    assert counting.flush() == b""  # every flush after the first adds nothing
    raises(ValueError, lambda: counting.compress(b"more"))

    with tempfile.TemporaryDirectory() as tmp:
        src, dst = Path(tmp, "data.txt"), Path(tmp, "data.txt.gz")
        src.write_bytes(data)
        gzip_file(src, dst, piece_size=10_000)
        with gzip.open(dst, "rb") as f:
            assert f.read() == data
        # kavo.open takes gzip.open's parameters; its writers and gzip's readers are typed.
        named = Path(tmp, "named.gz")
        with kavo.open(Path(tmp) / "b.gz", "wb", bgzf=True, index=Path(tmp) / "b.gz.gzi") as bgz:
            assert_type(bgz, kavo.Writer)
            bgz.write(b"blocked")
        assert gzip.decompress((Path(tmp) / "b.gz").read_bytes()) == b"blocked"
        with kavo.open(named, "wb", 6, mtime=1_700_000_000, fname="data.txt") as w:
            assert_type(w, kavo.Writer)
            w.write(data)
        with kavo.open(named) as r:
            assert_type(r, gzip.GzipFile)
            assert r.read() == data and r.mtime == 1_700_000_000
        assert_type(kavo.compress(data, 9, kavo.KAVO_FMT_GZIP, fname=b"x"), bytes)
        if all(importlib.util.find_spec(name) for name in DATA_ENGINES):
            check_data_engines(tmp)


if __name__ == "__main__":
    main()
    print("typing usage example: ok")
