// The block encoder's calls: the table each thread keeps, the pass set up and run in the form this CPU runs best.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "checksum_forms.h"
#include "deflate_pass.h"
#include "deflate_tables.h"

using namespace kavo;

namespace {

// The match finder's table: 32 KiB, too large for the stacks of small threads, so each thread
// keeps one on the heap and reuses it. Instead of refilling all slots at every call, positions are
// counted on from call to call (`next_base`), with a gap of a whole window between calls: a slot
// written by an earlier call then lies more than 32768 positions back, and the distance test turns
// it down exactly as it turns down an empty slot. The output is the same as from a fresh table.
struct hash_table {
    uint32_t slots[HASH_SLOTS];
    uint32_t next_base;

    void clear() {
        for (uint32_t &slot : slots)
            slot = EMPTY_SLOT;
        next_base = FIRST_POS;
    }

    // Returns the running position of this call's byte 0. A call that does not fit below
    // POS_LIMIT starts on a fresh table, and a longer one moves its positions down as it goes
    // (then end_call gives the position it ended at).
    uint32_t begin_call(uint32_t len) {
        if (uint64_t(next_base) + len + 2 * MAX_DISTANCE > uint64_t(POS_LIMIT))
            clear();
        return next_base;
    }

    // base: the running position of the call's byte 0 at its end.
    void end_call(uint32_t base, uint32_t len) { next_base = base + len + MAX_DISTANCE; }
};
// Gives the calling thread a table that no other call is using for the length of one call.
class table_lease {
  public:
    table_lease() {
        thread_local std::unique_ptr<hash_table> own;
        if (!own) {
            own.reset(new (std::nothrow) hash_table);
            if (own)
                own->clear();
        }
        if (own) {
            table_ = own.get();
        } else {
            // Out of memory for a table of its own: share one, a call at a time, rather than fail.
            static hash_table shared_table;
            static bool shared_ready = false;
            static std::mutex shared_mutex;
            lock_ = std::unique_lock<std::mutex>(shared_mutex);
            if (!shared_ready) {
                shared_table.clear();
                shared_ready = true;
            }
            table_ = &shared_table;
        }
    }
    hash_table *operator->() const { return table_; }

  private:
    hash_table *table_ = nullptr;
    std::unique_lock<std::mutex> lock_;
};

split_literal_codes make_split_literal_codes() {
    split_literal_codes t{};
    for (uint32_t b = 0; b < 256; ++b) {
        t.code[b] = uint16_t(literal_code_table[b] >> 4);
        t.bits[b] = uint8_t(literal_code_table[b] & 15);
    }
    return t;
}

// The forms of the pass this build has and this CPU runs, best first; baseline is last.
struct scan_forms {
    const scan_variant *list[2];
    int count;
};

const scan_forms &supported_scans() {
    static const scan_forms forms = [] {
        scan_forms f{{nullptr, nullptr}, 0};
#if defined(__x86_64__) || defined(_M_X64)
        if (scan_x86_64_v3 && (x86_cpu_features() & X86_V3))
            f.list[f.count++] = scan_x86_64_v3;
#endif
        f.list[f.count++] = &scan_baseline;
        return f;
    }();
    return forms;
}

const scan_variant *supported_scan(const char *name) {
    const scan_forms &forms = supported_scans();
    for (int i = 0; i < forms.count; ++i)
        if (std::strcmp(forms.list[i]->name, name) == 0)
            return forms.list[i];
    return nullptr;
}

// The form every call runs: chosen at the first call, then one relaxed load (threads racing on the
// first call store the same choice).
std::atomic<const scan_variant *> chosen_scan{nullptr};

const scan_variant *choose_scan() {
    // A test or a benchmark may ask for a form by name; a name this CPU cannot run is passed over.
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    const char *asked = std::getenv("KAVO_ENGINE_VARIANT");
    const scan_variant *v = asked ? supported_scan(asked) : nullptr;
    if (!v)
        v = supported_scans().list[0];
    chosen_scan.store(v, std::memory_order_relaxed);
    return v;
}

KAVO_INLINE const scan_variant &active_scan() {
    const scan_variant *v = chosen_scan.load(std::memory_order_relaxed);
    return v ? *v : *choose_scan();
}

// A pass from position 0 over n bytes at data, positions running on from table_base.
pass make_pass(kavo_stream *s, const uint8_t *data, uint32_t n, uint32_t *table, uint32_t table_base,
               uint8_t *room_end) {
    pass p;
    p.stream = s;
    p.in = data;
    p.len = n;
    p.pos = 0;
    p.slots = table;
    p.base = table_base;
    p.w = bit_writer(s);
    p.state = s->state;
    p.out_end = room_end;
    p.run_start = 0;
    p.nine_bit_bytes = 0;
    p.mark = p.w;
    p.mark_state = p.state;
    p.match_len = 0;
    p.match_dist = 0;
    p.out = nullptr;
    p.first_stored = nullptr;
    p.log = nullptr;
    return p;
}

void encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, uint32_t n, int more, uint64_t *first_stored) {
    if (n == 0)
        return;
    if (!stream->level) {
        if (first_stored && *first_stored == KAVO_NO_STORED)
            *first_stored = stored_start_bit(stream, out);
        emit_stored_blocks(stream, in, n, more);
        return;
    }
    table_lease table;
    pass p = make_pass(stream, in, n, table->slots, table->begin_call(n), out + deflate_encode_bound(n));
    p.out = out;
    p.first_stored = first_stored;
    const scan_variant &form = active_scan();
    if (stream->window_shrink == 0)
        form.full(p, n, more);
    else
        form.limited(p, MAX_DISTANCE >> stream->window_shrink, n, more);
    table->end_call(p.base, n);
}

