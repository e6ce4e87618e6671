// The Python binding: class compressobj and the format constants of the module kavo.
#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <new>

#include "kavo.h"

namespace py = pybind11;

namespace {

// Largest input one engine call takes: n + n / 16 must still fit a signed 32-bit int. Longer
// inputs are cut into consecutive engine calls of this size, which the stream continues
// exactly as if the caller had passed the pieces one by one.
constexpr int64_t MAX_ENGINE_CALL = 2021161080;

// Room one engine call may write: the engine's bound, never less than the historical growth
// rules (n + n / 16 for compress, 12 for flush), plus the header while it is pending.
constexpr uint64_t encode_room(uint64_t n) {
    const uint64_t rule = n + n / 16;
    const uint64_t bound = deflate_encode_bound(n);
    return rule > bound ? rule : bound;
}

constexpr int header_size(int format) {
    return format == KAVO_FMT_GZIP ? GZIP_HEADER_SIZE : format == KAVO_FMT_ZLIB ? ZLIB_HEADER_SIZE : 0;
}

// A finish writes at most 20 bytes for gzip (header still pending), 10 for zlib, 6 raw.
constexpr int finish_room(int format) { return format == KAVO_FMT_GZIP ? GZIP_FINISH_BOUND : 12; }
static_assert(ZLIB_FINISH_BOUND <= 12 && DEFLATE_FINISH_BOUND <= 12, "flush room too small");

}  // namespace

class kavo_compressobj {
  public:
    kavo_compressobj(int level, int format) {
        if (format == KAVO_FMT_GZIP)
            gzip_init(&stream_, level);
        else if (format == KAVO_FMT_ZLIB)
            zlib_init(&stream_, level);
        else
            deflate_init(&stream_, level);
    }

    py::bytes compress(const py::bytes &obj) {
        call_guard guard(*this);
        if (finished_)
            throw py::value_error("compress() called after flush()");
        // The real length of the byte contents, also for a subclass that overrides __len__.
        const auto *in = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(obj.ptr()));
        const int64_t n = PyBytes_GET_SIZE(obj.ptr());

        uint64_t room = uint64_t(header_size(stream_.format));
        int64_t left = n;
        do {
            const int64_t piece = left < MAX_ENGINE_CALL ? left : MAX_ENGINE_CALL;
            room += encode_room(uint64_t(piece));
            left -= piece;
        } while (left > 0);
        reserve(room);

        size_t written = 0;
        {
            py::gil_scoped_release unlocked;
            int64_t done = 0;
            do {
                const int64_t piece = n - done < MAX_ENGINE_CALL ? n - done : MAX_ENGINE_CALL;
                written += size_t(encode(buffer_.get() + written, in + done, int32_t(piece)));
                done += piece;
            } while (done < n);
        }
        return make_result(written);
    }

    py::bytes flush() {
        call_guard guard(*this);
        // The stream is complete after the first flush; finishing it again would append a
        // second trailer and spoil the member, so later flushes add nothing.
        if (finished_)
            return py::bytes();
        reserve(uint64_t(finish_room(stream_.format)));
        size_t written;
        {
            py::gil_scoped_release unlocked;
            written = size_t(finish(buffer_.get()));
        }
        finished_ = true;
        return make_result(written);
    }

  private:
    // Serialises the calls on one object. A call that finds the object busy waits without the
    // interpreter lock, so the thread inside the engine can take the lock back and finish.
    class call_guard {
      public:
        explicit call_guard(kavo_compressobj &self) : lock_(self.mutex_, std::try_to_lock) {
            if (!lock_.owns_lock()) {
                py::gil_scoped_release unlocked;
                lock_.lock();
            }
            if (self.failed_)
                throw std::runtime_error("compressobj is unusable: an earlier call lost its output");
        }

      private:
        std::unique_lock<std::mutex> lock_;
    };

    int encode(uint8_t *out, const uint8_t *in, int32_t len) {
        switch (stream_.format) {
        case KAVO_FMT_GZIP:
            return gzip_encode(&stream_, out, in, len, 1);
        case KAVO_FMT_ZLIB:
            return zlib_encode(&stream_, out, in, len, 1);
        default:
            return deflate_encode(&stream_, out, in, len, 1);
        }
    }

    int finish(uint8_t *out) {
        switch (stream_.format) {
        case KAVO_FMT_GZIP:
            return gzip_finish(&stream_, out);
        case KAVO_FMT_ZLIB:
            return zlib_finish(&stream_, out);
        default:
            return deflate_finish(&stream_, out);
        }
    }

    // Grows the buffer to at least room bytes; never shrinks it. Its old contents do not matter,
    // so a larger area replaces it without a copy. A failed allocation leaves everything as it
    // was and surfaces as MemoryError before the stream is touched.
    void reserve(uint64_t room) {
        if (room <= buffer_size_)
            return;
        if (room > uint64_t(PY_SSIZE_T_MAX))
            throw std::bad_alloc();
        buffer_.reset();  // free first: the old contents are not needed, and peak memory drops
        buffer_size_ = 0;
        buffer_.reset(new uint8_t[size_t(room)]);
        buffer_size_ = room;
    }

    py::bytes make_result(size_t count) {
        PyObject *result = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(buffer_.get()), Py_ssize_t(count));
        if (!result) {
            // The stream has moved on without these bytes: any later output would be corrupt.
            failed_ = true;
            py::raise_from(PyExc_RuntimeError, "Could not allocate bytes object!");
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::bytes>(result);
    }

    kavo_stream stream_{};
    std::unique_ptr<uint8_t[]> buffer_;
    uint64_t buffer_size_ = 0;
    std::mutex mutex_;
    bool finished_ = false;
    bool failed_ = false;
};

PYBIND11_MODULE(kavo, m) {
    py::class_<kavo_compressobj, std::shared_ptr<kavo_compressobj>>(m, "compressobj")
        .def(py::init<int, int>(), py::arg("level") = 1, py::arg("format") = 2)
        .def("compress", &kavo_compressobj::compress, py::arg("obj"))
        .def("flush", &kavo_compressobj::flush);
    m.attr("KAVO_FMT_GZIP") = py::int_(int(KAVO_FMT_GZIP));
    m.attr("KAVO_FMT_ZLIB") = py::int_(int(KAVO_FMT_ZLIB));
    m.attr("KAVO_FMT_DEFLATE") = py::int_(int(KAVO_FMT_DEFLATE));
}
