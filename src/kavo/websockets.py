"""permessage-deflate for the websockets library, compressing with kavo: pass the factories as extensions=[...]."""
from __future__ import annotations

import zlib
from typing import Any, Literal, Sequence

from websockets.exceptions import NegotiationError
from websockets.extensions import permessage_deflate
from websockets.extensions.base import Extension
from websockets.frames import CTRL_OPCODES, Frame, Opcode  # Opcode.CONT: every release kavo supports names it so
from websockets.typing import ExtensionParameter

import kavo.zlib

__all__ = ["ClientPerMessageDeflateFactory", "PerMessageDeflate", "ServerPerMessageDeflateFactory"]

_TAIL = b"\x00\x00\xff\xff"  # what a sync flush ends with; each message leaves it off (RFC 7692, 7.2.1)


class PerMessageDeflate(permessage_deflate.PerMessageDeflate):
    """websockets' extension with kavo as the compressor; decoding is websockets' own, with zlib.

    kavo keeps no history from one compress() call to the next, so no message refers to an earlier one:
    that is what every peer expects without context takeover and what it accepts with it. So one small
    kavo stream per connection serves every message, whichever was agreed, and its matches never reach
    further back than local_max_window_bits allows."""

    def __init__(
        self,
        remote_no_context_takeover: bool,
        local_no_context_takeover: bool,
        remote_max_window_bits: int,
        local_max_window_bits: int,
        compress_settings: dict[Any, Any] | None = None,
    ) -> None:
        # Told there is no context to keep, the base class makes no zlib compressor of its own.
        super().__init__(remote_no_context_takeover, True, remote_max_window_bits, local_max_window_bits,
                         compress_settings)
        self.local_no_context_takeover = local_no_context_takeover
        self.encoder = kavo.zlib.compressobj(wbits=-local_max_window_bits, **self.compress_settings)

    def __repr__(self) -> str:
        return "kavo." + super().__repr__()

    def encode(self, frame: Frame) -> Frame:
        if frame.opcode in CTRL_OPCODES:
            return frame
        # compress() runs before every flush, even of an empty frame, so each flush writes its 00 00 ff ff.
        data: bytes | memoryview = self.encoder.compress(frame.data) + self.encoder.flush(zlib.Z_SYNC_FLUSH)
        if frame.fin:
            assert data[-4:] == _TAIL
            data = data[:-4] if len(data) < 2048 else memoryview(data)[:-4]
        # the first frame of a message carries RSV1, its continuations do not
        return Frame(frame.opcode, data, frame.fin, frame.opcode is not Opcode.CONT, frame.rsv2, frame.rsv3)


# zlib refuses to compress with an 8-bit window, and so does kavo.zlib. websockets releases before 17 still let a
# factory offer one or a peer ask for it, and failed at the first message; every release since refuses it up front,
# with these words, which kavo's factories apply whatever the release.
def _check(compress_settings: dict[str, Any] | None, own_window: str, bits: int | bool | None) -> None:
    """Refuses, when the factory is made, the settings that zlib's compressobj would refuse at each handshake."""
    if bits == 8:
        raise ValueError(f"{own_window} must be between 9 and 15")
    if compress_settings is not None and "wbits" not in compress_settings:
        kavo.zlib.compressobj(**compress_settings)


def _kavo_extension(ext: permessage_deflate.PerMessageDeflate, own_window: str) -> PerMessageDeflate:
    if ext.local_max_window_bits == 8:
        raise NegotiationError(f"unsupported {own_window} = 8, use 9")
    return PerMessageDeflate(ext.remote_no_context_takeover, ext.local_no_context_takeover,
                             ext.remote_max_window_bits, ext.local_max_window_bits, ext.compress_settings)


class ServerPerMessageDeflateFactory(permessage_deflate.ServerPerMessageDeflateFactory):
    """websockets' server factory (same arguments, same negotiation) whose extension compresses with kavo.
    Use it as serve(..., extensions=[ServerPerMessageDeflateFactory(...)], compression=None)."""

    def __init__(
        self,
        server_no_context_takeover: bool = False,
        client_no_context_takeover: bool = False,
        server_max_window_bits: int | None = None,
        client_max_window_bits: int | None = None,
        compress_settings: dict[str, Any] | None = None,
        require_client_max_window_bits: bool = False,
    ) -> None:
        super().__init__(server_no_context_takeover, client_no_context_takeover, server_max_window_bits,
                         client_max_window_bits, compress_settings, require_client_max_window_bits)
        _check(compress_settings, "server_max_window_bits", server_max_window_bits)

    def process_request_params(
        self,
        params: Sequence[ExtensionParameter],
        accepted_extensions: Sequence[Extension],
    ) -> tuple[list[ExtensionParameter], PerMessageDeflate]:
        # websockets negotiates; its extension, used only for the agreed parameters, is dropped at once
        response, agreed = super().process_request_params(params, accepted_extensions)
        return response, _kavo_extension(agreed, "server_max_window_bits")


class ClientPerMessageDeflateFactory(permessage_deflate.ClientPerMessageDeflateFactory):
    """websockets' client factory (same arguments, same negotiation) whose extension compresses with kavo.
    Use it as connect(..., extensions=[ClientPerMessageDeflateFactory(...)], compression=None)."""

    def __init__(
        self,
        server_no_context_takeover: bool = False,
        client_no_context_takeover: bool = False,
        server_max_window_bits: int | None = None,
        client_max_window_bits: int | Literal[True] | None = True,
        compress_settings: dict[str, Any] | None = None,
    ) -> None:
        super().__init__(server_no_context_takeover, client_no_context_takeover, server_max_window_bits,
                         client_max_window_bits, compress_settings)
        _check(compress_settings, "client_max_window_bits", client_max_window_bits)

    def process_response_params(
        self,
        params: Sequence[ExtensionParameter],
        accepted_extensions: Sequence[Extension],
    ) -> PerMessageDeflate:
        return _kavo_extension(super().process_response_params(params, accepted_extensions), "client_max_window_bits")
