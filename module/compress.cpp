// The function compress: a whole bytes-like object in one call, read in place, on one thread or several.
#include <string>
#include <vector>

#include "binding.h"
#include "stream_writer.h"

using namespace kavo_binding;

void kavo_binding::bind_compress(py::module_ &m) {
    // The same stream and bytes as compressobj(0 if level == 0 else 1, format).compress(data) +
    // flush(), whatever the number of threads, with the gzip header's fields where given.
    m.def(
        "compress",
        [](py::handle data, int level, int format, long long threads, py::handle mtime, py::handle fname) {
            whole_call call;
            const int engine_level = checked_level(level);
            call.threads = thread_count(threads);
            call.header = gzip_header_fields_of(mtime, fname, format);
            input_buffer in(data);
            kavo_stream s;
            stream_init(&s, engine_level, format);
            return compress_whole(&s, in, call);
        },
        py::arg("data"), py::arg("level") = 1, py::arg("format") = int(KAVO_FMT_DEFLATE), py::kw_only(),
        py::arg("threads") = 1, py::arg("mtime") = py::none(), py::arg("fname") = py::none());

    // The bytes kavo.open(..., "wb", level, bgzf=True, threads=threads) writes for data in one write().
    m.def(
        "compress_bgzf",
        [](py::handle data, int level, long long threads) {
            kavo::writer_settings settings;
            settings.level = checked_level(level);
            settings.threads = thread_count(threads);
            settings.bgzf = true;
            input_buffer in(data);
            std::string out;
            {
                py::gil_scoped_release unlocked;
                out.reserve(size_t(in.size()) + size_t(in.size()) / 8 + BGZF_EOF_SIZE);
                kavo::stream_writer writer(settings, [&](const uint8_t *p, size_t n) {
                    out.append(reinterpret_cast<const char *>(p), n);
                }, [](const std::function<void()> &f) { f(); });
                writer.write(in.data(), size_t(in.size()));
                writer.finish();
                writer.stop();
            }
            return py::bytes(out);
        },
        py::arg("data"), py::arg("level") = 1, py::kw_only(), py::arg("threads") = 1);

    // For the tests and the benchmark: compress with threads and a plan of chunk and log sizes
    // (0 chooses), and what the threads did.
    m.def(
        "_compress_plan",
        [](py::handle data, int level, int format, long long threads, uint32_t chunk, uint32_t log_span) {
            whole_call call;
            const int engine_level = checked_level(level);
            call.threads = thread_count(threads);
            call.plan.chunk = chunk;
            call.plan.log_span = log_span;
            kavo::parallel_report r;
            call.report = &r;
            input_buffer in(data);
            kavo_stream s;
            stream_init(&s, engine_level, format);
            py::bytes out = compress_whole(&s, in, call);
            py::dict report;
            report["parsed"] = r.parsed;
            report["worst_join"] = r.worst_join;
            report["threads"] = r.threads;
            report["chunks"] = r.chunks;
            report["joined"] = r.joined;
            report["taken_over"] = r.taken_over;
            return py::make_tuple(out, report);
        },
        py::arg("data"), py::arg("level"), py::arg("format"), py::arg("threads"), py::arg("chunk"),
        py::arg("log_span"));

    // For the tests and the benchmark: the compiled forms of level 1 this CPU runs, best first, and
    // the one in use, switched to another of them when named (every form writes the same bytes).
    auto variants = [] {
        const char *names[8];
        const int count = engine_variants(names, 8);
        std::vector<std::string> out;
        for (int i = 0; i < count && i < 8; ++i)
            out.emplace_back(names[i]);
        return out;
    };
    m.def("_engine_variants", [variants] {
        py::list out;
        for (const std::string &v : variants())
            out.append(py::str(v));
        return out;
    });
    m.def(
        "_engine_variant",
        [variants](py::object name) {
            if (!name.is_none()) {
                const std::string wanted = py::str(name);
                if (!set_engine_variant(wanted.c_str())) {
                    std::string known;
                    for (const std::string &v : variants())
                        known += (known.empty() ? "" : ", ") + v;
                    throw py::value_error("engine variant '" + wanted + "' does not run here; these do: " + known);
                }
            }
            return std::string(engine_variant());
        },
        py::arg("name") = py::none());
}
