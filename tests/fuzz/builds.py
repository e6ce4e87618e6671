"""Every C++ build the tests make, through CMake: the test programs, the fuzz targets, sanitized and cross builds.

Shared by tests/test_engine_cpp.py, test_pipeline_tsan.py, test_portability.py, test_fuzz_quick.py,
test_sanitizers.py and tests/fuzz/run.py. Each distinct configuration is configured and built once
per process, in its own directory under one temporary root (or under KAVO_RELIAB_BUILD when that is
set, so that repeated runs reuse the builds).
"""
import contextlib
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
MINGW = "x86_64-w64-mingw32-g++"
MINGW_ROOT = Path("/usr/x86_64-w64-mingw32")
# Jobs a build may run at once: the machines these tests run on are shared.
JOBS = int(os.environ.get("KAVO_BUILD_JOBS", "2"))


class BuildError(RuntimeError):
    pass


@functools.lru_cache(maxsize=None)
def _root():
    where = os.environ.get("KAVO_RELIAB_BUILD")
    if not where and os.environ.get("PYTEST_XDIST_TESTRUNUID"):
        # pytest-xdist's workers of one run share their builds: one compiles, the others wait for it (_locked)
        where = os.path.join(tempfile.gettempdir(), "kavo-reliab-" + os.environ["PYTEST_XDIST_TESTRUNUID"])
    if where:
        Path(where).mkdir(parents=True, exist_ok=True)
        return Path(where)
    return Path(tempfile.mkdtemp(prefix="kavo-reliab-"))


@contextlib.contextmanager
def _locked(where):
    """Holds a lock on one build directory against the other processes that build in the same root."""
    with open(f"{where}.lock", "a+b") as f:
        if sys.platform == "win32":
            import msvcrt
            f.seek(0)
            while True:
                try:
                    msvcrt.locking(f.fileno(), msvcrt.LK_LOCK, 1)  # gives up after 10 s: then try again
                    break
                except OSError:
                    pass
        else:
            import fcntl
            fcntl.flock(f, fcntl.LOCK_EX)
        try:
            yield
        finally:
            if sys.platform == "win32":
                f.seek(0)
                msvcrt.locking(f.fileno(), msvcrt.LK_UNLCK, 1)
            else:
                fcntl.flock(f, fcntl.LOCK_UN)


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


def mingw_compiler():
    """The MinGW-w64 cross compiler, the posix-threads variant first (std::thread needs it), or None."""
    for name in (MINGW + "-posix", MINGW):
        found = shutil.which(name)
        if found:
            return found
    return None


def _cmake():
    cmake = shutil.which("cmake")
    if cmake is None:
        raise BuildError("cmake is missing (pip install cmake)")
    return cmake


def _sanitizers(sanitize):
    """The KAVO_SANITIZE value: True means address and undefined behaviour, a string names them."""
    if sanitize is True:
        return "address,undefined"
    return sanitize or ""


_configured = {}  # build name -> the options it was configured with


@functools.lru_cache(maxsize=None)
def build(name, compiler="g++", sanitize=False, fuzz=True, tests=False, module=False, benchmarks=False,
          targets=(), windows=False, werror=False, cxx_flags=None):
    """Configures one configuration (once) and builds `targets` in it (every target when empty); returns its
    build directory. Callers that build different targets with the same options share the directory, so that
    the engine is compiled once for all of them; one name with other options is refused.

    sanitize: False, True (address and undefined behaviour) or a -fsanitize= list such as "thread".
    windows: cross-compile for Windows x64 with `compiler` (MinGW-w64), linked statically so that
    the programs run under wine without the MinGW runtime beside them."""
    where = _configure(name, compiler, sanitize, fuzz, tests, module, benchmarks, windows, werror, cxx_flags)
    command = [_cmake(), "--build", str(where), "-j", str(JOBS)]
    for t in targets:
        command += ["--target", t]
    with _locked(where):
        run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0:
        raise BuildError(f"build {name} failed:\n{run.stdout[-6000:]}\n{run.stderr[-3000:]}")
    return where


