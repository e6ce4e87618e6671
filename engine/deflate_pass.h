// The level-1 pass over one call's input: the record its scans share, and its compiled forms, one per CPU level.
#ifndef KAVO_DEFLATE_PASS_H
#define KAVO_DEFLATE_PASS_H

#include "bit_output.h"
#include "deflate_parser.h"

namespace kavo {

constexpr uint32_t HASH_BITS = 13;
constexpr uint32_t HASH_SLOTS = 1u << HASH_BITS;
constexpr uint32_t MIN_MATCH = 4;
constexpr uint32_t MAX_MATCH = 258;
constexpr uint32_t MAX_DISTANCE = 32768;
// A run with this many bytes >= 144 (whose literal codes take 9 bits) grows by at least 52 bits
// as literals, more than a stored block's framing costs, so it goes out stored.
constexpr uint32_t STORING_NINE_BIT_BYTES = 52;

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

static_assert(KAVO_PARSER_SLOTS == HASH_SLOTS, "a parser's table has the encoder's slots");

// The fixed literal codes split into code and length, so that the hot loop spends no
// instructions taking an entry apart. Filled at load time (deflate_encode.cpp), by baseline code:
// the faster forms of the scans have no initialisers of their own, which would run on any CPU.
struct split_literal_codes {
    uint16_t code[256];
    uint8_t bits[256];
};
extern const split_literal_codes split_literals;

// The record a parse keeps of its decisions for a parallel caller (see kavo_parser): every match
// and every stored run, with the output bits at that point.
struct match_log {
    kavo_parse_event *events;
    size_t count;
    const uint8_t *out;  // bit offsets count from here
};

// One pass of level 1 over a call's input (or a parse's, which stops and goes on): what its scans
// read and move on. The pending run [run_start, pos) goes out as literal codes while it is
// scanned, on the guess that it will end in a match and not be stored; mark and mark_state keep
// the output as it stood before the run, for when the guess fails (the run reaches 52 bytes
// >= 144 and goes out stored) or the run turns out to need a final block header: the output
// then goes back to the mark and the run is written again.
// Plain data: it is made in deflate_encode.cpp and read by every compiled form of the scans.
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
    const uint8_t *out;
    uint64_t *first_stored;
    match_log *log;
};

// The bits written before a stored block that is about to begin: 0 when nothing is open (the fixed
// block of a run's first codes was undone with the run), else the bits of the open block.
KAVO_INLINE uint64_t stored_start_bit(const kavo_stream *s, const uint8_t *out) {
    return s->state == ST_BETWEEN_BLOCKS ? 0 : uint64_t(s->out_cursor - out) * 8 + s->queued_bits;
}

// One compiled form of the pass (deflate_scan_body.h). Each runs level 1 over [p.pos, p.len) up
// to stop and closes the run as `more` asks (see run_pass there); every form writes the same bits.
// full: the whole window; limited: matches reach at most window_max back; logged: the whole
// window, every match and stored run added to p.log.
struct scan_variant {
    const char *name;
    uint32_t (*full)(pass &p, uint32_t stop, int more);
    uint32_t (*limited)(pass &p, uint32_t window_max, uint32_t stop, int more);
    uint32_t (*logged)(pass &p, uint32_t stop, int more);
};
// For any CPU the build targets (deflate_scan.cpp).
extern const scan_variant scan_baseline;
// For x86-64-v3 (AVX2, BMI1, BMI2, LZCNT, MOVBE, FMA, F16C; deflate_scan_v3.cpp), or null when the
// build has no such form (another architecture, or a compiler not given the flags). Data, not a
// function: nothing compiled for v3 runs before the CPU is known to support it.
extern const scan_variant *const scan_x86_64_v3;

}  // namespace kavo

#endif
