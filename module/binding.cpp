// The helpers every binding shares: results made in place, input buffers, whole-input compression.
#include "binding.h"

namespace kavo_binding {

PyObject *new_output(uint64_t size) {
    PyObject *result = size <= uint64_t(PY_SSIZE_T_MAX) ? PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size))
                                                        : PyErr_NoMemory();
    if (!result)
        throw py::error_already_set();
    // A big result is written once from start to end: large pages spare the faults of its fresh
    // pages, most of the time the module spent on such a call beyond the engine's.
    if (size >= LARGE_RESULT)
        kavo::advise_large_pages(PyBytes_AS_STRING(result), size);
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


int checked_level(int level) {
    if (!kavo::level_is_valid(level))
        throw py::value_error("compression level must be " + std::string(kavo::LEVEL_RULE) + ", not " +
                              std::to_string(level));
    return kavo::engine_level(level);
}

int thread_count(long long threads) {
    const int n = kavo::resolve_threads(threads);
    if (n == 0)
        throw py::value_error("threads must be " + std::string(kavo::THREADS_RULE) + ", not " + std::to_string(threads));
    return n;
}

size_t checked_block_size(long long size) {
    if (!kavo::block_size_is_valid(size))
        throw py::value_error("block_size must be " + std::string(kavo::BLOCK_SIZE_RULE) + ", not " +
                              std::to_string(size));
    return size_t(size);
}

header_fields gzip_header_fields_of(py::handle mtime, py::handle fname, int format) {
    header_fields f;
    if (mtime.is_none() && fname.is_none())
        return f;
    if (format != KAVO_FMT_GZIP)
        throw py::value_error("mtime and fname are fields of the gzip header: they need format 0 (gzip)");
    if (!mtime.is_none()) {
        py::object seconds = PyFloat_Check(mtime.ptr()) ? py::int_(py::reinterpret_borrow<py::object>(mtime))
                                                          : py::reinterpret_steal<py::object>(PyNumber_Index(mtime.ptr()));
        if (!seconds)
            throw py::error_already_set();
        if (seconds < py::int_(0) || seconds > py::int_(0xFFFFFFFFu))
            throw py::value_error("mtime must be 0 to 4294967295 seconds, not " + py::repr(seconds).cast<std::string>());
        f.mtime = seconds.cast<uint32_t>();
    }
    if (!fname.is_none()) {
        py::bytes name;
        if (PyUnicode_Check(fname.ptr())) {
            PyObject *latin1 = PyUnicode_AsLatin1String(fname.ptr());
            if (!latin1) {
                PyErr_Clear();
                throw py::value_error("fname must be Latin-1 text (the gzip header's character set), or bytes");
            }
            name = py::reinterpret_steal<py::bytes>(latin1);
        } else if (PyBytes_Check(fname.ptr())) {
            name = py::reinterpret_borrow<py::bytes>(fname);
        } else {
            throw py::type_error(std::string("fname must be str or bytes, not '") + Py_TYPE(fname.ptr())->tp_name + "'");
        }
        f.name = std::string(name);
        if (f.name.find('\0') != std::string::npos)
            throw py::value_error("fname must not contain a NUL byte, which ends the name in the gzip header");
        f.has_name = !f.name.empty();
    }
    return f;
}

py::bytes compress_whole(kavo_stream *s, const input_buffer &in, const whole_call &call) {
    const header_fields &h = call.header;
    const bool fields = h.mtime != 0 || h.has_name;
    const uint64_t room = compress_room(s->format, in.size()) + (fields ? gzip_header_bound(h.name.size()) : 0) +
                          FINISH_ROOM;
    return encode_into(
        new_output(room),
        [&](uint8_t *out) {
            size_t written = 0;
            if (fields) {
                const gzip_header_fields g = {
                    h.mtime, h.has_name ? reinterpret_cast<const uint8_t *>(h.name.data()) : nullptr, h.name.size()};
                written = gzip_send_header_fields(s, out, &g);
            }
            written += encode_all(s, out + written, in.data(), in.size(), 1, call.threads, room - written, call.plan,
                                  call.report);
            return written + size_t(stream_finish(s, out + written));
        },
        [] { throw py::error_already_set(); });
}

}  // namespace kavo_binding