def plain(*targets):
    """The unsanitized gcc build that the engine, pipeline and replayer tests share."""
    return build("gcc", compiler="g++", fuzz=True, tests=True, targets=targets)


@functools.lru_cache(maxsize=None)
def _configure(name, compiler, sanitize, fuzz, tests, module, benchmarks, windows, werror, cxx_flags):
    options = (compiler, sanitize, fuzz, tests, module, benchmarks, windows, werror, cxx_flags)
    if _configured.setdefault(name, options) != options:
        raise BuildError(f"build {name} was configured with other options: {_configured[name]} against {options}")
    cmake = _cmake()
    where = _root() / name
    sanitizers = _sanitizers(sanitize)
    # Sanitized code is checked, not timed: -O1 with line tables compiles far faster than -O2 -g
    # (the pybind11 module above all) and still reports every fault with its source line.
    if cxx_flags is None:
        cxx_flags = "-O1 -g1" if sanitizers else None
    build_type = ["-DCMAKE_BUILD_TYPE=Check" if sanitizers else "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
    if cxx_flags is not None:
        build_type.append(f"-DCMAKE_CXX_FLAGS={cxx_flags}")
    args = [cmake, "-S", str(ROOT), "-B", str(where), *build_type, f"-DCMAKE_CXX_COMPILER={compiler}",
            f"-DKAVO_BUILD_FUZZ={'ON' if fuzz else 'OFF'}", f"-DKAVO_SANITIZE={sanitizers}",
            f"-DKAVO_BUILD_TESTS={'ON' if tests else 'OFF'}", f"-DKAVO_BUILD_MODULE={'ON' if module else 'OFF'}",
            f"-DKAVO_BUILD_BENCHMARKS={'ON' if benchmarks else 'OFF'}", f"-DKAVO_WERROR={'ON' if werror else 'OFF'}"]
    if windows:
        args += ["-DCMAKE_SYSTEM_NAME=Windows", "-DCMAKE_SYSTEM_PROCESSOR=AMD64",
                 f"-DCMAKE_FIND_ROOT_PATH={MINGW_ROOT}", "-DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER",
                 "-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY", "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY",
                 "-DCMAKE_EXE_LINKER_FLAGS=-static"]
    if module:
        args.append(f"-DPython_EXECUTABLE={sys.executable}")
        try:
            import pybind11
        except ImportError:
            raise BuildError("pybind11 is not importable here (pip install pybind11)") from None
        args.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
    if shutil.which("ninja"):
        args += ["-G", "Ninja"]
    with _locked(where):
        run = subprocess.run(args, capture_output=True, text=True)
    if run.returncode != 0:
        raise BuildError(f"configure {name} failed:\n{run.stdout[-3000:]}\n{run.stderr[-3000:]}")
    return where


def program(where, name):
    """The path of a program that a build made."""
    return Path(where) / (name + ".exe" if (Path(where) / (name + ".exe")).exists() else name)


def seed_inputs():
    """The committed corpus and regression inputs, as paths for the replayer."""
    return [str(CORPUS), str(REGRESSION)]


def gcc_library(compiler, name):
    """The real path of a library that gcc would link, or None: a name that gcc only echoes back,
    or a link to a library that is not installed, counts as missing."""
    probe = subprocess.run([compiler, f"-print-file-name={name}"], capture_output=True, text=True)
    path = probe.stdout.strip()
    return os.path.realpath(path) if probe.returncode == 0 and os.path.isabs(path) and os.path.exists(path) else None


def sanitizer_runtime(compiler="g++"):
    """LD_PRELOAD value that lets an interpreter load a module built with ASan: the ASan runtime,
    which must come first, and the C++ runtime, which ASan must find at start-up to intercept
    C++ throws (the interpreter itself does not link it); None when either is missing."""
    asan = gcc_library(compiler, "libasan.so")
    cxx = gcc_library(compiler, "libstdc++.so")
    return f"{asan} {cxx}" if asan and cxx else None
