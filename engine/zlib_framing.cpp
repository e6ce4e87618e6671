// The zlib stream: header 78 01, deflate data, Adler-32 big-endian.
#include "framing.h"

using namespace kavo;

namespace {
// CMF 0x78: deflate with a 32 KiB window; FLG 0x01: no dictionary, fastest level, and
// 0x7801 = 31 * 991 as the header check requires.
constexpr uint8_t ZLIB_HEADER[ZLIB_HEADER_SIZE] = {0x78, 0x01};
}  // namespace

int zlib_init(kavo_stream *stream, int level) {
    init_stream(stream, ST_HEADER_PENDING, level, KAVO_FMT_ZLIB, 1);  // Adler-32 of no bytes
    return 0;
}

int zlib_send_header(kavo_stream *stream, uint8_t *out) {
    std::memcpy(out, ZLIB_HEADER, sizeof ZLIB_HEADER);
    stream->state = ST_BETWEEN_BLOCKS;
    return ZLIB_HEADER_SIZE;
}

int zlib_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more) {
    return framed_encode(stream, out, in, len, more, ZLIB_HEADER, adler32_fast);
}

int zlib_finish(kavo_stream *stream, uint8_t *out) {
    uint8_t *p = framed_finish(stream, out, ZLIB_HEADER);
    store32be(p, stream->checksum);
    stream->out_cursor = p + 4;
    stream->state = ST_TRAILER_DONE;
    return int(stream->out_cursor - out);
}
