"""Data-engine benchmarks: Zarr chunks through kavo's codecs against numcodecs', Dask to_textfiles on a local
cluster with kavo registered on the workers against without, pandas to_csv through kavo.open against its own
gzip. Elapsed time, best of N, the variants interleaved; output sizes beside each. Run alone or from bench.py."""

from __future__ import annotations

import argparse
import gzip
import json
import shutil
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

import kavo

MB = 1e6
MiB = 1 << 20
NEEDS = {"numpy": "numpy", "numcodecs": "numcodecs", "zarr": "zarr", "fsspec": "fsspec", "dask": "dask[dataframe]",
         "distributed": "distributed", "pyarrow": "pyarrow", "pandas": "pandas"}
TOOLS: dict[str, str] = {}
GZIP_HEADER = bytes.fromhex("1f8b0800000000000403")  # kavo's constant header; the stock writers put a time in it


def best(runs: dict[str, Callable[[], Any]], repeat: int,
         clock: Callable[[], float] = time.perf_counter) -> dict[str, tuple[float, Any]]:
    """name -> (best time by clock, result of the last run); every round runs each variant once, in turn."""
    out: dict[str, tuple[float, Any]] = {}
    for _ in range(repeat):
        for name, fn in runs.items():
            t0 = clock()
            result = fn()
            dt = clock() - t0
            if name not in out or dt < out[name][0]:
                out[name] = (dt, result)
            else:
                out[name] = (out[name][0], result)
    return out


def table(headers: list[str], rows: list[list[str]]) -> list[str]:
    return ["| " + " | ".join(headers) + " |", "|" + "---|" * len(headers)] + \
        ["| " + " | ".join(r) + " |" for r in rows] + [""]


# --- Zarr -----------------------------------------------------------------------------------------

