"""Benchmark of kavo against zlib, zlib-ng, ISA-L and libdeflate: speed, ratio, call sizes, threads, memory."""

from __future__ import annotations

import argparse
import gc
import importlib
import importlib.util
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import threading
import time
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
MAKE_CORPUS = HERE.parent.parent / "shared" / "bench" / "make_corpus.sh"
MB = 1e6  # throughput is in decimal megabytes of input per second

# Each peer is compared with the kavo codec a user would pick instead of it: level 1 raw against
# every compressing peer (isal level 0 included: it is the fastest deflate on PyPI), level 1 zlib
# against zlib's own container; a plain copy is the ceiling for level 0 (stored blocks).
RIVAL = {
    "zlib-1 raw": "kavo-1 raw",
    "zlib-1 zlib": "kavo-1 zlib",
    "zlib-ng-1 raw": "kavo-1 raw",
    "isal-1 raw": "kavo-1 raw",
    "libdeflate-1 raw": "kavo-1 raw",
    "isal-0 raw": "kavo-1 raw",
    "memcpy": "kavo-0 raw",
}
SWEEP_CODECS = ["kavo-1 raw", "zlib-1 raw", "zlib-ng-1 raw", "isal-1 raw"]
THREAD_CODECS = ["kavo-1 raw", "zlib-1 raw"]
MEMORY_CODECS = ["kavo-1 raw", "zlib-1 raw", "zlib-ng-1 raw", "isal-0 raw", "isal-1 raw"]
CALL_SIZES = [100, 1024, 4096, 65536, None]  # None: the whole slice in one call
MEMORY_BUDGET = 1 << 30  # stop adding stream objects past 1 GiB of growth: the average is already exact
# The sections that follow the codec tables, each a module beside this file, in the order they print. A section
# names what it imports (NEEDS: module -> pip name) and the commands it runs (TOOLS: command -> Debian package);
# one that lacks any of them is skipped with a line that says how to get it, and the rest of the run goes on.
SECTIONS = ["servers", "files", "bgzf", "web", "engines"]


@dataclass
class Context:
    """What every section is given: the corpus and the settings of this run."""
    corpus: Path
    inputs: dict[str, bytes]  # file name -> contents, and the concatenation under WHOLE
    whole: bytes
    sample: bytes  # the slice the call-size and thread runs use
    quick: bool
    repeat: int
    objects: int
    clock: Callable[[], float]


@dataclass
class Codec:
    name: str
    wbits: int | None  # for zlib.decompress; None: the output must equal the input (the copy)
    new_stream: Callable[[], Any] | None = None  # an object with compress() and flush()
    one_shot: Callable[[bytes], bytes] | None = None  # for libraries without a stream object
    broken: str = ""  # set when a call raised or the output did not decode

    def compress_whole(self, data: bytes) -> bytes | list[bytes]:
        if self.new_stream is None:
            return self.one_shot(data)
        c = self.new_stream()
        # the pieces as returned: joining them would time one more copy of the output
        return [c.compress(data), c.flush()]

    def compress_pieces(self, pieces: list[bytes]) -> list[bytes]:
        c = self.new_stream()
        out = [c.compress(p) for p in pieces]
        out.append(c.flush())
        return out


