"""kavo.zarr: Zarr v3's "gzip" codec with kavo compressing; metadata identical to zarr.codecs.GzipCodec's."""

from typing import Final

import zarr.codecs
from zarr.core.array_spec import ArraySpec
from zarr.core.buffer import Buffer

STOCK: Final[str]
"""zarr's own class for "gzip", as its configuration names it."""

QUALNAME: Final[str]
"""kavo's class for "gzip", as zarr's configuration names it: "kavo.zarr.GzipCodec"."""

class GzipCodec(zarr.codecs.GzipCodec):
    """zarr.codecs.GzipCodec whose chunks kavo compresses, one gzip member each; decoding is zarr's."""

    def _encode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> Buffer | None: ...
    async def _encode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> Buffer | None: ...

def register() -> None:
    """Select kavo's class for "gzip" in zarr.config (codecs.gzip), for every array that names the codec."""

def unregister() -> None:
    """Select zarr's own class for "gzip" again."""
