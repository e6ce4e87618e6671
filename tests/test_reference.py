# Checks of the pure-Python oracle (reference.py) against known vectors, RFC 1951 and Python's zlib decoder.
import os
import random
import sys
import zlib

import pytest

# The oracle sits next to this file; make it importable however pytest was started.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from reference import (  # noqa: E402
    FMT_DEFLATE, FMT_GZIP, FMT_ZLIB, ST_BETWEEN_BLOCKS, ST_FINISHED, ST_HEADER_PENDING,
    ST_IN_FIXED, ST_IN_LAST_FIXED, ST_TRAILER_DONE, RefStream, adler32_bytewise, compress,
    crc32_bytewise, distance_table_entry, fixed_distance_code, fixed_length_code,
    fixed_literal_code, length_table_entry, literal_table_entry,
)

WBITS = {FMT_DEFLATE: -15, FMT_ZLIB: 15, FMT_GZIP: 31}
GZ_HEAD = "1f8b0800000000000403"
H4, H5 = bytes(range(200, 204)), bytes(range(200, 205))  # distinct bytes with 9-bit literal codes
H52 = bytes(range(144, 196))


def E(data, more=1):
    return ("encode", data, more)


F = ("finish",)


def run_ops(stream, ops):
    return [stream.encode(op[1], op[2]) if op[0] == "encode" else stream.finish() for op in ops]


def decode(out, fmt):
    d = zlib.decompressobj(WBITS[fmt])
    data = d.decompress(out)
    assert d.eof and not d.unused_data
    return data


# --- exact vectors -------------------------------------------------------------------------------

