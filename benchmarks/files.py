"""File benchmarks: one call on threads against the fastest one-call peers, kavo.open against the peers' threaded gzip writers, the kavo command against gzip and
pigz, and kavo.compress on bytes, bytearray and NumPy arrays. Run alone or from bench.py."""

from __future__ import annotations

import gzip
import io
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path
from typing import Any, Callable

import kavo

MB = 1e6
CHUNK = 128 * 1024  # the size of one write() call, as a program copying a stream would make them
NEEDS = {"numpy": "numpy"}  # the buffer table; the threaded peers and pigz are optional, named where absent
TOOLS = {"gzip": "gzip"}


class Sink(io.RawIOBase):
    """A file that keeps only a count and a checksum: the disk stays out of the timing."""

    def __init__(self) -> None:
        self.size, self.parts = 0, []

    def writable(self) -> bool:
        return True

    def write(self, b: Any) -> int:
        self.parts.append(bytes(b))
        self.size += len(b)
        return len(b)


def writers(threads: int) -> dict[str, Callable[[Any], Any]]:
    found: dict[str, Callable[[Any], Any]] = {
        f"kavo.open threads={threads}": lambda f: kavo.open(f, "wb", threads=threads),
    }
    try:
        from isal import igzip_threaded
        found[f"isal igzip_threaded level 1 threads={threads}"] = (
            lambda f: igzip_threaded.open(f, "wb", compresslevel=1, threads=threads))
    except ImportError:
        pass
    try:
        from zlib_ng import gzip_ng_threaded
        found[f"zlib_ng gzip_ng_threaded level 1 threads={threads}"] = (
            lambda f: gzip_ng_threaded.open(f, "wb", compresslevel=1, threads=threads))
    except ImportError:
        pass
    if threads == 1:
        found["gzip.open level 1"] = lambda f: gzip.open(f, "wb", compresslevel=1)
    return found


def time_writer(make: Callable[[Any], Any], data: bytes) -> tuple[float, int]:
    sink = Sink()
    view = memoryview(data)
    t0 = time.perf_counter()
    with make(sink) as f:
        for i in range(0, len(data), CHUNK):
            f.write(view[i:i + CHUNK])
    seconds = time.perf_counter() - t0
    assert zlib.decompress(b"".join(sink.parts), 31) == data, "a writer's output does not decode"
    return seconds, sink.size


def measure_writers(data: bytes, repeat: int) -> list[str]:
    lines = ["### Gzip writers (kavo.open against the peers' writers, elapsed time)", "",
             f"{len(data) / MB:.1f} MB written in {CHUNK // 1024} KiB write() calls to a file object that keeps "
             "the bytes in memory.", "",
             "| writer | MB/s | ratio | kavo.open ÷ writer |", "| --- | ---: | ---: | ---: |"]
    kavo_one = 0.0
    for threads in (1, 2):
        cases = writers(threads)
        best = {name: (float("inf"), 0) for name in cases}
        for _ in range(repeat):
            for name, make in cases.items():
                seconds, size = time_writer(make, data)
                best[name] = min(best[name], (seconds, size))
        ours = best[f"kavo.open threads={threads}"][0]
        if threads == 1:
            kavo_one = ours
        for name, (seconds, size) in best.items():
            lines.append(f"| {name} | {len(data) / seconds / MB:.0f} | {size / len(data):.3f} | "
                         f"{seconds / ours:.2f}× |")
    lines += ["", f"kavo.open threads=2 ÷ threads=1: {kavo_one / best[f'kavo.open threads=2'][0]:.2f}×", ""]
    return lines


def measure_command(data: bytes, repeat: int) -> list[str]:
    kavo_exe = shutil.which("kavo")
    if not kavo_exe:
        return ["(the kavo command is not installed: pip install .)", ""]
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "input"
        path.write_bytes(data)
        commands = {}
        for n in (1, 2):
            commands[f"kavo -T {n}"] = [kavo_exe, "-T", str(n), "-c", str(path)]
            if shutil.which("pigz"):
                commands[f"pigz -1 -p {n}"] = ["pigz", "-1", "-p", str(n), "-c", str(path)]
        commands["gzip -1"] = ["gzip", "-1", "-c", str(path)]
        # Timed with the output going to /dev/null, so that no reader competes for the cores; the
        # sizes come from one more run each.
        sizes = {name: len(subprocess.run(argv, stdout=subprocess.PIPE, check=True).stdout)
                 for name, argv in commands.items()}
        best = {name: (float("inf"), sizes[name]) for name in commands}
        for _ in range(repeat):
            for name, argv in commands.items():
                t0 = time.perf_counter()
                subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
                best[name] = min(best[name], (time.perf_counter() - t0, sizes[name]))
    lines = ["### The kavo command against gzip and pigz (elapsed time, output to /dev/null)", "",
             "| command | MB/s | ratio | kavo ÷ command (same thread count) |", "| --- | ---: | ---: | ---: |"]
    for name, (seconds, size) in best.items():
        n = name.split()[-1] if "-p" in name or "-T" in name else "1"
        ours = best[f"kavo -T {n}"][0]
        lines.append(f"| {name} | {len(data) / seconds / MB:.0f} | {size / len(data):.3f} | {seconds / ours:.2f}× |")
    return lines + [""]


