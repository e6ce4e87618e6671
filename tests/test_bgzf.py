# BGZF output (kavo.open(bgzf=True), kavo.compress_bgzf, kavo --bgzf): its definition, its index, and htslib's tools.
import gc
import gzip
import hashlib
import io
import random
import struct
import subprocess
import zlib

import pytest
from hypothesis import given, settings, strategies as st

import kavo
from conftest import tool_or_skip
from test_files import DATA, KAVO, kavo_command

HEAD = bytes.fromhex("1f8b08040000000000ff060042430200")  # every member's first 16 bytes
EOF = HEAD + bytes.fromhex("1b000300") + bytes(8)
INPUT = 65280


def member(chunk, level=1):
    """A member as defined: the one-shot raw deflate of its input, stored when the member would pass 65536 bytes."""
    body = kavo.compress(chunk, level, kavo.KAVO_FMT_DEFLATE)
    if len(body) + 26 > 65536:
        body = kavo.compress(chunk, 0, kavo.KAVO_FMT_DEFLATE)
    return HEAD + struct.pack("<H", len(body) + 25) + body + struct.pack("<II", zlib.crc32(chunk), len(chunk))


def defined(data, plan, level=1):
    """The series and its index for data written up to each end of plan, flushing where asked."""
    pieces, at = [], 0
    for end, flush in plan + [(len(data), True)]:
        if flush and end > at:
            pieces.append(data[at:end])
            at = end
    out, index, u = b"", [], 0
    for piece in pieces:
        for k in range(0, len(piece), INPUT):
            if out:
                index.append((len(out), u))
            out += member(piece[k:k + INPUT], level)
            u += len(piece[k:k + INPUT])
    return out + EOF, gzi(index)


def gzi(pairs):
    return struct.pack("<Q", len(pairs)) + b"".join(struct.pack("<QQ", c, u) for c, u in pairs)


def write(data, plan=(), **kwargs):
    """(file, index) that kavo.open(bgzf=True) writes for data cut at the ends of plan."""
    buf, ix = io.BytesIO(), io.BytesIO()
    with kavo.open(buf, "wb", bgzf=True, index=ix, **kwargs) as f:
        at = 0
        for end, flush in list(plan) + [(len(data), False)]:
            f.write(data[at:max(at, end)])
            at = max(at, end)
            if flush:
                f.flush()
    return buf.getvalue(), ix.getvalue()


def members(blob):
    """Every member of a series, checked: the BC field, BSIZE, at most 65536 bytes, decodable on its own."""
    out, at = [], 0
    while at < len(blob):
        assert blob[at:at + 16] == HEAD
        size = struct.unpack_from("<H", blob, at + 16)[0] + 1
        assert size <= 65536
        m = blob[at:at + size]
        assert len(m) == size and struct.unpack_from("<I", m, size - 4)[0] <= INPUT
        out.append((at, m, zlib.decompress(m, 31)))
        at += size
    return out


def adversarial(n, seed=5):
    """High bytes (9-bit fixed codes) broken every 32 bytes by a 4-byte match, so no run of them goes out stored."""
    r, out = random.Random(seed), bytearray()
    while len(out) < n:
        out += bytes(r.randrange(144, 256) for _ in range(32))
        out += out[-36:-32] if len(out) > 36 else b""
    return bytes(out[:n])


RANDOM = random.Random(1).randbytes(300_000)
PLAN = [(5000, False), (70000, True), (70001, True), (200000, False), (400000, True), (400000, True)]


@pytest.mark.parametrize("threads", [1, 2, 4, 8])
@pytest.mark.parametrize("level", [1, 0])
def test_bytes_and_index_are_the_definition(threads, level):
    assert write(DATA, PLAN, threads=threads, compresslevel=level) == defined(DATA, PLAN, level)
    assert kavo.compress_bgzf(DATA, level, threads=threads) == defined(DATA, [], level)[0]


@settings(max_examples=30, deadline=None)
@given(st.lists(st.tuples(st.integers(0, len(DATA)), st.booleans()), max_size=10), st.sampled_from([1, 2, 3, 8]))
def test_write_splits_flushes_and_threads_do_not_change_the_bytes(plan, threads):
    plan = sorted(plan)
    assert write(DATA, plan, threads=threads) == defined(DATA, plan)


PINNED = "cd62f0b9aea96b1fa5aed9db9d3cc9af5d4ccbcea4b280e2c9938c7e5c183a69"


