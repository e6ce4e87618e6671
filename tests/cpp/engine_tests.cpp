// Engine tests that Python cannot reach: tables, bit order, states, output bounds, checksums.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bit_output.h"
#include "checksum_forms.h"
#include "deflate_segment.h"
#include "deflate_tables.h"
#include "kavo.h"
#include "check.h"
#include "variant_report.h"
#include "../fuzz/plain_deflate.h"

namespace {

using kavo_test::bytes;
using kavo_test::failures;
using kavo_test::checks;
using kavo_test::inflate_all;

bytes hex(const char *s) {
    bytes out;
    for (; *s; ++s) {
        if (*s == ' ')
            continue;
        out.push_back(uint8_t(std::strtoul(std::string(s, 2).c_str(), nullptr, 16)));
        ++s;
    }
    return out;
}

bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }

// ---- an output area of exactly the bound, with canary bytes behind it ----
constexpr size_t CANARY = 64;

struct guarded {
    bytes area;
    size_t size;
    explicit guarded(size_t n) : area(n + CANARY, 0xA5), size(n) {}
    uint8_t *data() { return area.data(); }
    bool intact() const {
        for (size_t i = size; i < area.size(); ++i)
            if (area[i] != 0xA5)
                return false;
        return true;
    }
};

// Runs one encode on an exactly-sized buffer and appends its bytes; checks the canary.
int encode_into(bytes &out, kavo_stream &s, const uint8_t *in, int32_t len, int more,
                size_t (*encode)(kavo_stream *, uint8_t *, const uint8_t *, int32_t, int) = deflate_encode,
                int header = 0) {
    guarded g(size_t(deflate_encode_bound(uint64_t(len))) + size_t(header));
    const int n = encode(&s, g.data(), in, len, more);
    CHECK(g.intact());
    CHECK(n >= 0 && size_t(n) <= g.size);
    out.insert(out.end(), g.data(), g.data() + n);
    return n;
}

int finish_into(bytes &out, kavo_stream &s, int (*finish)(kavo_stream *, uint8_t *) = deflate_finish,
                size_t room = DEFLATE_FINISH_BOUND) {
    guarded g(room);
    const int n = finish(&s, g.data());
    CHECK(g.intact());
    out.insert(out.end(), g.data(), g.data() + n);
    return n;
}

// Calls f(piece, length, more) for the input cut at the given points, in order; every piece passes
// more = 1 but the last when last_more0 is set.
template <typename F>
void for_each_piece(const bytes &in, const std::vector<size_t> &cuts, bool last_more0, F f) {
    size_t at = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(in.size());
    for (size_t i = 0; i < ends.size(); ++i) {
        const size_t end = ends[i] < at ? at : ends[i];
        f(in.data() + at, end - at, (last_more0 && i + 1 == ends.size()) ? 0 : 1);
        at = end;
    }
}

// The stream of a format (KAVO_FMT_*) from input cut at the given points, every call with more = 1
// unless the last is told to pass 0, then the finish.
bytes engine_stream(int format, const bytes &in, int level, const std::vector<size_t> &cuts, bool last_more0 = false) {
    using encode_fn = size_t (*)(kavo_stream *, uint8_t *, const uint8_t *, int32_t, int);
    using finish_fn = int (*)(kavo_stream *, uint8_t *);
    kavo_stream s;
    encode_fn enc = deflate_encode;
    finish_fn fin = deflate_finish;
    int header = 0, finish_bound = DEFLATE_FINISH_BOUND;
    if (format == KAVO_FMT_GZIP) {
        gzip_init(&s, level);
        enc = gzip_encode, fin = gzip_finish, header = GZIP_HEADER_SIZE, finish_bound = GZIP_FINISH_BOUND;
    } else if (format == KAVO_FMT_ZLIB) {
        zlib_init(&s, level);
        enc = zlib_encode, fin = zlib_finish, header = ZLIB_HEADER_SIZE, finish_bound = ZLIB_FINISH_BOUND;
    } else {
        deflate_init(&s, level);
    }
    bytes out;
    for_each_piece(in, cuts, last_more0, [&](const uint8_t *piece, size_t n, int more) {
        encode_into(out, s, piece, int32_t(n), more, enc, header);
    });
    finish_into(out, s, fin, finish_bound);
    CHECK(s.state == (format == KAVO_FMT_DEFLATE ? ST_FINISHED : ST_TRAILER_DONE) && s.queued_bits == 0);
    CHECK(s.input_total == uint32_t(in.size()));
    return out;
}

bytes raw_stream(const bytes &in, int level, const std::vector<size_t> &cuts, bool last_more0 = false) {
    return engine_stream(KAVO_FMT_DEFLATE, in, level, cuts, last_more0);
}

void check_round_trip(const bytes &in, int level, const std::vector<size_t> &cuts, bool last_more0) {
    const bytes z = raw_stream(in, level, cuts, last_more0);
    bool ok;
    const bytes back = inflate_all(z, -15, &ok);
    CHECK(ok);
    CHECK(back == in);
}

// ---- tables against the canonical Huffman construction of deflate's fixed code ----
uint32_t reverse(uint32_t v, int n) {
    uint32_t r = 0;
    for (int i = 0; i < n; ++i, v >>= 1)
        r = (r << 1) | (v & 1);
    return r;
}

