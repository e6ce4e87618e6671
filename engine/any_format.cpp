// The operations of a stream of any format, chosen by the stream's own format field.
#include "deflate_segment.h"

void stream_init(kavo_stream *s, int level, int format) {
    if (format == KAVO_FMT_GZIP)
        gzip_init(s, level);
    else if (format == KAVO_FMT_ZLIB)
        zlib_init(s, level);
    else
        deflate_init(s, level);
}

size_t stream_encode(kavo_stream *s, uint8_t *out, const uint8_t *in, int32_t len, int more) {
    switch (s->format) {
    case KAVO_FMT_GZIP:
        return gzip_encode(s, out, in, len, more);
    case KAVO_FMT_ZLIB:
        return zlib_encode(s, out, in, len, more);
    default:
        return deflate_encode(s, out, in, len, more);
    }
}

int stream_sync_flush(kavo_stream *s, uint8_t *out) {
    switch (s->format) {
    case KAVO_FMT_GZIP:
        return gzip_sync_flush(s, out);
    case KAVO_FMT_ZLIB:
        return zlib_sync_flush(s, out);
    default:
        return deflate_sync_flush(s, out);
    }
}

size_t stream_splice(kavo_stream *s, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out, const uint8_t *in,
                     int32_t len) {
    switch (s->format) {
    case KAVO_FMT_GZIP:
        return gzip_splice(s, out, seg, seg_out, in, len);
    case KAVO_FMT_ZLIB:
        return zlib_splice(s, out, seg, seg_out, in, len);
    default:
        return deflate_splice(s, out, seg, seg_out, len);
    }
}

int stream_finish(kavo_stream *s, uint8_t *out) {
    switch (s->format) {
    case KAVO_FMT_GZIP:
        return gzip_finish(s, out);
    case KAVO_FMT_ZLIB:
        return zlib_finish(s, out);
    default:
        return deflate_finish(s, out);
    }
}
