// The class Writer and the function open: a compressed file written in blocks, on several threads.
#include <memory>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define kavo_getpid _getpid
#else
#include <unistd.h>
#define kavo_getpid getpid
#endif

#include "binding.h"
#include "stream_writer.h"

using namespace kavo_binding;

namespace {

// The Python face of the stream writer (see stream_writer.h for what the bytes are): the file is
// any object with write(), the interpreter lock is let go while waiting and encoding, and the
// first error of the file stays with the writer.
class kavo_writer {
  public:
    // index: None, or where a BGZF writer puts its .gzi at close (a path or a file with write()).
    kavo_writer(py::object file, bool owns, std::string mode, const kavo::writer_settings &settings,
                py::object index)
        : file_(std::move(file)), owns_(owns), mode_(std::move(mode)), index_(std::move(index)), pid_(kavo_getpid()),
          core_(settings,
                [this](const uint8_t *p, size_t n) {
                    if (n > 0)
                        file_.attr("write")(py::bytes(reinterpret_cast<const char *>(p), n));
                },
                [](const std::function<void()> &f) {
                    py::gil_scoped_release unlocked;
                    f();
                }) {}

    ~kavo_writer() {
        // A writer dropped without close() still ends its file; an error then has nobody to go to.
        if (!closed_) {
            try {
                close();
            } catch (...) {
            }
            PyErr_Clear();
        }
    }

    size_t write(py::handle data) {
        input_buffer in(data);
        call_guard guard(mutex_);
        check_open();
        guarded([&] { core_.write(in.data(), size_t(in.size())); });
        return size_t(in.size());
    }

    void flush() {
        call_guard guard(mutex_);
        check_open();
        guarded([&] {
            core_.flush();
            if (py::hasattr(file_, "flush"))
                file_.attr("flush")();
        });
    }

    void close() {
        call_guard guard(mutex_);
        if (closed_)
            return;
        closed_ = true;
        if (kavo_getpid() != pid_) {
            // A child of a fork: the workers stayed in the parent, and so does this file's end.
            core_.abandon();
            return;
        }
        py::object error = error_;
        if (!failed_) {
            try {
                core_.finish();
            } catch (py::error_already_set &e) {
                error = e.value();
            } catch (const std::bad_alloc &) {
                error = py::module_::import("builtins").attr("MemoryError")();
            }
        }
        core_.stop();
        if (owns_)
            file_.attr("close")();
        if (error)
            throw_stored(error);
        // Only once every member has reached the file (a file kavo opened is closed by now): an
        // index of a file that failed would point past its end.
        if (!index_.is_none())
            write_index();
    }

    bool closed() const { return closed_; }
    py::object file() const { return file_; }
    const std::string &mode() const { return mode_; }

  private:
    void write_index() {
        const std::vector<uint8_t> gzi = core_.gzi_bytes();
        const py::bytes bytes(reinterpret_cast<const char *>(gzi.data()), gzi.size());
        if (!py::hasattr(index_, "write")) {
            py::object f = py::module_::import("builtins").attr("open")(index_, "wb");
            try {
                f.attr("write")(bytes);
            } catch (...) {
                f.attr("close")();
                throw;
            }
            f.attr("close")();
        } else {
            index_.attr("write")(bytes);
        }
    }

    void check_open() {
        if (closed_)
            throw py::value_error("I/O operation on closed file.");
        if (kavo_getpid() != pid_)
            throw py::value_error("this writer was opened in another process (before a fork)");
        if (failed_)
            throw_stored(error_);
    }

    // A failure of the file, or no memory for a block: the writer keeps the error and raises it
    // again from every later call, since the file no longer holds what was written.
    template <typename F>
    void guarded(F f) {
        try {
            f();
        } catch (py::error_already_set &e) {
            failed_ = true;
            error_ = e.value();
            throw;
        } catch (const std::bad_alloc &) {
            failed_ = true;
            error_ = py::module_::import("builtins").attr("MemoryError")();
            throw_stored(error_);
        }
    }

    [[noreturn]] static void throw_stored(const py::object &error) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }

    py::object file_;
    bool owns_;
    std::string mode_;
    py::object index_;
    long pid_;
    kavo::stream_writer core_;
    std::mutex mutex_;
    bool closed_ = false, failed_ = false;
    py::object error_;
};

}  // namespace

