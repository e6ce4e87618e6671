"""The engine as Windows x64 code: every engine source cross-compiled with MinGW-w64, warnings as errors, and the
C++ engine tests run under wine where it is installed.

The module ships as a Windows x64 extension, so the engine must build there without a warning
(MSVC is not at hand on Linux; MinGW-w64 is the same target: LLP64, where long is 32 bits, and
the Windows headers and calling convention).
"""
import os
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
ENGINE = ROOT / "engine"
CROSS = "x86_64-w64-mingw32-g++"
FLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror"]


def cross_compiler():
    for name in (CROSS + "-posix", CROSS):
        found = shutil.which(name)
        if found:
            return found
    pytest.skip(f"{CROSS} is missing (apt-get install g++-mingw-w64-x86-64)")


def wine():
    for candidate in (shutil.which("wine64"), "/usr/lib/wine/wine64", shutil.which("wine")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


@pytest.fixture(scope="module")
def engine_objects(tmp_path_factory):
    cxx = cross_compiler()
    out = tmp_path_factory.mktemp("mingw")
    objects = []
    for src in sorted(ENGINE.glob("*.cpp")):
        obj = out / (src.stem + ".o")
        run = subprocess.run([cxx, *FLAGS, "-I", str(ENGINE), "-c", str(src), "-o", str(obj)],
                             capture_output=True, text=True, timeout=600)
        assert run.returncode == 0, f"{src.name} does not build as Windows x64 code:\n{run.stderr[-6000:]}"
        objects.append(obj)
    return cxx, out, objects


def test_engine_compiles_as_windows_x64(engine_objects):
    cxx, out, objects = engine_objects
    assert len(objects) == len(list(ENGINE.glob("*.cpp"))) >= 7
    # The objects are PE/COFF for x86-64: the machine field of a COFF object is 0x8664.
    for obj in objects:
        assert obj.read_bytes()[:2] == b"\x64\x86", f"{obj.name} is not an x86-64 COFF object"


def test_engine_tests_run_under_wine(engine_objects, tmp_path):
    cxx, out, objects = engine_objects
    runner = wine()
    if runner is None:
        pytest.skip("wine is missing (apt-get install wine64): the cross build was checked, not run")
    sysroot = Path("/usr/x86_64-w64-mingw32")
    if not (sysroot / "include" / "zlib.h").exists():
        pytest.skip("zlib for MinGW-w64 is missing (apt-get install libz-mingw-w64-dev)")
    exe = tmp_path / "engine_tests.exe"
    # Static, so that wine needs no MinGW runtime DLLs beside the program.
    run = subprocess.run([cxx, *FLAGS, "-I", str(ENGINE), str(ROOT / "tests" / "cpp" / "engine_tests.cpp"),
                          *map(str, objects), "-o", str(exe), "-static", "-lz"],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-6000:]
    env = dict(os.environ, WINEPREFIX=str(tmp_path / "wineprefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    run = subprocess.run([runner, str(exe)], capture_output=True, text=True, timeout=900, env=env)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-4000:]
    assert " 0 failed" in run.stdout, run.stdout[-4000:]


def test_command_builds_and_runs_as_windows_x64(engine_objects, tmp_path):
    # The pipeline's threads and the command's file calls have their own Windows paths.
    cxx, _, objects = engine_objects
    if not cxx.endswith("-posix"):
        pytest.skip("std::thread needs the posix-threads variant of MinGW-w64")
    exe = tmp_path / "kavo.exe"
    sources = [str(p) for p in sorted((ROOT / "pipeline").glob("*.cpp"))] + [str(ROOT / "command" / "kavo_command.cpp")]
    run = subprocess.run([cxx, *FLAGS, "-I", str(ENGINE), "-I", str(ROOT / "pipeline"), *sources,
                          *map(str, objects), "-static", "-o", str(exe)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-6000:]
    runner = wine()
    if runner is None:
        pytest.skip("wine is not installed: built, not run")
    data = bytes(range(256)) * 4000 + b"tail" * 999
    (tmp_path / "in").write_bytes(data)
    env = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=str(tmp_path / "wine"))
    ran = subprocess.run([runner, str(exe), "-T", "2", "-b", "64K", "-c", "in"], cwd=tmp_path, env=env,
                         capture_output=True, timeout=300)
    native_command = shutil.which("kavo", path=sysconfig.get_path("scripts")) or shutil.which("kavo")
    assert native_command, "the kavo command is not installed (pip install .)"
    native = subprocess.run([native_command, "-T", "1", "-b", "64K", "-c", "in"], cwd=tmp_path,
                            capture_output=True, timeout=60)
    assert ran.returncode == 0 and ran.stdout == native.stdout, ran.stderr[-2000:]
