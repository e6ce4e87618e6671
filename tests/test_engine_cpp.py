"""Builds the C++ engine tests with CMake and runs them: what Python cannot reach."""
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))
import builds  # noqa: E402


@pytest.fixture(scope="session")
def engine_tests():
    try:
        where = builds.build("engine-tests", fuzz=False, tests=True, targets=("engine_tests",))
    except builds.BuildError as e:
        pytest.fail(str(e))
    exe = builds.program(where, "engine_tests")
    assert exe.exists()
    return exe


def test_engine_cpp(engine_tests):
    run = subprocess.run([str(engine_tests)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 failed" in run.stdout
