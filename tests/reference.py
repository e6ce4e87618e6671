# Plain pure-Python model of kavo's output, byte for byte: fixed-Huffman and stored DEFLATE, gzip and zlib framing.
import zlib

ST_HEADER_PENDING = 0
ST_BETWEEN_BLOCKS = 1
ST_IN_FIXED = 2
ST_IN_LAST_FIXED = 3
ST_FINISHED = 4
ST_TRAILER_DONE = 5

FMT_GZIP = 0
FMT_ZLIB = 1
FMT_DEFLATE = 2

U32 = 0xFFFFFFFF

# ID1 ID2, CM 8, FLG 0, MTIME 0, XFL 4 (fastest), OS 3 (Unix).
GZIP_HEADER = bytes([0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x03])
# CMF: deflate with a 32 KiB window; FLG: fastest, no dictionary, FCHECK making 0x7801 a multiple of 31.
ZLIB_HEADER = bytes([0x78, 0x01])

HASH_SLOTS = 8192
HASH_MULTIPLIER = 524351
HASH_SHIFT = 19
EMPTY_SLOT_POS = 0xFFFF7FFF  # -32769: its distance from any position fails the window test
EMPTY_SLOT_WORD = 0xFFFFFFFF
MIN_MATCH = 4
MAX_MATCH = 258
MAX_DISTANCE = 32768
STORED_THRESHOLD = 52  # a run whose literal codes would exceed its raw size by this many bits goes out stored
MIN_MATCH_WHILE_HIGH = 6
COST_MARGIN = 8
MAX_STORED = 65535  # LEN is a 16-bit field


# ---------------------------------------------------------------------------
# Fixed Huffman code of RFC 1951, derived from its definition
# ---------------------------------------------------------------------------

def reverse_bits(code, n):
    """The n-bit code with its bit order reversed: Huffman codes go out most significant bit first."""
    result = 0
    for _ in range(n):
        result = (result << 1) | (code & 1)
        code >>= 1
    return result


def canonical_codes(lengths):
    """Codes for the given code lengths, by the canonical construction of RFC 1951 section 3.2.2."""
    max_bits = max(lengths)
    bl_count = [0] * (max_bits + 1)
    for n in lengths:
        if n:
            bl_count[n] += 1
    next_code = [0] * (max_bits + 1)
    code = 0
    for bits in range(1, max_bits + 1):
        code = (code + bl_count[bits - 1]) << 1
        next_code[bits] = code
    codes = []
    for n in lengths:
        codes.append(next_code[n])
        next_code[n] += 1
    return codes


# Code lengths of the fixed literal/length code (RFC 1951 section 3.2.6).
FIXED_LITERAL_LENGTHS = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 8
FIXED_LITERAL_CODES = canonical_codes(FIXED_LITERAL_LENGTHS)
# The fixed distance code: all 32 symbols in 5 bits, so each code is its own number.
FIXED_DISTANCE_LENGTHS = [5] * 32
FIXED_DISTANCE_CODES = canonical_codes(FIXED_DISTANCE_LENGTHS)


def _length_symbols():
    """(symbol, base length, extra bits) for symbols 257..285, as RFC 1951 section 3.2.5 lays them out."""
    symbols = []
    base = 3
    for i in range(28):  # 257..284: eight without extra bits, then four per extra-bit count 1..5
        extra = 0 if i < 8 else (i - 4) // 4
        symbols.append((257 + i, base, extra))
        base += 1 << extra
    symbols.append((285, 258, 0))  # 258 has a symbol of its own rather than 284 with extra 31
    return symbols


def _distance_symbols():
    """(code, base distance, extra bits) for distance codes 0..29 (RFC 1951 section 3.2.5)."""
    symbols = []
    base = 1
    for code in range(30):  # four without extra bits, then two per extra-bit count 1..13
        extra = 0 if code < 4 else (code - 2) // 2
        symbols.append((code, base, extra))
        base += 1 << extra
    return symbols


LENGTH_SYMBOLS = _length_symbols()
DISTANCE_SYMBOLS = _distance_symbols()


