"""Loads kavo's compiled module as `kavo` itself, with this directory as its __path__.

`import kavo` gives the extension module, not this package: its classes, signature lines and (absent)
docstring are exactly the compiled module's. The package exists only so that the pure-Python
integrations (`kavo.starlette`, `kavo.fsspec`, ...) can be found beside it as submodules.
"""
import importlib.machinery
import importlib.util
import os
import sys


def _load() -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    # The compiled file is _kavo plus this interpreter's extension suffix (".cpython-311-x86_64-linux-gnu.so",
    # ".cp311-win_amd64.pyd", ...), named so that `import kavo` never finds it before this package.
    # Its init function is still PyInit_kavo, which the loader calls because the module it makes is named "kavo".
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(here, "_kavo" + suffix)
        if os.path.isfile(path):
            break
    else:
        raise ImportError(f"kavo's compiled module (_kavo with one of {importlib.machinery.EXTENSION_SUFFIXES}) "
                          f"is missing from {here}: reinstall kavo (pip install .)", name="kavo")
    loader = importlib.machinery.ExtensionFileLoader("kavo", path)
    found = importlib.util.spec_from_file_location("kavo", path, loader=loader, submodule_search_locations=[here])
    module = importlib.util.module_from_spec(found)
    # The import statement hands back whatever sys.modules holds under the name once this file has run.
    sys.modules["kavo"] = module
    try:
        loader.exec_module(module)
    except BaseException:
        del sys.modules["kavo"]
        raise


_load()
