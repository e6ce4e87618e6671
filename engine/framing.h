// What the gzip and zlib framings share: a constant header written lazily, then the deflate data.
#ifndef KAVO_FRAMING_H
#define KAVO_FRAMING_H

#include "bit_output.h"

namespace kavo {

// The header goes out with whichever of send_header, encode or finish comes first; after it the
// stream is between blocks. Returns the header's size, or 0 when it was written already.
template <size_t N>
KAVO_INLINE int write_pending_header(kavo_stream *s, uint8_t *out, const uint8_t (&header)[N]) {
    if (s->state != ST_HEADER_PENDING)
        return 0;
    std::memcpy(out, header, N);
    s->state = ST_BETWEEN_BLOCKS;
    return int(N);
}

// Level 0 copies the input into stored blocks of STORED_BLOCK_MAX bytes. Checksum and copy go in pieces
// of 4 such blocks (256 KiB, which stay in the cache), so that the copy reads what the checksum has
// just read instead of going to memory a second time. A piece is a whole number of blocks and only
// the last carries the caller's more, so the blocks are exactly those of one call.
constexpr int32_t STORED_PIECE = 4 * int32_t(STORED_BLOCK_MAX);

// Header if pending, then the checksum update, then the deflate data.
template <size_t N, typename Checksum>
KAVO_INLINE int framed_encode(kavo_stream *s, uint8_t *out, const uint8_t *in, int32_t len, int more,
                              const uint8_t (&header)[N], Checksum checksum) {
    int written = write_pending_header(s, out, header);
    if (s->level == 0) {
        for (; len > STORED_PIECE; in += STORED_PIECE, len -= STORED_PIECE) {
            s->checksum = checksum(s->checksum, in, STORED_PIECE);
            written += deflate_encode(s, out + written, in, STORED_PIECE, 1);
        }
    }
    s->checksum = checksum(s->checksum, in, len);
    return written + deflate_encode(s, out + written, in, len, more);
}

// Header if pending, then the end of the deflate data; returns where the trailer goes.
template <size_t N>
KAVO_INLINE uint8_t *framed_finish(kavo_stream *s, uint8_t *out, const uint8_t (&header)[N]) {
    const int h = write_pending_header(s, out, header);
    deflate_finish(s, out + h);
    return s->out_cursor;
}

}  // namespace kavo

#endif
