// What the C++ test programs share: the CHECK counters and an inflate through zlib.
#ifndef KAVO_TEST_CHECK_H
#define KAVO_TEST_CHECK_H

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace kavo_test {

inline int failures = 0;
inline int checks = 0;

using bytes = std::vector<uint8_t>;

// All of a stream, inflated with `room` bytes of output space a call. With one byte a call,
// every match is copied out of zlib's window of 2^|window_bits| bytes, so that a distance beyond
// it fails as "too far back" instead of reaching into output of the same call.
inline bytes inflate_all(const bytes &data, int window_bits, bool *ok, size_t room = 65536) {
    z_stream z{};
    bytes out;
    *ok = inflateInit2(&z, window_bits) == Z_OK;
    if (!*ok)
        return out;
    z.next_in = const_cast<Bytef *>(data.data());
    z.avail_in = uInt(data.size());
    std::vector<uint8_t> chunk(room);
    int rc;
    do {
        z.next_out = chunk.data();
        z.avail_out = uInt(room);
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk.data(), chunk.data() + (room - z.avail_out));
    } while (rc == Z_OK);
    *ok = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return out;
}

}  // namespace kavo_test

#define CHECK(cond)                                                                \
    do {                                                                           \
        ++kavo_test::checks;                                                       \
        if (!(cond)) {                                                             \
            ++kavo_test::failures;                                                 \
            std::fprintf(stderr, "%s:%d: CHECK(%s)\n", __FILE__, __LINE__, #cond); \
        }                                                                          \
    } while (0)

#endif
