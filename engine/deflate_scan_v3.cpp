// The level-1 pass compiled for x86-64-v3 (the build gives this file -march=x86-64-v3, or /arch:AVX2 with MSVC).
//
// The same source as the baseline form; the compiler's wider choice of instructions (shifts by a
// register other than CL, TZCNT, BZHI, AVX2 compares) is the whole difference, and the bytes written
// are the same. Chosen at run time only on a CPU that has every v3 feature (x86_cpu_features).
#if (defined(__x86_64__) || defined(_M_X64)) && defined(__AVX2__) && (defined(__BMI2__) || defined(_MSC_VER))
#include "deflate_scan_body.h"

namespace {
const scan_variant v3_form = {"v3", run_full, run_limited, run_logged};
}

const scan_variant *const kavo::scan_x86_64_v3 = &v3_form;
#else
// Built without the flags (another architecture, or by hand): no such form.
#include "deflate_pass.h"

const kavo::scan_variant *const kavo::scan_x86_64_v3 = nullptr;
#endif
