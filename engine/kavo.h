// kavo engine: the stream record, its states and every engine operation (deflate, checksums, gzip, zlib).
#ifndef KAVO_H
#define KAVO_H

#include <array>
#include <cstddef>
#include <cstdint>

// Block state of a stream. Bits are queued only while a fixed block is open (2 and 3);
// every other state starts from an empty queue or ends with a byte flush.
enum : uint16_t {
    ST_HEADER_PENDING = 0,  // container header not yet written
    ST_BETWEEN_BLOCKS = 1,  // no block open: the next bits start a block header
    ST_IN_FIXED = 2,        // fixed-Huffman block with BFINAL = 0 open
    ST_IN_LAST_FIXED = 3,   // final fixed-Huffman block open
    ST_FINISHED = 4,        // deflate data complete, byte aligned
    ST_TRAILER_DONE = 5,    // container trailer written
};

enum : int { KAVO_FMT_GZIP = 0, KAVO_FMT_ZLIB = 1, KAVO_FMT_DEFLATE = 2 };

// Everything a stream carries from one call to the next. No window, no table, no buffer:
// back-references never cross a call.
struct kavo_stream {
    uint64_t bit_queue;    // pending output bits, oldest in bit 0; bits at queued_bits and above are 0
    uint32_t queued_bits;  // 0 to 31 between operations
    uint8_t *out_cursor;   // next output byte of the call under way; meaningless between calls
    uint16_t state;        // one of the ST_ values
    uint8_t level : 1;     // 0 stores, 1 compresses
    uint8_t format : 2;    // 0 gzip, 1 zlib, 2 raw deflate; read only by the Python binding
    uint8_t window_shrink : 3;  // matches reach 2^(15 - window_shrink) bytes back; 0 after every init
    uint32_t checksum;     // CRC-32 (gzip) or Adler-32 (zlib) of all input, in finished form
    uint32_t input_total;  // input bytes so far, modulo 2^32
};

// ---- raw deflate ----
int deflate_init(kavo_stream *stream, int level);
// Limits the match distance to 2^window_bits bytes (9 to 15; other values are clamped), for a
// decoder that keeps a smaller window. Call after the init and before any output; 15, the
// window every init sets, gives the same output as not calling it. A zlib header then names
// this window.
void kavo_set_window(kavo_stream *stream, int window_bits);
constexpr int stream_window_bits(const kavo_stream &s) { return 15 - int(s.window_shrink); }
// Encodes len bytes (0 <= len < 2^31) and returns the bytes written at out. more = 0 lets the
// call mark its last block final. out must hold deflate_encode_bound(len) bytes. (An encode after
// the finish, outside the calling order, takes the finished stream for an open block and may
// write one byte more than that; the Python binding refuses such calls.)
int deflate_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more);
// Ends the deflate data: closes an open block, makes sure a final block exists, pads to a byte.
int deflate_finish(kavo_stream *stream, uint8_t *out);
// Writes len bytes as stored blocks of at most 65535 bytes, closing an open fixed block first.
void emit_stored_blocks(kavo_stream *stream, const uint8_t *in, uint32_t len, int more);
// Sync flush: everything encoded so far becomes decodable. Closes an open fixed block and writes
// an empty stored block (its bytes end in 00 00 FF FF); the stream goes on between blocks, on a
// byte boundary. With no history between calls this is also a full flush. Only before the finish
// and after calls with more = 1. The container forms write a pending header first.
int deflate_sync_flush(kavo_stream *stream, uint8_t *out);
constexpr int SYNC_FLUSH_BOUND = 20;  // header 10, queue 4, end of block and stored header 2, LEN 4

