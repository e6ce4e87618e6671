"""kavo.dask: a worker plugin that registers kavo's fsspec gzip writer on every worker of a distributed
cluster, including workers that join later: client.register_plugin(kavo.dask.KavoPlugin()).
"""

from typing import Any, ClassVar

from distributed.diagnostics.plugin import WorkerPlugin

class KavoPlugin(WorkerPlugin):
    """setup() runs kavo.fsspec.register(threads) on the worker; teardown() runs kavo.fsspec.unregister()."""

    name: ClassVar[str]
    threads: int
    def __init__(self, threads: int = 1) -> None:
        """threads per file being written (1: Dask already runs a task per worker thread); ValueError
        outside 0 to 256, raised in the client."""

    def setup(self, worker: Any) -> None: ...
    def teardown(self, worker: Any) -> None: ...
