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

#include "deflate_parser.h"
#include "options.h"

namespace kavo {

namespace {

constexpr uint32_t WINDOW = 32768;         // how far back a decision looks
constexpr uint32_t LOG_STEP = 64 * 1024;   // a chunk publishes its start log this often
constexpr uint32_t JOIN_STEP = 32 * 1024;  // the parse before it compares this often
constexpr uint32_t MAIN_STEP = 1u << 20;   // a parse looks whether it was told to stop this often
constexpr uint32_t MIN_CHUNK = 1u << 20;
constexpr uint32_t TAIL_CHUNK = 2u << 20;  // the last chunks of a long input: room for a late join
// How far into a chunk its start log reaches: well beyond the farthest join seen on real data,
// since a join found past it is not found at all and the parse before it goes on through the chunk.
constexpr uint32_t MAX_LOG_SPAN = 4u << 20;
constexpr uint32_t SHARES_PER_THREAD = 2;   // a chunk is this share of what is left for each thread
constexpr uint32_t MAX_MATCH_LEN = 258;
// Pages of the output touched ahead in one go, between two looks at whether a splice is waiting:
// few enough that a waiting splice is hardly held up, enough that the lock is seldom taken.
constexpr uint64_t TOUCH_BATCH_PAGES = 64;

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

// A chunk's start log, published a step at a time for the parse before it: every match starting
// before `covered` is among the first `published` events. Read and written under the job's lock.
struct start_log {
    uint32_t end = 0;  // it covers the matches that start before this
    event_buffer events;
    size_t published = 0;
    uint32_t covered = 0;
    bool final = false;
    int readers = 0;  // parses comparing their matches with it
};

// The part of a chunk's output that the call uses: from join_pos (bit open_bit) to end_pos (the end
// of match `end`), where the parse of chunk `next` takes over; next = -1 runs to the input's end.
struct piece {
    uint32_t join_pos = 0;
    uint64_t open_bit = 3;
    int next = -1;
    uint32_t end_pos = 0;
    kavo_parse_event end{};
};

struct chunk {
    uint32_t begin = 0;
    // Its parse.
    chunk_state state = chunk_state::waiting;
    std::atomic<bool> cancelled{false};
    std::unique_ptr<kavo_parser> parser;
    uint8_t *out = nullptr;  // the parse's bytes: a buffer of the job's, or the call's own output
    std::unique_ptr<uint8_t[]> own_out;
    bool done = false;  // the parse ended where the next piece takes over, or at the input's end
    start_log log;
    piece used;
};

// The container's checksum of the whole input, taken by the first thread that runs out of chunks.
struct container_checksum {
    int format = KAVO_FMT_DEFLATE;
    uint32_t value = 0;
    std::atomic<bool> taken{false};
};

// The stitch: pieces go into the call's output in order as soon as each is done, on whichever
// thread finishes one, so that it runs beside the parses and frees their buffers for reuse.
struct stitch_state {
    kavo_stream *stream = nullptr;
    uint8_t *direct = nullptr;        // when set, chunk 0 parses straight into the output here
    uint8_t *start = nullptr;         // where the deflate data begin in the output
    int next = 0;                     // the piece to go in next; -1 when all are in
    bool busy = false;                // a thread is splicing pieces
    uint8_t *output_end = nullptr;    // the output of the pieces in, at the last splice's end
    uint32_t input_end = 0;           // their input
};

// Pages of the output past the stitch, written to once by a thread with no chunk left while the
// stitch waits for a parse, so that the stitch after it finds them mapped. Never beside a splice.
struct page_touch {
    uint8_t *room_end = nullptr;  // the end of the caller's room; null: nothing to touch
    uint64_t page = 4096;
    uint64_t touched = 0;         // the output touched so far, counted from the stitch's start
    bool busy = false;
};

// Memory of stitched pieces, for the chunks after them: touching fresh pages costs about as much
// as the copy of the stitch itself.
struct buffer_pool {
    std::vector<std::unique_ptr<uint8_t[]>> outputs;  // each room for any later chunk
    std::vector<event_buffer> logs;
};

struct job {
    const uint8_t *in;
    uint32_t len;
    std::vector<chunk> chunks;
    std::mutex mutex;  // guards all below but the atomics, and the chunks' shared fields
    std::condition_variable progress;
    size_t next_claim = 0;  // the chunks are claimed in order
    std::atomic<bool> failed{false};  // memory ran out somewhere: the caller encodes alone
    container_checksum checksum;
    stitch_state stitch;
    page_touch touch;
    buffer_pool pool;

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
            chunks[k].log.end = begins[k] + std::min(most, plan.log_span ? plan.log_span : MAX_LOG_SPAN);
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

// The start log of chunk k: its bytes up to log.end parsed with every match kept, published a
// step at a time for the parse before it. Then the parse goes on without a log.
bool run_start_log(job &j, chunk &c) {
    kavo_parser *p = c.parser.get();
    const uint32_t log_end = c.log.end;
    const size_t steps = (log_end - c.begin) / LOG_STEP + 2;
    const size_t room = log_room(c.begin, log_end) + 4 * steps;
    event_buffer events;
    {
        std::lock_guard<std::mutex> lock(j.mutex);
        std::vector<event_buffer> &spare = j.pool.logs;
        for (event_buffer &b : spare)
            if (b.capacity >= room) {
                std::swap(events, b);
                std::swap(b, spare.back());
                spare.pop_back();
                break;
            }
    }
    if (!events.reserve(0, room)) {
        j.fail();
        return false;
    }
    p->log = events.data.get();
    {
        std::lock_guard<std::mutex> lock(j.mutex);  // the parse before this one reads it under the lock
        c.log.events = std::move(events);
    }
    while (p->pos < log_end) {
        parser_step(p, int32_t(std::min(log_end, p->pos + LOG_STEP)));
        std::lock_guard<std::mutex> lock(j.mutex);
        c.log.published = p->log_count;
        c.log.covered = p->pos;
        c.log.final = p->pos >= log_end;
        j.progress.notify_all();
        if (stopping(j, c))
            return false;
    }
    {
        std::lock_guard<std::mutex> lock(j.mutex);
        c.log.final = true;  // an empty span publishes nothing above
        j.progress.notify_all();
    }
    p->log = nullptr;
    p->first_stored = KAVO_NO_STORED;  // from here on it notes the first stored run after the log
    return true;
}

// The search for a join in two logs of matches, read in position order as far as both are known
// (stored runs make no decisions and are passed over). The join is the end q of the first match
// that both logs hold alike (the same position and length) with no match of only one of them
// ending in the 32768 positions before q, nor the start of the comparison (`agreed` starts there).
struct join_search {
    uint32_t agreed;  // every decision from here on has been the same in both logs
    size_t mine = 0, theirs = 0;  // the next events to read

