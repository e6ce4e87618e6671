"""The applications test_web.py serves with uvicorn: Starlette or FastAPI behind a gzip middleware, and Django."""
import asyncio
import gc
import gzip
import os
import random
import threading

FAR = 30_000  # the payload repeats at this distance: only a 32 KiB window reaches back that far
CHUNKS = [1, 100, 5000, 70_000, 300_000]  # streamed pieces, under and over the middleware's thread threshold
TIMEOUT = 20


def payload(size, seed=0):
    """JSON lines whose keys repeat nearby and whose random values repeat only FAR bytes later."""
    rng = random.Random(seed)
    block = bytearray()
    while len(block) < FAR:
        block += b'{"id": %d, "user": "%s", "score": %d}\n' % (rng.randrange(10**9), rng.randbytes(6).hex().encode(),
                                                               rng.randrange(1000))
    return (bytes(block[:FAR]) * (size // FAR + 1))[:size]


def starlette_app():
    """Routes: /body/N (N bytes of JSON), /stream?token=T (CHUNKS, each sent once /seen?token=T&i=I says the
    client decoded the one before), /encoded (gzip already), /endless (until the client goes), /stats."""
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, Response, StreamingResponse
    from starlette.routing import Route

    import kavo.starlette

    seen = {}
    live = {"open": 0}

    def events(token):
        return seen.setdefault(token, [asyncio.Event() for _ in CHUNKS])

    async def body(request):
        return Response(payload(int(request.path_params["n"])), media_type="application/json")

    async def stream(request):
        token = request.query_params["token"]

        async def chunks():
            for i, size in enumerate(CHUNKS):
                yield payload(size, seed=i)
                await asyncio.wait_for(events(token)[i].wait(), TIMEOUT)
            del seen[token]
        return StreamingResponse(chunks(), media_type="application/json")

    async def mark_seen(request):
        events(request.query_params["token"])[int(request.query_params["i"])].set()
        return Response(b"")

    async def encoded(request):
        return Response(gzip.compress(payload(5000), mtime=0), headers={"Content-Encoding": "gzip"})

    async def endless(request):
        async def chunks():
            live["open"] += 1
            try:
                for i in range(10_000):
                    yield payload(200_000, seed=i % 3)
                    await asyncio.sleep(0.001)
            finally:
                live["open"] -= 1
        return StreamingResponse(chunks(), media_type="application/json")

    async def stats(request):
        gc.collect()
        responders = sum(isinstance(o, kavo.starlette._Responder) for o in gc.get_objects())
        # anyio's pooled worker threads stay idle until its next call: the host's pool, not kavo's threads
        threads = sum(type(t).__name__ != "WorkerThread" for t in threading.enumerate())
        return JSONResponse({"threads": threads, "open": live["open"],
                             "responders": responders - 1})  # this request's own

    routes = [Route("/body/{n:int}", body), Route("/stream", stream), Route("/seen", mark_seen),
              Route("/encoded", encoded), Route("/endless", endless), Route("/stats", stats)]
    if os.environ.get("KAVO_WEB_FRAMEWORK") == "fastapi":
        from fastapi import FastAPI
        app = FastAPI(routes=routes)
        app.add_middleware(kavo.starlette.GZipMiddleware, minimum_size=500, compresslevel=9)
        return app
    return kavo.starlette.GZipMiddleware(Starlette(routes=routes))


# ---------------------------------------------------------------- Django

def django_body(request, n):
    from django.http import HttpResponse
    return HttpResponse(payload(n), content_type="application/json", headers={"ETag": '"v1"'})


def django_stream(request):
    from django.http import StreamingHttpResponse
    return StreamingHttpResponse(payload(size, seed=i) for i, size in enumerate(CHUNKS))


def urlpatterns_():
    from django.urls import path
    return [path("body/<int:n>", django_body), path("stream", django_stream)]


def configure_django():
    from django.conf import settings
    if not settings.configured:
        settings.configure(DEBUG=False, ALLOWED_HOSTS=["*"], SECRET_KEY="kavo-tests", ROOT_URLCONF=__name__,
                           MIDDLEWARE=["kavo.django.GZipMiddleware"], USE_TZ=True)
    import django
    django.setup()


def django_asgi():
    configure_django()
    from django.core.asgi import get_asgi_application
    return get_asgi_application()


def __getattr__(name):
    if name == "urlpatterns":  # Django reads the URL list only once it is configured
        return urlpatterns_()
    raise AttributeError(name)
