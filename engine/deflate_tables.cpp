// The fixed Huffman code tables of deflate, generated at compile time.
//
// Every entry holds the code bit-reversed (deflate sends Huffman codes most significant bit
// first, our queue sends everything least significant bit first) with the extra bits of a
// length or distance joined above it, so the encoder sends any symbol with one push.
#include <array>

#include "deflate_tables.h"

namespace {

constexpr uint32_t reverse_bits(uint32_t code, uint32_t n) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < n; ++i)
        r |= ((code >> i) & 1u) << (n - 1 - i);
    return r;
}

// Length symbols 257..285: base length and extra bits.
constexpr uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// Distance codes 0..29: base distance and extra bits.
constexpr uint16_t DIST_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Fixed literal/length code of a symbol 0..287: (code, bit count).
constexpr uint32_t fixed_code_bits(uint32_t sym) {
    return sym < 144 ? 8 : sym < 256 ? 9 : sym < 280 ? 7 : 8;
}
constexpr uint32_t fixed_code(uint32_t sym) {
    return sym < 144 ? 0x30 + sym : sym < 256 ? 0x190 + (sym - 144) : sym < 280 ? sym - 256 : 0xC0 + (sym - 280);
}

constexpr std::array<uint16_t, 288> make_literal_table() {
    std::array<uint16_t, 288> t{};
    for (uint32_t sym = 0; sym < 288; ++sym) {
        const uint32_t n = fixed_code_bits(sym);
        t[sym] = uint16_t((reverse_bits(fixed_code(sym), n) << 4) | n);
    }
    return t;
}

constexpr std::array<uint32_t, 259> make_length_table() {
    std::array<uint32_t, 259> t{};  // lengths 0..2 do not exist and stay 0
    // Symbol 285 alone codes 258; symbol 284 stops at 257 although its extra bits reach 258.
    for (uint32_t i = 0; i < 29; ++i) {
        const uint32_t sym = 257 + i, n = fixed_code_bits(sym), e = LENGTH_EXTRA[i];
        const uint32_t code = reverse_bits(fixed_code(sym), n);
        const uint32_t last = i == 28 ? 258 : uint32_t(LENGTH_BASE[i + 1]) - 1;
        for (uint32_t len = LENGTH_BASE[i]; len <= last; ++len)
            t[len] = (code | ((len - LENGTH_BASE[i]) << n)) | ((n + e) << 16);
    }
    return t;
}

constexpr std::array<uint32_t, 32768> make_distance_table() {
    std::array<uint32_t, 32768> t{};
    for (uint32_t c = 0; c < 30; ++c) {
        const uint32_t e = DIST_EXTRA[c], code = reverse_bits(c, 5);
        for (uint32_t x = 0; x < (1u << e); ++x)
            t[DIST_BASE[c] + x - 1] = ((code | (x << 5)) << 5) | (5 + e);
    }
    return t;
}

constexpr auto LITERAL_TABLE = make_literal_table();
constexpr auto LENGTH_TABLE = make_length_table();
constexpr auto DISTANCE_TABLE = make_distance_table();

static_assert(LITERAL_TABLE[0] == 0x00C8 && LITERAL_TABLE[144] == 0x0139 && LITERAL_TABLE[255] == 0x1FF9);
static_assert(LENGTH_TABLE[257] == 0x000D1E23 && LENGTH_TABLE[258] == 0x000800A3);
static_assert(DISTANCE_TABLE[16384] == 0x000000F2 && DISTANCE_TABLE[32767] == 0x007FFEF2);

}  // namespace

// Constant-initialised from the constexpr tables above, so they are laid out as read-only data.
const std::array<uint16_t, 288> literal_code_table = LITERAL_TABLE;
const std::array<uint32_t, 259> length_code_table = LENGTH_TABLE;
const std::array<uint32_t, 32768> distance_code_table = DISTANCE_TABLE;
