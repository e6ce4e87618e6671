// The level-1 pass compiled for any CPU the build targets: the form every machine can run.
#include "deflate_scan_body.h"

const scan_variant kavo::scan_baseline = {"baseline", run_full, run_limited, run_logged};
