# Shared helpers of the module tests: decoders by format, kavo run in pieces, the corpus, child interpreters.
import contextlib
import os
import shutil
import subprocess
import sys
import textwrap
import zlib
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
FORMATS = (0, 1, 2)  # gzip, zlib, raw deflate: kavo's format numbers (kavo itself is imported where used)
LIMIT = 2_021_161_080  # the largest input one engine call takes; longer inputs are split there
GZIP_HEADER = bytes.fromhex("1f8b0800000000000403")
ZLIB_HEADER = bytes.fromhex("7801")
# kavo's pure-Python modules, each named for the host it plugs into (the module it imports first).
INTEGRATIONS = {"starlette": "starlette", "websockets": "websockets", "django": "django",
                "fsspec": "fsspec", "dask": "distributed", "numcodecs": "numcodecs", "zarr": "zarr"}
CORPUS_FILES = ("prose.txt", "words.txt", "src.tar", "xml.tar", "html.tar", "json.txt", "elf.bin",
                "db.sqlite", "access.log", "random.bin", "manpages.gz")


# The compiled forms of the level-1 engine, each chosen at run time on the CPUs that run it; every
# form must write the baseline's bytes, so the tests that compare bytes run once per form.
ENGINE_VARIANTS = ("baseline", "v3")


def skip_unless_cpu_runs(variant, runs):
    """A skip, saying which forms did run, when this CPU (or build) lacks the form `variant`."""
    if variant not in runs:
        pytest.skip(f"this CPU does not run the {variant} form of the engine (it runs {', '.join(runs)})")


@contextlib.contextmanager
def engine_variant(variant):
    """kavo's calls run the form `variant` of the engine for the length of the block."""
    import kavo

    skip_unless_cpu_runs(variant, kavo._engine_variants())
    before = kavo._engine_variant()
    kavo._engine_variant(variant)
    try:
        yield
    finally:
        kavo._engine_variant(before)


def program_variant(output):
    """(the form a C++ test program ran, the forms its CPU runs) from its "engine variant:" line."""
    line = next(ln for ln in output.splitlines() if ln.startswith("engine variant: "))
    used, runs = line[len("engine variant: "):].split(" (this CPU runs: ")
    return used, runs.rstrip(")").split()


def tool_or_skip(name, package):
    """The path of a command-line tool the test needs, or a skip that says how to install it."""
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed (apt-get install {package})")
    return path


def wbits(fmt):
    """zlib's window argument for our format number: 0 gzip, 1 zlib, every other number raw deflate."""
    return {0: 31, 1: 15}.get(fmt, -15)


def decode(stream, fmt):
    """The data of one complete stream; fails on trailing bytes or a stream that does not end."""
    d = zlib.decompressobj(wbits(fmt))
    data = d.decompress(stream)
    assert d.eof, "stream does not end"
    assert not d.unused_data, "bytes after the end of the stream"
    return data


def bounds(length, splits):
    """[(start, end)] of the pieces that the offsets in splits cut [0, length) into."""
    cuts = [0] + sorted(min(s, length) for s in splits) + [length]
    return list(zip(cuts, cuts[1:]))


def kavo_pieces(data, level, fmt, splits=()):
    """Every piece that compressobj(level, fmt) returns for data cut at splits: the compress results, then flush."""
    import kavo

    obj = kavo.compressobj(level, fmt)
    pieces = [obj.compress(data[a:b]) for a, b in bounds(len(data), splits)]
    pieces.append(obj.flush())
    return pieces


def corpus_dir():
    return Path(os.environ.get("KAVO_CORPUS") or Path.home() / ".cache" / "kavo-corpus")


@pytest.fixture(scope="session")
def corpus():
    """{name: bytes} of the shared corpus; skips when make_corpus.sh has not built it."""
    where = corpus_dir()
    missing = [name for name in CORPUS_FILES if not (where / name).is_file()]
    if missing:
        pytest.skip(f"corpus not built in {where} (missing {', '.join(missing)}): run shared/bench/make_corpus.sh")
    return {name: (where / name).read_bytes() for name in CORPUS_FILES}


def run_child(code, *args, timeout=300):
    """Runs code in a fresh interpreter (a crash there fails one test, not the run) and returns its stdout."""
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                         text=True, timeout=timeout, cwd=TESTS)
    assert run.returncode == 0, f"child exited with {run.returncode}\n{run.stdout[-3000:]}\n{run.stderr[-3000:]}"
    return run.stdout


def mem_available():
    """Bytes of memory the kernel could hand out now (0 where /proc/meminfo is missing)."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


STOCK_PRELUDE = """
import importlib.util, sys
sys.path[:0] = {paths!r}
assert importlib.util.find_spec("kavo") is None, "kavo is importable in the stock reader"
"""


@pytest.fixture(scope="session")
def stock_python(tmp_path_factory):
    """run(code, *args) -> stdout of a fresh interpreter that has every installed package except kavo.

    It runs isolated (-I -S: no PYTHONPATH, no site hooks) on a directory of links to the contents of this
    interpreter's site-packages, kavo's own entries left out, so that what it reads back is read by the
    stock libraries alone."""
    where = tmp_path_factory.mktemp("stock-site")
    for n, entry in enumerate(p for p in sys.path if Path(p).name in ("site-packages", "dist-packages")):
        folder = where / str(n)
        folder.mkdir()
        for child in Path(entry).iterdir():
            if not child.name.lower().startswith(("kavo", "_kavo", "__editable__")):
                os.symlink(child, folder / child.name)
    paths = [str(p) for p in sorted(where.iterdir())]

    def run(code, *args, timeout=300):
        script = STOCK_PRELUDE.format(paths=paths) + textwrap.dedent(code)
        done = subprocess.run([sys.executable, "-I", "-S", "-c", script, *map(str, args)], capture_output=True,
                              text=True, timeout=timeout, cwd=where)
        assert done.returncode == 0, f"stock reader exited with {done.returncode}\n{done.stderr[-3000:]}"
        return done.stdout

    return run


# The files that take longest, longest first: pytest-xdist hands out whole files in the order they are
# collected, so starting these first keeps one worker from running the last of them alone at the end.
LONGEST_FIRST = ("test_sanitizers.py", "test_pipeline_tsan.py", "test_limits.py", "test_fuzz_quick.py",
                 "test_portability.py", "test_stress.py", "test_engine_cpp.py", "test_typing.py")


def pytest_collection_modifyitems(config, items):
    rank = {name: i for i, name in enumerate(LONGEST_FIRST)}
    items.sort(key=lambda item: rank.get(item.path.name, len(rank)))  # stable: the rest keep their order
