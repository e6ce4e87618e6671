"""Builds of the reliability targets (fuzz replayer, libFuzzer binary, sanitized tests and module) with CMake.

Shared by tests/test_fuzz_quick.py, tests/test_sanitizers.py and tests/fuzz/run.py. Each distinct
configuration is configured and built once per process, in its own directory under one temporary
root (or under KAVO_RELIAB_BUILD when that is set, so that repeated runs reuse the builds).
"""
import functools
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
FUZZ = ROOT / "tests" / "fuzz"
CORPUS = FUZZ / "corpus"
REGRESSION = FUZZ / "regression"
SANITIZER_FLAGS = "-fsanitize=address,undefined -fno-sanitize-recover=all"


class BuildError(RuntimeError):
    pass


@functools.lru_cache(maxsize=None)
def _root():
    where = os.environ.get("KAVO_RELIAB_BUILD")
    if where:
        Path(where).mkdir(parents=True, exist_ok=True)
        return Path(where)
    return Path(tempfile.mkdtemp(prefix="kavo-reliab-"))


def have_libfuzzer():
    """Why a libFuzzer build cannot be made here, or None when it can."""
    clang = shutil.which("clang++")
    if clang is None:
        return "clang++ is missing (apt-get install clang)"
    probe = subprocess.run([clang, "-print-file-name=libclang_rt.fuzzer-x86_64.a"], capture_output=True, text=True)
    found = probe.stdout.strip()
    if probe.returncode != 0 or not os.path.isabs(found) or not os.path.exists(found):
        return "the libFuzzer runtime is missing (apt-get install libclang-rt-14-dev)"
    return None


def _cmake():
    cmake = shutil.which("cmake")
    if cmake is None:
        raise BuildError("cmake is missing (pip install cmake)")
    return cmake


@functools.lru_cache(maxsize=None)
def build(name, compiler="g++", sanitize=False, fuzz=True, tests=False, module=False, targets=()):
    """Configures and builds one configuration; returns its build directory."""
    cmake = _cmake()
    where = _root() / name
    # Sanitized code is checked, not timed: -O1 with line tables compiles the pybind11 module in
    # a quarter of the time of -O2 -g and still reports every fault with its source line.
    build_type = ["-DCMAKE_BUILD_TYPE=Check", "-DCMAKE_CXX_FLAGS=-O1 -g1"] if sanitize else \
        ["-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
    args = [cmake, "-S", str(ROOT), "-B", str(where), *build_type, f"-DCMAKE_CXX_COMPILER={compiler}",
            f"-DKAVO_BUILD_FUZZ={'ON' if fuzz else 'OFF'}", f"-DKAVO_SANITIZE={'ON' if sanitize else 'OFF'}",
            f"-DKAVO_BUILD_TESTS={'ON' if tests else 'OFF'}", f"-DKAVO_BUILD_MODULE={'ON' if module else 'OFF'}"]
    if module:
        args.append(f"-DPython_EXECUTABLE={sys.executable}")
        try:
            import pybind11
        except ImportError:
            raise BuildError("pybind11 is not importable here (pip install pybind11)") from None
        args.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
    if shutil.which("ninja"):
        args += ["-G", "Ninja"]
    run = subprocess.run(args, capture_output=True, text=True)
    if run.returncode != 0:
        raise BuildError(f"configure {name} failed:\n{run.stdout[-3000:]}\n{run.stderr[-3000:]}")
    command = [cmake, "--build", str(where), "-j", str(os.cpu_count() or 2)]
    for t in targets:
        command += ["--target", t]
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0:
        raise BuildError(f"build {name} failed:\n{run.stdout[-6000:]}\n{run.stderr[-3000:]}")
    return where


def seed_inputs():
    """The committed corpus and regression inputs, as paths for the replayer."""
    return [str(CORPUS), str(REGRESSION)]


def _gcc_library(compiler, name):
    probe = subprocess.run([compiler, f"-print-file-name={name}"], capture_output=True, text=True)
    path = probe.stdout.strip()
    return os.path.realpath(path) if probe.returncode == 0 and os.path.isabs(path) and os.path.exists(path) else None


def sanitizer_runtime(compiler="g++"):
    """LD_PRELOAD value that lets an interpreter load a module built with ASan: the ASan runtime,
    which must come first, and the C++ runtime, which ASan must find at start-up to intercept
    C++ throws (the interpreter itself does not link it); None when either is missing."""
    asan = _gcc_library(compiler, "libasan.so")
    cxx = _gcc_library(compiler, "libstdc++.so")
    return f"{asan} {cxx}" if asan and cxx else None