@pytest.mark.parametrize("threads", [1, 2, 4, 8])
def test_pinned_bytes(threads):
    data = DATA + adversarial(100_000) + RANDOM[:100_000]
    r = random.Random(threads)
    cuts = sorted(r.randrange(len(data)) for _ in range(20))
    assert hashlib.sha256(write(data, [(c, False) for c in cuts], threads=threads)[0]).hexdigest() == PINNED
    assert hashlib.sha256(kavo.compress_bgzf(data, threads=threads)).hexdigest() == PINNED


@pytest.mark.parametrize("name, data", [("adversarial", adversarial(300_000)), ("random", RANDOM), ("text", DATA),
                                        ("zeros", bytes(200_000)), ("empty", b""), ("one", b"x")])
def test_every_block_fits_and_decodes_alone(name, data):
    blob = kavo.compress_bgzf(data)
    got = members(blob)
    assert got[-1][1] == EOF and b"".join(raw for _, _, raw in got) == data
    assert all(len(raw) == INPUT for _, _, raw in got[:-2])
    if name == "adversarial":  # the fixed codes would pass 64 KiB here: the rule stored these members
        assert len(kavo.compress(data[:INPUT], 1, 2)) + 26 > 65536
        assert got[0][1][18:-8] == kavo.compress(data[:INPUT], 0, 2)


@pytest.mark.parametrize("threads", [1, 2])
def test_real_decoders_read_it(tmp_path, threads):
    data = DATA + adversarial(70_000) + RANDOM
    blob, index = write(data, PLAN, threads=threads)
    path = tmp_path / "f.gz"
    path.write_bytes(blob)
    assert gzip.decompress(blob) == data
    bgzip = tool_or_skip("bgzip", "tabix")
    assert subprocess.run([bgzip, "-dc", path], capture_output=True, check=True).stdout == data
    subprocess.run([bgzip, "-t", path], check=True)
    subprocess.run([tool_or_skip("gzip", "gzip"), "-t", path], check=True)
    kind = subprocess.run([tool_or_skip("htsfile", "samtools"), path], capture_output=True, check=True).stdout
    assert b"BGZF-compressed" in kind
    bgzf = pytest.importorskip("Bio.bgzf", reason="pip install biopython")
    assert bgzf.BgzfReader(fileobj=io.BytesIO(blob)).read(len(data) + 1) == data.decode("latin-1")
    reader = bgzf.BgzfReader(fileobj=io.BytesIO(blob), mode="rb")
    for c, u in struct.iter_unpack("<QQ", index[8:]):
        reader.seek(bgzf.make_virtual_offset(c, 0))
        assert reader.read(100) == data[u:u + 100]


def test_index_is_htslibs_and_serves_random_access(tmp_path):
    bgzip = tool_or_skip("bgzip", "tabix")
    data = DATA + RANDOM
    (tmp_path / "d").write_bytes(data)
    blob, index = write(data, PLAN)
    (tmp_path / "k.gz").write_bytes(blob)
    (tmp_path / "h.gz").write_bytes(blob)
    subprocess.run([bgzip, "-r", tmp_path / "h.gz"], check=True)  # htslib indexes kavo's file itself
    assert (tmp_path / "h.gz.gzi").read_bytes() == index
    (tmp_path / "k.gz.gzi").write_bytes(index)
    subprocess.run([bgzip, "-i", "-k", tmp_path / "d"], check=True)  # bgzip's own file: members at the same inputs
    theirs = (tmp_path / "d.gz.gzi").read_bytes()
    plain = write(data)[1]
    assert theirs[:8] == plain[:8] and theirs[8:][8::16] == plain[8:][8::16]
    r = random.Random(3)
    for _ in range(12):
        offset, size = r.randrange(len(data)), r.choice([1, 100, 70000, 200000])
        got = subprocess.run([bgzip, "-c", "-b", str(offset), "-s", str(size), tmp_path / "k.gz"],
                             capture_output=True, check=True).stdout
        assert got == data[offset:offset + size]


