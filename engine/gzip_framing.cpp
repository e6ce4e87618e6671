// The gzip member: constant 10-byte header, deflate data, CRC-32 and ISIZE little-endian.
#include "framing.h"

using namespace kavo;

namespace {
// ID1 ID2, CM 8 (deflate), FLG 0, MTIME 0, XFL 4 (fastest), OS 3 (Unix): nothing here depends
// on the input, so equal inputs give equal files. (gzip has no field for the window.)
constexpr header_bytes GZIP_HEADER = {{0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x03}, GZIP_HEADER_SIZE};
header_bytes gzip_header(const kavo_stream *) { return GZIP_HEADER; }
}  // namespace

int gzip_init(kavo_stream *stream, int level) {
    init_stream(stream, ST_HEADER_PENDING, level, KAVO_FMT_GZIP, 0);  // CRC-32 of no bytes
    return 0;
}

int gzip_send_header(kavo_stream *stream, uint8_t *out) {
    std::memcpy(out, GZIP_HEADER.bytes, GZIP_HEADER_SIZE);
    stream->state = ST_BETWEEN_BLOCKS;
    return GZIP_HEADER_SIZE;
}

size_t gzip_send_header_fields(kavo_stream *stream, uint8_t *out, const gzip_header_fields *fields) {
    constexpr uint8_t FNAME = 0x08;
    std::memcpy(out, GZIP_HEADER.bytes, GZIP_HEADER_SIZE);
    store32le(out + 4, fields->mtime);
    size_t size = GZIP_HEADER_SIZE;
    if (fields->name) {
        out[3] |= FNAME;
        std::memcpy(out + size, fields->name, fields->name_len);
        size += fields->name_len;
        out[size++] = 0;
    }
    stream->state = ST_BETWEEN_BLOCKS;
    return size;
}

size_t gzip_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more) {
    return framed_encode(stream, out, in, len, more, gzip_header, crc32_fast);
}

int gzip_sync_flush(kavo_stream *stream, uint8_t *out) { return framed_sync_flush(stream, out, gzip_header); }

size_t gzip_splice(kavo_stream *stream, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out,
                   const uint8_t *in, int32_t len) {
    return framed_splice(stream, out, seg, seg_out, in, len, gzip_header, crc32_fast);
}

int gzip_finish(kavo_stream *stream, uint8_t *out) {
    uint8_t *p = framed_finish(stream, out, gzip_header);
    store32le(p, stream->checksum);
    store32le(p + 4, stream->input_total);  // ISIZE: the input length modulo 2^32
    stream->out_cursor = p + 8;
    stream->state = ST_TRAILER_DONE;
    return int(stream->out_cursor - out);
}