def load_codecs() -> tuple[list[Codec], list[str], dict[str, str]]:
    """Every codec that imports; the others are named in `missing` so that the report says why they are absent."""
    codecs = [Codec("memcpy", None, one_shot=lambda d: bytes(memoryview(d)))]  # bytes(d) would not copy
    missing: list[str] = []
    versions = {"zlib": zlib.ZLIB_RUNTIME_VERSION}

    try:
        import kavo
    except ImportError as e:
        missing.append(f"kavo ({e})")
    else:
        versions["kavo"] = f"from {Path(kavo.__file__).parent}"  # which build is measured: tree or installed
        formats = {"raw": (kavo.KAVO_FMT_DEFLATE, -15), "zlib": (kavo.KAVO_FMT_ZLIB, 15),
                   "gzip": (kavo.KAVO_FMT_GZIP, 31)}
        for level, fmt in [(1, "raw"), (1, "zlib"), (1, "gzip"), (0, "raw"), (0, "gzip")]:
            number, wbits = formats[fmt]
            codecs.append(Codec(f"kavo-{level} {fmt}", wbits,
                                new_stream=lambda lv=level, f=number: kavo.compressobj(lv, f)))

    codecs.append(Codec("zlib-1 raw", -15, new_stream=lambda: zlib.compressobj(1, zlib.DEFLATED, -15)))
    codecs.append(Codec("zlib-1 zlib", 15, one_shot=lambda d: zlib.compress(d, 1)))

    try:
        import zlib_ng
        from zlib_ng import zlib_ng as zn
    except ImportError as e:
        missing.append(f"zlib-ng ({e})")
    else:
        versions["zlib-ng"] = f"{getattr(zlib_ng, '__version__', '?')} (zlib-ng {zn.ZLIBNG_VERSION})"
        codecs.append(Codec("zlib-ng-1 raw", -15, new_stream=lambda: zn.compressobj(1, zn.DEFLATED, -15)))

    try:
        import isal
        from isal import isal_zlib
    except ImportError as e:
        missing.append(f"isal ({e})")
    else:
        versions["isal"] = isal.__version__
        for level in (0, 1):
            codecs.append(Codec(f"isal-{level} raw", -15,
                                new_stream=lambda lv=level: isal_zlib.compressobj(lv, isal_zlib.DEFLATED, -15)))

    try:
        import deflate
    except ImportError as e:
        missing.append(f"deflate, the libdeflate binding ({e})")
    else:
        versions["deflate"] = getattr(deflate, "__version__", "?")
        codecs.append(Codec("libdeflate-1 raw", -15, one_shot=lambda d: deflate.deflate_compress(d, 1)))

    return codecs, missing, versions


# ---------------------------------------------------------------- corpus

