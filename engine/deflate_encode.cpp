// The block encoder: greedy single-probe matching, fixed Huffman codes, stored runs.
#include <memory>
#include <mutex>
#include <new>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KAVO_HAVE_SSE2 1
#else
#define KAVO_HAVE_SSE2 0
#endif

#include "bit_output.h"
#include "deflate_parser.h"
#include "deflate_tables.h"

using namespace kavo;

// For a loop that needs every register: kept out of its caller, so that the caller's values do
// not crowd it.
#if defined(_MSC_VER) && !defined(__clang__)
#define KAVO_NOINLINE __declspec(noinline)
#else
#define KAVO_NOINLINE __attribute__((noinline))
#endif

namespace {

constexpr uint32_t HASH_BITS = 13;
constexpr uint32_t HASH_SLOTS = 1u << HASH_BITS;
constexpr uint32_t HASH_MULTIPLIER = 524351;  // 0x8003F
constexpr uint32_t HASH_SHIFT = 32 - HASH_BITS;
constexpr uint32_t MIN_MATCH = 4;
constexpr uint32_t MAX_MATCH = 258;
constexpr uint32_t MAX_DISTANCE = 32768;
// A run with this many bytes >= 144 (whose literal codes take 9 bits) grows by at least 52 bits
// as literals, more than a stored block's framing costs, so it goes out stored.
constexpr uint32_t STORING_NINE_BIT_BYTES = 52;
// While a run is headed for storage, a short match would split it for little gain.
constexpr uint32_t MIN_MATCH_WHILE_STORING = 6;

// How far back matches may reach. The whole window is a compile-time constant, so that the scans
// compare with an immediate; a stream limited to a smaller window (for a decoder that keeps
// less) runs the same scans with the limit in a register.
struct full_window {
    static constexpr uint32_t max = MAX_DISTANCE;
};
struct limited_window {
    uint32_t max;
};

// A slot holds the running position of the last byte entered there in its low 22 bits and, in
// the 10 bits above, the top 10 bits of the 4-byte word at that byte (its tag). A position is
// looked up by subtracting the slot from its own entry: when the tags agree, that is the
// distance; when they differ, the difference is at least 2^22, far out of reach. So one compare,
// with no load of the candidate's bytes, turns down most candidates whose word differs (all but
// one in 1024 on random data); only the rest are checked against the input. The 4 bytes are
// still in the input, so the table need not keep them: 32 KiB, which stays in the first-level
// cache.
constexpr uint32_t POS_LIMIT = 1u << 22;
constexpr uint32_t TAG_MASK = ~(POS_LIMIT - 1);
// Running positions start a whole window in, so that an untouched slot (0) lies out of reach of
// every position, whatever the input word.
constexpr uint32_t EMPTY_SLOT = 0;
constexpr uint32_t FIRST_POS = MAX_DISTANCE + 1;
// Once positions come within this much of POS_LIMIT, the slots are moved down (see rebase).
constexpr uint32_t REBASE_ROOM = 1u << 20;

// The entry of running position here (below POS_LIMIT) whose 4 bytes are word.
KAVO_INLINE uint32_t slot_entry(uint32_t here, uint32_t word) { return here | (word & TAG_MASK); }

// Moves every position of a table down by delta, keeping the tags; slots more than delta back
// become empty. Exact when no position still in reach is that old: the caller picks delta a
// window and more behind the position it stands at, whose distances to the slots it keeps.
void rebase(uint32_t *slots, uint32_t delta) {
    for (uint32_t i = 0; i < HASH_SLOTS; ++i) {
        const uint32_t v = slots[i];
        slots[i] = (v & (POS_LIMIT - 1)) >= delta ? v - delta : EMPTY_SLOT;
    }
}

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

static_assert(KAVO_PARSER_SLOTS == HASH_SLOTS, "a parser's table has the encoder's slots");

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

// The slot of the table that the 4 bytes `word` select.
KAVO_INLINE uint32_t hash_slot(uint32_t word) { return (word * HASH_MULTIPLIER) >> HASH_SHIFT; }

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

// Length of a match whose first 12 bytes agree, at most MAX_MATCH; cur has MAX_MATCH + 8 bytes.
// With SSE2, 32 bytes a step, so that most long matches end in the first step, without a loop
// exit to mispredict; otherwise 8 bytes a step.
KAVO_INLINE uint32_t extend_long_match(const uint8_t *cur, const uint8_t *ref) {
    uint32_t n = 12;
#if KAVO_HAVE_SSE2
    for (; n + 32 <= MAX_MATCH; n += 32) {
        const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cur + n));
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(ref + n));
        const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cur + n + 16));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(ref + n + 16));
        const uint32_t equal = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(a0, b0))) |
                               (uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(a1, b1))) << 16);
        if (equal != 0xFFFFFFFFu)
            return n + count_trailing_zeros64(~uint64_t(equal));
    }
