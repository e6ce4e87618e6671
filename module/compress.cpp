// The function compress: a whole bytes-like object in one call, read in place.
#include "binding.h"

using namespace kavo_binding;

void kavo_binding::bind_compress(py::module_ &m) {
    // The same stream and bytes as compressobj(level, format).compress(data) + flush().
    m.def(
        "compress",
        [](py::handle data, int level, int format) {
            input_buffer in(data);
            kavo_stream s;
            stream_init(&s, level, format);
            return compress_whole(&s, in);
        },
        py::arg("data"), py::arg("level") = 1, py::arg("format") = int(KAVO_FMT_DEFLATE));
}