# (level, format, calls, per-call output as hex or as a byte count, queued bits after, state after)
VECTORS = {
    "raw-empty": (1, FMT_DEFLATE, [F], ["0300"], 0, ST_FINISHED),
    "abc-stays-queued": (1, FMT_DEFLATE, [E(b"abc")], [""], 27, ST_IN_FIXED),
    "abcdabcd": (1, FMT_DEFLATE, [E(b"abcdabcd")], [4], 15, ST_IN_FIXED),
    "x300-y5": (1, FMT_DEFLATE, [E(b"x" * 300 + b"y" * 5)], ["aa18054487402508"], 2, ST_IN_FIXED),
    "stored-abc": (0, FMT_DEFLATE, [E(b"abc")], ["000300fcff616263"], 0, ST_BETWEEN_BLOCKS),
    "stored-abc-final": (0, FMT_DEFLATE, [E(b"abc", 0)], ["010300fcff616263"], 0, ST_FINISHED),
    "stored-65536-final": (0, FMT_DEFLATE, [E(bytes(65536), 0)], [65546], 0, ST_FINISHED),
    "stored-then-finish": (0, FMT_DEFLATE, [E(b"abc"), F], ["000300fcff616263", "0300"], 0, ST_FINISHED),
    "final-stored-then-finish": (0, FMT_DEFLATE, [E(b"abc", 0), F], [8, ""], 0, ST_FINISHED),
    "level2-is-0": (2, FMT_DEFLATE, [E(b"abc")], ["000300fcff616263"], 0, ST_BETWEEN_BLOCKS),
    "level3-is-1": (3, FMT_DEFLATE, [E(b"abc")], [""], 27, ST_IN_FIXED),
    "format-minus1-raw": (1, -1, [F], ["0300"], 0, ST_FINISHED),
    "format5-raw": (1, 5, [F], ["0300"], 0, ST_FINISHED),
    # 3 + 2*8 + 5*9 = 64 bits: two whole words, nothing queued
    "open-block-empty-queue-finish": (1, FMT_DEFLATE, [E(b"ab" + H5), F], [8, "800100"], 0, ST_FINISHED),
    "last-block-empty-queue-finish": (1, FMT_DEFLATE, [E(b"ab" + H5, 0), F], [8, "00"], 0, ST_FINISHED),
    # 3 + 3*8 + 4*9 = 63 bits: one word out, 31 queued
    "open-block-31-bits-finish": (1, FMT_DEFLATE, [E(b"abc" + H4), F], [4, 6], 0, ST_FINISHED),
    "stored-run-closes-open-block": (1, FMT_DEFLATE, [E(b"ab" + H5), E(H52)],
                                     [8, "00003400cbff" + H52.hex()], 0, ST_BETWEEN_BLOCKS),
    "stored-run-final": (1, FMT_DEFLATE, [E(H52, 0), F], ["013400cbff" + H52.hex(), ""], 0, ST_FINISHED),
    "final-literals-in-open-block": (1, FMT_DEFLATE, [E(b"abc"), E(b"de", 0)], ["", 4], 21, ST_IN_LAST_FIXED),
    "match-at-end-stays-open": (1, FMT_DEFLATE, [E(b"abcdabcd", 0)], [4], 15, ST_IN_FIXED),
    "empty-l1-final": (1, FMT_DEFLATE, [E(b"", 0)], [""], 0, ST_BETWEEN_BLOCKS),
    "empty-l0-final": (0, FMT_DEFLATE, [E(b"", 0)], [""], 0, ST_BETWEEN_BLOCKS),
    "empty-in-open-block": (1, FMT_DEFLATE, [E(b"abc"), E(b"", 0)], ["", ""], 27, ST_IN_FIXED),
    "raw-second-finish": (1, FMT_DEFLATE, [F, F], ["0300", ""], 0, ST_FINISHED),
    "encode-after-finish": (1, FMT_DEFLATE, [F, E(b"abc")], ["0300", ""], 24, ST_FINISHED),
    "gzip-empty": (1, FMT_GZIP, [F], [GZ_HEAD + "0300" + "00" * 8], 0, ST_TRAILER_DONE),
    "zlib-empty": (1, FMT_ZLIB, [F], ["7801030000000001"], 0, ST_TRAILER_DONE),
    "gzip-empty-l0": (0, FMT_GZIP, [F], [GZ_HEAD + "0300" + "00" * 8], 0, ST_TRAILER_DONE),
    "gzip-second-finish": (1, FMT_GZIP, [F, F], [20, "0300" + "00" * 8], 0, ST_TRAILER_DONE),
    "zlib-second-finish": (1, FMT_ZLIB, [F, F], [8, "030000000001"], 0, ST_TRAILER_DONE),
    "gzip-header-on-empty-encode-l0": (0, FMT_GZIP, [E(b"")], [GZ_HEAD], 0, ST_BETWEEN_BLOCKS),
    "gzip-header-on-empty-encode-l1": (1, FMT_GZIP, [E(b"")], [GZ_HEAD], 0, ST_BETWEEN_BLOCKS),
    "zlib-header-on-empty-encode-l0": (0, FMT_ZLIB, [E(b"")], ["7801"], 0, ST_BETWEEN_BLOCKS),
    "zlib-header-on-empty-encode-l1": (1, FMT_ZLIB, [E(b""), E(b"")], ["7801", ""], 0, ST_BETWEEN_BLOCKS),
    "gzip-stored-abc": (0, FMT_GZIP, [E(b"abc"), F],
                        [GZ_HEAD + "000300fcff616263", "0300" + "c2412435" + "03000000"], 0, ST_TRAILER_DONE),
    "zlib-stored-abc": (0, FMT_ZLIB, [E(b"abc"), F], ["7801000300fcff616263", "0300024d0127"], 0, ST_TRAILER_DONE),
    "zlib-stored-abc-final": (0, FMT_ZLIB, [E(b"abc", 0), F], ["7801010300fcff616263", "024d0127"], 0, ST_TRAILER_DONE),
}


@pytest.mark.parametrize("level, fmt, ops, outputs, queued, state", VECTORS.values(), ids=VECTORS.keys())
def test_vectors(level, fmt, ops, outputs, queued, state):
    s = RefStream(level, fmt)
    got = run_ops(s, ops)
    assert [len(g) if isinstance(w, int) else g.hex() for g, w in zip(got, outputs)] == outputs
    assert (s.queued_bits, s.state) == (queued, state)


