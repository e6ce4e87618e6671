// The block encoder: greedy single-probe matching, fixed Huffman codes, stored runs.
#include <memory>
#include <mutex>
#include <new>

#include "bit_output.h"

using namespace kavo;

namespace {

constexpr uint32_t HASH_BITS = 13;
constexpr uint32_t HASH_SLOTS = 1u << HASH_BITS;
constexpr uint32_t HASH_MULTIPLIER = 524351;  // 0x8003F
constexpr uint32_t HASH_SHIFT = 32 - HASH_BITS;
constexpr uint32_t MIN_MATCH = 4;
constexpr uint32_t MAX_MATCH = 258;
constexpr uint32_t MAX_DISTANCE = 32768;
// A run with this many bytes >= 144 grows by at least 52 bits as fixed literals, more than a
// stored block's framing costs, so it goes out stored.
constexpr uint32_t STORED_HIGH_COUNT = 52;
// While a run is headed for storage, a short match would split it for little gain.
constexpr uint32_t MIN_MATCH_WHILE_STORING = 6;
constexpr uint32_t COST_MARGIN = 8;

// An untouched slot: its position is 32769 bytes before position 0, so the distance test
// rejects it everywhere, even where the input word happens to be 0xFFFFFFFF.
constexpr uint32_t EMPTY_POS = 0xFFFF7FFFu;
constexpr uint32_t EMPTY_WORD = 0xFFFFFFFFu;

// Bytes 144..255 take 9-bit literal codes, the others 8: this adds 1 for each such byte.
KAVO_INLINE uint32_t is_high(uint8_t b) { return (uint32_t(b) + 112u) >> 8; }

struct hash_slot {
    uint32_t last_pos;   // position of the last visitor, in the table's running position space
    uint32_t last_word;  // the 4 input bytes at that position, little-endian
};

// The match finder's table: 64 KiB, too large for the stacks of small threads, so each thread
// keeps one on the heap and reuses it. Instead of refilling all slots at every call, positions are
// counted on from call to call (`next_base`), with a gap of a whole window between calls: a slot
// written by an earlier call then lies more than 32768 positions back, and the distance test turns
// it down exactly as it turns down an empty slot. The output is the same as from a fresh table.
struct hash_table {
    hash_slot slots[HASH_SLOTS];
    uint32_t next_base;

    void clear() {
        for (hash_slot &s : slots)
            s = hash_slot{EMPTY_POS, EMPTY_WORD};
        next_base = 0;
    }

