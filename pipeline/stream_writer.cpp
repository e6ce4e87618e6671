// The stream writer: blocks filled, encoded here or by the workers, spliced and written in order.
#include "stream_writer.h"

#include <algorithm>

#include "bit_output.h"

namespace kavo {

stream_writer::stream_writer(const writer_settings &settings, sink out, unlocked unlock)
    : block_size_(settings.bgzf ? BGZF_JOB_INPUT : settings.block_size), limit_(settings.threads > 1 ? 2 * size_t(settings.threads) : 0),
      out_(std::move(out)), unlock_(std::move(unlock)), bgzf_(settings.bgzf) {
    stream_init(&stream_, settings.level, settings.format);
    if (!bgzf_ && settings.format == KAVO_FMT_GZIP && (settings.mtime != 0 || settings.has_name)) {
        const gzip_header_fields fields = {
            settings.mtime, settings.has_name ? reinterpret_cast<const uint8_t *>(settings.name.data()) : nullptr,
            settings.name.size()};
        header_.resize(size_t(gzip_header_bound(fields.name_len)));
        header_.resize(gzip_send_header_fields(&stream_, header_.data(), &fields));
    }
    if (settings.threads > 1)
        pipeline_.reset(new block_pipeline(settings.threads, stream_.level, stream_window_bits(stream_), bgzf_));
}

void stream_writer::write(const uint8_t *data, size_t n) {
    while (n > 0) {
        if (current_.capacity() < block_size_)
            current_.reserve(block_size_);
        const size_t take = std::min(n, block_size_ - current_.size());
        current_.insert(current_.end(), data, data + take);
        data += take;
        n -= take;
        data_since_sync_ = true;
        if (current_.size() == block_size_)
            end_block();
    }
}

void stream_writer::flush() {
    end_block();
    drain(0);
    if (!bgzf_ && data_since_sync_) {
        uint8_t out[SYNC_FLUSH_BOUND];
        const int n = stream_sync_flush(&stream_, out);
        data_since_sync_ = false;
        send(out, size_t(n));
    }
}

void stream_writer::finish() {
    end_block();
    drain(0);
    if (bgzf_) {
        send(BGZF_EOF, BGZF_EOF_SIZE);
        return;
    }
    uint8_t out[GZIP_FINISH_BOUND];
    send(out, size_t(stream_finish(&stream_, out)));
}

void stream_writer::stop() {
    unlock_([&] { pipeline_.reset(); });
}

void stream_writer::abandon() { (void)pipeline_.release(); }

// The block so far goes to a worker, or is encoded here when there are none.
void stream_writer::end_block() {
    if (current_.empty())
        return;
    if (!pipeline_ && bgzf_) {
        inline_job_.input.swap(current_);
        unlock_([&] { encode_bgzf_members(inline_job_, stream_.level); });
        inline_job_.input.swap(current_);
        const size_t input_size = current_.size();
        current_.clear();
        send_members(inline_job_, input_size);
        return;
    }
    if (!pipeline_) {
        buffer_.resize(size_t(deflate_encode_bound(current_.size())) + GZIP_HEADER_SIZE);
        int n = 0;
        unlock_([&] { n = stream_encode(&stream_, buffer_.data(), current_.data(), int32_t(current_.size()), 1); });
        current_.clear();
        send(buffer_.data(), size_t(n));
        return;
    }
    drain(limit_ - 1);
    auto job = std::make_shared<block_job>();
    job->input.swap(current_);
    pipeline_->submit(std::move(job));
}

// Takes finished blocks back in order and writes them until at most `keep` are in flight.
void stream_writer::drain(size_t keep) {
    while (pipeline_ && pipeline_->in_flight() > keep) {
        std::shared_ptr<block_job> job;
        unlock_([&] { job = pipeline_->take_oldest(); });
        if (bgzf_) {
            send_members(*job, job->input.size());
            continue;
        }
        buffer_.resize(size_t(splice_bound(job->segment)));
        const int n = splice_block(&stream_, buffer_.data(), *job);
        send(buffer_.data(), size_t(n));
    }
}

// A job's members go out together; once the sink has taken them, they join the index.
void stream_writer::send_members(const block_job &job, uint64_t input_size) {
    send(job.member_bytes.data(), job.member_bytes.size());
    uint64_t input_left = input_size;
    for (uint32_t size : job.members) {
        if (!first_member_)
            index_.push_back(next_);
        first_member_ = false;
        const uint64_t len = input_left < BGZF_BLOCK_INPUT ? input_left : BGZF_BLOCK_INPUT;
        next_.compressed += size;
        next_.uncompressed += len;
        input_left -= len;
    }
}

std::vector<uint8_t> stream_writer::gzi_bytes() const {
    std::vector<uint8_t> out(8 + 16 * index_.size());
    store64le(out.data(), index_.size());
    for (size_t i = 0; i < index_.size(); ++i) {
        store64le(out.data() + 8 + 16 * i, index_[i].compressed);
        store64le(out.data() + 16 + 16 * i, index_[i].uncompressed);
    }
    return out;
}

// The header with fields goes out ahead of the stream's first bytes, which the stream wrote without
// a header of its own.
void stream_writer::send(const uint8_t *p, size_t n) {
    if (!header_.empty()) {
        out_(header_.data(), header_.size());
        header_.clear();
    }
    out_(p, n);
}

}  // namespace kavo
