// Differential fuzz target: the engine against tests/fuzz/plain_deflate.h, call by call, with guarded buffers.
//
// The fuzzer's bytes choose the level, the format, how the input is split among encode calls,
// whether the last call passes more = 0, whether the container header is sent on its own, and
// whether calls follow the finish; a short generator turns a few bytes into long inputs with far
// repeats (so small seeds reach distances up to 32769 and stored runs beyond 65535 bytes). For
// every call the target checks that
//   - the engine writes nothing beyond its documented bound: each output area ends exactly at a
//     page that may not be touched, and a canary stands before it; the input ends at such a page
//     too, so a read past it faults;
//   - the bytes written and the stream record (queued bits, state, checksum, input count) equal
//     those of the plain encoder;
// and at the end that zlib inflates the whole stream back to the input, with nothing left over,
// and (level 1) that the whole input as one call on several threads gives the one-thread bytes.
//
// Input layout (all fields optional; missing bytes read as 0):
//   byte 0: bit 0 level, bits 1-2 format (3 acts as raw), bit 3 last call with more = 0,
//           bit 4 generated input, bits 5-7 generator kind
//   byte 1: bits 0-4 number of split points, bit 5 calls after the finish, bit 6 send the header
//           on its own first, bit 7 level passed as a larger int (only bit 0 may count)
//   when generated: 2 bytes gap (little-endian); 1 byte: bits 0-1 repeat count - 1, bits 2-3
//           number of bytes >= 144 that end each gap (so that they are pending, and counted,
//           right before a copy of the data); 1 byte generator seed
//   2 bytes (little-endian) per split point: the length of each piece but the last
//   the rest: the data
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "kavo.h"
#include "parallel_encode.h"
#include "plain_deflate.h"

