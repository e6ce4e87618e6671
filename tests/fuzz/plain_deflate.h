// A deliberately plain second encoder for the differential tests: one bit, one byte, one probe at a time.
//
// It shares no code and no table with engine/: the Huffman codes come from the canonical
// construction of RFC 1951 (section 3.2.2) applied to the fixed code lengths, the length and
// distance bases are summed up from their extra-bit counts, the checksums are computed bit by bit,
// the bit queue is a list of single bits, and the match finder's table is a plain array that every
// call refills. Nothing here is fast on purpose: every shortcut the engine takes (word compares,
// table reuse across calls, three literals per spill, precomputed code tables) has to land on the
// same bytes as this straightforward reading of the rules, or the fuzz target reports it.
#ifndef KAVO_TESTS_PLAIN_DEFLATE_H
#define KAVO_TESTS_PLAIN_DEFLATE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plain {

enum : int { HEADER_PENDING = 0, BETWEEN_BLOCKS = 1, IN_FIXED = 2, IN_LAST_FIXED = 3, FINISHED = 4, TRAILER_DONE = 5 };
enum : int { FMT_GZIP = 0, FMT_ZLIB = 1, FMT_RAW = 2 };

struct huffman_code {
    uint32_t code = 0;  // as RFC 1951 writes it: sent most significant bit first
    uint32_t bits = 0;
};

// RFC 1951 section 3.2.2: codes of each length are consecutive, shorter codes first.
inline std::vector<huffman_code> canonical_codes(const std::vector<uint32_t> &lengths) {
    uint32_t max_bits = 0;
    for (uint32_t n : lengths)
        if (n > max_bits)
            max_bits = n;
    std::vector<uint32_t> bl_count(max_bits + 1, 0);
    for (uint32_t n : lengths)
        if (n != 0)
            ++bl_count[n];
    std::vector<uint32_t> next_code(max_bits + 1, 0);
    uint32_t code = 0;
    for (uint32_t bits = 1; bits <= max_bits; ++bits) {
        code = (code + bl_count[bits - 1]) << 1;
        next_code[bits] = code;
    }
    std::vector<huffman_code> codes(lengths.size());
    for (size_t sym = 0; sym < lengths.size(); ++sym) {
        const uint32_t n = lengths[sym];
        if (n != 0) {
            codes[sym].code = next_code[n]++;
            codes[sym].bits = n;
        }
    }
    return codes;
}

// The fixed code of RFC 1951 section 3.2.6 with the length and distance tables of 3.2.5.
struct fixed_code {
    std::vector<huffman_code> litlen;  // symbols 0..287
    std::vector<huffman_code> dist;    // symbols 0..29
    uint32_t length_base[29], length_extra[29];
    uint32_t dist_base[30], dist_extra[30];

    fixed_code() {
        std::vector<uint32_t> lengths(288);
        for (int sym = 0; sym < 288; ++sym)
            lengths[sym] = sym <= 143 ? 8 : sym <= 255 ? 9 : sym <= 279 ? 7 : 8;
        litlen = canonical_codes(lengths);
        dist = canonical_codes(std::vector<uint32_t>(30, 5));
        // Length codes 257..284 come in groups of four with 0, 0, 1, 2, 3, 4, 5 extra bits (the
        // first two groups have none); code 285 stands alone for 258.
        uint32_t base = 3;
        for (int i = 0; i < 28; ++i) {
            length_extra[i] = i < 8 ? 0 : uint32_t(i / 4 - 1);
            length_base[i] = base;
            base += 1u << length_extra[i];
        }
        length_extra[28] = 0;
        length_base[28] = 258;
        // Distance codes come in pairs from code 4 on, each pair with one more extra bit.
        base = 1;
        for (int c = 0; c < 30; ++c) {
            dist_extra[c] = c < 4 ? 0 : uint32_t(c / 2 - 1);
            dist_base[c] = base;
            base += 1u << dist_extra[c];
        }
    }

    // Symbol index 0..28 (code 257 + index) for a match length of 3..258.
    int length_index(uint32_t len) const {
        if (len == 258)
            return 28;
        for (int i = 27; i >= 0; --i)
            if (len >= length_base[i])
                return i;
        return -1;
    }
    int dist_index(uint32_t d) const {
        for (int c = 29; c >= 0; --c)
            if (d >= dist_base[c])
                return c;
        return -1;
    }
    uint32_t length_bits(uint32_t len) const {
        const int i = length_index(len);
        return litlen[257 + i].bits + length_extra[i];
    }
    uint32_t dist_bits(uint32_t d) const {
        const int c = dist_index(d);
        return dist[c].bits + dist_extra[c];
    }
};

inline const fixed_code &codes() {
    static const fixed_code c;
    return c;
}

