# kavo inside fsspec, numcodecs, Zarr and pandas: files and arrays written by kavo, read back by the stock readers.
import gzip
import io
import json
import os
import subprocess
import sys
import textwrap
import zlib
from pathlib import Path

import pytest

import kavo
from conftest import GZIP_HEADER, ZLIB_HEADER

fsspec = pytest.importorskip("fsspec", reason="the fsspec tests need fsspec (pip install fsspec)")
import fsspec.compression  # noqa: E402

import kavo.fsspec  # noqa: E402

LINES = "".join(json.dumps({"id": i, "name": f"item {i}", "tags": ["a", "b"][: i % 3]}) + "\n" for i in range(30000))


@pytest.fixture
def registered():
    """kavo's gzip writer registered for the test, and fsspec's table as it was afterwards."""
    before = dict(fsspec.compression.compr)
    kavo.fsspec.register()
    yield
    kavo.fsspec.unregister()
    assert fsspec.compression.compr == before


def kavo_file_bytes(data, text, threads=1):
    """What fsspec's open-write-close does to kavo.open: writes, one flush, close."""
    out = io.BytesIO()
    w = kavo.open(out, "wb", threads=threads)
    w.write(data.encode() if text else data)
    w.flush()
    w.close()  # leaves out open: kavo closes only the files it opened itself
    return out.getvalue()


def url_for(where, tmp_path, name):
    return f"memory://{tmp_path.name}/{name}" if where == "memory" else str(tmp_path / name)


# --- fsspec ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("where", ["local", "memory"])
@pytest.mark.parametrize("compression", ["gzip", "infer"])
@pytest.mark.parametrize("mode", ["wt", "wb"])
def test_fsspec_writes_kavo_gzip_read_by_stock_readers(registered, tmp_path, where, compression, mode):
    url = url_for(where, tmp_path, "lines.json.gz")
    data = LINES if mode == "wt" else LINES.encode()
    with fsspec.open(url, mode, compression=compression) as f:
        for i in range(0, len(data), 70001):  # write sizes do not change kavo's bytes
            f.write(data[i:i + 70001])
    with fsspec.open(url, "rb") as f:
        raw = f.read()
    assert raw[:10] == GZIP_HEADER  # kavo's constant header: stock gzip writes the time and 0xff as OS
    assert raw == kavo_file_bytes(data, mode == "wt")
    assert gzip.decompress(raw) == LINES.encode()
    with fsspec.open(url, mode.replace("w", "r"), compression=compression) as f:
        assert f.read() == data  # fsspec's own reader: the codec that kavo replaced
    if where == "local":
        run = subprocess.run(["gzip", "-t", url], capture_output=True)
        assert run.returncode == 0, run.stderr


def test_fsspec_append_adds_a_member(registered, tmp_path):
    path = str(tmp_path / "log.gz")
    for part in ("first\n", "second\n"):
        with fsspec.open(path, "at", compression="gzip") as f:
            f.write(part)
    assert gzip.decompress(Path(path).read_bytes()) == b"first\nsecond\n"
    assert Path(path).read_bytes().count(GZIP_HEADER) == 2


def test_reading_goes_to_the_codec_that_was_there_before(tmp_path):
    calls = []
    stock = fsspec.compression.compr["gzip"]

    def marked(f, mode="rb", **kwargs):
        calls.append(mode)
        return stock(f, mode=mode, **kwargs)

    fsspec.compression.register_compression("gzip", marked, "gz", force=True)
    try:
        kavo.fsspec.register()
        kavo.fsspec.register(threads=2)  # twice: still remembers `marked`, not kavo's first callback
        assert kavo.fsspec.registered()
        path = str(tmp_path / "x.gz")
        with fsspec.open(path, "wb", compression="gzip") as f:
            f.write(b"payload " * 10000)
        assert calls == []  # writing never asked the previous codec
        with fsspec.open(path, "rb", compression="infer") as f:
            assert f.read() == b"payload " * 10000
        assert calls == ["r"]
        kavo.fsspec.unregister()
        assert fsspec.compression.compr["gzip"] is marked and not kavo.fsspec.registered()
        kavo.fsspec.unregister()  # a second time: nothing left to undo
        assert fsspec.compression.compr["gzip"] is marked
    finally:
        fsspec.compression.register_compression("gzip", stock, "gz", force=True)


def test_unregister_brings_back_the_stock_writer(tmp_path):
    stock = fsspec.compression.compr["gzip"]
    kavo.fsspec.register()
    kavo.fsspec.register()
    kavo.fsspec.unregister()
    assert fsspec.compression.compr["gzip"] is stock
    path = str(tmp_path / "stock.gz")
    with fsspec.open(path, "wb", compression="gzip") as f:
        f.write(b"x" * 1000)
    assert Path(path).read_bytes()[:10] != GZIP_HEADER and gzip.decompress(Path(path).read_bytes()) == b"x" * 1000


def test_register_refusals_change_nothing():
    stock = fsspec.compression.compr["gzip"]
    with pytest.raises(ValueError, match="^Duplicate compression registration: gzip$"):
        kavo.fsspec.register(force=False)  # fsspec's convention: another codec holds the name
    for threads in (-1, 257):
        with pytest.raises(ValueError):
            kavo.fsspec.register(threads=threads)
    with pytest.raises(TypeError):
        kavo.fsspec.register(threads="2")
    assert fsspec.compression.compr["gzip"] is stock and not kavo.fsspec.registered()
    kavo.fsspec.register()
    try:
        kavo.fsspec.register(force=False)  # kavo's own registration already holds it: nothing to refuse
        callback = fsspec.compression.compr["gzip"]
        with pytest.raises(TypeError, match="no argument 'filename'"):
            callback(io.BytesIO(), mode="w", filename="x")
        with pytest.raises(ValueError, match="compression level"):
            callback(io.BytesIO(), mode="w", compresslevel=10)
    finally:
        kavo.fsspec.unregister()


ORDER_CHILD = """
    import gzip, sys
    first = sys.argv[1]
    if first == "fsspec":
        import fsspec
        import kavo.fsspec
    else:
        import kavo.fsspec  # before fsspec: register() imports it, so fsspec's own gzip comes first
        assert "fsspec" not in sys.modules
    kavo.fsspec.register()
    import fsspec
    with fsspec.open("memory://order.gz", "wb", compression="gzip") as f:
        f.write(b"order " * 1000)
    raw = fsspec.open("memory://order.gz", "rb").open().read()
    assert gzip.decompress(raw) == b"order " * 1000
    print(raw[:10].hex())
"""


@pytest.mark.parametrize("first", ["fsspec", "kavo"])
def test_import_order_does_not_matter(first):
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(ORDER_CHILD), first], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.strip() == GZIP_HEADER.hex()


def test_fsspec_threads_give_the_same_bytes(tmp_path):
    data = (LINES * 4).encode()  # several blocks of 1 MiB
    outputs = []
    for threads in (1, 3):
        kavo.fsspec.register(threads=threads)
        try:
            with fsspec.open(f"memory://{tmp_path.name}/t{threads}.gz", "wb", compression="gzip") as f:
                f.write(data)
        finally:
            kavo.fsspec.unregister()
        outputs.append(fsspec.open(f"memory://{tmp_path.name}/t{threads}.gz", "rb").open().read())
    assert outputs[0] == outputs[1] == kavo_file_bytes(data, False)
    assert gzip.decompress(outputs[0]) == data
