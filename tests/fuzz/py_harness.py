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

Run it as a coverage-guided fuzzer with atheris (libFuzzer flags pass through):
    python tests/fuzz/py_harness.py -max_total_time=60 [CORPUS_DIR]
check_sequence(data) is also called directly by tests/test_fuzz_quick.py, without atheris.
"""
import os
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))  # tests/, for the reference encoder

import kavo  # noqa: E402

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


def main():
    import atheris

    # The harness's own branches count as coverage too: they tell the call sequences apart.
    for name in ("int_argument", "piece", "wrong_argument", "check_sequence"):
        globals()[name] = atheris.instrument_func(globals()[name])
    atheris.Setup(sys.argv, check_sequence)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
