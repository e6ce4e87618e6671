"""fsspec's "gzip" compression (and "infer" on .gz) written by kavo; reading stays with the codec it replaced.

    import kavo.fsspec
    kavo.fsspec.register()
    with fsspec.open("memory://x.json.gz", "wt", compression="infer") as f:
        f.write(text)

fsspec registers its own "gzip" codec when it is imported (an accelerated one where one is installed), so
register() imports fsspec first and then replaces the entry with force=True, the way fsspec's own later
registrations replace earlier ones. The codec it replaced is kept: it still opens every file for reading,
and unregister() puts it back. Everything that opens files through fsspec (Dask's to_textfiles, to_csv
and to_json, pandas given an fsspec file, s3fs, gcsfs, ...) then writes kavo's gzip.
"""
from __future__ import annotations

import gzip
import threading
from typing import Any, Callable, Optional

import kavo

NAME = "gzip"
EXTENSIONS = ("gz",)

_lock = threading.Lock()
_previous: Optional[Callable[..., Any]] = None  # the reader and writer that was registered before kavo's
_had_previous = False
_current: Optional[Callable[..., Any]] = None  # kavo's callback while it is the registered one


class _KavoGzip:
    """The callback registered in fsspec.compression.compr: callable as callback(f, mode, **kwargs).

    fsspec calls it with a binary file and mode "r", "w", "a" or "x" (the first letter of the open mode).
    Writing modes give kavo.open(f, mode + "b") with this registration's threads; reading hands f to the
    callback that was registered before, with the same arguments.
    """

    def __init__(self, threads: int, previous: Optional[Callable[..., Any]]) -> None:
        self.threads = threads
        self.previous = previous

    def __call__(self, f: Any, mode: str = "rb", compresslevel: int = 1, mtime: Optional[float] = None,
                 **kwargs: Any) -> Any:
        base = mode.replace("b", "").replace("t", "")
        if base == "r":
            if self.previous is None:  # nothing held the name before: the standard library's reader
                return gzip.GzipFile(fileobj=f, mode="rb", **kwargs)
            return self.previous(f, mode=mode, **kwargs)
        if kwargs:
            raise TypeError(f"kavo's gzip writer takes no argument {sorted(kwargs)[0]!r}")
        return kavo.open(f, base + "b", compresslevel, format=kavo.KAVO_FMT_GZIP, threads=self.threads,
                         mtime=mtime)

    def __repr__(self) -> str:
        return f"<kavo.fsspec gzip writer, threads={self.threads}>"


def register(threads: int = 1, force: bool = True) -> None:
    """Make fsspec's compression="gzip" (and "infer" on paths ending in .gz) write with kavo.open.

    threads is kavo.open's: 1 (the default) compresses on the calling thread, which suits engines that
    already run one task per core, such as Dask's workers; N > 1 compresses up to N blocks of each file at
    once; 0 uses every core. Calling register again is safe: it changes threads and still remembers the
    codec that fsspec had, not kavo's own. force=False follows fsspec's register_compression: it raises
    ValueError("Duplicate compression registration: gzip") when another codec holds the name, which is
    always so once fsspec is imported; it succeeds only where kavo's codec is the registered one already.
    """
    global _previous, _had_previous, _current
    kavo.compress(b"", threads=threads)  # threads checked by kavo's own rule before anything changes
    import fsspec.compression  # runs fsspec's own registrations first, so that kavo's comes after them

    with _lock:
        table = fsspec.compression.compr
        ours = _current is not None and table.get(NAME) is _current
        if not ours:
            if not force and NAME in table:  # fsspec's own refusal, in its words
                fsspec.compression.register_compression(NAME, table[NAME], list(EXTENSIONS), force=False)
            _had_previous = NAME in table
            _previous = table.get(NAME)
        callback = _KavoGzip(threads, _previous)
        fsspec.compression.register_compression(NAME, callback, list(EXTENSIONS), force=True)
        _current = callback


def unregister() -> None:
    """Put back the gzip codec that fsspec had before register(); nothing happens when kavo's is not registered.

    If some other code registered its own "gzip" after kavo, that registration is left as it is.
    """
    global _previous, _had_previous, _current
    import fsspec.compression

    with _lock:
        table = fsspec.compression.compr
        if _current is None:
            return
        if table.get(NAME) is _current:
            if _had_previous:
                table[NAME] = _previous
            else:
                del table[NAME]
        _previous, _had_previous, _current = None, False, None


def registered() -> bool:
    """Whether fsspec's "gzip" codec is kavo's now."""
    import fsspec.compression

    return _current is not None and fsspec.compression.compr.get(NAME) is _current

