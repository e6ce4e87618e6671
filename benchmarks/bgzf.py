"""BGZF benchmarks: kavo --bgzf and kavo.open(bgzf=True) against bgzip at level 1 and at its default level, at 1 and
2 threads, on the corpus and on a generated VCF and FASTQ; and what a member costs beyond its bytes. Run alone or
from bench.py."""

from __future__ import annotations

import gzip
import os
import random
import resource
import shutil
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any

import kavo

MB = 1e6
CHUNK = 128 * 1024  # the size of one write() call
NEEDS: dict[str, str] = {}
TOOLS = {"bgzip": "tabix"}
BIG = 100_000_000  # the generated inputs, full run
SMALL = 6_000_000  # the generated inputs, quick run


def vcf(size: int, seed: int = 1) -> bytes:
    """A sorted VCF with ten samples, about size bytes."""
    r = random.Random(seed)
    head = ["##fileformat=VCFv4.2", '##INFO=<ID=DP,Number=1,Type=Integer,Description="Depth">',
            '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t" + "\t".join(f"S{i}" for i in range(10))]
    lines, total, pos, chrom = head, 0, 0, 1
    genotypes = ["0/0"] * 6 + ["0/1"] * 3 + ["1/1"]
    while total < size:
        pos += r.randrange(1, 300)
        if pos > 50_000_000:
            chrom, pos = chrom + 1, 1
        line = (f"chr{chrom}\t{pos}\trs{r.randrange(10**8)}\t{r.choice('ACGT')}\t{r.choice('ACGT')}\t"
                f"{r.randrange(20, 99)}\tPASS\tDP={r.randrange(10, 300)}\tGT:DP\t"
                + "\t".join(f"{r.choice(genotypes)}:{r.randrange(40)}" for _ in range(10)))
        lines.append(line)
        total += len(line) + 1
    return ("\n".join(lines) + "\n").encode()


def fastq(size: int, seed: int = 2) -> bytes:
    """Reads of 150 bases with qualities mostly high, about size bytes."""
    r = random.Random(seed)
    n = size // 340 + 1
    bases = r.randbytes(150 * n).translate(bytes(b"ACGT"[i % 4] for i in range(256)))
    quals = r.randbytes(150 * n).translate(bytes(b"FFFFFFFFFFF:,#"[i % 14] for i in range(256)))
    out = []
    for i in range(n):
        out.append(b"@read%d/1 lane:3 tile:%d\n%s\n+\n%s\n" % (i, 1101 + i % 50, bases[150 * i:150 * i + 150],
                                                           quals[150 * i:150 * i + 150]))
    return b"".join(out)


class Sink:
    def __init__(self) -> None:
        self.parts: list[bytes] = []

    def write(self, b: Any) -> int:
        self.parts.append(bytes(b))
        return len(b)


def time_open(data: bytes, threads: int) -> tuple[float, float, bytes]:
    """(elapsed, CPU time of the process: the caller and the workers, output) of kavo.open(bgzf=True)."""
    sink, view = Sink(), memoryview(data)
    t0, c0 = time.perf_counter(), time.process_time()
    with kavo.open(sink, "wb", bgzf=True, threads=threads) as f:
        for i in range(0, len(data), CHUNK):
            f.write(view[i:i + CHUNK])
    return time.perf_counter() - t0, time.process_time() - c0, b"".join(sink.parts)


def time_command(argv: list[str]) -> tuple[float, float]:
    """(elapsed, CPU time: user and system of every thread) of one run, output to /dev/null."""
    before, t0 = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    seconds, after = time.perf_counter() - t0, resource.getrusage(resource.RUSAGE_CHILDREN)
    return seconds, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def measure(name: str, data: bytes, repeat: int, problems: list[str]) -> list[str]:
    kavo_exe = shutil.which("kavo")
    if not kavo_exe:
        problems.append("the kavo command is not installed (pip install .)")
        return []
    expected = kavo.compress_bgzf(data)
    if gzip.decompress(expected) != data:
        problems.append(f"{name}: kavo.compress_bgzf does not decode")
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "input"
        path.write_bytes(data)
        commands: dict[str, list[str]] = {}
        for n in (1, 2):
            commands[f"kavo --bgzf -T {n}"] = [kavo_exe, "--bgzf", "-T", str(n), "-c", str(path)]
            commands[f"bgzip -l 1 -@ {n}"] = ["bgzip", "-l", "1", "-@", str(n), "-c", str(path)]
            commands[f"bgzip -@ {n}"] = ["bgzip", "-@", str(n), "-c", str(path)]
        sizes = {}
        for label, argv in commands.items():
            if label.endswith("1"):  # bytes do not depend on threads: one run per tool and level
                out = subprocess.run(argv, stdout=subprocess.PIPE, check=True).stdout
                if label.startswith("kavo") and out != expected:
                    problems.append(f"{name}: kavo --bgzf wrote other bytes than kavo.compress_bgzf")
                sizes[label[:-1]] = len(out)
        best = {label: (float("inf"), float("inf")) for label in commands}
        for n in (1, 2):
            best[f"kavo.open(bgzf=True, threads={n})"] = (float("inf"), float("inf"))
        for _ in range(repeat):  # interleaved; the best elapsed and the best CPU time of each, separately
            for label, argv in commands.items():
                seconds, cpu = time_command(argv)
                best[label] = (min(best[label][0], seconds), min(best[label][1], cpu))
            for n in (1, 2):
                label = f"kavo.open(bgzf=True, threads={n})"
                seconds, cpu, out = time_open(data, n)
                best[label] = (min(best[label][0], seconds), min(best[label][1], cpu))
                if out != expected:
                    problems.append(f"{name}: kavo.open(bgzf=True, threads={n}) wrote other bytes")
    lines = [f"#### {name}: {len(data) / MB:.1f} MB", "",
             "| writer | MB/s | MB per CPU second | size | ratio | kavo --bgzf ÷ writer (elapsed, CPU) | "
             "kavo.open(bgzf) ÷ writer (elapsed, CPU) |", "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for label, (seconds, cpu) in best.items():
        n = int(label[-2] if label.endswith(")") else label[-1])
        size = sizes[label[:-1]] if label[:-1] in sizes else len(expected)
        ours, opened = best[f"kavo --bgzf -T {n}"], best[f"kavo.open(bgzf=True, threads={n})"]
        lines.append(f"| {label} | {len(data) / seconds / MB:.0f} | {len(data) / cpu / MB:.0f} | {size:,} | "
                     f"{size / len(data):.3f} | {seconds / ours[0]:.2f}×, {cpu / ours[1]:.2f}× | "
                     f"{seconds / opened[0]:.2f}×, {cpu / opened[1]:.2f}× |")
    return lines + [""]


def member_cost(data: bytes, repeat: int) -> list[str]:
    """The time of the BGZF writer on one thread against the gzip writer (1 MiB blocks) on the same data, spread
    over the members: what a member costs beyond its bytes (header, checksum and trailer, the matcher's start,
    the end of its block, the hand-over to the sink)."""
    members = (len(data) + 65279) // 65280
    times = {False: float("inf"), True: float("inf")}
    for _ in range(repeat):
        for bgzf in (False, True):
            sink, view = Sink(), memoryview(data)
            t0 = time.thread_time()
            with kavo.open(sink, "wb", bgzf=bgzf) as f:
                for i in range(0, len(data), CHUNK):
                    f.write(view[i:i + CHUNK])
            times[bgzf] = min(times[bgzf], time.thread_time() - t0)
    per = (times[True] - times[False]) / members * 1e6
    return ["#### What a member costs beyond its bytes", "",
            f"kavo.open(bgzf=True) against kavo.open() (gzip, 1 MiB blocks) on {len(data) / MB:.1f} MB, one thread, "
            f"CPU time: BGZF runs at {times[False] / times[True]:.3f}× the gzip writer's speed, "
            f"{per:.1f} µs a member ({members} members of 65280 bytes).", ""]


def run(ctx: Any) -> tuple[list[str], list[str]]:
    size = SMALL if ctx.quick else BIG
    return run_bgzf(ctx.sample if ctx.quick else ctx.whole, size, ctx.repeat)


def run_bgzf(corpus: bytes, size: int, repeat: int) -> tuple[list[str], list[str]]:
    problems: list[str] = []
    lines = ["## Blocked gzip (BGZF)", "",
             "Best of %d, interleaved, output to /dev/null (kavo.open: a file object that keeps the bytes). The ratio "
             "columns divide the writer's time by kavo's at the same thread count: elapsed time, and CPU time (user "
             "and system, every thread), which a loaded machine disturbs less. Load average (1 min) at start "
             "%.2f." % (repeat, os.getloadavg()[0]), ""]
    inputs = {"corpus": corpus, "generated VCF": vcf(size), "generated FASTQ": fastq(size)}
    for name, data in inputs.items():
        lines += measure(name, data, repeat, problems)
    lines += member_cost(inputs["generated VCF"], repeat)
    return lines, problems


def main() -> None:
    from bench import report_standalone, standalone_args  # beside this file

    started = time.perf_counter()
    args = standalone_args(__doc__, "small inputs, one repetition")
    lines, problems = run_bgzf(args.data, SMALL if args.quick else BIG, args.repeat)
    report_standalone("kavo BGZF benchmark", lines, problems, started)


if __name__ == "__main__":
    main()
