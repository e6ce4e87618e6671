# The Python surface of kavo: constants, constructor arguments, types accepted, exact small streams, flush rules.
import importlib.machinery
import importlib.util
import itertools
import os
import shutil
import subprocess
import sys
import textwrap
import zlib
from pathlib import Path

import pytest

import kavo
from conftest import FORMATS, GZIP_HEADER, INTEGRATIONS, ZLIB_HEADER, decode, kavo_pieces, run_child
from reference import RefStream

TEXT = b"a rose is a rose is a rose; " * 40 + bytes(range(256))  # matches, low and high literals
EMPTY_STREAMS = {
    kavo.KAVO_FMT_DEFLATE: "0300",
    kavo.KAVO_FMT_GZIP: "1f8b0800000000000403" "0300" "00000000" "00000000",
    kavo.KAVO_FMT_ZLIB: "7801" "0300" "00000001",
}


def joined(level, fmt, data=TEXT, splits=(100, 700)):
    return b"".join(kavo_pieces(data, level, fmt, splits))


# --- module and class ---------------------------------------------------------------------------

def test_constants_are_the_ints_0_1_2():
    values = (kavo.KAVO_FMT_GZIP, kavo.KAVO_FMT_ZLIB, kavo.KAVO_FMT_DEFLATE)
    assert values == (0, 1, 2)
    assert all(type(v) is int for v in values)
    assert isinstance(kavo.compressobj, type)


def test_no_docstrings_beyond_signature_lines():
    assert kavo.__doc__ is None
    assert kavo.compressobj.__doc__ is None
    for name in ("__init__", "compress", "flush"):
        lines = getattr(kavo.compressobj, name).__doc__.strip().splitlines()
        assert len(lines) == 1 and lines[0].startswith(name + "("), lines


def test_instances_take_no_new_attributes():
    obj = kavo.compressobj()
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")


def test_subclass_from_python():
    class Counting(kavo.compressobj):
        def __init__(self, level, fmt):
            super().__init__(level, fmt)
            self.calls = 0  # a Python subclass gets an instance dict of its own

        def compress(self, obj):
            self.calls += 1
            return super().compress(obj)

    sub = Counting(1, kavo.KAVO_FMT_GZIP)
    out = sub.compress(TEXT[:500]) + sub.compress(TEXT[500:]) + sub.flush()
    assert sub.calls == 2
    assert out == joined(1, kavo.KAVO_FMT_GZIP, splits=(500,))


def test_second_init_leaves_object_unchanged():
    obj = kavo.compressobj(1, kavo.KAVO_FMT_DEFLATE)
    obj.__init__(0, kavo.KAVO_FMT_GZIP)
    assert obj.compress(TEXT) + obj.flush() == joined(1, kavo.KAVO_FMT_DEFLATE, splits=())


# --- exact small streams ------------------------------------------------------------------------

@pytest.mark.parametrize("fmt, level", list(itertools.product(FORMATS, (0, 1))))
def test_empty_stream_exact_bytes(fmt, level):
    assert kavo.compressobj(level, fmt).flush().hex() == EMPTY_STREAMS[fmt]
    # Empty compress calls before the flush move the header but add nothing else.
    obj = kavo.compressobj(level, fmt)
    assert (obj.compress(b"") + obj.compress(b"") + obj.flush()).hex() == EMPTY_STREAMS[fmt]


def test_default_object_is_raw_deflate_level_1():
    assert kavo.compressobj().flush() == b"\x03\x00"
    default = kavo.compressobj()
    out = default.compress(TEXT) + default.flush()
    ref = RefStream(1, 2)
    assert out == ref.encode(TEXT) + ref.finish()


@pytest.mark.parametrize("data", (b"", b"a", b"\xff" * 3, TEXT), ids=("empty", "one", "three-high", "text"))
@pytest.mark.parametrize("fmt, level", list(itertools.product((kavo.KAVO_FMT_GZIP, kavo.KAVO_FMT_ZLIB), (0, 1))))
def test_first_compress_begins_with_header(fmt, level, data):
    header = GZIP_HEADER if fmt == kavo.KAVO_FMT_GZIP else ZLIB_HEADER
    first = kavo.compressobj(level, fmt).compress(data)
    assert first[:len(header)] == header
    if not data:
        assert first == header


def test_stored_block_exact_bytes():
    obj = kavo.compressobj(0)
    assert obj.compress(b"abc").hex() == "000300fcff616263"
    assert obj.flush().hex() == "0300"