    // Reads the events of both logs that start before `known`; returns whether the join is there,
    // with mine and theirs at the match that ends it.
    bool advance(const kavo_parse_event *a, size_t a_count, const kavo_parse_event *b, size_t b_count,
                 uint32_t known) {
        for (;;) {
            while (mine < a_count && a[mine].len == 0)
                ++mine;
            while (theirs < b_count && b[theirs].len == 0)
                ++theirs;
            const uint32_t at_a = mine < a_count ? a[mine].pos : UINT32_MAX;
            const uint32_t at_b = theirs < b_count ? b[theirs].pos : UINT32_MAX;
            if (std::min(at_a, at_b) >= known)
                return false;
            if (at_a == at_b && a[mine].len == b[theirs].len) {
                if (at_a + a[mine].len - agreed >= WINDOW)
                    return true;
                ++mine;
                ++theirs;
                continue;
            }
            // A decision only one of them made: the agreement starts again after it.
            if (at_a <= at_b)
                agreed = std::max(agreed, at_a + a[mine++].len);
            if (at_b <= at_a)
                agreed = std::max(agreed, at_b + b[theirs++].len);
        }
    }
};

enum class join_result { joined, apart, stopped };

// The parse of chunk c, standing at or just past chunk d's start, goes on with a log of its own,
// a step at a time and waiting for d's start log to be published as far, until the join_search
// finds the join (c's piece ends there and d's takes over), d's log is used up without one, or c's
// parse reaches the input's end (then it needs no one after it). Positions before d's start are not
// known to agree: d's parse never looked them up.
join_result compare_logs(job &j, chunk &c, chunk &d) {
    kavo_parser *p = c.parser.get();
    event_buffer own;
    p->log_count = 0;
    join_search search{std::max(d.begin, p->pos)};
    for (;;) {
        size_t their_count;
        uint32_t their_covered;
        bool their_final;
        const kavo_parse_event *theirs;
        {
            std::lock_guard<std::mutex> lock(j.mutex);
            their_count = d.log.published;
            their_covered = d.log.covered;
            their_final = d.log.final;
            theirs = d.log.events.data.get();
        }
        const uint32_t known = std::min(p->pos, their_covered);
        if (search.advance(own.data.get(), p->log_count, theirs, their_count, known)) {
            std::lock_guard<std::mutex> lock(j.mutex);
            if (stopping(j, c))
                return join_result::stopped;
            const kavo_parse_event &end = own.data[search.mine];
            c.used.next = int(&d - j.chunks.data());
            c.used.end_pos = end.pos + end.len;
            c.used.end = end;
            d.used.join_pos = end.pos + end.len;
            d.used.open_bit = theirs[search.theirs].bit;
            p->log = nullptr;
            return join_result::joined;
        }
        if (stopping(j, c))
            return join_result::stopped;
        if (known == their_covered && their_final)
            break;  // d's log is used up
        if (known == p->pos) {
            if (p->pos >= j.len)
                break;  // c's parse reached the end
            const uint32_t until = std::min(j.len, p->pos + JOIN_STEP);
            if (!own.reserve(p->log_count, p->log_count + log_room(p->pos, until))) {
                j.fail();
                return join_result::stopped;
            }
            p->log = own.data.get();
            parser_step(p, int32_t(until));
        } else {
            std::unique_lock<std::mutex> lock(j.mutex);
            j.progress.wait(lock, [&] { return d.log.covered > their_covered || d.log.final || stopping(j, c); });
        }
    }
    p->log = nullptr;
    return join_result::apart;
}

join_result try_join(job &j, chunk &c, chunk &d) {
    {
        std::lock_guard<std::mutex> lock(j.mutex);
        ++d.log.readers;
    }
    const join_result r = compare_logs(j, c, d);
    std::lock_guard<std::mutex> lock(j.mutex);
    --d.log.readers;
    return r;
}

// Whether the parse of chunk `index` ended where the piece after it takes over (or at the input's end)
// rather than being told to stop.
bool run_chunk(job &j, size_t index) {
    chunk &c = j.chunks[index];
    const uint64_t room = segment_bound(j.len - c.begin);
    if (index == 0 && j.stitch.direct) {
        c.out = j.stitch.direct;
    } else {
        {
            std::lock_guard<std::mutex> lock(j.mutex);
            if (!j.pool.outputs.empty()) {  // handed out in chunk order, so big enough
                c.own_out = std::move(j.pool.outputs.back());
                j.pool.outputs.pop_back();
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
            return true;  // this parse runs to the end: used.next stays -1
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
        const kavo_parse_event *log = c.log.events.data.get();
        for (size_t i = 0; i < c.log.published; ++i)
            if (log[i].len == 0 && log[i].bit >= from)
                return log[i].bit;
    }
    return c.parser->first_stored;
}

// Splices chunk k's piece after those before it. The piece before it is in, so its start is known.
void stitch_piece(job &j, size_t k) {
    const chunk &c = j.chunks[k];
    const uint32_t from = k == 0 ? 0 : c.used.join_pos;
    const uint32_t to = c.used.next < 0 ? j.len : c.used.end_pos;
    const uint64_t stored = first_stored_from(c, c.used.open_bit, k > 0);
    const kavo_segment seg =
        parser_piece(c.parser.get(), c.used.open_bit, c.used.next < 0 ? nullptr : &c.used.end, stored);
    kavo_stream *s = j.stitch.stream;
    deflate_splice(s, s->out_cursor, &seg, c.out, int32_t(to - from));
}

// Chunk `index` is done: whoever is not already splicing splices every piece that can go in now.
void piece_done(job &j, size_t index) {
    std::unique_lock<std::mutex> lock(j.mutex);
    stitch_state &st = j.stitch;
    j.chunks[index].done = true;
    if (st.busy)
        return;  // that thread sees this piece before it stops
    st.busy = true;
    j.progress.wait(lock, [&] { return !j.touch.busy; });
    while (st.next >= 0 && j.chunks[size_t(st.next)].done && !j.failed) {
        chunk &c = j.chunks[size_t(st.next)];
        lock.unlock();
        stitch_piece(j, size_t(st.next));
        lock.lock();
        st.output_end = st.stream->out_cursor;
        st.input_end = c.used.next < 0 ? j.len : c.used.end_pos;
        st.next = c.used.next;
        if (c.own_out)
            j.pool.outputs.push_back(std::move(c.own_out));
        if (c.log.readers == 0 && c.log.events.data)
            j.pool.logs.push_back(std::move(c.log.events));
    }
    st.busy = false;
}

// With no chunk left, while the stitch waits for a parse (the first piece in already: the first
// chunk's parse writes in the output itself), touches a page at a time of where the pieces still
// to come will go, estimated from the output so far, a batch at a time so that the stitch, which
// waits for a batch to end, is hardly held up. One thread at a time: a second one would start on
// the batch the first has not yet counted as touched, and could still be writing its zeros there
// after the first had ended its batch and let a splice fill those bytes.
void touch_ahead(job &j) {
    page_touch &t = j.touch;
    const stitch_state &st = j.stitch;
    std::unique_lock<std::mutex> lock(j.mutex);
    while (t.room_end && !j.failed && !st.busy && !t.busy && st.next > 0 && st.input_end < j.len) {
        // Offsets from the start of the deflate data; the rest of the output is expected to come at
        // the rate so far, with a sixteenth more for good measure.
        const uint64_t done = uint64_t(st.output_end - st.start), room = uint64_t(t.room_end - st.start);
        const uint64_t expected = done + (uint64_t(j.len - st.input_end) * done / st.input_end) / 16 * 17;
        const uint64_t until = std::min(expected, room), from = std::max(t.touched, done + t.page);
        if (from >= until)
            break;
        const uint64_t batch_end = std::min(until, from + TOUCH_BATCH_PAGES * t.page);
        t.busy = true;
        lock.unlock();
        for (uint64_t at = from; at < batch_end; at += t.page)
            st.start[at] = 0;  // past everything written so far, and no splice runs meanwhile
        lock.lock();
        t.busy = false;
        t.touched = batch_end;
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
    container_checksum &sum = j.checksum;
    if (sum.format != KAVO_FMT_DEFLATE && !j.failed && !sum.taken.exchange(true))
        sum.value = sum.format == KAVO_FMT_GZIP ? crc32_fast(sum.value, j.in, int32_t(j.len))
                                                : adler32_fast(sum.value, j.in, int32_t(j.len));
    touch_ahead(j);
}

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
    j->checksum.format = s->format;
    j->checksum.value = s->checksum;
    stitch_state &st = j->stitch;
    st.stream = s;
    s->out_cursor = out;
    if (s->state == ST_HEADER_PENDING)
        s->out_cursor += s->format == KAVO_FMT_GZIP ? gzip_send_header(s, out) : zlib_send_header(s, out);
    // From between blocks, the first piece is the parse's bytes as they stand.
    if (s->state == ST_BETWEEN_BLOCKS && room >= uint64_t(s->out_cursor - out) + segment_bound(n))
        st.direct = s->out_cursor;
    st.start = s->out_cursor;
    if (room > uint64_t(s->out_cursor - out))
        j->touch.room_end = out + room;
    j->touch.page = page_size();
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
        s->checksum = j->checksum.value;

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
    for (int k = 0; k >= 0; k = j->chunks[size_t(k)].used.next) {
        const chunk &c = j->chunks[size_t(k)];
        ++r.joined;
        if (k > 0)
            r.worst_join = std::max(r.worst_join, c.used.join_pos - c.begin);
    }
    return size_t(s->out_cursor - out);
}

}  // namespace kavo
