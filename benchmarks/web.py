"""Benchmark of kavo's web integrations: Starlette under uvicorn and wrk, websockets' memory and rate, Django.

Run alone (`python benchmarks/web.py [--quick]`) or from bench.py, which prints these tables after its own.
"""

from __future__ import annotations

import argparse
import asyncio
import gzip
import os
import re
import resource
import socket
import subprocess
import sys
import time
import zlib
from pathlib import Path
from typing import Any, Callable

from bench import report_standalone, live_objects_growth, log, md_table, rss_bytes, times
from servers import message_text

HERE = Path(__file__).resolve().parent
NEEDS = {"starlette": "starlette", "uvicorn": "uvicorn", "httpx": "httpx", "websockets": "websockets",
         "django": "django"}
TOOLS = {"wrk": "wrk"}
JSON_SIZE = 64 * 1024
STREAM_PIECES = 16  # the streamed body: 16 pieces of 64 KiB, 1 MiB in all
# name -> how the Starlette app is wrapped; "kavo" takes the same defaults as Starlette's middleware (level 9)
STARLETTE_MODES = ["none", "starlette-9", "starlette-1", "kavo"]
WS_MODES = ["default", "kavo"]  # websockets' default deflate (windows 12, memLevel 5) and kavo's with the same
WS_MESSAGE = 1024
TIMEOUT = 60


# ---------------------------------------------------------------- the Starlette app (runs inside uvicorn)

def bodies(corpus: Path) -> tuple[bytes, list[bytes]]:
    text = message_text(corpus)[0]
    return text[:JSON_SIZE], [text[(i + 1) * JSON_SIZE:(i + 2) * JSON_SIZE] for i in range(STREAM_PIECES)]


def make_app() -> Any:
    """uvicorn --factory web:make_app; KAVO_BENCH_MODE picks the middleware, KAVO_CORPUS the text."""
    from starlette.applications import Starlette
    from starlette.middleware.gzip import GZipMiddleware
    from starlette.responses import Response, StreamingResponse
    from starlette.routing import Route

    import kavo.starlette

    body, pieces = bodies(Path(os.environ["KAVO_CORPUS"]))

    async def one(request: Any) -> Response:
        return Response(body, media_type="application/json")

    async def streamed(request: Any) -> StreamingResponse:
        async def chunks() -> Any:
            for p in pieces:
                yield p
        return StreamingResponse(chunks(), media_type="application/json")

    app = Starlette(routes=[Route("/json", one), Route("/stream", streamed)])
    mode = os.environ["KAVO_BENCH_MODE"]
    if mode == "kavo":
        return kavo.starlette.GZipMiddleware(app)
    if mode.startswith("starlette-"):
        return GZipMiddleware(app, compresslevel=int(mode.split("-")[1]))
    return app


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def start_uvicorn(mode: str, corpus: Path) -> tuple[subprocess.Popen[bytes], str]:
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "uvicorn", "--factory", "web:make_app", "--app-dir", str(HERE),
                             "--host", "127.0.0.1", "--port", str(port), "--log-level", "warning", "--no-access-log"],
                            env=dict(os.environ, KAVO_BENCH_MODE=mode, KAVO_CORPUS=str(corpus)),
                            stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, f"http://127.0.0.1:{port}"
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"uvicorn ({mode}) did not start")
            time.sleep(0.05)