    // Returns the running position of this call's byte 0.
    uint32_t begin_call(uint32_t len) {
        // Positions must stay below EMPTY_POS - 32768 so that empty slots stay out of reach and
        // nothing wraps; long before that the table starts afresh.
        if (uint64_t(next_base) + len + 2 * MAX_DISTANCE > uint64_t(EMPTY_POS))
            clear();
        const uint32_t base = next_base;
        next_base = base + len + MAX_DISTANCE;
        return base;
    }
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

// Number of equal bytes at cur and ref, at least 4 (already known equal) and at most cap.
// ref may overlap cur: a match may reach into the bytes it copies.
KAVO_INLINE uint32_t match_length(const uint8_t *cur, const uint8_t *ref, uint32_t cap) {
    uint32_t k = MIN_MATCH;
    while (k + 8 <= cap) {
        const uint64_t diff = load64le(cur + k) ^ load64le(ref + k);
        if (diff)
            return k + (count_trailing_zeros64(diff) >> 3);
        k += 8;
    }
    while (k < cap && cur[k] == ref[k])
        ++k;
    return k;
}

// Pushes the fixed literal codes of n bytes, three codes (at most 27 bits) per spill check.
KAVO_INLINE void write_literals(bit_writer &w, const uint8_t *p, uint32_t n) {
    const uint16_t *lit = literal_code_table.data();
    uint32_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t a = lit[p[i]], b = lit[p[i + 1]], c = lit[p[i + 2]];
        w.add(a >> 4, a & 15);
        w.add(b >> 4, b & 15);
        w.add(c >> 4, c & 15);
        w.spill();
    }
    for (; i < n; ++i) {
        const uint32_t a = lit[p[i]];
        w.push(a >> 4, a & 15);
    }
}

// Opens a fixed block with BFINAL = 0 unless one is open.
KAVO_INLINE void open_fixed_block(kavo_stream *s, bit_writer &w) {
    if (s->state == ST_BETWEEN_BLOCKS) {
        w.push(2, 3);
        s->state = ST_IN_FIXED;
    }
}

// Sends a run of pending literals that ends where a match begins: stored when the fixed codes
// would lengthen it by 52 bits or more, otherwise as literal codes in the open block.
void write_run_before_match(kavo_stream *s, bit_writer &w, const uint8_t *run, uint32_t n, uint32_t high_count) {
    if (high_count >= STORED_HIGH_COUNT) {
        w.save(s);
        emit_stored_blocks(s, run, n, 1);
        w = bit_writer(s);
    } else {
        open_fixed_block(s, w);
        write_literals(w, run, n);
    }
}

// Whether a match of length len at distance dist is coded rather than left to the literals:
// it must save bits over its bytes as literals (a 9-bit code for each pending byte >= 144
// counts as a bit gained), with a margin; runs bound for storage accept only longer matches.
KAVO_INLINE bool accept_match(uint32_t len, uint32_t dist, uint32_t high_count) {
    if (len >= MIN_MATCH_WHILE_STORING)
        return true;  // always passes the cost test: at most 13 + 18 + 8 bits against 48
    if (high_count >= STORED_HIGH_COUNT)
        return false;
    const uint32_t len_bits = length_code_table[len] >> 16;
    const uint32_t dist_bits = distance_code_table[dist - 1] & 31;
    return len_bits + dist_bits + COST_MARGIN < 8 * len + high_count;
}

void encode_fixed(kavo_stream *s, const uint8_t *in, uint32_t len, int more) {
    table_lease table;
    hash_slot *const slots = table->slots;
    const uint32_t base = table->begin_call(len);

    bit_writer w(s);
    uint32_t pos = 0;
    uint32_t run_start = 0;   // the pending literal run is [run_start, pos)
    uint32_t high_count = 0;  // bytes >= 144 in the pending run
    const uint32_t scan_end = len >= MIN_MATCH ? len - (MIN_MATCH - 1) : 0;

    while (pos < scan_end) {
        const uint32_t word = load32le(in + pos);
        hash_slot &slot = slots[(word * HASH_MULTIPLIER) >> HASH_SHIFT];
        const uint32_t cand_pos = slot.last_pos;
        const uint32_t cand_word = slot.last_word;
        slot.last_pos = base + pos;
        slot.last_word = word;
        const uint32_t dist = base + pos - cand_pos;
        if (cand_word == word && dist - 1 <= MAX_DISTANCE - 1) {
            const uint32_t remaining = len - pos;
            const uint32_t cap = remaining < MAX_MATCH ? remaining : MAX_MATCH;
            const uint32_t match = match_length(in + pos, in + pos - dist, cap);
            if (accept_match(match, dist, high_count)) {
                if (pos > run_start)
                    write_run_before_match(s, w, in + run_start, pos - run_start, high_count);
                open_fixed_block(s, w);
                const uint32_t lc = length_code_table[match];
                const uint32_t dc = distance_code_table[dist - 1];
                // 13 + 18 bits at most: both fit beside 31 queued bits before one spill.
                w.add(lc & 0xFFFF, lc >> 16);
                w.add(dc >> 5, dc & 31);
                w.spill();
                // Positions inside the match are neither looked up nor entered.
                pos += match;
                run_start = pos;
                high_count = 0;
                continue;
            }
        }
        high_count += is_high(in[pos]);
        ++pos;
    }
    // The last 0 to 3 bytes cannot start a match: they join the run without a lookup.
    for (; pos < len; ++pos)
        high_count += is_high(in[pos]);

    const uint32_t run = len - run_start;
    if (run == 0) {
        w.save(s);  // a call that ends on a match opens and closes nothing, even with more = 0
        return;
    }
    if (high_count >= STORED_HIGH_COUNT) {
        w.save(s);
        emit_stored_blocks(s, in + run_start, run, more);
        return;
    }
    if (s->state == ST_BETWEEN_BLOCKS) {
        w.push(more ? 2 : 3, 3);
        s->state = more ? ST_IN_FIXED : ST_IN_LAST_FIXED;
    } else if (!more) {
        w.push(0, 7);  // end the open block; the run goes into a final one
        w.push(3, 3);
        s->state = ST_IN_LAST_FIXED;
    }
    write_literals(w, in + run_start, run);
    w.save(s);
}

}  // namespace

int deflate_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more) {
    stream->out_cursor = out;
    const uint32_t n = len > 0 ? uint32_t(len) : 0;
    if (n != 0) {
        if (stream->level)
            encode_fixed(stream, in, n, more);
        else
            emit_stored_blocks(stream, in, n, more);
    }
    stream->input_total += n;
    return int(stream->out_cursor - out);
}
