# Output room for every call, inputs beyond one engine call, and the failures of allocation, at their real sizes.
import importlib.util
import itertools
import random

import pytest

import kavo
import reference
from conftest import FORMATS, decode, kavo_pieces, mem_available, run_child


def slot(data, i):
    """The match finder's hash slot of the 4 bytes at i (the model's hash, which the engine shares)."""
    word = int.from_bytes(data[i:i + 4], "little")
    return ((word * reference.HASH_MULTIPLIER) & 0xFFFFFFFF) >> reference.HASH_SHIFT


def expanding_tile(units=700, seed=1):
    """Input that the fixed codes lengthen by 7%: runs of 51 bytes >= 144 (9-bit literals, one short of going
    out stored), each followed by a repeat of its last 4 bytes (a 12-bit match that resets the run).
    The runs are drawn so that every repeat is found and ends where it should: the words between the 4 bytes
    and their repeat do not evict them from their hash slot, and the next run does not lengthen the match.
    700 units are 38,500 bytes, beyond the 32 KiB window, so the tile repeated gives the same ratio."""
    rng = random.Random(seed)
    units_out = []
    prev = None
    while len(units_out) < units:
        run = bytes(rng.randrange(144, 256) for _ in range(51))
        unit = run + run[-4:]
        if prev is not None and run[0] == prev[47]:
            continue
        if any(slot(unit, i) == slot(unit, 47) for i in (48, 49, 50)):
            continue
        units_out.append(unit)
        prev = run
    return b"".join(units_out)


def rule_room(n):
    """The room that the plain growth rule gives a call: n + n / 16."""
    return n + n // 16


def model_pieces(data, level, fmt, splits):
    stream = reference.RefStream(level, fmt)
    pieces = [stream.encode(data[a:b]) for a, b in zip([0] + splits, splits + [len(data)])]
    return pieces + [stream.finish()]


# --- room for what a call writes ----------------------------------------------------------------

@pytest.mark.parametrize("fmt, level, byte", list(itertools.product(FORMATS, (0, 1), (0x41, 0xFF))))
def test_tiny_calls_with_pending_header(fmt, level, byte):
    # The first call writes the header (10 or 2 bytes) beyond its input, and a stored block adds 5 more.
    for n in range(0, 25):
        data = bytes([byte]) * n
        pieces = kavo_pieces(data, level, fmt)
        assert pieces == model_pieces(data, level, fmt, [])
        assert decode(b"".join(pieces), fmt) == data
    # Many tiny calls in one stream; 9-bit literals of 0xFF leave bits queued from call to call.
    data = bytes([byte, 1, 2, byte]) * 40
    splits = list(range(1, len(data), 3))
    pieces = kavo_pieces(data, level, fmt, splits)
    assert pieces == model_pieces(data, level, fmt, splits)


@pytest.mark.parametrize("fmt", FORMATS)
def test_short_stored_calls(fmt):
    # Each level-0 call of n bytes costs a 5-byte block head: beyond n + n/16 for every n under 80.
    data = bytes(random.Random(fmt).randrange(256) for _ in range(sum(range(101))))
    splits = list(itertools.accumulate(range(100)))
    pieces = kavo_pieces(data, 0, fmt, splits)
    assert pieces == model_pieces(data, 0, fmt, splits)
    assert any(len(p) > rule_room(b - a) for p, a, b in zip(pieces, [0] + splits, splits + [len(data)]))
    assert decode(b"".join(pieces), fmt) == data


@pytest.mark.parametrize("fmt", FORMATS)
def test_expanding_pattern_small(fmt):
    tile = expanding_tile()
    for data in (tile[:55], tile[:550], tile):
        pieces = kavo_pieces(data, 1, fmt)
        assert pieces == model_pieces(data, 1, fmt, [])
        body = pieces[0][10 if fmt == kavo.KAVO_FMT_GZIP else 2 if fmt == kavo.KAVO_FMT_ZLIB else 0:]
        if len(data) > 55:  # one unit alone leaves most of its bits queued
            assert len(body) > rule_room(len(data)), "the pattern no longer outgrows the plain rule"
        assert decode(b"".join(pieces), fmt) == data


def test_buffer_reused_across_growing_and_shrinking_calls():
    tile = expanding_tile()
    data = (tile + bytes(5000) + tile[:9000]) * 2
    sizes = [1, 40_000, 0, 3, 17_000, 2, 55, 9000, 100, 65_535, 70_000]
    splits = list(itertools.accumulate(sizes))
    splits = [s for s in splits if s < len(data)]
    for fmt in FORMATS:
        pieces = kavo_pieces(data, 1, fmt, splits)
        assert pieces == model_pieces(data, 1, fmt, splits)


def test_expanding_pattern_large():
    # 64 MiB that grows by 7%: a buffer sized by n + n/16 would be overrun by about 480 KB, past the end of
    # its mapping. Run apart so that such a crash fails this test alone.
    out = run_child("""
        import kavo
        from conftest import FORMATS, decode
        from test_limits import expanding_tile, rule_room
        tile = expanding_tile()
        data = tile * (64 * 2**20 // len(tile))
        for fmt in FORMATS:
            obj = kavo.compressobj(1, fmt)
            pieces = [obj.compress(data), obj.compress(data[:12345]), obj.flush()]
            assert len(pieces[0]) > rule_room(len(data)) + 400_000, len(pieces[0])
            assert decode(b"".join(pieces), fmt) == data + data[:12345]
        print("ok")
    """)
    assert out.strip() == "ok"


