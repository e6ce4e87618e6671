"""The engine tests, the fuzz replay and a pytest subset under ASan+UBSan, and under valgrind: zero reports.

A sanitizer stops the program at its first report (-fno-sanitize-recover=all), and valgrind runs
with --error-exitcode, so a report fails the run; the output is checked for reports as well, in
case a runtime was not the one that decided the exit code.
"""
import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))
import builds  # noqa: E402
from conftest import tool_or_skip  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
SUPPRESSIONS = ROOT / "tests" / "stress" / "valgrind-python.supp"
REPORT_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer", "== ERROR SUMMARY: ")
# The Python tests that run inside a checked interpreter: the module's own tests, the Python fuzz
# harness and the thread, churn and worst-case tests, on reduced data (KAVO_UNDER_CHECKER). Left out: the
# fuzzers and replays that have checked builds of their own, and the packaging tests (a wheel build, the
# integrations' import forms), which run no more of the module than the rest.
ASAN_SUBSET = ["tests/test_module.py", "tests/test_fuzz_quick.py", "tests/test_stress.py"]
ASAN_DESELECT = ["-k", "not libfuzzer and not atheris and not corpus_replay and not seed_corpus and not wheel "
                       "and not integration_modules_import"]
VALGRIND_SUBSET = ["tests/test_fuzz_quick.py::test_python_harness_replay",
                   "tests/test_stress.py::test_one_object_shared_by_threads",
                   "tests/test_stress.py::test_level0_tiny_pieces_reach_the_bound"]


def reports(text):
    return [line for line in text.splitlines()
            if any(mark in line for mark in REPORT_MARKS) and "ERROR SUMMARY: 0 errors" not in line]


@pytest.fixture(scope="module")
def asan_build():
    if sys.platform != "linux":
        pytest.skip("the sanitizer runs are set up for Linux with gcc")
    if builds.sanitizer_runtime() is None:
        pytest.skip("gcc's ASan runtime is missing (apt-get install libasan8 or g++)")
    try:
        return builds.build("gcc-asan", compiler="g++", sanitize=True, fuzz=True, tests=True, module=True)
    except builds.BuildError as e:
        if "pybind11" in str(e):
            pytest.skip(str(e))
        pytest.fail(str(e))


def test_engine_tests_under_sanitizers(asan_build):
    run = subprocess.run([str(asan_build / "engine_tests")], capture_output=True, text=True, timeout=900)
    out = run.stdout + run.stderr
    assert run.returncode == 0 and not reports(out), out[-6000:]
    assert " 0 failed" in run.stdout


def test_fuzz_replay_under_sanitizers(asan_build):
    run = subprocess.run([str(asan_build / "fuzz_replay"), "--random", "400", "--seed", "77", *builds.seed_inputs()],
                         capture_output=True, text=True, timeout=900)
    out = run.stdout + run.stderr
    assert run.returncode == 0 and not reports(out), out[-6000:]


def checked_env(**extra):
    env = dict(os.environ)
    env.pop("PYTHONMALLOC", None)
    env.update(extra)
    return env


def test_module_under_asan(asan_build):
    """The extension built with ASan and UBSan, loaded by an interpreter with the ASan runtime
    preloaded, runs a subset of the pytest suite. Python's own allocations go through malloc so
    that ASan sees overruns of bytes objects too; leaks are not checked (the interpreter keeps
    memory until exit by design)."""
    package = asan_build / "python"  # the build tree's kavo package: the loader beside the compiled module
    module = next((package / "kavo").glob("_kavo*.so"))
    env = checked_env(LD_PRELOAD=builds.sanitizer_runtime(), ASAN_OPTIONS="detect_leaks=0:abort_on_error=1",
                      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1", PYTHONMALLOC="malloc",
                      PYTHONPATH=str(package), KAVO_UNDER_CHECKER="asan")
    probe = subprocess.run([sys.executable, "-c", "import kavo; print(kavo.__file__)"], env=env, cwd=ROOT,
                           capture_output=True, text=True, timeout=120)
    assert probe.returncode == 0, probe.stderr[-3000:]
    assert Path(probe.stdout.strip()).resolve() == module.resolve(), "the interpreter did not load the sanitized module"
    subset = [t for t in ASAN_SUBSET if (ROOT / t).exists()]
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-n", "0", "-p", "no:cacheprovider", "-m", "not slow",
                          *ASAN_DESELECT, *subset], env=env, cwd=ROOT, capture_output=True, text=True, timeout=1200)
    out = run.stdout + run.stderr
    assert run.returncode == 0 and not reports(out), out[-8000:]
    assert " passed" in run.stdout and " failed" not in run.stdout


@pytest.fixture(scope="module")
def valgrind():
    return tool_or_skip("valgrind", "valgrind")


def test_fuzz_replay_under_valgrind(valgrind):
    try:
        exe = builds.plain("fuzz_replay") / "fuzz_replay"
    except builds.BuildError as e:
        pytest.fail(str(e))
    run = subprocess.run([valgrind, "--tool=memcheck", "--error-exitcode=1", "-q", str(exe),
                          "--random", "40", "--seed", "5", *builds.seed_inputs()],
                         capture_output=True, text=True, timeout=900)
    out = run.stdout + run.stderr
    assert run.returncode == 0 and not reports(out), out[-6000:]
    assert "inputs replayed" in run.stdout


def test_pytest_subset_under_valgrind(valgrind):
    """A small pytest subset with the installed module under memcheck. PYTHONMALLOC=malloc_debug
    sends Python's allocations through malloc, so valgrind sees every buffer; assertion rewriting
    and plugins are off because they only cost time under valgrind."""
    env = checked_env(PYTHONMALLOC="malloc_debug", KAVO_UNDER_CHECKER="valgrind")
    command = [valgrind, "--tool=memcheck", "--error-exitcode=1", "-q", f"--suppressions={SUPPRESSIONS}",
               sys.executable, "-m", "pytest", "-q", "-x", "-n", "0", "--assert=plain", "-p", "no:cacheprovider",
               "-p", "no:hypothesispytest", *VALGRIND_SUBSET]
    run = subprocess.run(command, env=env, cwd=ROOT, capture_output=True, text=True, timeout=1200)
    out = run.stdout + run.stderr
    assert run.returncode == 0 and not reports(out), out[-8000:]
    assert " passed" in run.stdout
