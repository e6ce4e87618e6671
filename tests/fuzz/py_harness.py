"""Python-level fuzz harness: compressobj call sequences against the documented results and the reference encoder.

The input bytes are read as a program: constructor arguments (levels and formats in and out of
the signed 32-bit range, bools, __index__ objects, floats, strings, None, keywords), then a
sequence of calls: compress with pieces of many shapes, compress with arguments of the wrong
type, flush at any point, compress and flush after the flush. For every call the harness knows
what must happen:
  - arguments that do not convert raise TypeError and change nothing;
  - compress after flush raises ValueError("compress() called after flush()");
  - every flush after the first returns b"";
  - every valid call returns exactly the bytes of tests/reference.py for the same call, and the
    joined stream decodes with zlib to the joined input.
Any other outcome raises AssertionError (a crash of the interpreter is a finding too).

check_zlib_sequence(data) reads the bytes the same way as calls on kavo.zlib, made in step on the
standard zlib module: every refusal must be the standard module's (type and message), a flush
that the standard module answers with b"" must give b"" too, after every flush but Z_NO_FLUSH all
input so far must decode from the bytes so far, and no match may reach beyond the window. Among
its calls are methods of every kavo class called on a self that is None, foreign or never
constructed, which must raise TypeError.

Run it as a coverage-guided fuzzer with atheris (libFuzzer flags pass through; an input whose
first byte is odd goes to check_zlib_sequence):
    python tests/fuzz/py_harness.py -max_total_time=60 [CORPUS_DIR]
check_sequence(data) is also called directly by tests/test_fuzz_quick.py, without atheris.
"""
import os
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))  # tests/, for the reference encoder

import kavo  # noqa: E402
import kavo.zlib  # noqa: E402

if __name__ == "__main__":
    # Run as the fuzzer: coverage of the reference encoder guides it towards new call sequences.
    import atheris

    with atheris.instrument_imports(include=["reference"]):
        from reference import RefStream
else:
    from reference import RefStream

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
AFTER_FLUSH = "compress() called after flush()"
# The reference is plain Python; past this many input bytes a case checks decoding only.
REFERENCE_LIMIT = 1 << 14


