"""Writes the seed corpus of the engine fuzz target (tests/fuzz/corpus/): the encoder's threshold cases.

Run `python tests/fuzz/make_corpus.py` after changing the target's input layout (described at the
top of fuzz_engine.cpp); the files are committed, so the fuzzer and the replay tests start from
every rule's edge instead of waiting for the fuzzer to stumble on them. Each file is small: long
inputs are described by the target's generator (a gap of filler between copies of the data).
"""
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

GZIP, ZLIB, RAW = 0, 1, 2
# Generator kinds (fuzz_engine.cpp append_filler).
ZEROS, RANDOM, HIGH, LOW, WORST, LETTERS, HIGH_PAIR, LOW_PAIR = range(8)


def seed(level=1, fmt=RAW, data=b"", pieces=(), last_final=False, gen=None, after_finish=False,
         separate_header=False, big_level=False, tail_high=0):
    """The target's input for one case; gen = (kind, gap, repeats, seed), tail_high bytes >= 144 end each gap."""
    b0 = (level & 1) | (fmt << 1) | (8 if last_final else 0)
    if gen is not None:
        b0 |= 16 | (gen[0] << 5)
    assert len(pieces) < 32
    b1 = len(pieces) | (32 if after_finish else 0) | (64 if separate_header else 0) | (128 if big_level else 0)
    out = bytearray([b0, b1])
    if gen is not None:
        _, gap, repeats, gseed = gen
        assert 0 <= gap < 65536 and 1 <= repeats <= 4
        assert 0 <= tail_high <= 3
        out += bytes([gap & 0xFF, gap >> 8, (repeats - 1) | (tail_high << 2), gseed])
    for p in pieces:
        assert 0 <= p < 65536
        out += bytes([p & 0xFF, p >> 8])
    return bytes(out) + bytes(data)


def cases():
    rnd = random.Random(1951)
    high = lambda n: bytes(rnd.randrange(144, 256) for _ in range(n))  # noqa: E731
    yield "empty_raw", seed()
    for fmt, name in ((GZIP, "gzip"), (ZLIB, "zlib")):
        for level in (0, 1):
            yield f"empty_{name}_l{level}", seed(level, fmt)
            yield f"header_alone_{name}_l{level}", seed(level, fmt, b"abcabc", separate_header=True)
    yield "abc", seed(1, RAW, b"abc")
    yield "abcdabcd", seed(1, RAW, b"abcdabcd")
    yield "x300_y5", seed(1, RAW, b"x" * 300 + b"y" * 5)
    yield "ffff_words", seed(1, RAW, b"\xff" * 40)  # the empty slot's word must not match
    yield "short_final", seed(1, RAW, b"ab", last_final=True)

    # Runs of bytes >= 144 around the stored threshold, before a match and at the end.
    for n in (50, 51, 52, 53):
        run = high(n)
        yield f"high{n}_then_match", seed(1, RAW, run + b"abcdabcd")
        yield f"high{n}_at_end", seed(1, RAW, b"abcdabcd" + run)
        yield f"high{n}_at_end_final", seed(1, GZIP, b"abcdabcd" + run, last_final=True)
        yield f"high{n}_level0_final", seed(0, ZLIB, run, last_final=True)
    # While a run is bound for storage, 4- and 5-byte matches are refused and 6-byte ones taken.
    for m in (4, 5, 6, 7):
        word = bytes(range(0x41, 0x41 + m))
        yield f"high52_match{m}", seed(1, RAW, high(52) + word + b"\x01" + word + b"\x02")
        yield f"high51_match{m}", seed(1, RAW, high(51) + word + b"\x01" + word + b"\x02")

    # A 4-byte word repeated at the distances where the cost rule changes, with 0, 1 and 2
    # bytes >= 144 pending before the repeat: zeros between the copies touch one slot only, so
    # the first copy stays in its slot.
    for dist in (4096, 4097, 8192, 8193, 16384, 16385, 32768, 32769):
        for highs in (0, 1, 2):
            gen = (ZEROS, dist - 4 - highs, 1, 0)
            yield f"dist{dist}_high{highs}", seed(1, RAW, b"WXYZ", gen=gen, tail_high=highs)
        yield f"dist{dist}_long", seed(1, GZIP, b"QRSTUVWXYZ", gen=(LETTERS, dist - 10, 2, 7))

    # Match lengths at the 258 cap and around it, also across calls.
    for n in (257, 258, 259, 260, 262, 517, 1000):
        yield f"run_a{n}", seed(1, RAW, b"a" * n)
    yield "run_a258_split", seed(1, ZLIB, b"a" * 600, pieces=(258, 1, 259))
    yield "match_ends_call_final", seed(1, RAW, b"abcdefgh" * 8, last_final=True)

    # Tiny calls: every piece 0 to 3 bytes, at both levels and in every format.
    text = b"the quick brown fox jumps over the lazy dog; the quick brown fox"
    for fmt in (GZIP, ZLIB, RAW):
        for level in (0, 1):
            pieces = tuple(rnd.randrange(0, 4) for _ in range(31))
            yield f"tiny_calls_f{fmt}_l{level}", seed(level, fmt, text, pieces=pieces)
    yield "one_byte_calls_level0", seed(0, RAW, bytes(range(31)), pieces=(1,) * 31)
    yield "empty_calls", seed(1, GZIP, b"abcdabcd", pieces=(0,) * 31)

    # Stored block sizes around 65535 at level 0, and long runs at level 1.
    yield "stored_65535", seed(0, RAW, b"", gen=(RANDOM, 65535, 1, 1))
    yield "stored_65536", seed(0, GZIP, b"z", gen=(RANDOM, 65535, 1, 2))
    yield "stored_131070", seed(0, RAW, b"", gen=(RANDOM, 65535, 2, 3), last_final=True)
    yield "stored_runs_level1", seed(1, GZIP, b"", gen=(HIGH, 65535, 2, 4), pieces=(4464,))
    yield "high_pairs", seed(1, RAW, b"", gen=(HIGH_PAIR, 3000, 1, 5))
    yield "low_pairs", seed(1, ZLIB, b"", gen=(LOW_PAIR, 3000, 1, 6))

    # The patterns that expand most: 51 high bytes and a 4-byte repeat, at both levels.
    yield "worst_level1", seed(1, RAW, b"", gen=(WORST, 20000, 1, 8))
    yield "worst_level1_gzip_split", seed(1, GZIP, b"", gen=(WORST, 8000, 2, 9), pieces=(55, 55, 1000, 3))
    yield "worst_level1_final", seed(1, ZLIB, b"", gen=(WORST, 5000, 1, 10), last_final=True)

    # Calls after the finish, and a level passed as a larger int.
    yield "after_finish_l1", seed(1, GZIP, text, after_finish=True)
    yield "after_finish_l0", seed(0, ZLIB, text, after_finish=True)
    yield "after_final_block", seed(1, RAW, high(60), last_final=True, after_finish=True)
    yield "big_level_even", seed(0, RAW, text, big_level=True)
    yield "big_level_odd", seed(1, GZIP, text, big_level=True)


def main():
    os.makedirs(CORPUS, exist_ok=True)
    names = set()
    for name, data in cases():
        assert name not in names, name
        names.add(name)
        with open(os.path.join(CORPUS, name), "wb") as f:
            f.write(data)
    stale = [n for n in os.listdir(CORPUS) if n not in names]
    for n in stale:
        os.remove(os.path.join(CORPUS, n))
    print(f"{len(names)} seeds in {CORPUS}", file=sys.stderr)


if __name__ == "__main__":
    main()