#endif
    for (; n + 8 <= MAX_MATCH; n += 8) {
        const uint64_t d = load64le(cur + n) ^ load64le(ref + n);
        if (d)
            return n + (count_trailing_zeros64(d) >> 3);
    }
    while (n < MAX_MATCH && cur[n] == ref[n])
        ++n;
    return n;
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

// The fixed literal codes split into code and length, so that the hot loop spends no
// instructions taking an entry apart.
struct split_literal_codes {
    uint16_t code[256];
    uint8_t bits[256];
};

split_literal_codes make_split_literal_codes() {
    split_literal_codes t{};
    for (uint32_t b = 0; b < 256; ++b) {
        t.code[b] = uint16_t(literal_code_table[b] >> 4);
        t.bits[b] = uint8_t(literal_code_table[b] & 15);
    }
    return t;
}

// Filled at load time from the table, which is constant-initialised.
const split_literal_codes SPLIT_LITERALS = make_split_literal_codes();

// distance_code_table[dist - 1], from 640 bytes of tables instead of 128 KiB, which would
// compete for the cache with the hash table and the input. With x = dist - 1 and c its code,
// the entry is (reversed code << 5 | bit count) + ((x - (base of c - 1)) << 10); the constant
// part is folded into entry_base[c] (modulo 2^32), leaving one add of x << 10.
struct distance_tables {
    uint8_t code[512];  // x < 256: code of x; else code of x >> 7 at 256 + (x >> 7)
    uint32_t entry_base[30];
};

constexpr distance_tables make_distance_tables() {
    distance_tables t{};
    uint32_t base = 1;
    for (uint32_t c = 0; c < 30; ++c) {
        const uint32_t extra = c < 4 ? 0 : c / 2 - 1;
        const uint32_t rev = ((c & 1) << 4) | ((c & 2) << 2) | (c & 4) | ((c & 8) >> 2) | ((c & 16) >> 4);
        t.entry_base[c] = ((rev << 5) | (5 + extra)) - ((base - 1) << 10);
        for (uint32_t x = base - 1; x < base - 1 + (1u << extra); ++x) {
            if (x < 256)
                t.code[x] = uint8_t(c);
            else
                t.code[256 + (x >> 7)] = uint8_t(c);
        }
        base += 1u << extra;
    }
    return t;
}

constexpr distance_tables DISTANCE_TABLES = make_distance_tables();

KAVO_INLINE uint32_t distance_entry(uint32_t dist) {
    const uint32_t x = dist - 1;
    const uint32_t c = DISTANCE_TABLES.code[x < 256 ? x : 256 + (x >> 7)];
    return DISTANCE_TABLES.entry_base[c] + (x << 10);
}

// The cost rule: whether a match of len bytes at distance dist is coded rather than its bytes
// left to the pending run, with nine_bit of the run's bytes >= 144. A match is coded when it
// costs fewer bits than its bytes would as literals, with a margin of 8 bits, each pending byte
// >= 144 counting one bit in its favour (it took a 9-bit code). Once 52 such bytes are pending
// (STORING) the run goes out stored whatever follows, and only a match of 6 bytes or more is
// worth splitting it for.
// Worked out: a match of 5 bytes or more always pays (at most 7 + 18 + 8 bits against 40). A
// 4-byte match has a 7-bit length code and a distance code of 5 + extra bits, so it pays while
// 5 + extra + 15 < 32 + nine_bit, that is extra < 12 + nine_bit: up to distance 8192 with no byte
// >= 144 pending, 16384 with one, and the whole window with two or more.
template <bool STORING>
constexpr bool match_pays(uint32_t len, uint32_t dist, uint32_t nine_bit) {
    if (STORING)
        return len >= MIN_MATCH_WHILE_STORING;
    const uint32_t reach = 8192u << (nine_bit < 2 ? nine_bit : 2);
    return dist <= (reach | (0u - uint32_t(len >= 5)));  // no branch on the length: it is hard to predict
}

