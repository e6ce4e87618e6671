// Bit output of the deflate stream: the 64-bit queue, word spills, byte flush, unaligned stores.
#ifndef KAVO_BIT_OUTPUT_H
#define KAVO_BIT_OUTPUT_H

#include <cstring>

#include "kavo.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define KAVO_INLINE __forceinline
#define KAVO_LIKELY(x) (x)
#define KAVO_UNLIKELY(x) (x)
#else
#define KAVO_INLINE inline __attribute__((always_inline))
#define KAVO_LIKELY(x) __builtin_expect(!!(x), 1)
#define KAVO_UNLIKELY(x) __builtin_expect(!!(x), 0)
#endif

namespace kavo {

// Largest payload of one stored block: LEN is a 16-bit field.
constexpr uint32_t STORED_BLOCK_MAX = 65535;

// Unaligned little-endian access. memcpy is the portable spelling; every compiler we build
// with turns it into one move. The byte swaps keep big-endian hosts correct.
KAVO_INLINE bool host_is_little_endian() {
    const uint16_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

KAVO_INLINE uint32_t load32le(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if (!host_is_little_endian())
        v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
    return v;
}

KAVO_INLINE uint64_t load64le(const uint8_t *p) {
    if (host_is_little_endian()) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }
    return uint64_t(load32le(p)) | (uint64_t(load32le(p + 4)) << 32);
}

KAVO_INLINE void store32le(uint8_t *p, uint32_t v) {
    if (!host_is_little_endian())
        v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
    std::memcpy(p, &v, 4);
}

KAVO_INLINE void store64le(uint8_t *p, uint64_t v) {
    store32le(p, uint32_t(v));
    store32le(p + 4, uint32_t(v >> 32));
}

KAVO_INLINE void store32be(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Number of trailing zero bits of a nonzero word.
KAVO_INLINE unsigned count_trailing_zeros64(uint64_t x) {
#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
    unsigned long index;
    _BitScanForward64(&index, x);
    return unsigned(index);
#elif defined(__GNUC__) || defined(__clang__)
    return unsigned(__builtin_ctzll(x));
#else
    unsigned n = 0;
    while (!(x & 1)) {
        x >>= 1;
        ++n;
    }
    return n;
#endif
}

// Index of the highest set bit of a nonzero word.
KAVO_INLINE unsigned floor_log2(uint32_t x) {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long index;
    _BitScanReverse(&index, x);
    return unsigned(index);
#elif defined(__GNUC__) || defined(__clang__)
    return 31u - unsigned(__builtin_clz(x));
#else
    unsigned n = 0;
    while (x >>= 1)
        ++n;
    return n;
#endif
}

// The queue of a stream held in locals for a hot loop, written back once at the end.
// Invariant after every spill: bits <= 31 and queue < 2^bits, so a value of up to 33 bits
// can be added before the next spill check without losing a bit.
struct bit_writer {
    uint64_t queue;
    uint32_t bits;
    uint8_t *cursor;

    KAVO_INLINE bit_writer() : queue(0), bits(0), cursor(nullptr) {}
    KAVO_INLINE explicit bit_writer(const kavo_stream *s) : queue(s->bit_queue), bits(s->queued_bits), cursor(s->out_cursor) {}

    KAVO_INLINE void save(kavo_stream *s) const {
        s->bit_queue = queue;
        s->queued_bits = bits;
        s->out_cursor = cursor;
    }

    // Appends without a spill check; the caller adds at most 33 bits between spills.
    KAVO_INLINE void add(uint64_t value, uint32_t n) {
        queue += value << bits;
        bits += n;
    }

    // Writes one whole word when 32 bits or more are queued. Leaves at most 31 bits when
    // at most 63 were queued.
    KAVO_INLINE void spill() {
        if (bits >= 32) {
            store32le(cursor, uint32_t(queue));
            cursor += 4;
            queue >>= 32;
            bits -= 32;
        }
    }

    // The same spill without a branch: the word is stored whether or not it is full, and the
    // cursor moves only when it is. Costs 4 bytes of room at the cursor, which the caller
    // must have even when nothing is due; the bytes past the real output are overwritten later
    // or never counted.
    KAVO_INLINE void spill_unconditional() {
        store32le(cursor, uint32_t(queue));
        const uint32_t full = bits >> 5;  // 0 or 1, since at most 63 bits are queued
        cursor += full << 2;
        queue >>= full << 5;
        bits &= 31;
    }

    KAVO_INLINE void push(uint32_t value, uint32_t n) {
        add(value, n);
        spill();
    }

    // Pads the queue with zero bits to a byte boundary and writes it out: 0 to 4 bytes.
    KAVO_INLINE void flush_to_byte() {
        for (uint32_t k = 0; k < 4 && bits > 8 * k; ++k)
            *cursor++ = uint8_t(queue >> (8 * k));
        queue = 0;
        bits = 0;
    }
};

// Resets every field but out_cursor; used by the raw, gzip and zlib initialisations.
void init_stream(kavo_stream *s, uint16_t state, int level, int format, uint32_t checksum);

// Writes len bytes as stored blocks of at most 65535 bytes, closing an open fixed block first; the
// last block is final when more is 0. len 0 writes one empty block.
void emit_stored_blocks(kavo_stream *stream, const uint8_t *in, uint32_t len, int more);

// The record-level forms, for the code outside the hot loops.
KAVO_INLINE void push_bits(kavo_stream *s, uint32_t value, uint32_t n) {
    bit_writer w(s);
    w.push(value, n);
    w.save(s);
}

KAVO_INLINE void flush_to_byte(kavo_stream *s) {
    bit_writer w(s);
    w.flush_to_byte();
    w.save(s);
}

}  // namespace kavo

#endif
