// The scans of level 1 and the pass that runs them, compiled once per CPU level by the files that
// include this (deflate_scan.cpp, deflate_scan_v3.cpp); each defines the form of its level from run_full,
// run_limited and run_logged. Everything here has internal linkage, so that no function compiled for
// one level can stand in for another's at link time; and nothing here runs at load time.
#ifndef KAVO_DEFLATE_SCAN_BODY_H
#define KAVO_DEFLATE_SCAN_BODY_H

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KAVO_HAVE_SSE2 1
#else
#define KAVO_HAVE_SSE2 0
#endif

#include "deflate_pass.h"
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

constexpr uint32_t HASH_MULTIPLIER = 524351;  // 0x8003F
constexpr uint32_t HASH_SHIFT = 32 - HASH_BITS;
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

// What a scan may assume about the input after its end and about the room, and what it does.
enum class scan_mode {
    bulk,     // MAX_MATCH + 8 readable bytes lie past its end, and the room allows branch-free spills
    tail,     // reads stop at the input's end; the room allows branch-free spills
    careful,  // reads stop at the input's end; every spill checked, near the end of the room
};

template <typename Window>
bool scan_storing(pass &p, Window window, uint32_t end);

// Adds a match to the log, with the output bits at its end.
KAVO_INLINE void log_match(match_log &log, uint32_t pos, uint32_t len, const bit_writer &w) {
    log.events[log.count++] =
        kavo_parse_event{pos, uint16_t(len), uint8_t(w.bits), 0, uint64_t(w.cursor - log.out) * 8 + w.bits};
}

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
        log_match(*log, at, len, w);
}

// The greedy scan over [p.pos, end): looks up and enters every position and decides by the cost
// rule, until end (returns false, the pending run as it stands). Literals and matches are coded as
// they are found, and the run that reaches 52 bytes >= 144 goes on as the storing scan, whose
// result it returns (true: it found a match, and its caller then stores the run before it).
// The lookup of the next position is made before this one is decided, so that its slot is at hand when the decision, often mispredicted on text, comes: loads only, after
// this position's store (which they see if both hash alike); a match drops them. The positions inside a match are
// neither looked up nor entered. Every mode is this one loop, its differences fixed at compile
// time, so that each keeps its values in registers.
template <typename Window, scan_mode MODE, bool LOG>
KAVO_INLINE bool scan(pass &p, Window window, uint32_t end) {
    constexpr bool room_ahead = MODE == scan_mode::bulk;
    constexpr bool branch_free = MODE != scan_mode::careful;
    const split_literal_codes &lit = split_literals;
    if (KAVO_UNLIKELY(p.nine_bit_bytes >= STORING_NINE_BIT_BYTES))  // an earlier pass stopped while storing
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
        p.w = w;
        p.mark = mark;
        p.mark_state = mark_state;
        p.run_start = run_start;
        p.nine_bit_bytes = nine_bit;
    };

    uint32_t word = load32le(ip);
    uint32_t *slot = &slots[hash_slot(word)];
    uint32_t cand = *slot;
    for (;;) {
        const uint32_t entry = slot_entry(uint32_t(uintptr_t(ip)) + here_offset, word);
        *slot = entry;
        const uint32_t next_word = load32le(room_ahead ? ip + 1 : ip + (ip < last));  // ip is at most last
        uint32_t *const next_slot = &slots[hash_slot(next_word)];
        const uint32_t next_cand = *next_slot;
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
            if (match_pays<false>(n, dist, nine_bit)) {
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
        const uint32_t byte = word & 0xFF;  // *ip
        const uint32_t nbits = lit.bits[byte];
        w.add(lit.code[byte], nbits);
        if (branch_free)
            w.spill_unconditional();
        else
            w.spill();
        nine_bit += nbits - 8;  // 9-bit codes are exactly the bytes >= 144
        ++ip;
        if (KAVO_UNLIKELY((nine_bit >= STORING_NINE_BIT_BYTES) | (ip >= ip_end))) {
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
// Each position is looked up when its turn comes: there is no costly decision to hide a lookup
// behind, and looking ahead only lengthens the chain from one step to the next.
template <typename Window>
KAVO_NOINLINE bool scan_storing(pass &p, Window window, uint32_t end) {
    p.nine_bit_bytes = STORING_NINE_BIT_BYTES;
    const uint8_t *const in = p.in;
    const uint8_t *ip = in + p.pos;
    const uint8_t *const ip_end = in + end;
    const uint8_t *const in_end = in + p.len;
    const uint32_t here_offset = p.base - uint32_t(uintptr_t(in));  // running position = address + this
    uint32_t *const slots = p.slots;
    // Enters the position at, whose 4 bytes are word, and tells whether a match of 6 bytes or more
    // starts there (then the scan stops at it).
    auto step = [&](const uint8_t *at, uint32_t word) -> bool {
        uint32_t *const slot = &slots[hash_slot(word)];
        const uint32_t cand = *slot;
        const uint32_t entry = slot_entry(uint32_t(uintptr_t(at)) + here_offset, word);
        *slot = entry;
        const uint32_t dist = entry - cand;  // never 0: a slot holds an earlier position
        if (KAVO_LIKELY(dist > window.max))
            return false;
        const uint8_t *const ref = at - dist;
        if (load32le(ref) != word)
            return false;
        const uint32_t remaining = uint32_t(in_end - at);
        const uint32_t n = match_length(at, ref, remaining < MAX_MATCH ? remaining : MAX_MATCH);
        if (!match_pays<true>(n, dist, STORING_NINE_BIT_BYTES))
            return false;
        p.pos = uint32_t(at - in);
        p.match_len = n;
        p.match_dist = dist;
        return true;
    };
    for (; ip < ip_end; ++ip)
        if (step(ip, load32le(ip)))
            return true;
    p.pos = uint32_t(ip - in);
    return false;
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

uint32_t run_full(pass &p, uint32_t stop, int more) { return run_pass<full_window, false>(p, full_window{}, stop, more); }

uint32_t run_limited(pass &p, uint32_t window_max, uint32_t stop, int more) {
    return run_pass<limited_window, false>(p, limited_window{window_max}, stop, more);
}

uint32_t run_logged(pass &p, uint32_t stop, int more) { return run_pass<full_window, true>(p, full_window{}, stop, more); }

}  // namespace

#endif
