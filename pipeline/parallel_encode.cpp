// One call on several threads: chunks parsed speculatively, joined where their decisions agree.
//
// The input is cut into chunks, which the threads take in order. A chunk's parse starts with an
// empty table, so at first it decides otherwise than the call's own parse would; but a decision
// depends only on the slots that the last 32768 positions entered, so once two parses have made the
// same matches over 32768 positions and both have just ended the same match, they go on alike.
// Each chunk but the first keeps a log of its first matches (its start log). The parse before it
// runs on past the chunk's start, logging its own matches, until the two logs show such a point;
// its output ends there and the chunk's own output takes over, cut at the same match end. Where
// the logs never agree (periodic data, whose parse is a chain set far back), the parse before it
// simply goes on through the chunk, whose thread is told to stop. A chunk no thread has started
// yet is parsed on the same way, so every thread count, even one, gives the same bytes.
//
// The pieces go into the call's output in order, each as soon as it and the one before it are
// done, on the thread that finished the later of the two, so that the stitch runs beside the
// parses. The first chunk parses straight into the output; the others into buffers that, like
// their start logs, pass to later chunks once stitched: touching fresh memory costs about as much
// as the copy itself.
#include "parallel_encode.h"

#include "deflate_parser.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace kavo {

namespace {

constexpr uint32_t WINDOW = 32768;         // how far back a decision looks
constexpr uint32_t LOG_STEP = 64 * 1024;   // a chunk publishes its start log this often
constexpr uint32_t JOIN_STEP = 32 * 1024;  // the parse before it compares this often
constexpr uint32_t MAIN_STEP = 1u << 20;   // a parse looks whether it was told to stop this often
constexpr uint32_t MIN_CHUNK = 1u << 20;
constexpr uint32_t TAIL_CHUNK = 2u << 20;  // the last chunks of a long input: room for a late join
constexpr uint32_t MAX_LOG_SPAN = 4u << 20;  // beyond the farthest join seen on real data (2.5 MiB)
constexpr uint32_t SHARES_PER_THREAD = 2;   // a chunk is this share of what is left for each thread
constexpr uint32_t MAX_MATCH_LEN = 258;

// Room for a log of n events; grows by copying, the parser's pointer follows.
struct event_buffer {
    std::unique_ptr<kavo_parse_event[]> data;
    size_t capacity = 0;

    event_buffer() = default;
    event_buffer(event_buffer &&other) noexcept : data(std::move(other.data)), capacity(other.capacity) {
        other.capacity = 0;
    }
    event_buffer &operator=(event_buffer &&other) noexcept {
        if (this != &other) {
            data = std::move(other.data);
            capacity = other.capacity;
            other.capacity = 0;
        }
        return *this;
    }

