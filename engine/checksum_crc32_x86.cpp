// CRC-32 on x86-64 by carry-less multiplication (PCLMULQDQ, and VPCLMULQDQ with AVX-512), and the CPU probe.
//
// The data as a polynomial over GF(2): the first bit (bit 0 of the first byte) is the highest power. Sixteen
// bytes loaded little-endian into a 128-bit register hold a polynomial with bit k standing for x^(127-k), so
// the low 64-bit lane holds the high-degree half. The CRC register r (the textbook one, not complemented)
// after message M from start value r0 is (M + r0 at its first 32 bits) * x^32 mod P. The folding path XORs
// NOT crc into the first four bytes and complements the reduced register, because the running value is the
// finished CRC.
//
// Folding: a 128-bit chunk X = Xh * x^64 + Xl that starts F bits before a later chunk Y counts as
// X * x^F = Xh * x^(F+64) + Xl * x^F at Y's place, and modulo P each term shrinks to a 64-bit lane times a
// residue of 32 bits, a product of at most 96 bits that is XORed into Y. All residues are computed below
// from the polynomial alone.
#include "bit_output.h"
#include "checksum_forms.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

// GCC and clang compile intrinsics only inside functions that enable their instruction set, so the engine
// still builds with baseline x86-64 flags; MSVC needs no such mark.
#if defined(__GNUC__) || defined(__clang__)
#define KAVO_TARGET(x) __attribute__((target(x)))
#else
#define KAVO_TARGET(x)
#endif
#define KAVO_PCLMUL KAVO_TARGET("pclmul,sse4.1")
#define KAVO_VPCLMUL KAVO_TARGET("pclmul,sse4.1,avx2,avx512f,avx512vl,avx512bw,vpclmulqdq")