def arrays(size: int) -> dict[str, Any]:
    """A float64 and an int16 array of `size` bytes each, shaped like measurements: slow drift plus noise."""
    import numpy as np
    rng = np.random.default_rng(7)
    n = size // 8
    drift = np.cumsum(rng.normal(0, 0.01, n // 1024 + 1)).repeat(1024)[:n]
    floats = np.round(20 + drift + rng.normal(0, 0.05, n), 3)
    m = size // 2
    ints = (np.cumsum(rng.integers(-2, 3, m), dtype=np.int64) % 4000 - 2000).astype(np.int16)
    return {"float64": floats, "int16": ints}


def zarr_codecs() -> dict[str, tuple[int, Any]]:
    """name -> (zarr format, compressors): kavo's gzip and zlib, each beside the stock codec of the same id."""
    import numcodecs
    import zarr

    import kavo.numcodecs
    import kavo.zarr
    return {
        "kavo.zarr.GzipCodec(1), v3": (3, [kavo.zarr.GzipCodec(level=1)]),
        "zarr GzipCodec(1) = numcodecs GZip(1), v3": (3, [zarr.codecs.GzipCodec(level=1)]),
        "kavo.numcodecs.Zlib(1), v2": (2, kavo.numcodecs.Zlib(1)),
        "numcodecs Zlib(1), v2": (2, numcodecs.Zlib(1)),
    }


PEERS = {"kavo.zarr.GzipCodec(1), v3": ["zarr GzipCodec(1) = numcodecs GZip(1), v3", "numcodecs Zlib(1), v2"],
         "kavo.numcodecs.Zlib(1), v2": ["numcodecs Zlib(1), v2"]}
ALONE = {"kavo.zarr.GzipCodec(1), v3": ("kavo.numcodecs", "GZip"), "zarr GzipCodec(1) = numcodecs GZip(1), v3":
         ("numcodecs", "GZip"), "kavo.numcodecs.Zlib(1), v2": ("kavo.numcodecs", "Zlib"),
         "numcodecs Zlib(1), v2": ("numcodecs", "Zlib")}


def codec_alone(name: str, chunks: list[Any], repeat: int) -> float:
    """MB/s of the codec's encode() on the same chunks, on one thread, by CPU time: the ceiling under zarr."""
    import importlib
    module, cls = ALONE[name]
    codec = getattr(importlib.import_module(module), cls)(1)
    fastest = float("inf")
    for _ in range(repeat):
        t0 = time.thread_time()
        for c in chunks:
            codec.encode(c)
        fastest = min(fastest, time.thread_time() - t0)
    return sum(c.nbytes for c in chunks) / fastest / MB


def measure_zarr(size: int, repeat: int) -> tuple[list[str], list[str]]:
    import numpy as np
    import zarr
    import zarr.storage

    problems: list[str] = []
    codecs = zarr_codecs()
    rows = []
    for dtype, data in arrays(size).items():
        chunk = (MiB // data.itemsize,)  # 1 MiB of input a chunk

        def writer(fmt: int, compressors: Any) -> Callable[[], Any]:
            def write() -> Any:
                stored: dict[str, Any] = {}
                store = zarr.storage.MemoryStore(store_dict=stored)  # the codec's cost, not a disk's
                z = zarr.create_array(store, shape=data.shape, chunks=chunk, dtype=data.dtype, zarr_format=fmt,
                                      compressors=compressors, fill_value=0)
                z[...] = data
                return store
            return write

        res = best({name: writer(*c) for name, c in codecs.items()}, repeat)
        sizes = {}
        for name, (dt, store) in res.items():
            back = zarr.open_array(store, mode="r")[...]  # stock zarr's decoders: nothing selects kavo's here
            if not np.array_equal(back, data):
                problems.append(f"zarr {dtype} {name}: the array read back differs")
            sizes[name] = sum(len(v) for v in store._store_dict.values())
        pieces = [data[i:i + chunk[0]] for i in range(0, len(data), chunk[0])][:64]  # at most 64 MiB of them
        alone = {name: codec_alone(name, pieces, repeat) for name in codecs}
        for name, (dt, _) in res.items():
            vs = "; ".join(f"{res[p][0] / dt:.2f}x {p.split(' = ')[-1].split(',')[0]} "
                           f"(alone {alone[name] / alone[p]:.2f}x)" for p in PEERS.get(name, []))
            rows.append([dtype, name, f"{data.nbytes / dt / MB:.0f}", f"{alone[name]:.0f}",
                         f"{sizes[name] / data.nbytes:.3f}", f"{sizes[name] / MB:.1f}", vs or "peer"])
    lines = [f"### Zarr: writing a {size / MB:.0f} MB array in 1 MiB chunks (MemoryStore, zarr's thread pool)", "",
             "MB/s of array data by elapsed time; alone: the codec's encode() on the same chunks, one thread, CPU time.",
             ""]
    lines += table(["dtype", "codec", "MB/s", "alone MB/s", "stored/input", "stored MB", "kavo faster by"], rows)
    return lines, problems


# --- Dask -----------------------------------------------------------------------------------------

def partition_lines(part: int, count: int) -> list[str]:
    return [json.dumps({"part": part, "row": i, "user": f"user-{(i * 7919) % 100003}", "score": (i * 31) % 997,
                        "ok": i % 3 == 0, "tags": ["alpha", "beta", "gamma"][: i % 4], "ts": 1_700_000_000 + i})
            for i in range(count)]


def tree_bytes(where: Path) -> int:
    return sum(p.stat().st_size for p in where.iterdir())


def measure_dask(size: int, repeat: int) -> tuple[list[str], list[str]]:
    import dask.bag
    import distributed

    import kavo.dask
    import kavo.fsspec

    problems: list[str] = []
    parts = 8
    count = max(1, size // parts // 118)  # about 118 bytes a line
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=50,
                                       # no dashboard; the scheduler's health server on a free loopback port, so
                                       # that a cluster already on 8787 is no reason for a warning
                                       scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"})
    client = distributed.Client(cluster)
    tmp = Path(tempfile.mkdtemp(prefix="kavo-dask-"))
    try:
        # Made once and kept in the workers' memory, so that every run below is the write alone.
        bag = dask.bag.from_sequence(range(parts), npartitions=parts).map_partitions(
            lambda ps: [line for p in ps for line in partition_lines(p, count)]).persist()
        distributed.wait(bag)
        text_bytes = sum(n + 1 for n in bag.map(len).compute()) - parts  # lines joined by "\n"

        class StockLevel1(distributed.WorkerPlugin):
            """fsspec's stock gzip writer at level 1 instead of GzipFile's default 9 (defined here: sent by value)."""
            name = "stock-gzip-level-1"

            def setup(self, worker: Any) -> None:
                import gzip as stdlib_gzip

                import fsspec.compression
                self.saved = fsspec.compression.compr["gzip"]
                fsspec.compression.register_compression(
                    "gzip", lambda f, **kw: stdlib_gzip.GzipFile(fileobj=f, compresslevel=1, **kw), "gz", force=True)

            def teardown(self, worker: Any) -> None:
                import fsspec.compression
                fsspec.compression.compr["gzip"] = self.saved

        cpu: dict[str, float] = {}  # the workers' CPU seconds of each job, the least of its rounds

        def workers_cpu() -> float:
            return sum(client.run(time.process_time).values())

        def job(suffix: str, plugin: Any) -> Callable[[], Any]:
            def run() -> Any:
                out = tmp / suffix.strip(".")
                shutil.rmtree(out, ignore_errors=True)
                if plugin is not None:
                    client.register_plugin(plugin)
                try:
                    c0 = workers_cpu()
                    bag.to_textfiles(str(out / ("*" + suffix)))
                    used = workers_cpu() - c0
                finally:
                    if plugin is not None:
                        client.unregister_worker_plugin(plugin.name)
                cpu[suffix] = min(used, cpu.get(suffix, used))
                return out, suffix
            return run

        res = best({"no compression (.json)": job(".json", None),
                    "stock gzip, fsspec's default (GzipFile level 9)": job(".stock.json.gz", None),
                    "stock gzip, GzipFile level 1": job(".stock1.json.gz", StockLevel1()),
                    "kavo on the workers (KavoPlugin)": job(".kavo.json.gz", kavo.dask.KavoPlugin())}, repeat)
        sizes = {name: tree_bytes(out) for name, (_, (out, _)) in res.items()}
        worker_cpu = {name: cpu[suffix] for name, (_, (_, suffix)) in res.items()}
        if sizes["no compression (.json)"] != text_bytes:
            problems.append(f"dask: plain output is {sizes['no compression (.json)']} bytes, not {text_bytes}")
        for name in [n for n in res if n != "no compression (.json)"]:
            out = res[name][1][0]
            total = 0
            for f in sorted(out.iterdir()):
                raw = f.read_bytes()
                total += len(gzip.decompress(raw))
                if (raw[:10] == GZIP_HEADER) != name.startswith("kavo"):
                    problems.append(f"dask: {f.name} was not written by the writer expected ({name})")
            if total != text_bytes:
                problems.append(f"dask {name}: {total} bytes decompressed, not {text_bytes}")
        if any(client.run(kavo.fsspec.registered).values()):
            problems.append("dask: kavo stayed registered after the plugin was removed")
    finally:
        client.close()
        cluster.close()
        shutil.rmtree(tmp, ignore_errors=True)
    base = worker_cpu["no compression (.json)"]
    rows = []
    for name, (dt, _) in res.items():
        c = worker_cpu[name]
        share = f"{max(0.0, c - base) / c:.0%}" if name != "no compression (.json)" else "-"
        rows.append([name, f"{dt:.2f}", f"{c:.2f}", share, f"{sizes[name] / MB:.1f}", f"{sizes[name] / text_bytes:.3f}"])
    fast = worker_cpu["kavo on the workers (KavoPlugin)"]
    stock = worker_cpu["stock gzip, fsspec's default (GzipFile level 9)"]
    stock1 = worker_cpu["stock gzip, GzipFile level 1"]
    lines = [f"### Dask: bag.to_textfiles of {text_bytes / MB:.0f} MB of JSON lines, {parts} files, "
             "LocalCluster of 2 worker processes x 1 thread (loopback TCP)", "",
             "The bag is kept in the workers' memory. Worker CPU: the CPU seconds of both worker processes during the "
             "job, steadier than elapsed time on a shared machine; compression's share is (CPU - CPU without "
             "compression) / CPU.", ""]
    lines += table(["run", "elapsed s", "worker CPU s", "compression's share", "output MB", "output/input"], rows)
    lines += [f"kavo registered on the workers: the job takes {stock / fast:.2f}x less worker CPU than with fsspec's "
              f"default gzip writer, {stock1 / fast:.2f}x less than with the stock writer at level 1.", ""]
    return lines, problems


# --- pandas ---------------------------------------------------------------------------------------

def measure_pandas(rows_count: int, repeat: int) -> tuple[list[str], list[str]]:
    import numpy as np
    import pandas as pd

    problems: list[str] = []
    rng = np.random.default_rng(3)
    df = pd.DataFrame({"id": np.arange(rows_count), "price": np.round(rng.gamma(2.0, 15.0, rows_count), 2),
                       "city": pd.Categorical(rng.choice([f"city-{i}" for i in range(50)], rows_count)).astype(str),
                       "qty": rng.integers(1, 100, rows_count),
                       "when": pd.Timestamp("2024-01-01") + pd.to_timedelta(np.arange(rows_count), unit="s")})
    tmp = Path(tempfile.mkdtemp(prefix="kavo-pandas-"))
    try:
        def stock(level: int | None, suffix: str) -> Callable[[], Any]:
            def run() -> Any:
                path = tmp / f"frame{suffix}"
                compression: Any = None if suffix == ".csv" else (
                    "gzip" if level is None else {"method": "gzip", "compresslevel": level})
                df.to_csv(path, index=False, compression=compression)
                return path
            return run

        def recipe() -> Any:
            path = tmp / "frame.kavo.csv.gz"
            with kavo.open(path, "wt", newline="") as f:
                df.to_csv(f, compression=None, index=False)
            return path

        res = best({"to_csv, no compression": stock(None, ".csv"),
                    'to_csv(compression="gzip") (level 9)': stock(None, ".csv.gz"),
                    'to_csv(compression={"method": "gzip", "compresslevel": 1})': stock(1, ".1.csv.gz"),
                    'kavo recipe: to_csv(kavo.open(path, "wt", newline=""), compression=None)': recipe}, repeat,
                   time.thread_time)  # all on this thread: its CPU time leaves other jobs of the machine out
        plain = res["to_csv, no compression"][1].read_bytes()
        for name, (_, path) in res.items():
            if name != "to_csv, no compression" and gzip.decompress(path.read_bytes()) != plain:
                problems.append(f"pandas {name}: the file does not decompress to the plain CSV")
        sizes = {name: path.stat().st_size for name, (_, path) in res.items()}
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    base = res["to_csv, no compression"][0]
    kavo_time = res['kavo recipe: to_csv(kavo.open(path, "wt", newline=""), compression=None)'][0]
    rows = []
    for name, (dt, _) in res.items():
        rows.append([name, f"{dt:.2f}", f"{max(0.0, dt - base) / dt:.0%}" if dt != base else "-",
                     f"{sizes[name] / MB:.1f}", f"{sizes[name] / len(plain):.3f}",
                     f"{dt / kavo_time:.2f}x" if "kavo" not in name and "no compression" not in name else ""])
    lines = [f"### pandas: to_csv of a {rows_count:,}-row frame ({len(plain) / MB:.0f} MB of CSV) to .csv.gz", ""]
    lines += table(["call", "CPU s", "compression's share", "file MB", "file/CSV", "kavo faster by"], rows)
    return lines, problems


def run_engines(quick: bool, repeat: int) -> tuple[list[str], list[str]]:
    zarr_size, dask_size, frame_rows = (8 * MiB, 6_000_000, 50_000) if quick else (512 * MiB, 200_000_000, 1_000_000)
    reps = 1 if quick else max(1, min(repeat, 3))  # the full sizes take minutes a round
    lines = ["## Data engines", ""]
    problems: list[str] = []
    for part in (lambda: measure_zarr(zarr_size, reps), lambda: measure_dask(dask_size, reps),
                 lambda: measure_pandas(frame_rows, reps)):
        t0 = time.perf_counter()
        section_lines, section_problems = part()
        print(f"engines: {section_lines[0].split(':')[0].strip('# ')} took {time.perf_counter() - t0:.0f} s",
              file=sys.stderr, flush=True)
        lines += section_lines
        problems += section_problems
    return lines, problems


def run(ctx: Any) -> tuple[list[str], list[str]]:
    """bench.py's entry."""
    return run_engines(ctx.quick, ctx.repeat)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--quick", action="store_true", help="small sizes, one round")
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args()
    lines, problems = run_engines(args.quick, args.repeat)
    print("\n".join(lines))
    for problem in problems:
        print("PROBLEM:", problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
