"""Builds the C++ engine tests with CMake and runs them: what Python cannot reach."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))
import builds  # noqa: E402
from conftest import ENGINE_VARIANTS, program_variant, skip_unless_cpu_runs  # noqa: E402


@pytest.fixture(scope="session")
def engine_tests():
    try:
        where = builds.plain("engine_tests")
    except builds.BuildError as e:
        pytest.fail(str(e))
    exe = builds.program(where, "engine_tests")
    assert exe.exists()
    return exe


@pytest.mark.parametrize("variant", ENGINE_VARIANTS)
def test_engine_cpp(engine_tests, variant):
    """Every check, the differential one against the plain encoder among them, with the engine's form
    chosen by KAVO_ENGINE_VARIANT."""
    env = dict(os.environ, KAVO_ENGINE_VARIANT=variant)
    run = subprocess.run([str(engine_tests)], capture_output=True, text=True, timeout=600, env=env)
    used, runs = program_variant(run.stdout)
    skip_unless_cpu_runs(variant, runs)
    assert used == variant, run.stdout
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 failed" in run.stdout


def test_faster_forms_link_nothing_shared(engine_tests):
    """A form compiled for a newer CPU defines no symbol but its own record and runs nothing at load time:
    an inline function compiled there could otherwise stand in for the baseline's copy at link time and
    run newer instructions on any CPU."""
    nm = shutil.which("nm")
    readelf = shutil.which("readelf")
    if nm is None or readelf is None:
        pytest.skip("nm and readelf are missing (apt-get install binutils)")
    objects = list(engine_tests.parent.rglob("deflate_scan_v3.cpp.o"))
    assert len(objects) == 1, objects
    defined = subprocess.run([nm, "-C", "--defined-only", "--extern-only", str(objects[0])], capture_output=True,
                             text=True, check=True).stdout.split("\n")
    names = sorted(line.split(" ", 2)[2] for line in defined if line.strip())
    assert names in ([], ["kavo::scan_x86_64_v3"]), names
    sections = subprocess.run([readelf, "-S", "-W", str(objects[0])], capture_output=True, text=True,
                              check=True).stdout
    assert ".init_array" not in sections and ".ctors" not in sections