def test_stream_fields_after_init():
    fields = lambda s: (s.state, s.level, s.format, s.checksum, s.input_total, s.bit_queue, s.queued_bits)
    assert fields(RefStream(1, FMT_GZIP)) == (ST_HEADER_PENDING, 1, FMT_GZIP, 0, 0, 0, 0)
    assert fields(RefStream(2, FMT_ZLIB)) == (ST_HEADER_PENDING, 0, FMT_ZLIB, 1, 0, 0, 0)
    assert fields(RefStream(-1, 7)) == (ST_BETWEEN_BLOCKS, 1, FMT_DEFLATE, 0, 0, 0, 0)


@pytest.mark.parametrize("fmt, header, trailer", [(FMT_GZIP, GZ_HEAD, "c241243503000000"), (FMT_ZLIB, "7801", "024d0127")])
def test_send_header_once_and_trailer(fmt, header, trailer):
    s = RefStream(1, fmt)
    assert s.send_header().hex() == header and s.state == ST_BETWEEN_BLOCKS
    out = s.encode(b"abc") + s.finish()
    assert not out.hex().startswith(header) and out.hex().endswith(trailer)
    assert decode(bytes.fromhex(header) + out, fmt) == b"abc"


def test_input_total_wraps():
    s = RefStream(1, FMT_GZIP)
    s.input_total = 0xFFFFFFFF
    s.encode(b"xyz")
    assert s.input_total == 2 and s.finish()[-4:] == bytes([2, 0, 0, 0])


# --- bit output ----------------------------------------------------------------------------------

@pytest.mark.parametrize("pushes, written, flushed", [
    ([(3, 3), (0, 7)], "", "0300"),
    ([(0x7FFFFFFF, 31), (1, 1)], "ffffffff", ""),
    ([(0x155, 9)], "", "5501"),
    ([], "", ""),
    ([(0x7FFFFFFF, 31), (0x3FFFF, 18)], "ffffffff", "ffff01"),
])
def test_push_and_flush(pushes, written, flushed):
    s = RefStream()
    for value, n in pushes:
        s.push_bits(value, n)
    assert s.out.hex() == written
    s.out = bytearray()
    s.flush_to_byte()
    assert (s.out.hex(), s.bit_queue, s.queued_bits) == (flushed, 0, 0)


# --- code tables -----------------------------------------------------------------------------------

TELLING = [
    (literal_table_entry, 0, 0x00C8), (literal_table_entry, 65, 0x08E8), (literal_table_entry, 143, 0x0FD8),
    (literal_table_entry, 144, 0x0139), (literal_table_entry, 255, 0x1FF9), (literal_table_entry, 256, 0x0007),
    (length_table_entry, 0, 0), (length_table_entry, 1, 0), (length_table_entry, 2, 0),
    (length_table_entry, 3, 0x00070040), (length_table_entry, 4, 0x00070020), (length_table_entry, 11, 0x00080048),
    (length_table_entry, 12, 0x000800C8), (length_table_entry, 115, 0x000C0003),
    (length_table_entry, 257, 0x000D1E23), (length_table_entry, 258, 0x000800A3),
    (distance_table_entry, 0, 0x05), (distance_table_entry, 1, 0x0205), (distance_table_entry, 4, 0x86),
    (distance_table_entry, 5, 0x0486), (distance_table_entry, 16383, 0x003FFF71),
    (distance_table_entry, 16384, 0xF2), (distance_table_entry, 32767, 0x007FFEF2),
]


@pytest.mark.parametrize("table, index, entry", TELLING, ids=[f"{t.__name__}-{i}" for t, i, _ in TELLING])
def test_telling_entries(table, index, entry):
    assert table(index) == entry


def test_literal_codes_follow_rfc_ranges():
    # RFC 1951 3.2.6: the fixed literal/length code as ranges of consecutive codes
    ranges = [(0, 143, 8, 0x30), (144, 255, 9, 0x190), (256, 279, 7, 0x00), (280, 287, 8, 0xC0)]
    for first, last, n, code0 in ranges:
        for sym in range(first, last + 1):
            value, bits = fixed_literal_code(sym)
            msb_first = int(format(value, f"0{n}b")[::-1], 2)
            assert (bits, msb_first) == (n, code0 + sym - first)
            assert literal_table_entry(sym) == (value << 4) | n