    bool reserve(size_t used, size_t n) {
        if (n <= capacity)
            return true;
        const size_t grown = std::max(n, 2 * capacity);
        std::unique_ptr<kavo_parse_event[]> more(new (std::nothrow) kavo_parse_event[grown]);
        if (!more)
            return false;
        if (used)
            std::memcpy(more.get(), data.get(), used * sizeof(kavo_parse_event));
        data = std::move(more);
        capacity = grown;
        return true;
    }
};

size_t log_room(uint32_t from, uint32_t until) { return (until - from) / 3 + 4; }

enum class chunk_state { waiting, running, taken_over };

struct chunk {
    uint32_t begin = 0;
    uint32_t log_end = 0;  // its start log covers the matches that start before this
    chunk_state state = chunk_state::waiting;
    std::atomic<bool> cancelled{false};
    std::unique_ptr<kavo_parser> parser;
    uint8_t *out = nullptr;  // the parse's bytes: a buffer of the job's, or the call's own output
    std::unique_ptr<uint8_t[]> own_out;
    bool done = false;  // the parse ended where the next piece takes over, or at the input's end
    int log_readers = 0;  // parses comparing their matches with its start log
    // The start log, published a step at a time: every match starting before log_covered is among
    // the first log_published events.
    event_buffer start_log;
    size_t log_published = 0;
    uint32_t log_covered = 0;
    bool log_final = false;
    // The piece of its output that the call uses: from join_pos (bit open_bit) to end_pos (the end
    // of match `end`), where the parse of chunk `next` takes over; next = -1 runs to the input's end.
    uint32_t join_pos = 0;
    uint64_t open_bit = 3;
    int next = -1;
    uint32_t end_pos = 0;
    kavo_parse_event end{};  // the match of its log that ends the piece
};

struct job {
    const uint8_t *in;
    uint32_t len;
    std::vector<chunk> chunks;
    std::mutex mutex;
    std::condition_variable progress;
    size_t next_claim = 0;
    std::atomic<bool> failed{false};  // memory ran out somewhere: the caller encodes alone
    // The container's checksum of the whole input, taken by the first thread that runs out of chunks.
    int format = KAVO_FMT_DEFLATE;
    uint32_t checksum = 0;
    std::atomic<bool> checksum_taken{false};
    // The stitch: pieces go into the call's output in order as soon as each is done, on whichever
    // thread finishes one, so that it runs beside the parses and frees their buffers for reuse.
    kavo_stream *stream = nullptr;
    uint8_t *direct = nullptr;  // when set, chunk 0 parses straight into the output here
    uint8_t *stream_start = nullptr;  // where the deflate data begin in the output
    int stitch_next = 0;        // the piece to go in next; -1 when all are in
    bool stitching = false;     // a thread is splicing pieces
    // Pages of the output past the stitch, written to once by a thread with no chunk left while the
    // stitch waits for a parse, so that the stitch after it finds them mapped. Never beside a splice.
    uint8_t *out_end = nullptr;       // the end of the caller's room
    uint8_t *stitched_to = nullptr;   // the output of the pieces in, at the last splice's end
    uint32_t stitched_in = 0;         // their input
    uint64_t touched = 0;             // the output touched so far, counted from stream_start
    bool touching = false;
    // Memory of stitched pieces, for the chunks after them: touching fresh pages costs about as much
    // as the copy of the stitch itself.
    std::vector<std::unique_ptr<uint8_t[]>> spare;  // output buffers, each room for any later chunk
    std::vector<event_buffer> spare_logs;

    // A plan's chunks are all of its size at least, the remainder spread over them. Otherwise each
    // chunk is a share of what is left, so that they shrink towards the end and the threads, taking
    // them in order, run out of work at about the same time; MIN_CHUNK at the least, since a short
    // chunk seldom joins (a join lies 32768 bytes past a chunk's start at the least).
    job(const uint8_t *data, uint32_t n, int threads, const parallel_plan &plan)
        : in(data), len(n) {
        std::vector<uint32_t> begins;
        if (plan.chunk) {
            const size_t count = std::max<size_t>(1, n / plan.chunk);
            for (size_t k = 0; k < count; ++k)
                begins.push_back(uint32_t(uint64_t(n) * k / count));
        } else {
            const uint32_t least = std::max(MIN_CHUNK, std::min(TAIL_CHUNK, n / 2));
            for (uint32_t b = 0;;) {
                begins.push_back(b);
                const uint32_t size = std::max(least, uint32_t((n - b) / (uint64_t(threads) * SHARES_PER_THREAD)));
                if (n - b < uint64_t(size) + least)
                    break;
                b += size;
            }
        }
        chunks = std::vector<chunk>(begins.size());
        // A chunk's own join lies within its start log (a match at most past it), so it comes before
        // the next chunk's start: a parse is the call's own everywhere that it compares with the next one.
        for (size_t k = 0; k < chunks.size(); ++k) {
            const uint32_t end = k + 1 < chunks.size() ? begins[k + 1] : n, size = end - begins[k];
            const uint32_t most = size > 2 * MAX_MATCH_LEN ? size - 2 * MAX_MATCH_LEN : 0;
            chunks[k].begin = begins[k];
            chunks[k].log_end = begins[k] + std::min(most, plan.log_span ? plan.log_span : MAX_LOG_SPAN);
        }
    }