// The closed form above against the cost it stands for, at both ends of every distance code.
constexpr bool cost_rule_holds() {
    uint32_t base = 1;
    for (uint32_t c = 0; c < 30; ++c) {
        const uint32_t extra = c < 4 ? 0 : c / 2 - 1;
        for (uint32_t dist : {base, base + (1u << extra) - 1})
            for (uint32_t nine_bit = 0; nine_bit < STORING_NINE_BIT_BYTES; ++nine_bit) {
                if (match_pays<false>(4, dist, nine_bit) != (7 + (5 + extra) + 8 < 8 * 4 + nine_bit))
                    return false;
                if (!match_pays<false>(5, dist, nine_bit) || !match_pays<true>(6, dist, nine_bit) ||
                    match_pays<true>(5, dist, nine_bit))
                    return false;
            }
        base += 1u << extra;
    }
    return true;
}
static_assert(cost_rule_holds(), "match_pays is the cost rule");

// The record a parse keeps of its decisions for a parallel caller (see kavo_parser): every match
// and every stored run, with the output bits at that point.
struct match_log {
    kavo_parse_event *events;
    size_t count;
    const uint8_t *out;  // bit offsets count from here

    KAVO_INLINE void add(uint32_t pos, uint32_t len, const bit_writer &w) {
        events[count++] = kavo_parse_event{pos, uint16_t(len), uint8_t(w.bits), 0, uint64_t(w.cursor - out) * 8 + w.bits};
    }
};

// One pass of level 1 over a call's input (or a parse's, which stops and goes on): what its scans
// read and move on. The pending run [run_start, pos) goes out as literal codes while it is
// scanned, on the guess that it will end in a match and not be stored; mark and mark_state keep
// the output as it stood before the run, for when the guess fails (the run reaches 52 bytes
// >= 144 and goes out stored) or the run turns out to need a final block header: the output
// then goes back to the mark and the run is written again.
struct pass {
    kavo_stream *stream;  // the output's record; w and state are ahead of it while the pass runs
    const uint8_t *in;
    uint32_t len;
    uint32_t pos;          // the next position to scan
    uint32_t *slots;       // the match finder's table, HASH_SLOTS tagged slots
    uint32_t base;         // in[i] is the running position base + i (below POS_LIMIT)
    bit_writer w;
    uint16_t state;
    uint8_t *out_end;      // the end of the room: deflate_encode_bound of the bytes still to come lies before it
    uint32_t run_start;
    uint32_t nine_bit_bytes;  // bytes >= 144 in the pending run
    bit_writer mark;
    uint16_t mark_state;
    uint32_t match_len, match_dist;  // the match the storing scan found
    // For a parallel caller: where bit offsets count from; the bits before the first stored
    // block (when set; KAVO_NO_STORED until there is one); every match and stored run.
    const uint8_t *out = nullptr;
    uint64_t *first_stored = nullptr;
    match_log *log = nullptr;

    pass(kavo_stream *s, const uint8_t *data, uint32_t n, uint32_t *table, uint32_t table_base, uint8_t *room_end)
        : stream(s), in(data), len(n), pos(0), slots(table), base(table_base), w(s), state(s->state),
          out_end(room_end), run_start(0), nine_bit_bytes(0), mark(w), mark_state(state), match_len(0),
          match_dist(0) {}
};

// What a scan may assume about the input after its end and about the room, and what it does.
enum class scan_mode {
    bulk,     // MAX_MATCH + 8 readable bytes lie past its end, and the room allows branch-free spills
    tail,     // reads stop at the input's end; the room allows branch-free spills
    careful,  // reads stop at the input's end; every spill checked, near the end of the room
    storing,  // the pending run goes out stored: no literal codes, no counting, only long matches
};