def test_samtools_faidx_with_kavos_index(tmp_path):
    samtools = tool_or_skip("samtools", "samtools")
    r = random.Random(2)
    seqs = {f"seq{i}": "".join(r.choice("ACGTN") for _ in range(150_000 + 37 * i)) for i in range(3)}
    fasta = "".join(f">{k}\n" + "".join(s[j:j + 60] + "\n" for j in range(0, len(s), 60)) for k, s in seqs.items())
    with kavo.open(tmp_path / "ref.fa.gz", "wt", bgzf=True, index=tmp_path / "ref.fa.gz.gzi", threads=2) as f:
        f.write(fasta)
    (tmp_path / "ref.fa").write_text(fasta)
    index = (tmp_path / "ref.fa.gz.gzi").read_bytes()
    regions = [f"seq{r.randrange(3)}:{a}-{a + r.randrange(1, 70_000)}" for a in (r.randrange(1, 150_000) for _ in range(8))]
    got = subprocess.run([samtools, "faidx", tmp_path / "ref.fa.gz", *regions], capture_output=True, check=True).stdout
    want = subprocess.run([samtools, "faidx", tmp_path / "ref.fa", *regions], capture_output=True, check=True).stdout
    assert got == want and got.count(b">") == len(regions)
    assert (tmp_path / "ref.fa.gz.gzi").read_bytes() == index  # used as it was, not rebuilt


def test_tabix_indexes_and_queries_like_bgzips_own(tmp_path):
    tabix, bgzip = tool_or_skip("tabix", "tabix"), tool_or_skip("bgzip", "tabix")
    r = random.Random(4)
    lines = ["##fileformat=VCFv4.2\n", "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"]
    for chrom in ("chr1", "chr2", "chrX"):
        pos = 0
        for i in range(12_000):
            pos += r.randrange(1, 400)
            lines.append(f"{chrom}\t{pos}\trs{i}\t{r.choice('ACGT')}\t{r.choice('ACGT')}\t{r.randrange(99)}\tPASS\tDP={r.randrange(200)}\n")
    vcf = "".join(lines).encode()
    (tmp_path / "k.vcf").write_bytes(vcf)
    (tmp_path / "b.vcf").write_bytes(vcf)
    subprocess.run([KAVO, "--bgzf", "-T", "2", tmp_path / "k.vcf"], check=True)
    subprocess.run([bgzip, tmp_path / "b.vcf"], check=True)
    for name in ("k", "b"):
        subprocess.run([tabix, "-p", "vcf", tmp_path / f"{name}.vcf.gz"], check=True)
    for region in ("chr1:1-5000", "chr2:1000000-1200000", "chrX:2000000-2100000", "chr1", "chr3"):
        k, b = (subprocess.run([tabix, tmp_path / f"{n}.vcf.gz", region], capture_output=True, check=True).stdout
                for n in ("k", "b"))
        assert k == b and (region == "chr3" or k)


class FailingFile:
    """A binary file whose write() raises OSError (no space) once `room` bytes would be passed."""

    def __init__(self, room):
        self.data, self.room = bytearray(), room

    def write(self, b):
        if len(self.data) + len(b) > self.room:
            raise OSError(28, "No space left on device")
        self.data += b
        return len(b)


def index_fits(index, blob):
    """Every entry of the index names the start of a whole member of blob, with the right input offset."""
    starts, u = {}, 0
    for at, _, raw in members(blob):
        starts[at] = u
        u += len(raw)
    pairs = list(struct.iter_unpack("<QQ", index[8:]))
    assert struct.unpack_from("<Q", index)[0] == len(pairs)
    return all(starts.get(c) == uu for c, uu in pairs)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("room", [0, 30_000, 60_000])
def test_a_failing_file_leaves_no_index(tmp_path, threads, room):
    target, ix = FailingFile(room), io.BytesIO()
    f = kavo.open(target, "wb", bgzf=True, index=ix, threads=threads)
    with pytest.raises(OSError, match="No space"):
        for i in range(0, len(DATA), 50_000):
            f.write(DATA[i:i + 50_000])
            f.flush()
        f.close()
    with pytest.raises(OSError):
        f.close()
    assert ix.getvalue() == b""
    assert DATA.startswith(b"".join(raw for _, _, raw in members(bytes(target.data))))
    # a path: nothing is created
    f = kavo.open(FailingFile(room), "wb", bgzf=True, index=tmp_path / "x.gzi")
    with pytest.raises(OSError):
        f.write(DATA)
        f.close()
    assert not (tmp_path / "x.gzi").exists()


def test_exception_inside_with_and_dropped_writer_end_file_and_index(tmp_path):
    with pytest.raises(KeyError):
        with kavo.open(tmp_path / "a.gz", "wb", bgzf=True, index=tmp_path / "a.gzi", threads=2) as f:
            f.write(DATA)
            raise KeyError("inside")
    blob = (tmp_path / "a.gz").read_bytes()
    assert blob.endswith(EOF) and gzip.decompress(blob) == DATA and index_fits((tmp_path / "a.gzi").read_bytes(), blob)
    f = kavo.open(tmp_path / "b.gz", "wb", bgzf=True, index=tmp_path / "b.gzi", threads=2)
    f.write(DATA[:300_000])
    del f
    gc.collect()
    blob = (tmp_path / "b.gz").read_bytes()
    assert gzip.decompress(blob) == DATA[:300_000] and index_fits((tmp_path / "b.gzi").read_bytes(), blob)


