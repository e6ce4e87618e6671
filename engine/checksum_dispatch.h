// Run-time choice of a checksum form: the first one this CPU supports from a best-first list.
#ifndef KAVO_CHECKSUM_DISPATCH_H
#define KAVO_CHECKSUM_DISPATCH_H

#include "kavo.h"

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

}  // namespace kavo

#endif
