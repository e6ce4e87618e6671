"""Benchmark of kavo.zlib as a server's compressor: memory per open stream, messages per second, aiohttp WebSocket echo.

Run alone (`python benchmarks/servers.py [--quick]`) or from bench.py, which prints these tables after its own.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import importlib
import importlib.metadata
import json
import os
import random
import resource
import subprocess
import sys
import time
import zlib
from pathlib import Path
from typing import Any, Callable

from bench import MB, report_standalone, live_objects_growth, log, md_table, rss_bytes, times

KAVO = "kavo.zlib"
# name in the tables -> the module a server hands to aiohttp.set_zlib_backend. Every one of them has what aiohttp
# asks of a backend (the flush constants, compressobj/decompressobj with keywords, eof/unused_data/unconsumed_tail),
# so none needs an adapter.
BACKENDS = {KAVO: "kavo.zlib", "zlib": "zlib", "isal": "isal.isal_zlib", "zlib-ng": "zlib_ng.zlib_ng"}
LEVEL = 1  # what a server that wants speed asks for; aiohttp itself asks for each module's Z_BEST_SPEED
MESSAGE_SIZES = [100, 1024, 16384]
ECHO_SIZES = [1024, 16384]
ECHO_CLIENTS = 4
TIMEOUT = 60  # seconds for any one network step of the echo runs
NEEDS = {"aiohttp": "aiohttp"}  # the echo server and its clients; the peer backends are optional
TOOLS: dict[str, str] = {}


def load_backends() -> tuple[dict[str, Any], list[str]]:
    modules, missing = {}, []
    for name, module in BACKENDS.items():
        try:
            modules[name] = importlib.import_module(module)
        except ImportError as e:
            missing.append(f"{name} ({e})")
    return modules, missing


def version(name: str) -> str:
    if name == "zlib":
        return zlib.ZLIB_RUNTIME_VERSION
    dist = {KAVO: "kavo"}.get(name, name)
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "version unknown"


def first_message(corpus: Path, size: int) -> bytes:
    """The first message of message_text, read without the rest of it: the memory probe must not free megabytes
    that its streams would then reuse."""
    path = corpus / "json.txt"
    if path.is_file():
        with path.open("rb") as f:
            return f.read(size)
    return message_text(corpus)[0][:size]


def message_text(corpus: Path) -> tuple[bytes, str]:
    """JSON to cut messages from: the corpus's json.txt when it is built, else generated JSON lines."""
    path = corpus / "json.txt"
    if path.is_file():
        return path.read_bytes(), f"{path.name} of the corpus"
    rng = random.Random(0)
    words = [bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 9))).decode() for _ in range(3000)]
    lines = [json.dumps({"type": "message", "id": i, "user": f"user{rng.randrange(5000)}", "ts": 1.7e9 + i * 0.37,
                         "text": " ".join(rng.choices(words, k=rng.randint(3, 40)))}) for i in range(40000)]
    return "\n".join(lines).encode(), "generated JSON lines"


def cut(text: bytes, size: int, count: int) -> list[bytes]:
    """count consecutive messages of `size` bytes, wrapping around the text."""
    n = len(text) // size
    return [text[(i % n) * size:(i % n + 1) * size] for i in range(count)]


# ---------------------------------------------------------------- memory per open stream

def memory_probe(name: str, wbits: int, count: int, corpus: Path) -> None:
    """Runs in a fresh process (see measure_stream_memory): RSS growth over `count` streams after one message."""
    module = importlib.import_module(BACKENDS[name])  # only this one: the others' imports would leave freed memory
    message = first_message(corpus, 1024)

    def make() -> Any:
        c = module.compressobj(LEVEL, module.DEFLATED, wbits)
        c.compress(message)
        c.flush(module.Z_SYNC_FLUSH)
        return c

    # A stream of kavo's is a few hundred bytes: without the prefill, memory freed by the imports would be reused by
    # the first thousands of them, and without the floor on the growth a small count would read up to half too low.
    objects, grown = live_objects_growth(make, count, prefill=4 << 20, min_bytes=8 << 20)
    print(json.dumps({"objects": objects, "bytes": grown}))