def test_append_text_and_refusals(tmp_path):
    path = tmp_path / "f.gz"
    with kavo.open(path, "wb", bgzf=True) as f:
        f.write(DATA[:100_000])
    with kavo.open(path, "at", bgzf=True, encoding="utf-8") as t:
        t.write("é and more\n")
    blob = path.read_bytes()
    assert blob == kavo.compress_bgzf(DATA[:100_000]) + kavo.compress_bgzf("é and more\n".encode())
    assert gzip.decompress(blob) == DATA[:100_000] + "é and more\n".encode()
    bgzip = tool_or_skip("bgzip", "tabix")
    assert subprocess.run([bgzip, "-dc", path], capture_output=True, check=True).stdout == gzip.decompress(blob)
    for kwargs, error in [
        (dict(mode="ab", bgzf=True, index=io.BytesIO()), "new file only"),
        (dict(mode="wb", index=io.BytesIO()), "needs bgzf=True"),
        (dict(mode="wb", bgzf=True, format=kavo.KAVO_FMT_ZLIB), "format must be KAVO_FMT_GZIP"),
        (dict(mode="wb", bgzf=True, block_size=65536), "block_size does not apply"),
        (dict(mode="wb", bgzf=True, mtime=1), "mtime and fname do not apply"),
        (dict(mode="rb", bgzf=True), "read BGZF files with the gzip module"),
        (dict(mode="wb", bgzf=True, compresslevel=10), "compression level must be"),
    ]:
        with pytest.raises(ValueError, match=error):
            kavo.open(tmp_path / "g.gz", **kwargs)
    with pytest.raises(TypeError, match="index must be"):
        kavo.open(tmp_path / "g.gz", "wb", bgzf=True, index=3)
    with pytest.raises(ValueError, match="threads must be"):
        kavo.compress_bgzf(b"", threads=257)


@pytest.mark.parametrize("args", [["--bgzf", "-T", "1"], ["--bgzf", "-@", "2", "-l", "1"], ["--bgzf", "-@4", "-9"],
                                  ["--bgzf", "--compress-level", "0", "--threads=2"]])
def test_command_writes_the_writers_bytes_and_index(tmp_path, args):
    data = DATA + RANDOM
    (tmp_path / "f").write_bytes(data)
    level = 0 if "0" in args else 1
    run = kavo_command(*args, "-c", tmp_path / "f")
    assert run.returncode == 0 and run.stdout == kavo.compress_bgzf(data, level)
    run = kavo_command(*args, "-i", "-k", tmp_path / "f")
    assert run.returncode == 0 and (tmp_path / "f").exists()
    assert ((tmp_path / "f.gz").read_bytes(), (tmp_path / "f.gz.gzi").read_bytes()) == write(data, compresslevel=level)
    assert kavo_command(*args, "-i", "-k", tmp_path / "f").returncode == 1  # exists: -f overwrites
    assert kavo_command(*args, "-i", "-f", tmp_path / "f").returncode == 0 and not (tmp_path / "f").exists()


@pytest.mark.parametrize("args, message", [
    (["-d", "F"], "use gzip -d"), (["--bgzf", "-b", "100", "F"], "use bgzip -b"), (["--offset", "5", "F"], "use bgzip -b"),
    (["-s", "10", "F"], "use bgzip -s"), (["-r", "F"], "use bgzip -r"), (["-g", "F"], "bgzip -g"),
    (["-t", "F"], "use bgzip -t"), (["--bgzf", "-i", "-I", "x.gzi", "F"], "-I/--index-name is not taken"),
    (["-i", "F"], "it needs --bgzf"), (["--bgzf", "-i", "-c", "F"], "not with standard output"),
    (["--bgzf", "-i", "-"], "not with standard output"),
])
def test_command_refuses_bgzips_other_options(tmp_path, args, message):
    (tmp_path / "f").write_bytes(b"data")
    run = kavo_command(*(tmp_path / "f" if a == "F" else a for a in args))
    assert run.returncode == 1 and message in run.stderr.decode() and not (tmp_path / "f.gz").exists()
