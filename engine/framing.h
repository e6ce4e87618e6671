// What the gzip and zlib framings share: a header written lazily, then the deflate data.
#ifndef KAVO_FRAMING_H
#define KAVO_FRAMING_H

#include "bit_output.h"
#include "deflate_segment.h"

namespace kavo {

// A container's header, as the stream will write it.
struct header_bytes {
    uint8_t bytes[GZIP_HEADER_SIZE];
    int size;
};

// The header goes out with whichever of send_header, encode, sync flush, splice or finish comes
// first; after it the stream is between blocks. Returns the header's size, or 0 when it was
// written already.
// The header is made only when it goes out: make(s) returns its header_bytes.
template <typename Header>
KAVO_INLINE int write_pending_header(kavo_stream *s, uint8_t *out, Header make) {
    if (s->state != ST_HEADER_PENDING)
        return 0;
    const header_bytes header = make(s);
    std::memcpy(out, header.bytes, size_t(header.size));
    s->state = ST_BETWEEN_BLOCKS;
    return header.size;
}

// Level 0 copies the input into stored blocks of STORED_BLOCK_MAX bytes. Checksum and copy go in pieces
// of 4 such blocks (256 KiB, which stay in the cache), so that the copy reads what the checksum has
// just read instead of going to memory a second time. A piece is a whole number of blocks and only
// the last carries the caller's more, so the blocks are exactly those of one call.
constexpr int32_t STORED_PIECE = 4 * int32_t(STORED_BLOCK_MAX);

// Header if pending, then the checksum update, then the deflate data.
template <typename Header, typename Checksum>
KAVO_INLINE size_t framed_encode(kavo_stream *s, uint8_t *out, const uint8_t *in, int32_t len, int more,
                              Header header, Checksum checksum) {
    size_t written = size_t(write_pending_header(s, out, header));
    if (s->level == 0) {
        for (; len > STORED_PIECE; in += STORED_PIECE, len -= STORED_PIECE) {
            s->checksum = checksum(s->checksum, in, STORED_PIECE);
            written += deflate_encode(s, out + written, in, STORED_PIECE, 1);
        }
    }
    s->checksum = checksum(s->checksum, in, len);
    return written + deflate_encode(s, out + written, in, len, more);
}

// Header if pending, then a sync flush of the deflate data.
template <typename Header>
KAVO_INLINE int framed_sync_flush(kavo_stream *s, uint8_t *out, Header header) {
    const int h = write_pending_header(s, out, header);
    return h + deflate_sync_flush(s, out + h);
}

// Header if pending, the checksum and count of the segment's input, then the segment's bits.
template <typename Header, typename Checksum>
KAVO_INLINE size_t framed_splice(kavo_stream *s, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out,
                              const uint8_t *in, int32_t len, Header header, Checksum checksum) {
    const size_t h = size_t(write_pending_header(s, out, header));
    s->checksum = checksum(s->checksum, in, len);
    return h + deflate_splice(s, out + h, seg, seg_out, len);
}

// Header if pending, then the end of the deflate data; returns where the trailer goes.
template <typename Header>
KAVO_INLINE uint8_t *framed_finish(kavo_stream *s, uint8_t *out, Header header) {
    const int h = write_pending_header(s, out, header);
    deflate_finish(s, out + h);
    return s->out_cursor;
}

}  // namespace kavo

#endif