    void fail() {
        failed = true;
        std::lock_guard<std::mutex> lock(mutex);
        progress.notify_all();
    }
};

// Whether the parse of chunk c should give up: told to stop, or the whole job failed.
bool stopping(const job &j, const chunk &c) { return c.cancelled || j.failed; }

// The start log of chunk k: its bytes up to log_end parsed with every match kept, published a
// step at a time for the parse before it. Then the parse goes on without a log.
bool run_start_log(job &j, chunk &c) {
    kavo_parser *p = c.parser.get();
    const uint32_t log_end = c.log_end;
    const size_t steps = (log_end - c.begin) / LOG_STEP + 2;
    const size_t room = log_room(c.begin, log_end) + 4 * steps;
    event_buffer log;
    {
        std::lock_guard<std::mutex> lock(j.mutex);
        for (event_buffer &b : j.spare_logs)
            if (b.capacity >= room) {
                std::swap(log, b);
                std::swap(b, j.spare_logs.back());
                j.spare_logs.pop_back();
                break;
            }
    }
    if (!log.reserve(0, room)) {
        j.fail();
        return false;
    }
    p->log = log.data.get();
    {
        std::lock_guard<std::mutex> lock(j.mutex);  // the parse before this one reads it under the lock
        c.start_log = std::move(log);
    }
    while (p->pos < log_end) {
        parser_step(p, int32_t(std::min(log_end, p->pos + LOG_STEP)));
        std::lock_guard<std::mutex> lock(j.mutex);
        c.log_published = p->log_count;
        c.log_covered = p->pos;
        c.log_final = p->pos >= log_end;
        j.progress.notify_all();
        if (stopping(j, c))
            return false;
    }
    {
        std::lock_guard<std::mutex> lock(j.mutex);
        c.log_final = true;  // an empty span publishes nothing above
        j.progress.notify_all();
    }
    p->log = nullptr;
    p->first_stored = KAVO_NO_STORED;  // from here on it notes the first stored run after the log
    return true;
}

enum class join_result { joined, apart, stopped };

// The parse of chunk k, standing at or just past chunk m's start, goes on with a log of its own
// until both logs show the same match ending at q with the same matches over the 32768 positions
// before it. Positions before `agreed` are not known to agree: those before m's start (m's parse
// never looked them up) and those inside any match that only one of the two made.
join_result compare_logs(job &j, chunk &c, chunk &d);

join_result try_join(job &j, chunk &c, chunk &d) {
    {
        std::lock_guard<std::mutex> lock(j.mutex);
        ++d.log_readers;
    }
    const join_result r = compare_logs(j, c, d);
    std::lock_guard<std::mutex> lock(j.mutex);
    --d.log_readers;
    return r;
}

join_result compare_logs(job &j, chunk &c, chunk &d) {
    kavo_parser *p = c.parser.get();
    event_buffer own;
    p->log_count = 0;
    uint32_t agreed = std::max(d.begin, p->pos);
    size_t i = 0, k = 0;  // the next events of c's log and of d's
    for (;;) {
        size_t their_count;
        uint32_t their_covered;
        bool their_final;
        const kavo_parse_event *theirs;
        {
            std::lock_guard<std::mutex> lock(j.mutex);
            their_count = d.log_published;
            their_covered = d.log_covered;
            their_final = d.log_final;
            theirs = d.start_log.data.get();
        }
        const kavo_parse_event *mine = own.data.get();
        const size_t my_count = p->log_count;
        const uint32_t my_covered = p->pos;
        const uint32_t known = std::min(my_covered, their_covered);
        for (;;) {
            while (i < my_count && mine[i].len == 0)  // stored runs: no decisions of their own
                ++i;
            while (k < their_count && theirs[k].len == 0)
                ++k;
            const uint32_t a = i < my_count ? mine[i].pos : UINT32_MAX;
            const uint32_t b = k < their_count ? theirs[k].pos : UINT32_MAX;
            const uint32_t next = std::min(a, b);
            if (next >= known)
                break;
            if (a == b && mine[i].len == theirs[k].len) {
                const uint32_t q = a + mine[i].len;
                if (q - agreed >= WINDOW) {
                    std::lock_guard<std::mutex> lock(j.mutex);
                    if (stopping(j, c))
                        return join_result::stopped;
                    c.next = int(&d - j.chunks.data());
                    c.end_pos = q;
                    c.end = mine[i];
                    d.join_pos = q;
                    d.open_bit = theirs[k].bit;
                    p->log = nullptr;
                    return join_result::joined;
                }
                ++i;
                ++k;
            } else {
                if (a == next) {
                    agreed = std::max(agreed, a + mine[i].len);
                    ++i;
                }
                if (b == next) {
                    agreed = std::max(agreed, b + theirs[k].len);
                    ++k;
                }
            }
        }
        if (stopping(j, c))
            return join_result::stopped;
        if (known == their_covered && their_final)
            break;  // d's log is used up
        if (known == my_covered) {
            if (p->pos >= j.len)
                break;  // c's parse reached the end: it needs no one after it
            const uint32_t until = std::min(j.len, p->pos + JOIN_STEP);
            if (!own.reserve(p->log_count, p->log_count + log_room(p->pos, until))) {
                j.fail();
                return join_result::stopped;
            }
            p->log = own.data.get();
            parser_step(p, int32_t(until));
        } else {
            std::unique_lock<std::mutex> lock(j.mutex);
            j.progress.wait(lock, [&] { return d.log_covered > their_covered || d.log_final || stopping(j, c); });
        }
    }
    p->log = nullptr;
    return join_result::apart;
}

// Whether the parse of chunk `index` ended where the piece after it takes over (or at the input's end)
// rather than being told to stop.
bool run_chunk(job &j, size_t index) {
    chunk &c = j.chunks[index];
    const uint64_t room = segment_bound(j.len - c.begin);
    if (index == 0 && j.direct) {
        c.out = j.direct;
    } else {
        {
            std::lock_guard<std::mutex> lock(j.mutex);
            if (!j.spare.empty()) {  // handed out in chunk order, so big enough
                c.own_out = std::move(j.spare.back());
                j.spare.pop_back();
            }
        }
        if (!c.own_out)
            c.own_out.reset(new (std::nothrow) uint8_t[size_t(room)]);
        c.out = c.own_out.get();
    }
    c.parser.reset(new (std::nothrow) kavo_parser);
    if (!c.parser || !c.out) {
        j.fail();
        return false;
    }
    kavo_parser *p = c.parser.get();
    parser_init(p, j.in, int32_t(j.len), int32_t(c.begin), c.out, room);
    if (index > 0 && !run_start_log(j, c))
        return false;
    size_t next = index + 1;
    for (;;) {
        const uint32_t target = next < j.chunks.size() ? j.chunks[next].begin : j.len;
        while (p->pos < target) {
            parser_step(p, int32_t(std::min(target, p->pos + MAIN_STEP)));
            if (stopping(j, c))
                return false;
        }
        if (next >= j.chunks.size() || p->pos >= j.len)
            return true;  // this parse runs to the end: next stays -1
        chunk &d = j.chunks[next];
        bool take_over;
        {
            std::lock_guard<std::mutex> lock(j.mutex);
            take_over = d.state != chunk_state::running || d.cancelled;
            if (take_over)
                d.state = chunk_state::taken_over;
        }
        if (!take_over) {
            const join_result r = try_join(j, c, d);
            if (r != join_result::apart)
                return r == join_result::joined;
            std::lock_guard<std::mutex> lock(j.mutex);
            d.cancelled = true;
            d.state = chunk_state::taken_over;
            j.progress.notify_all();
        }
        ++next;
    }
}

// The first stored run at or after bit `from` of chunk c's output.
uint64_t first_stored_from(const chunk &c, uint64_t from, bool has_start_log) {
    if (has_start_log) {
        const kavo_parse_event *log = c.start_log.data.get();
        for (size_t i = 0; i < c.log_published; ++i)
            if (log[i].len == 0 && log[i].bit >= from)
                return log[i].bit;
    }
    return c.parser->first_stored;
}

// Splices chunk k's piece after those before it. The piece before it is in, so its start is known.
void stitch_piece(job &j, size_t k) {
    chunk &c = j.chunks[k];
    const uint32_t from = k == 0 ? 0 : c.join_pos;
    const uint32_t to = c.next < 0 ? j.len : c.end_pos;
    const uint64_t stored = first_stored_from(c, c.open_bit, k > 0);
    const kavo_segment seg = parser_piece(c.parser.get(), c.open_bit, c.next < 0 ? nullptr : &c.end, stored);
    deflate_splice(j.stream, j.stream->out_cursor, &seg, c.out, int32_t(to - from));
}

// Chunk `index` is done: whoever is not already splicing splices every piece that can go in now.
void piece_done(job &j, size_t index) {
    std::unique_lock<std::mutex> lock(j.mutex);
    j.chunks[index].done = true;
    if (j.stitching)
        return;  // that thread sees this piece before it stops
    j.stitching = true;
    j.progress.wait(lock, [&] { return !j.touching; });
    while (j.stitch_next >= 0 && j.chunks[size_t(j.stitch_next)].done && !j.failed) {
        chunk &c = j.chunks[size_t(j.stitch_next)];
        lock.unlock();
        stitch_piece(j, size_t(j.stitch_next));
        lock.lock();
        j.stitched_to = j.stream->out_cursor;
        j.stitched_in = c.next < 0 ? j.len : c.end_pos;
        j.stitch_next = c.next;
        if (c.own_out)
            j.spare.push_back(std::move(c.own_out));
        if (c.log_readers == 0 && c.start_log.data)
            j.spare_logs.push_back(std::move(c.start_log));
    }
    j.stitching = false;
}

// With no chunk left, while the stitch waits for a parse (the first piece in already: the first
// chunk's parse writes in the output itself), touches a page at a time of where the pieces still
// to come will go, estimated from the output so far, a batch at a time so that the stitch, which
// waits for a batch to end, is hardly held up. One thread at a time: a second one would start on
// the batch the first has not yet counted as touched, and could still be writing its zeros there
// after the first had ended its batch and let a splice fill those bytes.
void touch_ahead(job &j) {
    constexpr uint64_t PAGE = 4096, BATCH = 64 * PAGE;
    std::unique_lock<std::mutex> lock(j.mutex);
    while (j.out_end && !j.failed && !j.stitching && !j.touching && j.stitch_next > 0 && j.stitched_in < j.len) {
        // Offsets from the start of the deflate data.
        const uint64_t done = uint64_t(j.stitched_to - j.stream_start), room = uint64_t(j.out_end - j.stream_start);
        const uint64_t expected = done + (uint64_t(j.len - j.stitched_in) * done / j.stitched_in) / 16 * 17;
        const uint64_t until = std::min(expected, room), from = std::max(j.touched, done + PAGE);
        if (from >= until)
            break;
        const uint64_t batch_end = std::min(until, from + BATCH);
        j.touching = true;
        lock.unlock();
        for (uint64_t at = from; at < batch_end; at += PAGE)
            j.stream_start[at] = 0;  // past everything written so far, and no splice runs meanwhile
        lock.lock();
        j.touching = false;
        j.touched = batch_end;
        j.progress.notify_all();
    }
}

void work(job &j) {
    for (;;) {
        size_t index;
        {
            std::lock_guard<std::mutex> lock(j.mutex);
            while (j.next_claim < j.chunks.size() && j.chunks[j.next_claim].state != chunk_state::waiting)
                ++j.next_claim;
            if (j.next_claim == j.chunks.size() || j.failed)
                break;
            index = j.next_claim++;
            j.chunks[index].state = chunk_state::running;
        }
        if (run_chunk(j, index))
            piece_done(j, index);
    }
    if (j.format != KAVO_FMT_DEFLATE && !j.failed && !j.checksum_taken.exchange(true))
        j.checksum = j.format == KAVO_FMT_GZIP ? crc32_fast(j.checksum, j.in, int32_t(j.len))
                                               : adler32_fast(j.checksum, j.in, int32_t(j.len));
    touch_ahead(j);
}

}  // namespace