// Worst case of one encode call on len bytes, 31 bits left queued by earlier calls included:
// 9 bits a literal, less for a match, at most 1 bit a byte for stored framing, plus the
// opening header, the final end-of-block and header, and the old queue.
constexpr uint64_t deflate_encode_bound(uint64_t len) { return (9 * len + 44) / 8; }
constexpr int DEFLATE_FINISH_BOUND = 6;
constexpr int GZIP_HEADER_SIZE = 10;
constexpr int ZLIB_HEADER_SIZE = 2;
constexpr int GZIP_FINISH_BOUND = 20;  // header still pending: 10 + 2 + 8; else 6 + 8
constexpr int ZLIB_FINISH_BOUND = 10;  // 6 + 4; with the header pending only 2 + 2 + 4

// Fixed Huffman codes, bit-reversed for LSB-first output, extra bits joined above the code.
// literal: value = entry >> 4, bits = entry & 15
// length:  value = entry & 0xFFFF, bits = entry >> 16 (index = match length, 0..258)
// distance: value = entry >> 5, bits = entry & 31 (index = distance - 1)
extern const std::array<uint16_t, 288> literal_code_table;
extern const std::array<uint32_t, 259> length_code_table;
extern const std::array<uint32_t, 32768> distance_code_table;

// ---- segments: pieces encoded on their own, on any thread, and spliced into a stream in order ----
// A segment is its input encoded as one encode call (more = 1) of a fresh raw stream would encode
// it. Its decisions do not depend on the stream it joins: each call starts matching afresh. Only
// the bits before its first stored block depend on where it lands, and the splice moves them.
constexpr uint64_t KAVO_NO_STORED = ~uint64_t(0);
struct kavo_segment {
    uint32_t size;              // bytes written; the end queue follows them in 8 bytes, then 8 zero bytes
    uint64_t bit_queue;         // the end state of the fresh stream
    uint32_t queued_bits;
    uint16_t state;
    uint64_t first_stored_bit;  // bits written before its first stored block, or KAVO_NO_STORED
    uint64_t open_bit;          // where its codes begin for a stream with a block open: 3, after its
                                // block header; a piece cut from a parse begins later (parser_piece)
};
// Room at out for a segment of len bytes.
constexpr uint64_t segment_bound(uint64_t len) { return deflate_encode_bound(len) + 16; }
void deflate_encode_segment(kavo_segment *seg, uint8_t *out, const uint8_t *in, int32_t len, int level,
                            int window_bits);
// Appends a segment (its bytes at seg_out) to a stream of the same level and window, as if the
// stream had encoded the segment's input itself with more = 1: the same bytes and the same state.
// Returns the bytes written at out, which must hold splice_bound(seg) bytes. The container forms
// write a pending header and take the segment's input (in, len) into the checksum and the count.
constexpr uint64_t splice_bound(const kavo_segment &seg) { return uint64_t(seg.size) + 8 + GZIP_HEADER_SIZE; }
int deflate_splice(kavo_stream *stream, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out, int32_t len);
int gzip_splice(kavo_stream *stream, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out,
                const uint8_t *in, int32_t len);
int zlib_splice(kavo_stream *stream, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out,
                const uint8_t *in, int32_t len);

// ---- one call's input parsed on several threads ----
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
    // The pending run where the last step stopped, and the output as it stood before it.
    uint32_t run_start, high_count;
    uint64_t mark_queue;
    uint32_t mark_bits;
    uint8_t *mark_cursor;
    uint16_t mark_state;
    uint32_t base;  // the running position of in[0] in the table
    uint32_t table[KAVO_PARSER_SLOTS];
};
// Room at out for a parse over n bytes.
constexpr uint64_t parser_room(uint64_t n) { return deflate_encode_bound(n) + 16; }
// A parse of in[start, len) (start < len < 2^31); the input before start is only read by matches'
// reach tests, never looked up.
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

// ---- checksums, held in finished form ----
extern const std::array<std::array<uint32_t, 256>, 4> crc32_tables;
uint32_t crc32_sliced(uint32_t crc, const uint8_t *in, int32_t len);
uint32_t crc32_bytewise(uint32_t crc, const uint8_t *in, int32_t len);
uint32_t adler32_blocked(uint32_t adler, const uint8_t *in, int32_t len);
uint32_t adler32_bytewise(uint32_t adler, const uint8_t *in, int32_t len);
// The fastest form this CPU runs; always the same values as the forms above.
uint32_t crc32_fast(uint32_t crc, const uint8_t *in, int32_t len);
uint32_t adler32_fast(uint32_t adler, const uint8_t *in, int32_t len);

