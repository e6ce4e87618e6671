# kavo across threads: parallel objects and one call on several threads agree with one thread, the interpreter
# lock is let go, one object is serialised.
import itertools
import random
import sys
import tempfile
import threading
import time
import zlib
from pathlib import Path

import pytest

import kavo
import kavo.zlib
import reference
from conftest import FORMATS, bounds, decode, run_child

CONFIGS = list(itertools.product((0, 1), FORMATS))  # (level, format)


def test_objects_on_eight_threads_match_one_thread(corpus):
    data = b"".join(corpus[name] for name in ("prose.txt", "elf.bin", "json.txt", "random.bin"))
    rng = random.Random(8)
    splits = sorted(rng.randrange(len(data)) for _ in range(300))
    pieces = bounds(len(data), splits)
    jobs = [CONFIGS[i % len(CONFIGS)] for i in range(8)]

    # One thread, all objects at once, a call of each in turn: objects also share one thread's state.
    objects = [kavo.compressobj(level, fmt) for level, fmt in jobs]
    serial = [[] for _ in jobs]
    for a, b in pieces:
        for out, obj in zip(serial, objects):
            out.append(obj.compress(data[a:b]))
    for out, obj in zip(serial, objects):
        out.append(obj.flush())

    parallel = [None] * len(jobs)
    start = threading.Barrier(len(jobs))

    def work(i):
        obj = kavo.compressobj(*jobs[i])
        start.wait()
        parallel[i] = [obj.compress(data[a:b]) for a, b in pieces] + [obj.flush()]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, (level, fmt) in enumerate(jobs):
        assert parallel[i] == serial[i], (level, fmt)
        assert decode(b"".join(serial[i]), fmt) == data


def hard_inputs():
    """Inputs whose speculative parses join late or never: periods, runs, edited repeats, far 4-byte copies."""
    rng = random.Random(13)
    unit = rng.randbytes(4096)
    edited = bytearray()
    for i in range(120):
        edited += unit
        edited[rng.randrange(len(edited))] ^= 0x5A
    far = bytearray(rng.randbytes(40000))
    while len(far) < 3_000_000:
        far += bytes(b | 0x80 if rng.random() < 0.2 else b & 0x7F for b in rng.randbytes(9))
        far += far[-16384:-16380]
    return {"period 2": b"ab" * 1_500_000, "run": b"\x00" * 3_000_000, "period 32768": rng.randbytes(32768) * 96,
            "edited repeats": bytes(edited) * 6, "far copies": bytes(far),
            "text then random": (b"the lazy dog and the quick fox " * 70000)[:2_000_000] + rng.randbytes(1_500_000)}


def test_compress_on_threads_matches_one_thread(corpus):
    inputs = dict(corpus, **hard_inputs())
    inputs["whole corpus"] = b"".join(corpus.values())
    for name, data in inputs.items():
        for level, fmt in CONFIGS:
            one = kavo.compress(data, level, fmt)
            for threads in (2, 0, 5):
                assert kavo.compress(data, level, fmt, threads=threads) == one, (name, level, fmt, threads)
        # Small chunks and start logs: joins, takeovers and chunks no thread reached on every input.
        one = kavo.compress(data)
        for threads, chunk, span in ((2, 200_000, 50_000), (7, 65_536, 40_000), (3, 1 << 20, 0)):
            out, report = kavo._compress_plan(data, 1, 2, threads, chunk, span)
            assert out == one, (name, threads, chunk, span)
            assert report["parsed"] >= len(data) and report["threads"] <= threads
    assert decode(kavo.compress(inputs["whole corpus"], 1, 0, threads=2), 0) == inputs["whole corpus"]


@pytest.mark.parametrize("threads", [-1, 257])
def test_compress_refuses_a_thread_count_as_the_writer_does(threads):
    with pytest.raises(ValueError, match="threads must be 0"):
        kavo.compress(b"x", threads=threads)
    with pytest.raises(TypeError):
        kavo.compress(b"x", 1, 2, 2)  # threads is keyword-only


@pytest.mark.parametrize("make", [lambda: kavo.compressobj(1, kavo.KAVO_FMT_GZIP),
                                  lambda: kavo.zlib.compressobj(1, zlib.DEFLATED, 31)], ids=["compressobj", "zlib"])