template <typename Window>
bool scan_storing(pass &p, Window window, uint32_t end);

// Codes a match: 13 + 18 bits at most, which fit beside 31 queued bits before one spill.
template <bool BRANCH_FREE, bool LOG>
KAVO_INLINE void code_match(bit_writer &w, uint32_t at, uint32_t len, uint32_t dist, match_log *log) {
    const uint32_t lc = length_code_table[len];
    const uint32_t dc = distance_entry(dist);
    w.add(lc & 0xFFFF, lc >> 16);
    w.add(dc >> 5, dc & 31);
    if (BRANCH_FREE)
        w.spill_unconditional();
    else
        w.spill();
    if (LOG)
        log->add(at, len, w);
}

// The greedy scan over [p.pos, end): looks up and enters every position and decides by the cost
// rule, until end (returns false, the pending run as it stands) or, in the storing mode, a match
// (returns true with p.pos at it and the match in p.match_len and p.match_dist). Except while
// storing, literals and matches are coded as they are found, and the run that reaches 52 bytes
// >= 144 goes on as the storing scan, whose result it returns (its caller then stores the run).
// Except while storing, the lookup of the next position is made before this one is decided, so
// that its slot is at hand when the decision, often mispredicted on text, comes: loads only, after
// this position's store (which they see if both hash alike); a match drops them. The positions inside a match are
// neither looked up nor entered. Every mode is this one loop, its differences fixed at compile
// time, so that each keeps its values in registers.
template <typename Window, scan_mode MODE, bool LOG>
KAVO_INLINE bool scan(pass &p, Window window, uint32_t end) {
    constexpr bool storing = MODE == scan_mode::storing;
    constexpr bool room_ahead = MODE == scan_mode::bulk;
    constexpr bool branch_free = MODE != scan_mode::careful;
    const split_literal_codes &lit = SPLIT_LITERALS;
    if (!storing && KAVO_UNLIKELY(p.nine_bit_bytes >= STORING_NINE_BIT_BYTES))  // an earlier pass stopped while storing
        return scan_storing(p, window, end);
    const uint8_t *const in = p.in;
    const uint8_t *ip = in + p.pos;
    const uint8_t *const ip_end = in + end;
    if (ip >= ip_end)
        return false;
    const uint8_t *const in_end = in + p.len;
    const uint8_t *const last = in_end - MIN_MATCH;  // the last position whose word can be read
    const uint32_t here_offset = p.base - uint32_t(uintptr_t(in));  // running position = address + this
    uint32_t *const slots = p.slots;
    match_log *const log = p.log;
    bit_writer w = p.w;
    bit_writer mark = p.mark;
    uint16_t mark_state = p.mark_state;
    uint32_t run_start = p.run_start;
    uint32_t nine_bit = p.nine_bit_bytes;
    auto leave = [&]() {
        p.pos = uint32_t(ip - in);
        if (!storing) {
            p.w = w;
            p.mark = mark;
            p.mark_state = mark_state;
            p.run_start = run_start;
            p.nine_bit_bytes = nine_bit;
        }
    };

    // While storing, a position is looked up when its turn comes: there is no costly decision to
    // hide the lookup behind, and looking ahead only lengthens the chain from one step to the next.
    uint32_t word = 0, cand = 0;
    uint32_t *slot = slots;
    auto look_up = [&](const uint8_t *at) {
        word = load32le(at);
        slot = &slots[hash_slot(word)];
        cand = *slot;
    };
    if (!storing)
        look_up(ip);
    for (;;) {
        if (storing)
            look_up(ip);
        const uint32_t entry = slot_entry(uint32_t(uintptr_t(ip)) + here_offset, word);
        *slot = entry;
        const uint32_t next_word = storing ? 0 : load32le(room_ahead ? ip + 1 : ip + (ip < last));  // ip is at most last
        uint32_t *const next_slot = storing ? slot : &slots[hash_slot(next_word)];
        const uint32_t next_cand = storing ? 0 : *next_slot;
        const uint32_t dist = entry - cand;  // never 0: a slot holds an earlier position
        // The tags and the reach decide first, without waiting for the candidate's bytes: the
        // sooner the often mispredicted decision is known, the less it costs. The word test
        // after it nearly always passes. The candidate's address is computed as an integer, since
        // out of reach it points nowhere (and is not read).
        const uint8_t *const ref = reinterpret_cast<const uint8_t *>(uintptr_t(ip) - dist);
        if (dist <= window.max && load32le(ref) == word) {
            uint32_t n;
            uint32_t after = 0;  // with room ahead: the word at ip + n, where the scan goes on after the match
            if (room_ahead) {
                // Bytes 4 to 11 decide most lengths in one step, so that the branch below is
                // rarely taken (a test of bytes 0 to 7 would branch on every match of 8 or more).
                const uint64_t ahead = load64le(ip + 4);
                const uint64_t d4 = ahead ^ load64le(ref + 4);
                if (KAVO_LIKELY(d4 != 0)) {
                    const uint32_t first_diff_bit = count_trailing_zeros64(d4);
                    n = MIN_MATCH + (first_diff_bit >> 3);
                    // The next word is among bytes 4 to 15, read already: taking it from there
                    // keeps a load off the chain that runs from one match to the next.
                    const uint64_t ahead8 = load64le(ip + 8);
                    const uint32_t shift = first_diff_bit & 56;  // 8 * (n - 4)
                    after = uint32_t(shift <= 32 ? ahead >> shift : ahead8 >> (shift - 32));
                } else {
                    n = extend_long_match(ip, ref);
                    after = load32le(ip + n);
                }
            } else {
                const uint32_t remaining = uint32_t(in_end - ip);
                n = match_length(ip, ref, remaining < MAX_MATCH ? remaining : MAX_MATCH);
            }
            if (match_pays<storing>(n, dist, nine_bit)) {
                if (storing) {
                    p.pos = uint32_t(ip - in);
                    p.match_len = n;
                    p.match_dist = dist;
                    return true;
                }
                code_match<branch_free, LOG>(w, uint32_t(ip - in), n, dist, log);
                mark = w;
                mark_state = ST_IN_FIXED;
                nine_bit = 0;
                ip += n;
                run_start = uint32_t(ip - in);
                if (ip >= ip_end) {
                    leave();
                    return false;
                }
                word = room_ahead ? after : load32le(ip);
                slot = &slots[hash_slot(word)];
                cand = *slot;
                continue;
            }
        }
        if (!storing) {
            const uint32_t byte = word & 0xFF;  // *ip
            const uint32_t nbits = lit.bits[byte];
            w.add(lit.code[byte], nbits);
            if (branch_free)
                w.spill_unconditional();
            else
                w.spill();
            nine_bit += nbits - 8;  // 9-bit codes are exactly the bytes >= 144
        }
        ++ip;
        if (storing) {
            if (ip >= ip_end) {
                leave();
                return false;
            }
        } else if (KAVO_UNLIKELY((nine_bit >= STORING_NINE_BIT_BYTES) | (ip >= ip_end))) {
            leave();
            if (nine_bit < STORING_NINE_BIT_BYTES)
                return false;
            return scan_storing(p, window, end);
        }
        word = next_word;
        slot = next_slot;
        cand = next_cand;
    }
}

