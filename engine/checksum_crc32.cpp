// CRC-32 of gzip (reflected, polynomial 0xEDB88320), held in finished form.
//
// The textbook register r starts at 0xFFFFFFFF and is complemented at the end. We keep
// c = NOT r instead, so the running value is always the finished CRC (0 for no input). With the
// complement folded into the tables, c' = (c >> 8) ^ T0[(c ^ b) & 0xFF] is exactly the textbook
// step on r: T_k[i] = S_k[i ^ 0xFF] ^ (0xFF000000 >> 8k), S_k being the usual slice-by-4 tables.

#include "bit_output.h"
#include "checksum_dispatch.h"
#include "checksum_forms.h"

namespace {

constexpr uint32_t CRC32_POLY = 0xEDB88320u;

// The standard slice-by-8 tables: S_k[n] is the register change that byte n followed by k zero bytes
// makes. The slice-by-8 form works on the textbook register (NOT of the stored value) and complements
// at entry and exit, which costs two instructions a call and keeps these tables the usual ones.
constexpr std::array<std::array<uint32_t, 256>, 8> make_slice8_tables() {
    std::array<std::array<uint32_t, 256>, 8> s{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ CRC32_POLY : c >> 1;
        s[0][n] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n)
            s[k][n] = (s[k - 1][n] >> 8) ^ s[0][s[k - 1][n] & 0xFF];
    return s;
}

// The stored tables are the first four standard ones with the complements folded in.
constexpr std::array<std::array<uint32_t, 256>, 4> make_crc32_tables() {
    const auto s = make_slice8_tables();
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


constexpr auto SLICE8 = make_slice8_tables();
// The finished-form tables are these with the complement folded in.
static_assert((SLICE8[0][0xFF] ^ 0xFF000000u) == CRC32_TABLES[0][0] && (SLICE8[3][0xFF] ^ 0xFFu) == CRC32_TABLES[3][0]);

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

uint32_t crc32_slice8(uint32_t crc, const uint8_t *in, int32_t len) {
    if (len <= 0)
        return crc;
    uint32_t r = ~crc, n = uint32_t(len);
    for (; n >= 8; in += 8, n -= 8) {
        // The first byte has seven more behind it in this step, so it goes through table 7.
        const uint64_t w = kavo::load64le(in) ^ r;
        r = SLICE8[7][w & 0xFF] ^ SLICE8[6][(w >> 8) & 0xFF] ^ SLICE8[5][(w >> 16) & 0xFF] ^
            SLICE8[4][(w >> 24) & 0xFF] ^ SLICE8[3][(w >> 32) & 0xFF] ^ SLICE8[2][(w >> 40) & 0xFF] ^
            SLICE8[1][(w >> 48) & 0xFF] ^ SLICE8[0][w >> 56];
    }
    for (; n != 0; --n)
        r = (r >> 8) ^ SLICE8[0][(r ^ *in++) & 0xFF];
    return ~r;
}

int crc32_variants(const checksum_variant **list) {
#if defined(__x86_64__) || defined(_M_X64)
    // The wide form also runs the 128-bit one for its short inputs and remainders.
    constexpr uint32_t needs_pclmul = X86_PCLMUL | X86_SSE41;
    constexpr uint32_t needs_vpclmul = needs_pclmul | X86_AVX2 | X86_AVX512 | X86_VPCLMUL;
    static const uint32_t cpu = x86_cpu_features();
    static const checksum_variant variants[] = {
        {"vpclmul", crc32_vpclmul, (cpu & needs_vpclmul) == needs_vpclmul},
        {"pclmul", crc32_pclmul, (cpu & needs_pclmul) == needs_pclmul},
        {"slice8", crc32_slice8, true},
    };
#else
    static const checksum_variant variants[] = {{"slice8", crc32_slice8, true}};
#endif
    *list = variants;
    return int(sizeof variants / sizeof variants[0]);
}

uint32_t crc32_fast(uint32_t crc, const uint8_t *in, int32_t len) {
    return kavo::dispatched_checksum<crc32_variants>::call(crc, in, len);
}
