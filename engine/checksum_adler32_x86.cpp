// Adler-32 on x86-64 with SSSE3 and AVX2: both sums of a whole block in vector lanes, reduced once a block.
//
// Over a chunk of W bytes b_0 .. b_(W-1) the sums move as s1 += sum b_i and s2 += W * s1 + sum (W - i) * b_i,
// s1 taken before the chunk. Within a block of C chunks the lanes keep three totals: the byte sums
// (PSADBW against zero), the weighted sums (PMADDUBSW by the weights W .. 1, then PMADDWD by ones) and the
// sum of the byte totals before each chunk, which the end of the block multiplies by W. Then
// s2 += n * s1 + W * (that sum) + (weighted sums) and s1 += (byte sums), with n the block's bytes.
#include "bit_output.h"
#include "checksum_forms.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <immintrin.h>

#if defined(__GNUC__) || defined(__clang__)
#define KAVO_TARGET(x) __attribute__((target(x)))
#else
#define KAVO_TARGET(x)
#endif

namespace {

constexpr uint32_t ADLER_MOD = 65521;

// Bytes one block may add before s2 must be reduced: the largest n with
// 255 * n * (n + 1) / 2 + (n + 1) * 65535 below 2^32, the s2 of n bytes of 0xFF from start sums of up
// to 65535 (so even an unreduced start value cannot overflow). Every partial total is a part of this
// sum, so none of them overflows either.
constexpr uint64_t adler_s2_max(uint64_t n) { return 255 * n * (n + 1) / 2 + (n + 1) * 65535; }
constexpr uint32_t ADLER_NMAX = 5552;
static_assert(adler_s2_max(ADLER_NMAX) <= 0xFFFFFFFFu && adler_s2_max(ADLER_NMAX + 1) > 0xFFFFFFFFu,
              "ADLER_NMAX is the largest safe block");

// Two weights next to each other times bytes of 255 must fit PMADDUBSW's signed 16-bit sums.
static_assert(255 * (64 + 63) <= 32767, "a 64-byte chunk's weights saturate PMADDUBSW");

// The scalar steps for the last bytes, then the reduction that also runs for empty input, so that an
// unreduced start value comes out reduced as the blocked form does it.
inline uint32_t adler_tail(uint32_t s1, uint32_t s2, const uint8_t *in, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        s1 += in[i];
        s2 += s1;
    }
    return ((s2 % ADLER_MOD) << 16) | (s1 % ADLER_MOD);
}

KAVO_TARGET("ssse3") inline uint32_t hsum128(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return uint32_t(_mm_cvtsi128_si32(v));
}

KAVO_TARGET("avx2") inline uint32_t hsum256(__m256i v) {
    return hsum128(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

}  // namespace

// Chunks of 32 bytes, as two 16-byte halves with weights 32 .. 17 and 16 .. 1.
KAVO_TARGET("ssse3") uint32_t adler32_ssse3(uint32_t adler, const uint8_t *in, int32_t len) {
    uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
    size_t n = len > 0 ? size_t(len) : 0;
    const __m128i w_first = _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i w_second = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m128i ones = _mm_set1_epi16(1), zero = _mm_setzero_si128();
    while (n >= 32) {
        const size_t block = (n < ADLER_NMAX ? n : ADLER_NMAX) & ~size_t(31);
        n -= block;
        __m128i bytes = zero, before = zero, weighted = zero;
        for (const uint8_t *end = in + block; in != end; in += 32) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 16));
            before = _mm_add_epi32(before, bytes);
            bytes = _mm_add_epi32(bytes, _mm_add_epi32(_mm_sad_epu8(a, zero), _mm_sad_epu8(b, zero)));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(a, w_first), ones));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(b, w_second), ones));
        }
        s2 += uint32_t(block) * s1 + 32 * hsum128(before) + hsum128(weighted);
        s1 += hsum128(bytes);
        s1 %= ADLER_MOD;
        s2 %= ADLER_MOD;
    }
    return adler_tail(s1, s2, in, n);
}

// Chunks of 64 bytes, as two 32-byte halves with weights 64 .. 33 and 32 .. 1.
KAVO_TARGET("avx2") uint32_t adler32_avx2(uint32_t adler, const uint8_t *in, int32_t len) {
    uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
    size_t n = len > 0 ? size_t(len) : 0;
    const __m256i w_first = _mm256_setr_epi8(64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47,
                                             46, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33);
    const __m256i w_second = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                                              15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1), zero = _mm256_setzero_si256();
    while (n >= 64) {
        const size_t block = (n < ADLER_NMAX ? n : ADLER_NMAX) & ~size_t(63);
        n -= block;
        // Two weighted totals so that their additions do not wait on each other.
        __m256i bytes = zero, before = zero, weighted_a = zero, weighted_b = zero;
        for (const uint8_t *end = in + block; in != end; in += 64) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 32));
            before = _mm256_add_epi32(before, bytes);
            bytes = _mm256_add_epi32(bytes, _mm256_add_epi32(_mm256_sad_epu8(a, zero), _mm256_sad_epu8(b, zero)));
            weighted_a = _mm256_add_epi32(weighted_a, _mm256_madd_epi16(_mm256_maddubs_epi16(a, w_first), ones));
            weighted_b = _mm256_add_epi32(weighted_b, _mm256_madd_epi16(_mm256_maddubs_epi16(b, w_second), ones));
        }
        s2 += uint32_t(block) * s1 + 64 * hsum256(before) + hsum256(_mm256_add_epi32(weighted_a, weighted_b));
        s1 += hsum256(bytes);
        s1 %= ADLER_MOD;
        s2 %= ADLER_MOD;
    }
    return adler_tail(s1, s2, in, n);
}

#endif
