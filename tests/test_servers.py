# kavo.zlib as aiohttp's compressor on real loopback servers: WebSocket permessage-deflate both ways, streamed gzip.
import asyncio
import contextlib
import hashlib
import importlib
import inspect
import random
import types
import zlib

import pytest
from aiohttp import ClientSession, ClientWSTimeout, WSMsgType, compression_utils, set_zlib_backend, web
from websockets.asyncio.client import connect as ws_connect
from websockets.asyncio.server import serve as ws_serve
from websockets.exceptions import ConnectionClosedError
from websockets.extensions.permessage_deflate import ClientPerMessageDeflateFactory, ServerPerMessageDeflateFactory

BACKEND = "kavo.zlib"  # the module handed to aiohttp.set_zlib_backend
backend = importlib.import_module(BACKEND)

TIMEOUT = 20  # seconds for any one network step; a hang fails the test instead of stalling the run
WS_TIMEOUT = ClientWSTimeout(ws_receive=TIMEOUT, ws_close=TIMEOUT)
# websockets 15 and later connect through a proxy named in the environment unless told not to; older ones never do
NO_PROXY = {"proxy": None} if "proxy" in inspect.signature(ws_connect).parameters else {}
WINDOWS = range(9, 16)
SIZES = [0, 1, 100, 64 * 1024, 3_000_000]
FAR = 30_000  # the payload repeats itself at this distance: legal only in a 32 KiB window