void test_tables() {
    // Code lengths of the fixed literal/length code; codes assigned in canonical order.
    int lens[288];
    for (int i = 0; i < 288; ++i)
        lens[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    int count[16] = {0}, next[16] = {0};
    for (int l : lens)
        count[l]++;
    for (int bits = 1, code = 0; bits < 16; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    uint32_t code_of[288];
    for (int i = 0; i < 288; ++i)
        code_of[i] = uint32_t(next[lens[i]]++);
    for (int i = 0; i < 288; ++i)
        CHECK(literal_code_table[i] == ((reverse(code_of[i], lens[i]) << 4) | uint32_t(lens[i])));

    CHECK(length_code_table[0] == 0 && length_code_table[1] == 0 && length_code_table[2] == 0);
    for (uint32_t L = 3; L <= 258; ++L) {
        // Walk the length symbols: symbol 257 covers 3; each symbol's span is 2^extra.
        uint32_t sym = 257, base = 3, extra = 0;
        if (L == 258) {
            sym = 285, base = 258, extra = 0;
        } else {
            for (;;) {
                const uint32_t idx = sym - 257;
                extra = idx < 8 ? 0 : idx / 4 - 1;
                if (L < base + (1u << extra))
                    break;
                base += 1u << extra;
                ++sym;
            }
        }
        const uint32_t n = uint32_t(lens[sym]);
        const uint32_t want = (reverse(code_of[sym], int(n)) | ((L - base) << n)) | ((n + extra) << 16);
        CHECK(length_code_table[L] == want);
    }
    for (uint32_t d = 1, c = 0, base = 1; d <= 32768; ++d) {
        uint32_t extra = c < 4 ? 0 : c / 2 - 1;
        if (d >= base + (1u << extra)) {
            base += 1u << extra;
            ++c;
            extra = c < 4 ? 0 : c / 2 - 1;
        }
        const uint32_t want = ((reverse(c, 5) | ((d - base) << 5)) << 5) | (5 + extra);
        CHECK(distance_code_table[d - 1] == want);
    }
    // Entries named in the format's documentation.
    CHECK(literal_code_table[65] == 0x08E8 && literal_code_table[143] == 0x0FD8);
    CHECK(length_code_table[3] == 0x00070040 && length_code_table[4] == 0x00070020);
    CHECK(length_code_table[11] == 0x00080048 && length_code_table[12] == 0x000800C8);
    CHECK(length_code_table[115] == 0x000C0003 && length_code_table[257] == 0x000D1E23);
    CHECK(length_code_table[258] == 0x000800A3);
    CHECK(distance_code_table[0] == 0x5 && distance_code_table[1] == 0x205 && distance_code_table[4] == 0x86);
    CHECK(distance_code_table[5] == 0x486 && distance_code_table[16383] == 0x003FFF71);
    CHECK(distance_code_table[16384] == 0xF2 && distance_code_table[32767] == 0x007FFEF2);
}

// ---- bit output and stream finish, through the public operations ----
void test_vectors() {
    kavo_stream s;
    bytes out;

    deflate_init(&s, 1);
    finish_into(out, s);
    CHECK(out == hex("03 00"));

    // abc: header and three 8-bit codes, 27 bits, all still queued.
    deflate_init(&s, 1);
    out.clear();
    CHECK(encode_into(out, s, text("abc").data(), 3, 1) == 0);
    CHECK(s.queued_bits == 27 && s.state == ST_IN_FIXED);

    // abcdabcd: four literals then length 4 distance 4: 3 + 32 + 7 + 5 = 47 bits.
    deflate_init(&s, 1);
    out.clear();
    CHECK(encode_into(out, s, text("abcdabcd").data(), 8, 1) == 4);
    CHECK(s.queued_bits == 15);

    // 300 x then 5 y: literal, 258 at distance 1, 41 at 258, literal, 4 at 1.
    deflate_init(&s, 1);
    out.clear();
    const bytes xy = text(std::string(300, 'x') + std::string(5, 'y'));
    CHECK(encode_into(out, s, xy.data(), int32_t(xy.size()), 1) == 8);
    CHECK(out == hex("aa 18 05 44 87 40 25 08"));
    CHECK(s.queued_bits == 2);

    // State 2 with an empty queue finishes with end-of-block, empty final block, padding.
    s.state = ST_IN_FIXED, s.bit_queue = 0, s.queued_bits = 0;
    out.clear();
    CHECK(finish_into(out, s) == 3 && out == hex("80 01 00"));
    s.state = ST_IN_LAST_FIXED, s.bit_queue = 0, s.queued_bits = 0;
    out.clear();
    CHECK(finish_into(out, s) == 1 && out == hex("00"));
    s.state = ST_IN_FIXED, s.bit_queue = 0x7FFFFFFF, s.queued_bits = 31;
    out.clear();
    CHECK(finish_into(out, s) == 6 && out == hex("ff ff ff 7f c0 00"));
    CHECK(finish_into(out, s) == 0);  // finished already: nothing more

    // Stored blocks.
    deflate_init(&s, 0);
    out.clear();
    encode_into(out, s, text("abc").data(), 3, 1);
    CHECK(out == hex("00 03 00 fc ff 61 62 63") && s.state == ST_BETWEEN_BLOCKS);
    CHECK(finish_into(out, s) == 2);  // level 0 then finish adds exactly 03 00
    CHECK(bytes(out.end() - 2, out.end()) == hex("03 00"));
    deflate_init(&s, 0);
    out.clear();
    encode_into(out, s, text("abc").data(), 3, 0);
    CHECK(out == hex("01 03 00 fc ff 61 62 63") && s.state == ST_FINISHED);
    CHECK(finish_into(out, s) == 0);

    bytes big(65536);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7);
    deflate_init(&s, 0);
    out.clear();
    CHECK(encode_into(out, s, big.data(), 65536, 0) == 65546);
    CHECK(bytes(out.begin(), out.begin() + 5) == hex("00 ff ff 00 00"));
    CHECK(bytes(out.begin() + 65540, out.begin() + 65545) == hex("01 01 00 fe ff"));
    // Two full blocks and no empty third one.
    bytes two(131070, 0x41);
    deflate_init(&s, 0);
    out.clear();
    CHECK(encode_into(out, s, two.data(), 131070, 1) == 131080);
    // len 0 writes one empty stored block.
    uint8_t buf[16];
    deflate_init(&s, 0);
    s.out_cursor = buf;
    kavo::emit_stored_blocks(&s, nullptr, 0, 1);
    CHECK(s.out_cursor - buf == 5 && bytes(buf, buf + 5) == hex("00 00 00 ff ff"));
    // A fixed block open with nothing queued: end-of-block and stored header share two zero bytes.
    s.state = ST_IN_FIXED;
    s.out_cursor = buf;
    kavo::emit_stored_blocks(&s, text("q").data(), 1, 1);
    CHECK(s.out_cursor - buf == 7 && bytes(buf, buf + 7) == hex("00 00 01 00 fe ff 71"));

    // Level bit: 2 acts as 0, 3 as 1; init resets everything.
    deflate_init(&s, 2);
    CHECK(s.level == 0 && s.format == 2 && s.state == ST_BETWEEN_BLOCKS && s.checksum == 0);
    deflate_init(&s, 3);
    CHECK(s.level == 1 && s.input_total == 0 && s.queued_bits == 0 && s.bit_queue == 0);

    // Empty input writes nothing and changes no state, at both levels and any more.
    for (int level = 0; level < 2; ++level)
        for (int more = 0; more < 2; ++more) {
            deflate_init(&s, level);
            uint8_t b[8];
            CHECK(deflate_encode(&s, b, nullptr, 0, more) == 0 && s.state == ST_BETWEEN_BLOCKS);
        }

    // input_total wraps at 2^32 without notice.
    deflate_init(&s, 1);
    s.input_total = 0xFFFFFFFEu;
    out.clear();
    encode_into(out, s, text("abcd").data(), 4, 1);
    CHECK(s.input_total == 2);
}

// ---- the greedy scan on inputs built to sit on its thresholds ----
bytes high_bytes(size_t n, uint32_t seed) {
    bytes b(n);
    std::mt19937 rng(seed);
    for (auto &x : b)
        x = uint8_t(144 + rng() % 112);
    return b;
}

uint32_t slot_of(const uint8_t *p) {
    const uint32_t w = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return (w * 524351u) >> 19;
}

// Runs of n bytes >= 144, each followed by a repeat of 4 bytes from `gap` bytes back. With gap 4
// the runs are drawn so that the repeated word keeps its hash slot until the repeat: every
// repeat is then found, and each 55 bytes grow by 31 bits.
bytes expanding_pattern(size_t total, size_t run, size_t gap, uint32_t seed) {
    bytes out;
    std::mt19937 rng(seed);
    while (out.size() < total) {
        const size_t start = out.size();
        for (size_t i = 0; i < run; ++i)
            out.push_back(uint8_t(144 + rng() % 112));
        if (gap > out.size())
            continue;
        const size_t from = out.size() - gap;
        for (size_t i = 0; i < 4; ++i)
            out.push_back(out[from + i]);
        if (gap == 4) {
            const size_t r = start + run;
            const uint32_t slot = slot_of(&out[r - 4]);
            if (slot_of(&out[r - 3]) == slot || slot_of(&out[r - 2]) == slot || slot_of(&out[r - 1]) == slot)
                out.resize(start);  // draw this run again
        }
    }
    out.resize(total);
    return out;
}

void test_thresholds() {
    std::vector<bytes> inputs;
    // high_count 51 and 52 before a 6-byte match and at the end of input.
    for (size_t highs : {51, 52, 53}) {
        bytes b = high_bytes(highs, uint32_t(highs));
        const bytes tail = text("matchme!");
        b.insert(b.end(), tail.begin(), tail.end());
        b.insert(b.end(), tail.begin(), tail.end());
        inputs.push_back(b);
        inputs.push_back(high_bytes(highs, 7));
    }
    // Matches of 4, 5 and 6 bytes while 52 high bytes are pending.
    for (size_t m : {4, 5, 6}) {
        bytes b = high_bytes(60, 3);
        bytes rep(b.begin() + 10, b.begin() + 10 + long(m));
        b.push_back(0x01);
        b.insert(b.end(), rep.begin(), rep.end());
        b.push_back(0x02);
        inputs.push_back(b);
    }
    // Distances at the code boundaries and at the window edge.
    for (size_t d : {8192, 8193, 16384, 16385, 32768, 32769}) {
        for (size_t lead_highs : {0, 1, 2}) {
            bytes b(d + 16);
            std::mt19937 rng{uint32_t(d)};
            for (auto &x : b)
                x = uint8_t(rng() % 128);
            for (size_t i = 0; i < lead_highs; ++i)
                b[d - 1 - i] = 200;
            for (size_t i = 0; i < 4; ++i)
                b[d + i] = b[i];
            inputs.push_back(b);
        }
    }
    // Runs of 258 and 259, 0 to 3 bytes, all zeros, and the wide expanding patterns.
    for (size_t n : {0, 1, 2, 3, 4, 5, 258, 259, 260, 517, 100000})
        inputs.push_back(bytes(n, 'z'));
    inputs.push_back(expanding_pattern(20000, 51, 4, 1));
    inputs.push_back(expanding_pattern(200000, 51, 16400, 2));
    std::mt19937 rng(99);
    for (int i = 0; i < 40; ++i) {
        // Mixed text-like and binary pieces with repeats at assorted distances.
        bytes b;
        const size_t n = rng() % 70000;
        while (b.size() < n) {
            const int kind = int(rng() % 4);
            if (kind == 0 || b.size() < 8) {
                for (int k = int(rng() % 40); k >= 0; --k)
                    b.push_back(uint8_t(rng() % (i % 2 ? 256 : 26) + (i % 2 ? 0 : 'a')));
            } else {
                const size_t d = 1 + rng() % (b.size() < 40000 ? b.size() : 40000);
                const size_t len = 3 + rng() % 300;
                for (size_t k = 0; k < len; ++k)
                    b.push_back(b[b.size() - d]);
            }
        }
        inputs.push_back(b);
    }

    for (const bytes &in : inputs) {
        for (int level = 0; level < 2; ++level) {
            for (bool last_more0 : {false, true}) {
                check_round_trip(in, level, {}, last_more0);
                std::vector<size_t> cuts;
                for (size_t c = 1; c < in.size(); c += 1 + rng() % (in.size() / 3 + 1))
                    cuts.push_back(c);
                check_round_trip(in, level, cuts, last_more0);
            }
        }
    }
    // Every split of a short input into two calls.
    const bytes shortin = text("abcabcabcXabcabc\xff\xfe\x90 the end the end");
    for (size_t c = 0; c <= shortin.size(); ++c)
        for (int level = 0; level < 2; ++level)
            check_round_trip(shortin, level, {c}, c % 2 == 0);
}

uint64_t encoded_bits(const bytes &b) {
    kavo_stream s;
    deflate_init(&s, 1);
    bytes out;
    encode_into(out, s, b.data(), int32_t(b.size()), 1);
    return out.size() * 8 + s.queued_bits;
}

// The acceptance rule for 4-byte matches, seen from the output size: the input ends with a
// repeat of its first 4 bytes at distance d, after `highs` bytes >= 144.
bool four_byte_match_taken(size_t d, size_t highs) {
    bytes b(d + 4);
    std::mt19937 rng(uint32_t(d * 3 + highs));
    for (auto &x : b)
        x = uint8_t(rng() % 128);
    for (size_t i = 0; i < highs; ++i)
        b[d - 1 - i] = uint8_t(150 + rng() % 100);
    for (size_t i = 0; i < 4; ++i)
        b[d + i] = b[i];
    // No position in between may take over the slot of the repeated word.
    const uint32_t target = slot_of(b.data());
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t p = 1; p < d; ++p) {
            while (slot_of(b.data() + p) == target) {
                uint8_t &x = b[p + 3 < d ? p + 3 : p];
                x = x >= 144 ? uint8_t(144 + (x - 143) % 112) : uint8_t((x + 1) % 128);
                changed = true;
            }
        }
    }
    bytes other = b;  // same bytes, but the head no longer matches the tail
    other[0] ^= 0x55;
    return encoded_bits(b) < encoded_bits(other);
}