def cpu_seconds(pid: int) -> float:
    """User and system time of a process so far (Linux)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wrk(url: str, seconds: float) -> int:
    """Responses wrk completed in `seconds`, 1 thread and 4 connections, asking for gzip. When the time is up wrk
    drops the connections of responses still under way: the server logs each of those, which is not a fault."""
    run = subprocess.run(["wrk", "-t1", "-c4", f"-d{seconds}s", "--timeout", f"{TIMEOUT}s", "-H",
                          "Accept-Encoding: gzip", url],
                         capture_output=True, text=True, timeout=seconds + TIMEOUT)
    done = re.search(r"(\d+) requests in", run.stdout)
    if run.returncode != 0 or not done or "Non-2xx" in run.stdout:
        raise RuntimeError(f"wrk failed: {run.stdout[-500:]} {run.stderr[-500:]}")
    return int(done.group(1))


def check_response(url: str, mode: str, want: bytes) -> str | None:
    import httpx
    r = httpx.get(url, headers={"Accept-Encoding": "gzip"}, timeout=TIMEOUT)
    encoded = r.headers.get("content-encoding")
    if r.content != want or encoded != (None if mode == "none" else "gzip"):
        return f"{mode} {url}: wrong body or Content-Encoding {encoded}"
    return None


def measure_starlette(corpus: Path, quick: bool, repeat: int) -> tuple[dict[tuple[str, str], tuple[float, float]],
                                                                         list[str]]:
    """{(mode, path): (responses per second, server CPU seconds per response)}, best of repeat, interleaved."""
    body, pieces = bodies(corpus)
    seconds = 1 if quick else 3  # twice that for the streamed body, of which level 9 serves a few per second
    servers = {mode: start_uvicorn(mode, corpus) for mode in STARLETTE_MODES}
    best: dict[tuple[str, str], tuple[float, float]] = {}
    problems: list[str] = []
    try:
        for mode, (_, url) in servers.items():
            for path, want in (("/json", body), ("/stream", b"".join(pieces))):
                if (p := check_response(url + path, mode, want)) is not None:
                    problems.append(p)
        for _ in range(repeat):
            for path in ("/json", "/stream"):
                for mode, (proc, url) in servers.items():
                    cpu = cpu_seconds(proc.pid)
                    t0 = time.perf_counter()
                    n = wrk(url + path, seconds * (2 if path == "/stream" else 1))
                    elapsed = time.perf_counter() - t0
                    if n == 0:  # none finished in the time: no figure rather than a wrong one
                        continue
                    per = (cpu_seconds(proc.pid) - cpu) / n
                    old = best.get((mode, path))
                    best[mode, path] = (max(n / elapsed, old[0] if old else 0), min(per, old[1] if old else per))
    finally:
        for proc, _ in servers.values():
            proc.terminate()
            proc.wait(TIMEOUT)
    return best, problems


def report_starlette(best: dict[tuple[str, str], tuple[float, float]]) -> list[str]:
    names = {"none": "no compression", "starlette-9": "Starlette GZipMiddleware, level 9 (its default)",
             "starlette-1": "Starlette GZipMiddleware, level 1", "kavo": "kavo.starlette.GZipMiddleware"}
    rows = []
    for mode in STARLETTE_MODES:
        row = [names[mode]]
        for path in ("/json", "/stream"):
            if (mode, path) in best:
                rps, cpu = best[mode, path]
                row += [f"{rps:,.0f}", f"{cpu * 1e6:,.0f}"]
            else:
                row += ["-", "-"]
        rows.append(row)
    lines = ["### Starlette under uvicorn, loaded by wrk (1 thread, 4 connections)", ""]
    lines += md_table(["middleware", "64 KiB JSON: req/s", "µs CPU/resp", "1 MiB streamed: req/s", "µs CPU/resp"],
                      rows)
    for path, label in (("/json", "64 KiB JSON"), ("/stream", "1 MiB streamed")):
        if all((m, path) in best for m in STARLETTE_MODES):
            k = best["kavo", path]
            ratios = [f"{times(k[0] / best[m, path][0])} the req/s of {names[m]}, "
                      f"{times(k[1] / best[m, path][1])} its server CPU per response" for m in STARLETTE_MODES[:3]]
            goal = (k[0] >= 2 * best["starlette-9", path][0], k[0] >= 0.8 * best["none", path][0])
            lines += [f"- {label}: kavo at " + "; ".join(ratios) + ".",
                      f"  Targets ≥ 2× Starlette's default: {'met' if goal[0] else 'missed'}; "
                      f"≥ 0.8× no compression: {'met' if goal[1] else 'missed'}."]
    return lines + [""]


# ---------------------------------------------------------------- websockets (server in its own process)

def raise_fd_limit() -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def ws_factories(mode: str) -> dict[str, Any]:
    if mode == "kavo":
        import kavo.websockets
        return {"extensions": [kavo.websockets.ServerPerMessageDeflateFactory(
            server_max_window_bits=12, client_max_window_bits=12, compress_settings={"memLevel": 5})],
                "compression": None}
    return {"compression": "deflate"}


async def ws_serve(mode: str) -> None:
    """The server of the websockets runs: echoes; "rss" answers its RSS, "send N" sends N messages of 1 KiB."""
    from websockets.asyncio.server import serve
    raise_fd_limit()
    text = message_text(Path(os.environ["KAVO_CORPUS"]))[0]

    async def handler(ws: Any) -> None:
        async for m in ws:
            if m == "rss":
                await ws.send(str(rss_bytes()))
            elif isinstance(m, str) and m.startswith("send "):
                for i in range(int(m.split()[1])):
                    at = i * WS_MESSAGE % (len(text) - WS_MESSAGE)
                    await ws.send(text[at:at + WS_MESSAGE])
            else:
                await ws.send(m)

    async with serve(handler, "127.0.0.1", 0, max_size=None, ping_interval=None, backlog=2048,
                     **ws_factories(mode)) as server:
        print(next(iter(server.sockets)).getsockname()[1], flush=True)
        await server.serve_forever()


async def ws_client(url: str, connections: int, messages: int, text: bytes) -> tuple[int, float]:
    """(server bytes per open connection, messages per second from the server) against one server."""
    from websockets.asyncio.client import connect
    kwargs: dict[str, Any] = {"max_size": None, "ping_interval": None, "open_timeout": TIMEOUT, "proxy": None}
    async with connect(url, **kwargs) as control:
        await control.send("rss")
        before = int(await control.recv())
        opened = []
        sem = asyncio.Semaphore(50)

        async def one(i: int) -> Any:
            async with sem:
                ws = await connect(url, **kwargs)
                m = text[i * WS_MESSAGE:(i + 1) * WS_MESSAGE]
                await ws.send(m)
                if await ws.recv() != m:
                    raise RuntimeError("echo differs")
                return ws
        opened = await asyncio.gather(*(one(i) for i in range(connections)))
        await control.send("rss")
        per = (int(await control.recv()) - before) / connections
        for ws in opened:
            await ws.close()
        t0 = time.perf_counter()
        await control.send(f"send {messages}")
        for _ in range(messages):
            await control.recv()
        return int(per), messages / (time.perf_counter() - t0)


def compressor_probe(mode: str, count: int) -> None:
    """Prints the RSS bytes per live compressor as the server's extension holds one after a 1 KiB message."""
    import kavo.zlib
    module: Any = kavo.zlib if mode == "kavo" else zlib
    data = os.urandom(WS_MESSAGE // 2).hex().encode()

    def make() -> Any:
        c = module.compressobj(wbits=-12, memLevel=5)
        c.compress(data)
        c.flush(zlib.Z_SYNC_FLUSH)
        return c
    objects, grown = live_objects_growth(make, count, min_bytes=4 << 20)
    print(grown // objects)


def measure_websockets(corpus: Path, quick: bool, repeat: int) -> tuple[dict[str, tuple[int, float, int]],
                                                                          list[str]]:
    """{mode: (server bytes per connection, messages/s, bytes of the compressor alone)}."""
    raise_fd_limit()
    text = message_text(corpus)[0]
    connections, messages = (1000, 2000) if quick else (1000, 10000)
    best: dict[str, tuple[int, float, int]] = {}
    problems: list[str] = []
    for _ in range(1 if quick else min(repeat, 3)):
        for mode in WS_MODES:
            proc = subprocess.Popen([sys.executable, str(Path(__file__)), "--ws-server", mode],
                                    stdout=subprocess.PIPE, text=True, env=dict(os.environ, KAVO_CORPUS=str(corpus)))
            try:
                port = int(proc.stdout.readline())  # type: ignore[union-attr]
                per, rate = asyncio.run(asyncio.wait_for(
                    ws_client(f"ws://127.0.0.1:{port}/", connections, messages, text), 10 * TIMEOUT))
            except Exception as e:  # noqa: BLE001 - a failed run is reported, the others go on
                problems.append(f"websockets {mode}: {e!r}")
                continue
            finally:
                proc.terminate()
                proc.wait(TIMEOUT)
            old = best.get(mode, (per, 0.0, 0))
            best[mode] = (min(per, old[0]), max(rate, old[1]), 0)
    for mode in list(best):
        out = subprocess.run([sys.executable, str(Path(__file__)), "--compressor-probe", mode, "2000"],
                             capture_output=True, text=True, timeout=10 * TIMEOUT)
        best[mode] = (best[mode][0], best[mode][1], int(out.stdout.strip() or 0))
    return best, problems


def report_websockets(best: dict[str, tuple[int, float, int]]) -> list[str]:
    names = {"default": "websockets' default deflate", "kavo": "kavo.websockets (same windows and memLevel)"}
    lines = ["### websockets server: 1,000 open connections, one 1 KiB echo each; then 1 KiB messages sent", ""]
    lines += md_table(["extension", "KB per connection", "compressor alone, KB", "1 KiB messages/s"],
                      [[names[m], f"{b[0] / 1000:.1f}", f"{b[2] / 1000:.2f}", f"{b[1]:,.0f}"]
                       for m, b in best.items()])
    if {"default", "kavo"} <= set(best):
        d, k = best["default"], best["kavo"]
        lines += [f"- kavo: {times(k[0] / d[0])} the server memory per connection (target ≤ 0.5×: "
                  f"{'met' if k[0] <= 0.5 * d[0] else 'missed'}; the decompressor stays zlib's), compressor alone "
                  f"{times(k[2] / d[2]) if d[2] else '-'}; {times(k[1] / d[1])} the messages per second."]
    return lines + [""]


# ---------------------------------------------------------------- Django (in this process)

def measure_django(corpus: Path, quick: bool, repeat: int, clock: Callable[[], float]) -> tuple[dict[str, float],
                                                                                                  list[str]]:
    """{middleware: seconds per 64 KiB response}, best of repeat, interleaved."""
    from django.conf import settings
    if not settings.configured:
        settings.configure(DEBUG=False, ALLOWED_HOSTS=["*"], SECRET_KEY="kavo-bench")
    import django
    django.setup()
    from django.http import HttpResponse
    from django.middleware.gzip import GZipMiddleware
    from django.test import RequestFactory

    import kavo.django
    body = bodies(corpus)[0]
    request = RequestFactory().get("/", HTTP_ACCEPT_ENCODING="gzip")
    middlewares = {"django": GZipMiddleware(lambda r: HttpResponse()),
                   "kavo": kavo.django.GZipMiddleware(lambda r: HttpResponse())}
    count = 50 if quick else 200
    best: dict[str, float] = {}
    problems = []
    for _ in range(repeat):
        for name, mw in middlewares.items():
            responses = [HttpResponse(body, content_type="application/json") for _ in range(count)]
            t0 = clock()
            for r in responses:
                mw.process_response(request, r)
            best[name] = min(best.get(name, 1e9), (clock() - t0) / count)
            if gzip.decompress(responses[-1].content) != body:
                problems.append(f"django {name}: the response does not decode to the body")
    return best, problems


def report_django(best: dict[str, float]) -> list[str]:
    lines = ["### Django GZipMiddleware.process_response, 64 KiB JSON response", ""]
    lines += md_table(["middleware", "µs per response"], [[n, f"{s * 1e6:,.0f}"] for n, s in best.items()])
    if len(best) == 2:
        lines += [f"- kavo.django takes {times(best['kavo'] / best['django'])} the time of Django's own "
                  f"({times(best['django'] / best['kavo'])} faster).", ""]
    return lines


# ---------------------------------------------------------------- entry points

def run(ctx: Any) -> tuple[list[str], list[str]]:
    """bench.py's entry: (markdown lines, problems)."""
    return run_web(ctx.corpus, ctx.quick, ctx.repeat, ctx.clock)


def run_web(corpus: Path, quick: bool, repeat: int, clock: Callable[[], float]) -> tuple[list[str], list[str]]:
    import starlette
    import uvicorn
    import websockets
    import django
    lines = ["## kavo in web servers (benchmarks/web.py)", "",
             f"Best of {repeat}, interleaved; starlette {starlette.__version__}, uvicorn {uvicorn.__version__}, "
             f"websockets {websockets.__version__}, Django {django.__version__}; "
             f"bodies cut from {message_text(corpus)[1]}.", ""]
    log("web: Starlette")
    star, problems = measure_starlette(corpus, quick, repeat)
    log("web: websockets")
    ws, ws_problems = measure_websockets(corpus, quick, repeat)
    log("web: Django")
    dj, dj_problems = measure_django(corpus, quick, repeat, clock)
    problems += ws_problems + dj_problems
    lines += [f"- problem: {p}" for p in problems]
    lines += report_starlette(star) + report_websockets(ws) + report_django(dj)
    return lines, problems


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--corpus", type=Path,
                   default=Path(os.environ.get("KAVO_CORPUS") or Path.home() / ".cache" / "kavo-corpus"),
                   help="corpus directory; its json.txt gives the bodies when present, else they are generated")
    p.add_argument("--quick", action="store_true", help="one repetition, shorter loads")
    p.add_argument("--repeat", type=int, help="best of N repetitions (default 3; 1 with --quick)")
    p.add_argument("--ws-server", metavar="MODE", help=argparse.SUPPRESS)
    p.add_argument("--compressor-probe", nargs=2, metavar=("MODE", "COUNT"), help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.ws_server:
        asyncio.run(ws_serve(args.ws_server))
        return
    if args.compressor_probe:
        compressor_probe(args.compressor_probe[0], int(args.compressor_probe[1]))
        return
    started = time.perf_counter()
    lines, problems = run_web(args.corpus, args.quick, args.repeat or (1 if args.quick else 3), time.thread_time)
    report_standalone("kavo web benchmark", lines, problems, started)


if __name__ == "__main__":
    main()
