// The function compress: a whole bytes-like object in one call, read in place, on one thread or several.
#include "binding.h"

using namespace kavo_binding;

void kavo_binding::bind_compress(py::module_ &m) {
    // The same stream and bytes as compressobj(level, format).compress(data) + flush(), whatever
    // the number of threads.
    m.def(
        "compress",
        [](py::handle data, int level, int format, int threads) {
            threads = thread_count(threads);
            input_buffer in(data);
            kavo_stream s;
            stream_init(&s, level, format);
            return compress_whole(&s, in, threads);
        },
        py::arg("data"), py::arg("level") = 1, py::arg("format") = int(KAVO_FMT_DEFLATE), py::kw_only(),
        py::arg("threads") = 1);

    // For the tests and the benchmark: compress with threads and a plan of chunk and log sizes
    // (0 chooses), and what the threads did.
    m.def(
        "_compress_plan",
        [](py::handle data, int level, int format, int threads, uint32_t chunk, uint32_t log_span) {
            threads = thread_count(threads);
            input_buffer in(data);
            kavo_stream s;
            stream_init(&s, level, format);
            kavo::parallel_plan plan;
            plan.chunk = chunk;
            plan.log_span = log_span;
            kavo::parallel_report r;
            py::bytes out = compress_whole(&s, in, threads, plan, &r);
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
}