void test_cost_rule() {
    CHECK(four_byte_match_taken(8192, 0));
    CHECK(!four_byte_match_taken(8193, 0));
    CHECK(four_byte_match_taken(16384, 1));
    CHECK(!four_byte_match_taken(16385, 1));
    CHECK(four_byte_match_taken(32768, 2));
    CHECK(four_byte_match_taken(100, 51));
    CHECK(!four_byte_match_taken(100, 52));
}

// ---- the output bound, with exactly sized buffers ----
void test_bounds() {
    std::vector<bytes> worst = {expanding_pattern(55 * 600, 51, 4, 5), expanding_pattern(55 * 4000, 51, 16390, 6),
                                expanding_pattern(55 * 4000, 51, 20000, 8), high_bytes(100000, 9)};
    for (const bytes &in : worst) {
        for (size_t piece : {size_t(1), size_t(3), size_t(55), size_t(1000), in.size()}) {
            for (int level = 0; level < 2; ++level) {
                kavo_stream s;
                deflate_init(&s, level);
                bytes out;
                for (size_t at = 0; at < in.size(); at += piece) {
                    const size_t n = piece < in.size() - at ? piece : in.size() - at;
                    encode_into(out, s, in.data() + at, int32_t(n), 1);  // canary-checked
                }
                finish_into(out, s);
                bool ok;
                CHECK(inflate_all(out, -15, &ok) == in && ok);
            }
        }
    }
    {  // The pattern really does grow by more than 1 byte in 16. (Kept short: over a long input a
       // stray match inside a random run can swallow a repeat and send the rest out stored.)
        const bytes &in = worst[0];
        kavo_stream s;
        deflate_init(&s, 1);
        bytes out;
        encode_into(out, s, in.data(), int32_t(in.size()), 1);
        CHECK(out.size() > in.size() + in.size() / 16);
    }
}