// The scan while the pending run holds 52 bytes >= 144: the run will go out stored whatever
// follows, so its bytes need no literal codes and no more counting, and only matches of 6 or
// more bytes are taken. This is all the work that incompressible input costs, so it is a
// function of its own: its caller's values would crowd its registers.
template <typename Window>
KAVO_NOINLINE bool scan_storing(pass &p, Window window, uint32_t end) {
    p.nine_bit_bytes = STORING_NINE_BIT_BYTES;
    return scan<Window, scan_mode::storing, false>(p, window, end);
}

// The bits written before a stored block that is about to begin: 0 when nothing is open (the fixed
// block of a run's first codes was undone with the run), else the bits of the open block.
KAVO_INLINE uint64_t stored_start_bit(const kavo_stream *s, const uint8_t *out) {
    return s->state == ST_BETWEEN_BLOCKS ? 0 : uint64_t(s->out_cursor - out) * 8 + s->queued_bits;
}

// Notes where a stored run begins: the first one in *first_stored (when given and still
// KAVO_NO_STORED), every one in the log.
KAVO_INLINE void note_stored(const kavo_stream *s, const uint8_t *out, uint32_t run_start, uint64_t *first_stored,
                             match_log *log) {
    if ((first_stored && *first_stored == KAVO_NO_STORED) || log) {
        const uint64_t bit = stored_start_bit(s, out);
        if (first_stored && *first_stored == KAVO_NO_STORED)
            *first_stored = bit;
        if (log)
            log->events[log->count++] = kavo_parse_event{run_start, 0, 0, 0, bit};
    }
}

