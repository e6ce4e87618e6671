// The zlib stream: header naming the window, deflate data, Adler-32 big-endian.
#include "framing.h"

using namespace kavo;

namespace {
// CMF: deflate (8) with the stream's window, 2^(CINFO + 8) bytes; FLG: no dictionary, fastest
// level (0), and the check bits that make CMF * 256 + FLG a multiple of 31. The 32 KiB window
// gives 78 01.
header_bytes zlib_header(const kavo_stream *s) {
    const uint32_t cmf = 0x08u | uint32_t(stream_window_bits(*s) - 8) << 4;
    const uint32_t flg = (31 - (cmf << 8) % 31) % 31;
    return {{uint8_t(cmf), uint8_t(flg)}, ZLIB_HEADER_SIZE};
}
}  // namespace

int zlib_init(kavo_stream *stream, int level) {
    init_stream(stream, ST_HEADER_PENDING, level, KAVO_FMT_ZLIB, 1);  // Adler-32 of no bytes
    return 0;
}

int zlib_send_header(kavo_stream *stream, uint8_t *out) {
    const header_bytes header = zlib_header(stream);
    std::memcpy(out, header.bytes, ZLIB_HEADER_SIZE);
    stream->state = ST_BETWEEN_BLOCKS;
    return ZLIB_HEADER_SIZE;
}

size_t zlib_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more) {
    return framed_encode(stream, out, in, len, more, zlib_header, adler32_fast);
}

int zlib_sync_flush(kavo_stream *stream, uint8_t *out) { return framed_sync_flush(stream, out, zlib_header); }

size_t zlib_splice(kavo_stream *stream, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out,
                   const uint8_t *in, int32_t len) {
    return framed_splice(stream, out, seg, seg_out, in, len, zlib_header, adler32_fast);
}

int zlib_finish(kavo_stream *stream, uint8_t *out) {
    uint8_t *p = framed_finish(stream, out, zlib_header);
    store32be(p, stream->checksum);
    stream->out_cursor = p + 4;
    stream->state = ST_TRAILER_DONE;
    return int(stream->out_cursor - out);
}
