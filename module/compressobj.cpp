// The binding of class compressobj: one stream, compress() pieces of bytes, flush() once.
#include <memory>

#include "binding.h"

using namespace kavo_binding;

namespace {

class kavo_compressobj {
  public:
    kavo_compressobj(int level, int format) { stream_init(&stream_, level, format); }

    py::bytes compress(const py::bytes &obj) {
        call_guard guard(mutex_);
        check_usable();
        if (finished_)
            throw py::value_error("compress() called after flush()");
        // The real length of the byte contents, also for a subclass that overrides __len__.
        const auto *in = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(obj.ptr()));
        const uint64_t n = uint64_t(PyBytes_GET_SIZE(obj.ptr()));
        // The result is created at the largest size the call may write: when it cannot be, the
        // stream has not moved yet.
        return encode_into(
            new_result(compress_room(stream_.format, n)), [&](uint8_t *out) { return encode_all(&stream_, out, in, n, 1); },
            [this] { lose_output(); });
    }

    py::bytes flush() {
        call_guard guard(mutex_);
        check_usable();
        // The stream is complete after the first flush; finishing it again would append a
        // second trailer and spoil the member, so later flushes add nothing.
        if (finished_)
            return py::bytes();
        uint8_t out[FINISH_ROOM];
        size_t written;
        {
            py::gil_scoped_release unlocked;
            written = size_t(stream_finish(&stream_, out));
        }
        finished_ = true;
        PyObject *result = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out), Py_ssize_t(written));
        if (!result)
            lose_output();
        return py::reinterpret_steal<py::bytes>(result);
    }

  private:
    void check_usable() const {
        if (failed_)
            throw std::runtime_error("compressobj is unusable: an earlier call lost its output");
    }

    // The stream has moved on without the bytes of this call: whatever followed would be corrupt,
    // so the object refuses all further work.
    [[noreturn]] void lose_output() {
        failed_ = true;
        raise_no_result();
    }

    kavo_stream stream_{};
    std::mutex mutex_;
    bool finished_ = false;
    bool failed_ = false;
};

}  // namespace

void kavo_binding::bind_compressobj(py::module_ &m) {
    using self = self_ref<kavo_compressobj>;
    py::class_<kavo_compressobj, std::shared_ptr<kavo_compressobj>>(m, "compressobj")
        .def(py::init<int, int>(), py::arg("level") = 1, py::arg("format") = 2)
        .def("compress", [](self s, const py::bytes &obj) { return s->compress(obj); }, py::arg("obj"))
        .def("flush", [](self s) { return s->flush(); });
}
