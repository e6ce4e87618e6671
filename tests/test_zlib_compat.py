# kavo.zlib against the standard zlib module: the same names, the same refusals, kavo's own bytes;
# kavo.compress on every kind of buffer.
import array
import copy
import mmap
import sys
import zlib
from pathlib import Path

import numpy
import pytest
from hypothesis import given, settings, strategies as st

import kavo
import kavo.zlib as kz
from conftest import FORMATS, wbits

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))
import py_harness  # noqa: E402

TEXT = b"".join(b"%d: the quick brown fox jumps over the lazy dog %d times\n" % (i, i * i) for i in range(3000))
PASSED_THROUGH = sorted(n for n in dir(zlib) if not n.startswith("__") and n not in ("compress", "compressobj"))


def test_import_forms_and_the_standard_names():
    from kavo import zlib as imported
    assert imported is kz is kavo.zlib is sys.modules["kavo.zlib"]
    for name in PASSED_THROUGH:
        assert getattr(kz, name) is getattr(zlib, name), name


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("level", [-1, 0, 1, 6, 9])
def test_same_bytes_as_compressobj(fmt, level):
    pieces = [TEXT[:1], TEXT[1:5000], b"", TEXT[5000:]]
    ours = kavo.compressobj(0 if level == 0 else 1, fmt)
    expected = b"".join(ours.compress(p) for p in pieces) + ours.flush()
    obj = kz.compressobj(level, zlib.DEFLATED, wbits(fmt))
    assert b"".join(obj.compress(p) for p in pieces) + obj.flush() == expected
    whole = kavo.compressobj(0 if level == 0 else 1, fmt)
    assert kz.compress(TEXT, level, wbits(fmt)) == whole.compress(TEXT) + whole.flush()


def refusal(call):
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the kind and text are what is compared
        return type(e), str(e)
    return None


def finished(module):
    obj = module.compressobj()
    obj.flush()
    return obj


@pytest.mark.parametrize("call", [
    lambda z: z.compressobj(10), lambda z: z.compressobj(-2), lambda z: z.compressobj(1, 9),
    lambda z: z.compressobj(1, 8, 7), lambda z: z.compressobj(1, 8, -8), lambda z: z.compressobj(1, 8, 24),
    lambda z: z.compressobj(1, 8, 32), lambda z: z.compressobj(1, 8, 15, 0), lambda z: z.compressobj(1, 8, 15, 10),
    lambda z: z.compressobj(1, 8, 15, 8, 5), lambda z: z.compressobj(1, 8, 31, zdict=b"ab"),
    lambda z: z.compressobj(zdict="ab"), lambda z: z.compressobj(level="1"), lambda z: z.compressobj(2**40),
    lambda z: z.compressobj(1.0), lambda z: z.compress(b"x", 10),
    pytest.param(lambda z: z.compress(b"x", 1, 24),
                 marks=pytest.mark.skipif(sys.version_info < (3, 11), reason="zlib.compress takes wbits from 3.11 on")),
    lambda z: z.compress("x"), lambda z: z.compress(memoryview(b"abcd")[::2]),
    lambda z: z.compressobj().compress("x"), lambda z: z.compressobj().compress(memoryview(b"abcd")[::2]),
    lambda z: z.compressobj().flush(7), lambda z: z.compressobj().flush(-1), lambda z: z.compressobj().flush(2**40),
    lambda z: finished(z).compress(b"x"), lambda z: finished(z).flush(), lambda z: finished(z).copy(),
    lambda z: finished(z).flush(z.Z_NO_FLUSH), lambda z: z.compressobj(1, 8, 8, 1, 4, b""),
])
def test_refusals_are_the_standard_modules(call):
    assert refusal(lambda: call(kz)) == refusal(lambda: call(zlib))


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda b: array.array("I", b),
                                  lambda b: numpy.frombuffer(b, numpy.uint8).reshape(-1, 8), "mmap"])
def test_any_contiguous_buffer(make, tmp_path):
    data = TEXT[: len(TEXT) // 8 * 8]
    if make == "mmap":
        (tmp_path / "f").write_bytes(data)
        with open(tmp_path / "f", "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            obj = kz.compressobj(1, zlib.DEFLATED, -15)
            assert obj.compress(m) + obj.flush() == kz.compress(data, 1, -15)
        return
    obj = kz.compressobj(1, zlib.DEFLATED, -15)
    assert obj.compress(make(data)) + obj.flush() == kz.compress(make(data), 1, -15) == kz.compress(data, 1, -15)
    for level, fmt in ((0, 0), (1, 1), (3, 2), (1, 7)):
        whole = kavo.compressobj(level, fmt)
        assert kavo.compress(make(data), level, fmt) == whole.compress(data) + whole.flush()


@pytest.mark.parametrize("bad, error", [("text", TypeError), (None, TypeError), (memoryview(TEXT)[::2], BufferError)])
def test_kavo_compress_refuses_what_zlib_compress_refuses(bad, error):
    with pytest.raises(error):
        kavo.compress(bad)
    with pytest.raises(error):
        zlib.compress(bad)


@pytest.mark.parametrize("window", range(8, 16))
@pytest.mark.parametrize("container", [0, -1, 16])  # zlib, raw, gzip: wbits = sign * window + 16
def test_window_caps_every_distance(window, container):
    # Repeats at 300 to 20000 bytes back: a match beyond the window fails the decoder's strict read.
    rng = numpy.random.default_rng(window)
    unit = rng.integers(0, 256, 20000, dtype=numpy.uint8).tobytes()
    data = b"".join(unit[: 300 + 1700 * i] for i in range(12))
    w = -window if container == -1 else window + container
    if window == 8 and container != 0:
        return  # raw deflate and gzip with a window of 2^8 are refused, as zlib refuses them
    out = kz.compress(data, 1, w)
    effective = max(window, 9)
    assert py_harness.strict_decode(out, -effective if w < 0 else effective + container) == data
    if container == 0:
        assert out[0] == 0x08 | (effective - 8) << 4 and int.from_bytes(out[:2], "big") % 31 == 0
    assert len(out) < len(data)  # matches were found within the window


def test_sync_flush_rules_and_copies():
    obj = kz.compressobj(1, zlib.DEFLATED, -12)
    d = zlib.decompressobj(-12)
    for piece in (TEXT[:100], b"", TEXT[100:9000]):
        out = obj.compress(piece) + obj.flush(zlib.Z_SYNC_FLUSH)
        assert out.endswith(b"\x00\x00\xff\xff")
        d.decompress(out)
        assert obj.flush(zlib.Z_SYNC_FLUSH) == obj.flush(zlib.Z_PARTIAL_FLUSH) == b""  # none stronger
    for twin in (obj.copy(), copy.copy(obj), copy.deepcopy(obj)):
        assert zlib.decompressobj(-12).decompress(twin.compress(b"twin") + twin.flush()) == b"twin"
    assert d.decompress(obj.compress(b"end") + obj.flush()) + d.flush() == b"end"
    assert d.eof


@settings(max_examples=150, deadline=None)
@given(st.binary(max_size=3000))
def test_call_sequences_in_step_with_zlib(program):
    py_harness.check_zlib_sequence(program)