// Keeps the queue's bits in memory after the output, followed by zero bytes: whatever bit a later
// piece is cut at, every bit before it can be read in place, and a splice may read whole words
// past it. The next bits written overwrite these bytes with the same bits.
void store_queue(const kavo_stream &s) {
    store32le(s.out_cursor, uint32_t(s.bit_queue));
    store32le(s.out_cursor + 4, uint32_t(s.bit_queue >> 32));
    std::memset(s.out_cursor + 8, 0, 8);
}

}  // namespace

const split_literal_codes kavo::split_literals = make_split_literal_codes();

int engine_variants(const char **names, int room) {
    const scan_forms &forms = supported_scans();
    for (int i = 0; i < forms.count && i < room; ++i)
        names[i] = forms.list[i]->name;
    return forms.count;
}

const char *engine_variant() { return active_scan().name; }

bool set_engine_variant(const char *name) {
    const scan_variant *v = name ? supported_scan(name) : nullptr;
    if (v)
        chosen_scan.store(v, std::memory_order_relaxed);
    return v != nullptr;
}

size_t deflate_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more) {
    stream->out_cursor = out;
    const uint32_t n = len > 0 ? uint32_t(len) : 0;
    encode(stream, out, in, n, more, nullptr);
    stream->input_total += n;
    return size_t(stream->out_cursor - out);
}

// A fresh raw stream encodes the segment; its end queue is stored after its bytes, so that the
// splice finds every bit of it in one place and may read whole words past the last.
void deflate_encode_segment(kavo_segment *seg, uint8_t *out, const uint8_t *in, int32_t len, int level,
                            int window_bits) {
    kavo_stream s;
    deflate_init(&s, level);
    kavo_set_window(&s, window_bits);
    s.out_cursor = out;
    seg->first_stored_bit = KAVO_NO_STORED;
    seg->open_bit = 3;
    encode(&s, out, in, len > 0 ? uint32_t(len) : 0, 1, &seg->first_stored_bit);
    seg->size = uint32_t(s.out_cursor - out);
    seg->bit_queue = s.bit_queue;
    seg->queued_bits = s.queued_bits;
    seg->state = s.state;
    store_queue(s);
}

void parser_init(kavo_parser *p, const uint8_t *in, int32_t len, int32_t start, uint8_t *out, uint64_t room) {
    deflate_init(&p->stream, 1);
    p->stream.out_cursor = out;
    p->in = in;
    p->len = len > 0 ? uint32_t(len) : 0;
    p->pos = start > 0 ? uint32_t(start) : 0;
    p->out = out;
    p->out_end = out + (room > 16 ? room - 16 : 0);
    p->first_stored = KAVO_NO_STORED;
    p->log = nullptr;
    p->log_count = 0;
    p->run_start = p->pos;
    p->nine_bit_bytes = 0;
    p->mark_queue = 0;
    p->mark_bits = 0;
    p->mark_cursor = out;
    p->mark_state = ST_BETWEEN_BLOCKS;
    p->base = FIRST_POS - p->pos;  // whatever the start, its running position is FIRST_POS
    for (uint32_t &slot : p->table)
        slot = EMPTY_SLOT;
    store_queue(p->stream);
}

void parser_step(kavo_parser *parser, int32_t until) {
    const uint32_t stop = until > 0 ? uint32_t(until) : 0;
    if (parser->pos >= parser->len || stop <= parser->pos)
        return;
    match_log log{parser->log, parser->log_count, parser->out};
    pass p = make_pass(&parser->stream, parser->in, parser->len, parser->table, parser->base, parser->out_end);
    p.pos = parser->pos;
    p.run_start = parser->run_start;
    p.nine_bit_bytes = parser->nine_bit_bytes;
    p.mark.queue = parser->mark_queue;
    p.mark.bits = parser->mark_bits;
    p.mark.cursor = parser->mark_cursor;
    p.mark_state = parser->mark_state;
    p.out = parser->out;
    p.first_stored = &parser->first_stored;
    const scan_variant &form = active_scan();
    if (parser->log) {
        p.log = &log;
        form.logged(p, stop, 1);
    } else {
        form.full(p, stop, 1);
    }
    parser->pos = p.pos;
    parser->base = p.base;
    parser->run_start = p.run_start;
    parser->nine_bit_bytes = p.nine_bit_bytes;
    parser->mark_queue = p.mark.queue;
    parser->mark_bits = p.mark.bits;
    parser->mark_cursor = p.mark.cursor;
    parser->mark_state = p.mark_state;
    parser->log_count = log.count;
    store_queue(parser->stream);
}

kavo_segment parser_piece(const kavo_parser *p, uint64_t open_bit, const kavo_parse_event *end,
                          uint64_t first_stored) {
    kavo_segment seg;
    seg.open_bit = open_bit;
    uint64_t end_bit;
    if (!end) {  // up to where the parse stands
        seg.size = uint32_t(p->stream.out_cursor - p->out);
        seg.bit_queue = p->stream.bit_queue;
        seg.queued_bits = p->stream.queued_bits;
        seg.state = p->stream.state;
        end_bit = uint64_t(seg.size) * 8 + seg.queued_bits;
    } else {  // cut just after a match, with the block open and the queue as the writer held it
        end_bit = end->bit;
        seg.queued_bits = end->queued;
        seg.size = uint32_t((end_bit - seg.queued_bits) >> 3);
        seg.bit_queue = load64le(p->out + seg.size) & ((uint64_t(1) << seg.queued_bits) - 1);
        seg.state = ST_IN_FIXED;
    }
    seg.first_stored_bit = first_stored != KAVO_NO_STORED && first_stored < end_bit ? first_stored : KAVO_NO_STORED;
    return seg;
}