// ---- per-call table: no history between calls, even after its positions wrap ----
void test_table_reuse() {
    const bytes ab = text("abcdabcd");
    bytes first;
    {
        kavo_stream s;
        deflate_init(&s, 1);
        encode_into(first, s, ab.data(), 8, 1);
        finish_into(first, s);
    }
    // About 2^32 / 32772 calls run the table's positions past their wrap point.
    kavo_stream s;
    bool all_same = true;
    for (int i = 0; i < 140000; ++i) {
        deflate_init(&s, 1);
        bytes out;
        encode_into(out, s, ab.data(), 8, 1);
        finish_into(out, s);
        all_same = all_same && out == first;
    }
    CHECK(all_same);
    // The same input twice in two calls: the second call finds nothing in the first.
    const bytes once = text("0123456789abcdefghij");
    deflate_init(&s, 1);
    bytes out;
    encode_into(out, s, once.data(), int32_t(once.size()), 1);
    const uint32_t bits_first = uint32_t(out.size() * 8 + s.queued_bits);
    encode_into(out, s, once.data(), int32_t(once.size()), 1);
    CHECK(out.size() * 8 + s.queued_bits == 2 * bits_first - 3);
}

// ---- the engine against the plain encoder of the fuzz target, on inputs long enough for the bulk scan ----
// The same stream from the plain encoder: every call, then the finish.
bytes plain_stream(int format, const bytes &in, int level, const std::vector<size_t> &cuts, bool last_more0) {
    plain::stream s;
    s.init(format == KAVO_FMT_GZIP ? plain::FMT_GZIP : format == KAVO_FMT_ZLIB ? plain::FMT_ZLIB : plain::FMT_RAW,
           level);
    bytes out;
    for_each_piece(in, cuts, last_more0,
                   [&](const uint8_t *piece, size_t n, int more) { s.encode(out, piece, uint32_t(n), more); });
    s.finish(out);
    return out;
}

// Inputs that move the scan between its states many times over: long stretches of bytes >= 144
// (runs bound for storage, which must carry on across the points where the scan measures its
// output room again, with short matches that they must pass by), words with near and far
// repeats, and copies of 4 to 300 bytes from up to 40000 bytes back right after such stretches.
bytes generated_input(int kind, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes out;
    out.reserve(n);
    auto byte = [&](uint32_t lo, uint32_t hi) { return uint8_t(lo + rng() % (hi - lo + 1)); };
    static const char *const words[] = {"the ", "match ", "finder ", "of ", "kavo ", "reads ", "four ", "bytes ",
                                        "at ", "a ", "time\n", "and ", "codes ", "them "};
    while (out.size() < n) {
        switch (kind) {
        case 0:  // random bytes: nearly all of it stored
            out.push_back(byte(0, 255));
            break;
        case 1:  // text from a small vocabulary
            for (const char *w = words[rng() % 14]; *w; ++w)
                out.push_back(uint8_t(*w));
            break;
        case 2: {  // a random stretch, mostly >= 144, then a copy from far back
            const size_t stretch = 1 + rng() % 400;
            for (size_t i = 0; i < stretch; ++i)
                out.push_back(rng() % 8 ? byte(144, 255) : byte(0, 143));
            const size_t copy = 4 + rng() % 297, back = 1 + rng() % 40000;
            if (back <= out.size())
                for (size_t i = 0, from = out.size() - back; i < copy; ++i)
                    out.push_back(out[from + i]);
            break;
        }
        case 3:  // few distinct bytes >= 144: short matches everywhere, the cost rule decides
            out.push_back(byte(144, 151));
            break;
        default: {  // bytes >= 144 whose every 4 recur once 5 bytes on, after 60 that start a run bound
                    // for storage: 4-byte matches all along that the run must pass by
            while (out.size() < 60)
                out.push_back(byte(144, 255));
            uint8_t w[5];
            for (uint8_t &b : w)
                b = byte(144, 255);
            out.insert(out.end(), w, w + 5);
            out.insert(out.end(), w, w + 4);
            break;
        }
        }
    }
    out.resize(n);
    return out;
}

void test_against_plain() {
    std::mt19937 rng(2026);
    for (int kind = 0; kind < 5; ++kind) {
        for (size_t n : {size_t(300), size_t(5000), size_t(70000), size_t(300000)}) {
            const bytes in = generated_input(kind, n, uint32_t(kind * 1000 + n));
            std::vector<std::vector<size_t>> splits = {{}, {}, {}};
            for (size_t at = 1000; at < n; at += 1000)
                splits[1].push_back(at);
            for (size_t at = 1 + rng() % 20000; at < n; at += 1 + rng() % 20000)
                splits[2].push_back(at);
            for (int level = 0; level < 2; ++level)
                for (const auto &cuts : splits)
                    for (bool last_more0 : {false, true}) {
                        const bytes got = raw_stream(in, level, cuts, last_more0);
                        const bool same = got == plain_stream(KAVO_FMT_DEFLATE, in, level, cuts, last_more0);
                        CHECK(same);
                        if (!same)
                            std::fprintf(stderr, "  kind %d, %zu bytes, level %d, %zu cuts, last more=0 %d\n", kind,
                                         n, level, cuts.size(), int(last_more0));
                    }
        }
    }
    // A slot keeps 22 bits of position, so a long call moves its positions down as it goes (every
    // 3 MiB or so): matches from up to 40000 bytes back cross those points, in one call and in
    // calls of uneven lengths, both around the limit.
    for (int kind : {1, 2}) {
        const bytes in = generated_input(kind, 9000000, uint32_t(kind));
        for (const std::vector<size_t> &cuts : {std::vector<size_t>{}, std::vector<size_t>{4150000, 4200001}}) {
            const bool same = raw_stream(in, 1, cuts) == plain_stream(KAVO_FMT_DEFLATE, in, 1, cuts, false);
            CHECK(same);
            if (!same)
                std::fprintf(stderr, "  long input, kind %d, %zu cuts\n", kind, cuts.size());
        }
    }
    // gzip and zlib checksum level-0 input in pieces of 4 stored blocks: around and across the
    // piece size, within one call and split, the blocks must be those of one call.
    const bytes rnd = generated_input(0, 4 * 65535 * 2 + 3, 7);
    for (int format : {KAVO_FMT_GZIP, KAVO_FMT_ZLIB})
        for (size_t n : {size_t(4 * 65535 - 1), size_t(4 * 65535), size_t(4 * 65535 + 1), size_t(8 * 65535 + 3)})
            for (int level = 0; level < 2; ++level)
                for (const std::vector<size_t> &cuts : {std::vector<size_t>{}, std::vector<size_t>{65535, 300000}})
                    for (bool last_more0 : {false, true}) {
                        const bytes in(rnd.begin(), rnd.begin() + std::ptrdiff_t(n));
                        const std::vector<size_t> inside = n > 300000 ? cuts : std::vector<size_t>{};
                        CHECK(engine_stream(format, in, level, inside, last_more0) ==
                              plain_stream(format, in, level, inside, last_more0));
                    }
    // The scan measures its output room again at a point that moves with the input's length;
    // across these lengths that point lands on one of the 4-byte matches of kind 4 (1 position
    // in 9 has one) many times, where a run bound for storage must stay so.
    for (size_t n = 16000; n < 16000 + 60 * 37; n += 37) {
        const bytes in = generated_input(4, n, uint32_t(n));
        CHECK(raw_stream(in, 1, {}, false) == plain_stream(KAVO_FMT_DEFLATE, in, 1, {}, false));
    }
}