def fixed_block(items):
    """One final fixed block holding the given (value, nbits) codes, as bytes."""
    s = RefStream()
    s.push_bits(3, 3)
    for value, n in items:
        s.push_bits(value, n)
    s.push_bits(0, 7)
    s.flush_to_byte()
    return bytes(s.out)


def test_every_literal_and_length_decodes():
    lengths = range(3, 259)
    items = [fixed_literal_code(b) for b in range(256)]
    for L in lengths:
        items += [fixed_length_code(L), fixed_distance_code(1)]
        assert length_table_entry(L) == (fixed_length_code(L)[1] << 16) | fixed_length_code(L)[0]
    assert zlib.decompress(fixed_block(items), -15) == bytes(range(256)) + b"\xff" * sum(lengths)


def test_every_distance_decodes():
    rng = random.Random(5)
    expected = bytearray(rng.getrandbits(8) for _ in range(32768))
    items = [fixed_literal_code(b) for b in expected]
    for d in range(1, 32769):
        items += [fixed_length_code(3), fixed_distance_code(d)]
        assert distance_table_entry(d - 1) == (fixed_distance_code(d)[0] << 5) | fixed_distance_code(d)[1]
        for _ in range(3):
            expected.append(expected[-d])
    assert zlib.decompress(fixed_block(items), -15) == bytes(expected)


@pytest.mark.parametrize("bad", [lambda: fixed_length_code(2), lambda: fixed_length_code(259),
                                 lambda: fixed_distance_code(0), lambda: fixed_distance_code(32769)])
def test_codes_out_of_range_refused(bad):
    with pytest.raises(ValueError):
        bad()


# --- checksums -------------------------------------------------------------------------------------

@pytest.mark.parametrize("data", [b"", b"abc", bytes(1), bytes(19), b"\xff" * 8192, b"\xff" * 12289,
                                  bytes(random.Random(2).getrandbits(8) for _ in range(4097))],
                         ids=["empty", "abc", "zero1", "zero19", "ff8192", "ff12289", "random4097"])
def test_checksums_match_zlib(data):
    assert crc32_bytewise(0, data) == zlib.crc32(data)
    assert adler32_bytewise(1, data) == zlib.adler32(data)
    cut = len(data) // 3
    assert crc32_bytewise(crc32_bytewise(0, data[:cut]), data[cut:]) == zlib.crc32(data)
    assert adler32_bytewise(adler32_bytewise(1, data[:cut]), data[cut:]) == zlib.adler32(data)


def test_checksum_known_values():
    assert (crc32_bytewise(0, b"abc"), adler32_bytewise(1, b"abc")) == (0x352441C2, 0x024D0127)
    assert crc32_bytewise(0, b"\0") != 0


# --- greedy decisions ------------------------------------------------------------------------------

def events_of(data, more=1, level=1):
    s = RefStream(level)
    s.events = []
    s.encode(data, more)
    return s.events


def slot_of(word_bytes):
    return ((int.from_bytes(word_bytes, "little") * 524351) & 0xFFFFFFFF) >> 19


def gap_input(distance, high, tail=4):
    """`tail` low bytes, filler, then the same bytes again `distance` on: their first word is the only
    repeated one and is never evicted from its hash slot; the first `high` filler bytes are 144 or more."""
    for seed in range(100):
        rng = random.Random(seed)
        head = bytes(rng.randrange(144) for _ in range(tail))
        data = bytearray(head)
        while len(data) < distance:
            hi = len(data) - tail < high
            data.append(rng.randrange(144, 256) if hi else rng.randrange(144))
        data += head
        words = [bytes(data[i:i + 4]) for i in range(len(data) - 3)]
        inner = words[1:distance]
        if len(set(inner)) == len(inner) and words[0] not in inner and slot_of(words[0]) not in map(slot_of, inner):
            return bytes(data)
    raise AssertionError("no filler found")


@pytest.mark.parametrize("distance, high, tail, matched", [
    (8192, 0, 4, True), (8193, 0, 4, False), (16384, 1, 4, True), (16385, 1, 4, False),
    (32768, 2, 4, True), (32768, 0, 5, True), (32769, 0, 8, False), (20000, 51, 4, True),
])
def test_distance_and_cost_rules(distance, high, tail, matched):
    data = gap_input(distance, high, tail)
    expected = [("literals", data[:distance]), ("match", tail, distance)] if matched else [("literals", data)]
    assert events_of(data) == expected


