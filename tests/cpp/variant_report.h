// The line a C++ test program prints to name the form of level 1 it ran and the forms this CPU runs.
#pragma once

#include <cstdio>

#include "kavo.h"

// Read by the Python test that runs each program once per form (KAVO_ENGINE_VARIANT may ask for one).
inline void print_engine_variant() {
    const char *names[8];
    const int count = engine_variants(names, 8);
    std::printf("engine variant: %s (this CPU runs:", engine_variant());
    for (int i = 0; i < count && i < 8; ++i)
        std::printf(" %s", names[i]);
    std::printf(")\n");
}