// ---- checksums ----
void test_checksums() {
    const bytes abc = text("abc");
    CHECK(crc32_sliced(0, abc.data(), 3) == 0x352441C2u && crc32_bytewise(0, abc.data(), 3) == 0x352441C2u);
    CHECK(adler32_blocked(1, abc.data(), 3) == 0x024D0127u && adler32_bytewise(1, abc.data(), 3) == 0x024D0127u);
    CHECK(crc32_tables[0][0] == 0xD202EF8Du && crc32_tables[0][1] == 0xA505DF1Bu && crc32_tables[0][2] == 0x3C0C8EA1u);
    CHECK(crc32_tables[3][0] == 0xDE05060Eu);
    for (int k = 0; k < 4; ++k)
        CHECK(crc32_tables[size_t(k)][255] == (0xFF000000u >> (8 * k)));
    CHECK(crc32_sliced(0x1234, abc.data(), 0) == 0x1234 && crc32_sliced(0x1234, abc.data(), -5) == 0x1234);
    CHECK(adler32_blocked(0x1234, abc.data(), 0) == 0x1234);

    bytes data(20000);
    std::mt19937 rng(4);
    for (auto &x : data)
        x = uint8_t(rng());
    using fn = uint32_t (*)(uint32_t, const uint8_t *, int32_t);
    const fn crcs[] = {crc32_sliced, crc32_bytewise, crc32_fast};
    const fn adlers[] = {adler32_blocked, adler32_bytewise, adler32_fast};
    for (size_t len = 0; len < 300; ++len)
        for (size_t align = 0; align < 8; ++align) {
            const uint8_t *p = data.data() + align;
            const uint32_t zc = uint32_t(crc32(0, p, uInt(len))), za = uint32_t(adler32(1, p, uInt(len)));
            for (fn f : crcs)
                CHECK(f(0, p, int32_t(len)) == zc);
            for (fn f : adlers)
                CHECK(f(1, p, int32_t(len)) == za);
        }
    bytes ff(3 * 8192 + 5, 0xFF);
    for (size_t len : {4095, 4096, 4097, 8191, 8192, 12289, 20000, 24581})
        for (const bytes *src : {&data, &ff}) {
            const uint8_t *p = src->data();
            const size_t n = len < src->size() ? len : src->size();
            const uint32_t zc = uint32_t(crc32(0, p, uInt(n))), za = uint32_t(adler32(1, p, uInt(n)));
            for (fn f : crcs)
                CHECK(f(0, p, int32_t(n)) == zc);
            for (fn f : adlers) {
                CHECK(f(1, p, int32_t(n)) == za);
                const size_t cut = n / 3;  // split into consecutive calls
                CHECK(f(f(1, p, int32_t(cut)), p + cut, int32_t(n - cut)) == za);
            }
            CHECK(crc32_fast(crc32_fast(0, p, int32_t(n / 2)), p + n / 2, int32_t(n - n / 2)) == zc);
        }
}

// ---- containers ----
void test_containers() {
    kavo_stream s;
    bytes out;
    gzip_init(&s, 1);
    finish_into(out, s, gzip_finish, GZIP_FINISH_BOUND);
    CHECK(out == hex("1f 8b 08 00 00 00 00 00 04 03 03 00 00 00 00 00 00 00 00 00"));
    CHECK(s.state == ST_TRAILER_DONE);
    out.clear();
    zlib_init(&s, 1);
    CHECK(s.checksum == 1 && s.format == 1);
    finish_into(out, s, zlib_finish, ZLIB_FINISH_BOUND);
    CHECK(out == hex("78 01 03 00 00 00 00 01"));

    for (int level = 0; level < 2; ++level) {
        uint8_t b[16];
        gzip_init(&s, level);
        CHECK(gzip_encode(&s, b, nullptr, 0, 1) == 10 && s.state == ST_BETWEEN_BLOCKS && s.checksum == 0);
        CHECK(bytes(b, b + 10) == hex("1f 8b 08 00 00 00 00 00 04 03"));
        zlib_init(&s, level);
        CHECK(zlib_encode(&s, b, nullptr, 0, 1) == 2 && s.checksum == 1 && bytes(b, b + 2) == hex("78 01"));
    }

    // The header goes out once, whichever operation comes first.
    const bytes msg = text("hello hello hello hello, gzip and zlib");
    for (int first = 0; first < 3; ++first) {
        for (int fmt = 0; fmt < 2; ++fmt) {
            out.clear();
            auto enc = fmt == 0 ? gzip_encode : zlib_encode;
            auto fin = fmt == 0 ? gzip_finish : zlib_finish;
            const int header = fmt == 0 ? GZIP_HEADER_SIZE : ZLIB_HEADER_SIZE;
            fmt == 0 ? gzip_init(&s, 1) : zlib_init(&s, 1);
            if (first == 1) {
                uint8_t b[16];
                const int n = fmt == 0 ? gzip_send_header(&s, b) : zlib_send_header(&s, b);
                CHECK(n == header);
                out.insert(out.end(), b, b + n);
            }
            if (first <= 1) {
                encode_into(out, s, msg.data(), 10, 1, enc, header);
                encode_into(out, s, msg.data() + 10, int32_t(msg.size() - 10), 1, enc, header);
            }
            finish_into(out, s, fin, fmt == 0 ? GZIP_FINISH_BOUND : ZLIB_FINISH_BOUND);
            bool ok;
            const bytes back = inflate_all(out, fmt == 0 ? 31 : 15, &ok);
            CHECK(ok);
            CHECK(back == (first <= 1 ? msg : bytes{}));
        }
    }
    // zlib trailer is big-endian Adler-32; gzip's CRC and ISIZE little-endian, ISIZE modulo 2^32.
    zlib_init(&s, 1);
    out.clear();
    encode_into(out, s, text("abc").data(), 3, 1, zlib_encode, 2);
    finish_into(out, s, zlib_finish, ZLIB_FINISH_BOUND);
    CHECK(bytes(out.end() - 4, out.end()) == hex("02 4d 01 27"));
    gzip_init(&s, 0);
    out.clear();
    encode_into(out, s, text("abc").data(), 3, 1, gzip_encode, 10);
    s.input_total += 0xFFFFFFFFu;  // as if 4 GiB - 1 more bytes had passed: 3 + 2^32 - 1 wraps to 2
    finish_into(out, s, gzip_finish, GZIP_FINISH_BOUND);
    CHECK(bytes(out.end() - 8, out.end()) == hex("c2 41 24 35 02 00 00 00"));
    CHECK(out[8] == 4 && out[9] == 3);
}

