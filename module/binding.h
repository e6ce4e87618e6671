// What the bindings share: a checked self, results written in place, per-object call locks, buffers.
#ifndef KAVO_BINDING_H
#define KAVO_BINDING_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

#include "kavo.h"
#include "options.h"
#include "parallel_encode.h"

namespace py = pybind11;

namespace kavo_binding {

// The object a method runs on, checked before any of its memory is touched. A method bound from a
// member function pointer takes self as a pointer, which pybind11 fills with null for None, and an
// instance made by __new__ alone (or by a subclass that skipped the base __init__) has storage
// that no constructor ever ran on; both would run the method on garbage. Every method of every
// class here takes its self as a self_ref instead, whose caster refuses both with TypeError.
template <typename T>
class self_ref {
  public:
    self_ref() = default;
    explicit self_ref(T *p) : p_(p) {}
    T *operator->() const { return p_; }
    T &operator*() const { return *p_; }

  private:
    T *p_ = nullptr;
};

}  // namespace kavo_binding

namespace pybind11 {
namespace detail {

template <typename T>
class type_caster<kavo_binding::self_ref<T>> {
  public:
    // The signature line shows the class itself, as for a method bound directly.
    static constexpr auto name = make_caster<T>::name;

    bool load(handle src, bool) {
        const type_info *info = get_type_info(typeid(T));
        if (!info)
            return false;
        const std::string full_name = info->type->tp_name;  // "kavo.compressobj"
        if (!PyObject_TypeCheck(src.ptr(), info->type))
            throw type_error("a method of " + full_name + " was called on a '" + Py_TYPE(src.ptr())->tp_name +
                             "' object");
        value_and_holder v_h = reinterpret_cast<instance *>(src.ptr())->get_value_and_holder(info, false);
        if (!v_h || !v_h.holder_constructed())
            throw type_error(full_name.substr(full_name.rfind('.') + 1) +
                             " object is not initialized: __init__ was not called");
        value = kavo_binding::self_ref<T>(v_h.template value_ptr<T>());
        return true;
    }

    template <typename U>
    using cast_op_type = kavo_binding::self_ref<T>;
    operator kavo_binding::self_ref<T>() { return value; }

  private:
    kavo_binding::self_ref<T> value;
};

}  // namespace detail
}  // namespace pybind11

namespace kavo_binding {

// Serialises the calls on one object. A call that finds the object busy waits without the
// interpreter lock, so that the thread inside the engine can take the lock back and finish.
class call_guard {
  public:
    explicit call_guard(std::mutex &m) : lock_(m, std::try_to_lock) {
        if (!lock_.owns_lock()) {
            py::gil_scoped_release unlocked;
            lock_.lock();
        }
    }

  private:
    std::unique_lock<std::mutex> lock_;
};

// A bytes object of the given size, its contents still to be written. Nothing has been encoded
// yet when it is made, so a failure here leaves the stream as it was.
PyObject *new_result(uint64_t size);

// Cuts a result made by new_result to the bytes written. Shrinking may still fail (the object is
// then freed): on_lost runs, and the caller's output is gone.
template <typename OnLost>
py::bytes cut_result(PyObject *result, size_t written, OnLost on_lost) {
    if (size_t(PyBytes_GET_SIZE(result)) != written && _PyBytes_Resize(&result, Py_ssize_t(written)) != 0)
        on_lost();
    return py::reinterpret_steal<py::bytes>(result);
}

// One step of a stream written straight into the bytes object the caller gets: result was made at
// the largest size the step may write, encode(out) runs without the interpreter lock and returns the
// bytes it wrote, and the result is cut to them.
template <typename Encode, typename OnLost>
py::bytes encode_into(PyObject *result, Encode encode, OnLost on_lost) {
    auto *out = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(result));
    size_t written;
    {
        py::gil_scoped_release unlocked;
        written = encode(out);
    }
    return cut_result(result, written, on_lost);
}

// RuntimeError("Could not allocate bytes object!") chained to the interpreter's MemoryError.
[[noreturn]] void raise_no_result();

