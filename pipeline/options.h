// The rules every face of kavo but compressobj applies to its options (kavo.compress, kavo.open,
// kavo.zlib and the command): which levels compress, what a thread count means, block sizes.
#ifndef KAVO_OPTIONS_H
#define KAVO_OPTIONS_H

#include <cstddef>
#include <cstdint>

namespace kavo {

// Levels as the standard library's zlib and gzip take them: 0 stores, 1 to 9 compress, and -1
// asks for the default, which compresses. kavo has one compressing mode, so every compressing
// level writes the same bytes. (compressobj keeps the rule it was released with: only the
// level's lowest bit counts.)
constexpr bool level_is_valid(long long level) { return level >= -1 && level <= 9; }
constexpr int engine_level(long long level) { return level == 0 ? 0 : 1; }
extern const char *const LEVEL_RULE;  // "-1 or 0 to 9 (0 stores, the others compress)"

// A thread count as a caller gives it: 0 is every core this process may run on, up to
// MAX_THREADS; 1 starts no thread. Returns the count to run, or 0 outside 0 to MAX_THREADS.
constexpr int MAX_THREADS = 256;
int resolve_threads(long long requested);
extern const char *const THREADS_RULE;  // "0 (every core) or 1 to 256"
// The cores this process may run on (its affinity mask where the OS keeps one), at least 1.
int usable_cores();
// The size of the pages the OS maps on first touch.
uint64_t page_size();
// Asks the OS to map the whole large pages (2 MiB) inside [p, p + size) as large pages on first
// touch, for a big buffer about to be written once from start to end: one fault per 2 MiB
// instead of one per page. Advice on this buffer's memory alone (Linux: madvise MADV_HUGEPAGE,
// which systems with transparent huge pages turned off ignore); nothing elsewhere and for
// buffers too small to hold a whole large page.
void advise_large_pages(void *p, uint64_t size);

// Bytes of input a writer's block holds: each block is one encode call, so the size is part of
// what defines a file's bytes. A block is far below what one engine call takes.
constexpr size_t DEFAULT_BLOCK_SIZE = size_t(1) << 20;
constexpr size_t MAX_BLOCK_SIZE = size_t(1) << 30;
constexpr bool block_size_is_valid(long long size) { return size >= 1 && (unsigned long long)size <= MAX_BLOCK_SIZE; }
extern const char *const BLOCK_SIZE_RULE;  // "1 to 1073741824 bytes"

}  // namespace kavo

#endif
