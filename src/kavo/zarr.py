"""Zarr v3's "gzip" codec compressing with kavo: metadata identical to zarr.codecs.GzipCodec's.

    import kavo.zarr
    zarr.create_array(store, shape=..., chunks=..., dtype=..., compressors=[kavo.zarr.GzipCodec(level=1)])

or, for every array that names the "gzip" codec (new ones and ones opened for writing):

    kavo.zarr.register()      # zarr.config "codecs.gzip" -> "kavo.zarr.GzipCodec"
    kavo.zarr.unregister()    # back to "zarr.codecs.gzip.GzipCodec"

The array's metadata says {"name": "gzip", "configuration": {"level": N}} as stock zarr writes it, so stock zarr
reads the chunks back without kavo. Decoding is zarr's own. Levels are zarr's (0 to 9; 0 stores); the
level does not change kavo's compressed bytes.
"""
from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING

import zarr
import zarr.codecs
import zarr.registry

import kavo

if TYPE_CHECKING:
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer

STOCK = "zarr.codecs.gzip.GzipCodec"
QUALNAME = "kavo.zarr.GzipCodec"


class GzipCodec(zarr.codecs.GzipCodec):
    """zarr.codecs.GzipCodec whose chunks are compressed by kavo (one gzip member each)."""

    def _encode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> Buffer | None:
        data = chunk_bytes.as_numpy_array()  # host memory: a device buffer is copied here
        return chunk_spec.prototype.buffer.from_bytes(kavo.compress(data, self.level, kavo.KAVO_FMT_GZIP))

    async def _encode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> Buffer | None:
        # kavo lets go of the interpreter lock while it compresses, so chunks sent to threads run side by side.
        return await asyncio.to_thread(self._encode_sync, chunk_bytes, chunk_spec)


zarr.registry.register_codec("gzip", GzipCodec, qualname=QUALNAME)


def register() -> None:
    """Select kavo's class for the "gzip" codec in zarr's configuration (zarr.config "codecs.gzip")."""
    zarr.config.set({"codecs.gzip": QUALNAME})


def unregister() -> None:
    """Select zarr's own "gzip" class again."""
    zarr.config.set({"codecs.gzip": STOCK})