namespace {

[[noreturn]] void fail(const char *what, size_t call) {
    std::fprintf(stderr, "fuzz_engine: %s (call %zu)\n", what, call);
    std::abort();
}

#define REQUIRE(cond, call)                       \
    do {                                          \
        if (!(cond))                              \
            fail(#cond, call);                    \
    } while (0)

// A region whose last usable byte sits just before a page that may not be read or written.
// Areas handed out end at that page, so one byte too many faults at once; a canary before the
// start catches writes below it.
class guarded_region {
  public:
    ~guarded_region() { release(); }

    // An area of exactly n bytes that ends at the guard page.
    uint8_t *area(size_t n) {
        if (n + CANARY > usable_)
            grow(n + CANARY);
        uint8_t *start = guard_ - n;
        std::memset(start - CANARY, CANARY_BYTE, CANARY);
        return start;
    }
    bool canary_intact(const uint8_t *start) const {
        for (size_t i = 1; i <= CANARY; ++i)
            if (start[-ptrdiff_t(i)] != CANARY_BYTE)
                return false;
        return true;
    }

  private:
    static constexpr size_t CANARY = 32;
    static constexpr uint8_t CANARY_BYTE = 0xC5;

    void grow(size_t need) {
        release();
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t body = (need + page - 1) / page * page;
        void *p = mmap(nullptr, body + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            std::perror("mmap");
            std::abort();
        }
        base_ = static_cast<uint8_t *>(p);
        total_ = body + page;
        guard_ = base_ + body;
        usable_ = body;
        if (mprotect(guard_, page, PROT_NONE) != 0) {
            std::perror("mprotect");
            std::abort();
        }
    }
    void release() {
        if (base_)
            munmap(base_, total_);
        base_ = guard_ = nullptr;
        total_ = usable_ = 0;
    }

    uint8_t *base_ = nullptr;
    uint8_t *guard_ = nullptr;
    size_t total_ = 0;
    size_t usable_ = 0;
};

struct reader {
    const uint8_t *p;
    size_t n;
    uint8_t byte() {
        if (n == 0)
            return 0;
        --n;
        return *p++;
    }
    uint32_t u16() {
        const uint32_t lo = byte();
        return lo | uint32_t(byte()) << 8;
    }
};

// Filler between the copies of the data in generated inputs. Each kind aims at a different
// rule: no matches at all, long stored runs, 4- and 5-byte matches among high bytes, many short
// matches, and the pattern that expands most at level 1.
void append_filler(std::vector<uint8_t> &v, unsigned kind, uint32_t gap, uint32_t &rng) {
    auto next = [&rng]() {
        rng = rng * 1103515245u + 12345u;
        return rng >> 16;
    };
    if (kind == 4) {
        // 51 bytes >= 144 and then a repeat of their last 4 bytes, redrawn until the 3 words
        // between the two copies hash to other slots, so the repeat finds a 4-byte match at
        // distance 4 that the cost rule accepts with high_count 51.
        auto slot = [](const uint8_t *w) {
            const uint32_t word = uint32_t(w[0]) | uint32_t(w[1]) << 8 | uint32_t(w[2]) << 16 | uint32_t(w[3]) << 24;
            return uint32_t(word * 524351u) >> 19;
        };
        while (gap > 0) {
            uint8_t unit[55];
            for (;;) {
                for (int i = 0; i < 51; ++i)
                    unit[i] = uint8_t(144 + next() % 112);
                std::memcpy(unit + 51, unit + 47, 4);
                const uint32_t s = slot(unit + 47);
                if (slot(unit + 48) != s && slot(unit + 49) != s && slot(unit + 50) != s)
                    break;
            }
            const uint32_t take = gap < 55 ? gap : 55;
            v.insert(v.end(), unit, unit + take);
            gap -= take;
        }
        return;
    }
    for (uint32_t i = 0; i < gap; ++i) {
        uint8_t b;
        switch (kind) {
        case 0: b = 0; break;
        case 1: b = uint8_t(next()); break;
        case 2: b = uint8_t(144 + next() % 112); break;
        case 3: b = uint8_t(next() % 144); break;
        case 5: b = uint8_t('a' + next() % 26); break;
        case 6: b = uint8_t(0x90 + next() % 2); break;
        default: b = uint8_t('a' + next() % 2); break;
        }
        v.push_back(b);
    }
}

struct checker {
    kavo_stream engine{};
    plain::stream model;
    std::vector<uint8_t> stream_bytes;
    guarded_region out_region, in_region;
    size_t call = 0;

    void compare_records() {
        REQUIRE(engine.state == model.state, call);
        REQUIRE(engine.queued_bits == model.queued, call);
        REQUIRE(engine.bit_queue == model.queued_value(), call);
        REQUIRE(engine.checksum == model.checksum, call);
        REQUIRE(engine.input_total == model.input_total, call);
        REQUIRE(engine.level == model.level, call);
    }

    void compare_output(const uint8_t *out, int n, const std::vector<uint8_t> &expected, size_t room) {
        REQUIRE(out_region.canary_intact(out), call);
        REQUIRE(n >= 0 && size_t(n) <= room, call);
        REQUIRE(size_t(n) == expected.size(), call);
        REQUIRE(expected.empty() || std::memcmp(out, expected.data(), expected.size()) == 0, call);
        stream_bytes.insert(stream_bytes.end(), out, out + n);
    }

    size_t header_room() const {
        if (engine.state != ST_HEADER_PENDING)
            return 0;
        return model.format == plain::FMT_GZIP ? GZIP_HEADER_SIZE : ZLIB_HEADER_SIZE;
    }

    void send_header() {
        ++call;
        const size_t room = model.format == plain::FMT_GZIP ? GZIP_HEADER_SIZE : ZLIB_HEADER_SIZE;
        uint8_t *out = out_region.area(room);
        const int n = model.format == plain::FMT_GZIP ? gzip_send_header(&engine, out) : zlib_send_header(&engine, out);
        std::vector<uint8_t> expected;
        model.header(expected);
        compare_output(out, n, expected, room);
        compare_records();
    }

    // Calls after the finish are outside the engine's calling order, and so outside the
    // contract of its bound: at level 0 the stored block that follows then first ends the
    // "open block" that states 4 and 5 stand for, which costs one byte more than the bound
    // allows for a 1-byte input. They get that byte; no call in order may use it.
    bool finished = false;

    void encode(const uint8_t *data, size_t len, int more) {
        ++call;
        // The input sits right before a guard page, so reading one byte past it faults.
        uint8_t *in = in_region.area(len);
        if (len)
            std::memcpy(in, data, len);
        const size_t room = size_t(deflate_encode_bound(len)) + header_room() + (finished ? 1 : 0);
        uint8_t *out = out_region.area(room);
        int n;
        switch (model.format) {
        case plain::FMT_GZIP: n = gzip_encode(&engine, out, in, int32_t(len), more); break;
        case plain::FMT_ZLIB: n = zlib_encode(&engine, out, in, int32_t(len), more); break;
        default: n = deflate_encode(&engine, out, in, int32_t(len), more); break;
        }
        std::vector<uint8_t> expected;
        model.encode(expected, data, uint32_t(len), more);
        compare_output(out, n, expected, room);
        compare_records();
    }

    void finish() {
        ++call;
        const size_t room = model.format == plain::FMT_GZIP   ? size_t(GZIP_FINISH_BOUND)
                            : model.format == plain::FMT_ZLIB ? size_t(ZLIB_FINISH_BOUND)
                                                              : size_t(DEFLATE_FINISH_BOUND);
        uint8_t *out = out_region.area(room);
        int n;
        switch (model.format) {
        case plain::FMT_GZIP: n = gzip_finish(&engine, out); break;
        case plain::FMT_ZLIB: n = zlib_finish(&engine, out); break;
        default: n = deflate_finish(&engine, out); break;
        }
        std::vector<uint8_t> expected;
        model.finish(expected);
        compare_output(out, n, expected, room);
        compare_records();
        finished = true;
    }
};

void inflate_check(const std::vector<uint8_t> &stream, const std::vector<uint8_t> &input, int format, size_t call) {
    z_stream z{};
    const int window_bits = format == plain::FMT_GZIP ? 16 + 15 : format == plain::FMT_ZLIB ? 15 : -15;
    REQUIRE(inflateInit2(&z, window_bits) == Z_OK, call);
    std::vector<uint8_t> got(input.size() + 1);
    z.next_in = const_cast<Bytef *>(stream.data());
    z.avail_in = uInt(stream.size());
    z.next_out = got.data();
    z.avail_out = uInt(got.size());
    const int rc = inflate(&z, Z_FINISH);
    const size_t produced = got.size() - z.avail_out;
    const uInt left = z.avail_in;
    inflateEnd(&z);
    REQUIRE(rc == Z_STREAM_END, call);
    REQUIRE(left == 0, call);
    REQUIRE(produced == input.size(), call);
    REQUIRE(input.empty() || std::memcmp(got.data(), input.data(), input.size()) == 0, call);
}

// The whole input as one call on several threads, with chunks and start logs chosen by the
// fuzzer's bytes, against the same call on one: the same bytes and the same stream record.
void parallel_check(const std::vector<uint8_t> &input, int format, unsigned threads, uint32_t chunk, uint32_t span) {
    kavo_stream one, many;
    const int kavo_format = format == plain::FMT_GZIP ? KAVO_FMT_GZIP : format == plain::FMT_ZLIB ? KAVO_FMT_ZLIB
                                                                                                  : KAVO_FMT_DEFLATE;
    stream_init(&one, 1, kavo_format);
    stream_init(&many, 1, kavo_format);
    const size_t room = size_t(deflate_encode_bound(input.size())) + GZIP_FINISH_BOUND + GZIP_HEADER_SIZE;
    std::vector<uint8_t> want(room), got(room);
    stream_encode(&one, want.data(), input.data(), int32_t(input.size()), 1);
    const size_t n = size_t(one.out_cursor - want.data());
    kavo::parallel_plan plan;
    plan.chunk = chunk;
    plan.log_span = span;
    REQUIRE(kavo::parallel_encode(&many, got.data(), room, input.data(), int32_t(input.size()), int(threads), plan) == n,
            0);
    REQUIRE(std::memcmp(want.data(), got.data(), n) == 0, 0);
    REQUIRE(one.bit_queue == many.bit_queue && one.queued_bits == many.queued_bits && one.state == many.state, 0);
    REQUIRE(one.checksum == many.checksum && one.input_total == many.input_total, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    reader r{data, size};
    const uint8_t b0 = r.byte(), b1 = r.byte();
    const int level = b0 & 1;
    int format = (b0 >> 1) & 3;
    if (format == 3)
        format = plain::FMT_RAW;
    const bool last_final = b0 & 8;
    const bool generated = b0 & 16;
    const unsigned kind = unsigned(b0 >> 5);
    const unsigned splits = b1 & 31;
    const bool after_finish = b1 & 32;
    const bool separate_header = (b1 & 64) && format != plain::FMT_RAW;
    // Only the lowest bit of the level counts; an odd or even larger int must act the same.
    const int level_arg = (b1 & 128) ? level + 2 * int(b0 | 1) * 1000 : level;

    uint32_t gap = 0, repeats = 0, tail_high = 0, seed = 0;
    if (generated) {
        gap = r.u16();
        const uint8_t shape = r.byte();
        repeats = 1 + (shape & 3);
        tail_high = (shape >> 2) & 3;
        seed = r.byte();
    }
    std::vector<uint32_t> pieces;
    for (unsigned i = 0; i < splits; ++i)
        pieces.push_back(r.u16());

    std::vector<uint8_t> input(r.p, r.p + r.n);
    if (generated) {
        const std::vector<uint8_t> data_copy = input;
        uint32_t rng = seed * 2654435761u + 1;
        for (uint32_t k = 0; k < repeats; ++k) {
            append_filler(input, kind, gap, rng);
            for (uint32_t h = 0; h < tail_high; ++h)
                input.push_back(uint8_t(0x90 + h));
            input.insert(input.end(), data_copy.begin(), data_copy.end());
        }
    }

    checker c;
    switch (format) {
    case plain::FMT_GZIP: gzip_init(&c.engine, level_arg); break;
    case plain::FMT_ZLIB: zlib_init(&c.engine, level_arg); break;
    default: deflate_init(&c.engine, level_arg); break;
    }
    c.model.init(format, level);
    c.compare_records();
    if (separate_header)
        c.send_header();

    size_t done = 0;
    for (size_t i = 0; i <= pieces.size(); ++i) {
        const bool last = i == pieces.size();
        const size_t left = input.size() - done;
        const size_t take = last ? left : (pieces[i] < left ? pieces[i] : left);
        c.encode(input.data() + done, take, last && last_final ? 0 : 1);
        done += take;
    }
    c.finish();
    inflate_check(c.stream_bytes, input, format, c.call);
    if (level == 1 && input.size() >= 2) {
        // Threads and chunk size from the split count and the generator's fields: 2 to 5 threads,
        // 2 to 17 chunks, start logs from nothing to a whole chunk.
        const uint32_t chunk = uint32_t(input.size() / (2 + (gap & 15)));
        parallel_check(input, format, 2 + splits % 4, chunk ? chunk : 1, chunk / (1 + (seed & 3)) + (seed & 4) * 9000);
    }

    if (after_finish) {
        // Out of order: the bytes mean nothing to a decoder any more, but they must still stay
        // within the bounds and match the plain reading of the state rules.
        const size_t take = input.size() < 300 ? input.size() : 300;
        c.encode(input.data(), take, 1);
        c.finish();
        c.finish();
    }
    return 0;
}
