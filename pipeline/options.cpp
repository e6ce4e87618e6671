// The option rules shared by the module and the command, the count of usable cores, the page size and large-page advice.
#include "options.h"

#include <thread>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
#endif
#endif

namespace kavo {

const char *const LEVEL_RULE = "-1 or 0 to 9 (0 stores, the others compress)";
const char *const THREADS_RULE = "0 (every core) or 1 to 256";
const char *const BLOCK_SIZE_RULE = "1 to 1073741824 bytes";

int usable_cores() {
    int n = 0;
#if defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process; process &= process - 1)
            ++n;
#elif defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        n = CPU_COUNT(&set);
#endif
    if (n <= 0)
        n = int(std::thread::hardware_concurrency());
    return n > 0 ? n : 1;
}

uint64_t page_size() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize ? uint64_t(info.dwPageSize) : 4096;
#else
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? uint64_t(size) : 4096;
#endif
}

void advise_large_pages(void *p, uint64_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uint64_t LARGE_PAGE = uint64_t(1) << 21;
    const uint64_t start = (uint64_t(uintptr_t(p)) + LARGE_PAGE - 1) & ~(LARGE_PAGE - 1);
    const uint64_t end = (uint64_t(uintptr_t(p)) + size) & ~(LARGE_PAGE - 1);
    if (end > start)  // whole large pages only, so that the advice reaches no neighbouring memory
        madvise(reinterpret_cast<void *>(uintptr_t(start)), size_t(end - start), MADV_HUGEPAGE);
#else
    (void)p;
    (void)size;
#endif
}

int resolve_threads(long long requested) {
    if (requested == 0) {
        const int cores = usable_cores();
        return cores < MAX_THREADS ? cores : MAX_THREADS;
    }
    return requested >= 1 && requested <= MAX_THREADS ? int(requested) : 0;
}

}  // namespace kavo
