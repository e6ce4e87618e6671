"""A Dask worker plugin that makes every worker of a distributed cluster write fsspec's gzip with kavo.

    from distributed import Client
    import kavo.dask
    client = Client(cluster)
    client.register_plugin(kavo.dask.KavoPlugin())
    bag.to_textfiles("out/*.json.gz")   # and dask.dataframe's to_csv / to_json with compression="gzip"

Dask's writers open their files through fsspec in the worker processes, so the registration has to happen
there, not in the client. A worker plugin is run by every worker that is connected when it is registered and
by every worker that joins later (a nanny's restart after a crash, a scaled-up cluster, an adaptive one);
client.run(kavo.fsspec.register) reaches only the workers of that moment. One thread per file is the
default because Dask already runs one task per worker thread. client.unregister_worker_plugin(KavoPlugin.name)
calls teardown on every worker, which puts fsspec's own codec back.
"""
from __future__ import annotations

from typing import Any

from distributed.diagnostics.plugin import WorkerPlugin

import kavo
import kavo.fsspec


class KavoPlugin(WorkerPlugin):
    """Registers kavo's gzip writer in fsspec on each worker (see kavo.fsspec.register)."""

    name = "kavo-fsspec-gzip"  # one plugin of this name per cluster: registering again replaces it

    def __init__(self, threads: int = 1) -> None:
        kavo.compress(b"", threads=threads)  # refused here, in the client, rather than on every worker
        self.threads = threads

    def setup(self, worker: Any) -> None:
        kavo.fsspec.register(self.threads)

    def teardown(self, worker: Any) -> None:
        kavo.fsspec.unregister()