class Index:
    """An int-like object: it converts through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class LyingBytes(bytes):
    """A bytes subclass whose length method lies; the real contents must be compressed."""

    def __len__(self):
        return 0


class Reader:
    """Takes values from the input bytes, front to back; reads zeros once they run out."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def left(self):
        return len(self.data) - self.pos

    def u8(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def u16(self):
        return self.u8() | (self.u8() << 8)

    def take(self, n):
        piece = self.data[self.pos:self.pos + n]
        self.pos += len(piece)
        return piece


# (argument value, its int value or None when it must be refused)
def int_argument(r):
    mode = r.u8() % 12
    if mode <= 3:
        v = r.u8() % 8 - 3
        return v, v
    if mode == 4:
        v = (INT32_MIN, INT32_MAX, INT32_MIN + 1, INT32_MAX - 1)[r.u8() % 4]
        return v, v
    if mode == 5:
        v = (INT32_MAX + 1, INT32_MIN - 1, 2**63, -(2**64), 10**30)[r.u8() % 5]
        return v, None
    if mode == 6:
        v = bool(r.u8() & 1)
        return v, int(v)
    if mode == 7:
        v = r.u8() % 6 - 2
        return Index(v), v
    if mode == 8:
        return Index(INT32_MAX + 1 + r.u8()), None
    if mode == 9:
        return float(r.u8() % 3), None
    if mode == 10:
        return ("1", None, b"\x01", [1])[r.u8() % 4], None
    v = (kavo.KAVO_FMT_GZIP, kavo.KAVO_FMT_ZLIB, kavo.KAVO_FMT_DEFLATE)[r.u8() % 3]
    return v, v


def piece(r):
    """Bytes for one compress call: raw input bytes, repeats, runs of bytes >= 144, or empty."""
    shape = r.u8() % 8
    if shape == 0:
        return b""
    if shape <= 3:
        return r.take(r.u8() % 64)
    if shape == 4:
        return r.take(r.u16() % 2048)
    if shape == 5:
        unit = r.take(1 + r.u8() % 8) or b"a"
        return unit * (1 + r.u16() % 700)
    if shape == 6:
        return bytes(144 + (i * 37 + r.u8()) % 112 for i in range(r.u8()))
    return bytes([r.u8()]) * (r.u16() % 1200)


def wrong_argument(r):
    """An argument that compress must refuse with TypeError."""
    data = r.take(r.u8() % 16)
    return (bytearray(data), memoryview(data), data.decode("latin-1"), None, len(data), [data])[r.u8() % 6]


def check_sequence(data):
    r = Reader(bytes(data))
    level, level_value = int_argument(r)
    fmt, fmt_value = int_argument(r)
    how = r.u8() % 4
    if how == 0:
        args, kwargs = (level, fmt), {}
    elif how == 1:
        args, kwargs = (), {"level": level, "format": fmt}
    elif how == 2:
        args, kwargs, fmt_value = (level,), {}, 2  # the format's default
    else:
        args, kwargs, level_value, fmt_value = (), {}, 1, 2

    if level_value is None or fmt_value is None:
        try:
            kavo.compressobj(*args, **kwargs)
        except TypeError:
            return
        raise AssertionError(f"compressobj{args, kwargs} accepted an argument it must refuse")

    obj = kavo.compressobj(*args, **kwargs)
    ref_fmt = fmt_value if fmt_value in (0, 1) else 2
    ref = RefStream(level_value & 1, ref_fmt)
    use_ref = True
    stream, inputs = [], []
    flushed = False
    steps = 0
    while r.left() > 0 and steps < 64:
        steps += 1
        op = r.u8() % 10
        if op <= 4 or op == 9:
            chunk = piece(r)
            arg = LyingBytes(chunk) if op == 9 else chunk
            if flushed:
                try:
                    obj.compress(arg)
                except ValueError as e:
                    assert str(e) == AFTER_FLUSH, str(e)
                    continue
                raise AssertionError("compress after flush did not raise ValueError")
            out = obj.compress(arg)
            assert type(out) is bytes
            inputs.append(chunk)
            if use_ref and sum(map(len, inputs)) > REFERENCE_LIMIT:
                use_ref = False
            if use_ref:
                expected = ref.encode(chunk, 1)
                assert out == expected, f"compress #{len(inputs)} differs from the reference"
            stream.append(out)
        elif op <= 6:
            bad = wrong_argument(r)
            try:
                obj.compress(bad)
            except TypeError:
                continue
            raise AssertionError(f"compress({type(bad).__name__}) did not raise TypeError")
        elif op == 7:
            out = obj.flush()
            if flushed:
                assert out == b"", "a second flush returned bytes"
                continue
            if use_ref:
                assert out == ref.finish(), "flush differs from the reference"
            stream.append(out)
            flushed = True
        else:
            try:
                if r.u8() & 1:
                    obj.compress()
                else:
                    obj.compress(b"", b"")
            except TypeError:
                continue
            raise AssertionError("compress with a wrong argument count did not raise TypeError")
    if not flushed:
        out = obj.flush()
        if use_ref:
            assert out == ref.finish(), "flush differs from the reference"
        stream.append(out)
    assert obj.flush() == b""

    wbits = {0: 31, 1: 15}.get(ref_fmt, -15)
    d = zlib.decompressobj(wbits)
    decoded = d.decompress(b"".join(stream))
    assert d.eof and not d.unused_data, "stream does not end cleanly"
    assert decoded == b"".join(inputs), "stream does not decode to its input"


def outcome(call):
    """(result, None) or (None, (exception type, message)) of a call."""
    try:
        return call(), None
    except Exception as e:  # noqa: BLE001 - the kind and text are what is compared
        return None, (type(e), str(e))


def same_refusal(error, std_error):
    """Both calls succeeded, or both raised the same. zlib.error's text names zlib's internal state
    ("inconsistent stream state" or "buffer error" for the same call after the end), so only its
    kind must agree."""
    if error and std_error and error[0] is std_error[0] is zlib.error:
        return True
    return error == std_error


def zlib_arguments(r):
    """compressobj arguments, valid ones most of the time, every option out of range sometimes."""
    wbits = (15, -15, 31, 9, -9, 25, 12, -12, 8, -8, 24, 16, 32, 7, -16, 0)[r.u8() % 16]
    kwargs = {"level": r.u8() % 13 - 2, "wbits": wbits}
    extra = r.u8()
    if extra & 1:
        kwargs["method"] = (8, 8, 7, 9)[r.u8() % 4]
    if extra & 2:
        kwargs["memLevel"] = r.u8() % 11
    if extra & 4:
        kwargs["strategy"] = r.u8() % 6 - 1
    if extra & 8:
        kwargs["zdict"] = (b"", b"dictionary", "text", memoryview(b"abc"))[r.u8() % 4]
    if extra & 16:
        kwargs["level"] = (1.0, "1", None, 2**40)[r.u8() % 4]
    return kwargs


def strict_decode(stream, wbits):
    """All of a finished stream, decoded with one byte of output room a call: every match is then
    copied out of the decoder's window, and a distance beyond it fails."""
    d = zlib.decompressobj(wbits)
    out, data = bytearray(), stream
    while not d.eof:
        got = d.decompress(data, 1)
        data = d.unconsumed_tail
        assert got or data or d.eof, "the stream ends before its final block"
        out += got
    assert not d.unused_data, "bytes after the end of the stream"
    return bytes(out)


def hostile_call(r):
    """A method of a kavo class called on None, a foreign object, an instance made by __new__ alone
    or one of a subclass that skipped the base constructor: TypeError, never a crash."""
    cls = (kavo.compressobj, kavo.zlib.Compress, kavo.Writer)[r.u8() % 3]
    names = sorted(n for n, v in vars(cls).items() if not n.startswith("_pybind11") and n not in ("__new__", "__init__")
                   and (callable(v) or isinstance(v, property)))
    attr = vars(cls)[names[r.u8() % len(names)]]
    call = attr.fget if isinstance(attr, property) else attr

    class Skipping(cls):
        def __init__(self, *args, **kwargs):
            pass

    self = (None, object(), cls.__new__(cls), Skipping.__new__(Skipping))[r.u8() % 4]
    args = ((), (b"data",), (b"data", 1))[r.u8() % 3]
    try:
        call(self, *args)
    except TypeError:
        return
    raise AssertionError(f"{cls.__name__}.{call.__name__}{args} ran on a self it must refuse")


def check_zlib_sequence(data):
    r = Reader(bytes(data))
    kwargs = zlib_arguments(r)
    got, error = outcome(lambda: kavo.zlib.compressobj(**kwargs))
    want, std_error = outcome(lambda: zlib.compressobj(**kwargs))
    assert error == std_error, f"compressobj({kwargs}): {error} where zlib gives {std_error}"
    if error:
        return
    obj, std = got, want
    w = abs(kwargs["wbits"]) % 16
    wbits = -max(w, 9) if kwargs["wbits"] < 0 else max(w, 9) + (16 if kwargs["wbits"] > 15 else 0)
    stream, inputs, finished = [], [], False
    for _ in range(48):
        if r.left() == 0:
            break
        op = r.u8() % 9
        if op == 8:
            hostile_call(r)
            continue
        if op <= 2:
            chunk = piece(r)
            arg = (chunk, bytearray(chunk), memoryview(chunk), chunk.decode("latin-1"))[r.u8() % 4]
            out, error = outcome(lambda: obj.compress(arg))
            _, std_error = outcome(lambda: std.compress(arg))
            assert same_refusal(error, std_error), f"compress: {error} where zlib gives {std_error}"
            if not error:
                stream.append(out)
                inputs.append(chunk)
        elif op <= 5:
            mode = (zlib.Z_SYNC_FLUSH, zlib.Z_FULL_FLUSH, zlib.Z_PARTIAL_FLUSH, zlib.Z_BLOCK, zlib.Z_TREES,
                    zlib.Z_NO_FLUSH, zlib.Z_FINISH, -1, 7)[r.u8() % 9]
            out, error = outcome(lambda: obj.flush(mode))
            std_out, std_error = outcome(lambda: std.flush(mode))
            assert same_refusal(error, std_error), f"flush({mode}): {error} where zlib gives {std_error}"
            if error:
                continue
            stream.append(out)
            # Sync and full flushes write exactly when zlib's do; kavo's partial and block flushes
            # are sync flushes, so they may write where zlib's have nothing to do, never less.
            if mode in (zlib.Z_SYNC_FLUSH, zlib.Z_FULL_FLUSH):
                assert (out == b"") == (std_out == b""), f"flush({mode}) gave {out!r}, zlib {std_out!r}"
            elif std_out:
                assert out, f"flush({mode}) gave b'', zlib {std_out!r}"
            if mode == zlib.Z_FINISH:
                finished = True
            elif mode != zlib.Z_NO_FLUSH:
                d = zlib.decompressobj(wbits)
                assert d.decompress(b"".join(stream)) == b"".join(inputs), f"flush({mode}) left input behind"
        elif op == 6:
            copied, error = outcome(obj.copy)
            _, std_error = outcome(std.copy)
            assert error == std_error, f"copy: {error} where zlib gives {std_error}"
            if not error:
                # the original ends here and must hold what it had; the copy goes on
                assert strict_decode(b"".join(stream) + obj.flush(), wbits) == b"".join(inputs)
                obj, std = copied, std.copy()
        else:
            # the finished or failed state of either is no different
            out, error = outcome(lambda: obj.compress(b"x") if finished else obj.flush(zlib.Z_NO_FLUSH))
            if finished:
                assert error == (zlib.error, "Error -2 while compressing data: inconsistent stream state")
            else:
                assert out == b""
    if not finished:
        stream.append(obj.flush())
    assert strict_decode(b"".join(stream), wbits) == b"".join(inputs), "stream does not decode to its input"


def check_any(data):
    """The fuzzer's entry: an odd first byte picks the kavo.zlib sequence."""
    if data[:1] and data[0] & 1:
        check_zlib_sequence(data[1:])
    else:
        check_sequence(data[1:])


def main():
    import atheris

    # The harness's own branches count as coverage too: they tell the call sequences apart.
    for name in ("int_argument", "piece", "wrong_argument", "check_sequence", "zlib_arguments",
                 "hostile_call", "check_zlib_sequence"):
        globals()[name] = atheris.instrument_func(globals()[name])
    atheris.Setup(sys.argv, check_any)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
