// One encode call's input compressed on several threads, into the bytes the call writes on one.
#ifndef KAVO_PARALLEL_ENCODE_H
#define KAVO_PARALLEL_ENCODE_H

#include <cstddef>
#include <cstdint>

#include "kavo.h"

namespace kavo {

// How the input is cut; zeros choose by its size. Small values make joins and takeovers happen
// on small inputs, for the tests.
struct parallel_plan {
    uint32_t chunk = 0;     // bytes a worker takes at a time
    uint32_t log_span = 0;  // bytes at a chunk's start whose matches are kept, to find the join
};

// What a call did, for the benchmark and the tests.
struct parallel_report {
    uint64_t parsed = 0;      // bytes parsed by all threads together, the input's length at least
    uint32_t worst_join = 0;  // the farthest a chunk's parse went before it joined the call's own
    int threads = 0;          // threads that ran, the caller's included
    int chunks = 0;
    int joined = 0;           // chunks whose own parse was used
    int taken_over = 0;       // chunks parsed on by an earlier chunk instead
};

// Below this many bytes, a plan of zeros keeps the call on the caller's thread: the parsing that
// the joins repeat would cost more than the threads save.
constexpr uint32_t PARALLEL_MIN_INPUT = 2u << 20;

// Appends len bytes to the stream exactly as stream_encode(s, out, in, len, 1) does, on up to
// `threads` threads, the caller's included; out must hold what that call may write, and room says
// how much it holds (with segment_bound(len) bytes past a pending header, the first thread parses
// straight into it). Returns the bytes written, which near the largest input may exceed what an int holds. Level 0,
// a limited window, a thread that cannot be started or memory that runs short only mean fewer
// threads (down to the caller's alone), never other bytes. No thread outlives the call.
size_t parallel_encode(kavo_stream *s, uint8_t *out, uint64_t room, const uint8_t *in, int32_t len, int threads,
                       const parallel_plan &plan = {}, parallel_report *report = nullptr);

}  // namespace kavo

#endif