inline uint32_t crc32_bitwise(uint32_t crc, const uint8_t *p, size_t n) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

inline uint32_t adler32_bytewise(uint32_t adler, const uint8_t *p, size_t n) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

// One compression stream, with the engine's observable record: bits still queued, block state,
// level, format, checksum and input count.
struct stream {
    uint8_t queue[32] = {};  // pending bits, oldest first, one bit an entry
    uint32_t queued = 0;     // how many of them are valid: 0 to 31 between calls
    int state = BETWEEN_BLOCKS;
    int level = 1;
    int format = FMT_RAW;
    uint32_t checksum = 0;
    uint32_t input_total = 0;
    std::vector<uint8_t> *out = nullptr;  // output of the call under way

    void init(int fmt, int lvl) {
        queued = 0;
        format = fmt;
        level = lvl & 1;
        input_total = 0;
        state = fmt == FMT_RAW ? BETWEEN_BLOCKS : HEADER_PENDING;
        checksum = fmt == FMT_ZLIB ? 1 : 0;
    }

    // Output leaves the queue in whole 32-bit words while blocks are coded.
    void put_bit(uint32_t bit) {
        queue[queued++] = uint8_t(bit & 1);
        if (queued == 32) {
            for (int byte = 0; byte < 4; ++byte) {
                uint8_t v = 0;
                for (int k = 0; k < 8; ++k)
                    v |= uint8_t(queue[8 * byte + k] << k);
                out->push_back(v);
            }
            queued = 0;
        }
    }
    // Header fields and extra bits: least significant bit first.
    void put_value(uint32_t value, uint32_t n) {
        for (uint32_t k = 0; k < n; ++k)
            put_bit(value >> k);
    }
    // Huffman codes: most significant bit first.
    void put_code(const huffman_code &c) {
        for (uint32_t k = c.bits; k-- > 0;)
            put_bit(c.code >> k);
    }
    void flush_to_byte() {
        for (uint32_t i = 0; i < queued; i += 8) {
            uint8_t v = 0;
            for (uint32_t k = 0; k < 8 && i + k < queued; ++k)
                v |= uint8_t(queue[i + k] << k);
            out->push_back(v);
        }
        queued = 0;
    }
    void end_of_block() { put_code(codes().litlen[256]); }
    void literal(uint8_t b) { put_code(codes().litlen[b]); }
    void match(uint32_t len, uint32_t dist) {
        const fixed_code &fc = codes();
        const int li = fc.length_index(len);
        put_code(fc.litlen[257 + li]);
        put_value(len - fc.length_base[li], fc.length_extra[li]);
        const int di = fc.dist_index(dist);
        put_code(fc.dist[di]);
        put_value(dist - fc.dist_base[di], fc.dist_extra[di]);
    }

    // Stored blocks of at most 65535 bytes; an open fixed block is ended first.
    void stored(const uint8_t *in, uint32_t len, int more) {
        uint32_t remaining = len;
        do {
            const uint32_t chunk = remaining < 65535 ? remaining : 65535;
            remaining -= chunk;
            if (state != BETWEEN_BLOCKS)
                end_of_block();
            const uint32_t final_block = (more == 0 && remaining == 0) ? 1 : 0;
            state = final_block ? FINISHED : BETWEEN_BLOCKS;
            put_value(final_block, 1);
            put_value(0, 2);  // BTYPE 00
            flush_to_byte();
            out->push_back(uint8_t(chunk & 0xFF));
            out->push_back(uint8_t(chunk >> 8));
            out->push_back(uint8_t(~chunk & 0xFF));
            out->push_back(uint8_t((~chunk >> 8) & 0xFF));
            for (uint32_t i = 0; i < chunk; ++i)
                out->push_back(*in++);
        } while (remaining != 0);
    }

    void open_fixed(uint32_t final_block) {
        put_value(final_block, 1);
        put_value(1, 2);  // BTYPE 01
        state = final_block ? IN_LAST_FIXED : IN_FIXED;
    }

    // A pending run that a match follows: stored when its literal codes would exceed its raw
    // size by 52 bits or more (one bit for each byte of 144 or more), else literal codes.
    void run_before_match(const uint8_t *run, uint32_t n, uint32_t high) {
        if (high >= 52) {
            stored(run, n, 1);
            return;
        }
        if (state == BETWEEN_BLOCKS)
            open_fixed(0);
        for (uint32_t i = 0; i < n; ++i)
            literal(run[i]);
    }