// ---- checksum variants: every CPU-specific form against zlib and the byte-at-a-time forms ----
struct named_form {
    std::string name;
    checksum_fn fn;
};

// The supported entries of a variant list, plus the dispatched form, which must agree with all of them.
std::vector<named_form> runnable(int (*variants)(const checksum_variant **), const char *fast_name, checksum_fn fast) {
    std::vector<named_form> forms;
    const checksum_variant *v;
    const int n = variants(&v);
    std::string names;
    for (int i = 0; i < n; ++i)
        if (v[i].supported) {
            forms.push_back({v[i].name, v[i].fn});
            names += std::string(" ") + v[i].name;
        }
    forms.push_back({fast_name, fast});
    std::printf("%s runs on this CPU:%s\n", fast_name, names.c_str());
    return forms;
}

// Reports the first disagreement of a form in detail; counts every case as a check.
void check_value(const named_form &f, uint32_t got, uint32_t want, const char *what, long long len, size_t align,
                 int *reported) {
    ++checks;
    if (got == want)
        return;
    ++failures;
    if ((*reported)++ < 3)
        std::fprintf(stderr, "checksum %s: %s len %lld align %zu: got %08x, want %08x\n", f.name.c_str(), what, len,
                     align, unsigned(got), unsigned(want));
}

void test_checksum_variants() {
    const std::vector<named_form> crcs = runnable(crc32_variants, "crc32_fast", crc32_fast);
    const std::vector<named_form> adlers = runnable(adler32_variants, "adler32_fast", adler32_fast);
    int reported = 0;
    std::mt19937 rng(7);
    // Adler-32 start values keep both sums below 65521; the largest ones make the sums grow fastest.
    auto adler_start = [&rng] { return ((rng() % 65521) << 16) | (rng() % 65521); };

    // Every length 0..1000 at every alignment 0..63, from random start values: covers the short-input
    // thresholds, each wide loop run zero to a few times, and every tail length.
    bytes data(1000 + 64);
    for (auto &x : data)
        x = uint8_t(rng());
    for (size_t len = 0; len <= 1000; ++len)
        for (size_t align = 0; align < 64; ++align) {
            const uint8_t *p = data.data() + align;
            const uint32_t c0 = rng(), a0 = adler_start();
            const uint32_t zc = uint32_t(crc32(c0, p, uInt(len))), za = uint32_t(adler32(a0, p, uInt(len)));
            check_value({"crc32_bytewise", crc32_bytewise}, crc32_bytewise(c0, p, int32_t(len)), zc, "short", len,
                        align, &reported);
            check_value({"adler32_bytewise", adler32_bytewise}, adler32_bytewise(a0, p, int32_t(len)), za, "short",
                        len, align, &reported);
            for (const named_form &f : crcs)
                check_value(f, f.fn(c0, p, int32_t(len)), zc, "short", len, align, &reported);
            for (const named_form &f : adlers)
                check_value(f, f.fn(a0, p, int32_t(len)), za, "short", len, align, &reported);
        }

    // Block edges of the folding loops and of the Adler-32 reductions, on random bytes and on 0xFF (the
    // largest sums), Adler-32 from 1 and from the largest start value, at a few alignments.
    const size_t MB3 = size_t(3) << 20;
    bytes noise(MB3 + 64), ff(MB3 + 64, 0xFF);
    for (auto &x : noise)
        x = uint8_t(rng());
    const size_t edges[] = {64,    65,    127,   128,   255,   256,   257,   511,   512,   513,   1023,   1024,  4095,
                            4096,  4097,  5503,  5504,  5505,  5535,  5536,  5537,  5551,  5552,  5553,   8191,  8192,
                            8193,  11104, 11105, 12289, 16383, 16384, 65535, 65536, 65537, MB3 - 1, MB3};
    const uint32_t adler_max = (65520u << 16) | 65520u;
    for (const bytes *src : {&noise, &ff})
        for (size_t len : edges)
            for (size_t align : {0, 1, 7, 31, 63}) {
                const uint8_t *p = src->data() + align;
                const uint32_t c0 = rng();
                const uint32_t zc = uint32_t(crc32(c0, p, uInt(len)));
                const uint32_t za = uint32_t(adler32(adler_max, p, uInt(len)));
                const uint32_t za1 = uint32_t(adler32(1, p, uInt(len)));
                for (const named_form &f : crcs)
                    check_value(f, f.fn(c0, p, int32_t(len)), zc, "edge", len, align, &reported);
                for (const named_form &f : adlers) {
                    check_value(f, f.fn(adler_max, p, int32_t(len)), za, "edge from max", len, align, &reported);
                    check_value(f, f.fn(1, p, int32_t(len)), za1, "edge from 1", len, align, &reported);
                }
            }
    // The byte-at-a-time forms over the longest 0xFF run, as a second witness beside zlib.
    check_value({"crc32_bytewise", crc32_bytewise}, crc32_bytewise(0, ff.data(), int32_t(MB3)),
                uint32_t(crc32(0, ff.data(), uInt(MB3))), "0xFF run", MB3, 0, &reported);
    check_value({"adler32_bytewise", adler32_bytewise}, adler32_bytewise(adler_max, ff.data(), int32_t(MB3)),
                uint32_t(adler32(adler_max, ff.data(), uInt(MB3))), "0xFF run", MB3, 0, &reported);

    // Random splits of 3 MB (random bytes with 0xFF runs in it), each piece through a randomly chosen form:
    // the running value must carry between calls and between forms.
    bytes mixed = noise;
    for (size_t at = 0; at + 70000 < mixed.size(); at += 200000)
        std::fill(mixed.begin() + long(at), mixed.begin() + long(at + 70000), 0xFF);
    const uint32_t whole_c = uint32_t(crc32(0, mixed.data(), uInt(MB3)));
    const uint32_t whole_a = uint32_t(adler32(1, mixed.data(), uInt(MB3)));
    for (int round = 0; round < 40; ++round) {
        uint32_t c = 0, a = 1;
        for (size_t at = 0; at < MB3;) {
            // Mostly short pieces, sometimes long ones, so every threshold is crossed mid-stream.
            const size_t cap = round % 4 == 0 ? 17 : round % 4 == 1 ? 700 : round % 4 == 2 ? 9000 : 300000;
            const size_t piece = std::min<size_t>(rng() % (cap + 1), MB3 - at);
            c = crcs[rng() % crcs.size()].fn(c, mixed.data() + at, int32_t(piece));
            a = adlers[rng() % adlers.size()].fn(a, mixed.data() + at, int32_t(piece));
            at += piece;
        }
        check_value({"crc32 (mixed forms)", nullptr}, c, whole_c, "random split", MB3, size_t(round), &reported);
        check_value({"adler32 (mixed forms)", nullptr}, a, whole_a, "random split", MB3, size_t(round), &reported);
    }

    // Empty and negative lengths read nothing: the CRC comes back as it went in, the Adler-32 as the blocked
    // form returns it. Unreduced Adler-32 start values (sums 65521..65535, which no stream holds) still come
    // out as the blocked form reduces them, so a form may replace it for any argument.
    for (const uint32_t start : {0u, 1u, 0x12345678u, 0xFFFFFFFFu, 0xFFF1FFF0u, 0xFFF0FFF1u})
        for (const int32_t len : {-1, 0, 1, 63, 64, 1000, 70000}) {
            for (const named_form &f : crcs)
                check_value(f, f.fn(start, noise.data(), len),
                            len <= 0 ? start : crc32_sliced(start, noise.data(), len), "start value", len, 0, &reported);
            for (const named_form &f : adlers)
                check_value(f, f.fn(start, ff.data(), len), adler32_blocked(start, ff.data(), len), "start value", len,
                            0, &reported);
        }
}

