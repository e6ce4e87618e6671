// Block pipeline tests: streams spliced from 1 to 8 workers against one stream's own encoding, and teardown.
#include <dirent.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "block_pipeline.h"
#include "deflate_segment.h"
#include "kavo.h"
#include "parallel_encode.h"
#include "check.h"
#include "stream_writer.h"

namespace {

using kavo_test::bytes;
using kavo_test::failures;
using kavo_test::checks;
using kavo_test::inflate_all;
using job_ptr = std::shared_ptr<kavo::block_job>;

struct format_ops {
    int format;
    int (*init)(kavo_stream *, int);
    size_t (*encode)(kavo_stream *, uint8_t *, const uint8_t *, int32_t, int);
    int (*sync_flush)(kavo_stream *, uint8_t *);
    int (*finish)(kavo_stream *, uint8_t *);
    int wbits_sign, wbits_add;  // zlib's window argument: window_bits * sign + add
};
const format_ops FORMATS[] = {
    {KAVO_FMT_GZIP, gzip_init, gzip_encode, gzip_sync_flush, gzip_finish, 1, 16},
    {KAVO_FMT_ZLIB, zlib_init, zlib_encode, zlib_sync_flush, zlib_finish, 1, 0},
    {KAVO_FMT_DEFLATE, deflate_init, deflate_encode, deflate_sync_flush, deflate_finish, -1, 0},
};

// Text from a small vocabulary (near and far repeats), random bytes (stored), long runs of one byte
// (the longest matches), or short stretches of all three, so that block edges fall inside stored and
// fixed blocks alike.
bytes make_input(int kind, size_t n, std::mt19937 &rng) {
    static const char *const words[] = {"pipeline ", "worker ", "splice ", "the ", "of ", "block ", "segment\n"};
    bytes out;
    out.reserve(n + 100000);
    int now = kind;
    while (out.size() < n) {
        if (kind == 3 && rng() % 64 == 0)
            now = int(rng() % 3);
        if (now == 0) {
            for (const char *w = words[rng() % 7]; *w; ++w)
                out.push_back(uint8_t(*w));
        } else if (now == 1) {
            out.push_back(uint8_t(rng()));
        } else {
            out.insert(out.end(), 1 + rng() % (kind == 3 ? 3000 : 100000), uint8_t(rng()));
        }
    }
    out.resize(n);
    return out;
}

void append_flush(bytes &out, kavo_stream &s, int (*flush)(kavo_stream *, uint8_t *)) {
    uint8_t room[SYNC_FLUSH_BOUND + GZIP_FINISH_BOUND];
    out.insert(out.end(), room, room + flush(&s, room));
}

void append_splice(bytes &out, kavo_stream &s, const kavo::block_job &job) {
    const size_t at = out.size();
    out.resize(at + size_t(splice_bound(job.segment)));
    out.resize(at + size_t(kavo::splice_block(&s, out.data() + at, job)));
}

// One block of a plan: its length, and whether a sync flush follows it.
struct step {
    size_t size;
    bool sync;
};

// Mostly tiny blocks (the most traffic through the queues), a mix up to 300 KB, or mostly large ones.
std::vector<step> make_plan(std::mt19937 &rng, size_t *total) {
    const int profile = int(rng() % 3);
    const size_t goal = profile == 0 ? 20000 + rng() % 60000 : 200000 + rng() % 800000;
    std::vector<step> plan;
    for (*total = 0; *total < goal;) {
        static const size_t mixed[8] = {64, 64, 64, 4096, 4096, 70000, 70000, 300000};
        const uint32_t r = rng() % 8;
        const size_t n = profile == 0 ? 1 + rng() % (r ? 100 : 5000)
                         : profile == 2 ? 50000 + rng() % 250001 : 1 + rng() % mixed[r];
        plan.push_back({n, rng() % 10 == 0});
        *total += n;
    }
    return plan;
}

// The stream one kavo_stream writes encoding each block itself, with the plan's sync flushes.
bytes direct_stream(const format_ops &f, int level, int window, const bytes &in, const std::vector<step> &plan) {
    kavo_stream s;
    f.init(&s, level);
    kavo_set_window(&s, window);
    bytes out;
    size_t at = 0;
    for (const step &b : plan) {
        const size_t end = out.size();
        out.resize(end + size_t(deflate_encode_bound(b.size)) + GZIP_HEADER_SIZE);
        out.resize(end + size_t(f.encode(&s, out.data() + end, in.data() + at, int32_t(b.size), 1)));
        at += b.size;
        if (b.sync)
            append_flush(out, s, f.sync_flush);
    }
    append_flush(out, s, f.finish);
    return out;
}

// The same blocks through a pipeline: a varying number in flight, taken back now and then or all at
// once (a sync flush needs every earlier block spliced first).
bytes piped_stream(const format_ops &f, int level, int window, int workers, const bytes &in,
                   const std::vector<step> &plan, std::mt19937 &rng) {
    kavo_stream s;
    f.init(&s, level);
    kavo_set_window(&s, window);
    kavo::block_pipeline pipe(workers, level, window);
    std::deque<job_ptr> sent;
    bytes out;
    auto take = [&](size_t keep) {
        while (pipe.in_flight() > keep) {
            const job_ptr job = pipe.take_oldest();
            CHECK(job && job == sent.front() && job->done);
            if (!job || job != sent.front())
                return;
            sent.pop_front();
            append_splice(out, s, *job);
        }
        CHECK(pipe.in_flight() == sent.size());
    };
    size_t at = 0, limit = 1 + rng() % (3 * size_t(workers));
    for (const step &b : plan) {
        auto job = std::make_shared<kavo::block_job>();
        job->input.assign(in.begin() + long(at), in.begin() + long(at + b.size));
        at += b.size;
        if (rng() % 16 == 0)
            limit = 1 + rng() % (3 * size_t(workers));
        take(limit - 1);
        sent.push_back(job);
        pipe.submit(std::move(job));
        if (b.sync) {
            take(0);
            append_flush(out, s, f.sync_flush);
        } else if (rng() % 20 == 0) {
            take(rng() % (sent.size() + 1));
        }
    }
    take(0);
    CHECK(pipe.take_oldest() == nullptr);
    append_flush(out, s, f.finish);
    return out;
}

void test_spliced_equals_direct() {
    std::mt19937 rng(4242);
    int cases = 0;
    size_t blocks = 0, bytes_in = 0;
    for (int workers : {1, 2, 4, 8})
        for (const format_ops &f : FORMATS)
            for (int level = 0; level < 2; ++level)
                for (int kind = 0; kind < 4; ++kind) {
                    const int window = (cases % 5 == 4) ? 9 + int(rng() % 6) : 15;
                    size_t total;
                    const std::vector<step> plan = make_plan(rng, &total);
                    const bytes in = make_input(kind, total, rng);
                    const bytes want = direct_stream(f, level, window, in, plan);
                    const bytes got = piped_stream(f, level, window, workers, in, plan, rng);
                    bool ok;
                    const bool same = got == want;
                    CHECK(same);
                    CHECK(inflate_all(got, f.wbits_sign * window + f.wbits_add, &ok) == in && ok);
                    if (!same || !ok)
                        std::fprintf(stderr, "  workers %d format %d level %d kind %d window %d: %zu blocks\n",
                                     workers, f.format, level, kind, window, plan.size());
                    ++cases, blocks += plan.size(), bytes_in += total;
                }
    std::printf("spliced against direct: %d streams, %zu blocks, %zu bytes\n", cases, blocks, bytes_in);
}

// Inputs that keep speculative parses from joining or make joins land in awkward places: periodic
// data (a run of one byte included), repeated blocks with a byte edited per copy, 4-byte copies at
// the distances where a short match stops paying among 3 to 30% bytes >= 144, and stretches of
// about 52 such bytes (where runs go out stored) between text.
bytes make_hard_input(int kind, size_t n, std::mt19937 &rng) {
    bytes out;
    out.reserve(n + 70000);
    if (kind == 0) {
        static const size_t periods[] = {1, 2, 3, 7, 64, 1000, 4096, 32768, 32769};
        bytes unit(periods[rng() % 9]);
        for (uint8_t &b : unit)
            b = uint8_t(rng());
        while (out.size() < n)
            out.insert(out.end(), unit.begin(), unit.end());
    } else if (kind == 1) {
        bytes unit(5000 + rng() % 35000);
        for (uint8_t &b : unit)
            b = uint8_t(rng());
        while (out.size() < n) {
            unit[rng() % unit.size()] ^= uint8_t(1 + rng() % 255);
            out.insert(out.end(), unit.begin(), unit.end());
        }
    } else if (kind == 2) {
        static const size_t distances[] = {8192, 8193, 16384, 32768};
        const uint32_t high = 3 + rng() % 28;  // percent of bytes >= 144
        while (out.size() < n) {
            if (out.size() > 32768 && rng() % 10 == 0) {
                const size_t from = out.size() - distances[rng() % 4];
                for (int i = 0; i < 4; ++i)
                    out.push_back(out[from + size_t(i)]);
            } else {
                out.push_back(uint8_t(rng() % 100 < high ? 144 + rng() % 112 : rng() % 144));
            }
        }
    } else {
        while (out.size() < n) {
            for (size_t i = 0, k = 45 + rng() % 16; i < k; ++i)
                out.push_back(uint8_t(144 + rng() % 112));
            const bytes text = make_input(0, 20 + rng() % 400, rng);
            out.insert(out.end(), text.begin(), text.end());
        }
    }
    out.resize(n);
    return out;
}

// One call on 1 to 8 threads, with chunks and start logs small enough that joins, takeovers and
// chunks no thread reached happen on small inputs, against the call on one thread.
void test_parallel_equals_direct() {
    std::mt19937 rng(1313);
    int cases = 0, joins = 0, takeovers = 0;
    uint64_t parsed = 0, bytes_in = 0;
    for (int round = 0; round < 48; ++round) {
        const format_ops &f = FORMATS[round % 3];
        // The last rounds parse chunks longer than the 22 bits of position a slot keeps.
        const bool long_chunks = round >= 46;
        const size_t n = long_chunks ? 8500000 + rng() % 1000000 : 100000 + rng() % 1200000;
        const bytes in = round % 2 ? make_input(int(rng() % 4), n, rng) : make_hard_input(int(rng() % 4), n, rng);
        kavo_stream s;
        f.init(&s, 1);
        bytes want(size_t(deflate_encode_bound(n)) + 64);
        want.resize(size_t(f.encode(&s, want.data(), in.data(), int32_t(n), 1)));
        const kavo_stream open = s;  // the record before the finish: bytes and queue split alike
        append_flush(want, s, f.finish);
        for (int threads : {1, 2, 3, 8}) {
            kavo::parallel_plan plan;
            plan.chunk = uint32_t(long_chunks ? 4300000 + rng() % 1000000 : 40000 + rng() % 300000);
            plan.log_span = uint32_t(rng() % 2 ? 33000 + rng() % 100000 : plan.chunk / 2);
            kavo::parallel_report r;
            f.init(&s, 1);
            // Room for a parse of the whole input (the first chunk parses in place) or only for the output.
            bytes got(threads % 2 ? size_t(segment_bound(n)) : want.size() + 64);
            got.resize(kavo::parallel_encode(&s, got.data(), got.size(), in.data(), int32_t(n), threads, plan, &r));
            CHECK(s.bit_queue == open.bit_queue && s.queued_bits == open.queued_bits && s.state == open.state &&
                  s.checksum == open.checksum && s.input_total == open.input_total);
            append_flush(got, s, f.finish);
            const bool same = got == want;
            CHECK(same);
            CHECK(r.parsed >= n && r.joined + r.taken_over <= r.chunks && r.threads <= threads);
            if (!same)
                std::fprintf(stderr, "  round %d threads %d chunk %u log %u: %zu bytes\n", round, threads,
                             plan.chunk, plan.log_span, n);
            ++cases, joins += r.joined - 1, takeovers += r.taken_over, parsed += r.parsed, bytes_in += n;
        }
    }
    CHECK(joins > 0 && takeovers > 0);
    std::printf("parallel against direct: %d calls, %d joins, %d takeovers, %.2f bytes parsed a byte\n", cases,
                joins, takeovers, double(parsed) / double(bytes_in));
}

size_t thread_count() {
    size_t n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A joined thread can stay in /proc/self/task a moment after pthread_join returns (the kernel wakes
// the joiner before it reaps the task), so the count is awaited, for at most two seconds.
bool threads_back_to(size_t n) {
    for (int i = 0; i < 400 && thread_count() > n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return thread_count() <= n;
}

// Destroying a pipeline with blocks waiting, being encoded and done but not taken back must join
// every worker and let go of every block; many pipelines in a row must leave no thread behind.
void test_teardown() {
    std::mt19937 rng(77);
    const bytes text = make_input(3, 300000, rng);
    const size_t base = thread_count();  // the earlier tests already started any thread a sanitizer adds
    for (int workers : {1, 2, 4, 8})
        for (int round = 0; round < 3; ++round) {
            std::vector<std::weak_ptr<kavo::block_job>> watch;
            {
                kavo::block_pipeline pipe(workers, round % 2, 15);
                CHECK(thread_count() >= base + size_t(workers));
                for (size_t i = 0, blocks = 2 * size_t(workers) + 2 + rng() % 6; i < blocks; ++i) {
                    auto job = std::make_shared<kavo::block_job>();
                    job->input.assign(text.begin(), text.begin() + long(1 + rng() % text.size()));
                    watch.push_back(job);
                    pipe.submit(std::move(job));
                }
                if (round == 2) {  // one taken back: the rest are encoded or about to be
                    const job_ptr first = pipe.take_oldest();
                    CHECK(first && first->done && first == watch.front().lock());
                }
            }
            for (const auto &w : watch)
                CHECK(w.expired());
            CHECK(threads_back_to(base));
        }
    for (int i = 0; i < 300; ++i) {
        kavo::block_pipeline pipe(1 + i % 8, i % 2, 15);
        for (int k = 0; k < i % 4; ++k) {
            auto job = std::make_shared<kavo::block_job>();
            job->input.assign(text.begin() + k, text.begin() + k + 1 + long(rng() % 3000));
            pipe.submit(std::move(job));
        }
        if (i % 3 == 0) {  // one in three is taken back and decoded: its workers did encode
            kavo_stream s;
            deflate_init(&s, i % 2);
            bytes out, in;
            while (const job_ptr job = pipe.take_oldest()) {
                append_splice(out, s, *job);
                in.insert(in.end(), job->input.begin(), job->input.end());
            }
            append_flush(out, s, deflate_finish);
            bool ok;
            CHECK(inflate_all(out, -15, &ok) == in && ok);
        }
    }
    CHECK(threads_back_to(base));
    std::printf("teardown: %zu threads at the end, %zu before\n", thread_count(), base);
}

// BGZF through the stream writer: on 1 to 8 threads, with random write sizes and flushes, the
// bytes are those of the caller's thread alone; every member is within 64 KiB, gives its size,
// holds at most 65280 bytes, decodes on its own, and the index names each member's start.
void test_bgzf_writer() {
    std::mt19937 rng(28);
    for (int kind = 0; kind < 4; ++kind) {
        const bytes input = make_input(kind, 900000 + rng() % 300000, rng);
        std::vector<std::pair<size_t, bool>> plan;  // write sizes, and whether a flush follows
        for (size_t at = 0; at < input.size();) {
            const size_t n = std::min(input.size() - at, size_t(1 + rng() % 200000));
            plan.push_back({n, rng() % 5 == 0});
            at += n;
        }
        bytes first;
        for (int threads : {1, 2, 4, 8}) {
            bytes out;
            kavo::writer_settings settings;
            settings.threads = threads;
            settings.bgzf = true;
            settings.level = kind == 2 ? 0 : 1;
            kavo::stream_writer writer(settings, [&](const uint8_t *p, size_t n) { out.insert(out.end(), p, p + n); },
                                       [](const std::function<void()> &f) { f(); });
            size_t at = 0;
            for (const auto &w : plan) {
                writer.write(input.data() + at, w.first);
                at += w.first;
                if (w.second)
                    writer.flush();
            }
            writer.finish();
            writer.stop();
            if (threads == 1)
                first = out;
            CHECK(out == first);
            bytes joined;
            std::vector<kavo::bgzf_entry> starts;
            size_t pos = 0;
            bool all_ok = true;
            while (pos + BGZF_HEADER_SIZE <= out.size()) {
                const size_t size = size_t(out[pos + 16] | (out[pos + 17] << 8)) + 1;
                all_ok = all_ok && out[pos + 12] == 'B' && out[pos + 13] == 'C' && size <= BGZF_MEMBER_MAX &&
                         pos + size <= out.size();
                if (!all_ok)
                    break;
                if (pos > 0)
                    starts.push_back({pos, joined.size()});
                bool ok;
                const bytes raw = inflate_all(bytes(out.begin() + long(pos), out.begin() + long(pos + size)), 31, &ok);
                all_ok = all_ok && ok && raw.size() <= BGZF_BLOCK_INPUT;
                joined.insert(joined.end(), raw.begin(), raw.end());
                pos += size;
            }
            CHECK(all_ok && pos == out.size() && joined == input);
            CHECK(std::equal(out.end() - BGZF_EOF_SIZE, out.end(), BGZF_EOF));
            starts.pop_back();  // the end-of-file member is not indexed
            const auto &index = writer.bgzf_index();
            bool same = index.size() == starts.size();
            for (size_t i = 0; same && i < index.size(); ++i)
                same = index[i].compressed == starts[i].compressed && index[i].uncompressed == starts[i].uncompressed;
            CHECK(same);
        }
    }
    std::printf("bgzf writer: done\n");
}

}  // namespace

int main() {
    test_spliced_equals_direct();
    test_parallel_equals_direct();
    test_teardown();
    test_bgzf_writer();
    std::printf("%d checks, %d failed\n", checks, failures);
    return failures ? 1 : 0;
}
