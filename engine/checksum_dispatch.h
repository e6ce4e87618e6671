// Run-time choice of a checksum form: the first one this CPU supports from a best-first list.
#ifndef KAVO_CHECKSUM_DISPATCH_H
#define KAVO_CHECKSUM_DISPATCH_H

#include <atomic>

#include "checksum_forms.h"

namespace kavo {

// The list ends with the portable form, which is always supported.
inline checksum_fn first_supported(int (*variants)(const checksum_variant **)) {
    const checksum_variant *v;
    const int count = variants(&v);
    int i = 0;
    while (!v[i].supported && i + 1 < count)
        ++i;
    return v[i].fn;
}

// Calls go through a pointer that starts at the resolver: the first call picks the best supported
// form, stores it, and every later call jumps there directly. Threads racing on the first call all
// store the same pointer, and the atomic with relaxed order is a plain load and store on every target.
template <int (*Variants)(const checksum_variant **)>
struct dispatched_checksum {
    static std::atomic<checksum_fn> impl;

    static uint32_t resolve(uint32_t value, const uint8_t *in, int32_t len) {
        const checksum_fn best = first_supported(Variants);
        impl.store(best, std::memory_order_relaxed);
        return best(value, in, len);
    }

    static uint32_t call(uint32_t value, const uint8_t *in, int32_t len) {
        return impl.load(std::memory_order_relaxed)(value, in, len);
    }
};

template <int (*Variants)(const checksum_variant **)>
std::atomic<checksum_fn> dispatched_checksum<Variants>::impl{&dispatched_checksum<Variants>::resolve};

}  // namespace kavo

#endif