def measure_stream_memory(names: list[str], count: int, corpus: Path) -> list[tuple[str, int, int, int]]:
    # a fresh interpreter per codec and window, for the reason given in bench.measure_memory
    rows = []
    for wbits in (-15, -12):
        for name in names:
            log(f"servers: stream memory, {name} wbits {wbits}")
            proc = subprocess.run([sys.executable, __file__, "--memory-probe", name, str(wbits), str(count),
                                   str(corpus)], capture_output=True, text=True)
            if proc.returncode != 0:
                log(f"memory probe of {name} failed:\n{proc.stderr}")
                continue
            probe = json.loads(proc.stdout)
            rows.append((name, wbits, probe["objects"], probe["bytes"]))
    return rows


def report_stream_memory(rows: list) -> list[str]:
    out = ["### Memory per open stream, after one 1 KiB message and a sync flush", "",
           f"RSS growth over live `compressobj({LEVEL}, DEFLATED, wbits)` objects, each after compress() of a 1 KiB "
           "message and flush(Z_SYNC_FLUSH), in a fresh process per codec and window (objects added past the count "
           "until they have grown RSS by 8 MiB): what a server holds per open connection for its compressor.", ""]
    base = {w: b / k for n, w, k, b in rows if n == KAVO}
    out += md_table(["codec", "wbits", "objects", "bytes per stream", "÷ kavo"],
                    [[n, str(w), f"{k:,}", f"{b / k:,.0f}", times(b / k / base[w]) if w in base else "–"]
                     for n, w, k, b in rows], text_cols=2)
    return out


# ---------------------------------------------------------------- messages per second on one stream

