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


# --- numcodecs ------------------------------------------------------------------------------------

np = pytest.importorskip("numpy", reason="the array tests need numpy (pip install numpy)")
DTYPES = ["uint8", "int16", "int64", "float32", "float64", "complex128", "bool", "<U6"]


def sample(dtype, shape=(300, 70)):
    """Arrays with runs and noise, so that matches and literals both occur."""
    rng = np.random.default_rng(sum(map(ord, dtype)))
    base = np.cumsum(rng.integers(-3, 4, size=shape), axis=-1)
    if dtype == "<U6":
        return np.char.add("v", (base % 1000).astype(str)).astype(dtype)
    if dtype == "bool":
        return base % 3 == 0
    return (base * (0.37 if dtype[0] in "fc" else 1)).astype(dtype)


@pytest.fixture(scope="module")
def codecs():
    numcodecs = pytest.importorskip("numcodecs", reason="the codec tests need numcodecs (pip install numcodecs)")
    import kavo.numcodecs
    return numcodecs, kavo.numcodecs


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", ["GZip", "Zlib"])
def test_numcodecs_encode_decodes_with_the_stock_codec(codecs, name, dtype):
    numcodecs, ours = codecs
    mine, stock = getattr(ours, name)(), getattr(numcodecs, name)()
    assert (mine.codec_id, mine.get_config()) == (stock.codec_id, stock.get_config())
    assert isinstance(mine, type(stock)) and mine == stock  # Codec equality compares configs
    for shape in ((300, 70), (1,), (0,), (5, 4, 3)):
        a = sample(dtype, shape)
        packed = mine.encode(a)
        assert packed.startswith(GZIP_HEADER if name == "GZip" else ZLIB_HEADER)
        assert bytes(stock.decode(packed)) == a.tobytes()
        out = np.empty_like(a)
        mine.decode(packed, out=out)  # decode is numcodecs' own, into a given buffer too
        assert np.array_equal(out, a)
        assert zlib.decompress(packed, 31 if name == "GZip" else 15) == a.tobytes()


@pytest.mark.parametrize("name", ["GZip", "Zlib"])
def test_numcodecs_encode_takes_any_buffer_as_stock_does(codecs, name):
    import array
    numcodecs, ours = codecs
    mine, stock = getattr(ours, name)(), getattr(numcodecs, name)()
    inputs = [b"abc" * 100, bytearray(b"xyz" * 50), memoryview(b"mem" * 70), array.array("d", range(500)),
              np.arange(60.0).reshape(6, 10, order="F"), np.arange(12, dtype=">i4")]
    for buf in inputs:
        assert bytes(stock.decode(mine.encode(buf))) == bytes(stock.decode(stock.encode(buf)))
    for codec in (mine, stock):
        with pytest.raises(ValueError, match="contiguous"):
            codec.encode(np.ones((4, 6))[:, ::2])


def test_numcodecs_levels(codecs):
    numcodecs, ours = codecs
    data = sample("int16").tobytes()
    stored, packed = ours.GZip(0).encode(data), ours.GZip(9).encode(data)
    assert len(stored) > len(data) > len(packed) and gzip.decompress(stored) == gzip.decompress(packed) == data
    assert ours.Zlib(-1).encode(data) == ours.Zlib(1).encode(data) == ours.Zlib(6).encode(data)
    assert ours.Zlib(6).get_config() == {"id": "zlib", "level": 6}
    for bad in (10, -2):
        for cls in (ours.GZip, ours.Zlib):
            with pytest.raises(ValueError, match="compression level"):
                cls(bad)


def test_numcodecs_register_and_unregister(codecs):
    numcodecs, ours = codecs
    stock = {i: type(numcodecs.get_codec({"id": i, "level": 1})) for i in ("gzip", "zlib")}
    assert stock == {"gzip": numcodecs.gzip.GZip, "zlib": numcodecs.zlib.Zlib}
    ours.register()
    ours.register()  # twice: unregister still brings back numcodecs' classes
    try:
        got = numcodecs.get_codec({"id": "gzip", "level": 3})
        assert type(got) is ours.GZip and got.level == 3
        assert type(numcodecs.get_codec({"id": "zlib", "level": 1})) is ours.Zlib
    finally:
        ours.unregister()
    assert {i: type(numcodecs.get_codec({"id": i, "level": 1})) for i in ("gzip", "zlib")} == stock
    ours.unregister()  # nothing left to undo
    assert type(numcodecs.get_codec({"id": "gzip"})) is numcodecs.gzip.GZip


# --- Zarr v2 and v3, read back by stock zarr without kavo ---------------------------------------