def fixed_literal_code(b):
    """(bit-reversed code, bit count) of literal/length symbol b (0..287)."""
    n = FIXED_LITERAL_LENGTHS[b]
    return reverse_bits(FIXED_LITERAL_CODES[b], n), n


def fixed_length_code(length):
    """(reversed symbol code + extra value above it, total bits) for a match length 3..258."""
    if not 3 <= length <= 258:
        raise ValueError("match length out of range: %r" % length)
    # The last symbol whose base does not exceed the length; that picks 285 (not 284) for 258.
    symbol, base, extra = [s for s in LENGTH_SYMBOLS if s[1] <= length][-1]
    code, n = fixed_literal_code(symbol)
    return code + ((length - base) << n), n + extra


def fixed_distance_code(distance):
    """(reversed 5-bit code + extra value above it, total bits) for a distance 1..32768."""
    if not 1 <= distance <= MAX_DISTANCE:
        raise ValueError("distance out of range: %r" % distance)
    symbol, base, extra = [s for s in DISTANCE_SYMBOLS if s[1] <= distance][-1]
    n = FIXED_DISTANCE_LENGTHS[symbol]
    code = reverse_bits(FIXED_DISTANCE_CODES[symbol], n)
    return code + ((distance - base) << n), n + extra


def literal_table_entry(i):
    """Entry i of the literal table: bit count in bits 0-3, reversed code from bit 4."""
    value, n = fixed_literal_code(i)
    return (value << 4) | n


def length_table_entry(length):
    """Entry of the length table: value in bits 0-15, bit count in bits 16-31; 0 for lengths 0-2."""
    if length < 3:
        return 0
    value, n = fixed_length_code(length)
    return (n << 16) | value


def distance_table_entry(d_minus_1):
    """Entry of the distance table for distance d_minus_1 + 1: bit count in bits 0-4, value from bit 5."""
    value, n = fixed_distance_code(d_minus_1 + 1)
    return (value << 5) | n


# ---------------------------------------------------------------------------
# Checksums: textbook loops, for checking the engine's faster forms on small inputs
# ---------------------------------------------------------------------------

def crc32_bytewise(crc, data):
    """CRC-32 (reflected, polynomial 0xEDB88320) of data continuing from the finished value crc."""
    register = crc ^ U32  # undo the final complement to get the running register back
    for b in data:
        register ^= b
        for _ in range(8):
            if register & 1:
                register = (register >> 1) ^ 0xEDB88320
            else:
                register >>= 1
    return register ^ U32


def adler32_bytewise(adler, data):
    """Adler-32 of data continuing from adler, reducing both sums after every byte."""
    s1 = adler & 0xFFFF
    s2 = adler >> 16
    for b in data:
        s1 = (s1 + b) % 65521
        s2 = (s2 + s1) % 65521
    return (s2 << 16) | s1


# ---------------------------------------------------------------------------
# The stream
# ---------------------------------------------------------------------------