@pytest.mark.parametrize("level", (0, 1))
def test_container_body_is_the_raw_deflate_stream(level):
    # The same deflate data between the gzip or zlib framing as in the raw stream, call by call.
    splits = (0, 3, 100, 101, 900)
    raw = kavo_pieces(TEXT, level, kavo.KAVO_FMT_DEFLATE, splits)
    gz = kavo_pieces(TEXT, level, kavo.KAVO_FMT_GZIP, splits)
    zl = kavo_pieces(TEXT, level, kavo.KAVO_FMT_ZLIB, splits)
    assert gz[0] == GZIP_HEADER + raw[0] and zl[0] == ZLIB_HEADER + raw[0]
    assert gz[1:-1] == raw[1:-1] == zl[1:-1]
    assert gz[-1] == raw[-1] + zlib.crc32(TEXT).to_bytes(4, "little") + len(TEXT).to_bytes(4, "little")
    assert zl[-1] == raw[-1] + zlib.adler32(TEXT).to_bytes(4, "big")


# --- constructor arguments ----------------------------------------------------------------------

def test_positional_order_is_level_then_format():
    gzip_stored = kavo.compressobj(0, kavo.KAVO_FMT_GZIP)
    out = gzip_stored.compress(TEXT) + gzip_stored.flush()
    ref = RefStream(0, 0)
    assert out == ref.encode(TEXT) + ref.finish()
    assert out[:10] == GZIP_HEADER and out[10] == 0x00  # a stored block right after the header
    assert decode(out, kavo.KAVO_FMT_GZIP) == TEXT
    # The constant in first place is taken as the level: 2 is even, so raw deflate, stored.
    assert joined(kavo.KAVO_FMT_DEFLATE, 2) == joined(0, 2) != joined(1, 2)


def test_keyword_arguments():
    by_keyword = kavo.compressobj(format=kavo.KAVO_FMT_ZLIB, level=0)
    out = by_keyword.compress(obj=TEXT[:100]) + by_keyword.compress(obj=TEXT[100:700]) + \
        by_keyword.compress(obj=TEXT[700:]) + by_keyword.flush()
    assert out == joined(0, kavo.KAVO_FMT_ZLIB)
    mixed = kavo.compressobj(0, format=kavo.KAVO_FMT_GZIP)
    assert mixed.compress(TEXT) + mixed.flush() == joined(0, kavo.KAVO_FMT_GZIP, splits=())
    only_format = kavo.compressobj(format=kavo.KAVO_FMT_GZIP)
    assert only_format.compress(TEXT) + only_format.flush() == joined(1, kavo.KAVO_FMT_GZIP, splits=())


@pytest.mark.parametrize("fmt", (3, 4, 5, -1, 2**31 - 1, -2**31))
def test_other_format_numbers_are_raw_deflate(fmt):
    for level in (0, 1):
        assert joined(level, fmt) == joined(level, kavo.KAVO_FMT_DEFLATE)
    assert kavo.compressobj(1, fmt).flush() == b"\x03\x00"


@pytest.mark.parametrize("level", (2, 3, -1, -2, 2**31 - 1, -2**31, True, False))
def test_only_the_lowest_bit_of_the_level_counts(level):
    for fmt in FORMATS:
        assert joined(level, fmt) == joined(int(level) & 1, fmt)


def test_levels_0_and_1_differ():
    # Guards the level tests above: they would pass trivially if the level were ignored.
    out0, out1 = joined(0, 2), joined(1, 2)
    assert len(out1) < len(out0) and decode(out0, 2) == decode(out1, 2) == TEXT


def test_bool_format_is_its_int():
    assert joined(1, True) == joined(1, kavo.KAVO_FMT_ZLIB)
    assert joined(1, False) == joined(1, kavo.KAVO_FMT_GZIP)


