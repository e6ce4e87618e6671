// The worker threads of the block pipeline.
#include "block_pipeline.h"

namespace kavo {

block_pipeline::block_pipeline(int workers, int level, int window_bits, bool bgzf)
    : level_(level), window_bits_(window_bits), bgzf_(bgzf) {
    threads_.reserve(size_t(workers));
    for (int i = 0; i < workers; ++i)
        threads_.emplace_back([this] { work(); });
}

block_pipeline::~block_pipeline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread &t : threads_)
        t.join();
}

void block_pipeline::submit(std::shared_ptr<block_job> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_back(job);
        order_.push_back(std::move(job));
    }
    work_ready_.notify_one();
}

std::shared_ptr<block_job> block_pipeline::take_oldest() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (order_.empty())
        return nullptr;
    std::shared_ptr<block_job> job = order_.front();
    job_done_.wait(lock, [&] { return job->done; });
    order_.pop_front();
    return job;
}

void block_pipeline::work() {
    for (;;) {
        std::shared_ptr<block_job> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_ready_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
            if (stopping_)
                return;
            job = std::move(waiting_.front());
            waiting_.pop_front();
        }
        if (bgzf_) {
            encode_bgzf_members(*job, level_);
        } else {
            const int32_t n = int32_t(job->input.size());
            job->encoded.resize(size_t(segment_bound(uint64_t(n))));
            deflate_encode_segment(&job->segment, job->encoded.data(), job->input.data(), n, level_, window_bits_);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job->done = true;
        }
        job_done_.notify_all();
    }
}

void encode_bgzf_members(block_job &job, int level) {
    const size_t n = job.input.size();
    const size_t count = (n + BGZF_BLOCK_INPUT - 1) / BGZF_BLOCK_INPUT;
    // Room for every member at its bound; the final resize keeps what the members used.
    job.member_bytes.resize(size_t(count * bgzf_member_bound(BGZF_BLOCK_INPUT)));
    job.members.clear();
    job.members.reserve(count);
    size_t used = 0;
    for (size_t at = 0; at < n; at += BGZF_BLOCK_INPUT) {
        const size_t len = n - at < BGZF_BLOCK_INPUT ? n - at : BGZF_BLOCK_INPUT;
        const size_t size = bgzf_encode_member(job.member_bytes.data() + used, job.input.data() + at, int32_t(len), level);
        job.members.push_back(uint32_t(size));
        used += size;
    }
    job.member_bytes.resize(used);
}

size_t splice_block(kavo_stream *stream, uint8_t *out, const block_job &job) {
    return stream_splice(stream, out, &job.segment, job.encoded.data(), job.input.data(), int32_t(job.input.size()));
}

}  // namespace kavo
