// The submodule kavo.zlib: the compression half of the standard zlib module on kavo's engine, and
// the rest of the standard module handed through, so that it serves where a zlib module is expected.
#include <climits>
#include <memory>

#include "binding.h"

using namespace kavo_binding;

namespace {

// The standard module's values, which its callers pass in.
constexpr int Z_NO_FLUSH = 0, Z_FINISH = 4, Z_BLOCK = 5;  // Z_PARTIAL_FLUSH 1, Z_SYNC_FLUSH 2, Z_FULL_FLUSH 3
constexpr int DEFLATED = 8, MAX_WBITS = 15, DEF_MEM_LEVEL = 8, Z_DEFAULT_STRATEGY = 0;

// The standard module's error class, looked up at each raise: it is the stdlib's own object, so a
// caller's `except zlib.error` catches what kavo.zlib raises.
[[noreturn]] void raise_zlib_error(const char *message) {
    PyErr_SetString(py::module_::import("zlib").attr("error").ptr(), message);
    throw py::error_already_set();
}

// An int argument as the standard module of the running interpreter takes one, with its errors:
// anything with __index__ (before 3.10 also __int__, with a DeprecationWarning, and floats refused
// first with their own message), OverflowError beyond a C int.
int c_int(py::handle value) {
#if PY_VERSION_HEX < 0x030A0000
    if (PyFloat_Check(value.ptr())) {
        PyErr_SetString(PyExc_TypeError, "integer argument expected, got float");
        throw py::error_already_set();
    }
#endif
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (overflow || v > INT_MAX || v < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        throw py::error_already_set();
    }
    return int(v);
}

// What wbits asks for, as zlib reads it: 8 to 15 a zlib stream, -9 to -15 raw deflate, 25 to 31 a
// gzip member. A zlib stream's window of 2^8 is taken as 2^9, as zlib takes it; raw deflate and
// gzip with 2^8 zlib refuses.
struct container {
    int format;
    int window_bits;
};

bool parse_wbits(int wbits, container *c) {
    if (wbits >= 8 && wbits <= 15)
        *c = {KAVO_FMT_ZLIB, wbits};
    else if (wbits >= -15 && wbits <= -9)
        *c = {KAVO_FMT_DEFLATE, -wbits};
    else if (wbits >= 25 && wbits <= 31)
        *c = {KAVO_FMT_GZIP, wbits - 16};
    else
        return false;
    if (c->window_bits < 9)
        c->window_bits = 9;
    return true;
}

void init_stream(kavo_stream *s, int level, const container &c) {
    stream_init(s, kavo::engine_level(level), c.format);
    kavo_set_window(s, c.window_bits);
}

// zlib orders its flush modes, and a flush that is not stronger than the one before it, with no
// compress() in between, has nothing to do: it returns b"" instead of another empty block. Every
// flush counts as the one before the next, the ones that did nothing too.
int flush_rank(int mode) { return mode == Z_BLOCK ? 1 : mode * 2; }

// The object zlib.compressobj() returns. Every flush but Z_FINISH is kavo's sync flush: all input
// so far decodes and the output ends on a byte boundary. With no history between calls a full
// flush is the same, and partial and block flushes get that stronger promise too.
class zlib_compress {
  public:
    zlib_compress(int level, const container &c) { init_stream(&stream_, level, c); }
    zlib_compress(const zlib_compress &other) : stream_(other.stream_), last_rank_(other.last_rank_) {}

    py::bytes compress(py::handle data) {
        input_buffer in(data);
        call_guard guard(mutex_);
        if (state_ != open)
            raise_zlib_error("Error -2 while compressing data: inconsistent stream state");
        // Made at the largest size the call may write, before the stream moves: a MemoryError
        // here leaves the stream as it was.
        py::bytes result = encode_into(
            new_output(compress_room(stream_.format, in.size())),
            [&](uint8_t *out) { return encode_all(&stream_, out, in.data(), in.size(), 1); }, [this] { lose_output(); });
        last_rank_ = 0;
        return result;
    }

