"""Builds the C++ engine tests with CMake and runs them: what Python cannot reach."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def engine_tests(tmp_path_factory):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is needed to build the C++ engine tests (pip install cmake)")
    build = tmp_path_factory.mktemp("cpp-build")
    configure = [cmake, "-S", str(ROOT), "-B", str(build), "-DKAVO_BUILD_MODULE=OFF", "-DKAVO_BUILD_TESTS=ON",
                 "-DCMAKE_BUILD_TYPE=Release"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build), "-j", str(os.cpu_count() or 2)], check=True, capture_output=True)
    exe = build / ("engine_tests.exe" if sys.platform == "win32" else "engine_tests")
    assert exe.exists()
    return exe


def test_engine_cpp(engine_tests):
    run = subprocess.run([str(engine_tests)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 failed" in run.stdout