namespace {

constexpr uint32_t CRC32_POLY = 0xEDB88320u;  // P without its x^32 term, reflected: bit j holds x^(31-j)

// x^n mod P, reflected like CRC32_POLY. Multiplying by x moves each coefficient one bit down; a
// coefficient leaving x^31 becomes x^32, which is the low terms of P.
constexpr uint32_t xpow_mod(uint32_t n) {
    uint32_t r = 0x80000000u;  // x^0
    for (; n != 0; --n)
        r = (r & 1) ? (r >> 1) ^ CRC32_POLY : r >> 1;
    return r;
}
// x^31 sits in bit 0, and x^32 wraps round to the low terms of P.
static_assert(xpow_mod(31) == 1u && xpow_mod(32) == CRC32_POLY, "reflected residues");

// x^n mod P as a PCLMULQDQ multiplier, 33 bits wide with bit j holding x^(32-j). A 64-bit lane has bit i
// for x^(63-i), so the carry-less product has bit k for x^(95-k): in the 128-bit layout (bit k for
// x^(127-k)) that is lane * (x^n mod P) * x^32.
constexpr uint64_t fold_k(uint32_t n) { return uint64_t(xpow_mod(n)) << 1; }

// Multipliers that move a 128-bit chunk forward by `bits`: Xh * x^(bits+64) = Xh * x^(bits+32) * x^32 for
// the low lane and Xl * x^bits = Xl * x^(bits-32) * x^32 for the high lane.
struct fold_pair {
    uint64_t lo, hi;
};
constexpr fold_pair fold_by(uint32_t bits) { return {fold_k(bits + 32), fold_k(bits - 32)}; }

constexpr uint32_t reverse32(uint32_t v) {
    uint32_t r = 0;
    for (int i = 0; i < 32; ++i)
        r |= ((v >> i) & 1u) << (31 - i);
    return r;
}

// P with its x^32 term over 33 bits, bit j holding x^(32-j), for the Barrett step.
constexpr uint64_t POLY_R33 = (uint64_t(CRC32_POLY) << 1) | 1;

// floor(x^64 / P) by long division, with the remainder kept so that it can be checked against xpow_mod.
struct division {
    uint64_t quotient;   // bit d holds x^d; 33 bits
    uint32_t remainder;  // bit d holds x^d
};
constexpr division divide_x64() {
    const uint64_t p = reverse32(CRC32_POLY);  // P without x^32, bit d holding x^d
    // The first step takes P * x^32 away from x^64 and leaves p * x^32.
    uint64_t rem = p << 32, q = uint64_t(1) << 32;
    for (int d = 63; d >= 32; --d)
        if ((rem >> d) & 1) {
            q |= uint64_t(1) << (d - 32);
            rem ^= (uint64_t(1) << d) ^ (p << (d - 32));  // minus P * x^(d-32)
        }
    return {q, uint32_t(rem)};
}
static_assert(reverse32(divide_x64().remainder) == xpow_mod(64), "long division disagrees with x^n mod P");

// The quotient as a Barrett multiplier, 33 bits with bit j holding x^(32-j) like POLY_R33.
constexpr uint64_t barrett_mu() {
    const uint64_t q = divide_x64().quotient;
    uint64_t r = 0;
    for (int d = 0; d <= 32; ++d)
        r |= ((q >> d) & 1) << (32 - d);
    return r;
}
constexpr uint64_t BARRETT_MU = barrett_mu();
static_assert((BARRETT_MU & 1) != 0 && BARRETT_MU < (uint64_t(1) << 33), "x^64 / P has degree 32");

constexpr fold_pair FOLD_128 = fold_by(128), FOLD_256 = fold_by(256), FOLD_384 = fold_by(384);
constexpr fold_pair FOLD_512 = fold_by(512), FOLD_1024 = fold_by(1024), FOLD_1536 = fold_by(1536);
constexpr fold_pair FOLD_2048 = fold_by(2048);

KAVO_PCLMUL inline __m128i pair128(fold_pair k) { return _mm_set_epi64x(int64_t(k.hi), int64_t(k.lo)); }

// x moved forward by the distance that k was made for, ready to XOR into the chunk there.
KAVO_PCLMUL inline __m128i fold128(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

KAVO_PCLMUL inline __m128i load128(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// The CRC register X * x^32 mod P of a 128-bit remainder X.
KAVO_PCLMUL inline uint32_t reduce128(__m128i x) {
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i k = _mm_set_epi64x(int64_t(fold_k(64)), int64_t(fold_k(96)));
    // X * x^32 = Xh * x^96 + Xl * x^32: fold Xh down, leaving 96 bits with bit k for x^(95-k).
    const __m128i y = _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_srli_si128(x, 8));
    // Y = Yh * x^64 + Yl, Yh its first 32 bits: fold Yh down, leaving 64 bits with bit k for x^(63-k).
    const __m128i t = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(y, low32), k, 0x10), _mm_srli_si128(y, 4));
    // Barrett, with Th the first 32 bits of T (x^63 .. x^32): q = floor(Th * mu / x^32) is floor(T / P),
    // and T + q * P leaves the remainder in bits 32 to 63.
    const __m128i b = _mm_set_epi64x(int64_t(POLY_R33), int64_t(BARRETT_MU));
    const __m128i q = _mm_clmulepi64_si128(_mm_and_si128(t, low32), b, 0x00);
    const __m128i qp = _mm_clmulepi64_si128(_mm_and_si128(q, low32), b, 0x10);
    return uint32_t(_mm_extract_epi32(_mm_xor_si128(t, qp), 1));
}

// Folds 16-byte chunks into x while they last, reduces, and finishes the last 0 to 15 bytes by table.
KAVO_PCLMUL inline uint32_t finish128(__m128i x, const uint8_t *in, size_t n) {
    const __m128i k128 = pair128(FOLD_128);
    for (; n >= 16; in += 16, n -= 16)
        x = _mm_xor_si128(fold128(x, k128), load128(in));
    return crc32_slice8(~reduce128(x), in, int32_t(n));
}

KAVO_VPCLMUL inline __m512i fold512(__m512i x, __m512i k, __m512i next) {
    // 0x96: three-way XOR.
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                     0x96);
}

KAVO_VPCLMUL inline __m512i broadcast_pair(fold_pair k) {
    return _mm512_set_epi64(int64_t(k.hi), int64_t(k.lo), int64_t(k.hi), int64_t(k.lo), int64_t(k.hi), int64_t(k.lo),
                            int64_t(k.hi), int64_t(k.lo));
}