@pytest.mark.parametrize("fmt, level", list(itertools.product(FORMATS, (0, 1))))
def test_finish_after_queued_bits(fmt, level):
    # A flush can write up to 20 bytes (gzip with the header still pending), 14 after some input.
    for data in (b"", b"\xff", b"\xff" * 3, b"ab\xff", bytes(range(200, 231))):
        obj = kavo.compressobj(level, fmt)
        ref = reference.RefStream(level, fmt)
        assert obj.compress(data) == ref.encode(data)
        assert obj.flush() == ref.finish()
    assert len(kavo.compressobj(level, kavo.KAVO_FMT_GZIP).flush()) == 20


# --- inputs beyond one engine call --------------------------------------------------------------

BEYOND_LIMIT = """
    import hashlib, sys, zlib
    import kavo
    from conftest import CORPUS_FILES, LIMIT, corpus_dir

    EXTRA = 1_000_003
    TOTAL = LIMIT + EXTRA
    names = ("prose.txt",) + tuple(n for n in CORPUS_FILES if n != "prose.txt")
    files = [(corpus_dir() / n).read_bytes() for n in names]
    tile = b"".join(files)
    # The corpus repeated, placed so that the cut at LIMIT falls in the middle of the prose, where matches
    # reach back across it; and 2 KiB of period 4 right around the cut, where a cut even one byte off
    # would change the codes.
    shift = (len(files[0]) // 2 - LIMIT) % len(tile)
    MARK = b"kavo" * 512
    MARK_AT = LIMIT - len(MARK) // 2

    def periodic(start, length):
        first = tile[start % len(tile):][:length]
        whole, rest = divmod(length - len(first), len(tile))
        return [first] + [tile] * whole + [tile[:rest]]

    def build(lo, hi):
        # bytes lo..hi of the input, built in one allocation
        parts = []
        spans = ((0, MARK_AT, False), (MARK_AT, MARK_AT + len(MARK), True), (MARK_AT + len(MARK), TOTAL, False))
        for a, b, mark in spans:
            s, e = max(lo, a), min(hi, b)
            if s < e:
                parts += [MARK[s - a:e - a]] if mark else periodic(shift + s, e - s)
        return b"".join(parts)

    data = build(0, TOTAL)
    window = data[LIMIT - 65536:LIMIT + 65536]
    one, two = kavo.compressobj(1), kavo.compressobj(1)
    cut = two.compress(window[:65536]) + two.compress(window[65536:]) + two.flush()
    assert one.compress(window) + one.flush() != cut, "a cut at LIMIT would not show in the output"

    # One call with all of it, as gzip: the decoder checks CRC-32 and length across the cut as well.
    obj = kavo.compressobj(1, kavo.KAVO_FMT_GZIP)
    body = obj.compress(data)
    tail = obj.flush()
    assert obj.flush() == b""
    d = zlib.decompressobj(31)
    pos = 0
    for piece in (body, tail):
        for off in range(0, len(piece), 1 << 24):
            chunk = piece[off:off + (1 << 24)]
            while chunk:
                out = d.decompress(chunk, 1 << 26)
                assert out == data[pos:pos + len(out)], pos
                pos += len(out)
                chunk = d.unconsumed_tail
    assert d.eof and not d.unused_data and pos == len(data)
    # The deflate data between gzip's framing is the raw stream of the same calls.
    whole = hashlib.sha256(memoryview(body)[10:])
    whole.update(memoryview(tail)[:-8])
    del obj, body, tail, data, window

    # Raw deflate of the first LIMIT bytes and then the rest, on a fresh object: what the split must give.
    parts = hashlib.sha256()
    raw = kavo.compressobj(1, kavo.KAVO_FMT_DEFLATE)
    first = build(0, LIMIT)
    parts.update(raw.compress(first))
    del first
    parts.update(raw.compress(build(LIMIT, TOTAL)))
    parts.update(raw.flush())
    assert whole.digest() == parts.digest(), "output of a call beyond the limit is not that of the split"
    print("ok")
"""


def need_memory(gib):
    if mem_available() < gib * 2**30:
        pytest.skip(f"needs about {gib} GiB of free memory, {mem_available() / 2**30:.1f} GiB available")


def test_input_beyond_one_engine_call(corpus):
    need_memory(9)
    assert run_child(BEYOND_LIMIT, timeout=900).strip() == "ok"