@pytest.mark.parametrize("n, k", [(51, 4), (51, 8), (52, 4), (52, 5), (52, 6), (52, 8), (60, 5)])
def test_high_count_threshold(n, k):
    run = bytes(range(144, 144 + n))
    data = run + run[:k] + b"\x00"
    if n < 52:
        expected = [("literals", run), ("match", k, n), ("literals", b"\x00")]
    elif k >= 6:
        expected = [("stored", run), ("match", k, n), ("literals", b"\x00")]
    else:
        expected = [("stored", data)]  # rejected short match: the run grows to the end and goes out stored
    assert events_of(data) == expected
    assert decode(compress(data), FMT_DEFLATE) == data


@pytest.mark.parametrize("data, expected", [
    (bytes(range(145, 196)) + b"\x8f", "literals"),  # 51 high bytes, the 52nd byte 143 in the tail
    (bytes(range(145, 196)) + b"\x90", "stored"),  # the tail's 144 brings the count to 52
    (b"\x90" + bytes(range(145, 196)), "stored"),  # the same 144 met during the scan
])
def test_high_count_counts_every_byte_from_144(data, expected):
    assert events_of(data) == [(expected, data)]


@pytest.mark.parametrize("data, expected", [
    (b"x" * 300 + b"y" * 5,
     [("literals", b"x"), ("match", 258, 1), ("match", 41, 258), ("literals", b"y"), ("match", 4, 1)]),
    (b"\xff" * 10, [("literals", b"\xff"), ("match", 9, 1)]),  # an empty slot never matches, not even ff ff ff ff
    (b"abcdabcd", [("literals", b"abcd"), ("match", 4, 4)]),
])
def test_greedy_decisions(data, expected):
    assert events_of(data) == expected


def test_fresh_table_per_call():
    s = RefStream()
    s.events = []
    s.encode(b"abcdefgh")
    s.encode(b"abcdefgh")
    assert s.events == [("literals", b"abcdefgh")] * 2


@pytest.mark.parametrize("data", [b"", b"a", b"ab", b"\xf0\xf1\xf2"])
@pytest.mark.parametrize("more", [0, 1])
def test_short_input_is_literals(data, more):
    assert events_of(data, more) == ([("literals", data)] if data else [])


# --- round trips through zlib, with the per-call invariants ------------------------------------------

def high_runs_with_repeats(groups, run_len, rng):
    """Runs of distinct high bytes, each followed by a repeat of its last 4 bytes: the growth worst case."""
    out = bytearray()
    for _ in range(groups):
        run = bytes(rng.sample(range(144, 256), run_len))
        out += run + run[-4:]
    return bytes(out)


def make_inputs():
    rng = random.Random(1951)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(300)]
    block = bytes(rng.getrandbits(8) for _ in range(20000))
    return {
        "empty": b"",
        "one": b"a",
        "three-high": b"\xff\xfe\xfd",
        "text": b" ".join(rng.choice(words) for _ in range(4000)),
        "random": bytes(rng.getrandbits(8) for _ in range(20000)),
        "runs": b"".join(bytes([rng.getrandbits(8)]) * rng.randint(1, 600) for _ in range(200)),
        "zeros": bytes(70000),
        "high-random-70000": bytes(rng.randrange(144, 256) for _ in range(70000)),
        "far-repeat": block + block,
        "high51-repeats": high_runs_with_repeats(100, 51, rng),
        "high52-repeats": high_runs_with_repeats(100, 52, rng),
        "high-then-long-match": bytes(range(144, 256)) * 30 + b"tail",
        "mixed": b"".join(rng.choice([bytes(rng.randrange(144, 256) for _ in range(rng.randint(1, 120))),
                                      rng.choice(words) * rng.randint(1, 9), bytes([rng.randrange(256)]) * 300])
                          for _ in range(150)),
    }


