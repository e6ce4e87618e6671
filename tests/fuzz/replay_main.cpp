// Plain driver for the fuzz target: replays corpus files and directories, then optional random inputs.
//
// Builds with any compiler (no libFuzzer), so the same checks run under gcc, the sanitizers,
// valgrind and other platforms. Usage:
//   fuzz_replay [--random N] [--seed S] [--max-len L] [--verbose] FILE_OR_DIR...
// Prints "fuzz_replay: N inputs replayed, M random" and exits 0; a failed check aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "kavo.h"
#include "../cpp/variant_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool is_directory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void collect(const std::string &path, std::vector<std::string> &files) {
    if (!is_directory(path)) {
        files.push_back(path);
        return;
    }
    DIR *d = opendir(path.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names)
        collect(path + "/" + n, files);
}

// Random inputs shaped like the target's layout: a config byte pair, optional generator
// fields and split lengths (mostly small, so tiny calls are common), then data drawn from a
// few alphabets so that matches, high bytes and stored runs all occur.
std::vector<uint8_t> random_input(std::mt19937 &rng, size_t max_len) {
    std::vector<uint8_t> v;
    auto u8 = [&rng]() { return uint8_t(rng()); };
    const uint8_t b0 = u8(), b1 = u8();
    v.push_back(b0);
    v.push_back(b1);
    if (b0 & 16) {
        const uint32_t gap = rng() % 4 == 0 ? 32760 + rng() % 16 : rng() % 40000;
        v.push_back(uint8_t(gap));
        v.push_back(uint8_t(gap >> 8));
        v.push_back(u8());
        v.push_back(u8());
    }
    for (unsigned i = 0; i < (b1 & 31u); ++i) {
        const uint32_t piece = rng() % 2 ? rng() % 8 : rng() % 600;
        v.push_back(uint8_t(piece));
        v.push_back(uint8_t(piece >> 8));
    }
    const size_t n = rng() % (max_len + 1);
    const unsigned alphabet = rng() % 4;
    for (size_t i = 0; i < n; ++i) {
        switch (alphabet) {
        case 0: v.push_back(u8()); break;
        case 1: v.push_back(uint8_t('a' + rng() % 3)); break;
        case 2: v.push_back(uint8_t(144 + rng() % 3)); break;
        default: v.push_back(uint8_t(rng() % 2 ? 0xFF : 0x00)); break;
        }
    }
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    unsigned long random_runs = 0, seed = 1, max_len = 4096;
    bool verbose = false;  // names each file before its run, to find the one that fails
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--random" && i + 1 < argc)
            random_runs = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--seed" && i + 1 < argc)
            seed = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--verbose")
            verbose = true;
        else if (a == "--max-len" && i + 1 < argc)
            max_len = std::strtoul(argv[++i], nullptr, 10);
        else
            collect(a, files);
    }
    size_t replayed = 0;
    for (const std::string &f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "fuzz_replay: cannot read %s\n", f.c_str());
            return 2;
        }
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (verbose)
            std::fprintf(stderr, "fuzz_replay: %s\n", f.c_str());
        LLVMFuzzerTestOneInput(data.data(), data.size());
        ++replayed;
    }
    std::mt19937 rng{uint32_t(seed)};
    for (unsigned long k = 0; k < random_runs; ++k) {
        const std::vector<uint8_t> data = random_input(rng, max_len);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("fuzz_replay: %zu inputs replayed, %lu random\n", replayed, random_runs);
    print_engine_variant();
    return 0;
}
