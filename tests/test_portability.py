"""The engine as Windows x64 code: the engine and the command cross-built with MinGW-w64 through CMake, warnings as
errors, and the C++ engine tests run under wine where it is installed.

The module ships as a Windows x64 extension, so the engine must build there without a warning
(MSVC is not at hand on Linux; MinGW-w64 is the same target: LLP64, where long is 32 bits, and
the Windows headers and calling convention).
"""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))
import builds  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
ENGINE = ROOT / "engine"


def cross_compiler():
    found = builds.mingw_compiler()
    if found is None:
        pytest.skip(f"{builds.MINGW} is missing (apt-get install g++-mingw-w64-x86-64)")
    return found


def wine():
    for candidate in (shutil.which("wine64"), "/usr/lib/wine/wine64", shutil.which("wine")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def windows_build(*targets):
    # One build for every Windows target; its C++ tests link MinGW's zlib, so they are left out without it.
    tests = (builds.MINGW_ROOT / "include" / "zlib.h").exists()
    try:
        return builds.build("mingw", compiler=cross_compiler(), fuzz=False, werror=True, windows=True, tests=tests,
                            targets=targets)
    except builds.BuildError as e:
        pytest.fail(str(e))


@pytest.fixture(scope="module")
def engine_build():
    return windows_build("kavo_engine")


def test_engine_compiles_as_windows_x64(engine_build):
    sources = sorted(ENGINE.glob("*.cpp"))
    objects = {obj.name.split(".")[0]: obj for obj in engine_build.rglob("*.obj")}
    assert len(sources) >= 7
    for src in sources:
        assert src.stem in objects, f"{src.name} was not built"
        # PE/COFF for x86-64: the machine field of a COFF object is 0x8664.
        assert objects[src.stem].read_bytes()[:2] == b"\x64\x86", f"{src.name} is not an x86-64 COFF object"


def test_engine_tests_run_under_wine(tmp_path):
    runner = wine()
    if runner is None:
        pytest.skip("wine is missing (apt-get install wine64): the cross build was checked, not run")
    if not (builds.MINGW_ROOT / "include" / "zlib.h").exists():
        pytest.skip("zlib for MinGW-w64 is missing (apt-get install libz-mingw-w64-dev)")
    exe = builds.program(windows_build("engine_tests"), "engine_tests")
    env = dict(os.environ, WINEPREFIX=str(tmp_path / "wineprefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    run = subprocess.run([runner, str(exe)], capture_output=True, text=True, timeout=900, env=env)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-4000:]
    assert " 0 failed" in run.stdout, run.stdout[-4000:]


def test_command_builds_and_runs_as_windows_x64(engine_build, tmp_path):
    # The pipeline's threads and the command's file calls have their own Windows paths.
    if not cross_compiler().endswith("-posix"):
        pytest.skip("std::thread needs the posix-threads variant of MinGW-w64")
    exe = builds.program(windows_build("kavo_command"), "kavo")
    assert exe.name == "kavo.exe" and exe.exists()
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
