// Blocks of a stream compressed on worker threads and handed back in order, for the gzip writer
// and the command line. The workers run engine code only and never touch Python.
#ifndef KAVO_BLOCK_PIPELINE_H
#define KAVO_BLOCK_PIPELINE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "deflate_segment.h"

namespace kavo {

// Bytes whose growth leaves the new ones unset, for output written over at once: clearing the room
// of a job's members first (over a megabyte a job) would cost time beside the encoding.
template <typename T>
struct uninitialized_allocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = uninitialized_allocator<U>;
    };
    uninitialized_allocator() noexcept = default;
    template <typename U>
    uninitialized_allocator(const uninitialized_allocator<U> &) noexcept {}
    template <typename U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};
using output_bytes = std::vector<uint8_t, uninitialized_allocator<uint8_t>>;

// One block: its input, and once a worker is done, its segment (see deflate_encode_segment), or
// for BGZF the members of its input one after another, with their sizes.
struct block_job {
    std::vector<uint8_t> input;
    std::vector<uint8_t> encoded;
    kavo_segment segment{};
    output_bytes member_bytes;
    std::vector<uint32_t> members;
    bool done = false;
};

// Cuts a job's input into BGZF members of BGZF_BLOCK_INPUT bytes (the last one shorter when the
// input ends sooner) and encodes them into job.member_bytes, their sizes into job.members.
void encode_bgzf_members(block_job &job, int level);

// A fixed number of workers encode submitted blocks as segments, any number at once; the owner
// takes them back in submission order and splices them into its stream. Only the owner's thread
// calls the member functions.
class block_pipeline {
  public:
    // bgzf: the workers encode each job's input as BGZF members instead of as a segment.
    block_pipeline(int workers, int level, int window_bits, bool bgzf = false);
    ~block_pipeline();  // stops and joins the workers; blocks not taken back are dropped
    block_pipeline(const block_pipeline &) = delete;
    block_pipeline &operator=(const block_pipeline &) = delete;

    void submit(std::shared_ptr<block_job> job);
    size_t in_flight() const { return order_.size(); }
    // The oldest block not yet taken back, waiting until it is encoded; null when none is in flight.
    std::shared_ptr<block_job> take_oldest();

  private:
    void work();

    const int level_, window_bits_;
    const bool bgzf_;
    std::mutex mutex_;
    std::condition_variable work_ready_, job_done_;
    std::deque<std::shared_ptr<block_job>> waiting_;  // not yet picked up by a worker
    std::deque<std::shared_ptr<block_job>> order_;    // every block in flight, oldest first
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Appends a taken-back block to a stream (any format): returns the bytes written at out, which
// must hold splice_bound(job.segment) bytes.
size_t splice_block(kavo_stream *stream, uint8_t *out, const block_job &job);

}  // namespace kavo

#endif
