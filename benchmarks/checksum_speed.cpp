// Throughput of every CRC-32 and Adler-32 form, in GB/s, over 64 MB and over cache-sized buffers.
//
// Built by CMake with -DKAVO_BUILD_BENCHMARKS=ON (target checksum_speed), then run:
//   checksum_speed [repeats]
// Each figure is the best of `repeats` runs (default 9) of 64 MB each; GB is 10^9 bytes. The 64 MB column
// reads from memory; the smaller sizes stay in cache, as one compress call's input usually does.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "checksum_forms.h"
#include "kavo.h"

namespace {

struct form {
    std::string name;
    checksum_fn fn;
    uint32_t start;
};

// Best-of-repeats GB/s of fn over `total` bytes, fed in calls of `call` bytes.
double gbps(checksum_fn fn, uint32_t start, const std::vector<uint8_t> &data, size_t call, size_t total, int repeats,
            uint32_t *sink) {
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        uint32_t v = start;
        for (size_t done = 0; done < total; done += call)
            v = fn(v, data.data() + done % data.size(), int32_t(call));
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        *sink ^= v;
        if (s < best)
            best = s;
    }
    return double(total) / best / 1e9;
}

}  // namespace

int main(int argc, char **argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 9;
    constexpr size_t BIG = size_t(64) << 20;
    std::vector<uint8_t> data(BIG);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < BIG; i += 8) {
        const uint64_t w = rng();
        for (int k = 0; k < 8; ++k)
            data[i + size_t(k)] = uint8_t(w >> (8 * k));
    }

    std::vector<form> forms = {{"crc32_sliced", crc32_sliced, 0}, {"crc32_fast", crc32_fast, 0}};
    const checksum_variant *v;
    for (int i = 0, n = crc32_variants(&v); i < n; ++i)
        if (v[i].supported)
            forms.push_back({std::string("  crc32 ") + v[i].name, v[i].fn, 0});
    forms.push_back({"adler32_blocked", adler32_blocked, 1});
    forms.push_back({"adler32_fast", adler32_fast, 1});
    for (int i = 0, n = adler32_variants(&v); i < n; ++i)
        if (v[i].supported)
            forms.push_back({std::string("  adler32 ") + v[i].name, v[i].fn, 1});

    // Cache-resident sizes go round the first part of the buffer until 64 MB have passed.
    const size_t calls[] = {64, 256, 1024, 16384, 262144};
    uint32_t sink = 0;
    std::printf("%-20s %10s", "form", "64MB");
    for (size_t c : calls)
        std::printf(" %9zuB", c);
    std::printf("   (GB/s, best of %d)\n", repeats);
    for (const form &f : forms) {
        std::printf("%-20s %10.2f", f.name.c_str(), gbps(f.fn, f.start, data, BIG, BIG, repeats, &sink));
        for (size_t c : calls) {
            const std::vector<uint8_t> small(data.begin(), data.begin() + long(c));
            std::printf(" %10.2f", gbps(f.fn, f.start, small, c, BIG, repeats, &sink));
        }
        std::printf("\n");
    }
    std::printf("(checksum xor %08x)\n", sink);
    return 0;
}
