"""kavo.websockets: permessage-deflate for websockets with kavo compressing. The factories take websockets' own
arguments and negotiate as its own do; pass them as extensions=[...] with compression=None to serve() or
connect(). Decoding stays websockets' (zlib).
"""

__all__ = ["ClientPerMessageDeflateFactory", "PerMessageDeflate", "ServerPerMessageDeflateFactory"]

from typing import Any, Literal, Sequence

from websockets.extensions import permessage_deflate
from websockets.extensions.base import Extension
from websockets.frames import Frame
from websockets.typing import ExtensionParameter

class PerMessageDeflate(permessage_deflate.PerMessageDeflate):
    """The negotiated extension: one kavo stream per connection compresses every message within
    local_max_window_bits; kavo keeps no history, which is valid with and without context takeover.
    """

    def __init__(
        self,
        remote_no_context_takeover: bool,
        local_no_context_takeover: bool,
        remote_max_window_bits: int,
        local_max_window_bits: int,
        compress_settings: dict[Any, Any] | None = None,
    ) -> None: ...
    def encode(self, frame: Frame) -> Frame: ...

class ServerPerMessageDeflateFactory(permessage_deflate.ServerPerMessageDeflateFactory):
    """websockets' ServerPerMessageDeflateFactory whose extension compresses with kavo. compress_settings are
    zlib.compressobj's keywords (not wbits), checked here as zlib checks them."""

    def __init__(
        self,
        server_no_context_takeover: bool = False,
        client_no_context_takeover: bool = False,
        server_max_window_bits: int | None = None,
        client_max_window_bits: int | None = None,
        compress_settings: dict[str, Any] | None = None,
        require_client_max_window_bits: bool = False,
    ) -> None: ...
    def process_request_params(
        self,
        params: Sequence[ExtensionParameter],
        accepted_extensions: Sequence[Extension],
    ) -> tuple[list[ExtensionParameter], PerMessageDeflate]: ...

class ClientPerMessageDeflateFactory(permessage_deflate.ClientPerMessageDeflateFactory):
    """websockets' ClientPerMessageDeflateFactory whose extension compresses with kavo."""

    def __init__(
        self,
        server_no_context_takeover: bool = False,
        client_no_context_takeover: bool = False,
        server_max_window_bits: int | None = None,
        client_max_window_bits: int | Literal[True] | None = True,
        compress_settings: dict[str, Any] | None = None,
    ) -> None: ...
    def process_response_params(
        self,
        params: Sequence[ExtensionParameter],
        accepted_extensions: Sequence[Extension],
    ) -> PerMessageDeflate: ...