def payload(size, seed=0):
    """JSON lines whose keys repeat nearby and whose random values repeat only FAR bytes later, so that an encoder
    reaching past a smaller negotiated window writes distances the peer's decoder rejects."""
    rng = random.Random(seed)
    block = bytearray()
    while len(block) < FAR:
        block += b'{"id": %d, "user": "%s", "score": %d}\n' % (rng.randrange(10**9), rng.randbytes(6).hex().encode(),
                                                               rng.randrange(1000))
    block = bytes(block[:FAR])
    return (block * (size // FAR + 1))[:size]


@pytest.fixture
def kavo_backend():
    # aiohttp reads the backend when it makes each compressor, so every server and client opened inside the test
    # compresses with it; the one in place before is put back for the tests that follow.
    previous = compression_utils.ZLibBackend._zlib_backend
    set_zlib_backend(backend)
    yield backend
    set_zlib_backend(previous)


def run(coro):
    # one bound on the whole exchange besides the bound on each step, so that no test can outlive it
    return asyncio.run(asyncio.wait_for(coro, 3 * TIMEOUT))


@contextlib.asynccontextmanager
async def aiohttp_server(handler):
    """An aiohttp application serving handler at / on an ephemeral port of 127.0.0.1; yields (host, port)."""
    app = web.Application()
    app.router.add_get("/", handler)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    try:
        site = web.TCPSite(runner, "127.0.0.1", 0)
        await site.start()
        yield runner.addresses[0][:2]
    finally:
        await runner.cleanup()


def window_offer(w):
    # The client asks for a server window of w bits. At 15 it asks for none: aiohttp's answer names no window then,
    # and websockets takes an asked-for window that the answer leaves out as a refusal.
    return ClientPerMessageDeflateFactory(server_max_window_bits=w if w < 15 else None)


# ---------------------------------------------------------------- WebSocket: the aiohttp server compresses

def sending_handler(messages, negotiated):
    async def handler(request):
        ws = web.WebSocketResponse(compress=True, max_msg_size=0)
        await ws.prepare(request)
        negotiated.append(ws.compress)
        for m in messages:
            await asyncio.wait_for(ws.send_bytes(m), TIMEOUT)
        await asyncio.wait_for(ws.receive(), TIMEOUT)  # the client's close
        await ws.close()
        return ws
    return handler


async def receive_aiohttp(host, port, w, count):
    async with ClientSession() as session:
        async with session.ws_connect(f"http://{host}:{port}/", compress=w, max_msg_size=0, timeout=WS_TIMEOUT) as ws:
            got = [await ws.receive_bytes(timeout=TIMEOUT) for _ in range(count)]
            await ws.close()
    return got


async def receive_websockets(host, port, w, count):
    async with ws_connect(f"ws://{host}:{port}/", extensions=[window_offer(w)], compression=None, max_size=None,
                          open_timeout=TIMEOUT, close_timeout=TIMEOUT, ping_interval=None, **NO_PROXY) as ws:
        (ext,) = ws.protocol.extensions
        assert ext.remote_max_window_bits == w  # the window this client decodes with
        return [await asyncio.wait_for(ws.recv(decode=False), TIMEOUT) for _ in range(count)]


CLIENTS = {"aiohttp": receive_aiohttp, "websockets": receive_websockets}


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("w", WINDOWS)
@pytest.mark.parametrize("client", CLIENTS)
def test_websocket_server_compresses_for_client(kavo_backend, client, w, size):
    # Two messages on one connection: the second is decoded by the same inflater, after the first one's flush.
    # aiohttp's client decodes every stream with a 32 KiB window whatever was negotiated; websockets decodes with the
    # negotiated one, so it is the client that would see a distance beyond the window.
    messages = [payload(size), payload(size, seed=1)]
    negotiated = []

    async def main():
        async with aiohttp_server(sending_handler(messages, negotiated)) as (host, port):
            return await CLIENTS[client](host, port, w, len(messages))

    got = run(main())
    assert negotiated == [w]
    assert got == messages


def ignore_window(module):
    """module's interface with compressobj always at the widest window: the fault that the tests above must catch."""
    def compressobj(level=-1, method=zlib.DEFLATED, wbits=zlib.MAX_WBITS, *args, **kwargs):
        return module.compressobj(level, method, -15 if wbits < 0 else wbits, *args, **kwargs)
    names = {k: getattr(module, k) for k in dir(module) if not k.startswith("__")}
    return types.SimpleNamespace(**{**names, "compressobj": compressobj})


@pytest.mark.parametrize("size", [64 * 1024, 3_000_000])
@pytest.mark.parametrize("w", range(9, 15))
@pytest.mark.parametrize("module", [zlib, backend], ids=["zlib", BACKEND])
def test_distance_beyond_window_is_caught(module, w, size):
    # The check on the tests above: a compressor told to ignore the window writes distances that the websockets
    # client refuses.
    previous = compression_utils.ZLibBackend._zlib_backend
    set_zlib_backend(ignore_window(module))
    try:
        async def main():
            async with aiohttp_server(sending_handler([payload(size)], [])) as (host, port):
                return await receive_websockets(host, port, w, 1)
        with pytest.raises(ConnectionClosedError, match="decompression failed"):
            run(main())
    finally:
        set_zlib_backend(previous)


# ---------------------------------------------------------------- WebSocket: the aiohttp client compresses

async def send_from_aiohttp(host, port, w, messages):
    """Sends each message from an aiohttp client; returns (client window, the server's sha256 of each)."""
    async with ClientSession() as session:
        async with session.ws_connect(f"http://{host}:{port}/", compress=15, max_msg_size=0, timeout=WS_TIMEOUT) as ws:
            digests = []
            for m in messages:
                await ws.send_bytes(m)
                digests.append(await ws.receive_str(timeout=TIMEOUT))
            window = ws.compress
            await ws.close()
    return window, digests


async def digest_aiohttp(request):
    ws = web.WebSocketResponse(compress=True, max_msg_size=0)
    await ws.prepare(request)
    async for msg in ws:
        assert msg.type is WSMsgType.BINARY
        await ws.send_str(hashlib.sha256(msg.data).hexdigest(), compress=0)
    return ws


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("w", WINDOWS)
def test_websocket_client_compresses_for_websockets_server(kavo_backend, w, size):
    # The websockets server names the client's window and decodes with it.
    messages = [payload(size), payload(size, seed=1)]
    server_windows = []

    async def digest(ws):
        server_windows.append(ws.protocol.extensions[0].remote_max_window_bits)
        async for m in ws:
            await ws.send(hashlib.sha256(m).hexdigest())

    async def main():
        factory = ServerPerMessageDeflateFactory(client_max_window_bits=w)
        async with ws_serve(digest, "127.0.0.1", 0, extensions=[factory], compression=None, max_size=None,
                            open_timeout=TIMEOUT, close_timeout=TIMEOUT, ping_interval=None) as server:
            host, port = next(iter(server.sockets)).getsockname()[:2]
            return await send_from_aiohttp(host, port, w, messages)

    window, digests = run(main())
    assert window == w and server_windows == [w]
    assert digests == [hashlib.sha256(m).hexdigest() for m in messages]


@pytest.mark.parametrize("size", SIZES)
def test_websocket_client_compresses_for_aiohttp_server(kavo_backend, size):
    # aiohttp's server never limits the client's window, so the client compresses with 15 bits; the server decodes
    # with the backend's decompressobj, which kavo.zlib takes from the standard zlib module.
    messages = [payload(size), payload(size, seed=1)]

    async def main():
        async with aiohttp_server(digest_aiohttp) as (host, port):
            return await send_from_aiohttp(host, port, 15, messages)

    assert backend.decompressobj is zlib.decompressobj
    window, digests = run(main())
    assert window == 15
    assert digests == [hashlib.sha256(m).hexdigest() for m in messages]


# ---------------------------------------------------------------- streamed HTTP response, gzip

class FlushEachWrite:
    """aiohttp's compressor of a response, with a flush after every compress.

    aiohttp 3.14's StreamWriter.write() only calls compress() on each chunk, and flushes once, with Z_FINISH, in
    write_eof(); neither Z_SYNC_FLUSH nor Z_FULL_FLUSH is used per write, so the end of a chunk can wait inside the
    compressor until later writes. To have each chunk decodable on arrival the test adds the flush itself, around
    the compressor that aiohttp made from the backend."""

    def __init__(self, inner, mode):
        self.inner, self.mode = inner, mode

    async def compress(self, data):
        return await self.inner.compress(data) + self.inner.flush(self.mode)

    def flush(self, mode=None):
        return self.inner.flush(mode)


CHUNKS = [payload(n, seed=n) for n in (1, 100, 5000, 70_000, 300_000)]  # under and over aiohttp's 4 KiB executor limit
ENDS = [sum(map(len, CHUNKS[:i + 1])) for i in range(len(CHUNKS))]


def streaming_handler(mode, decoded, compressors):
    async def handler(request):
        resp = web.StreamResponse()
        resp.enable_compression(web.ContentCoding.gzip)
        writer = await resp.prepare(request)
        compressors.append(type(writer._compress._compressor))
        writer._compress = FlushEachWrite(writer._compress, mode)
        for chunk, seen in zip(CHUNKS, decoded):
            await resp.write(chunk)
            await asyncio.wait_for(seen.wait(), TIMEOUT)  # the client has decoded this chunk: only then the next
        await resp.write_eof()
        return resp
    return handler


async def read_with_aiohttp(host, port, decoded):
    got = b""
    async with ClientSession() as session:
        async with session.get(f"http://{host}:{port}/", headers={"Accept-Encoding": "gzip"}) as r:
            assert r.headers["Content-Encoding"] == "gzip"
            for end, seen in zip(ENDS, decoded):
                while len(got) < end:
                    got += await asyncio.wait_for(r.content.readany(), TIMEOUT)
                assert got == b"".join(CHUNKS)[:end]
                seen.set()
            got += await asyncio.wait_for(r.content.read(), TIMEOUT)
    return got


async def read_raw(host, port, decoded):
    """A client on a bare socket: parses the chunked body and inflates it with zlib itself."""
    reader, writer = await asyncio.open_connection(host, port)
    try:
        writer.write(b"GET / HTTP/1.1\r\nHost: %s\r\nAccept-Encoding: gzip\r\nConnection: close\r\n\r\n"
                     % host.encode())
        head = (await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), TIMEOUT)).lower()
        assert b"\r\ncontent-encoding: gzip\r\n" in head and b"\r\ntransfer-encoding: chunked\r\n" in head
        inflater = zlib.decompressobj(31)
        got = b""

        async def next_chunk():
            size = int((await asyncio.wait_for(reader.readuntil(b"\r\n"), TIMEOUT)).split(b";")[0], 16)
            body = await asyncio.wait_for(reader.readexactly(size + 2), TIMEOUT)
            assert body[-2:] == b"\r\n"
            return body[:-2]

        for end, seen in zip(ENDS, decoded):
            while len(got) < end:
                got += inflater.decompress(await next_chunk())
            assert got == b"".join(CHUNKS)[:end]
            seen.set()
        while piece := await next_chunk():
            got += inflater.decompress(piece)
        assert inflater.eof and not inflater.unused_data
        return got
    finally:
        writer.close()
        await writer.wait_closed()


@pytest.mark.parametrize("mode", ["Z_SYNC_FLUSH", "Z_FULL_FLUSH"])
@pytest.mark.parametrize("client", [read_with_aiohttp, read_raw], ids=["aiohttp", "raw-socket"])
def test_streamed_gzip_response_decodes_chunk_by_chunk(kavo_backend, client, mode):
    compressors = []

    async def main():
        decoded = [asyncio.Event() for _ in CHUNKS]
        async with aiohttp_server(streaming_handler(getattr(backend, mode), decoded, compressors)) as (host, port):
            return await client(host, port, decoded)

    got = run(main())
    assert compressors == [type(backend.compressobj())]  # aiohttp did compress with the backend
    assert got == b"".join(CHUNKS)