def builder_running() -> bool:
    """Another make_corpus.sh at work (the corpus may be built in the background while we start)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
        except OSError:
            continue
        if b"make_corpus.sh" in cmdline:
            return True
    return False


def ensure_corpus(path: Path) -> list[Path]:
    # Two builders writing the same files at once could leave a torn corpus, so wait for one already running;
    # the script then returns at once when the checksums of the finished corpus match.
    while builder_running():
        log("waiting for a corpus build already running (see /tmp/corpus.log)")
        time.sleep(5)
    if subprocess.run(["bash", str(MAKE_CORPUS), str(path)], stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit(f"could not build the corpus in {path} with {MAKE_CORPUS}")
    names = [line.split()[1] for line in (path / "SHA256SUMS").read_text().splitlines() if line.strip()]
    return [path / n for n in names]


# ---------------------------------------------------------------- measurement

def missing_needs(section: Any) -> list[str]:
    """What a section needs and this machine lacks, each said with the way to get it."""
    lacking = []
    for module, package in getattr(section, "NEEDS", {}).items():
        try:
            found = importlib.util.find_spec(module) is not None
        except ImportError:  # a dotted name whose parent is missing
            found = False
        if not found:
            lacking.append(f"{module} (pip install {package}, or pip install -r benchmarks/requirements.txt)")
    lacking += [f"the {tool} command (apt-get install {package})"
                for tool, package in getattr(section, "TOOLS", {}).items() if shutil.which(tool) is None]
    return lacking


def run_sections(names: list[str], ctx: Context, require_all: bool) -> tuple[list[str], list[str]]:
    """(markdown lines, problems) of the named sections. A missing need is a problem only under require_all."""
    lines: list[str] = []
    problems: list[str] = []
    for name in names:
        section = importlib.import_module(name)  # beside this file, and built on its helpers
        lacking = missing_needs(section)
        if lacking:
            log(f"skipped section {name}: missing " + "; ".join(lacking))
            lines += [f"- skipped section {name}: missing " + "; ".join(lacking), ""]
            if require_all:
                problems.append(f"{name}: missing " + "; ".join(lacking))
            continue
        started = time.perf_counter()
        section_lines, section_problems = section.run(ctx)
        log(f"section {name} done in {time.perf_counter() - started:.0f} s")
        lines += section_lines
        problems += [f"{name}: {p}" for p in section_problems]
    return lines, problems


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def standalone_args(description: str, quick_help: str) -> argparse.Namespace:
    """--corpus, --repeat and --quick of a section run on its own, and args.data: the corpus files joined in the
    order of its SHA256SUMS (the first 16 MB with --quick, which also means one repetition)."""
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--corpus", type=Path, default=Path(os.environ.get("KAVO_CORPUS") or
                                                        Path.home() / ".cache" / "kavo-corpus"))
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--quick", action="store_true", help=quick_help)
    args = p.parse_args()
    names = [line.split()[1] for line in (args.corpus / "SHA256SUMS").read_text().splitlines() if line.strip()]
    args.data = b"".join((args.corpus / n).read_bytes() for n in names)
    if args.quick:
        args.data, args.repeat = args.data[:16_000_000], 1
    return args


def report_standalone(title: str, lines: list[str], problems: list[str], started: float) -> None:
    """Prints a section run on its own under a heading with the machine; exits 1 after a problem."""
    print("\n".join([f"# {title}", "", f"- machine: {cpu_model()}, {os.cpu_count()} logical CPUs; "
                                       f"Python {platform.python_version()}", ""] + lines))
    for problem in problems:
        log(f"problem: {problem}")
    log(f"done in {time.perf_counter() - started:.0f} s")
    if problems:
        sys.exit(1)


def decodes_to(codec: Codec, out: bytes, data: bytes) -> bool:
    if codec.wbits is None:
        return out == data
    try:
        return zlib.decompress(out, codec.wbits) == data
    except zlib.error:
        return False


# The clock of single-threaded measurements. By default the CPU time of the calling thread (user and
# system, so page faults count): every codec compresses in the calling thread, and on a shared virtual
# machine the time the host gives to other guests then stays out of the result. --wall-clock uses
# elapsed time instead. Two-thread runs always use elapsed time.
clock: Callable[[], float] = time.thread_time


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    t0 = clock()
    result = fn()
    return clock() - t0, result


def run_checked(codec: Codec, fn: Callable[[], Any], data: bytes,
                check: bool) -> tuple[float, int] | None:
    """Time one call and return (seconds, output length); the first time a workload runs, also decode its
    output, so that a broken codec is never reported as fast."""
    try:
        seconds, out = timed(fn)
    except Exception as e:  # a codec that raises is dropped from the run, not allowed to end it
        codec.broken = f"raised {type(e).__name__}: {e}"
        return None
    joined = b"".join(out) if isinstance(out, list) else out
    if check and not decodes_to(codec, joined, data):
        codec.broken = "output does not decode to the input"
        return None
    return seconds, len(joined)


@dataclass
class Result:
    seconds: float = float("inf")  # best of the repetitions
    out_len: int = 0
    calls: int = 1


def measure_corpus(codecs: list[Codec], inputs: dict[str, bytes], repeat: int) -> dict[tuple[str, str], Result]:
    """Best of `repeat`, with every codec run on a file before any codec sees the next repetition, so that a
    slow phase of the machine (another process, frequency scaling) spreads over all codecs alike."""
    results: dict[tuple[str, str], Result] = {}
    for rep in range(repeat):
        log(f"corpus: repetition {rep + 1}/{repeat}")
        for name, data in inputs.items():
            for codec in codecs:
                if codec.broken:
                    continue
                run = run_checked(codec, lambda c=codec, d=data: c.compress_whole(d), data, rep == 0)
                if run is None:
                    continue
                r = results.setdefault((codec.name, name), Result())
                r.seconds, r.out_len = min(r.seconds, run[0]), run[1]
    return results


def split(data: bytes, size: int | None) -> list[bytes]:
    # kavo takes only bytes, so the pieces are cut before the clock starts and every codec gets the same ones
    if size is None:
        return [data]
    return [data[i:i + size] for i in range(0, len(data), size)]


def measure_sweep(codecs: list[Codec], data: bytes, repeat: int) -> dict[tuple[str, int | None], Result]:
    results: dict[tuple[str, int | None], Result] = {}
    pieces = {size: split(data, size) for size in CALL_SIZES}
    for rep in range(repeat):
        log(f"call sizes: repetition {rep + 1}/{repeat}")
        for size in CALL_SIZES:
            for codec in codecs:
                if codec.broken:
                    continue
                run = run_checked(codec, lambda c=codec, p=pieces[size]: c.compress_pieces(p), data, rep == 0)
                if run is None:
                    continue
                r = results.setdefault((codec.name, size), Result(calls=len(pieces[size]) + 1))
                r.seconds, r.out_len = min(r.seconds, run[0]), run[1]
    return results


def threaded_seconds(codec: Codec, pieces: list[bytes], threads: int) -> float:
    """Wall time for `threads` threads, each with its own stream object, to compress all the pieces."""
    start = threading.Barrier(threads + 1)

    def work() -> None:
        c = codec.new_stream()
        start.wait()
        for p in pieces:
            c.compress(p)
        c.flush()

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    t0 = time.perf_counter()
    for w in workers:
        w.join()
    return time.perf_counter() - t0


def measure_threads(codecs: list[Codec], data: bytes, repeat: int) -> list[tuple[str, int | None, float, float]]:
    """Aggregate throughput of two threads on two objects against one thread on one, each thread doing the
    whole slice: with the lock released during compression the ratio nears the number of free cores."""
    best: dict[tuple[str, int | None, int], float] = {}
    sizes = [65536, None]
    pieces = {size: split(data, size) for size in sizes}
    for rep in range(repeat):
        log(f"threads: repetition {rep + 1}/{repeat}")
        for size in sizes:
            for codec in codecs:
                for threads in (1, 2):
                    key = (codec.name, size, threads)
                    best[key] = min(best.get(key, float("inf")), threaded_seconds(codec, pieces[size], threads))
    rows = []
    for codec in codecs:
        for size in sizes:
            one = len(data) / MB / best[(codec.name, size, 1)]
            two = 2 * len(data) / MB / best[(codec.name, size, 2)]
            rows.append((codec.name, size, one, two))
    return rows


def rss_bytes() -> int:
    return int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def live_objects_growth(make: Callable[[], Any], count: int, prefill: int = 0, min_bytes: int = 0) -> tuple[int, int]:
    """(objects, bytes): RSS growth over up to `count` live objects from make(), for a fresh process; stops early
    past MEMORY_BUDGET. make() should already use each object once, so that lazily allocated state is in place.
    With `prefill`, objects are first made and kept until RSS has grown by that many bytes: memory the process
    freed before (imports, reading files) is then used up, and cannot make small objects look smaller still.
    With `min_bytes`, objects are added past `count` until the growth reaches it: the heap grows in uneven steps,
    so objects of a few hundred bytes need some megabytes of them for a steady average."""
    warm = [make() for _ in range(100)]  # first-use allocations are not per-object cost
    del warm
    gc.collect()
    gc.disable()
    kept: list[Any] = []
    start = rss_bytes()
    while rss_bytes() - start < prefill:
        kept += [make() for _ in range(100)]
    objects: list[Any] = []
    before = rss_bytes()
    # Past count the growth is read only every 500 objects: with the collector off, each reading leaves some cyclic
    # garbage behind, which would count as the objects' own memory.
    while len(objects) < count or (min_bytes and (len(objects) % 500 or rss_bytes() - before < min_bytes)):
        objects.append(make())
        if len(objects) % 500 == 0 and rss_bytes() - before > MEMORY_BUDGET:
            break
    return len(objects), rss_bytes() - before


def memory_probe(name: str, count: int) -> None:
    """Runs in a fresh process (see measure_memory): RSS growth over `count` live stream objects."""
    codec = next(c for c in load_codecs()[0] if c.name == name)
    piece = bytes(range(100))  # one small compress

    def make() -> Any:
        c = codec.new_stream()
        c.compress(piece)
        return c

    objects, grown = live_objects_growth(make, count)
    print(json.dumps({"objects": objects, "bytes": grown}))


def measure_memory(codecs: list[Codec], count: int) -> list[tuple[str, int, int]]:
    # One fresh interpreter per codec: memory freed by one codec's objects would otherwise be reused by the
    # next, and its growth would read too low.
    rows = []
    for codec in codecs:
        log(f"memory: {codec.name}")
        proc = subprocess.run([sys.executable, __file__, "--memory-probe", codec.name, str(count)],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            log(f"memory probe of {codec.name} failed:\n{proc.stderr}")
            continue
        probe = json.loads(proc.stdout)
        rows.append((codec.name, probe["objects"], probe["bytes"]))
    return rows


# ---------------------------------------------------------------- report

def md_table(headers: list[str], rows: list[list[str]], text_cols: int = 1) -> list[str]:
    # the leading columns hold names, the others numbers: right-aligned so that digits line up
    align = ["---"] * text_cols + ["---:"] * (len(headers) - text_cols)
    lines = ["| " + " | ".join(headers) + " |", "| " + " | ".join(align) + " |"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines + [""]


def rate(mbps: float) -> str:
    return f"{mbps:,.0f}" if mbps >= 100 else f"{mbps:.1f}"


def times(x: float) -> str:
    return f"{x:.2f}×"


def size_name(size: int | None) -> str:
    if size is None:
        return "whole"
    return f"{size // 1024} KiB" if size >= 1024 else f"{size} B"


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def report_corpus(codecs: list[Codec], inputs: dict[str, bytes], res: dict, whole: str) -> list[str]:
    # a codec that failed a decode check anywhere is left out: the header says why
    names = [c.name for c in codecs if not c.broken and (c.name, whole) in res]
    speed = {k: len(inputs[k[1]]) / MB / r.seconds for k, r in res.items()}
    peers = [p for p in names if RIVAL.get(p) in names]

    out = [f"## Whole corpus ({len(inputs[whole]) / MB:.1f} MB concatenated, one call)", "",
           "kavo ÷ peer: speed of the kavo codec of the same level and container (shown) over the peer's; "
           "above 1 kavo is faster.", ""]
    rows = []
    for n in names:
        r = res[(n, whole)]
        vs = f"{times(speed[(RIVAL[n], whole)] / speed[(n, whole)])} ({RIVAL[n]})" if n in peers else ""
        rows.append([n, rate(speed[(n, whole)]), f"{r.out_len / len(inputs[whole]):.3f}", vs])
    out += md_table(["codec", "MB/s", "out/in", "kavo ÷ peer"], rows)

    files = list(inputs)
    label = {f: f"{f} ({len(inputs[f]) / MB:.1f} MB)" for f in files}
    out += ["## Throughput per file (MB/s of input)", ""]
    out += md_table(["file"] + names, [[label[f]] + [rate(speed[(n, f)]) if (n, f) in speed else "–" for n in names]
                                       for f in files])
    out += ["## Ratio per file (output / input)", ""]
    out += md_table(["file"] + names, [[label[f]] + [f"{res[(n, f)].out_len / len(inputs[f]):.3f}"
                                                     if (n, f) in res else "–" for n in names] for f in files])
    if peers:
        out += ["## kavo speed ÷ peer speed per file", "",
                "Columns: " + ", ".join(f"{RIVAL[p]} ÷ {p}" for p in peers) + ".", ""]
        rows = [[label[f]] + [times(speed[(RIVAL[p], f)] / speed[(p, f)])
                              if (p, f) in speed and (RIVAL[p], f) in speed else "–" for p in peers]
                for f in files]
        out += md_table(["file"] + [f"÷ {p}" for p in peers], rows)
    return out


def report_sweep(codecs: list[Codec], res: dict, data_len: int) -> list[str]:
    out = [f"## Call sizes ({data_len / MB:.1f} MB of the concatenated corpus fed through one object)", "",
           "Pieces are cut before timing; ns/call is the whole time over the number of compress calls "
           "(and the one flush).", ""]
    broken = {c.name for c in codecs if c.broken}
    names = [n for n in SWEEP_CODECS if n not in broken and any(k[0] == n for k in res)]
    rows = []
    for size in CALL_SIZES:
        for n in names:
            if (n, size) not in res:
                continue
            r = res[(n, size)]
            rel = ""
            if n != "kavo-1 raw" and "kavo-1 raw" in names and ("kavo-1 raw", size) in res:
                rel = times(res[(n, size)].seconds / res[("kavo-1 raw", size)].seconds)
            rows.append([size_name(size), n, f"{r.calls:,}", rate(data_len / MB / r.seconds),
                         f"{r.out_len / data_len:.3f}", f"{r.seconds / r.calls * 1e9:,.0f}", rel])
    out += md_table(["call size", "codec", "calls", "MB/s", "out/in", "ns/call", "kavo-1 raw ÷ codec"], rows,
                    text_cols=2)

    if {"kavo-1 raw", "zlib-1 raw"} <= set(names) and ("kavo-1 raw", 100) in res and ("zlib-1 raw", 100) in res:
        k, z = res[("kavo-1 raw", 100)], res[("zlib-1 raw", 100)]
        out += ["## Cost of one 100-byte compress call", ""]
        per_call = [f"{k.seconds / k.calls * 1e9:,.0f} ns", f"{z.seconds / z.calls * 1e9:,.0f} ns",
                    times(z.seconds / k.seconds)]
        out += md_table(["kavo compressobj.compress", "zlib compressobj.compress", "zlib time ÷ kavo time"],
                        [per_call], text_cols=0)
    return out


def report_targets(corpus: dict, inputs: dict[str, bytes], whole: str, sweep: dict, threads: list,
                   memory: list) -> list[str]:
    """The speed goals, each as a ratio measured in this run."""
    speed = {k[0]: len(inputs[whole]) / MB / r.seconds for k, r in corpus.items() if k[1] == whole}
    rows = []

    def ratio(goal: str, num: str, den: str, want: float) -> None:
        if num in speed and den in speed:
            got = speed[num] / speed[den]
            rows.append([goal, f"{num} ÷ {den}", times(got), f"≥ {want:g}", "met" if got >= want else "not met"])

    ratio("whole corpus, one call", "kavo-1 raw", "isal-0 raw", 1.0)
    ratio("whole corpus, one call", "kavo-1 raw", "zlib-1 raw", 4.0)
    ratio("whole corpus, one call", "kavo-1 raw", "libdeflate-1 raw", 2.0)
    ratio("checksums off the critical path", "kavo-1 gzip", "kavo-1 raw", 0.9)
    ratio("checksums off the critical path", "kavo-1 zlib", "kavo-1 raw", 0.95)
    ratio("level 0 near a copy", "kavo-0 raw", "memcpy", 0.5)
    ratio("level 0 gzip limited by the CRC only", "kavo-0 gzip", "kavo-0 raw", 0.9)
    k4, kw = sweep.get(("kavo-1 raw", 4096)), sweep.get(("kavo-1 raw", None))
    if k4 and kw:
        got = kw.seconds / k4.seconds
        rows.append(["4 KiB pieces", "kavo-1 raw 4 KiB ÷ whole", times(got), "≥ 0.9", "met" if got >= 0.9 else "not met"])
    k1, z1 = sweep.get(("kavo-1 raw", 100)), sweep.get(("zlib-1 raw", 100))
    if k1 and z1:
        got = (z1.seconds / z1.calls) / (k1.seconds / k1.calls)
        rows.append(["100-byte calls", "zlib ns/call ÷ kavo ns/call", times(got), "≥ 1", "met" if got >= 1 else "not met"])
    for n, size, one, two in threads:
        if n == "kavo-1 raw" and size == 65536:
            got = two / one
            rows.append(["two threads", "2 objects ÷ 1 (64 KiB calls)", times(got), "≥ 1.8",
                         "met" if got >= 1.8 else "not met"])
    for n, k, b in memory:
        if n == "kavo-1 raw":
            per = b / k
            rows.append(["memory per open object", "bytes", f"{per:,.0f}", "≤ 1,024",
                         "met" if per <= 1024 else "not met"])
    out = ["## Targets", ""]
    out += md_table(["goal", "measure", "measured", "target", ""], rows, text_cols=2)
    return out


def report_threads(rows: list, data_len: int) -> list[str]:
    out = [f"## Two threads, two objects, against one thread ({data_len / MB:.1f} MB per thread)", ""]
    out += md_table(["codec", "call size", "1 thread MB/s", "2 threads MB/s", "aggregate ratio"],
                    [[n, size_name(s), rate(one), rate(two), times(two / one)] for n, s, one, two in rows],
                    text_cols=2)
    return out


def report_memory(rows: list) -> list[str]:
    out = ["## Memory per open stream object", "",
           "RSS growth (/proc/self/statm) over live objects, each after one 100-byte compress, in a fresh "
           "process per codec; includes the Python object and its list slot.", ""]
    per = {n: b / k for n, k, b in rows}
    base = per.get("kavo-1 raw")
    out += md_table(["codec", "objects", "RSS growth MB", "bytes per object", "÷ kavo"],
                    [[n, f"{k:,}", f"{b / MB:.1f}", f"{b / k:,.0f}", times(per[n] / base) if base else "–"]
                     for n, k, b in rows])
    return out


def save_chart(codecs: list[Codec], res: dict, inputs: dict[str, bytes], whole: str, path: Path) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")  # no display on build machines
        import matplotlib.pyplot as plt
    except ImportError as e:
        log(f"chart skipped: matplotlib missing ({e})")
        return
    broken = {c.name for c in codecs if c.broken}
    points = sorted((len(inputs[whole]) / MB / r.seconds, r.out_len / len(inputs[whole]), name)
                    for (name, f), r in res.items() if f == whole and name not in broken)
    fig, ax = plt.subplots(figsize=(9, 6))
    placed: list[tuple[float, float]] = []
    for x, y, name in points:
        kind = "kavo" if name.startswith("kavo") else "copy" if name == "memcpy" else "peers"
        color, marker = {"kavo": ("tab:red", "o"), "copy": ("gray", "D"), "peers": ("tab:blue", "s")}[kind]
        # peers on top and smaller, so that one that lands on a kavo point stays visible
        ax.scatter([x], [y], color=color, marker=marker, s=25 if kind == "peers" else 45,
                   zorder=4 if kind == "peers" else 3, label=kind)
        # kavo's formats share one ratio and nearly one speed: stack the labels of close points
        near = sum(1 for px, py in placed if abs(math.log10(x / px)) < 0.15 and abs(y - py) < 0.03)
        placed.append((x, y))
        ax.annotate(name, (x, y), textcoords="offset points", xytext=(6, 4 + 11 * near), fontsize=8,
                    arrowprops=dict(arrowstyle="-", color="0.6", lw=0.5) if near else None)
    handles, labels = ax.get_legend_handles_labels()
    unique = dict(zip(labels, handles))  # one legend entry per kind
    ax.legend(unique.values(), unique.keys(), loc="center right")
    ax.set_xscale("log")
    ax.set_xlabel("throughput, MB/s of input (log scale)")
    ax.set_ylabel("output / input (lower is smaller)")
    ax.set_title(f"Whole corpus, {len(inputs[whole]) / MB:.0f} MB in one call, best of the runs")
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120)
    plt.close(fig)
    log(f"chart written to {path}")


# ---------------------------------------------------------------- main

def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--corpus", type=Path,
                   default=Path(os.environ.get("KAVO_CORPUS") or Path.home() / ".cache" / "kavo-corpus"),
                   help="corpus directory, built when missing (default: $KAVO_CORPUS, else ~/.cache/kavo-corpus)")
    p.add_argument("--repeat", type=int, help="best of N repetitions (default 5; 1 with --quick)")
    p.add_argument("--quick", action="store_true", help="one repetition, smaller slices and counts (about a minute and a half with every section)")
    p.add_argument("--slice-mb", type=float, help="MB of the corpus for the call-size and thread runs (default 8)")
    p.add_argument("--objects", type=int, help="live stream objects for the memory run (default 20000)")
    p.add_argument("--markdown", type=Path, help="also write the tables to this file")
    p.add_argument("--chart", type=Path, default=HERE / "chart.png", help="PNG chart path (default: %(default)s)")
    p.add_argument("--no-chart", action="store_true", help="do not draw the chart")
    p.add_argument("--wall-clock", action="store_true",
                   help="time single-threaded runs by elapsed time, not by the CPU time of the thread")
    p.add_argument("--skip", action="append", default=[], choices=SECTIONS, metavar="SECTION",
                   help="leave out a section (repeatable): " + ", ".join(SECTIONS))
    p.add_argument("--only", action="append", default=[], choices=SECTIONS, metavar="SECTION",
                   help="run only these sections after the codec tables (repeatable)")
    p.add_argument("--no-sections", action="store_true", help="only the codec tables, no section after them")
    p.add_argument("--no-servers", action="append_const", dest="skip", const="servers", help="same as --skip servers")
    p.add_argument("--no-files", action="append_const", dest="skip", const="files", help="same as --skip files")
    p.add_argument("--require-all", action="store_true",
                   help="fail (exit 1) when a peer or a section's need is missing instead of skipping it; CI uses it")
    p.add_argument("--memory-probe", nargs=2, metavar=("CODEC", "COUNT"), help=argparse.SUPPRESS)
    args = p.parse_args()
    quick = args.quick
    global clock
    clock = time.perf_counter if args.wall_clock else time.thread_time
    args.repeat = args.repeat or (1 if quick else 5)
    args.slice_mb = args.slice_mb or (2 if quick else 8)
    args.objects = args.objects or (2000 if quick else 20000)
    return args


def main() -> None:
    args = parse_args()
    if args.memory_probe:
        memory_probe(args.memory_probe[0], int(args.memory_probe[1]))
        return
    started = time.perf_counter()
    load = os.getloadavg()[0]  # other work on the machine shows in the numbers, the thread ratio above all
    codecs, missing, versions = load_codecs()
    for m in missing:
        log(f"skipped, not importable: {m}")

    files = ensure_corpus(args.corpus)
    inputs = {f.name: f.read_bytes() for f in files}
    whole = "all, concatenated"
    inputs[whole] = b"".join(inputs.values())
    sample = inputs[whole][: int(args.slice_mb * MB)]
    by_name = {c.name: c for c in codecs}

    # The collector would otherwise run at moments that depend on each codec's allocations.
    gc.disable()
    corpus = measure_corpus(codecs, inputs, args.repeat)
    sweep = measure_sweep([by_name[n] for n in SWEEP_CODECS if n in by_name], sample, args.repeat)
    threads = measure_threads([by_name[n] for n in THREAD_CODECS if n in by_name and not by_name[n].broken],
                              sample, args.repeat)
    gc.enable()
    memory = measure_memory([by_name[n] for n in MEMORY_CODECS if n in by_name and not by_name[n].broken],
                            args.objects)
    names = [] if args.no_sections else [n for n in (args.only or SECTIONS) if n not in args.skip]
    ctx = Context(args.corpus, inputs, inputs[whole], sample, args.quick, args.repeat, args.objects, clock)
    section_lines, problems = run_sections(names, ctx, args.require_all)
    # kavo missing is kavo's own failure; a missing peer is one only where CI asks for every peer
    problems += [f"not importable: {m}" for m in missing if args.require_all or m.startswith("kavo ")]

    lines = ["# kavo benchmark", "",
             f"- machine: {cpu_model()}, {os.cpu_count()} logical CPUs; Python {platform.python_version()}",
             "- versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()),
             f"- best of {args.repeat}, codecs interleaved; corpus {args.corpus}; MB = 10^6 bytes",
             "- single-threaded runs timed by " + ("elapsed time" if args.wall_clock else
                                                   "the CPU time of the calling thread") +
             "; two-thread runs by elapsed time",
             f"- load average (1 min) at start {load:.2f}, at end {os.getloadavg()[0]:.2f}"]
    lines += [f"- skipped (not importable): {m}" for m in missing]
    lines += [f"- dropped, {c.name}: {c.broken}" for c in codecs if c.broken]
    lines += [""]
    lines += report_targets(corpus, inputs, whole, sweep, threads, memory)
    lines += report_corpus(codecs, inputs, corpus, whole)
    lines += report_sweep(codecs, sweep, len(sample))
    if threads:
        lines += report_threads(threads, len(sample))
    if memory:
        lines += report_memory(memory)
    lines += section_lines
    lines += [f"- problem, {p}" for p in problems]
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        args.markdown.write_text(text + "\n")
        log(f"tables written to {args.markdown}")
    if not args.no_chart:
        save_chart(codecs, corpus, inputs, whole, args.chart)
    log(f"done in {time.perf_counter() - started:.0f} s")
    for p in problems:
        log(f"problem: {p}")
    if any(c.broken for c in codecs) or problems:
        sys.exit(1)  # a codec that fails its decode check must not pass unnoticed in a script or CI log


if __name__ == "__main__":
    main()
