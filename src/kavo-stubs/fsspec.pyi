"""kavo.fsspec: fsspec's "gzip" compression (and "infer" on .gz) written by kavo.open. Reading stays with
the codec that was registered before kavo's; unregister() puts that codec back.
"""

from typing import Final

NAME: Final[str]
"""The fsspec compression name kavo registers under: "gzip"."""

EXTENSIONS: Final[tuple[str, ...]]
"""The file extensions that compression="infer" maps to it: ("gz",)."""

def register(threads: int = 1, force: bool = True) -> None:
    """Make fsspec's compression="gzip" write with kavo.open(f, mode, threads=threads); reading goes to the
    codec that held the name before. Imports fsspec first, since fsspec registers its own codec at import.
    Safe to call again (threads change, the remembered codec does not). force=False raises fsspec's
    ValueError("Duplicate compression registration: gzip") while another codec holds the name. threads
    follows kavo.open: ValueError outside 0 to 256.
    """

def unregister() -> None:
    """Put back the codec fsspec had before register(); nothing happens when kavo's is not registered."""

def registered() -> bool:
    """Whether fsspec's "gzip" codec is kavo's now."""
