// One call's input parsed on several threads: a parse that starts anywhere, stops and goes on.
#ifndef KAVO_DEFLATE_PARSER_H
#define KAVO_DEFLATE_PARSER_H

#include "deflate_segment.h"

// A parse of one encode call's input (level 1, the full window, more = 1) from any position, with a
// table of its own, that stops at any position and goes on from there. Started at 0 it writes the
// call's own bits. Started later with an empty table, it makes other decisions at first; from a match
// end q on it makes the call's own decisions once both parses have made the same matches over the
// 32768 positions before q (each decision depends only on the slots those positions entered). The
// log of matches lets a caller find such a q, and parser_piece cuts the bits there.
struct kavo_parse_event {
    uint32_t pos;     // a match's first byte, or the first byte of a run that goes out stored
    uint16_t len;     // the match's length; 0 for a stored run
    uint8_t queued;   // a match: of its bits, those still queued after it (the rest are whole words)
    uint8_t unused;
    uint64_t bit;     // a match: the output bits up to the end of its codes; a stored run: the output
                      // bits before the end of block that closes its fixed block (0 if none is open)
};
constexpr uint32_t KAVO_PARSER_SLOTS = 8192;
struct kavo_parser {
    kavo_stream stream;  // raw deflate; stream.out_cursor is the next output byte
    const uint8_t *in;
    uint32_t len;
    uint32_t pos;           // where the next step starts: the start, or the end of a match
    uint8_t *out, *out_end;
    uint64_t first_stored;  // the bits before the first stored block since the caller last set KAVO_NO_STORED
    kavo_parse_event *log;  // when set, every match and stored run of a step is appended here
    size_t log_count;
    // The pending run where the last step stopped (its bytes >= 144 counted), and the output as it
    // stood before it.
    uint32_t run_start, nine_bit_bytes;
    uint64_t mark_queue;
    uint32_t mark_bits;
    uint8_t *mark_cursor;
    uint16_t mark_state;
    uint32_t base;  // the running position of in[0] in the table
    uint32_t table[KAVO_PARSER_SLOTS];
};
// A parse of in[start, len) (start < len < 2^31) into out, which holds room bytes: segment_bound of
// the bytes it parses. The input before start is only read by matches' reach tests, never looked up.
void parser_init(kavo_parser *p, const uint8_t *in, int32_t len, int32_t start, uint8_t *out, uint64_t room);
// Parses on to the first position at or after until (the end of a match that crosses it, or inside
// a run), or to the end of the input. A log needs room for (until - pos) / 3 + 4 more events.
// Afterwards every bit written so far can be read at out; those after the last match may still
// be taken back, if its run goes out stored.
void parser_step(kavo_parser *p, int32_t until);
// The parse's bits from open_bit (a match end, or 3 from the start) up to the end of the match
// `end` of its log (null: where the parse stands) as a segment, to be spliced with its input after
// a stream that has a block open (or, from 3, any stream). first_stored is the first stored run's
// bit at or after open_bit, or KAVO_NO_STORED. Its bytes and queue split as the stream's own would.
kavo_segment parser_piece(const kavo_parser *p, uint64_t open_bit, const kavo_parse_event *end,
                          uint64_t first_stored);

#endif
