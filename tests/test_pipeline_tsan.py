"""The pipeline's C++ tests (blocks and one call on several threads), compiled straight from the sources, run plain and under ThreadSanitizer.

The program and the code it drives are compiled together with one g++ call, so every source the
workers run is instrumented: a race anywhere between the owner thread and the workers shows up as
a report. halt_on_error stops at the first one, and the output is checked for reports as well.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = [ROOT / "tests" / "cpp" / "pipeline_tests.cpp", *sorted((ROOT / "engine").glob("*.cpp")),
           ROOT / "pipeline" / "block_pipeline.cpp", ROOT / "pipeline" / "parallel_encode.cpp"]
BUILDS = {
    # TSan makes the run some fifteen times slower; -O1 keeps it short and the line tables exact.
    "tsan": ["-O1", "-g", "-fsanitize=thread"],
    "plain": ["-O2"],
}


def gxx_or_skip():
    if sys.platform != "linux":
        pytest.skip("the pipeline program reads /proc and is built with gcc here: Linux only")
    gxx = shutil.which("g++")
    if gxx is None:
        pytest.skip("g++ is not installed (apt-get install g++)")
    return gxx


def tsan_runtime(gxx):
    """The path of gcc's TSan runtime, or None; like builds.sanitizer_runtime, a name that gcc
    only echoes back or a link to a library that is not installed counts as missing."""
    probe = subprocess.run([gxx, "-print-file-name=libtsan.so"], capture_output=True, text=True)
    path = probe.stdout.strip()
    return path if probe.returncode == 0 and os.path.isabs(path) and os.path.exists(path) else None


@pytest.mark.parametrize("build", list(BUILDS))
def test_pipeline_program(build, tmp_path):
    gxx = gxx_or_skip()
    if build == "tsan" and tsan_runtime(gxx) is None:
        pytest.skip("gcc's ThreadSanitizer runtime is missing (apt-get install libtsan2)")
    exe = tmp_path / "pipeline_tests"
    command = [gxx, "-std=c++17", *BUILDS[build], "-pthread", "-Wall", "-Wextra", f"-I{ROOT / 'engine'}",
               f"-I{ROOT / 'pipeline'}", *map(str, SOURCES), "-o", str(exe), "-lz"]
    compiled = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert compiled.returncode == 0, compiled.stdout[-3000:] + compiled.stderr[-6000:]
    env = dict(os.environ, TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1")
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=600, env=env)
    out = run.stdout + run.stderr
    assert run.returncode == 0, out[-8000:]
    assert "WARNING: ThreadSanitizer" not in out and "ERROR: ThreadSanitizer" not in out, out[-8000:]
    assert " 0 failed" in run.stdout and "spliced against direct: 96 streams" in run.stdout, out[-3000:]
    assert "parallel against direct: 192 calls" in run.stdout, out[-3000:]
