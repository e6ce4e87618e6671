// The helpers every binding shares: results made in place, input buffers, whole-input compression.
#include "binding.h"

namespace kavo_binding {

PyObject *new_output(uint64_t size) {
    PyObject *result = size <= uint64_t(PY_SSIZE_T_MAX) ? PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size))
                                                        : PyErr_NoMemory();
    if (!result)
        throw py::error_already_set();
    return result;
}

PyObject *new_result(uint64_t size) {
    try {
        return new_output(size);
    } catch (py::error_already_set &e) {
        e.restore();  // the MemoryError becomes the cause
        raise_no_result();
    }
}

void raise_no_result() {
    py::raise_from(PyExc_RuntimeError, "Could not allocate bytes object!");
    throw py::error_already_set();
}

input_buffer::input_buffer(py::handle obj) {
    if (!PyObject_CheckBuffer(obj.ptr()))
        throw py::type_error(std::string("a bytes-like object is required, not '") + Py_TYPE(obj.ptr())->tp_name +
                             "'");
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0)
        throw py::error_already_set();
}

uint64_t compress_room(int format, uint64_t n) {
    uint64_t room = uint64_t(header_size(format));
    do {
        const uint64_t piece = n < uint64_t(MAX_ENGINE_CALL) ? n : uint64_t(MAX_ENGINE_CALL);
        room += deflate_encode_bound(piece);
        n -= piece;
    } while (n > 0);
    return room;
}

size_t encode_all(kavo_stream *s, uint8_t *out, const uint8_t *in, uint64_t n, int more, int threads,
                  uint64_t room, const kavo::parallel_plan &plan, kavo::parallel_report *report) {
    size_t written = 0;
    uint64_t done = 0;
    do {
        const uint64_t piece = n - done < uint64_t(MAX_ENGINE_CALL) ? n - done : uint64_t(MAX_ENGINE_CALL);
        // Only the last piece may close the stream.
        const int piece_more = done + piece < n ? 1 : more;
        if (threads > 1 && piece_more)
            kavo::parallel_encode(s, out + written, room > written ? room - written : 0, in + done, int32_t(piece),
                                  threads, plan, report);
        else
            stream_encode(s, out + written, in + done, int32_t(piece), piece_more);
        written = size_t(s->out_cursor - out);
        done += piece;
    } while (done < n);
    return written;
}


int usable_cores() {
    py::module_ os = py::module_::import("os");
    if (py::hasattr(os, "sched_getaffinity"))
        return int(py::len(os.attr("sched_getaffinity")(0)));
    py::object n = os.attr("cpu_count")();
    return n.is_none() ? 1 : n.cast<int>();
}

int thread_count(int threads) {
    if (threads == 0)
        threads = usable_cores();
    if (threads < 0 || threads > MAX_THREADS)
        throw py::value_error("threads must be 0 (every core) or 1 to " + std::to_string(MAX_THREADS));
    return threads;
}

py::bytes compress_whole(kavo_stream *s, const input_buffer &in, int threads, const kavo::parallel_plan &plan,
                         kavo::parallel_report *report) {
    const uint64_t room = compress_room(s->format, in.size()) + FINISH_ROOM;
    PyObject *result = new_output(room);
    auto *out = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(result));
    size_t written;
    {
        py::gil_scoped_release unlocked;
        written = encode_all(s, out, in.data(), in.size(), 1, threads, room, plan, report);
        written += size_t(stream_finish(s, out + written));
    }
    return cut_result(result, written, [] { throw py::error_already_set(); });
}

}  // namespace kavo_binding
