"""Quick forms of the fuzzers: engine corpus replay (gcc), a short libFuzzer run (clang), the Python harness.

The long forms run on demand: `python tests/fuzz/run.py --minutes 30` (see tests/fuzz/run.py).
"""
import base64
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))
import builds  # noqa: E402
import make_corpus  # noqa: E402
import py_harness  # noqa: E402
import run as fuzz_run  # noqa: E402
from conftest import ENGINE_VARIANTS, program_variant, skip_unless_cpu_runs  # noqa: E402

# Under a sanitizer or valgrind the same checks run on fewer inputs.
SCALE = {"": 1.0, "asan": 0.2, "valgrind": 0.02}.get(os.environ.get("KAVO_UNDER_CHECKER", ""), 0.2)
ENGINE_FUZZ_SECONDS = 10
PYTHON_FUZZ_SECONDS = 10


def replayer():
    try:
        return builds.plain("fuzz_replay") / "fuzz_replay"
    except builds.BuildError as e:
        pytest.fail(str(e))


def test_seed_corpus_is_current():
    """The committed seeds are what make_corpus.py writes, so that the layout and the seeds agree."""
    seeds = sorted(p.name for p in builds.CORPUS.iterdir())
    assert len(seeds) >= 90
    assert all((builds.CORPUS / s).stat().st_size <= 4096 for s in seeds), "seed files are meant to be small"
    expected = dict(make_corpus.cases())
    assert sorted(expected) == seeds
    for name, data in expected.items():
        assert (builds.CORPUS / name).read_bytes() == data, name


@pytest.mark.parametrize("variant", ENGINE_VARIANTS)
def test_engine_corpus_replay_gcc(variant):
    """Every seed and regression input, then random inputs, through the differential target built by gcc,
    with the engine's form chosen by KAVO_ENGINE_VARIANT."""
    exe = replayer()
    random_runs = int(1500 * SCALE)
    run = subprocess.run([str(exe), "--random", str(random_runs), "--seed", "20240", *builds.seed_inputs()],
                         capture_output=True, text=True, timeout=300,
                         env=dict(os.environ, KAVO_ENGINE_VARIANT=variant))
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-4000:]
    used, runs = program_variant(run.stdout)
    skip_unless_cpu_runs(variant, runs)
    assert used == variant, run.stdout
    replayed = int(run.stdout.split("fuzz_replay: ")[1].split()[0])
    assert replayed == len(list(builds.CORPUS.iterdir())) + len(list(builds.REGRESSION.iterdir()))


def test_engine_libfuzzer_quick(tmp_path):
    """libFuzzer with ASan and UBSan on the differential target, from the seed corpus, for a few seconds."""
    why = builds.have_libfuzzer()
    if why:
        pytest.skip(why)
    try:
        binary = fuzz_run.build_engine_fuzzer()
    except builds.BuildError as e:
        pytest.fail(str(e))
    artifacts = tmp_path / "found"
    process, log = fuzz_run.start_engine_fuzzer(binary, ENGINE_FUZZ_SECONDS * SCALE, tmp_path, artifacts)
    code = process.wait(timeout=600)
    text = Path(log).read_text(errors="replace")
    found = sorted(artifacts.iterdir()) if artifacts.exists() else []
    detail = "".join(f"\n{p.name}: base64 {base64.b64encode(p.read_bytes()).decode()}" for p in found)
    assert code == 0 and not found, (f"libFuzzer found a failing input (add it to tests/fuzz/regression/):"
                                     f"{detail}\n{text[-5000:]}")
    stats = fuzz_run._stats(text)
    assert stats.get("number_of_executed_units", 0) > len(list(builds.CORPUS.iterdir()))


def harness_inputs(count, seed):
    """Random programs for the harness, most of them starting with valid constructor arguments."""
    rnd = random.Random(seed)
    for i in range(count):
        n = rnd.choice((8, 40, 200, 1500))
        body = bytes(rnd.randrange(256) for _ in range(n))
        if i % 4:
            # small ints for level and format, positional: the call sequence is what varies
            body = bytes([0, rnd.randrange(8), 0, rnd.randrange(8), 0]) + body
        yield body


@pytest.mark.parametrize("check", ["check_sequence", "check_zlib_sequence"])
def test_python_harness_replay(check):
    """The Python harness in this interpreter: random call sequences of kavo.compressobj against the
    reference and zlib, and of kavo.zlib in step with the standard zlib module."""
    count = int(2500 * SCALE)
    checked = 0
    for data in harness_inputs(count, 7):
        getattr(py_harness, check)(data)
        checked += 1
    assert checked == count


@pytest.mark.parametrize("bad", [b"\x05\x00", b"\x00\x00\x09\x01", b"\x00\x00\x0a\x00\x00", b"\x08\x00\x00\x00"])
def test_python_harness_refusals(bad):
    """Constructor arguments out of range or of the wrong type end the case with TypeError, as checked."""
    py_harness.check_sequence(bad)


def test_python_harness_catches_a_wrong_result(monkeypatch):
    """The harness is not vacuous: a compress that drops a byte is reported."""
    real = py_harness.kavo.compressobj

    class Dropping:
        def __init__(self, *args, **kwargs):
            self.obj = real(*args, **kwargs)

        def compress(self, data):
            return self.obj.compress(data[:-1] if len(data) > 1 else data)

        def flush(self):
            return self.obj.flush()

    monkeypatch.setattr(py_harness.kavo, "compressobj", Dropping)
    with pytest.raises(AssertionError):
        for data in harness_inputs(200, 3):
            py_harness.check_sequence(data)


def test_zlib_harness_catches_a_lost_flush(monkeypatch):
    """The kavo.zlib checks are not vacuous either: a sync flush that keeps its last byte back is reported."""
    real = py_harness.kavo.zlib.compressobj

    class Short:
        def __init__(self, obj):
            self.obj = obj

        def compress(self, data):
            return self.obj.compress(data)

        def flush(self, mode=py_harness.zlib.Z_FINISH):
            out = self.obj.flush(mode)
            return out[:-1] if mode == py_harness.zlib.Z_SYNC_FLUSH else out

        def copy(self):
            return Short(self.obj.copy())

    monkeypatch.setattr(py_harness.kavo.zlib, "compressobj", lambda **kwargs: Short(real(**kwargs)))
    with pytest.raises((AssertionError, py_harness.zlib.error)):
        for data in harness_inputs(300, 3):
            py_harness.check_zlib_sequence(data)


def test_python_harness_atheris_quick(tmp_path):
    """The same harness as a coverage-guided atheris fuzzer, for a few seconds."""
    pytest.importorskip("atheris", reason="atheris is not installed (pip install atheris)")
    if os.environ.get("KAVO_UNDER_CHECKER"):
        pytest.skip("atheris brings its own libFuzzer; it runs outside sanitizer and valgrind runs")
    process, log = fuzz_run.start_python_fuzzer(PYTHON_FUZZ_SECONDS, tmp_path)
    code = process.wait(timeout=300)
    text = Path(log).read_text(errors="replace")
    assert code == 0, text[-5000:]
    assert fuzz_run._stats(text).get("number_of_executed_units", 0) > 1000, text[-2000:]