STOCK_ZARR_READER = """
    import hashlib, json, sys
    import numcodecs, zarr
    for entry in json.load(open(sys.argv[1])):
        a = zarr.open_array(entry["path"], mode="r")
        data = a[:]
        print(entry["path"], a.metadata.zarr_format, data.dtype.str, data.shape, a.chunks,
              hashlib.sha256(data.tobytes()).hexdigest(), sep="\\t")
    for entry in json.load(open(sys.argv[2])):  # numcodecs alone: chunks stored as files
        codec = numcodecs.get_codec(entry["config"])
        raw = open(entry["path"], "rb").read()
        print(entry["path"], hashlib.sha256(codec.decode(raw)).hexdigest(), sep="\\t")
"""

ARRAYS = [("uint8", (512, 300), (64, 100)), ("int16", (1000, 33), (128, 33)), ("float64", (700, 90), (700, 7)),
          ("float32", (3, 50, 40), (2, 16, 40)), ("int64", (5000,), (999,)), ("bool", (200, 200), (50, 50)),
          ("complex128", (64, 64), (64, 64))]


def test_zarr_arrays_written_with_kavo_read_by_stock_zarr(codecs, tmp_path, stock_python):
    zarr = pytest.importorskip("zarr", reason="the Zarr tests need zarr (pip install zarr)")
    import hashlib

    import kavo.zarr
    numcodecs, ours = codecs
    expected, arrays, chunks = {}, [], []
    for n, (dtype, shape, chunk_shape) in enumerate(ARRAYS):
        a = sample(dtype, shape)
        for fmt, compressors in ((3, [kavo.zarr.GzipCodec(level=1)]), (2, ours.GZip(1)), (2, ours.Zlib(1))):
            path = str(tmp_path / f"a{n}-v{fmt}-{len(arrays)}.zarr")
            z = zarr.create_array(path, shape=shape, chunks=chunk_shape, dtype=dtype, zarr_format=fmt,
                                  compressors=compressors, fill_value=0)
            z[...] = a
            arrays.append({"path": path})
            expected[path] = (fmt, a, chunk_shape)
            stored = json.loads(Path(path, "zarr.json" if fmt == 3 else ".zarray").read_text())
            if fmt == 3:
                assert stored["codecs"][-1] == {"name": "gzip", "configuration": {"level": 1}}
            else:
                assert stored["compressor"] == compressors.get_config()
    for n, (name, config) in enumerate((("GZip", {"id": "gzip", "level": 1}), ("Zlib", {"id": "zlib", "level": 5}))):
        for dtype in DTYPES:
            path = tmp_path / f"chunk-{name}-{dtype.strip('<')}"
            a = sample(dtype)
            path.write_bytes(getattr(ours, name)(config["level"]).encode(a))
            chunks.append({"path": str(path), "config": config})
            expected[str(path)] = a
    (tmp_path / "arrays.json").write_text(json.dumps(arrays))
    (tmp_path / "chunks.json").write_text(json.dumps(chunks))
    lines = stock_python(STOCK_ZARR_READER, tmp_path / "arrays.json", tmp_path / "chunks.json").splitlines()
    assert len(lines) == len(arrays) + len(chunks)
    for line in lines:
        fields = line.split("\t")
        want = expected[fields[0]]
        if len(fields) == 2:
            assert fields[1] == hashlib.sha256(want.tobytes()).hexdigest(), fields[0]
            continue
        fmt, a, chunk_shape = want
        assert fields[1:] == [str(fmt), a.dtype.str, str(a.shape), str(chunk_shape),
                              hashlib.sha256(a.tobytes()).hexdigest()], fields[0]


def test_zarr_v3_metadata_identical_to_the_stock_codec(tmp_path):
    zarr = pytest.importorskip("zarr", reason="the Zarr tests need zarr (pip install zarr)")
    import kavo.zarr
    for level in (0, 1, 5, 9):
        mine, stock = kavo.zarr.GzipCodec(level=level), zarr.codecs.GzipCodec(level=level)
        assert mine.to_dict() == stock.to_dict() and isinstance(mine, zarr.codecs.GzipCodec)
        assert kavo.zarr.GzipCodec.from_dict(stock.to_dict()) == mine
    assert kavo.zarr.GzipCodec().to_dict() == zarr.codecs.GzipCodec().to_dict()  # the same default level
    for bad in (10, -1):
        with pytest.raises(ValueError):
            kavo.zarr.GzipCodec(level=bad)  # zarr's own range for this codec
    files = {}
    for cls in (kavo.zarr.GzipCodec, zarr.codecs.GzipCodec):
        path = tmp_path / cls.__module__
        z = zarr.create_array(str(path), shape=(100, 100), chunks=(10, 100), dtype="f8", compressors=[cls(level=1)])
        z[...] = sample("float64", (100, 100))
        files[cls] = json.loads((path / "zarr.json").read_text())
    assert files[kavo.zarr.GzipCodec] == files[zarr.codecs.GzipCodec]