// ---- sync flush, window limit, segments ----
using encode_fn = size_t (*)(kavo_stream *, uint8_t *, const uint8_t *, int32_t, int);
using finish_fn = int (*)(kavo_stream *, uint8_t *);
using flush_fn = int (*)(kavo_stream *, uint8_t *);
using splice_fn = size_t (*)(kavo_stream *, uint8_t *, const kavo_segment *, const uint8_t *, const uint8_t *, int32_t);

struct format_ops {
    int format, header, finish_bound, wbits_sign, wbits_add;  // zlib's window-bits spelling: sign * w + add
    int (*init)(kavo_stream *, int);
    encode_fn encode;
    flush_fn sync_flush;
    splice_fn splice;
    finish_fn finish;
};

size_t raw_splice(kavo_stream *s, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out, const uint8_t *,
                  int32_t len) {
    return deflate_splice(s, out, seg, seg_out, len);
}

const format_ops FORMATS[] = {
    {KAVO_FMT_DEFLATE, 0, DEFLATE_FINISH_BOUND, -1, 0, deflate_init, deflate_encode, deflate_sync_flush, raw_splice,
     deflate_finish},
    {KAVO_FMT_GZIP, GZIP_HEADER_SIZE, GZIP_FINISH_BOUND, 1, 16, gzip_init, gzip_encode, gzip_sync_flush, gzip_splice,
     gzip_finish},
    {KAVO_FMT_ZLIB, ZLIB_HEADER_SIZE, ZLIB_FINISH_BOUND, 1, 0, zlib_init, zlib_encode, zlib_sync_flush, zlib_splice,
     zlib_finish},
};

bytes inflate_strict(const bytes &data, int window_bits, bool *ok) { return inflate_all(data, window_bits, ok, 1); }

// What a fresh inflater makes of a prefix of a stream: all of its data, or a failure.
bytes inflate_prefix(const bytes &data, size_t n, int window_bits, bool *ok) {
    z_stream z{};
    bytes out(1 << 20);
    *ok = inflateInit2(&z, window_bits) == Z_OK;
    z.next_in = const_cast<Bytef *>(data.data());
    z.avail_in = uInt(n);
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    const int rc = inflate(&z, Z_SYNC_FLUSH);
    *ok = *ok && (rc == Z_OK || rc == Z_BUF_ERROR) && z.avail_in == 0;
    out.resize(out.size() - z.avail_out);
    inflateEnd(&z);
    return out;
}

int sync_flush_into(bytes &out, kavo_stream &s, flush_fn flush) {
    guarded g(SYNC_FLUSH_BOUND);
    const int n = flush(&s, g.data());
    CHECK(g.intact() && n >= 0 && n <= SYNC_FLUSH_BOUND);
    out.insert(out.end(), g.data(), g.data() + n);
    return n;
}

void test_sync_flush() {
    kavo_stream s;
    bytes out;
    deflate_init(&s, 1);
    sync_flush_into(out, s, deflate_sync_flush);
    sync_flush_into(out, s, deflate_sync_flush);  // each call writes its own empty block
    CHECK(out == hex("00 00 00 ff ff 00 00 00 ff ff") && s.state == ST_BETWEEN_BLOCKS);
    out.clear();
    deflate_init(&s, 1);
    encode_into(out, s, text("a").data(), 1, 1);
    sync_flush_into(out, s, deflate_sync_flush);
    CHECK(out == hex("4a 04 00 00 00 ff ff") && s.queued_bits == 0);
    finish_into(out, s);
    CHECK(out == hex("4a 04 00 00 00 ff ff 03 00"));
    out.clear();
    gzip_init(&s, 0);
    sync_flush_into(out, s, gzip_sync_flush);
    CHECK(out == hex("1f 8b 08 00 00 00 00 00 04 03 00 00 00 ff ff"));
    out.clear();
    zlib_init(&s, 1);
    kavo_set_window(&s, 9);
    sync_flush_into(out, s, zlib_sync_flush);
    CHECK(out == hex("18 19 00 00 00 ff ff"));

    // After every flush the input so far decodes from the bytes so far; the whole stream decodes.
    std::mt19937 rng(11);
    for (const format_ops &f : FORMATS)
        for (int kind : {0, 1, 2})
            for (int level = 0; level < 2; ++level) {
                const bytes in = generated_input(kind, 100000, uint32_t(kind + 7));
                f.init(&s, level);
                out.clear();
                for (size_t at = 0; at < in.size();) {
                    const size_t n = std::min(in.size() - at, size_t(rng() % 9000));
                    encode_into(out, s, in.data() + at, int32_t(n), 1, f.encode, f.header);
                    at += n;
                    sync_flush_into(out, s, f.sync_flush);
                    const int wbits = f.wbits_sign * 15 + f.wbits_add;
                    bool ok;
                    const bytes got = inflate_prefix(out, out.size(), wbits, &ok);
                    CHECK(ok && got.size() == at && std::equal(got.begin(), got.end(), in.begin()));
                    CHECK(s.queued_bits == 0 && s.state == ST_BETWEEN_BLOCKS);
                }
                finish_into(out, s, f.finish, size_t(f.finish_bound));
                bool ok;
                CHECK(inflate_all(out, f.wbits_sign * 15 + f.wbits_add, &ok) == in && ok);
            }
}

