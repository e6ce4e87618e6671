"""The wheel and the type stubs it installs, checked by mypy --strict (usage example, README examples), stubtest and signature lines."""
import ast
import importlib.metadata
import importlib.util
import os
import re
import runpy
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import kavo
from conftest import INTEGRATIONS

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "kavo-stubs" / "__init__.pyi"
USAGE = ROOT / "tests" / "typing_usage.py"


@pytest.fixture(scope="module")
def outside(tmp_path_factory):
    """A working directory away from the source tree, so that the checkers find only the installed stub
    (mypy searches the current directory first), with a config and a cache of its own. Where a host is not
    installed (Zarr 3 needs a newer Python), its imports are let through and stubtest passes over kavo's
    module for it, which cannot import."""
    where = tmp_path_factory.mktemp("typing")
    missing = sorted(name for name, host in INTEGRATIONS.items() if importlib.util.find_spec(host) is None)
    (where / "mypy.ini").write_text("[mypy]\n" + "".join(
        f"[mypy-{INTEGRATIONS[name]}.*]\nignore_missing_imports = True\n" for name in missing))
    (where / "allowlist").write_text("".join(f"kavo\\.{name}(\\..*)?\n" for name in missing))
    return where


def run_module(outside, *args):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", *args], cwd=outside, env=env, capture_output=True, text=True,
                          timeout=300)


@pytest.mark.parametrize("name", [p.stem for p in sorted(STUB.parent.glob("*.pyi"))])
def test_stub_and_marker_installed(name):
    dist = importlib.metadata.distribution("kavo")
    stub, marker = (Path(dist.locate_file(f"kavo-stubs/{name}")) for name in (f"{name}.pyi", "py.typed"))
    assert marker.is_file() and marker.read_bytes() == b""  # empty: complete stubs, not partial ones
    assert stub.read_text() == (STUB.parent / f"{name}.pyi").read_text(), \
        f"the installed stub is not this tree's src/kavo-stubs/{name}.pyi: reinstall (pip install .) before testing"


# The wheel is built here rather than beside the module's tests, which CI also runs on the other CPythons: one
# wheel build a run is enough, and each of those installs kavo through a wheel of its own anyway.
def test_wheel_holds_the_package_and_the_stubs(tmp_path):
    pytest.importorskip("scikit_build_core", reason="building a wheel needs scikit-build-core (pip install scikit-build-core)")
    root = Path(__file__).resolve().parent.parent
    built = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q", "-w",
                            str(tmp_path), str(root)], capture_output=True, text=True, timeout=900)
    assert built.returncode == 0, built.stderr[-3000:]
    wheel = next(tmp_path.glob("kavo-*.whl"))
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        z.extractall(tmp_path / "site")
    compiled = [n for n in names if n.startswith("kavo/_kavo.")]
    assert len(compiled) == 1 and "kavo/__init__.py" in names
    assert {"kavo-stubs/__init__.pyi", "kavo-stubs/zlib.pyi", "kavo-stubs/py.typed"} <= names
    assert {f"kavo/{m}.py" for m in INTEGRATIONS} | {f"kavo-stubs/{m}.pyi" for m in INTEGRATIONS} <= names
    entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
    assert 'gzip = kavo.zarr:GzipCodec' in (tmp_path / "site" / entry_points).read_text()
    assert not [n for n in names if "/" not in n], "nothing at the top level beside the package and the stubs"
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "site"))
    installed = [m for m, host in INTEGRATIONS.items() if importlib.util.find_spec(host)]
    code = f"import kavo, kavo.zlib; import {', '.join('kavo.' + m for m in installed) or 'kavo'}; print(kavo.__file__)"
    run = subprocess.run([sys.executable, "-c", code], env=env,
                         cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stdout.strip().startswith(str(tmp_path / "site" / "kavo" / "_kavo.")), run.stderr


def test_mypy_strict_usage_example(outside):
    run = run_module(outside, "mypy", "--config-file", str(outside / "mypy.ini"), "--cache-dir", str(outside / "cache"),
                     "--strict", "--strict-bytes", str(USAGE))
    assert run.returncode == 0, run.stdout + run.stderr


def test_stubtest(outside):
    run = run_module(outside, "mypy.stubtest", "--mypy-config-file", str(outside / "mypy.ini"), "--allowlist",
                     str(outside / "allowlist"), "--ignore-unused-allowlist", "kavo")
    assert run.returncode == 0, run.stdout + run.stderr


def test_usage_example_runs():
    runpy.run_path(str(USAGE), run_name="__main__")


def test_readme_examples_type_check_and_run(outside, tmp_path):
    # The README's Python blocks, in order, as one script: each may use what an earlier one wrote.
    blocks = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(), re.S | re.M)
    assert len(blocks) >= 4, "the README's usage examples are gone"
    script = tmp_path / "readme_examples.py"
    script.write_text("\n\n".join(blocks))
    checked = run_module(outside, "mypy", "--config-file", str(outside / "mypy.ini"), "--cache-dir",
                         str(outside / "cache"), "--strict", "--strict-bytes", str(script))
    assert checked.returncode == 0, checked.stdout + checked.stderr
    ran = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert ran.returncode == 0, ran.stdout + ran.stderr


def _parameters(func: ast.FunctionDef):
    """(kind, name, annotation, default) of each parameter after self, and the return annotation."""
    a = func.args
    assert a.vararg is None and a.kwarg is None and not a.kwonlyargs, ast.unparse(func)
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    kinds = ["positional-only"] * len(a.posonlyargs) + ["positional-or-keyword"] * len(a.args)
    # pybind11 writes the ints it converts as "int" (2.x) or "SupportsInt | SupportsIndex" (3.x); the
    # stub says int on purpose, since floats are refused although they support __int__.
    plain = {"typing.SupportsInt | typing.SupportsIndex": "int"}

    def name(node):
        text = ast.unparse(node) if node is not None else None
        return plain.get(text, text)

    params = [(kind, p.arg, name(p.annotation), d) for kind, p, d in zip(kinds, positional, defaults)]
    assert params[0][1] == "self"
    return params[1:], name(func.returns)


def _stub_methods():
    tree = ast.parse(STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "compressobj"]
    return {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}


@pytest.mark.parametrize("method", ["__init__", "compress", "flush"])
def test_stub_signature_matches_runtime(method):
    # stubtest skips these: pybind11's callables have no __text_signature__, only the signature line
    # that starts their docstring, e.g. "compress(self: kavo.compressobj, obj: bytes) -> bytes".
    line = getattr(kavo.compressobj, method).__doc__.strip().splitlines()[0]
    runtime = ast.parse(f"def {line}: ...").body[0]
    assert _parameters(_stub_methods()[method]) == _parameters(runtime)


def test_stub_covers_every_runtime_method():
    public = {n for n in vars(kavo.compressobj) if not n.startswith("_")} | {"__init__"}
    assert set(_stub_methods()) == public
