// Times the level-1 engine alone on files, for benchmarks/engine_ab.py, which builds it once per
// engine under comparison and runs the builds in turn.
//
//   engine_timer REPEATS OUTDIR FILE...
//
// For each file: raw deflate in one call, best of REPEATS by the CPU time of the thread; prints
// "name seconds" per file (and the engine's form on stderr) and writes the stream to
// OUTDIR/name.deflate, so that two builds can be checked for the same bytes.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "kavo.h"

namespace {

double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

bool read_file(const char *path, std::vector<uint8_t> &data) {
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return false;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s REPEATS OUTDIR FILE...\n", argv[0]);
        return 2;
    }
    const int repeats = std::atoi(argv[1]);
    const std::string outdir = argv[2];
    for (int i = 3; i < argc; ++i) {
        std::vector<uint8_t> data;
        if (!read_file(argv[i], data) || data.size() > 0x70000000u) {
            std::fprintf(stderr, "cannot use %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> out(size_t(deflate_encode_bound(data.size())) + DEFLATE_FINISH_BOUND);
        double best = 1e30;
        size_t n = 0;
        for (int r = 0; r < repeats; ++r) {
            const double t0 = thread_seconds();
            kavo_stream s;
            deflate_init(&s, 1);
            n = size_t(deflate_encode(&s, out.data(), data.data(), int32_t(data.size()), 1));
            n += size_t(deflate_finish(&s, out.data() + n));
            const double t = thread_seconds() - t0;
            best = t < best ? t : best;
        }
        std::string name = argv[i];
        name = name.substr(name.find_last_of('/') + 1);
        if (FILE *f = std::fopen((outdir + "/" + name + ".deflate").c_str(), "wb")) {
            std::fwrite(out.data(), 1, n, f);
            std::fclose(f);
        }
        std::printf("%s %.9f\n", name.c_str(), best);
    }
    // The compiled form of level 1 that ran (KAVO_ENGINE_VARIANT may ask for one).
    std::fprintf(stderr, "engine variant: %s\n", engine_variant());
    return 0;
}
