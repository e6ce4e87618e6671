// Raw deflate set-up, stored blocks and the end of the deflate data.
#include "bit_output.h"

using namespace kavo;

// Shared by the three initialisations; out_cursor is left alone, it means nothing between calls.
void kavo::init_stream(kavo_stream *s, uint16_t state, int level, int format, uint32_t checksum) {
    s->bit_queue = 0;
    s->queued_bits = 0;
    s->state = state;
    s->level = unsigned(level) & 1u;
    s->format = unsigned(format) & 3u;
    s->window_shrink = 0;
    s->checksum = checksum;
    s->input_total = 0;
}

int deflate_init(kavo_stream *stream, int level) {
    // Raw deflate has no header, so the stream starts between blocks.
    init_stream(stream, ST_BETWEEN_BLOCKS, level, KAVO_FMT_DEFLATE, 0);
    return 0;
}

void kavo_set_window(kavo_stream *stream, int window_bits) {
    const int bits = window_bits < 9 ? 9 : window_bits > 15 ? 15 : window_bits;
    stream->window_shrink = unsigned(15 - bits) & 7u;
}

void kavo::emit_stored_blocks(kavo_stream *stream, const uint8_t *in, uint32_t len, int more) {
    bit_writer w(stream);
    uint32_t remaining = len;
    // At least one block, so that len 0 still writes an (empty) stored block.
    do {
        const uint32_t chunk = remaining < STORED_BLOCK_MAX ? remaining : STORED_BLOCK_MAX;
        remaining -= chunk;
        // Any state but "between blocks" means a fixed block is open: end it first. Only the
        // first chunk can find it open; every chunk leaves the stream between blocks or finished.
        if (stream->state != ST_BETWEEN_BLOCKS)
            w.push(0, 7);
        const uint32_t final_block = (more == 0 && remaining == 0) ? 1u : 0u;
        stream->state = final_block ? ST_FINISHED : ST_BETWEEN_BLOCKS;
        w.push(final_block, 3);
        w.flush_to_byte();
        w.cursor[0] = uint8_t(chunk);
        w.cursor[1] = uint8_t(chunk >> 8);
        w.cursor[2] = uint8_t(~chunk);
        w.cursor[3] = uint8_t(~chunk >> 8);
        if (chunk != 0)  // an empty block may come with no input pointer at all
            std::memcpy(w.cursor + 4, in, chunk);
        w.cursor += 4 + chunk;
        in += chunk;
    } while (remaining != 0);
    w.save(stream);
}

int deflate_finish(kavo_stream *stream, uint8_t *out) {
    stream->out_cursor = out;
    bit_writer w(stream);
    switch (stream->state) {
    case ST_FINISHED:
        break;
    case ST_IN_LAST_FIXED:
        w.push(0, 7);  // end of the open final block
        break;
    case ST_IN_FIXED:
        w.push(0, 7);  // end of the open block, then an empty final one as below
        [[fallthrough]];
    default:
        // An empty final fixed block: header BFINAL=1 BTYPE=01, then end-of-block.
        w.push(3, 3);
        w.push(0, 7);
        break;
    }
    stream->state = ST_FINISHED;
    w.flush_to_byte();
    w.save(stream);
    return int(stream->out_cursor - out);
}

int deflate_sync_flush(kavo_stream *stream, uint8_t *out) {
    stream->out_cursor = out;
    // An empty stored block closes an open fixed block first and ends on a byte boundary.
    emit_stored_blocks(stream, nullptr, 0, 1);
    return int(stream->out_cursor - out);
}
