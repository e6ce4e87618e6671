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

// Room one engine call may write (the container header comes on top while it is pending).
constexpr uint64_t encode_room(uint64_t n) { return deflate_encode_bound(n); }

constexpr int header_size(int format) {
    return format == KAVO_FMT_GZIP ? GZIP_HEADER_SIZE : format == KAVO_FMT_ZLIB ? ZLIB_HEADER_SIZE : 0;
}

// A finish writes at most 20 bytes for gzip (header still pending), 10 for zlib, 6 raw.
constexpr int FINISH_ROOM = GZIP_FINISH_BOUND;
static_assert(ZLIB_FINISH_BOUND <= FINISH_ROOM && DEFLATE_FINISH_BOUND <= FINISH_ROOM, "flush room too small");

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
        // The result is created at the largest size the call may write and cut to what was
        // written: the engine writes straight into the object the caller gets, and when it
        // cannot be created, the stream has not moved yet.
        PyObject *result = new_result(room);
        auto *out = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(result));
        size_t written = 0;
        {
            py::gil_scoped_release unlocked;
            int64_t done = 0;
            do {
                const int64_t piece = n - done < MAX_ENGINE_CALL ? n - done : MAX_ENGINE_CALL;
                // Counted from the cursor, not from the int the engine returns: near the
                // largest piece, input that the fixed codes expand writes more than 2^31 - 1.
                encode(out + written, in + done, int32_t(piece));
                written = size_t(stream_.out_cursor - out);
                done += piece;
            } while (done < n);
        }
        return cut_result(result, written);
    }

    py::bytes flush() {
        call_guard guard(*this);
        // The stream is complete after the first flush; finishing it again would append a
        // second trailer and spoil the member, so later flushes add nothing.
        if (finished_)
            return py::bytes();
        uint8_t out[FINISH_ROOM];
        size_t written;
        {
            py::gil_scoped_release unlocked;
            written = size_t(finish(out));
        }
        finished_ = true;
        PyObject *result = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out), Py_ssize_t(written));
        if (!result)
            lose_output();
        return py::reinterpret_steal<py::bytes>(result);
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

    // A bytes object of the given size, its contents to be written. Nothing has been encoded
    // yet, so a failure here leaves the object as it was.
    static PyObject *new_result(uint64_t size) {
        PyObject *result = nullptr;
        if (size <= uint64_t(PY_SSIZE_T_MAX))
            result = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size));
        else
            PyErr_NoMemory();
        if (!result) {
            py::raise_from(PyExc_RuntimeError, "Could not allocate bytes object!");
            throw py::error_already_set();
        }
        return result;
    }

    // Cuts the result to the bytes written. Shrinking may still fail (the object is then freed),
    // and then this call's output is gone.
    py::bytes cut_result(PyObject *result, size_t written) {
        if (size_t(PyBytes_GET_SIZE(result)) != written && _PyBytes_Resize(&result, Py_ssize_t(written)) != 0)
            lose_output();
        return py::reinterpret_steal<py::bytes>(result);
    }

    // The stream has moved on without the bytes of this call: whatever followed would be corrupt,
    // so the object refuses all further work.
    [[noreturn]] void lose_output() {
        failed_ = true;
        py::raise_from(PyExc_RuntimeError, "Could not allocate bytes object!");
        throw py::error_already_set();
    }

    kavo_stream stream_{};
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
