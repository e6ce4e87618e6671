# kavo.open and the kavo command: the file's bytes by their definition, real tools reading them, text and
# append modes, faults, gzip's command-line conventions.
import gzip
import inspect
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zlib

import pytest
from hypothesis import given, settings, strategies as st

import kavo
import kavo.zlib
from conftest import FORMATS, run_child, wbits

DATA = b"".join(b"line %d of the file, with words that repeat: gzip kavo gzip\n" % (i * 7 % 1000) for i in range(20000))


def defined_bytes(data, cuts_and_flushes, level=1, fmt=0, block_size=1 << 20):
    """What the file must hold: one stream fed the data in blocks of block_size bytes, each block
    one compress(), a sync flush at every flush() after new data (which also ends the block)."""
    obj = kavo.zlib.compressobj(level, zlib.DEFLATED, wbits(fmt))
    out, block, dirty, at = [], b"", False, 0
    for end, flush in cuts_and_flushes + [(len(data), False)]:
        piece, at = data[at:end], max(at, end)
        while piece:
            take = block_size - len(block)
            block, piece, dirty = block + piece[:take], piece[take:], True
            if len(block) == block_size:
                out.append(obj.compress(block))
                block = b""
        if flush and dirty:
            out.append(obj.compress(block) + obj.flush(zlib.Z_SYNC_FLUSH))
            block, dirty = b"", False
    return b"".join(out) + obj.compress(block) + obj.flush()


def write_file(data, cuts_and_flushes, **kwargs):
    buf = io.BytesIO()
    with kavo.open(buf, "wb", **kwargs) as f:
        at = 0
        for end, flush in cuts_and_flushes + [(len(data), False)]:
            assert f.write(memoryview(data)[at:max(at, end)]) == max(0, end - at)
            at = max(at, end)
            if flush:
                f.flush()
    return buf.getvalue()


@pytest.mark.parametrize("threads", [0, 1, 2, 4, 8])
@pytest.mark.parametrize("fmt, level", [(0, 1), (1, 1), (2, 1), (0, 0)])
def test_bytes_are_the_definition_for_any_thread_count(threads, fmt, level):
    plan = [(5000, False), (70000, True), (70001, True), (400000, False), (900000, True)]
    got = write_file(DATA, plan, threads=threads, format=fmt, compresslevel=level, block_size=100000)
    assert got == defined_bytes(DATA, plan, level, fmt, 100000)
    assert zlib.decompress(got, wbits(fmt)) == DATA


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.integers(0, len(DATA) // 4), st.booleans()), max_size=12),
       st.sampled_from([1, 2, 3]), st.sampled_from([1, 4000, 65536, 300000]))