@pytest.mark.parametrize("args, kwargs", [
    ((1.0,), {}), ((1, 2.0), {}), ((2**31,), {}), ((-2**31 - 1,), {}), ((1, 2**31), {}), ((1, -2**31 - 1), {}),
    ((None,), {}), (("1",), {}), ((b"1",), {}), ((1, 2, 3), {}), ((), {"lvl": 1}), ((1,), {"level": 1}),
])
def test_constructor_type_errors(args, kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        kavo.compressobj(*args, **kwargs)


@pytest.mark.parametrize("fmt", FORMATS)
def test_compress_type_errors_leave_stream_untouched(fmt):
    obj = kavo.compressobj(1, fmt)
    first = obj.compress(TEXT[:300])
    for bad in (bytearray(TEXT), memoryview(TEXT), TEXT.decode("latin-1"), None, 7, [1, 2]):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            obj.compress(bad)
    with pytest.raises(TypeError):
        obj.compress()
    with pytest.raises(TypeError):
        obj.compress(TEXT, TEXT)
    with pytest.raises(TypeError):
        obj.flush(True)
    assert first + obj.compress(TEXT[300:]) + obj.flush() == joined(1, fmt, splits=(300,))


class LyingLength(bytes):
    """A bytes subclass that reports a wrong length: the contents count, not __len__."""

    def __init__(self, value):
        super().__init__()
        self.claimed = 1

    def __len__(self):
        return self.claimed


@pytest.mark.parametrize("fmt, level, claimed", list(itertools.product(FORMATS, (0, 1), (0, 1, 10**6))))
def test_bytes_subclass_taken_by_real_length(fmt, level, claimed):
    piece = LyingLength(TEXT)
    piece.claimed = claimed
    obj = kavo.compressobj(level, fmt)
    assert obj.compress(piece) + obj.flush() == joined(level, fmt, splits=())


# --- after the end of the stream ----------------------------------------------------------------

@pytest.mark.parametrize("fmt, level", list(itertools.product(FORMATS, (0, 1))))
def test_every_flush_after_the_first_is_empty(fmt, level):
    obj = kavo.compressobj(level, fmt)
    stream = obj.compress(TEXT) + obj.flush()
    assert [obj.flush() for _ in range(3)] == [b"", b"", b""]
    assert decode(stream, fmt) == TEXT
    lone = kavo.compressobj(level, fmt)
    assert lone.flush().hex() == EMPTY_STREAMS[fmt]
    assert lone.flush() == b""


@pytest.mark.parametrize("fmt, level", list(itertools.product(FORMATS, (0, 1))))
def test_compress_after_flush_is_refused(fmt, level):
    obj = kavo.compressobj(level, fmt)
    stream = obj.compress(TEXT[:400]) + obj.flush()
    for late in (b"", b"x", TEXT):
        with pytest.raises(ValueError, match=r"^compress\(\) called after flush\(\)$"):
            obj.compress(late)
    # Nothing was written: the stream stays complete and a later flush still adds nothing.
    assert obj.flush() == b""
    assert stream == joined(level, fmt, data=TEXT[:400], splits=())
    assert decode(stream, fmt) == TEXT[:400]


# --- hostile use: no crash from pure Python -------------------------------------------------------

def kavo_namespaces():
    """The module and its submodules (kavo.zlib), however many there are."""
    return [kavo] + [v for v in vars(kavo).values() if type(v) is type(kavo) and v.__name__.startswith("kavo.")]


def bound_classes():
    return sorted({v for ns in kavo_namespaces() for v in vars(ns).values()
                   if isinstance(v, type) and type(v).__name__ == "pybind11_type"}, key=lambda c: c.__qualname__)


def class_callables():
    """(class, name) of every method and property the class itself defines, dunders included.

    Left out: __new__, and pybind11's hook for other C++ extensions (_pybind11_conduit_v1_), which
    takes a capsule that only C++ code can make and hands out nothing Python can call."""
    return [(cls, name) for cls in bound_classes() for name, v in vars(cls).items()
            if name not in ("__new__", "__init__") and not name.startswith("_pybind11")
            and (callable(v) or isinstance(v, property))]


HOSTILE_CHILD = """
    import sys, kavo
    owner = {ns.__name__: ns for ns in [kavo] + [v for v in vars(kavo).values() if type(v) is type(kavo)]}
    module, qualname, name = sys.argv[1:4]
    cls = getattr(owner[module], qualname)
    attr = vars(cls)[name]
    call = attr.fget if isinstance(attr, property) else attr

    class Skipping(cls):
        def __init__(self, *args, **kwargs):
            pass  # never runs the base constructor

    selves = {"None": None, "foreign": object(), "new only": cls.__new__(cls),
              "subclass without base init": Skipping.__new__(Skipping)}
    for label, self in selves.items():
        said = []
        for args in ((), (b"data",), (b"data", 1)):  # one of them fits the method's parameters
            try:
                call(self, *args)
            except TypeError as e:
                said.append(str(e))
            else:
                raise AssertionError(f"{label}: {name}{args} did not raise")
        # pybind11 itself turns a None or foreign self away when the method has parameters.
        expected = "was called on a" if label in ("None", "foreign") else "not initialized: __init__ was not called"
        assert any(expected in t or "incompatible function arguments" in t for t in said), said
        if label not in ("None", "foreign"):
            assert any(expected in t for t in said), said
    print("ok")
"""


@pytest.mark.parametrize("cls, name", class_callables(), ids=lambda v: getattr(v, "__qualname__", v))
def test_methods_refuse_a_self_that_is_not_a_constructed_object(cls, name):
    assert run_child(HOSTILE_CHILD, cls.__module__, cls.__qualname__, name, timeout=60).strip() == "ok"


@pytest.mark.parametrize("cls", bound_classes(), ids=lambda c: c.__qualname__)
def test_init_refuses_a_foreign_self_and_constructs_a_bare_instance(cls):
    for self in (None, object()):
        with pytest.raises(TypeError):
            cls.__init__(self)
    if cls is kavo.compressobj:
        bare = cls.__new__(cls)
        bare.__init__(1, kavo.KAVO_FMT_GZIP)
        bare.__init__(0, kavo.KAVO_FMT_ZLIB)  # ignored: already constructed
        assert bare.compress(TEXT) + bare.flush() == joined(1, kavo.KAVO_FMT_GZIP, splits=())


def module_functions():
    return [(ns, name) for ns in kavo_namespaces() for name, v in vars(ns).items()
            if not name.startswith("_") and callable(v) and not isinstance(v, type)
            and getattr(v, "__module__", ns.__name__) in ("kavo", ns.__name__)]


@pytest.mark.parametrize("ns, name", module_functions(), ids=lambda v: getattr(v, "__name__", v))
def test_module_functions_refuse_none(ns, name):
    code = f"""
        import importlib
        ns = importlib.import_module("{ns.__name__}")  # a pure-Python submodule is there only once imported
        try:
            ns.{name}(None)
        except TypeError:
            print("ok")
    """
    assert run_child(code, timeout=60).strip() == "ok"


SUBINTERPRETERS = """
    import sys, zlib
    try:
        import _interpreters as interpreters  # 3.13 on
    except ImportError:
        import _xxsubinterpreters as interpreters
    import kavo
    main = [kavo.compressobj(1, f) for f in (0, 1, 2)]
    USE = (
        "import kavo, kavo.zlib, zlib\\n"
        "data = b'in a sub-interpreter ' * 100\\n"
        "obj = kavo.compressobj(1, 0)\\n"
        "assert zlib.decompress(obj.compress(data) + obj.flush(), 31) == data\\n"
        "z = kavo.zlib.compressobj(1)\\n"
        "assert zlib.decompress(z.compress(data) + z.flush()) == data\\n"
    )
    # Before 3.12 every sub-interpreter shares the main one's lock; from 3.12 on one can have its own.
    configs = ["shared", "shared"] if sys.version_info < (3, 12) else ["shared", "own", "shared", "own"]
    outcomes = []
    for config in configs:  # one after the other, each created and destroyed
        if hasattr(interpreters, "new_config"):
            sub = interpreters.create(interpreters.new_config("legacy" if config == "shared" else "isolated"))
        elif sys.version_info >= (3, 12):
            sub = interpreters.create(isolated=config == "own")
        else:
            sub = interpreters.create()
        try:
            failure = interpreters.run_string(sub, USE)  # 3.13 returns the failure, earlier ones raise it
            outcomes.append(config + ":" + ("worked" if failure is None else failure.formatted))
        except interpreters.RunFailedError as e:
            outcomes.append(config + ":" + str(e))
        interpreters.destroy(sub)
    data = b"after the sub-interpreters " * 100
    for obj, f in zip(main, (31, 15, -15)):
        assert zlib.decompress(obj.compress(data) + obj.flush(), f) == data
    after = kavo.compressobj(1, 0)
    assert zlib.decompress(after.compress(data) + after.flush(), 31) == data
    print("|".join(outcomes))
"""


def test_sub_interpreters_refuse_at_once_or_work_and_main_goes_on():
    # Found by importing kavo under a host that runs applications in sub-interpreters: it hung.
    # Before 3.12 the import fails at once. From 3.12 on a sub-interpreter that shares the main lock
    # imports and uses kavo; one with its own lock is refused by the interpreter itself, at once.
    outcomes = run_child(SUBINTERPRETERS, timeout=60).strip().split("|")
    assert len(outcomes) == (2 if sys.version_info < (3, 12) else 4), outcomes
    for outcome in outcomes:
        config, text = outcome.split(":", 1)
        if sys.version_info < (3, 12):
            assert "ImportError" in text and "kavo cannot be loaded in a sub-interpreter" in text, text
        elif config == "shared":
            assert text == "worked", text
        else:
            assert "ImportError" in text and "module kavo does not support loading in subinterpreters" in text, text


LAYOUT_CHILD = """
    import importlib.machinery, sys, zlib
    suffix = sys.argv[1]
    if suffix not in importlib.machinery.EXTENSION_SUFFIXES:
        importlib.machinery.EXTENSION_SUFFIXES.insert(0, suffix)  # the names Windows gives compiled modules
    import kavo
    import kavo.probe
    from kavo import probe
    import kavo.zlib as kz
    assert kavo.probe is probe is sys.modules["kavo.probe"] and probe.where == "beside the compiled module"
    assert kz is kavo.zlib is sys.modules["kavo.zlib"] and kavo is sys.modules["kavo"]
    assert type(kavo) is type(zlib) and kavo.__doc__ is None and kavo.__file__.endswith("_kavo" + suffix)
    assert kavo.compressobj.__module__ == "kavo" and kavo.compressobj.__doc__ is None
    assert kavo.compressobj.compress.__doc__ == "compress(self: kavo.compressobj, obj: bytes) -> bytes\\n"
    assert kavo.compressobj.flush.__doc__ == "flush(self: kavo.compressobj) -> bytes\\n"
    obj = kavo.compressobj(1, kavo.KAVO_FMT_GZIP)
    print((obj.compress(b"abc" * 100) + obj.flush()).hex())
"""


@pytest.mark.parametrize("suffix", [importlib.machinery.EXTENSION_SUFFIXES[0], ".cp311-win_amd64.pyd", ".pyd"])
def test_package_gives_the_compiled_module_and_finds_submodules(tmp_path, suffix):
    # kavo is a package only so that pure-Python modules can sit beside the compiled one; `import kavo`
    # still gives the compiled module itself, under whatever extension suffix the platform uses.
    installed = Path(kavo.__file__).parent
    (tmp_path / "kavo").mkdir()
    shutil.copy(installed / "__init__.py", tmp_path / "kavo")
    shutil.copy(kavo.__file__, tmp_path / "kavo" / ("_kavo" + suffix))
    (tmp_path / "kavo" / "probe.py").write_text('where = "beside the compiled module"\n')
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(LAYOUT_CHILD), suffix], env=env, cwd=tmp_path,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-3000:]
    assert bytes.fromhex(run.stdout.strip()) == joined(1, kavo.KAVO_FMT_GZIP, b"abc" * 100, ())
    (tmp_path / "kavo" / ("_kavo" + suffix)).unlink()
    missing = subprocess.run([sys.executable, "-c", "import kavo"], env=env, cwd=tmp_path, capture_output=True,
                             text=True, timeout=60)
    assert missing.returncode == 1 and "ImportError: kavo's compiled module" in missing.stderr


