# Round trips of kavo's streams through independent decoders, and byte-for-byte agreement with the pure-Python model.
import gzip
import io
import itertools
import random
import subprocess
import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kavo
import reference
from conftest import CORPUS_FILES, ENGINE_VARIANTS, FORMATS, bounds, decode, engine_variant, kavo_pieces, tool_or_skip


def make_text(size, seed):
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"etaoinshrdlucmfw") for _ in range(rng.randint(1, 9))) for _ in range(300)]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + rng.choice((b" ", b" ", b", ", b".\n"))
    return bytes(out[:size])


def make_high_runs(size, seed):
    """Bytes >= 144 only (9-bit literal codes), in stretches that repeat: stored runs and matches mixed."""
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        chunk = bytes(rng.randrange(144, 256) for _ in range(rng.randint(1, 120)))
        out += chunk * rng.randint(1, 3)
    return bytes(out[:size])


GENERATED = {
    "empty": b"",
    "one": b"\x00",
    "two-high": b"\xff\x90",
    "three": b"abc",
    "text": make_text(40_000, 1),
    "random": random.Random(2).randbytes(30_000),
    "runs": b"".join(bytes([b]) * n for b, n in zip(random.Random(3).randbytes(60),
                                                   itertools.cycle((1, 3, 4, 5, 258, 259, 1000, 2000)))),
    "high": make_high_runs(30_000, 4),
    "zeros-70k": bytes(70_000),  # more than one stored block's 65535 bytes at level 0
}


def split_sets(n):
    """Ways to cut n bytes: whole, empty pieces around it, fixed steps, single bytes at the edges, random."""
    rng = random.Random(n)
    return {
        "whole": (),
        "empties": (0, 0, n, n),
        "step-1000": tuple(range(1000, n, 1000)),
        "edges": (1, 2, 3, max(n - 3, 3), max(n - 1, 3)),
        "random": tuple(sorted(rng.randrange(n + 1) for _ in range(12))),
    }


def ref_pieces(data, level, fmt, splits):
    stream = reference.RefStream(level, fmt)
    pieces = [stream.encode(data[a:b]) for a, b in bounds(len(data), splits)]
    pieces.append(stream.finish())
    return pieces


# --- generated data, every level and format: decoders and the model -----------------------------

# Every format and level, and two of the numbers that stand for them (level 2 is 0, 3 is 1; 5 and -1 are raw).
LEVEL_FORMATS = list(itertools.product((0, 1), FORMATS)) + [(2, 5), (3, -1)]


@pytest.mark.parametrize("name", GENERATED)
@pytest.mark.parametrize("level, fmt", LEVEL_FORMATS)
def test_generated_data(name, level, fmt):
    data = GENERATED[name]
    for split_name, splits in split_sets(len(data)).items():
        pieces = kavo_pieces(data, level, fmt, splits)
        stream = b"".join(pieces)
        assert decode(stream, fmt) == data, split_name
        # Byte for byte as the model writes it, call by call.
        assert pieces == ref_pieces(data, level, fmt, splits), split_name
    assert stream == reference.compress(data, level, fmt, splits)


@pytest.mark.parametrize("variant", ENGINE_VARIANTS)
@pytest.mark.parametrize("fmt", FORMATS)
def test_every_engine_variant_writes_the_models_bytes(variant, fmt):
    """Each compiled form of the level-1 engine, chosen in turn, against the model on every split."""
    with engine_variant(variant):
        assert kavo._engine_variant() == variant
        for name, data in GENERATED.items():
            for split_name, splits in split_sets(len(data)).items():
                assert kavo_pieces(data, 1, fmt, splits) == ref_pieces(data, 1, fmt, splits), (name, split_name)


@pytest.mark.parametrize("variant", ENGINE_VARIANTS)
def test_every_engine_variant_writes_the_baselines_bytes_on_the_corpus(corpus, variant):
    """Whole files in one call, on two threads (the parallel parse and its log), and in a window of 2^9
    (the scan with the reach in a register): the same bytes from every form."""
    import kavo.zlib as kzlib

    def streams(data):
        return (kavo.compress(data), kavo._compress_plan(data, 1, 2, 2, 0, 0)[0],
                kzlib.compress(data[:300_000], 1, -9))

    with engine_variant("baseline"):
        expected = {name: streams(corpus[name]) for name in CORPUS_FILES}
    with engine_variant(variant):
        for name in CORPUS_FILES:
            assert streams(corpus[name]) == expected[name], name
    assert decode(expected["prose.txt"][2], 2) == corpus["prose.txt"][:300_000]