void kavo_binding::bind_writer(py::module_ &m) {
    using self = self_ref<kavo_writer>;
    py::class_<kavo_writer, std::shared_ptr<kavo_writer>> cls(m, "Writer");
    cls.def("write", [](self s, py::handle data) { return s->write(data); }, py::arg("data"), py::pos_only())
        .def("flush", [](self s) { s->flush(); })
        .def("close", [](self s) { s->close(); })
        .def_property_readonly("closed", [](self s) { return s->closed(); })
        .def_property_readonly("name", [](self s) { return s->file().attr("name"); })
        .def_property_readonly("mode", [](self s) { return s->mode(); })
        .def("fileno", [](self s) { return s->file().attr("fileno")(); })
        .def("writable", [](self) { return true; })
        .def("readable", [](self) { return false; })
        .def("seekable", [](self) { return false; })
        .def("isatty", [](self) { return false; })
        .def("__enter__", [](py::object obj) {
            (void)obj.cast<self>();  // refuses a foreign or unconstructed self
            return obj;
        })
        .def("__exit__", [](self s, py::args) { s->close(); });
    py::module_::import("io").attr("BufferedIOBase").attr("register")(cls);

    // gzip.open's parameters, in its order, then kavo's own as keywords.
    m.def(
        "open",
        [](py::object filename, std::string mode, int compresslevel, py::object encoding, py::object errors,
           py::object newline, int format, long long threads, long long block_size, py::object mtime,
           py::object fname, bool bgzf, py::object index) -> py::object {
            // gzip.open's modes: one of r w a x, then b or t at most.
            std::string base;
            int binary = 0, text = 0;
            for (char c : mode) {
                if (c == 'b')
                    ++binary;
                else if (c == 't')
                    ++text;
                else
                    base += c;
            }
            if (base.size() != 1 || base.find_first_of("rwax") != 0 || binary + text > 1)
                throw py::value_error("Invalid mode: " + py::repr(py::str(mode)).cast<std::string>());
            if (!text && !(encoding.is_none() && errors.is_none() && newline.is_none()))
                throw py::value_error(!encoding.is_none() ? "Argument 'encoding' not supported in binary mode"
                                      : !errors.is_none() ? "Argument 'errors' not supported in binary mode"
                                                          : "Argument 'newline' not supported in binary mode");
            const auto is_path_like = [](const py::object &o) {
                return PyUnicode_Check(o.ptr()) || PyBytes_Check(o.ptr()) || py::hasattr(o, "__fspath__");
            };
            if (!index.is_none()) {
                if (!bgzf)
                    throw py::value_error("index is the .gzi of a BGZF file: it needs bgzf=True");
                if (base != "w" && base != "x")
                    throw py::value_error("an index is written for a new file only (mode 'w' or 'x'): appended "
                                          "members would need the old file's index as well");
                if (!is_path_like(index) && !py::hasattr(index, "write"))
                    throw py::type_error("index must be a str or bytes object, or a binary file");
            }
            if (bgzf) {
                if (base == "r")
                    throw py::value_error("bgzf is for writing: read BGZF files with the gzip module");
                if (format != KAVO_FMT_GZIP)
                    throw py::value_error("BGZF is a series of gzip members: format must be KAVO_FMT_GZIP");
                if (block_size != (long long)kavo::DEFAULT_BLOCK_SIZE)
                    throw py::value_error("BGZF members hold 65280 bytes each: block_size does not apply");
                if (!mtime.is_none() || !fname.is_none())
                    throw py::value_error("BGZF member headers are fixed: mtime and fname do not apply");
            }
            if (base == "r") {
                if (format != KAVO_FMT_GZIP)
                    throw py::value_error("kavo reads gzip files only (through the gzip module)");
                if (!mtime.is_none() || !fname.is_none())
                    throw py::value_error("mtime and fname are for writing: a reader takes them from the file");
                return py::module_::import("gzip").attr("open")(filename, mode, 9, encoding, errors, newline);
            }
            kavo::writer_settings settings;
            settings.level = checked_level(compresslevel);
            settings.format = format;
            settings.threads = thread_count(threads);
            settings.block_size = checked_block_size(block_size);
            const header_fields header = gzip_header_fields_of(mtime, fname, format);
            settings.mtime = header.mtime;
            settings.has_name = header.has_name;
            settings.name = header.name;
            settings.bgzf = bgzf;
            const std::string binary_mode = base + "b";
            const bool is_path = is_path_like(filename);
            if (!is_path && !py::hasattr(filename, "write"))
                throw py::type_error("filename must be a str or bytes object, or a file");
            py::object target =
                is_path ? py::module_::import("builtins").attr("open")(filename, binary_mode) : filename;
            py::object writer;
            try {
                writer = py::cast(std::make_shared<kavo_writer>(target, is_path, binary_mode, settings, index));
            } catch (...) {
                if (is_path)
                    target.attr("close")();
                throw;
            }
            if (!text)
                return writer;
            return py::module_::import("io").attr("TextIOWrapper")(writer, encoding, errors, newline);
        },
        py::arg("filename"), py::arg("mode") = "rb", py::arg("compresslevel") = 1, py::arg("encoding") = py::none(),
        py::arg("errors") = py::none(), py::arg("newline") = py::none(), py::kw_only(),
        py::arg("format") = int(KAVO_FMT_GZIP), py::arg("threads") = 1,
        py::arg("block_size") = int64_t(kavo::DEFAULT_BLOCK_SIZE), py::arg("mtime") = py::none(),
        py::arg("fname") = py::none(), py::arg("bgzf") = false, py::arg("index") = py::none());
}