def test_write_splits_and_threads_do_not_change_the_bytes(plan, threads, block_size):
    data = DATA[: len(DATA) // 4 if block_size > 1 else 20000]  # one-byte blocks cost a call a byte here too
    plan = sorted((min(end, len(data)), flush) for end, flush in plan)
    assert write_file(data, plan, threads=threads, block_size=block_size) == defined_bytes(data, plan, 1, 0, block_size)


PINNED_GZIP = "1f8b0800000000000403ca48cdc9c9574090f90a19a93939f95c00000000ffff4aaa4c050c002c6ada961b000000"


@pytest.mark.parametrize("kwargs, expected", [
    *(({"compresslevel": level}, PINNED_GZIP) for level in (-1, 1, 2, 3, 4, 5, 6, 7, 8, 9)),
    ({"format": 1}, "7801ca48cdc9c9574090f90a19a93939f95c00000000ffff4aaa4c050c008d6c09fb"),
    ({"format": 2, "compresslevel": 0}, "001000efff68656c6c6f2068656c6c6f2068656c6c000800f7ff6f2068656c6c6f0a000000ffff000300fcff6279650300"),
    ({"mtime": 1234567890.9, "fname": "h\xe9"},
     "1f8b0808d2029649040368e900ca48cdc9c9574090f90a19a93939f95c00000000ffff4aaa4c050c002c6ada961b000000"),
])
def test_pinned_bytes(kwargs, expected):
    # These bytes must never change: the definition of the file is part of the interface.
    data = b"hello hello hello hello\nbye"
    assert write_file(data, [(24, True), (24, True)], block_size=16, **kwargs).hex() == expected


@pytest.mark.parametrize("threads", [1, 2])
def test_real_tools_read_what_is_written(tmp_path, threads):
    path = tmp_path / "data.gz"
    with kavo.open(path, "wb", threads=threads, block_size=1 << 16) as f:
        f.write(DATA)
        f.flush()
        f.write(DATA[:1000])
    expected = DATA + DATA[:1000]
    assert subprocess.run(["gzip", "-t", str(path)], timeout=60).returncode == 0
    assert subprocess.run(["zcat", str(path)], capture_output=True, timeout=60).stdout == expected
    assert subprocess.run(["pigz", "-dc", str(path)], capture_output=True, timeout=60).stdout == expected
    assert subprocess.run([sys.executable, "-m", "gzip", "-d", str(path)], timeout=60).returncode == 0
    assert (tmp_path / "data").read_bytes() == expected
    (tmp_path / "dir").mkdir()
    for i in range(5):
        (tmp_path / "dir" / f"f{i}").write_bytes(DATA[i * 999:])
    with kavo.open(tmp_path / "dir.tar.gz", "wb", threads=threads) as f, tarfile.open(fileobj=f, mode="w|") as tar:
        tar.add(tmp_path / "dir", arcname="dir")
    (tmp_path / "out").mkdir()
    assert subprocess.run(["tar", "-xzf", str(tmp_path / "dir.tar.gz"), "-C", str(tmp_path / "out")],
                          timeout=60).returncode == 0
    assert (tmp_path / "out" / "dir" / "f3").read_bytes() == DATA[3 * 999:]


def test_text_append_exclusive_and_reading(tmp_path):
    path = tmp_path / "t.gz"
    with kavo.open(path, "wt", encoding="utf-8", newline="\r\n") as f:
        f.write("héllo\nwörld\n")
    with kavo.open(path, "a") as f:
        assert f.mode == "ab" and f.name == str(path) and f.writable() and not f.seekable() and f.fileno() > 0
        f.write(b"second member\n")
    assert gzip.decompress(path.read_bytes()) == "héllo\r\nwörld\r\n".encode() + b"second member\n"
    assert subprocess.run(["gzip", "-t", str(path)], timeout=60).returncode == 0
    with kavo.open(path, "rt", encoding="utf-8") as f:
        assert isinstance(f, io.TextIOWrapper) and f.readline() == "héllo\n"
    with pytest.raises(FileExistsError):
        kavo.open(path, "xb")
    assert isinstance(kavo.open(tmp_path / "new.gz", "x"), io.BufferedIOBase)


@pytest.mark.parametrize("call, error", [
    (lambda p: kavo.open(p, "wb+"), ValueError), (lambda p: kavo.open(p, "rw"), ValueError),
    (lambda p: kavo.open(p, "wtb"), ValueError), (lambda p: kavo.open(p, "wb", encoding="utf-8"), ValueError),
    (lambda p: kavo.open(p, "rb", format=kavo.KAVO_FMT_ZLIB), ValueError),
    (lambda p: kavo.open(p, "wb", threads=-1), ValueError), (lambda p: kavo.open(p, "wb", block_size=0), ValueError),
    (lambda p: kavo.open(42, "wb"), TypeError), (lambda p: kavo.open(None, "wb"), TypeError),
    (lambda p: kavo.open(p, "wb", threads=257), ValueError), (lambda p: kavo.open(p, "wb", block_size=2**30 + 1), ValueError),
    (lambda p: kavo.open(p, "wb", mtime=-1), ValueError), (lambda p: kavo.open(p, "wb", mtime=2**32), ValueError),
    (lambda p: kavo.open(p, "wb", mtime="1"), TypeError), (lambda p: kavo.open(p, "wb", fname="a\0b"), ValueError),
    (lambda p: kavo.open(p, "wb", fname="\u20ac"), ValueError), (lambda p: kavo.open(p, "wb", fname=1), TypeError),
    (lambda p: kavo.open(p, "wb", format=1, mtime=1), ValueError), (lambda p: kavo.open(p, "rb", fname="x"), ValueError),
    (lambda p: kavo.compress(b"x", 1, 2, fname="x"), ValueError), (lambda p: kavo.compress(b"x", threads=300), ValueError),
])
def test_refusals(tmp_path, call, error):
    with pytest.raises(error):
        call(tmp_path / "f.gz")
    assert not (tmp_path / "f.gz").exists()


@pytest.mark.parametrize("level", [-1, *range(10)])
def test_levels_follow_the_standard_library_on_every_face(tmp_path, level):
    # 0 stores and every other level compresses, alike on each face but compressobj; so code moved
    # from gzip.open(f, "wb", 6) or zlib.compress(data, 6) compresses.
    data = DATA[:60000]
    obj = kavo.compressobj(0 if level == 0 else 1, 0)
    expected = obj.compress(data) + obj.flush()
    assert kavo.compress(data, level, 0) == kavo.zlib.compress(data, level, 31) == expected
    assert write_file(data, [], compresslevel=level) == expected
    (tmp_path / "in").write_bytes(data)
    digits = kavo_command(f"-{level}" if level >= 0 else "--fast", "-c", tmp_path / "in")
    assert digits.returncode == 0 and digits.stdout == expected
    assert kavo_command("-l", level, "-c", tmp_path / "in").stdout == expected


@pytest.mark.parametrize("level", [-2, 10, 99])
def test_levels_outside_the_rule_are_refused_alike(tmp_path, level):
    with pytest.raises(ValueError, match="-1 or 0 to 9"):
        kavo.compress(b"x", level)
    with pytest.raises(ValueError, match="-1 or 0 to 9"):
        kavo.open(tmp_path / "f.gz", "wb", level)
    assert not (tmp_path / "f.gz").exists()
    with pytest.raises(zlib.error):
        kavo.zlib.compress(b"x", level)
    run = kavo_command("-l", level, "-c", input=b"x")
    assert run.returncode == 1 and b"-1 or 0 to 9" in run.stderr and not run.stdout


@pytest.mark.parametrize("option, value, rule", [("-T", 257, "0 (every core) or 1 to 256"), ("-T", -1, "0 (every core)"),
                                                 ("-b", 0, "1 to 1073741824 bytes"), ("-b", "1025M", "1 to 1073741824")])
def test_thread_and_block_limits_are_the_modules(option, value, rule):
    # One rule in the module and the command: the same limits, named by the same words.
    keyword = {"-T": "threads", "-b": "block_size"}[option]
    with pytest.raises(ValueError, match=re.escape(rule)):
        kavo.open(io.BytesIO(), "wb", **{keyword: 1025 << 20 if value == "1025M" else value})
    run = kavo_command(option, value, "-c", input=b"x")
    assert run.returncode == 1 and rule.encode() in run.stderr


def test_gzip_open_arguments_by_position_and_keyword(tmp_path):
    path = tmp_path / "g.gz"
    with kavo.open(path, "wt", 6, "utf-8", "strict", "\r\n") as f:  # gzip.open's order
        f.write("text\n")
    with kavo.open(path) as f:  # gzip.open's default mode reads
        assert f.read() == b"text\r\n"
    defaults = {name: p.default for name, p in inspect.signature(gzip.open).parameters.items() if name != "filename"}
    with kavo.open(filename=path, **dict(defaults, mode="wt", encoding="latin-1")) as f:
        f.write("\xe9")
    assert gzip.decompress(path.read_bytes()) == b"\xe9"


@pytest.mark.parametrize("fname, stored", [("orig name.txt", b"orig name.txt"), ("\xe9t\xe9", b"\xe9t\xe9"),
                                           (b"raw\xff", b"raw\xff"), ("", None), (None, None)])
def test_gzip_header_fields_read_back_by_gzip(tmp_path, fname, stored):
    mtime, data = 1234567890, DATA[:3000]
    one_shot = kavo.compress(data, 1, 0, mtime=mtime, fname=fname)
    assert write_file(data, [], mtime=mtime, fname=fname) == one_shot
    header = bytes([0x1F, 0x8B, 8, 8 if stored else 0]) + mtime.to_bytes(4, "little") + b"\x04\x03"
    header += stored + b"\0" if stored else b""
    assert one_shot == header + kavo.compress(data, 1, 0)[10:]
    with gzip.GzipFile(fileobj=io.BytesIO(one_shot)) as g:
        assert g.read() == data and g.mtime == mtime
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "x.gz").write_bytes(one_shot)
    env = dict(os.environ, TZ="UTC")
    listing = subprocess.run(["gzip", "-lvN", "x.gz"], cwd=tmp_path / "in", env=env, capture_output=True, timeout=60)
    assert b"Feb 13 23:31" in listing.stdout and listing.stdout.rstrip().endswith(b"% " + (stored or b"x"))
    if fname == "orig name.txt":
        assert subprocess.run(["gzip", "-N", "-d", "x.gz"], cwd=tmp_path / "in", timeout=60).returncode == 0
        restored = tmp_path / "in" / "orig name.txt"
        assert restored.read_bytes() == data and os.stat(restored).st_mtime == mtime