@pytest.mark.parametrize("name", ("text", "random", "high", "three"))
def test_gzip_module_and_zlib_defaults_read_our_streams(name):
    data = GENERATED[name]
    for level in (0, 1):
        gz = b"".join(kavo_pieces(data, level, kavo.KAVO_FMT_GZIP, (7, 5000)))
        assert gzip.decompress(gz) == data
        with gzip.GzipFile(fileobj=io.BytesIO(gz + gz)) as two_members:  # members concatenate
            assert two_members.read() == data + data
        zl = b"".join(kavo_pieces(data, level, kavo.KAVO_FMT_ZLIB, (7, 5000)))
        assert zlib.decompress(zl) == data


# --- the corpus ---------------------------------------------------------------------------------

@pytest.mark.parametrize("level", (0, 1))
@pytest.mark.parametrize("fmt", FORMATS)
def test_corpus_round_trip(corpus, fmt, level):
    for name in CORPUS_FILES:
        data = corpus[name]
        rng = random.Random(name)
        for splits in ((), range(65_536, len(data), 65_536),
                       sorted(rng.randrange(len(data)) for _ in range(40))):
            assert decode(b"".join(kavo_pieces(data, level, fmt, splits)), fmt) == data, (name, splits)


@pytest.fixture(scope="module")
def gzip_cli():
    return tool_or_skip("gzip", "gzip")


@pytest.mark.parametrize("level", (0, 1))
def test_gzip_command_line_reads_corpus_streams(corpus, gzip_cli, level):
    for name in CORPUS_FILES:
        data = corpus[name]
        member = b"".join(kavo_pieces(data, level, kavo.KAVO_FMT_GZIP, range(100_000, len(data), 1_000_003)))
        check = subprocess.run([gzip_cli, "-t"], input=member, capture_output=True, timeout=120)
        assert check.returncode == 0, (name, check.stderr)
        out = subprocess.run([gzip_cli, "-dc"], input=member, capture_output=True, timeout=120)
        assert out.returncode == 0 and out.stdout == data, (name, out.stderr)


def test_gzip_command_line_reads_generated_streams(gzip_cli):
    for (name, data), level in itertools.product(GENERATED.items(), (0, 1)):
        member = b"".join(kavo_pieces(data, level, kavo.KAVO_FMT_GZIP, (1, 1000)))
        out = subprocess.run([gzip_cli, "-dc"], input=member, capture_output=True, timeout=60)
        assert out.returncode == 0 and out.stdout == data, (name, level, out.stderr)


@pytest.mark.parametrize("name", CORPUS_FILES)
def test_corpus_slices_match_model(corpus, name):
    # The model is pure Python: slices of about 48 KB, from the start and from the middle of each file.
    data = corpus[name]
    index = CORPUS_FILES.index(name)
    for start, level in ((0, 1), (len(data) // 2, 1), (len(data) // 3, 0)):
        piece = data[start:start + 48_000]
        fmt = FORMATS[(index + start) % 3]
        for splits in ((), (1, 2, 3, 4096, 4097, 40_000), (24_000,)):
            assert kavo_pieces(piece, level, fmt, splits) == ref_pieces(piece, level, fmt, splits), \
                (name, start, level, fmt, splits)


# --- property: any input, any cut, any level and format number ----------------------------------

chunks = st.one_of(
    st.binary(max_size=300),
    st.builds(lambda b, n: b * n, st.binary(min_size=1, max_size=40), st.integers(1, 80)),  # repeats: matches
    st.builds(lambda b, n: bytes(x | 0x90 for x in b) * n, st.binary(min_size=1, max_size=80), st.integers(1, 3)),
)
inputs = st.lists(chunks, max_size=12).map(lambda parts: b"".join(parts)[:6000])


@settings(max_examples=300, deadline=None)
@given(data=inputs, cut=st.lists(st.integers(0, 6000), max_size=8), level=st.integers(0, 3),
       fmt=st.integers(-1, 5))
def test_any_input_any_split(data, cut, level, fmt):
    splits = sorted(min(c, len(data)) for c in cut)
    stream = b"".join(kavo_pieces(data, level, fmt, splits))
    assert decode(stream, fmt) == data
    assert stream == reference.compress(data, level, fmt, splits)
