// Splicing a segment encoded on its own into a stream: its bits moved behind the stream's queue.
#include "bit_output.h"
#include "deflate_segment.h"

using namespace kavo;

namespace {

// Appends bits [from, to) of src, LSB first, to the queue. Reads up to 12 bytes past the byte of
// bit `to`: a segment keeps its end queue and 8 zero bytes there.
void append_bits(bit_writer &w, const uint8_t *src, uint64_t from, uint64_t to) {
    if (to - from >= 128) {
        // Whole 64-bit words: the b queued bits stay queued, and each word written is the queue
        // followed by the next 64 - b bits. The last word read ends 8 bytes before bit `to`.
        const uint32_t b = w.bits, sh = uint32_t(from & 7);
        uint64_t q = w.queue;
        const uint8_t *p = src + (from >> 3);
        for (uint64_t n = (to - from) / 64 - 1; n; --n, p += 8) {
            const uint64_t x = sh ? (load64le(p) >> sh) | (load64le(p + 8) << (64 - sh)) : load64le(p);
            store64le(w.cursor, q | (x << b));
            w.cursor += 8;
            q = b ? x >> (64 - b) : 0;
        }
        w.queue = q;
        from = uint64_t(p - src) * 8 + sh;
    }
    for (; from + 32 <= to; from += 32) {
        w.add(uint32_t(load64le(src + (from >> 3)) >> (from & 7)), 32);
        w.spill();
    }
    if (from < to) {
        const uint32_t n = uint32_t(to - from);
        w.add(uint32_t(load64le(src + (from >> 3)) >> (from & 7)) & ((1u << n) - 1), n);
        w.spill();
    }
}

}  // namespace

// The segment was encoded from "between blocks, nothing queued". A stream in that state writes
// exactly its bytes. A stream with a fixed block open (q bits queued) writes the same decisions
// without opening a block: the segment's bits from its open bit (after its 3-bit block header, or
// later for a piece cut from a parse) up to its first stored block come after the q bits; the end
// of block and the stored header that close them are then padded to a byte from there. From the first stored block's LEN field on, both are byte
// aligned and the same.
size_t deflate_splice(kavo_stream *stream, uint8_t *out, const kavo_segment *seg, const uint8_t *seg_out, int32_t len) {
    stream->out_cursor = out;
    stream->input_total += uint32_t(len > 0 ? len : 0);
    if (seg->size == 0 && seg->queued_bits == 0)  // no input: nothing changes
        return 0;
    bit_writer w(stream);
    uint64_t tail = seg->size;  // where the unchanged bytes begin
    if (stream->state == ST_BETWEEN_BLOCKS) {
        tail = 0;
    } else if (seg->first_stored_bit == KAVO_NO_STORED) {
        append_bits(w, seg_out, seg->open_bit, uint64_t(seg->size) * 8 + seg->queued_bits);
        w.save(stream);
        return size_t(stream->out_cursor - out);  // the block stays open
    } else {
        const uint64_t p1 = seg->first_stored_bit;
        if (p1 > seg->open_bit)
            append_bits(w, seg_out, seg->open_bit, p1);
        w.push(0, 7);  // end of block
        w.push(0, 3);  // stored block header, BFINAL = 0
        w.flush_to_byte();
        tail = p1 > 0 ? (p1 + 10 + 7) / 8 : 1;
    }
    if (w.cursor != seg_out + tail)  // a segment parsed straight into the stream's output is in place
        std::memcpy(w.cursor, seg_out + tail, size_t(seg->size - tail));
    w.cursor += seg->size - tail;
    w.queue = seg->bit_queue;
    w.bits = seg->queued_bits;
    w.save(stream);
    stream->state = seg->state;
    return size_t(stream->out_cursor - out);
}