class FailingFile(io.RawIOBase):
    """A file whose third write fails, as a full disk would."""

    def __init__(self):
        self.writes, self.data = 0, b""

    def writable(self):
        return True

    def write(self, b):
        self.writes += 1
        if self.writes >= 3:
            raise OSError(28, "No space left on device")
        self.data += bytes(b)
        return len(b)


@pytest.mark.parametrize("threads", [1, 2])
def test_a_failing_file_surfaces_and_stays_failed(threads):
    target = FailingFile()
    f = kavo.open(target, "wb", threads=threads, block_size=4096)
    with pytest.raises(OSError, match="No space"):
        for i in range(100):
            f.write(DATA[i * 4096:(i + 1) * 4096])
            f.flush()
    with pytest.raises(OSError):
        f.write(b"more")
    with pytest.raises(OSError):
        f.close()
    assert f.closed and target.writes >= 3
    with pytest.raises(ValueError, match="I/O operation on closed file"):
        f.write(b"x")
    # what reached the file is a valid prefix of the stream: everything up to its last sync flush
    assert DATA.startswith(zlib.decompressobj(31).decompress(target.data))


CHILD = """
    import gc, os, sys, threading, kavo, gzip
    path = sys.argv[1]
    def tasks():
        return len(os.listdir("/proc/self/task"))
    base = tasks()
    try:
        with kavo.open(path + ".1", "wb", threads=4, block_size=1000) as f:
            f.write(b"abc" * 10000)
            raise KeyboardInterrupt
    except KeyboardInterrupt:
        pass
    assert gzip.open(path + ".1").read() == b"abc" * 10000
    f = kavo.open(path + ".2", "wb", threads=4, block_size=1000)
    f.write(b"dropped " * 5000)
    del f
    gc.collect()
    assert gzip.open(path + ".2").read() == b"dropped " * 5000
    assert tasks() == base, "a worker thread outlived its writer"
    f = kavo.open(path + ".3", "wb", threads=2, block_size=1000)
    f.write(b"x" * 5000)
    pid = os.fork()
    if pid == 0:
        try:
            f.write(b"y")
            os._exit(3)
        except ValueError:
            pass
        with kavo.open(path + ".4", "wb", threads=2, block_size=100) as g:
            g.write(b"child " * 1000)
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    f.close()
    assert gzip.open(path + ".3").read() == b"x" * 5000
    assert gzip.open(path + ".4").read() == b"child " * 1000
    print("ok")
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task") or not hasattr(os, "fork"), reason="needs Linux")
def test_interrupts_dropped_writers_and_fork(tmp_path):
    assert run_child(CHILD, str(tmp_path / "f"), timeout=120).strip() == "ok"


# --- the kavo command -----------------------------------------------------------------------------

KAVO = shutil.which("kavo", path=sysconfig.get_path("scripts")) or shutil.which("kavo")


def kavo_command(*args, **kwargs):
    assert KAVO, "the kavo command is not installed (pip install .)"
    return subprocess.run([KAVO, *map(str, args)], capture_output=True, timeout=120, **kwargs)


@pytest.mark.parametrize("threads, block", [(1, "1M"), (2, "64K"), (4, "1000"), (0, "1M")])
def test_command_output_is_the_writers(tmp_path, threads, block):
    size = {"1M": 1 << 20, "64K": 65536, "1000": 1000}[block]
    path = tmp_path / "data"
    path.write_bytes(DATA)
    os.chmod(path, 0o640)
    os.utime(path, (1_000_000_000, 1_200_000_000))
    buf = io.BytesIO()
    with kavo.open(buf, "wb", block_size=size) as f:
        f.write(DATA)
    run = kavo_command("-T", threads, "-b", block, path)
    assert run.returncode == 0, run.stderr
    out = tmp_path / "data.gz"
    assert not path.exists() and out.read_bytes() == buf.getvalue()
    assert os.stat(out).st_mode & 0o777 == 0o640 and os.stat(out).st_mtime == 1_200_000_000
    piped = kavo_command(f"-T{threads}", f"-b{block}", input=DATA)
    assert piped.returncode == 0 and piped.stdout == buf.getvalue()
    assert subprocess.run(["pigz", "-t", str(out)], timeout=60).returncode == 0


def test_command_conventions(tmp_path):
    (tmp_path / "a").write_bytes(DATA[:5000])
    (tmp_path / "b.gz").write_bytes(b"x")
    keep = kavo_command("-k", "-v", tmp_path / "a")
    assert keep.returncode == 0 and (tmp_path / "a").exists() and b"saved" in keep.stderr
    assert kavo_command(tmp_path / "a").returncode == 1  # a.gz exists
    assert kavo_command("-f", "-S", ".kv", tmp_path / "a").returncode == 0
    assert gzip.decompress((tmp_path / "a.kv").read_bytes()) == DATA[:5000] and not (tmp_path / "a").exists()
    assert kavo_command(tmp_path / "b.gz").returncode == 2  # already has the suffix: a warning
    assert kavo_command("-c", tmp_path / "a.gz").returncode == 2
    assert kavo_command(tmp_path / "missing").returncode == 1
    assert kavo_command("-d", tmp_path / "b.gz").returncode == 1 and b"gzip -d" in kavo_command("-d").stderr
    assert kavo_command("--bogus").returncode == 1
    assert kavo_command("-h").returncode == 0 and kavo_command("-V").stdout.startswith(b"kavo ")
    stdout = kavo_command("-c", tmp_path / "a.gz", tmp_path / "a.kv")  # .gz refused, .kv compressed
    assert stdout.returncode == 2 and gzip.decompress(gzip.decompress(stdout.stdout)) == DATA[:5000]


def test_command_refuses_a_terminal_and_serves_tar(tmp_path):
    import pty
    controller, terminal = pty.openpty()
    try:
        run = subprocess.run([KAVO], input=b"data", stdout=terminal, stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(controller)
        os.close(terminal)
    assert run.returncode == 1 and b"terminal" in run.stderr
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "f").write_bytes(DATA)
    made = subprocess.run(["tar", "-I", KAVO, "-cf", "x.tar.gz", "dir"], cwd=tmp_path, timeout=60)
    assert made.returncode == 0
    (tmp_path / "out").mkdir()
    assert subprocess.run(["tar", "-xzf", "x.tar.gz", "-C", "out"], cwd=tmp_path, timeout=60).returncode == 0
    assert (tmp_path / "out" / "dir" / "f").read_bytes() == DATA
