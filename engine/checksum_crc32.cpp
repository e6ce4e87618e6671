// CRC-32 of gzip (reflected, polynomial 0xEDB88320), held in finished form.
//
// The textbook register r starts at 0xFFFFFFFF and is complemented at the end. We keep
// c = NOT r instead, so the running value is always the finished CRC (0 for no input). With the
// complement folded into the tables, c' = (c >> 8) ^ T0[(c ^ b) & 0xFF] is exactly the textbook
// step on r: T_k[i] = S_k[i ^ 0xFF] ^ (0xFF000000 >> 8k), S_k being the usual slice-by-4 tables.
#include "bit_output.h"

namespace {

constexpr uint32_t CRC32_POLY = 0xEDB88320u;

constexpr std::array<std::array<uint32_t, 256>, 4> make_crc32_tables() {
    std::array<std::array<uint32_t, 256>, 4> s{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ CRC32_POLY : c >> 1;
        s[0][n] = c;
    }
    for (int k = 1; k < 4; ++k)
        for (uint32_t n = 0; n < 256; ++n)
            s[k][n] = (s[k - 1][n] >> 8) ^ s[0][s[k - 1][n] & 0xFF];
    std::array<std::array<uint32_t, 256>, 4> t{};
    for (int k = 0; k < 4; ++k)
        for (uint32_t i = 0; i < 256; ++i)
            t[k][i] = s[k][i ^ 0xFF] ^ (0xFF000000u >> (8 * k));
    return t;
}

constexpr auto CRC32_TABLES = make_crc32_tables();
static_assert(CRC32_TABLES[0][0] == 0xD202EF8Du && CRC32_TABLES[3][0] == 0xDE05060Eu);
static_assert(CRC32_TABLES[0][255] == 0xFF000000u && CRC32_TABLES[3][255] == 0x000000FFu);

KAVO_INLINE uint32_t crc32_byte_step(uint32_t c, uint8_t b) {
    return (c >> 8) ^ CRC32_TABLES[0][(c ^ b) & 0xFF];
}

// Four input bytes as one little-endian word: the first byte goes through table 3.
KAVO_INLINE uint32_t crc32_word_step(uint32_t c, const uint8_t *p) {
    c ^= kavo::load32le(p);
    return CRC32_TABLES[3][c & 0xFF] ^ CRC32_TABLES[2][(c >> 8) & 0xFF] ^ CRC32_TABLES[1][(c >> 16) & 0xFF] ^
           CRC32_TABLES[0][c >> 24];
}

}  // namespace

const std::array<std::array<uint32_t, 256>, 4> crc32_tables = CRC32_TABLES;

uint32_t crc32_bytewise(uint32_t crc, const uint8_t *in, int32_t len) {
    for (int32_t i = 0; i < len; ++i)
        crc = crc32_byte_step(crc, in[i]);
    return crc;
}

uint32_t crc32_sliced(uint32_t crc, const uint8_t *in, int32_t len) {
    if (len <= 0)
        return crc;
    uint32_t n = uint32_t(len);
    // Words are read at whatever address they start; no alignment prologue.
    while (n >= 16) {
        crc = crc32_word_step(crc, in);
        crc = crc32_word_step(crc, in + 4);
        crc = crc32_word_step(crc, in + 8);
        crc = crc32_word_step(crc, in + 12);
        in += 16;
        n -= 16;
    }
    while (n >= 4) {
        crc = crc32_word_step(crc, in);
        in += 4;
        n -= 4;
    }
    while (n--)
        crc = crc32_byte_step(crc, *in++);
    return crc;
}

uint32_t crc32_fast(uint32_t crc, const uint8_t *in, int32_t len) { return crc32_sliced(crc, in, len); }