namespace {
size_t encode_alone(kavo_stream *s, uint8_t *out, const uint8_t *in, int32_t len) {
    stream_encode(s, out, in, len, 1);
    return size_t(s->out_cursor - out);
}
}  // namespace

size_t parallel_encode(kavo_stream *s, uint8_t *out, uint64_t room, const uint8_t *in, int32_t len, int threads,
                       const parallel_plan &plan, parallel_report *report) {
    const uint32_t n = len > 0 ? uint32_t(len) : 0;
    parallel_report local;
    parallel_report &r = report ? *report : local;
    r = parallel_report{};
    r.parsed = n;
    r.threads = 1;
    r.chunks = 1;
    r.joined = 1;
    const bool plain = s->level == 0 || s->window_shrink != 0;
    const uint32_t least = plan.chunk ? plan.chunk : std::max(MIN_CHUNK, PARALLEL_MIN_INPUT / 2);
    if (plain || threads <= 1 || n < 2 * uint64_t(least))
        return encode_alone(s, out, in, len);

    std::unique_ptr<job> j;
    try {
        j.reset(new job(in, n, threads, plan));
    } catch (const std::bad_alloc &) {
        return encode_alone(s, out, in, len);
    }
    const kavo_stream before = *s;  // for the caller's thread alone, should memory run short
    j->format = s->format;
    j->checksum = s->checksum;
    j->stream = s;
    s->out_cursor = out;
    if (s->state == ST_HEADER_PENDING)
        s->out_cursor += s->format == KAVO_FMT_GZIP ? gzip_send_header(s, out) : zlib_send_header(s, out);
    // From between blocks, the first piece is the parse's bytes as they stand.
    if (s->state == ST_BETWEEN_BLOCKS && room >= uint64_t(s->out_cursor - out) + segment_bound(n))
        j->direct = s->out_cursor;
    j->stream_start = s->out_cursor;
    if (room > uint64_t(s->out_cursor - out))
        j->out_end = out + room;
    const size_t helpers = std::min<size_t>(size_t(threads), j->chunks.size()) - 1;
    std::vector<std::thread> pool;
    try {
        pool.reserve(helpers);
        for (size_t t = 0; t < helpers; ++t)
            pool.emplace_back([&] { work(*j); });
    } catch (const std::system_error &) {
        // No more threads: those started and the caller's do the work.
    } catch (const std::bad_alloc &) {
    }
    work(*j);
    for (std::thread &t : pool)
        t.join();
    if (j->failed) {
        *s = before;
        return encode_alone(s, out, in, len);
    }
    if (s->format != KAVO_FMT_DEFLATE)
        s->checksum = j->checksum;

    r.threads = int(pool.size()) + 1;
    r.chunks = int(j->chunks.size());
    r.joined = 0;
    r.parsed = 0;
    for (const chunk &c : j->chunks) {
        if (c.parser)
            r.parsed += c.parser->pos - c.begin;
        if (c.state == chunk_state::taken_over)
            ++r.taken_over;
    }
    for (int k = 0; k >= 0; k = j->chunks[size_t(k)].next) {
        const chunk &c = j->chunks[size_t(k)];
        ++r.joined;
        if (k > 0)
            r.worst_join = std::max(r.worst_join, c.join_pos - c.begin);
    }
    return size_t(s->out_cursor - out);
}

}  // namespace kavo