// The pending run, up to end, goes out stored after all: the output goes back to the mark and
// the run's bytes follow it as stored blocks, the last of them final when more is 0.
template <bool LOG>
void store_run(pass &p, uint32_t end, int more) {
    p.mark.save(p.stream);
    p.stream->state = p.mark_state;
    note_stored(p.stream, p.out, p.run_start, p.first_stored, LOG ? p.log : nullptr);
    emit_stored_blocks(p.stream, p.in + p.run_start, end - p.run_start, more);
    p.w = bit_writer(p.stream);
    p.state = p.stream->state;
}

// Level 1 over [p.pos, p.len), positions running on from p.base in the table (p.base moves down
// with the table's positions when they come near the limit, and is left as it ends); the output
// ends in p.stream. Speculative codes take at most 9 bits a byte, within the room.
// The pass stops at the first position at or after `stop` (the end of a match that crosses it, or
// inside a run) and returns where it stopped, with the run still pending in p; a pass started
// again there with the same table and run gives the bits an unbroken pass would have given.
// Reaching the input's end instead, it closes the run as `more` asks and returns p.len.
template <typename Window, bool LOG>
uint32_t run_pass(pass &p, Window window, uint32_t stop, int more) {
    if (p.state == ST_BETWEEN_BLOCKS) {  // a block for the first codes; undone with the run if need be
        p.w.push(2, 3);
        p.state = ST_IN_FIXED;
    }
    const uint32_t len = p.len;
    const uint32_t scan_end = len >= MIN_MATCH ? len - (MIN_MATCH - 1) : 0;
    const uint32_t scan_stop = stop < scan_end ? stop : scan_end;

    // Branch-free spills store a whole word at the cursor at every step, so the room measured once
    // must cover every step up to fast_end, however the positions on the way are coded: a literal
    // adds at most 9 bits, a match at most 31 for 4 or more positions, a stored run at most 9 bits
    // a byte with its framing, and 31 bits may be queued. k = 7/8 of (room - 20 bytes) positions
    // add 9k < 8 * (room - 20) bits (63/8 against 8 a byte: no division needed), which leaves
    // 160 bits of the room for the queue, the word stored ahead and a match begun at the last of
    // the k positions (31 + 32 + 31).
    auto fast_limit = [&]() -> uint32_t {
        const size_t room = size_t(p.out_end - p.w.cursor);
        const size_t k = room > 20 ? (room - 20) - ((room - 20) >> 3) : 0;
        return k < scan_stop - p.pos ? p.pos + uint32_t(k) : scan_stop;
    };
    uint32_t fast_end = p.pos < scan_stop ? fast_limit() : scan_stop;
    // From here on the bulk scan may read 8 bytes past any byte of a match it can find.
    const uint32_t bulk_limit = len > MAX_MATCH + 8 ? len - (MAX_MATCH + 8) : 0;
    // The scans stop before positions reach POS_LIMIT, at the input index rebase_at.
    uint32_t rebase_at = POS_LIMIT - p.base;
    while (p.pos < scan_stop) {
        // Only when this pass would reach the limit (a match may end past rebase_at).
        if (KAVO_UNLIKELY(rebase_at < scan_stop && p.pos + REBASE_ROOM > rebase_at)) {
            // Down to a window and more past the start, so that no slot still in reach is lost.
            const uint32_t delta = p.base + p.pos - (FIRST_POS + MAX_DISTANCE);
            rebase(p.slots, delta);
            p.base -= delta;
            rebase_at = POS_LIMIT - p.base;
        }
        bool branch_free = true;
        const uint32_t fast_stop = fast_end < rebase_at ? fast_end : rebase_at;
        const uint32_t bulk_stop = fast_stop < bulk_limit ? fast_stop : bulk_limit;
        const bool found = p.pos < bulk_stop ? scan<Window, scan_mode::bulk, LOG>(p, window, bulk_stop)
                                             : scan<Window, scan_mode::tail, LOG>(p, window, fast_stop);
        if (!found) {
            if (p.pos >= scan_stop || p.pos < fast_end)
                continue;
            fast_end = fast_limit();  // stopped at fast_end: measure the room again
            if (p.pos < fast_end)
                continue;
            // Too close to the end of the room for branch-free spills: finish carefully.
            branch_free = false;
            if (!scan<Window, scan_mode::careful, LOG>(p, window, scan_stop < rebase_at ? scan_stop : rebase_at))
                continue;
        }
        // The storing scan found a match: the run before it goes out stored, and the match opens
        // a new fixed block.
        store_run<LOG>(p, p.pos, 1);
        p.w.push(2, 3);
        p.state = ST_IN_FIXED;
        if (branch_free)
            code_match<true, LOG>(p.w, p.pos, p.match_len, p.match_dist, p.log);
        else
            code_match<false, LOG>(p.w, p.pos, p.match_len, p.match_dist, p.log);
        p.pos += p.match_len;
        p.run_start = p.pos;
        p.nine_bit_bytes = 0;
        p.mark = p.w;
        p.mark_state = p.state;
    }

    if (p.pos < len && p.pos >= stop) {
        // The pass stops here, in a run or at its start; the next one goes on from this state.
        p.stream->state = p.state;
        p.w.save(p.stream);
        return p.pos;
    }

    // The last 0 to 3 bytes cannot start a match: they join the run without a lookup.
    for (; p.pos < len; ++p.pos) {
        const uint32_t code = literal_code_table[p.in[p.pos]];
        p.nine_bit_bytes += (code & 15) - 8;
        p.w.push(code >> 4, code & 15);
    }

    if (p.run_start == len) {
        // The call ended on a match: nothing is opened or closed, even with more = 0.
    } else if (p.nine_bit_bytes >= STORING_NINE_BIT_BYTES) {
        store_run<LOG>(p, len, more);
    } else if (!more) {
        // The last run goes into a final block: end an open block first.
        p.w = p.mark;
        if (p.mark_state != ST_BETWEEN_BLOCKS)
            p.w.push(0, 7);
        p.w.push(3, 3);
        p.state = ST_IN_LAST_FIXED;
        write_literals(p.w, p.in + p.run_start, len - p.run_start);
    }
    p.stream->state = p.state;
    p.w.save(p.stream);
    return len;
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
    pass p(stream, in, n, table->slots, table->begin_call(n), out + deflate_encode_bound(n));
    p.out = out;
    p.first_stored = first_stored;
    if (stream->window_shrink == 0)
        run_pass<full_window, false>(p, full_window{}, n, more);
    else
        run_pass<limited_window, false>(p, limited_window{MAX_DISTANCE >> stream->window_shrink}, n, more);
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
    pass p(&parser->stream, parser->in, parser->len, parser->table, parser->base, parser->out_end);
    p.pos = parser->pos;
    p.run_start = parser->run_start;
    p.nine_bit_bytes = parser->nine_bit_bytes;
    p.mark.queue = parser->mark_queue;
    p.mark.bits = parser->mark_bits;
    p.mark.cursor = parser->mark_cursor;
    p.mark_state = parser->mark_state;
    p.out = parser->out;
    p.first_stored = &parser->first_stored;
    if (parser->log) {
        p.log = &log;
        run_pass<full_window, true>(p, full_window{}, stop, 1);
    } else {
        run_pass<full_window, false>(p, full_window{}, stop, 1);
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