// A C-contiguous bytes-like argument, read in place: the buffer stays exported, and so unchanged
// in size, until this is dropped. TypeError for an object without the buffer protocol, BufferError
// for a buffer that is not contiguous, as the standard library's compressors raise them.
class input_buffer {
  public:
    explicit input_buffer(py::handle obj);
    ~input_buffer() { PyBuffer_Release(&view_); }
    input_buffer(const input_buffer &) = delete;
    input_buffer &operator=(const input_buffer &) = delete;

    const uint8_t *data() const { return static_cast<const uint8_t *>(view_.buf); }
    uint64_t size() const { return uint64_t(view_.len); }

  private:
    Py_buffer view_;
};

// Largest input the module passes to one engine call. A longer input is encoded as consecutive
// engine calls of this size, exactly as if the caller had passed those pieces one by one; since every
// engine call starts matching afresh, this number is part of what defines the bytes of such a call,
// and every face that takes long input cuts it here. (It is the largest n for which n + n / 16 fits a
// signed 32-bit int, the limit the first release gave one call; the engine writes more than that on
// input its fixed codes expand, which is why encode_all counts from the cursor.)
constexpr int64_t MAX_ENGINE_CALL = 2021161080;

constexpr int header_size(int format) {
    return format == KAVO_FMT_GZIP ? GZIP_HEADER_SIZE : format == KAVO_FMT_ZLIB ? ZLIB_HEADER_SIZE : 0;
}

// Room for one compress call of n bytes cut into engine calls, the pending header included.
uint64_t compress_room(int format, uint64_t n);

// Encodes n bytes in engine calls of at most MAX_ENGINE_CALL; returns the bytes written. Counted
// from the cursor, not from the int the engine returns: near the largest piece, input that the
// fixed codes expand writes more than 2^31 - 1 bytes.
// With threads > 1, the calls that leave the stream open run on that many threads (the same bytes);
// room, the bytes at out, lets the first of them write there directly.
size_t encode_all(kavo_stream *s, uint8_t *out, const uint8_t *in, uint64_t n, int more, int threads = 1,
                  uint64_t room = 0, const kavo::parallel_plan &plan = {}, kavo::parallel_report *report = nullptr);

// A bytes object of the given size, to be written; MemoryError, as the standard library raises
// it, when it cannot be made. From LARGE_RESULT bytes on, its memory is advised for large pages.
constexpr uint64_t LARGE_RESULT = uint64_t(4) << 20;
PyObject *new_output(uint64_t size);

// The header fields that kavo.open and kavo.compress take for gzip (mtime=, fname=), checked as
// gzip.GzipFile takes them: mtime a number of seconds (a float is truncated), 0 to 2^32 - 1; fname a
// str in Latin-1 or bytes, with no NUL. None, and an empty name, leave the field out. ValueError
// when either is given for another format.
struct header_fields {
    uint32_t mtime = 0;
    bool has_name = false;
    std::string name;
};
header_fields gzip_header_fields_of(py::handle mtime, py::handle fname, int format);

// How compress_whole runs.
struct whole_call {
    int threads = 1;
    header_fields header;
    kavo::parallel_plan plan;
    kavo::parallel_report *report = nullptr;
};

// The whole input through a fresh stream, as one compress() and the flush, with the interpreter
// lock released.
py::bytes compress_whole(kavo_stream *s, const input_buffer &in, const whole_call &call = {});

// The rules of options.h, with the standard library's errors: ValueError naming the rule.
int checked_level(int level);           // the engine's level for a face's level
int thread_count(long long threads);    // the threads to run
size_t checked_block_size(long long size);

// A finish writes at most 20 bytes for gzip (header still pending), 10 for zlib, 6 raw.
constexpr int FINISH_ROOM = GZIP_FINISH_BOUND;
static_assert(ZLIB_FINISH_BOUND <= FINISH_ROOM && DEFLATE_FINISH_BOUND <= FINISH_ROOM, "flush room too small");

// Registration of each Python-facing object, called by the module definition in this order.
void bind_compressobj(py::module_ &m);
void bind_compress(py::module_ &m);
void bind_writer(py::module_ &m);
void bind_zlib(py::module_ &kavo);

}  // namespace kavo_binding

#endif