void test_window() {
    for (const format_ops &f : FORMATS)
        for (int kind : {1, 2, 4})
            for (int w = 9; w <= 15; ++w) {
                const bytes in = generated_input(kind, 120000, uint32_t(kind * 31 + w));
                kavo_stream s;
                f.init(&s, 1);
                kavo_set_window(&s, w);
                CHECK(stream_window_bits(s) == w);
                bytes out;
                for (size_t at = 0; at < in.size(); at += 50000)
                    encode_into(out, s, in.data() + at, int32_t(std::min(in.size() - at, size_t(50000))), 1,
                                f.encode, f.header);
                finish_into(out, s, f.finish, size_t(f.finish_bound));
                bool ok;
                CHECK(inflate_strict(out, f.wbits_sign * w + f.wbits_add, &ok) == in && ok);
                if (f.format == KAVO_FMT_ZLIB) {
                    CHECK(out[0] >> 4 == w - 8 && (out[0] << 8 | out[1]) % 31 == 0);
                    // a decoder that keeps a window one smaller refuses the header
                    if (w > 9)
                        CHECK((inflate_strict(out, w - 1, &ok), !ok));
                }
                if (w == 15)
                    CHECK(out == engine_stream(f.format, in, 1, {50000, 100000}));
            }
    // A smaller window costs ratio only where the repeats are farther than it.
    const bytes far = generated_input(2, 200000, 5);
    kavo_stream s;
    bytes narrow, wide;
    for (int w : {9, 15}) {
        deflate_init(&s, 1);
        kavo_set_window(&s, w);
        encode_into(w == 9 ? narrow : wide, s, far.data(), int32_t(far.size()), 0);
    }
    CHECK(narrow.size() > wide.size());
    // A long call moves the table's positions down as it goes; no match may reach past a small
    // window across those points.
    for (int w : {9, 12}) {
        const bytes in = generated_input(2, 9000000, uint32_t(w));
        deflate_init(&s, 1);
        kavo_set_window(&s, w);
        bytes out;
        encode_into(out, s, in.data(), int32_t(in.size()), 1);
        finish_into(out, s);
        bool ok;
        CHECK(inflate_strict(out, -w, &ok) == in && ok);
    }
    deflate_init(&s, 1);
    kavo_set_window(&s, 3);  // clamped
    CHECK(stream_window_bits(s) == 9);
    kavo_set_window(&s, 40);
    CHECK(stream_window_bits(s) == 15);
}

// Pieces of an input go through a stream either encoded by it, or as segments encoded apart and
// spliced, with sync flushes here and there: the bytes and the end state must be the same.
void test_splice() {
    std::mt19937 rng(2027);
    int cases = 0;
    for (const format_ops &f : FORMATS)
        for (int kind = 0; kind < 5; ++kind)
            for (int level = 0; level < 2; ++level)
                for (int w : {15, 10})
                    for (int round = 0; round < 4; ++round) {
                        const bytes in = generated_input(kind, 20000 + rng() % 200000, rng());
                        std::vector<size_t> ends;
                        for (size_t at = 0; at < in.size();) {
                            at = std::min(in.size(), at + (rng() % 3 == 0 ? rng() % 40 : rng() % 70000));
                            ends.push_back(at);
                        }
                        kavo_stream direct, spliced;
                        f.init(&direct, level);
                        f.init(&spliced, level);
                        kavo_set_window(&direct, w);
                        kavo_set_window(&spliced, w);
                        bytes a, b;
                        size_t at = 0;
                        for (size_t end : ends) {
                            const uint8_t *piece = in.data() + at;
                            const int32_t n = int32_t(end - at);
                            at = end;
                            encode_into(a, direct, piece, n, 1, f.encode, f.header);
                            if (rng() % 4 == 0) {  // the other stream encodes this one itself too
                                encode_into(b, spliced, piece, n, 1, f.encode, f.header);
                            } else {
                                kavo_segment seg;
                                guarded segment_out{size_t(segment_bound(uint64_t(n)))};
                                deflate_encode_segment(&seg, segment_out.data(), piece, n, level, w);
                                CHECK(segment_out.intact() && seg.size + 16 <= segment_out.size);
                                guarded g(size_t(splice_bound(seg)));
                                const int k = f.splice(&spliced, g.data(), &seg, segment_out.data(), piece, n);
                                CHECK(g.intact() && k >= 0 && size_t(k) <= g.size);
                                b.insert(b.end(), g.data(), g.data() + k);
                            }
                            if (rng() % 5 == 0) {
                                sync_flush_into(a, direct, f.sync_flush);
                                sync_flush_into(b, spliced, f.sync_flush);
                            }
                            const bool same = a == b && direct.state == spliced.state &&
                                              direct.queued_bits == spliced.queued_bits &&
                                              direct.bit_queue == spliced.bit_queue &&
                                              direct.checksum == spliced.checksum &&
                                              direct.input_total == spliced.input_total;
                            CHECK(same);
                            if (!same) {
                                std::fprintf(stderr, "  format %d kind %d level %d window %d: piece ending at %zu\n",
                                             f.format, kind, level, w, end);
                                return;
                            }
                            ++cases;
                        }
                        finish_into(a, direct, f.finish, size_t(f.finish_bound));
                        finish_into(b, spliced, f.finish, size_t(f.finish_bound));
                        CHECK(a == b);
                        bool ok;
                        CHECK(inflate_all(b, f.wbits_sign * w + f.wbits_add, &ok) == in && ok);
                    }
    std::printf("splice: %d pieces\n", cases);
}

}  // namespace

// The compiled forms of level 1: the list ends with the portable one, each can be chosen by name and
// only those listed can (the calls of the other tests run whichever form is in use).
void test_engine_variants() {
    const char *names[8];
    const int count = engine_variants(names, 8);
    CHECK(count >= 1 && count <= 8);
    CHECK(std::strcmp(names[count - 1], "baseline") == 0);
    const std::string in_use = engine_variant();
    const bytes in = generated_input(1, 100000, 5);
    const bytes expected = plain_stream(KAVO_FMT_DEFLATE, in, 1, {}, false);
    for (int i = 0; i < count; ++i) {
        CHECK(set_engine_variant(names[i]));
        CHECK(std::strcmp(engine_variant(), names[i]) == 0);
        CHECK(raw_stream(in, 1, {}) == expected);
    }
    CHECK(!set_engine_variant("no-such-variant"));
    CHECK(!set_engine_variant(nullptr));
    CHECK(set_engine_variant(in_use.c_str()));
    CHECK(engine_variant() == in_use);
}


int main() {
    print_engine_variant();
    const std::pair<const char *, void (*)()> tests[] = {
        {"tables", test_tables},         {"vectors", test_vectors},       {"thresholds", test_thresholds},
        {"cost_rule", test_cost_rule},   {"bounds", test_bounds},         {"table_reuse", test_table_reuse},  {"against_plain", test_against_plain},
        {"checksums", test_checksums},   {"checksum_variants", test_checksum_variants},
        {"containers", test_containers}, {"sync_flush", test_sync_flush}, {"window", test_window},
        {"splice", test_splice},         {"engine_variants", test_engine_variants},
    };
    int passed = 0, failed = 0;
    for (const auto &t : tests) {
        const int before = failures;
        t.second();
        if (failures == before) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s\n", t.first);
        }
    }
    std::printf("%d checks\n%d passed, %d failed\n", checks, passed, failed);
    return failed ? 1 : 0;
}