def measure_buffers(data: bytes, repeat: int) -> list[str]:
    import numpy

    kinds = {"bytes": data, "bytearray": bytearray(data), "memoryview": memoryview(data),
             "numpy uint8 array": numpy.frombuffer(data, dtype=numpy.uint8).copy()}
    best = {name: float("inf") for name in kinds}
    for _ in range(repeat):
        for name, buf in kinds.items():
            t0 = time.thread_time()
            kavo.compress(buf)
            best[name] = min(best[name], time.thread_time() - t0)
    lines = ["### kavo.compress on each kind of buffer (CPU time of the thread)", "",
             "| input | MB/s | time ÷ bytes |", "| --- | ---: | ---: |"]
    for name, seconds in best.items():
        lines.append(f"| {name} | {len(data) / seconds / MB:.0f} | {seconds / best['bytes']:.2f}× |")
    return lines + [""]


def one_calls(threads: int) -> dict[str, Callable[[bytes], bytes]]:
    """One call of the whole input, raw deflate: kavo on 1 and N threads, the fastest one-call peers."""
    found = {"kavo.compress threads=1": lambda d: kavo.compress(d),
             f"kavo.compress threads={threads}": lambda d: kavo.compress(d, threads=threads)}
    try:
        from isal import igzip_threaded, isal_zlib

        found["isal_zlib level 0"] = lambda d: isal_zlib.compress(d, 0, -15)
        found["isal_zlib level 1"] = lambda d: isal_zlib.compress(d, 1, -15)

        def isal_threaded(d: bytes) -> bytes:  # gzip, to memory
            buf = io.BytesIO()
            with igzip_threaded.open(buf, "wb", compresslevel=1, threads=threads) as f:
                f.write(d)
            return buf.getvalue()

        found[f"isal igzip_threaded level 1 threads={threads} (gzip)"] = isal_threaded
    except ImportError:
        pass
    return found


def measure_one_call(data: bytes, repeat: int, threads: int = 2) -> list[str]:
    cases = one_calls(threads)
    best = {name: (float("inf"), 0) for name in cases}
    for _ in range(repeat):
        for name, fn in cases.items():
            t0 = time.perf_counter()
            out = fn(data)
            best[name] = min(best[name], (time.perf_counter() - t0, len(out)))
    ours = best[f"kavo.compress threads={threads}"][0]
    one = kavo.compress(data)
    out, report = kavo._compress_plan(data, 1, 2, threads, 0, 0)
    assert out == one, "kavo.compress on threads wrote other bytes than on one"
    lines = [f"### One call on {threads} threads (kavo.compress threads={threads}, the same bytes as threads=1)", "",
             f"{len(data) / MB:.1f} MB in one call, elapsed time, best of {repeat}.", "",
             f"| call | MB/s | ratio | kavo threads={threads} ÷ call |", "| --- | ---: | ---: | ---: |"]
    for name, (seconds, size) in best.items():
        lines.append(f"| {name} | {len(data) / seconds / MB:.0f} | {size / len(data):.3f} | {seconds / ours:.2f}× |")
    lines += ["", f"Work: {report['parsed'] / len(data):.3f} bytes parsed a byte of input; farthest join "
              f"{report['worst_join'] / 1024:.0f} KiB past a chunk's start; {report['chunks']} chunks, "
              f"{report['joined']} used, {report['taken_over']} parsed on by the chunk before.", ""]
    return lines


def run(ctx: Any) -> tuple[list[str], list[str]]:
    """bench.py's entry: the quick run takes the sample, the full one the whole corpus."""
    return run_files(ctx.sample if ctx.quick else ctx.whole, ctx.repeat), []


def run_files(data: bytes, repeat: int) -> list[str]:
    return (["## Files", ""] + measure_one_call(data, repeat) + measure_writers(data, repeat)
            + measure_command(data, repeat) + measure_buffers(data, repeat))


def main() -> None:
    from bench import standalone_args  # beside this file

    args = standalone_args(__doc__, "16 MB of the corpus, one repetition")
    print("\n".join(run_files(args.data, args.repeat)))


if __name__ == "__main__":
    sys.exit(main())