# The pure-Python modules beside the compiled one, each with the host it needs (skipped without it).

IMPORT_FORMS_CHILD = """
    import sys, zlib
    name, form = sys.argv[1:3]
    if form == "import kavo.x":
        import importlib
        module = importlib.import_module("kavo." + name)
    elif form == "from kavo import x":
        exec(f"from kavo import {name} as module")
    else:  # the attribute, once the submodule is imported
        exec(f"import kavo.{name}")
        import kavo
        module = getattr(kavo, name)
    import kavo
    assert module is sys.modules["kavo." + name] is getattr(kavo, name) and module.__name__ == "kavo." + name
    assert type(kavo) is type(zlib) and kavo.__doc__ is None and sys.modules["kavo"] is kavo
    assert kavo.compressobj.__module__ == "kavo" and kavo.compressobj.__doc__ is None
    assert kavo.compressobj.compress.__doc__ == "compress(self: kavo.compressobj, obj: bytes) -> bytes\\n"
    print(module.__file__)
"""


@pytest.mark.parametrize("form", ["import kavo.x", "from kavo import x", "kavo.x"])
@pytest.mark.parametrize("name", sorted(INTEGRATIONS))
def test_integration_modules_import_every_way_and_leave_kavo_as_it_is(name, form):
    pytest.importorskip(INTEGRATIONS[name], reason=f"kavo.{name} needs {INTEGRATIONS[name]} (pip install {INTEGRATIONS[name]})")
    where = run_child(IMPORT_FORMS_CHILD, name, form, timeout=120).strip()
    assert Path(where) == Path(kavo.__file__).parent / f"{name}.py"