// 128-bit lane I of v. The zero-masked extract says the same as the plain one, whose undefined
// pass-through operand makes GCC 12 warn falsely.
template <int I>
KAVO_VPCLMUL inline __m128i lane128(__m512i v) {
    return _mm512_maskz_extracti32x4_epi32(0xF, v, I);
}

KAVO_VPCLMUL inline __m512i load512(const uint8_t *p) { return _mm512_loadu_si512(p); }

}  // namespace

// Below 64 bytes the set-up and reduction cost more than the table.
KAVO_PCLMUL uint32_t crc32_pclmul(uint32_t crc, const uint8_t *in, int32_t len) {
    if (len < 64)
        return crc32_slice8(crc, in, len);
    size_t n = size_t(len) - 64;
    const __m128i k512 = pair128(FOLD_512);
    // Four lanes of 16 bytes, each folded 512 bits forward onto the next 64 bytes: four independent
    // chains keep the multiplier busy through its latency.
    __m128i x0 = _mm_xor_si128(load128(in), _mm_cvtsi32_si128(int(~crc)));
    __m128i x1 = load128(in + 16), x2 = load128(in + 32), x3 = load128(in + 48);
    for (in += 64; n >= 64; in += 64, n -= 64) {
        x0 = _mm_xor_si128(fold128(x0, k512), load128(in));
        x1 = _mm_xor_si128(fold128(x1, k512), load128(in + 16));
        x2 = _mm_xor_si128(fold128(x2, k512), load128(in + 32));
        x3 = _mm_xor_si128(fold128(x3, k512), load128(in + 48));
    }
    // Lane i lies (3 - i) * 128 bits before the end of lane 3.
    x3 = _mm_xor_si128(x3, _mm_xor_si128(fold128(x0, pair128(FOLD_384)),
                                         _mm_xor_si128(fold128(x1, pair128(FOLD_256)), fold128(x2, pair128(FOLD_128)))));
    return finish128(x3, in, n);
}

// The same folding on four 512-bit registers, 256 bytes a step; shorter inputs go the 128-bit way.
KAVO_VPCLMUL uint32_t crc32_vpclmul(uint32_t crc, const uint8_t *in, int32_t len) {
    if (len < 256)
        return crc32_pclmul(crc, in, len);
    size_t n = size_t(len) - 256;
    const __m512i k2048 = broadcast_pair(FOLD_2048);
    __m512i x0 = _mm512_xor_si512(load512(in), _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, int64_t(~crc)));
    __m512i x1 = load512(in + 64), x2 = load512(in + 128), x3 = load512(in + 192);
    for (in += 256; n >= 256; in += 256, n -= 256) {
        x0 = fold512(x0, k2048, load512(in));
        x1 = fold512(x1, k2048, load512(in + 64));
        x2 = fold512(x2, k2048, load512(in + 128));
        x3 = fold512(x3, k2048, load512(in + 192));
    }
    // Register i lies (3 - i) * 512 bits before the end of register 3, lane by lane.
    x3 = _mm512_ternarylogic_epi64(x3, fold512(x0, broadcast_pair(FOLD_1536), _mm512_setzero_si512()),
                                   fold512(x1, broadcast_pair(FOLD_1024), fold512(x2, broadcast_pair(FOLD_512),
                                                                                   _mm512_setzero_si512())),
                                   0x96);
    for (; n >= 64; in += 64, n -= 64)
        x3 = fold512(x3, broadcast_pair(FOLD_512), load512(in));
    // Lanes 0, 1 and 2 move 384, 256 and 128 bits forward onto lane 3; lane 3's multiplier is zero.
    const __m512i k_lanes = _mm512_set_epi64(0, 0, int64_t(FOLD_128.hi), int64_t(FOLD_128.lo), int64_t(FOLD_256.hi),
                                             int64_t(FOLD_256.lo), int64_t(FOLD_384.hi), int64_t(FOLD_384.lo));
    const __m512i moved = fold512(x3, k_lanes, _mm512_setzero_si512());
    const __m128i x = _mm_xor_si128(_mm_xor_si128(lane128<0>(moved), lane128<1>(moved)),
                                    _mm_xor_si128(lane128<2>(moved), lane128<3>(x3)));
    return finish128(x, in, n);
}

