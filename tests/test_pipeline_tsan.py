"""The pipeline's C++ tests (blocks and one call on several threads), built with CMake, run plain and under ThreadSanitizer.

Under TSan every target of the build is instrumented, the engine and the pipeline included, so a
race anywhere between the owner thread and the workers shows up as a report. halt_on_error stops
at the first one, and the output is checked for reports as well.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))
import builds  # noqa: E402

# TSan makes the run many times slower; -O1 keeps it short and the line tables exact. The plain program comes
# from the build the engine tests share.
BUILDS = {"tsan": lambda: builds.build("gcc-tsan", sanitize="thread", cxx_flags="-O1 -g", fuzz=False, tests=True,
                                       targets=("pipeline_tests",)),
          "plain": lambda: builds.plain("pipeline_tests")}


def gxx_or_skip():
    if sys.platform != "linux":
        pytest.skip("the pipeline program reads /proc and is built with gcc here: Linux only")
    gxx = shutil.which("g++")
    if gxx is None:
        pytest.skip("g++ is not installed (apt-get install g++)")
    return gxx


@pytest.mark.parametrize("build", list(BUILDS))
def test_pipeline_program(build):
    gxx = gxx_or_skip()
    if build == "tsan" and builds.gcc_library(gxx, "libtsan.so") is None:
        pytest.skip("gcc's ThreadSanitizer runtime is missing (apt-get install libtsan2)")
    try:
        where = BUILDS[build]()
    except builds.BuildError as e:
        pytest.fail(str(e))
    env = dict(os.environ, TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1")
    run = subprocess.run([str(builds.program(where, "pipeline_tests"))], capture_output=True, text=True, timeout=600,
                         env=env)
    out = run.stdout + run.stderr
    assert run.returncode == 0, out[-8000:]
    assert "WARNING: ThreadSanitizer" not in out and "ERROR: ThreadSanitizer" not in out, out[-8000:]
    assert " 0 failed" in run.stdout and "spliced against direct: 96 streams" in run.stdout, out[-3000:]
    assert "parallel against direct: 192 calls" in run.stdout, out[-3000:]
