// Adler-32 of zlib: two sums modulo 65521, s2 in the high half, s1 in the low half.

#include "bit_output.h"
#include "checksum_dispatch.h"
#include "checksum_forms.h"

namespace {

constexpr uint32_t ADLER_MOD = 65521;
// Bytes summed before a reduction. Over 4096 bytes of 0xFF, s2 reaches 2,408,052,720: above
// 2^31 but below 2^32, so the sums stay exact in unsigned 32-bit arithmetic.
constexpr uint32_t ADLER_BLOCK = 4096;

// 65536 = 15 (mod 65521), so (x >> 16) * 15 + (x & 0xFFFF) is congruent to x and far smaller.
KAVO_INLINE uint32_t adler_fold(uint32_t x) { return (x >> 16) * 15 + (x & 0xFFFF); }

}  // namespace

uint32_t adler32_bytewise(uint32_t adler, const uint8_t *in, int32_t len) {
    uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
    for (int32_t i = 0; i < len; ++i) {
        s1 = (s1 + in[i]) % ADLER_MOD;
        s2 = (s2 + s1) % ADLER_MOD;
    }
    return (s2 << 16) + s1;
}

uint32_t adler32_blocked(uint32_t adler, const uint8_t *in, int32_t len) {
    uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
    uint32_t remaining = len > 0 ? uint32_t(len) : 0;
    do {
        const uint32_t k = remaining < ADLER_BLOCK ? remaining : ADLER_BLOCK;
        remaining -= k;
        for (uint32_t i = 0; i < k; ++i) {
            s1 += in[i];
            s2 += s1;
        }
        in += k;
        // One fold leaves s1 below 2 * 65521 and two folds do the same for s2 (from at most
        // 1,110,000 and 2,408,052,720 respectively), so one subtraction finishes each.
        s1 = adler_fold(s1);
        if (s1 >= ADLER_MOD)
            s1 -= ADLER_MOD;
        s2 = adler_fold(adler_fold(s2));
        if (s2 >= ADLER_MOD)
            s2 -= ADLER_MOD;
    } while (remaining != 0);
    return (s2 << 16) + s1;
}

int adler32_variants(const checksum_variant **list) {
#if defined(__x86_64__) || defined(_M_X64)
    static const uint32_t cpu = x86_cpu_features();
    static const checksum_variant variants[] = {
        {"avx2", adler32_avx2, (cpu & X86_AVX2) != 0},
        {"ssse3", adler32_ssse3, (cpu & X86_SSSE3) != 0},
        {"blocked", adler32_blocked, true},
    };
#else
    static const checksum_variant variants[] = {{"blocked", adler32_blocked, true}};
#endif
    *list = variants;
    return int(sizeof variants / sizeof variants[0]);
}

uint32_t adler32_fast(uint32_t adler, const uint8_t *in, int32_t len) {
    return kavo::dispatched_checksum<adler32_variants>::call(adler, in, len);
}