def measure_messages(modules: dict[str, Any], text: bytes, total: int, repeat: int,
                     clock: Callable[[], float]) -> tuple[dict[tuple[str, int], tuple[float, int, int]], list[str]]:
    """{(codec, size): (best seconds, messages, output bytes)}: compress(msg) + flush(Z_SYNC_FLUSH) per message on
    one stream, as a WebSocket server does; best of `repeat`, codecs interleaved. The first repetition decodes."""
    best: dict[tuple[str, int], tuple[float, int, int]] = {}
    broken: dict[str, str] = {}
    batches = {size: cut(text, size, max(total // size, 50)) for size in MESSAGE_SIZES}
    gc.disable()
    for rep in range(repeat):
        log(f"servers: messages per second, repetition {rep + 1}/{repeat}")
        for size, messages in batches.items():
            for name, m in modules.items():
                if name in broken:
                    continue
                c = m.compressobj(LEVEL, m.DEFLATED, -15)
                sync = m.Z_SYNC_FLUSH
                out = []
                t0 = clock()
                for msg in messages:
                    out.append(c.compress(msg))
                    out.append(c.flush(sync))
                seconds = clock() - t0
                if rep == 0 and zlib.decompressobj(-15).decompress(b"".join(out)) != b"".join(messages):
                    broken[name] = f"messages of {size} B do not decode"
                    continue
                old = best.get((name, size))
                if old is None or seconds < old[0]:
                    best[(name, size)] = (seconds, len(messages), sum(map(len, out)))
    gc.enable()
    return best, [f"{n}: {why}" for n, why in broken.items()]


def report_messages(best: dict, source: str) -> list[str]:
    out = ["### Messages per second, compress + sync flush on one stream", "",
           f"Raw deflate, wbits -15, level {LEVEL}; messages cut from {source}; one long-lived object per codec, "
           "each message compress(msg) then flush(Z_SYNC_FLUSH), as a permessage-deflate sender does. "
           "kavo ÷ codec: kavo's messages per second over the codec's.", ""]
    rows = []
    for size in MESSAGE_SIZES:
        for name in BACKENDS:
            if (name, size) not in best:
                continue
            seconds, count, out_len = best[(name, size)]
            rel = ""
            if name != KAVO and (KAVO, size) in best:
                rel = times(seconds / best[(KAVO, size)][0])
            rows.append([f"{size:,} B", name, f"{count / seconds:,.0f}", f"{out_len / (count * size):.3f}",
                         f"{seconds / count * 1e6:.2f}", rel])
    out += md_table(["message", "codec", "msgs/s", "out/in", "µs/msg", "kavo ÷ codec"], rows, text_cols=2)
    return out


# ---------------------------------------------------------------- aiohttp WebSocket echo

async def serve(name: str) -> None:
    """The echo server of one backend, in its own process; "none" refuses permessage-deflate (the baseline)."""
    from aiohttp import set_zlib_backend, web

    compress = name != "none"
    if compress:
        set_zlib_backend(importlib.import_module(BACKENDS[name]))

    async def echo(request: web.Request) -> web.WebSocketResponse:
        ws = web.WebSocketResponse(compress=compress, max_msg_size=0)
        await ws.prepare(request)
        async for msg in ws:
            await ws.send_bytes(msg.data)
        return ws

    async def cpu(request: web.Request) -> web.Response:
        return web.json_response({"cpu": time.process_time()})  # every thread, the executor's included

    async def rss(request: web.Request) -> web.Response:
        gc.collect()  # cycles left by closed requests are not per-connection state
        return web.json_response({"rss": rss_bytes()})

    app = web.Application()
    app.router.add_get("/ws", echo)
    app.router.add_get("/cpu", cpu)
    app.router.add_get("/rss", rss)
    runner = web.AppRunner(app, access_log=None, shutdown_timeout=5)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0, backlog=1024)
    await site.start()
    print(json.dumps({"port": runner.addresses[0][1]}), flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)  # serve until the parent closes stdin
    await runner.cleanup()


class EchoServer:
    """An echo server process of one backend on an ephemeral port of 127.0.0.1."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.proc = subprocess.Popen([sys.executable, __file__, "--ws-server", name], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.stdin, self.stdout = self.proc.stdin, self.proc.stdout
        line = self.stdout.readline()
        if not line:
            self.close()
            raise RuntimeError(f"echo server of {name} did not start")
        self.url = f"http://127.0.0.1:{json.loads(line)['port']}"

    def close(self) -> None:
        self.stdin.close()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()  # our own child, by its handle
            self.proc.wait()
        self.stdout.close()


async def server_stat(session: Any, server: EchoServer, what: str) -> float:
    async with session.get(f"{server.url}/{what}") as r:
        return (await r.json())[what]


async def echo_round(server: EchoServer, messages: list[bytes], clients: int) -> tuple[float, float]:
    """(wall seconds, server CPU seconds) for `clients` connections each echoing all the messages in turn."""
    from aiohttp import ClientSession, ClientWSTimeout, TCPConnector

    async with ClientSession(connector=TCPConnector(limit=0)) as session:
        timeout = ClientWSTimeout(ws_receive=TIMEOUT, ws_close=TIMEOUT)
        sockets = [await session.ws_connect(f"{server.url}/ws", compress=15, timeout=timeout) for _ in range(clients)]

        async def client(ws: Any) -> None:
            for m in messages:
                await ws.send_bytes(m)
                if await ws.receive_bytes(timeout=TIMEOUT) != m:
                    raise RuntimeError(f"{server.name}: the echo differs from the message")

        cpu = await server_stat(session, server, "cpu")
        t0 = time.perf_counter()
        await asyncio.wait_for(asyncio.gather(*(client(ws) for ws in sockets)), 10 * TIMEOUT)
        wall = time.perf_counter() - t0
        cpu = await server_stat(session, server, "cpu") - cpu
        for ws in sockets:
            await ws.close()
    return wall, cpu


async def connection_memory(server: EchoServer, count: int, message: bytes) -> int:
    """Server RSS growth for `count` open connections, each of which has echoed one message."""
    from aiohttp import ClientSession, ClientWSTimeout, TCPConnector

    timeout = ClientWSTimeout(ws_receive=TIMEOUT, ws_close=TIMEOUT)
    async with ClientSession(connector=TCPConnector(limit=0)) as session:
        gate = asyncio.Semaphore(50)  # handshakes in flight: well inside the listen backlog

        async def open_one() -> Any:
            async with gate:
                ws = await session.ws_connect(f"{server.url}/ws", compress=15, timeout=timeout)
                await ws.send_bytes(message)
                if await ws.receive_bytes(timeout=TIMEOUT) != message:
                    raise RuntimeError(f"{server.name}: the echo differs from the message")
                return ws

        async def close_all(sockets: list[Any]) -> None:
            async def close(ws: Any) -> None:
                async with gate:
                    await ws.close()
            await asyncio.wait_for(asyncio.gather(*(close(ws) for ws in sockets)), 10 * TIMEOUT)

        # First-use allocations (code paths, the first compressors) are not per-connection cost; the warm-up
        # connections stay open, so that the memory of their handshakes is not freed for the measured ones to reuse.
        warm = await asyncio.wait_for(asyncio.gather(*(open_one() for _ in range(max(20, count // 10)))), 10 * TIMEOUT)
        before = await server_stat(session, server, "rss")
        sockets = await asyncio.wait_for(asyncio.gather(*(open_one() for _ in range(count))), 10 * TIMEOUT)
        after = await server_stat(session, server, "rss")
        await close_all(warm + sockets)
    return int(after - before)


def raise_open_files(needed: int) -> str:
    """Raises the soft limit of open files to `needed` when it is lower (the servers inherit it); "" when enough,
    else why not."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= needed:
        return ""
    if hard != resource.RLIM_INFINITY and hard < needed:
        return f"the open-file limit is {soft} (hard limit {hard}), below the {needed} needed"
    resource.setrlimit(resource.RLIMIT_NOFILE, (needed, hard))
    return ""


# (backend, message size): (best elapsed seconds, best server CPU seconds, messages)
EchoRates = dict[tuple[str, int], tuple[float, float, int]]


def measure_echo(names: list[str], text: bytes, per_client: int, connections: int,
                 repeat: int) -> tuple[EchoRates, list[tuple[str, int, int]], str, dict[str, str]]:
    """Echo rates, server memory rows (backend, connections, bytes), a note when the connections had to be skipped,
    and {backend: why} for those dropped because a run raised (a wrong echo included)."""
    batches = {size: cut(text, size, per_client) for size in ECHO_SIZES}
    rates: EchoRates = {}
    failed: dict[str, str] = {}
    servers: dict[str, EchoServer] = {}
    try:
        for name in names:  # all up at once, so that the repetitions interleave
            servers[name] = EchoServer(name)
        for rep in range(repeat):
            log(f"servers: WebSocket echo, repetition {rep + 1}/{repeat}")
            for size, messages in batches.items():
                for name, server in servers.items():
                    if name in failed:
                        continue
                    try:
                        wall, cpu = asyncio.run(echo_round(server, messages, ECHO_CLIENTS))
                    except Exception as e:  # one backend's fault ends its runs, not the benchmark
                        failed[name] = f"echo of {size} B raised {type(e).__name__}: {e}"
                        continue
                    old = rates.get((name, size))
                    rates[(name, size)] = (min(wall, old[0]) if old else wall, min(cpu, old[1]) if old else cpu,
                                           ECHO_CLIENTS * per_client)
    finally:
        for server in servers.values():
            server.close()

    memory: list[tuple[str, int, int]] = []
    note = raise_open_files(2 * connections + 200)  # each side holds one socket per connection, plus its own files
    if note:
        return rates, memory, f"{connections:,} open connections skipped: {note}", failed
    message = batches[1024][0]
    for name in [n for n in names if n not in failed]:
        log(f"servers: {connections:,} open connections, {name}")
        server = EchoServer(name)  # a fresh process: memory freed by the echo runs would hide growth
        try:
            memory.append((name, connections, asyncio.run(connection_memory(server, connections, message))))
        except Exception as e:
            failed[name] = f"{connections:,} connections raised {type(e).__name__}: {e}"
        finally:
            server.close()
    return rates, memory, "", failed


def echo_label(name: str, modules: dict[str, Any]) -> str:
    if name == "none":
        return "none (no permessage-deflate)"
    return f"{name}-{modules[name].Z_BEST_SPEED}"


def report_echo(rates: dict, memory: list, note: str, modules: dict[str, Any], source: str) -> list[str]:
    out = ["### aiohttp WebSocket echo over loopback, one backend per server", "",
           f"An aiohttp server in its own process echoes every message; permessage-deflate with a 15-bit window, the "
           f"server compressing with the backend given to aiohttp.set_zlib_backend at the level aiohttp asks for "
           f"(the module's Z_BEST_SPEED, shown) and decoding with the backend's decompressobj (kavo.zlib's is "
           f"zlib's). {ECHO_CLIENTS} aiohttp clients in this process (stdlib zlib) each send a message and wait "
           f"for its echo, in turn; messages cut from {source}. msgs/s is elapsed time, clients and server sharing "
           "the machine; server CPU is the server process's user and system time per message, and the part of it "
           "above the server without permessage-deflate is the deflate's (compressing the echo and decoding the "
           "message). kavo ÷ backend: the backend's server CPU per message over kavo's.", ""]
    rows = []
    for size in ECHO_SIZES:
        for name in rates_names(rates):
            if (name, size) not in rates:
                continue
            wall, cpu, count = rates[(name, size)]
            rel = over = ""
            if name not in (KAVO, "none") and (KAVO, size) in rates:
                rel = times(cpu / rates[(KAVO, size)][1])
            if name != "none" and ("none", size) in rates:
                over = f"{(cpu - rates[('none', size)][1]) / count * 1e6:.1f}"
            rows.append([f"{size:,} B", echo_label(name, modules), f"{count / wall:,.0f}", f"{cpu / count * 1e6:.1f}",
                         over, rel])
    out += md_table(["message", "backend", "msgs/s", "server CPU µs/msg", "of which deflate", "kavo ÷ backend"], rows,
                    text_cols=2)
    if note:
        out += [f"Server memory per connection: {note}.", ""]
    if memory:
        out += ["### Server memory per open WebSocket connection", "",
                "RSS growth of a fresh server process over the connections, each open after one 1 KiB message "
                "echoed (so the server holds its compressor and decompressor); the row without permessage-deflate "
                "is aiohttp's own cost per connection.", ""]
        base = {n: b / k for n, k, b in memory}
        rows = [[echo_label(n, modules), f"{k:,}", f"{b / MB:.1f}", f"{b / k / 1024:,.1f}",
                 times(b / k / base[KAVO]) if KAVO in base else "–"] for n, k, b in memory]
        out += md_table(["backend", "connections", "RSS growth MB", "KiB per connection", "÷ kavo"], rows)
    return out


def rates_names(rates: dict) -> list[str]:
    return list(dict.fromkeys(name for name, _ in rates))


# ---------------------------------------------------------------- entry points

def run(ctx: Any) -> tuple[list[str], list[str]]:
    """bench.py's entry: (markdown lines, problems) of every server benchmark."""
    return run_servers(ctx.corpus, ctx.quick, ctx.repeat, ctx.objects, clock=ctx.clock)


def run_servers(corpus: Path, quick: bool, repeat: int, objects: int, connections: int | None = None,
                clock: Callable[[], float] = time.thread_time) -> tuple[list[str], list[str]]:
    """(markdown lines, problems) of every server benchmark."""
    modules, missing = load_backends()
    for m in missing:
        log(f"servers: skipped, not importable: {m}")
    text, source = message_text(corpus)
    names = list(modules)
    memory = measure_stream_memory(names, objects, corpus)
    messages, problems = measure_messages(modules, text, (1 if quick else 4) * 2**20, repeat, clock)
    working = [n for n in names if not any(p.startswith(f"{n}:") for p in problems)]
    rates, conn_memory, note, failed = measure_echo(["none"] + working, text, 100 if quick else 1000,
                                                    connections or (200 if quick else 1000), repeat)
    problems += [f"{n}: {why}" for n, why in failed.items()]
    rates = {k: v for k, v in rates.items() if k[0] not in failed}
    lines = ["## kavo.zlib in servers (benchmarks/servers.py)", "",
             f"Best of {repeat}; aiohttp {version('aiohttp')}; " +
             ", ".join(f"{n} ({BACKENDS[n]}, {version(n)})" for n in modules) + ".", ""]
    lines += [f"- skipped (not importable): {m}" for m in missing]
    lines += [f"- dropped, {p}" for p in problems]
    if missing or problems:
        lines += [""]
    lines += report_stream_memory(memory)
    lines += report_messages(messages, source)
    lines += report_echo(rates, conn_memory, note, modules, source)
    return lines, problems


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--corpus", type=Path,
                   default=Path(os.environ.get("KAVO_CORPUS") or Path.home() / ".cache" / "kavo-corpus"),
                   help="corpus directory; its json.txt gives the messages when present (default: $KAVO_CORPUS, "
                        "else ~/.cache/kavo-corpus); else they are generated")
    p.add_argument("--quick", action="store_true", help="one repetition, fewer objects, messages and connections")
    p.add_argument("--repeat", type=int, help="best of N repetitions (default 5; 1 with --quick)")
    p.add_argument("--objects", type=int, help="live streams for the memory run (default 20000; 2000 with --quick)")
    p.add_argument("--connections", type=int, help="open WebSocket connections (default 1000; 200 with --quick)")
    p.add_argument("--memory-probe", nargs=4, metavar=("CODEC", "WBITS", "COUNT", "CORPUS"), help=argparse.SUPPRESS)
    p.add_argument("--ws-server", metavar="BACKEND", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.memory_probe:
        name, wbits, count, corpus = args.memory_probe
        memory_probe(name, int(wbits), int(count), Path(corpus))
        return
    if args.ws_server:
        asyncio.run(serve(args.ws_server))
        return
    started = time.perf_counter()
    lines, problems = run_servers(args.corpus, args.quick, args.repeat or (1 if args.quick else 5),
                          args.objects or (2000 if args.quick else 20000), args.connections)
    report_standalone("kavo server benchmark", lines, problems, started)


if __name__ == "__main__":
    main()