// Every checksum form built into this engine, so that the tests and benchmarks can run each one.
using checksum_fn = uint32_t (*)(uint32_t, const uint8_t *, int32_t);
struct checksum_variant {
    const char *name;
    checksum_fn fn;
    bool supported;  // this CPU and OS run it; calling an unsupported form faults
};
// Best first; the portable form is last and always supported. crc32_fast and adler32_fast run
// the first supported entry. The lists are constant after the first call; the result is the count.
int crc32_variants(const checksum_variant **list);
int adler32_variants(const checksum_variant **list);
// Portable CRC-32, eight bytes a step: the choice when the CPU offers nothing faster.
uint32_t crc32_slice8(uint32_t crc, const uint8_t *in, int32_t len);
#if defined(__x86_64__) || defined(_M_X64)
// x86-64 forms (checksum_*_x86.cpp); each needs the CPU features named in its comment.
uint32_t crc32_pclmul(uint32_t crc, const uint8_t *in, int32_t len);       // PCLMULQDQ, SSE4.1
uint32_t crc32_vpclmul(uint32_t crc, const uint8_t *in, int32_t len);      // VPCLMULQDQ, AVX-512 F/VL/BW
uint32_t adler32_ssse3(uint32_t adler, const uint8_t *in, int32_t len);    // SSSE3
uint32_t adler32_avx2(uint32_t adler, const uint8_t *in, int32_t len);     // AVX2
enum : uint32_t { X86_SSSE3 = 1, X86_SSE41 = 2, X86_PCLMUL = 4, X86_AVX2 = 8, X86_AVX512 = 16, X86_VPCLMUL = 32 };
// The X86_ bits this CPU and OS support (AVX2 and AVX-512 only with the OS saving their registers).
uint32_t x86_cpu_features();
#endif

// ---- containers ----
int gzip_init(kavo_stream *stream, int level);
int gzip_send_header(kavo_stream *stream, uint8_t *out);
int gzip_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more);
int gzip_finish(kavo_stream *stream, uint8_t *out);
int gzip_sync_flush(kavo_stream *stream, uint8_t *out);
// A gzip header that names a modification time and a file name, which gzip_init's constant header
// leaves out (MTIME 0, no FNAME): gzip -N restores them, gzip -l shows them. The other fields are
// the constant header's. With mtime 0 and no name the bytes are exactly that header.
struct gzip_header_fields {
    uint32_t mtime;       // seconds since 1970, 0 for none
    const uint8_t *name;  // FNAME in Latin-1, without the NUL that ends it (none may occur in it); null for none
    size_t name_len;
};
constexpr uint64_t gzip_header_bound(size_t name_len) { return uint64_t(GZIP_HEADER_SIZE) + name_len + 1; }
// Writes that header in place of the pending one (the stream is then between blocks); returns its size.
size_t gzip_send_header_fields(kavo_stream *stream, uint8_t *out, const gzip_header_fields *fields);

int zlib_init(kavo_stream *stream, int level);
int zlib_send_header(kavo_stream *stream, uint8_t *out);
int zlib_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more);
int zlib_finish(kavo_stream *stream, uint8_t *out);
int zlib_sync_flush(kavo_stream *stream, uint8_t *out);

// ---- any format (KAVO_FMT_*; any other number is raw deflate), by the stream's format field ----
void stream_init(kavo_stream *s, int level, int format);
int stream_encode(kavo_stream *s, uint8_t *out, const uint8_t *in, int32_t len, int more);
int stream_sync_flush(kavo_stream *s, uint8_t *out);
int stream_splice(kavo_stream *s, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out, const uint8_t *in,
                  int32_t len);
int stream_finish(kavo_stream *s, uint8_t *out);

#endif
