// The BGZF member: a gzip member with the 'BC' extra field that gives its size, within 64 KiB.
#include "bit_output.h"

using namespace kavo;

namespace {
// ID1 ID2, CM 8, FLG 4 (FEXTRA), MTIME 0, XFL 0, OS 255, XLEN 6, then SI1 'B' SI2 'C', SLEN 2 and
// BSIZE (filled in per member). Every member, the end-of-file one included, starts with these 16
// bytes, which readers that look for BGZF compare.
constexpr uint8_t BGZF_HEADER[BGZF_HEADER_SIZE] = {0x1F, 0x8B, 0x08, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                   0xFF, 0x06, 0x00, 0x42, 0x43, 0x02, 0x00, 0x00, 0x00};

// The deflate data of one member's input: one encode call and the finish on a fresh raw stream,
// which are the bytes of a one-shot raw deflate of that input (the finish adds the empty final block).
size_t member_deflate(uint8_t *out, const uint8_t *in, int32_t len, int level) {
    kavo_stream s;
    deflate_init(&s, level);
    size_t n = deflate_encode(&s, out, in, len, 1);
    n += size_t(deflate_finish(&s, out + n));
    return n;
}
}  // namespace

// The member of no input: empty final fixed block (03 00), CRC-32 0 and ISIZE 0; BSIZE 27.
const uint8_t BGZF_EOF[BGZF_EOF_SIZE] = {0x1F, 0x8B, 0x08, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF,
                                         0x06, 0x00, 0x42, 0x43, 0x02, 0x00, 0x1B, 0x00, 0x03, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

size_t bgzf_encode_member(uint8_t *out, const uint8_t *in, int32_t len, int level) {
    std::memcpy(out, BGZF_HEADER, BGZF_HEADER_SIZE);
    uint8_t *const data = out + BGZF_HEADER_SIZE;
    size_t deflated = member_deflate(data, in, len, level);
    if (deflated + BGZF_FRAMING > BGZF_MEMBER_MAX)
        deflated = member_deflate(data, in, len, 0);  // stored always fits (see bgzf_stored_member_size)
    uint8_t *const trailer = data + deflated;
    store32le(trailer, crc32_fast(0, in, len));
    store32le(trailer + 4, uint32_t(len));
    const size_t size = deflated + BGZF_FRAMING;
    out[16] = uint8_t(size - 1);
    out[17] = uint8_t((size - 1) >> 8);
    return size;
}
