// kavo engine: the stream record, its states and the stream operations (raw deflate, gzip, zlib).
#ifndef KAVO_H
#define KAVO_H

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

// The encode calls return the bytes they wrote as a size_t: near the largest input (2^31 - 1
// bytes), input that the fixed codes expand writes more than an int holds.

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
size_t deflate_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more);
// Ends the deflate data: closes an open block, makes sure a final block exists, pads to a byte.
int deflate_finish(kavo_stream *stream, uint8_t *out);
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

// ---- the compiled forms of level 1, one per CPU level; every form writes the same bytes ----
// Writes the names of the forms this build has and this CPU runs, best first ("v3" for x86-64-v3,
// then "baseline"), up to room of them; returns their count.
int engine_variants(const char **names, int room);
// The form the encode calls run: the best one, or the one named by the environment variable
// KAVO_ENGINE_VARIANT at the first call when this CPU runs it.
const char *engine_variant();
// Makes the calls from now on run the named form; false (and no change) for one not listed above.
bool set_engine_variant(const char *name);

// ---- checksums, held in finished form: the fastest form this CPU runs ----
uint32_t crc32_fast(uint32_t crc, const uint8_t *in, int32_t len);
uint32_t adler32_fast(uint32_t adler, const uint8_t *in, int32_t len);

// ---- containers ----
int gzip_init(kavo_stream *stream, int level);
int gzip_send_header(kavo_stream *stream, uint8_t *out);
size_t gzip_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more);
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

// ---- BGZF: a series of gzip members of at most 64 KiB that readers can seek into ----
// Each member is a whole gzip member of its own: a header with the extra field 'B' 'C' (SLEN 2)
// giving BSIZE, the member's size minus 1; the deflate data of its input, exactly a one-shot raw
// deflate of it (one encode call, more = 1, and the finish on a fresh stream); CRC-32 and ISIZE.
// A series ends with BGZF_EOF, the member of no input.
constexpr uint32_t BGZF_BLOCK_INPUT = 65280;    // input bytes a member holds, but where a flush ends it
constexpr uint32_t BGZF_MEMBER_MAX = 65536;     // BSIZE is 16 bits
constexpr int BGZF_HEADER_SIZE = 18;            // gzip header 10, XLEN 2, the 'BC' field 6
constexpr int BGZF_FRAMING = BGZF_HEADER_SIZE + 8;  // header and trailer
constexpr int BGZF_EOF_SIZE = 28;
extern const uint8_t BGZF_EOF[BGZF_EOF_SIZE];
// A member of len bytes as stored deflate: a 5-byte header per stored block of up to 65,535
// bytes, then the 2-byte empty final block that the finish adds.
constexpr uint64_t bgzf_stored_member_size(uint64_t len) {
    return uint64_t(BGZF_FRAMING) + len + 5 * ((len + 65534) / 65535) + 2;
}
// The rule that keeps every member within BGZF_MEMBER_MAX: a member is compressed at the stream's
// level, and when that member would be larger than BGZF_MEMBER_MAX it goes out at level 0 (stored)
// instead. Stored, the largest input fits, so the rule always finds a member that fits. (The fixed
// codes can make input grow by up to an eighth: 65,280 bytes could take some 73,000.)
static_assert(bgzf_stored_member_size(BGZF_BLOCK_INPUT) <= BGZF_MEMBER_MAX, "a stored member always fits");
// Room a member of len bytes needs while it is encoded (before the rule picks its form).
constexpr uint64_t bgzf_member_bound(uint64_t len) {
    return uint64_t(BGZF_FRAMING) + deflate_encode_bound(len) + DEFLATE_FINISH_BOUND;
}
// Writes the member of len bytes (0 to BGZF_BLOCK_INPUT) at level (0 stores, 1 compresses) and
// returns its size, at most BGZF_MEMBER_MAX. out must hold bgzf_member_bound(len) bytes. The
// member of no input is BGZF_EOF.
size_t bgzf_encode_member(uint8_t *out, const uint8_t *in, int32_t len, int level);

int zlib_init(kavo_stream *stream, int level);
int zlib_send_header(kavo_stream *stream, uint8_t *out);
size_t zlib_encode(kavo_stream *stream, uint8_t *out, const uint8_t *in, int32_t len, int more);
int zlib_finish(kavo_stream *stream, uint8_t *out);
int zlib_sync_flush(kavo_stream *stream, uint8_t *out);

// ---- any format (KAVO_FMT_*; any other number is raw deflate), by the stream's format field ----
void stream_init(kavo_stream *s, int level, int format);
size_t stream_encode(kavo_stream *s, uint8_t *out, const uint8_t *in, int32_t len, int more);
int stream_sync_flush(kavo_stream *s, uint8_t *out);
int stream_finish(kavo_stream *s, uint8_t *out);

#endif