    py::bytes flush(int mode) {
        call_guard guard(mutex_);
        if (mode == Z_NO_FLUSH)
            return py::bytes();
        if (state_ != open || mode < 0 || mode > Z_BLOCK)
            raise_zlib_error("Error -2 while flushing: inconsistent stream state");
        uint8_t out[FINISH_ROOM > SYNC_FLUSH_BOUND ? FINISH_ROOM : SYNC_FLUSH_BOUND];
        size_t written = 0;
        if (mode == Z_FINISH) {
            written = size_t(stream_finish(&stream_, out));
            state_ = finished;
        } else {
            if (flush_rank(mode) > last_rank_)
                written = size_t(stream_sync_flush(&stream_, out));
            last_rank_ = flush_rank(mode);
        }
        PyObject *result = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out), Py_ssize_t(written));
        if (!result)
            lose_output();
        return py::reinterpret_steal<py::bytes>(result);
    }

    std::shared_ptr<zlib_compress> copy() {
        call_guard guard(mutex_);
        if (state_ != open)
            throw py::value_error("Inconsistent stream state");
        return std::make_shared<zlib_compress>(*this);
    }

  private:
    // The stream moved on without the bytes of this call; what followed would be corrupt.
    [[noreturn]] void lose_output() {
        state_ = failed;
        throw py::error_already_set();
    }

    enum { open, finished, failed };
    kavo_stream stream_{};
    std::mutex mutex_;
    int last_rank_ = -1;  // rank of the last flush, 0 after a compress(), -1 at the start
    int state_ = open;
};

py::bytes compress_once(py::handle data, int level, int wbits) {
    container c;
    if (!kavo::level_is_valid(level) || !parse_wbits(wbits, &c))
        raise_zlib_error("Bad compression level");
    input_buffer in(data);
    kavo_stream s;
    init_stream(&s, level, c);
    return compress_whole(&s, in);
}

}  // namespace

void kavo_binding::bind_zlib(py::module_ &kavo) {
    py::module_ m = kavo.def_submodule("zlib");
    m.doc() = "kavo.zlib: the standard zlib module with kavo compressing. compress() and compressobj() take "
              "zlib's arguments and give data any zlib decoder reads; everything else is the standard "
              "module's own object.";
    // The standard module's names first; kavo's own replace the two it compresses with.
    py::module_ std_zlib = py::module_::import("zlib");
    for (py::handle name : py::reinterpret_steal<py::list>(PyObject_Dir(std_zlib.ptr()))) {
        const std::string n = py::str(name);
        if (n.rfind("__", 0) != 0)
            m.attr(name) = std_zlib.attr(name);
    }

    using self = self_ref<zlib_compress>;
    py::class_<zlib_compress, std::shared_ptr<zlib_compress>>(m, "Compress")
        .def("compress", [](self s, py::handle data) { return s->compress(data); }, py::arg("data"), py::pos_only())
        .def("flush", [](self s, py::handle mode) { return s->flush(c_int(mode)); }, py::arg("mode") = Z_FINISH,
             py::pos_only())
        .def("copy", [](self s) { return s->copy(); })
        .def("__copy__", [](self s) { return s->copy(); })
        .def("__deepcopy__", [](self s, py::handle) { return s->copy(); }, py::arg("memo"), py::pos_only());

    m.def(
        "compressobj",
        [](py::handle level_arg, py::handle method_arg, py::handle wbits_arg, py::handle mem_arg,
           py::handle strategy_arg, py::handle zdict) {
            const int level = c_int(level_arg), method = c_int(method_arg), wbits = c_int(wbits_arg);
            const int mem_level = c_int(mem_arg), strategy = c_int(strategy_arg);
            // zdict is taken and not used: nothing is matched against history, so a decoder reads
            // the output with the same dictionary or with none.
            if (!zdict.is_none())
                input_buffer check(zdict);
            container c;
            if (!kavo::level_is_valid(level) || method != DEFLATED || !parse_wbits(wbits, &c) || mem_level < 1 ||
                mem_level > 9 || strategy < 0 || strategy > 4)
                throw py::value_error("Invalid initialization option");
            if (!zdict.is_none() && c.format == KAVO_FMT_GZIP)
                throw py::value_error("Invalid dictionary");  // zlib has no dictionary for gzip
            return std::make_shared<zlib_compress>(level, c);
        },
        py::arg("level") = -1, py::arg("method") = DEFLATED, py::arg("wbits") = MAX_WBITS,
        py::arg("memLevel") = DEF_MEM_LEVEL, py::arg("strategy") = Z_DEFAULT_STRATEGY, py::arg("zdict") = py::none());
    m.def(
        "compress",
        [](py::handle data, py::handle level, py::handle wbits) { return compress_once(data, c_int(level), c_int(wbits)); },
        py::arg("data"), py::pos_only(), py::arg("level") = -1, py::arg("wbits") = MAX_WBITS);

    // `import kavo.zlib` finds the submodule here: kavo is one extension module, not a package.
    py::module_::import("sys").attr("modules")["kavo.zlib"] = m;
}
