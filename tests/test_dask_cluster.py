# kavo on a real Dask cluster: worker processes over loopback TCP write gzip through fsspec and Zarr arrays.
import gzip
import json
import os
import shutil
import signal
import time
import zlib
from pathlib import Path

import pytest

from conftest import GZIP_HEADER

distributed = pytest.importorskip("distributed", reason="the cluster tests need distributed (pip install distributed)")
dask_bag = pytest.importorskip("dask.bag", reason="the cluster tests need dask (pip install 'dask[dataframe]')")
pytest.importorskip("pyarrow", reason="dask.dataframe needs pyarrow (pip install pyarrow)")
pd = pytest.importorskip("pandas", reason="the dataframe tests need pandas (pip install pandas)")

import dask.dataframe as dd  # noqa: E402

import kavo.dask  # noqa: E402
import kavo.fsspec  # noqa: E402


@pytest.fixture(scope="module")
def client():
    """Two worker processes, one thread each, kavo's plugin registered on them; the client process untouched."""
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=50,
                                       # no dashboard; the scheduler's health server on a free loopback port, so
                                       # that a cluster already on 8787 is no reason for a warning
                                       scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"})
    c = distributed.Client(cluster)
    try:
        c.register_plugin(kavo.dask.KavoPlugin())
        yield c
    finally:
        c.close()
        cluster.close()


def json_lines(part, count):
    """The lines of one partition, made on the worker that writes them."""
    for i in range(count):
        yield json.dumps({"part": part, "row": i, "name": f"user-{(i * 7919) % 100003}", "score": (i * 31) % 997,
                          "ok": i % 3 == 0, "tags": ["alpha", "beta", "gamma"][: i % 4]})


def test_plugin_reaches_every_worker_and_not_the_client(client):
    assert set(client.run(kavo.fsspec.registered).values()) == {True}
    assert len(client.scheduler_info()["workers"]) == 2
    assert not kavo.fsspec.registered()


def test_bag_of_50_mb_json_lines_to_textfiles(client, tmp_path):
    parts, count = 8, 65_000  # about 6.3 MB of JSON a partition
    bag = dask_bag.from_sequence(range(parts), npartitions=parts).map_partitions(
        lambda ps: [line for p in ps for line in json_lines(p, count)])
    names = bag.to_textfiles(str(tmp_path / "out" / "*.json.gz"))
    assert len(names) == parts
    total = 0
    for p in range(parts):
        raw = (tmp_path / "out" / f"{p}.json.gz").read_bytes()
        assert raw[:10] == GZIP_HEADER  # written by kavo on a worker, not by the stock GzipFile
        text = gzip.decompress(raw)
        assert text == "\n".join(json_lines(p, count)).encode()
        total += len(text)
    assert total > 50_000_000
    # Read back on the cluster too, through fsspec's own gzip reader on the workers.
    back = dask_bag.read_text(str(tmp_path / "out" / "*.json.gz")).map(json.loads)
    assert back.count().compute() == parts * count
    assert back.filter(lambda r: r["row"] == count - 1).pluck("part").compute() == list(range(parts))


def frame(rows=40_000):
    return pd.DataFrame({"id": range(rows), "city": [f"city-{i % 97}" for i in range(rows)],
                         "value": [i * 0.25 for i in range(rows)], "flag": [i % 5 == 0 for i in range(rows)]})


def test_dataframe_to_csv_and_to_json(client, tmp_path):
    df = frame()
    ddf = dd.from_pandas(df, npartitions=4)
    ddf.to_csv(str(tmp_path / "csv" / "*.csv.gz"), compression="gzip", index=False)
    ddf.to_json(str(tmp_path / "json" / "*.json.gz"), compression="gzip", orient="records", lines=True)
    for kind in ("csv", "json"):
        files = sorted((tmp_path / kind).iterdir())
        assert len(files) == 4 and all(f.read_bytes()[:10] == GZIP_HEADER for f in files)
    with gzip.open(tmp_path / "csv" / "0.csv.gz", "rt") as f:
        first = pd.read_csv(f)
    pd.testing.assert_frame_equal(first, df.iloc[:len(first)].reset_index(drop=True))
    read = dd.read_csv(str(tmp_path / "csv" / "*.csv.gz"), compression="gzip", blocksize=None).compute()
    pd.testing.assert_frame_equal(read.reset_index(drop=True), df, check_dtype=False)  # pyarrow's strings
    lines = pd.concat([pd.read_json(f, lines=True, compression="gzip") for f in sorted((tmp_path / "json").iterdir())])
    pd.testing.assert_frame_equal(lines.reset_index(drop=True), df, check_dtype=False)