// The dispatch runs each form only where this says the CPU and the OS support it.
#if defined(_MSC_VER)
KAVO_TARGET("xsave") uint32_t x86_cpu_features() {
    int info[4];
    __cpuid(info, 0);
    const int max_leaf = info[0];
    __cpuid(info, 1);
    const uint32_t ecx1 = uint32_t(info[2]);
    uint32_t ebx7 = 0, ecx7 = 0;
    if (max_leaf >= 7) {
        __cpuidex(info, 7, 0);
        ebx7 = uint32_t(info[1]);
        ecx7 = uint32_t(info[2]);
    }
    // AVX registers count only when the OS saves them (XCR0 bits 1-2), AVX-512 ones with bits 5-7 too.
    const uint64_t xcr0 = ((ecx1 >> 27) & 1) ? _xgetbv(0) : 0;
    const bool os_avx = (xcr0 & 0x06) == 0x06, os_avx512 = (xcr0 & 0xE6) == 0xE6;
    uint32_t f = 0;
    if ((ecx1 >> 9) & 1)
        f |= X86_SSSE3;
    if ((ecx1 >> 19) & 1)
        f |= X86_SSE41;
    if ((ecx1 >> 1) & 1)
        f |= X86_PCLMUL;
    if (os_avx && ((ebx7 >> 5) & 1))
        f |= X86_AVX2;
    // AVX-512 F (ebx bit 16), BW (30) and VL (31).
    if (os_avx512 && ((ebx7 >> 16) & 1) && ((ebx7 >> 30) & 1) && ((ebx7 >> 31) & 1))
        f |= X86_AVX512;
    if (os_avx && ((ecx7 >> 10) & 1))
        f |= X86_VPCLMUL;
    // x86-64-v3: FMA (ecx1 bit 12), MOVBE (22), F16C (29), AVX (28); BMI1 (ebx7 bit 3), BMI2 (8);
    // LZCNT (bit 5 of ecx in leaf 0x80000001).
    __cpuid(info, int(0x80000000u));
    uint32_t ecx_ext = 0;
    if (uint32_t(info[0]) >= 0x80000001u) {
        __cpuid(info, int(0x80000001u));
        ecx_ext = uint32_t(info[2]);
    }
    const uint32_t v3_ecx1 = (1u << 12) | (1u << 22) | (1u << 28) | (1u << 29), v3_ebx7 = (1u << 3) | (1u << 8);
    if ((f & X86_AVX2) && (ecx1 & v3_ecx1) == v3_ecx1 && (ebx7 & v3_ebx7) == v3_ebx7 && ((ecx_ext >> 5) & 1))
        f |= X86_V3;
    return f;
}
#else
uint32_t x86_cpu_features() {
    // libgcc and compiler-rt test the OS register support themselves before they report AVX features.
    __builtin_cpu_init();
    uint32_t f = 0;
    if (__builtin_cpu_supports("ssse3"))
        f |= X86_SSSE3;
    if (__builtin_cpu_supports("sse4.1"))
        f |= X86_SSE41;
    if (__builtin_cpu_supports("pclmul"))
        f |= X86_PCLMUL;
    if (__builtin_cpu_supports("avx2"))
        f |= X86_AVX2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        f |= X86_AVX512;
    if (__builtin_cpu_supports("vpclmulqdq"))
        f |= X86_VPCLMUL;
    // x86-64-v3. Not every compiler names MOVBE, LZCNT and F16C to __builtin_cpu_supports, so
    // those three come from CPUID: FMA-era bits of leaf 1 (MOVBE ecx 22, F16C ecx 29) and LZCNT
    // (ecx bit 5 of leaf 0x80000001).
    unsigned a = 0, b = 0, c1 = 0, d = 0, c_ext = 0;
    const bool leaf1 = __get_cpuid(1, &a, &b, &c1, &d) != 0;
    if (!__get_cpuid(0x80000001u, &a, &b, &c_ext, &d))
        c_ext = 0;
    if ((f & X86_AVX2) && leaf1 && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("fma") && ((c1 >> 22) & 1) && ((c1 >> 29) & 1) && ((c_ext >> 5) & 1))
        f |= X86_V3;
    return f;
}
#endif

#endif
