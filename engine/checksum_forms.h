// Every checksum form built into the engine, for the run-time choice, the tests and the benchmark.
#ifndef KAVO_CHECKSUM_FORMS_H
#define KAVO_CHECKSUM_FORMS_H

#include <array>
#include <cstdint>

// Each form gives the same values as crc32_fast and adler32_fast (kavo.h), which run the first
// supported entry of the lists below.
extern const std::array<std::array<uint32_t, 256>, 4> crc32_tables;
uint32_t crc32_sliced(uint32_t crc, const uint8_t *in, int32_t len);
uint32_t crc32_bytewise(uint32_t crc, const uint8_t *in, int32_t len);
uint32_t adler32_blocked(uint32_t adler, const uint8_t *in, int32_t len);
uint32_t adler32_bytewise(uint32_t adler, const uint8_t *in, int32_t len);

using checksum_fn = uint32_t (*)(uint32_t, const uint8_t *, int32_t);
struct checksum_variant {
    const char *name;
    checksum_fn fn;
    bool supported;  // this CPU and OS run it; calling an unsupported form faults
};
// Best first; the portable form is last and always supported. The lists are constant after the
// first call; the result is the count.
int crc32_variants(const checksum_variant **list);
int adler32_variants(const checksum_variant **list);
// Portable CRC-32, eight bytes a step: the choice when the CPU offers nothing faster.
uint32_t crc32_slice8(uint32_t crc, const uint8_t *in, int32_t len);
#if defined(__x86_64__) || defined(_M_X64)
// x86-64 forms (checksum_*_x86.cpp); each needs the CPU features named in its comment.
uint32_t crc32_pclmul(uint32_t crc, const uint8_t *in, int32_t len);       // PCLMULQDQ, SSE4.1
uint32_t crc32_vpclmul(uint32_t crc, const uint8_t *in, int32_t len);      // VPCLMULQDQ, AVX-512 F/VL/BW
uint32_t adler32_ssse3(uint32_t adler, const uint8_t *in, int32_t len);    // SSSE3
uint32_t adler32_avx2(uint32_t adler, const uint8_t *in, int32_t len);     // AVX2
enum : uint32_t {
    X86_SSSE3 = 1, X86_SSE41 = 2, X86_PCLMUL = 4, X86_AVX2 = 8, X86_AVX512 = 16, X86_VPCLMUL = 32,
    X86_V3 = 64,  // all of x86-64-v3: AVX, AVX2, BMI1, BMI2, LZCNT, MOVBE, FMA, F16C
};
// The X86_ bits this CPU and OS support (AVX2 and AVX-512 only with the OS saving their registers).
uint32_t x86_cpu_features();
#endif

#endif
