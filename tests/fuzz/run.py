"""Runs the fuzzers for as long as asked: the engine's differential libFuzzer target and the Python harness.

Long run, on demand (both fuzzers side by side, one per core, for the given time):

    python tests/fuzz/run.py --minutes 30

Needs clang and its libFuzzer runtime (apt-get install clang libclang-rt-14-dev), zlib headers
and atheris (pip install atheris) in the interpreter that has kavo installed. The engine target is
built with AddressSanitizer and UndefinedBehaviorSanitizer; it starts from tests/fuzz/corpus and
keeps what it learns in a work directory (--work, default ~/.cache/kavo-fuzz), not in the
repository. An input that fails a check is written to tests/fuzz/regression/ (engine) or to the
work directory (Python harness): commit the engine ones, so that every later test run replays
them. Prints the executions and time of each fuzzer; exits 1 when either found something.
Options: --minutes M, --engine-only, --python-only, --work DIR, --max-len N.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import builds  # noqa: E402

HARNESS = builds.FUZZ / "py_harness.py"


def _stats(text):
    """libFuzzer's final counters."""
    found = dict(re.findall(r"stat::(\w+):\s+(\d+)", text))
    return {k: int(v) for k, v in found.items()}


def build_engine_fuzzer():
    """The libFuzzer binary, with the sanitizers; raises builds.BuildError where it cannot be made."""
    why = builds.have_libfuzzer()
    if why:
        raise builds.BuildError(why)
    where = builds.build("libfuzzer-asan", compiler="clang++", sanitize=True, fuzz=True, targets=("fuzz_engine",))
    return where / "fuzz_engine"


def rss_limit_mb(own=4096):
    """libFuzzer's memory limit: `own` MB for the fuzzer itself, above the peak RSS of this process. libFuzzer
    reads its peak RSS from the kernel, and Linux hands a program the peak of the process that started it
    (through fork and exec): a test run that held gigabytes earlier would otherwise count against the fuzzer."""
    try:
        import resource
    except ImportError:  # Windows: no such inheritance to allow for
        return own
    return own + resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024


def start_engine_fuzzer(binary, seconds, work, artifacts, max_len=8192):
    """Starts the engine fuzzer; returns the process (stdout+stderr in work/engine.log)."""
    learned = Path(work) / "engine-corpus"
    learned.mkdir(parents=True, exist_ok=True)
    Path(artifacts).mkdir(parents=True, exist_ok=True)
    command = [str(binary), f"-max_total_time={int(seconds)}", f"-max_len={max_len}", "-print_final_stats=1",
               "-timeout=60", f"-rss_limit_mb={rss_limit_mb()}", f"-artifact_prefix={artifacts}/",
               str(learned), str(builds.CORPUS), str(builds.REGRESSION)]
    with open(Path(work) / "engine.log", "w") as log:
        return subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT), Path(work) / "engine.log"


def start_python_fuzzer(seconds, work):
    """Starts the atheris harness; returns the process (stdout+stderr in work/python.log)."""
    learned = Path(work) / "python-corpus"
    learned.mkdir(parents=True, exist_ok=True)
    artifacts = Path(work) / "python-crashes"
    artifacts.mkdir(parents=True, exist_ok=True)
    command = [sys.executable, str(HARNESS), f"-max_total_time={int(seconds)}", "-print_final_stats=1",
               "-timeout=60", f"-rss_limit_mb={rss_limit_mb()}", f"-artifact_prefix={artifacts}/", str(learned)]
    with open(Path(work) / "python.log", "w") as log:
        return subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT), Path(work) / "python.log"


def finish(name, process, log, started):
    code = process.wait()
    text = Path(log).read_text(errors="replace")
    stats = _stats(text)
    took = time.monotonic() - started
    runs = stats.get("number_of_executed_units", 0)
    print(f"{name}: {runs} executions in {took:.0f} s, {stats.get('new_units_added', 0)} new inputs, "
          f"peak RSS {stats.get('peak_rss_mb', 0)} MB, exit {code}")
    if code != 0:
        print(text[-4000:])
    return code == 0, runs, took


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--engine-only", action="store_true")
    parser.add_argument("--python-only", action="store_true")
    parser.add_argument("--work", default=str(Path.home() / ".cache" / "kavo-fuzz"))
    parser.add_argument("--max-len", type=int, default=8192)
    args = parser.parse_args(argv)
    seconds = max(1, int(args.minutes * 60))
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    os.environ.setdefault("KAVO_RELIAB_BUILD", str(work / "build"))

    running = []
    started = time.monotonic()
    if not args.python_only:
        binary = build_engine_fuzzer()
        process, log = start_engine_fuzzer(binary, seconds, work, builds.REGRESSION, args.max_len)
        running.append(("engine (libFuzzer, ASan+UBSan)", process, log))
    if not args.engine_only:
        process, log = start_python_fuzzer(seconds, work)
        running.append(("python harness (atheris)", process, log))
    ok = True
    for name, process, log in running:
        ok &= finish(name, process, log, started)[0]
    if not ok:
        print(f"findings: engine inputs in {builds.REGRESSION}, Python ones in {work / 'python-crashes'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