class RefStream:
    """One compression stream; every operation returns exactly the bytes that the engine call returns."""

    def __init__(self, level=1, fmt=FMT_DEFLATE):
        self.level = level & 1  # only the lowest bit of the level counts
        self.bit_queue = 0
        self.queued_bits = 0
        self.input_total = 0
        self.out = bytearray()  # output of the operation under way
        self.events = None  # set to a list to record what each call codes
        if fmt == FMT_GZIP:
            self.state, self.format, self.checksum = ST_HEADER_PENDING, FMT_GZIP, 0
        elif fmt == FMT_ZLIB:
            self.state, self.format, self.checksum = ST_HEADER_PENDING, FMT_ZLIB, 1
        else:
            # raw deflate has no header, so its blocks may start at once
            self.state, self.format, self.checksum = ST_BETWEEN_BLOCKS, FMT_DEFLATE, 0

    def _note(self, *event):
        if self.events is not None:
            self.events.append(event)

    # --- bit output ---

    def push_bits(self, value, nbits):
        """Append nbits of value, lowest bit first; a full 32-bit word leaves the queue at once."""
        self.bit_queue += value << self.queued_bits
        self.queued_bits += nbits
        if self.queued_bits >= 32:
            self.out += (self.bit_queue & U32).to_bytes(4, "little")
            self.bit_queue >>= 32
            self.queued_bits -= 32

    def flush_to_byte(self):
        """Write the pending bits as whole bytes, the last padded with zeros, and empty the queue."""
        for k in range(4):
            if self.queued_bits > 8 * k:
                self.out.append((self.bit_queue >> (8 * k)) & 0xFF)
        self.bit_queue = 0
        self.queued_bits = 0

    def _push_literals(self, run):
        for b in run:
            self.push_bits(*fixed_literal_code(b))

    def _open_fixed_block_if_none(self):
        # Any state but "between blocks" counts as an open fixed block, even the finished ones.
        if self.state == ST_BETWEEN_BLOCKS:
            self.push_bits(2, 3)  # BFINAL 0, BTYPE 01
            self.state = ST_IN_FIXED

    # --- stored blocks ---

    def emit_stored_blocks(self, data, more):
        """Send data as stored blocks of at most 65535 bytes; only the last may be final, and only if more is 0."""
        self._note("stored", bytes(data))
        remaining = len(data)
        start = 0
        while True:
            chunk = min(remaining, MAX_STORED)
            remaining -= chunk
            if self.state != ST_BETWEEN_BLOCKS:
                self.push_bits(0, 7)  # end-of-block of the open fixed block
            final = 1 if (more == 0 and remaining == 0) else 0
            self.state = ST_FINISHED if final else ST_BETWEEN_BLOCKS
            self.push_bits(final, 3)  # BFINAL, BTYPE 00
            self.flush_to_byte()  # LEN starts on a byte boundary
            self.out += chunk.to_bytes(2, "little")
            self.out += (chunk ^ 0xFFFF).to_bytes(2, "little")
            self.out += data[start:start + chunk]
            start += chunk
            if remaining == 0:
                break

    # --- deflate encode ---

    def deflate_encode(self, data, more=1):
        data = bytes(data)
        self.out = bytearray()
        if self.level == 0:
            if len(data):
                self.emit_stored_blocks(data, more)
        else:
            self._encode_greedy(data, more)
        self.input_total = (self.input_total + len(data)) & U32
        return bytes(self.out)

    def _emit_pending_run(self, run, high_count):
        # Literals cost one extra bit per byte >= 144; from 52 such bytes a stored block is cheaper.
        if high_count >= STORED_THRESHOLD:
            self.emit_stored_blocks(run, 1)
        else:
            self._open_fixed_block_if_none()
            self._note("literals", run)
            self._push_literals(run)

    def _encode_greedy(self, data, more):
        n = len(data)
        # A fresh table every call: matches never reach into earlier calls' input.
        slot_pos = [EMPTY_SLOT_POS] * HASH_SLOTS
        slot_word = [EMPTY_SLOT_WORD] * HASH_SLOTS
        pos = 0
        pending_len = 0
        high_count = 0

        while n - pos >= MIN_MATCH:
            remaining = n - pos
            word = data[pos] | (data[pos + 1] << 8) | (data[pos + 2] << 16) | (data[pos + 3] << 24)
            slot = ((word * HASH_MULTIPLIER) & U32) >> HASH_SHIFT
            cand_pos, cand_word = slot_pos[slot], slot_word[slot]
            slot_pos[slot], slot_word[slot] = pos, word  # overwritten whether or not a match follows

            accepted = False
            if cand_word == word and ((pos - cand_pos - 1) & U32) <= MAX_DISTANCE - 1:
                distance = (pos - cand_pos) & U32
                cap = min(remaining, MAX_MATCH)
                length = MIN_MATCH  # the first four bytes are equal through the word test
                while length < cap and data[cand_pos + length] == data[pos + length]:
                    length += 1
                if high_count >= STORED_THRESHOLD and length < MIN_MATCH_WHILE_HIGH:
                    accepted = False
                else:
                    len_bits = length_table_entry(length) >> 16
                    dist_bits = distance_table_entry(distance - 1) & 31
                    # The match must beat the 8 bits per byte it replaces plus the extra bits of the
                    # high bytes waiting before it, by more than a byte.
                    accepted = len_bits + dist_bits + COST_MARGIN < 8 * length + high_count

            if accepted:
                if pending_len > 0:
                    self._emit_pending_run(data[pos - pending_len:pos], high_count)
                self._open_fixed_block_if_none()
                self._note("match", length, distance)
                self.push_bits(*fixed_length_code(length))
                self.push_bits(*fixed_distance_code(distance))
                # Positions inside the match are neither looked up nor entered in the table.
                pos += length
                pending_len = 0
                high_count = 0
            else:
                if data[pos] >= 144:
                    high_count += 1
                pending_len += 1
                pos += 1

        # The last 0 to 3 bytes cannot start a match: they join the run unexamined.
        for b in data[pos:]:
            if b >= 144:
                high_count += 1
            pending_len += 1
        pos = n

        if pending_len == 0:
            return  # no block is opened or ended, even when more is 0
        run = data[n - pending_len:]
        if high_count >= STORED_THRESHOLD:
            self.emit_stored_blocks(run, more)
            return
        if self.state == ST_BETWEEN_BLOCKS:
            if more:
                self.push_bits(2, 3)
                self.state = ST_IN_FIXED
            else:
                self.push_bits(3, 3)  # BFINAL 1, BTYPE 01
                self.state = ST_IN_LAST_FIXED
        elif not more:
            self.push_bits(0, 7)  # only a fresh block can carry BFINAL: end the open one first
            self.push_bits(3, 3)
            self.state = ST_IN_LAST_FIXED
        self._note("literals", run)
        self._push_literals(run)
        # No end-of-block: the block stays open for the next call or the finish.

    # --- deflate finish ---

    def deflate_finish(self):
        self.out = bytearray()
        if self.state == ST_IN_FIXED:
            self.push_bits(0, 7)
            self.state = ST_BETWEEN_BLOCKS
        if self.state == ST_IN_LAST_FIXED:
            self.push_bits(0, 7)
            self.state = ST_FINISHED
        elif self.state != ST_FINISHED:
            # States 0, 1 and 5 (and 2 after its end-of-block): an empty final fixed block.
            self.push_bits(3, 3)
            self.push_bits(0, 7)
            self.state = ST_FINISHED
        self.flush_to_byte()
        return bytes(self.out)

    # --- containers ---

    def _header(self):
        return GZIP_HEADER if self.format == FMT_GZIP else ZLIB_HEADER

    def send_header(self):
        """Write the container header by itself, whatever the state (gzip and zlib only)."""
        if self.format not in (FMT_GZIP, FMT_ZLIB):
            raise ValueError("raw deflate has no header")
        self.state = ST_BETWEEN_BLOCKS
        return self._header()

    def encode(self, data, more=1):
        data = bytes(data)
        if self.format == FMT_DEFLATE:
            return self.deflate_encode(data, more)
        header = b""
        if self.state == ST_HEADER_PENDING:
            header = self.send_header()
        if self.format == FMT_GZIP:
            self.checksum = zlib.crc32(data, self.checksum)
        else:
            self.checksum = zlib.adler32(data, self.checksum)
        return header + self.deflate_encode(data, more)

    def finish(self):
        if self.format == FMT_DEFLATE:
            return self.deflate_finish()
        header = b""
        if self.state == ST_HEADER_PENDING:
            header = self.send_header()
        body = self.deflate_finish()
        if self.format == FMT_GZIP:
            trailer = self.checksum.to_bytes(4, "little") + self.input_total.to_bytes(4, "little")
        else:
            trailer = self.checksum.to_bytes(4, "big")
        self.state = ST_TRAILER_DONE
        return header + body + trailer


def compress(data, level=1, fmt=FMT_DEFLATE, splits=()):
    """Encode data in pieces cut at the offsets in splits (more=1 each), then finish; all bytes joined."""
    data = bytes(data)
    bounds = [0] + list(splits) + [len(data)]
    if any(a > b for a, b in zip(bounds, bounds[1:])):
        raise ValueError("split offsets must be ascending and within the data")
    stream = RefStream(level, fmt)
    pieces = [stream.encode(data[a:b], 1) for a, b in zip(bounds, bounds[1:])]
    pieces.append(stream.finish())
    return b"".join(pieces)