def test_interpreter_lock_released_while_compressing(make):
    # With a switch interval far beyond the test, the counting thread can run only when the compressing
    # thread lets the lock go by itself: the count moves during the call exactly when compress releases it.
    words = [bytes(random.Random(i).choices(b"abcdefghij klmnop", k=random.Random(-i).randint(2, 12)))
             for i in range(2000)]
    text = b" ".join(random.Random(9).choices(words, k=200_000))
    data = text * (64 * 2**20 // len(text))
    count = [0]
    stop = threading.Event()
    running = threading.Event()

    def counter():
        running.set()
        while not stop.is_set():
            count[0] += 1
            if count[0] % 64 == 0:
                time.sleep(0)  # hand the lock back, so that the compressing thread can return

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        t = threading.Thread(target=counter)
        t.start()
        running.wait()
        obj = make()
        before = count[0]
        out = obj.compress(data)
        during = count[0] - before
        stop.set()
        t.join()
    finally:
        sys.setswitchinterval(old)
    assert during > 0, "no other thread ran while 64 MiB were compressed"
    assert decode(out + obj.flush(), kavo.KAVO_FMT_GZIP) == data


def aligned_piece():
    """A piece whose fixed-code encoding fills whole 32-bit words at every format: after a first call has
    opened the block, every call on it writes the same bytes and leaves the same queue, in any order."""
    base = b"so it goes, and so it goes again; " * 30 + bytes(range(32, 127))
    for pad in range(64):
        piece = base + bytes(range(200, 200 + pad))
        outs = []
        for fmt in FORMATS:
            stream = reference.RefStream(1, fmt)
            stream.encode(piece)
            queued = stream.queued_bits
            a, b = stream.encode(piece), stream.encode(piece)
            outs.append(a == b and stream.queued_bits == queued)
        if all(outs):
            return piece
    raise AssertionError("no padding makes the piece fill whole words")


HAMMER = """
    import random, sys, threading, zlib
    import kavo
    from conftest import FORMATS, decode

    THREADS = 4
    piece = open(sys.argv[1], "rb").read()

    def hammer(obj, work):
        start = threading.Barrier(THREADS)
        def run(t):
            start.wait()
            work(t)
        threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    # 1. Identical pieces at level 1: every call writes the same bytes, so the stream has one right answer
    #    whatever the order; the checksum and length in the trailer must count every call once.
    for fmt in FORMATS:
        obj = kavo.compressobj(1, fmt)
        first = obj.compress(piece)
        outs = []
        def same(t):
            for _ in range(300):
                outs.append(obj.compress(piece))
        hammer(obj, same)
        assert len(set(outs)) == 1, "calls on one object overlapped"
        assert decode(first + b"".join(outs) + obj.flush(), fmt) == piece * (1 + 300 * THREADS)

    # 2. Level 0, raw deflate: each call's output is a whole stored block on its own, so any order decodes.
    #    Each thread sends its own bytes, in sizes that make the buffer grow again and again; one thread
    #    ends the stream part way, after which every call must be refused.
    obj = kavo.compressobj(0, kavo.KAVO_FMT_DEFLATE)
    done, refused, ends = [], [], []
    def stored(t):
        rng = random.Random(t)
        for i in range(400):
            if t == 0 and i == 250:
                ends.append(obj.flush())
                continue
            size = rng.choice((0, 1, 100, 5000, 70_000)) + (i * 1000 if t == 1 else 0)
            data = bytes([t + 1]) * size + rng.randbytes(64)
            try:
                done.append((data, obj.compress(data)))
            except ValueError:
                refused.append(t)
                return
    hammer(obj, stored)
    assert len(ends) == 1 and obj.flush() == b""
    assert 0 in refused  # the flushing thread goes on; the others may have finished before the flush
    stream = b"".join(out for _, out in done) + ends[0]
    assert decode(stream, kavo.KAVO_FMT_DEFLATE) == b"".join(data for data, _ in done)
    print("ok", len(done), len(refused))
"""


def test_one_object_hammered_from_four_threads():
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "piece"
        path.write_bytes(aligned_piece())
        out = run_child(HAMMER, path)
    assert out.startswith("ok")