EXPANDING_BEYOND_LIMIT = """
    import hashlib, zlib
    import kavo, kavo.zlib
    from conftest import LIMIT
    from test_limits import expanding_tile

    tile = expanding_tile()
    total = LIMIT + 1_000_003
    whole, rest = divmod(total, len(tile))
    data = b"".join([tile] * whole + [tile[:rest]])
    obj = kavo.compressobj(1, kavo.KAVO_FMT_DEFLATE)
    body = obj.compress(data)
    assert len(body) > 2**31, len(body)
    tail = obj.flush()
    h = hashlib.sha256(body)
    h.update(tail)
    digest = h.digest()
    d = zlib.decompressobj(-15)
    pos = 0
    for piece in (body, tail):
        for off in range(0, len(piece), 1 << 24):
            out = d.decompress(piece[off:off + (1 << 24)])
            assert out == data[pos:pos + len(out)], pos
            pos += len(out)
    assert d.eof and pos == total
    del body, d
    # The one-call forms cut the input the same way, read in place from any buffer.
    for one_call in (lambda: kavo.compress(memoryview(data)), lambda: kavo.zlib.compress(data, 1, -15)):
        assert hashlib.sha256(one_call()).digest() == digest
    print("ok")
"""


def test_expanding_input_beyond_one_engine_call():
    # The first engine call gets LIMIT bytes that grow by 7%, to more than 2**31 - 1 bytes of output: more
    # than the engine's int count can say, so the module must count from the cursor.
    need_memory(9)
    assert run_child(EXPANDING_BEYOND_LIMIT, timeout=900).strip() == "ok"


# --- allocation failures ------------------------------------------------------------------------

# The result is created at the largest size the call may write, before the engine runs, and cut to size
# afterwards. Lowering the address-space limit just above what the process maps makes that creation fail
# for real: the stream has not moved, so the object goes on as if the call had not been made.
RESULT_NOT_CREATED = """
    import random, resource
    import kavo
    from conftest import FORMATS, decode

    N = 64 * 2**20
    data = random.Random(7).randbytes(N)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)

    def mapped():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

    for fmt in FORMATS:
        obj = kavo.compressobj(1, fmt)
        head = obj.compress(b"abc")
        resource.setrlimit(resource.RLIMIT_AS, (mapped() + N // 2, hard))  # room for about 1.13 N is needed
        try:
            obj.compress(data)
        except RuntimeError as e:
            err = e
        else:
            err = None
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert err is not None, "the result was created under the lowered limit"
        assert str(err) == "Could not allocate bytes object!", str(err)
        assert isinstance(err.__cause__, MemoryError), type(err.__cause__)
        stream = head + obj.compress(data) + obj.flush()
        assert decode(stream, fmt) == b"abc" + data
        fresh = kavo.compressobj(1, fmt)
        assert stream == fresh.compress(b"abc") + fresh.compress(data) + fresh.flush()
    print("ok")
"""


def test_result_not_created_leaves_stream_untouched():
    assert run_child(RESULT_NOT_CREATED).strip() == "ok"


# Cutting the result to size, and the small result of flush, are allocations that follow the engine call:
# when they fail, the output of the call is lost and the object must refuse all further work. The
# address-space limit cannot make a shrinking reallocation fail, so CPython's own fault injection
# (_testcapi.set_nomemory) fails the k-th allocation of a call, for each k in turn.
INJECTED = """
    import _testcapi
    import kavo
    from conftest import FORMATS, decode

    MESSAGE = "Could not allocate bytes object!"
    data = bytes(range(256)) * 400

    def inject(call, k):
        _testcapi.set_nomemory(k, k + 1)
        try:
            call()
        except RuntimeError as e:
            return e
        finally:
            _testcapi.remove_mem_hooks()
        return None

    def refuses_everything(obj):
        # An empty compress first: on a live stream it writes nothing and changes nothing.
        for call in (lambda: obj.compress(b""), lambda: obj.compress(b"x"), obj.flush, obj.flush):
            try:
                call()
            except RuntimeError:
                continue
            return False
        return True

    for fmt in FORMATS:
        fresh = kavo.compressobj(1, fmt)
        expected = fresh.compress(b"abc") + fresh.compress(data) + fresh.flush()
        seen = set()
        for k in range(12):
            obj = kavo.compressobj(1, fmt)
            head = obj.compress(b"abc")
            compress = obj.compress
            err = inject(lambda: compress(data), k)
            if err is None:
                seen.add("none")
                continue
            assert str(err) == MESSAGE and isinstance(err.__cause__, MemoryError), (k, err, err.__cause__)
            if refuses_everything(obj):
                seen.add("lost")
            else:
                # Not created: nothing was encoded, and the stream goes on unchanged.
                stream = head + obj.compress(data) + obj.flush()
                assert stream == expected, k
                seen.add("untouched")
        assert seen == {"none", "lost", "untouched"}, seen

        lost_flush = False
        for k in range(4):
            obj = kavo.compressobj(1, fmt)
            obj.compress(data)
            err = inject(obj.flush, k)
            if err is not None:
                assert str(err) == MESSAGE and isinstance(err.__cause__, MemoryError), (k, err)
                assert refuses_everything(obj), k
                lost_flush = True
        assert lost_flush
    print("ok")
"""


def test_output_lost_after_engine_call_disables_object():
    if importlib.util.find_spec("_testcapi") is None:
        pytest.skip("this interpreter has no _testcapi module (CPython's allocation fault injection)")
    assert run_child(INJECTED).strip() == "ok"
