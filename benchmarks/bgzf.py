"""BGZF benchmarks: kavo --bgzf and kavo.open(bgzf=True) against bgzip at level 1 and at its default level, at 1 and
2 threads, on the corpus and on a generated VCF and FASTQ; and what a member costs beyond its bytes. Run alone or
from bench.py."""

from __future__ import annotations

import argparse
import gzip
import os
import random
import shutil
import subprocess
import sys
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


def time_open(data: bytes, threads: int) -> tuple[float, bytes]:
    sink, view = Sink(), memoryview(data)
    t0 = time.perf_counter()
    with kavo.open(sink, "wb", bgzf=True, threads=threads) as f:
        for i in range(0, len(data), CHUNK):
            f.write(view[i:i + CHUNK])
    return time.perf_counter() - t0, b"".join(sink.parts)


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
        best = {label: float("inf") for label in commands}
        opened = {n: float("inf") for n in (1, 2)}
        for _ in range(repeat):
            for label, argv in commands.items():
                t0 = time.perf_counter()
                subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
                best[label] = min(best[label], time.perf_counter() - t0)
            for n in (1, 2):
                seconds, out = time_open(data, n)
                opened[n] = min(opened[n], seconds)
                if out != expected:
                    problems.append(f"{name}: kavo.open(bgzf=True, threads={n}) wrote other bytes")
    lines = [f"#### {name}: {len(data) / MB:.1f} MB", "",
             "| writer | MB/s | size | ratio | kavo --bgzf ÷ writer | kavo.open(bgzf) ÷ writer |",
             "| --- | ---: | ---: | ---: | ---: | ---: |"]
    for label, seconds in list(best.items()) + [(f"kavo.open(bgzf=True, threads={n})", opened[n]) for n in (1, 2)]:
        n = int(label[-2] if label.endswith(")") else label[-1])
        size = sizes[label[:-1]] if label[:-1] in sizes else len(expected)
        lines.append(f"| {label} | {len(data) / seconds / MB:.0f} | {size:,} | {size / len(data):.3f} | "
                     f"{seconds / best[f'kavo --bgzf -T {n}']:.2f}× | {seconds / opened[n]:.2f}× |")
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
             "Elapsed time, best of %d, output to /dev/null (kavo.open: a file object that keeps the bytes); the "
             "ratio columns divide the writer's time by kavo's at the same thread count." % repeat, ""]
    inputs = {"corpus": corpus, "generated VCF": vcf(size), "generated FASTQ": fastq(size)}
    for name, data in inputs.items():
        lines += measure(name, data, repeat, problems)
    lines += member_cost(inputs["generated VCF"], repeat)
    return lines, problems


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--corpus", type=Path, default=Path(os.environ.get("KAVO_CORPUS") or
                                                        Path.home() / ".cache" / "kavo-corpus"))
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--quick", action="store_true", help="small inputs, one repetition")
    args = p.parse_args()
    names = [line.split()[1] for line in (args.corpus / "SHA256SUMS").read_text().splitlines() if line.strip()]
    data = b"".join((args.corpus / n).read_bytes() for n in names)
    if args.quick:
        data, args.repeat = data[:16_000_000], 1
    lines, problems = run_bgzf(data, SMALL if args.quick else BIG, args.repeat)
    print("\n".join(lines))
    for problem in problems:
        print("problem:", problem, file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