def first_chunk(path):
    return next(p for p in sorted(Path(path, "c").rglob("*")) if p.is_file()).read_bytes()


def test_zarr_configuration_selects_kavo(tmp_path):
    zarr = pytest.importorskip("zarr", reason="the Zarr tests need zarr (pip install zarr)")
    import kavo.zarr
    named = [{"name": "gzip", "configuration": {"level": 1}}]
    a = sample("int16", (64, 64))
    stock_path, kavo_path = str(tmp_path / "stock.zarr"), str(tmp_path / "kavo.zarr")
    zarr.create_array(stock_path, shape=a.shape, chunks=(16, 64), dtype=a.dtype, compressors=named)[...] = a
    assert first_chunk(stock_path)[:10] != GZIP_HEADER  # the stock class while nothing selects kavo's
    kavo.zarr.register()
    try:
        z = zarr.create_array(kavo_path, shape=a.shape, chunks=(16, 64), dtype=a.dtype, compressors=named)
        assert type(z.metadata.codecs[-1]) is kavo.zarr.GzipCodec
        z[...] = a
        assert first_chunk(kavo_path)[:10] == GZIP_HEADER
        reopened = zarr.open_array(stock_path, mode="a")  # an existing array's new chunks are kavo's too
        assert type(reopened.metadata.codecs[-1]) is kavo.zarr.GzipCodec
        reopened[...] = a + 1
        assert first_chunk(stock_path)[:10] == GZIP_HEADER
    finally:
        kavo.zarr.unregister()
    assert type(zarr.open_array(kavo_path).metadata.codecs[-1]) is zarr.codecs.GzipCodec
    assert np.array_equal(zarr.open_array(stock_path)[:], a + 1)


ENV_CHILD = """
    import sys, zarr
    z = zarr.create_array(sys.argv[1], shape=(1000,), chunks=(1000,), dtype="i4",
                          compressors=[{"name": "gzip", "configuration": {"level": 1}}])
    z[:] = range(1000)
    print(type(z.metadata.codecs[-1]).__module__, "kavo" in sys.modules)
"""


def test_zarr_environment_selects_kavo_through_the_entry_point(tmp_path):
    pytest.importorskip("zarr", reason="the Zarr tests need zarr (pip install zarr)")
    path = str(tmp_path / "env.zarr")
    env = dict(os.environ, ZARR_CODECS__GZIP="kavo.zarr.GzipCodec")
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(ENV_CHILD), path], env=env, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.split() == ["kavo.zarr", "True"]  # zarr loaded kavo itself: the script never imports it
    assert first_chunk(path)[:10] == GZIP_HEADER


# --- pandas: kavo.open as the file ----------------------------------------------------------------

@pytest.mark.parametrize("mode", ["wt", "wb"])
def test_pandas_to_csv_and_to_json_through_kavo_open(tmp_path, mode):
    pd = pytest.importorskip("pandas", reason="the pandas tests need pandas (pip install pandas)")
    rows = 20_000
    df = pd.DataFrame({"id": range(rows), "name": [f"n{i % 313}, \"q\"" for i in range(rows)],
                       "x": [i / 7 for i in range(rows)], "when": pd.date_range("2024-01-01", periods=rows, freq="min")})
    csv, js = tmp_path / "frame.csv.gz", tmp_path / "frame.json.gz"
    text = {"newline": ""} if mode == "wt" else {}  # the csv module writes its own line ends
    with kavo.open(csv, mode, **text) as f:
        df.to_csv(f, compression=None, index=False)
    with kavo.open(js, mode) as f:
        df.to_json(f, compression=None, orient="records", lines=True, date_format="iso")
    for path in (csv, js):
        assert path.read_bytes()[:10] == GZIP_HEADER
    assert gzip.decompress(csv.read_bytes()) == df.to_csv(index=False).encode()
    assert gzip.decompress(js.read_bytes()) == df.to_json(orient="records", lines=True, date_format="iso").encode()
    back = pd.read_csv(csv, parse_dates=["when"])  # pandas' own gzip reader, inferred from .gz
    pd.testing.assert_frame_equal(back, df, check_dtype=False)
    back = pd.read_json(js, lines=True)
    back["when"] = pd.to_datetime(back["when"])
    pd.testing.assert_frame_equal(back, df, check_dtype=False)
