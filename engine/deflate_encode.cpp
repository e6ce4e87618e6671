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
// A run with this many bytes >= 144 grows by at least 52 bits as fixed literals, more than a
// stored block's framing costs, so it goes out stored.
constexpr uint32_t STORED_HIGH_COUNT = 52;
// While a run is headed for storage, a short match would split it for little gain.
constexpr uint32_t MIN_MATCH_WHILE_STORING = 6;
constexpr uint32_t COST_MARGIN = 8;

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
    uint32_t last_pos[HASH_SLOTS];
    uint32_t next_base;

    void clear() {
        for (uint32_t &p : last_pos)
            p = EMPTY_SLOT;
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

// distance_code_table[dist - 1], from 640 bytes of tables instead of 128 KiB, which would
// compete for the cache with the hash table and the input. With x = dist - 1 and c its code,
// the entry is (reversed code << 5 | bit count) + ((x - (base of c - 1)) << 10); the constant
// part is folded into DIST_ENTRY_BASE[c] (modulo 2^32), leaving one add of x << 10.
struct distance_tables {
    uint8_t code[512];              // x < 256: code of x; else code of x >> 7 at 256 + (x >> 7)
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

// Whether a match of len bytes is coded rather than left to the literals, given its distance
// entry. A match must cost fewer bits than its bytes as literals (a pending byte >= 144 counts
// one bit in its favour, as it would have taken a 9-bit code), with a margin of 8 bits; a run
// bound for storage (52 such bytes) is not split by matches shorter than 6. Matches of 6 or
// more always pass (at most 13 + 18 + 8 bits against 48), and so do matches of 5 (39 against
// 40); lengths 4 and 5 have 7-bit codes, so a 4-byte match costs 7 + distance bits + 8.
KAVO_INLINE bool accept_match(uint32_t len, uint32_t dist_entry, uint32_t high_count) {
    const bool long_match = len >= MIN_MATCH_WHILE_STORING;
    const bool storing = high_count >= STORED_HIGH_COUNT;
    const bool pays = (len == 5) | (7 + (dist_entry & 31) + COST_MARGIN < 8 * 4 + high_count);
    return long_match | (!storing & pays);
}

// The greedy pass while the pending run holds 52 bytes >= 144: the run will go out stored
// whatever follows, so its bytes need no literal codes and no more counting, and only matches
// of 6 or more bytes are taken. This is all the work that incompressible input costs, so the
// loop is cut to the bone: a function of its own (its caller's values would crowd its
// registers), the reach tested with one compare (a slot always holds an earlier position, so the
// distance is never 0), and the candidate's bytes read at an address made from the slot itself.
template <typename Window>
KAVO_NOINLINE bool find_match_storing(Window window, const uint8_t *in, uint32_t len, uint32_t base,
                                    uint32_t *last_pos, uint32_t end, uint32_t &pos_io, uint32_t &high_count,
                                    uint32_t &match_len, uint32_t &match_entry) {
    high_count = STORED_HIGH_COUNT;
    uint32_t i = pos_io;
    const uint32_t max = window.max;
    // A candidate that passes the word test: its length decides; returns whether it is taken.
    auto taken = [&](uint32_t at, uint32_t dist) -> bool {
        const uint8_t *const ip = in + at;
        const uint32_t remaining = len - at;
        const uint32_t cap = remaining < MAX_MATCH ? remaining : MAX_MATCH;
        const uint32_t n = match_length(ip, ip - dist, cap);
        if (n < MIN_MATCH_WHILE_STORING)
            return false;
        match_len = n;
        match_entry = distance_entry(dist);
        pos_io = at;
        return true;
    };
    const uint8_t *ip = in + i;
    const uint8_t *const ip_end = in + end;
    uint32_t here = base + i;
    for (; ip < ip_end; ++ip, ++here) {
        const uint32_t word = load32le(ip);
        uint32_t &slot = last_pos[hash_slot(word)];
        const uint32_t entry = slot_entry(here, word);
        const uint32_t dist = entry - slot;  // never 0: a slot holds an earlier position
        slot = entry;
        if (dist <= max && load32le(ip - dist) == word && taken(uint32_t(ip - in), dist))
            return true;
    }
    pos_io = uint32_t(ip - in);
    return false;
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

// One greedy pass over [pos, end): looks up and enters every position, and codes each byte
// that no accepted match starts at as a literal, until a match is accepted (returns true with
// match_len and the distance's code entry set) or end is reached. FAST spills without a
// branch, which needs 4 bytes of room beyond the output at every step.
template <bool FAST, typename Window>
KAVO_INLINE bool find_match(Window window, const uint8_t *in, uint32_t len, uint32_t base, uint32_t *last_pos,
                            uint32_t end, uint32_t &pos, uint32_t &high_count, bit_writer &w, uint32_t &match_len,
                            uint32_t &match_entry) {
    const split_literal_codes &lit = SPLIT_LITERALS;
    if (pos >= end)
        return false;
    // The last position whose 4 bytes can be read (end is at most one past it).
    const uint32_t last = len - MIN_MATCH;
    uint32_t word = load32le(in + pos);
    uint32_t h = hash_slot(word);
    uint32_t cand = last_pos[h];
    for (;;) {
        const uint32_t entered = slot_entry(base + pos, word);
        last_pos[h] = entered;
        // Look up the next position before this one is decided, so that its slot is at hand
        // when the decision, often mispredicted on text, comes. Loads only, after this
        // position's store (which they see if both hash alike); a match here drops them.
        const uint32_t next = pos + uint32_t(pos < last);  // pos is at most last
        const uint32_t next_word = load32le(in + next);
        const uint32_t next_h = hash_slot(next_word);
        const uint32_t next_cand = last_pos[next_h];
        const uint32_t dist = entered - cand;  // never 0: a slot holds an earlier position
        // The distance test comes first: only a slot within reach points into this input.
        if (dist <= window.max && load32le(in + pos - dist) == word) {
            const uint32_t remaining = len - pos;
            const uint32_t cap = remaining < MAX_MATCH ? remaining : MAX_MATCH;
            const uint32_t n = match_length(in + pos, in + pos - dist, cap);
            const uint32_t entry = distance_entry(dist);
            if (accept_match(n, entry, high_count)) {
                match_len = n;
                match_entry = entry;
                return true;
            }
        }
        const uint32_t byte = word & 0xFF;  // in[pos]
        const uint32_t nbits = lit.bits[byte];
        w.add(lit.code[byte], nbits);
        if (FAST)
            w.spill_unconditional();
        else
            w.spill();
        ++pos;
        high_count += nbits - 8;  // 9-bit codes are exactly the bytes >= 144
        if (KAVO_UNLIKELY((high_count >= STORED_HIGH_COUNT) | (pos >= end))) {
            if (high_count < STORED_HIGH_COUNT)
                return false;
            return find_match_storing(window, in, len, base, last_pos, end, pos, high_count, match_len,
                                      match_entry);
        }
        word = next_word;
        h = next_h;
        cand = next_cand;
    }
}



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

// Whether a match found by the scan below is taken; the scan never runs while a run is bound for
// storage. Matches of 5 bytes or more always pay. A 4-byte match has a 7-bit length code, so it
// pays while its distance code stays within 16 bits, one more for each pending byte >= 144 (up
// to the 18 bits of the farthest codes): distances up to 8192, 16384 or 32768.
KAVO_INLINE bool short_match_pays(uint32_t len, uint32_t dist, uint32_t high_count) {
    const uint32_t reach = 8192u << (high_count < 2 ? high_count : 2);
    return dist <= (reach | (0u - uint32_t(len >= 5)));  // no branch on the length: it is hard to predict
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

// The greedy pass over the bulk of the input, [pos, end), with literals and matches coded as they
// are found. At least MAX_MATCH + 8 bytes lie beyond end, so every match is capped at MAX_MATCH and
// 8-byte loads need no checks, and the room measured by the caller allows branch-free spills.
// After each match the run starts afresh: mark, mark_state and run_start follow it. Returns
// false at end; the run reaching 52 bytes >= 144 goes on as find_match_storing, whose result it
// returns (the caller then stores the run and codes the match, if any).
template <typename Window, bool LOG>
KAVO_INLINE bool find_match_bulk(Window window, const uint8_t *in, uint32_t len, uint32_t base, uint32_t *last_pos,
                                 uint32_t end, match_log *log,
                                 uint32_t &pos, uint32_t &high_count, bit_writer &w, uint32_t &match_len,
                                 uint32_t &match_entry, bit_writer &mark, uint16_t &mark_state,
                                 uint32_t &run_start) {
    const split_literal_codes &lit = SPLIT_LITERALS;
    if (KAVO_UNLIKELY(high_count >= STORED_HIGH_COUNT))  // an earlier pass stopped while storing
        return find_match_storing(window, in, len, base, last_pos, end, pos, high_count, match_len, match_entry);
    const uint8_t *ip = in + pos;
    const uint8_t *const ip_end = in + end;
    if (ip >= ip_end)
        return false;
    const uint32_t here_offset = base - uint32_t(uintptr_t(in));  // running position = address + this
    uint32_t word = load32le(ip);
    uint32_t *slot = &last_pos[hash_slot(word)];
    uint32_t cand = *slot;
    uint32_t hc = high_count;
    for (;;) {
        const uint32_t entry = slot_entry(uint32_t(uintptr_t(ip)) + here_offset, word);
        *slot = entry;
        // The next position's slot, looked up before this one is decided (after this store,
        // which it must see when both hash alike).
        const uint32_t next_word = load32le(ip + 1);
        uint32_t *const next_slot = &last_pos[hash_slot(next_word)];
        const uint32_t next_cand = *next_slot;
        const uint32_t dist = entry - cand;  // never 0: a slot holds an earlier position
        // The tags and the reach decide first, without waiting for the candidate's bytes: the
        // sooner the often mispredicted decision is known, the less it costs. The word test
        // after it nearly always passes. The candidate's address is computed as an integer, since
        // out of reach it points nowhere (and is not read).
        const uint8_t *const ref = reinterpret_cast<const uint8_t *>(uintptr_t(ip) - dist);
        if (dist <= window.max && load32le(ref) == word) {
            // Bytes 4 to 11 decide most lengths in one step, so that the branch below is
            // rarely taken (a test of bytes 0 to 7 would branch on every match of 8 or more).
            const uint64_t ahead = load64le(ip + 4);
            const uint64_t d4 = ahead ^ load64le(ref + 4);
            uint32_t n;
            uint32_t after;  // the word at ip + n, where the scan goes on after the match
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
            if (short_match_pays(n, dist, hc)) {
                // Coded here, in the open block: 13 + 18 bits at most beside 31 queued bits.
                const uint32_t lc = length_code_table[n];
                const uint32_t dc = distance_entry(dist);
                w.add(lc & 0xFFFF, lc >> 16);
                w.add(dc >> 5, dc & 31);
                w.spill_unconditional();
                if (LOG)
                    log->add(uint32_t(ip - in), n, w);
                mark = w;
                mark_state = ST_IN_FIXED;
                hc = 0;
                ip += n;  // positions inside the match are neither looked up nor entered
                run_start = uint32_t(ip - in);
                if (ip >= ip_end) {
                    pos = run_start;
                    high_count = 0;
                    return false;
                }
                word = after;
                slot = &last_pos[hash_slot(word)];
                cand = *slot;
                continue;
            }
        }
        const uint32_t nbits = lit.bits[*ip];
        w.add(lit.code[*ip], nbits);
        w.spill_unconditional();
        ++ip;
        hc += nbits - 8;  // 9-bit codes are exactly the bytes >= 144
        if (KAVO_UNLIKELY((hc >= STORED_HIGH_COUNT) | (ip >= ip_end))) {
            if (hc < STORED_HIGH_COUNT) {
                pos = uint32_t(ip - in);
                high_count = hc;
                return false;
            }
            pos = uint32_t(ip - in);
            return find_match_storing(window, in, len, base, last_pos, end, pos, high_count, match_len,
                                      match_entry);
        }
        word = next_word;
        slot = next_slot;
        cand = next_cand;
    }
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

// Level 1 over [pos, len) of in, the pending run starting at pos with no byte counted, positions
// running on from base in the table (byte i at base + i, below POS_LIMIT; base moves down with the
// table's positions when they come near the limit, and is left as it ends). The pending literal
// run goes out as literal codes while it is scanned, on the guess that it will end in a match and
// not be stored. `mark` keeps the output as it stood before the run: when the guess fails (the
// run reaches 52 bytes >= 144 and goes out stored) or the run turns out to need a final block
// header, the output goes back to the mark and the run is written again. Speculative codes take
// at most 9 bits a byte, within the room (out_end must leave deflate_encode_bound of the bytes to
// come).
// With resume, the pass stops at the first position at or after `stop` (the end of a match that
// crosses it, or inside a run), saves the run in *resume and returns where it stopped; a pass
// started again there with the same table and *resume gives the bits an unbroken pass would
// have given. It also starts from *resume's run.
// out is where bit offsets count from: first_stored, when given, receives the bits written before
// the first stored block (it must hold KAVO_NO_STORED on entry), and LOG records every match and
// stored run.
template <typename Window, bool LOG>
uint32_t encode_fixed(Window window, kavo_stream *s, uint32_t *const last_pos, uint32_t &base, const uint8_t *out,
                      uint8_t *const out_end, const uint8_t *in, uint32_t len, uint32_t pos, uint32_t stop, int more,
                      uint64_t *first_stored, match_log *log, kavo_parser *resume) {
    bit_writer w(s);
    uint16_t state = s->state;
    bit_writer mark = w;
    uint16_t mark_state = state;
    uint32_t run_start = pos;  // the pending run is [run_start, pos)
    uint32_t high_count = 0;   // bytes >= 144 in the pending run
    if (resume) {
        mark.queue = resume->mark_queue;
        mark.bits = resume->mark_bits;
        mark.cursor = resume->mark_cursor;
        mark_state = resume->mark_state;
        run_start = resume->run_start;
        high_count = resume->high_count;
    }
    if (state == ST_BETWEEN_BLOCKS) {  // a block for the first codes; undone with the run if need be
        w.push(2, 3);
        state = ST_IN_FIXED;
    }
    const uint32_t scan_end = len >= MIN_MATCH ? len - (MIN_MATCH - 1) : 0;
    const uint32_t scan_stop = stop < scan_end ? stop : scan_end;

    // Branch-free spills need room: k more positions add at most 9k bits (a match, at most 31
    // bits for 4 or more bytes, and a stored run, its framing included, stay below 9 bits a
    // byte as well), so the room measured once covers every position up to fast_end, however
    // they are coded. k = 7/8 of (room - 20) keeps 9k + 31 + 32 below 8 * room without a division.
    auto fast_limit = [&]() -> uint32_t {
        const size_t room = size_t(out_end - w.cursor);
        const size_t k = room > 20 ? (room - 20) - ((room - 20) >> 3) : 0;
        return k < scan_stop - pos ? pos + uint32_t(k) : scan_stop;
    };
    uint32_t fast_end = pos < scan_stop ? fast_limit() : scan_stop;
    // From here on the bulk scan may read 8 bytes past any byte of a match it can find.
    const uint32_t bulk_limit = len > MAX_MATCH + 8 ? len - (MAX_MATCH + 8) : 0;
    // The passes stop before positions reach POS_LIMIT, at the input index rebase_at.
    uint32_t rebase_at = POS_LIMIT - base;
    while (pos < scan_stop) {
        // Only when this pass would reach the limit (a match may end past rebase_at).
        if (KAVO_UNLIKELY(rebase_at < scan_stop && pos + REBASE_ROOM > rebase_at)) {
            // Down to a window and more past the start, so that no slot still in reach is lost.
            const uint32_t delta = base + pos - (FIRST_POS + MAX_DISTANCE);
            rebase(last_pos, delta);
            base -= delta;
            rebase_at = POS_LIMIT - base;
        }
        uint32_t match_len = 0, match_entry = 0;
        bool fast = true;
        const uint32_t pass_end = fast_end < rebase_at ? fast_end : rebase_at;
        const uint32_t bulk_end = pass_end < bulk_limit ? pass_end : bulk_limit;
        bool found = pos < bulk_end
                         ? find_match_bulk<Window, LOG>(window, in, len, base, last_pos, bulk_end, log, pos,
                                                        high_count, w, match_len, match_entry, mark, mark_state,
                                                        run_start)
                         : find_match<true>(window, in, len, base, last_pos, pass_end, pos, high_count, w, match_len,
                                            match_entry);
        if (!found) {
            if (pos >= scan_stop)
                break;
            if (pos < fast_end)
                continue;
            fast_end = fast_limit();  // stopped at fast_end: measure the room again
            if (pos < fast_end)
                continue;
            // Too close to the end of the room for branch-free spills: finish carefully.
            fast = false;
            const uint32_t careful_end = scan_stop < rebase_at ? scan_stop : rebase_at;
            if (!find_match<false>(window, in, len, base, last_pos, careful_end, pos, high_count, w, match_len,
                                   match_entry)) {
                if (pos >= scan_stop)
                    break;
                continue;
            }
        }
        if (KAVO_UNLIKELY(high_count >= STORED_HIGH_COUNT)) {
            // The run goes out stored after all; the match then opens a new fixed block.
            w = mark;
            s->state = mark_state;
            w.save(s);
            note_stored(s, out, run_start, first_stored, LOG ? log : nullptr);
            emit_stored_blocks(s, in + run_start, pos - run_start, 1);
            w = bit_writer(s);
            w.push(2, 3);
            state = ST_IN_FIXED;
        }
        const uint32_t lc = length_code_table[match_len];
        const uint32_t dc = match_entry;
        // 13 + 18 bits at most: both fit beside 31 queued bits before one spill.
        w.add(lc & 0xFFFF, lc >> 16);
        w.add(dc >> 5, dc & 31);
        if (fast)
            w.spill_unconditional();
        else
            w.spill();
        if (LOG)
            log->add(pos, match_len, w);
        // Positions inside the match are neither looked up nor entered.
        pos += match_len;
        run_start = pos;
        high_count = 0;
        mark = w;
        mark_state = state;
    }

    if (pos < len && pos >= stop) {
        // The pass stops here, in a run or at its start; the next one goes on from this state.
        resume->mark_queue = mark.queue;
        resume->mark_bits = mark.bits;
        resume->mark_cursor = mark.cursor;
        resume->mark_state = mark_state;
        resume->run_start = run_start;
        resume->high_count = high_count;
        s->state = state;
        w.save(s);
        return pos;
    }

    // The last 0 to 3 bytes cannot start a match: they join the run without a lookup.
    for (; pos < len; ++pos) {
        const uint32_t code = literal_code_table[in[pos]];
        high_count += (code & 15) - 8;
        w.push(code >> 4, code & 15);
    }

    if (run_start == len) {
        // The call ended on a match: nothing is opened or closed, even with more = 0.
        s->state = state;
        w.save(s);
        return len;
    }

    if (high_count >= STORED_HIGH_COUNT) {
        mark.save(s);
        s->state = mark_state;
        note_stored(s, out, run_start, first_stored, LOG ? log : nullptr);
        emit_stored_blocks(s, in + run_start, len - run_start, more);
        return len;
    }
    if (!more) {
        // The last run goes into a final block: end an open block first.
        w = mark;
        if (mark_state != ST_BETWEEN_BLOCKS)
            w.push(0, 7);
        w.push(3, 3);
        state = ST_IN_LAST_FIXED;
        write_literals(w, in + run_start, len - run_start);
    }
    s->state = state;
    w.save(s);
    return len;
}

}  // namespace

namespace {

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
    uint32_t base = table->begin_call(n);
    uint8_t *const out_end = out + deflate_encode_bound(n);  // the room the caller guarantees
    if (stream->window_shrink == 0)
        encode_fixed<full_window, false>(full_window{}, stream, table->last_pos, base, out, out_end, in, n, 0, n, more,
                                         first_stored, nullptr, nullptr);
    else
        encode_fixed<limited_window, false>(limited_window{MAX_DISTANCE >> stream->window_shrink}, stream,
                                            table->last_pos, base, out, out_end, in, n, 0, n, more, first_stored,
                                            nullptr, nullptr);
    table->end_call(base, n);
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

int deflate_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more) {
    stream->out_cursor = out;
    const uint32_t n = len > 0 ? uint32_t(len) : 0;
    encode(stream, out, in, n, more, nullptr);
    stream->input_total += n;
    return int(stream->out_cursor - out);
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

static_assert(KAVO_PARSER_SLOTS == HASH_SLOTS, "a parser's table has the encoder's slots");

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
    p->high_count = 0;
    p->mark_queue = 0;
    p->mark_bits = 0;
    p->mark_cursor = out;
    p->mark_state = ST_BETWEEN_BLOCKS;
    p->base = FIRST_POS - p->pos;  // whatever the start, its running position is FIRST_POS
    for (uint32_t &slot : p->table)
        slot = EMPTY_SLOT;
    store_queue(p->stream);
}

void parser_step(kavo_parser *p, int32_t until) {
    const uint32_t stop = until > 0 ? uint32_t(until) : 0;
    if (p->pos >= p->len || stop <= p->pos)
        return;
    match_log log{p->log, p->log_count, p->out};
    p->pos = p->log ? encode_fixed<full_window, true>(full_window{}, &p->stream, p->table, p->base, p->out,
                                                      p->out_end, p->in, p->len, p->pos, stop, 1, &p->first_stored,
                                                      &log, p)
                    : encode_fixed<full_window, false>(full_window{}, &p->stream, p->table, p->base, p->out,
                                                       p->out_end, p->in, p->len, p->pos, stop, 1, &p->first_stored,
                                                       nullptr, p);
    p->log_count = log.count;
    store_queue(p->stream);
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
