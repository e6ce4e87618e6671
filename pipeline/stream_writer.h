// A compressed stream written in blocks, on worker threads or on the caller's, to any sink: the
// core of the module's writer and of the command line.
#ifndef KAVO_STREAM_WRITER_H
#define KAVO_STREAM_WRITER_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "block_pipeline.h"
#include "options.h"

namespace kavo {

// The bytes are those of one stream fed the data in blocks of block_size bytes, one encode call
// (more = 1) each, with a sync flush at every flush() that follows new data and the finish at
// finish(). Neither the number of threads nor the sizes of the write() calls change them: a block
// is encoded on its own (each call starts matching afresh) and spliced into the stream exactly
// where the stream itself would have put it. At most 2 * threads blocks are in flight, besides
// the one being filled.
// With bgzf the stream is a BGZF series instead: members of BGZF_BLOCK_INPUT bytes each, a shorter
// one where flush() ends a block, the end-of-file member at finish(); block_size, format and the
// header fields do not apply. Its bytes too depend on the data, the level and the flush points alone.
// What a writer writes. level is the engine's (0 or 1) and threads a count to run (see options.h).
struct writer_settings {
    int level = 1;
    int format = KAVO_FMT_GZIP;
    int threads = 1;
    size_t block_size = DEFAULT_BLOCK_SIZE;
    // gzip only: the header's MTIME and FNAME (see gzip_header_fields); the defaults give the
    // constant header.
    uint32_t mtime = 0;
    bool has_name = false;
    std::string name;
    bool bgzf = false;
};

// Input bytes a BGZF writer hands to a worker at once: a whole number of members, enough that the
// hand-over costs little beside the encoding, few enough that 2 * threads of them stay small.
constexpr size_t BGZF_JOB_INPUT = 16 * size_t(BGZF_BLOCK_INPUT);

// Where a BGZF member starts: its offset in the series and the offset of its input in the data.
struct bgzf_entry {
    uint64_t compressed, uncompressed;
};

class stream_writer {
  public:
    using sink = std::function<void(const uint8_t *, size_t)>;
    // Runs its argument with the caller's own lock let go (the Python writer's interpreter lock),
    // around the waits and the encoding on the caller's thread.
    using unlocked = std::function<void(const std::function<void()> &)>;

    stream_writer(const writer_settings &settings, sink out, unlocked unlock);
    void write(const uint8_t *data, size_t n);
    void flush();
    void finish();
    void stop();     // ends the workers (joining them); the stream stays as it is
    void abandon();  // in a forked child, where the workers do not exist: drops them unjoined
    // BGZF: every member written so far but the first, in order. Only members the sink has taken
    // whole are in it, so it never points past the data written.
    const std::vector<bgzf_entry> &bgzf_index() const { return index_; }
    // The same as a .gzi file holds it: the count, then the pairs, all 64-bit little-endian.
    std::vector<uint8_t> gzi_bytes() const;

  private:
    void end_block();
    void drain(size_t keep);
    void send(const uint8_t *p, size_t n);
    void send_members(const block_job &job, uint64_t input_size);

    kavo_stream stream_{};
    size_t block_size_;
    size_t limit_;
    sink out_;
    unlocked unlock_;
    std::unique_ptr<block_pipeline> pipeline_;
    std::vector<uint8_t> current_, buffer_;
    std::vector<uint8_t> header_;  // a gzip header with fields, sent before the first bytes
    bool data_since_sync_ = false;
    bool bgzf_;
    block_job inline_job_;  // BGZF on the caller's thread: the job it encodes, reused
    std::vector<bgzf_entry> index_;
    bgzf_entry next_{0, 0};  // where the next member starts
    bool first_member_ = true;
};

}  // namespace kavo

#endif