    void fixed(const uint8_t *in, uint32_t len, int more) {
        // Refilled at every call: a match never reaches into an earlier call's input.
        static const uint32_t EMPTY_POS = 0xFFFF7FFFu, EMPTY_WORD = 0xFFFFFFFFu;
        std::vector<uint32_t> last_pos(8192, EMPTY_POS), last_word(8192, EMPTY_WORD);
        const fixed_code &fc = codes();
        uint32_t pos = 0, pending = 0, high = 0;
        while (len - pos >= 4) {
            const uint32_t word = uint32_t(in[pos]) | uint32_t(in[pos + 1]) << 8 | uint32_t(in[pos + 2]) << 16 |
                                  uint32_t(in[pos + 3]) << 24;
            const uint32_t slot = uint32_t(word * 524351u) >> 19;
            const uint32_t cand_pos = last_pos[slot], cand_word = last_word[slot];
            last_pos[slot] = pos;
            last_word[slot] = word;
            if (cand_word == word && uint32_t(pos - cand_pos - 1) <= 32767u) {
                const uint32_t dist = pos - cand_pos;
                const uint32_t cap = len - pos < 258 ? len - pos : 258;
                uint32_t L = 4;
                while (L < cap && in[pos + L] == in[pos - dist + L])
                    ++L;
                bool accept;
                if (high >= 52 && L <= 5)
                    accept = false;
                else
                    accept = fc.length_bits(L) + fc.dist_bits(dist) + 8 < 8 * L + high;
                if (accept) {
                    if (pending > 0)
                        run_before_match(in + pos - pending, pending, high);
                    if (state == BETWEEN_BLOCKS)
                        open_fixed(0);
                    match(L, dist);
                    pos += L;
                    pending = 0;
                    high = 0;
                    continue;
                }
            }
            high += in[pos] >= 144 ? 1 : 0;
            ++pending;
            ++pos;
        }
        for (; pos < len; ++pos) {
            high += in[pos] >= 144 ? 1 : 0;
            ++pending;
        }
        if (pending == 0)
            return;
        const uint8_t *run = in + len - pending;
        if (high >= 52) {
            stored(run, pending, more);
            return;
        }
        if (state == BETWEEN_BLOCKS) {
            open_fixed(more ? 0 : 1);
        } else if (!more) {
            end_of_block();
            open_fixed(1);
        }
        for (uint32_t i = 0; i < pending; ++i)
            literal(run[i]);
    }

    // ---- the operations, with the engine's calling conventions ----
    void deflate_encode(std::vector<uint8_t> &o, const uint8_t *in, uint32_t len, int more) {
        out = &o;
        if (len != 0) {
            if (level)
                fixed(in, len, more);
            else
                stored(in, len, more);
        }
        input_total += len;
    }

    void deflate_finish(std::vector<uint8_t> &o) {
        out = &o;
        if (state == IN_FIXED) {
            end_of_block();
            state = BETWEEN_BLOCKS;
        }
        if (state == IN_LAST_FIXED) {
            end_of_block();
        } else if (state != FINISHED) {
            open_fixed(1);  // an empty final block
            end_of_block();
        }
        state = FINISHED;
        flush_to_byte();
    }

    void header(std::vector<uint8_t> &o) {
        static const uint8_t gzip_header[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 3};
        static const uint8_t zlib_header[2] = {0x78, 0x01};
        if (format == FMT_GZIP)
            o.insert(o.end(), gzip_header, gzip_header + 10);
        else
            o.insert(o.end(), zlib_header, zlib_header + 2);
        state = BETWEEN_BLOCKS;
    }

    // The whole encode of this stream's format, header included while it is pending.
    void encode(std::vector<uint8_t> &o, const uint8_t *in, uint32_t len, int more) {
        if (format != FMT_RAW) {
            if (state == HEADER_PENDING)
                header(o);
            checksum = format == FMT_GZIP ? crc32_bitwise(checksum, in, len) : adler32_bytewise(checksum, in, len);
        }
        std::vector<uint8_t> body;
        deflate_encode(body, in, len, more);
        o.insert(o.end(), body.begin(), body.end());
    }

    void finish(std::vector<uint8_t> &o) {
        if (format == FMT_RAW) {
            deflate_finish(o);
            return;
        }
        if (state == HEADER_PENDING)
            header(o);
        deflate_finish(o);
        if (format == FMT_GZIP) {
            for (int k = 0; k < 4; ++k)
                o.push_back(uint8_t(checksum >> (8 * k)));
            for (int k = 0; k < 4; ++k)
                o.push_back(uint8_t(input_total >> (8 * k)));
        } else {
            for (int k = 3; k >= 0; --k)
                o.push_back(uint8_t(checksum >> (8 * k)));
        }
        state = TRAILER_DONE;
    }

    // The queued bits as the engine holds them: the oldest in bit 0.
    uint64_t queued_value() const {
        uint64_t v = 0;
        for (uint32_t i = 0; i < queued; ++i)
            v |= uint64_t(queue[i]) << i;
        return v;
    }
};

}  // namespace plain

#endif