INPUTS = make_inputs()
SPLITS = {
    "whole": lambda n: (),
    "tiny-first": lambda n: tuple(sorted({min(1, n), min(3, n)})),
    "halves": lambda n: (n // 2,),
    "every-997": lambda n: tuple(range(997, n, 997)),
}


def encode_checked(stream, pieces, last_more):
    """Encode the pieces (the last with last_more), then finish; check the invariants after every call."""
    out = []
    for i, piece in enumerate(pieces):
        more = last_more if i == len(pieces) - 1 else 1
        stream.events = []
        header = 10 if stream.state == ST_HEADER_PENDING and stream.format == FMT_GZIP else \
            2 if stream.state == ST_HEADER_PENDING else 0
        got = stream.encode(piece, more)
        n = len(piece)
        assert len(got) - header <= min((9 * n + 44) // 8, n + n // 8 + 6)
        if not any(e[0] == "stored" for e in stream.events):
            assert (len(got) - header) % 4 == 0  # coded blocks leave the queue only in whole words
        out.append(got)
        assert 0 <= stream.bit_queue < (1 << stream.queued_bits) and stream.queued_bits <= 31
        if stream.state not in (ST_IN_FIXED, ST_IN_LAST_FIXED):
            assert stream.queued_bits == 0
    out.append(stream.finish())
    assert stream.queued_bits == 0 and stream.state in (ST_FINISHED, ST_TRAILER_DONE)
    return b"".join(out)


def cut(data, offsets):
    bounds = [0, *offsets, len(data)]
    return [data[a:b] for a, b in zip(bounds, bounds[1:])]


@pytest.mark.parametrize("last_more", [1, 0])
@pytest.mark.parametrize("split", SPLITS.keys())
@pytest.mark.parametrize("level", [1, 0])
@pytest.mark.parametrize("name", INPUTS.keys())
def test_raw_round_trip(name, level, split, last_more):
    data = INPUTS[name]
    offsets = SPLITS[split](len(data))
    out = encode_checked(RefStream(level), cut(data, offsets), last_more)
    assert decode(out, FMT_DEFLATE) == data
    if last_more:
        assert out == compress(data, level, FMT_DEFLATE, offsets)


@pytest.mark.parametrize("fmt", [FMT_GZIP, FMT_ZLIB])
@pytest.mark.parametrize("level", [1, 0])
@pytest.mark.parametrize("name", INPUTS.keys())
def test_container_round_trip(name, level, fmt):
    data = INPUTS[name]
    offsets = SPLITS["every-997"](len(data))
    s = RefStream(level, fmt)
    out = encode_checked(s, cut(data, offsets), 1)
    assert decode(out, fmt) == data
    head, tail = (10, 8) if fmt == FMT_GZIP else (2, 4)
    assert out[head:-tail] == compress(data, level, FMT_DEFLATE, offsets)  # same deflate bytes in every format
    assert s.checksum == (zlib.crc32(data) if fmt == FMT_GZIP else zlib.adler32(data))
    assert s.input_total == len(data)


def test_fixed_codes_can_outgrow_one_sixteenth():
    data = INPUTS["high51-repeats"]
    s = RefStream()
    out = s.encode(data)
    assert len(data) + len(data) // 16 < len(out) <= (9 * len(data) + 44) // 8


@pytest.mark.parametrize("size", [65535, 65536, 131070, 131071])
@pytest.mark.parametrize("more", [1, 0])
def test_stored_block_layout(size, more):
    data = random.Random(size).randbytes(size)
    out = RefStream(0).encode(data, more)
    blocks, i = [], 0
    while i < len(out):
        header, length, nlength = out[i], int.from_bytes(out[i + 1:i + 3], "little"), int.from_bytes(out[i + 3:i + 5], "little")
        assert length ^ nlength == 0xFFFF
        blocks.append((header, length))
        i += 5 + length
    sizes = [65535] * (size // 65535) + ([size % 65535] if size % 65535 else [])
    assert blocks == [(int(more == 0 and j == len(sizes) - 1), n) for j, n in enumerate(sizes)]
    assert b"".join(out[k + 5:k + 5 + 65535] for k in range(0, len(out), 65540)) == data