def stalling_lines(part, flags, count):
    """Partition 1's first attempt writes part of its file, records its pid and stalls; a retry runs through."""
    marker = Path(flags) / "first-attempt"
    for i, line in enumerate(json_lines(part, count)):
        if part == 1 and i == count // 2 and not marker.exists():
            marker.with_suffix(".tmp").write_text(str(os.getpid()))
            marker.with_suffix(".tmp").rename(marker)
            time.sleep(120)  # the test kills this process here
        yield line


def test_a_worker_killed_mid_task_leaves_a_file_gzip_rejects_and_dask_rewrites_it(client, tmp_path):
    flags, out = tmp_path / "flags", tmp_path / "out"
    flags.mkdir()
    count = 60_000  # half of partition 1 is several of kavo's blocks: they reach the file before the stall
    bag = dask_bag.from_sequence([0, 1], npartitions=2).map_partitions(
        lambda ps: (line for p in ps for line in stalling_lines(p, str(flags), count)))  # lazy: written as made
    before = set(client.run(os.getpid).values())
    jobs = client.compute(bag.to_textfiles(str(out / "*.json.gz"), compute=False))  # one a partition
    deadline = time.monotonic() + 120
    while not (flags / "first-attempt").exists():
        assert time.monotonic() < deadline and not jobs[1].done(), "the stalling task never started"
        time.sleep(0.05)
    pid = int((flags / "first-attempt").read_text())
    victim = out / "1.json.gz"
    time.sleep(0.5)  # the stalled task writes nothing more; its file is what the kill leaves behind
    shutil.copy(victim, tmp_path / "left-behind.gz")
    os.kill(pid, getattr(signal, "SIGKILL", signal.SIGTERM))

    left = (tmp_path / "left-behind.gz").read_bytes()
    expected = "\n".join(json_lines(1, count)).encode()
    assert left[:10] == GZIP_HEADER and len(left) > 100_000
    with pytest.raises(EOFError, match="end-of-stream marker"):
        gzip.decompress(left)  # no trailer: the stock reader refuses it instead of giving a short file
    partial = zlib.decompressobj(31)
    prefix = partial.decompress(left)
    assert not partial.eof and len(prefix) > 1_000_000 and expected.startswith(prefix)

    # Dask sees the worker gone, runs the task again elsewhere, and the retry writes the file anew.
    distributed.wait(jobs, timeout=180)
    assert [j.status for j in jobs] == ["finished", "finished"]
    for p in (0, 1):
        assert gzip.decompress((out / f"{p}.json.gz").read_bytes()) == "\n".join(json_lines(p, count)).encode()
    # The nanny restarted the killed worker: a worker that joined later, and the plugin reached it too.
    client.wait_for_workers(2, timeout=120)
    after = client.run(kavo.fsspec.registered)
    assert set(after.values()) == {True} and pid not in set(client.run(os.getpid).values())
    assert before != set(client.run(os.getpid).values())


def test_dask_array_to_zarr_read_by_stock_zarr(client, tmp_path, stock_python):
    zarr = pytest.importorskip("zarr", reason="the Zarr tests need zarr (pip install zarr)")
    da = pytest.importorskip("dask.array", reason="the array tests need dask (pip install dask)")
    import numpy as np

    import kavo.zarr

    data = np.arange(600 * 500, dtype="int32").reshape(600, 500) % 1013
    arr = da.from_array(data, chunks=(128, 100))
    url = str(tmp_path / "array.zarr")
    arr.to_zarr(url, compressors=[kavo.zarr.GzipCodec(level=1)], zarr_format=3)
    chunk = next(p for p in (tmp_path / "array.zarr" / "c").rglob("*") if p.is_file())
    assert chunk.read_bytes()[:10] == GZIP_HEADER  # compressed on a worker by kavo
    meta = json.loads((tmp_path / "array.zarr" / "zarr.json").read_text())
    assert meta["codecs"][-1] == {"name": "gzip", "configuration": {"level": 1}}
    assert zarr.open_array(url).metadata.to_dict()["codecs"] == zarr.create_array(
        {}, shape=(1,), dtype="int32", compressors=[zarr.codecs.GzipCodec(level=1)]).metadata.to_dict()["codecs"]
    digest = stock_python("""
        import hashlib, sys, zarr
        a = zarr.open_array(sys.argv[1], mode="r")[:]
        print(a.dtype, a.shape, hashlib.sha256(a.tobytes()).hexdigest())
    """, url)
    import hashlib
    assert digest.split() == ["int32", "(600,", "500)", hashlib.sha256(data.tobytes()).hexdigest()]
