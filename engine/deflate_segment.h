// Segments: pieces of a stream encoded on their own, on any thread, and spliced into it in order.
#ifndef KAVO_DEFLATE_SEGMENT_H
#define KAVO_DEFLATE_SEGMENT_H

#include "kavo.h"

// A segment is its input encoded as one encode call (more = 1) of a fresh raw stream would encode
// it. Its decisions do not depend on the stream it joins: each call starts matching afresh. Only
// the bits before its first stored block depend on where it lands, and the splice moves them.
constexpr uint64_t KAVO_NO_STORED = ~uint64_t(0);
struct kavo_segment {
    uint32_t size;              // bytes written; the end queue follows them in 8 bytes, then 8 zero bytes
    uint64_t bit_queue;         // the end state of the fresh stream
    uint32_t queued_bits;
    uint16_t state;
    uint64_t first_stored_bit;  // bits written before its first stored block, or KAVO_NO_STORED
    uint64_t open_bit;          // where its codes begin for a stream with a block open: 3, after its
                                // block header; a piece cut from a parse begins later (parser_piece)
};
// Room at out for a segment of len bytes, or for a parse over len bytes (deflate_parser.h): the
// bytes an encode call may write, then the end queue and 8 zero bytes.
constexpr uint64_t segment_bound(uint64_t len) { return deflate_encode_bound(len) + 16; }
void deflate_encode_segment(kavo_segment *seg, uint8_t *out, const uint8_t *in, int32_t len, int level,
                            int window_bits);
// Appends a segment (its bytes at seg_out) to a stream of the same level and window, as if the
// stream had encoded the segment's input itself with more = 1: the same bytes and the same state.
// Returns the bytes written at out, which must hold splice_bound(seg) bytes. The container forms
// write a pending header and take the segment's input (in, len) into the checksum and the count.
constexpr uint64_t splice_bound(const kavo_segment &seg) { return uint64_t(seg.size) + 8 + GZIP_HEADER_SIZE; }
size_t deflate_splice(kavo_stream *stream, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out,
                      int32_t len);
size_t gzip_splice(kavo_stream *stream, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out,
                   const uint8_t *in, int32_t len);
size_t zlib_splice(kavo_stream *stream, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out,
                   const uint8_t *in, int32_t len);
// By the stream's format field, as stream_encode.
size_t stream_splice(kavo_stream *s, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out,
                     const uint8_t *in, int32_t len);

#endif
