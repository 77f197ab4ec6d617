"""The Dask backend: jobs of this process run as tasks on a Dask cluster's workers.

A job's handler travels with its task, and so do the stored files its body names (as
bytes); on the worker it runs exactly as here (:func:`.jobs.execute`, with the same deadline
and stop), and what it uploads travels back with its outcome. The caller turns the outcome
into the answer or error with the code a local run uses, so nothing above the backend can
tell where a job ran. Dask reruns the task of a worker that dies on another worker.

Imported only when a cluster is in use (see :mod:`ondrel.cluster`).
"""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import tempfile
import threading
import time
from collections.abc import Iterator, Mapping
from typing import Any

import distributed
from distributed.client import FutureCancelledError
from distributed.comm.core import CommClosedError
from distributed.protocol import pickle as dask_pickle
from distributed.scheduler import KilledWorker

from ondrel.errors import AddonError, ClusterError, ExecutionError, StorageError

from . import storage as storage_module
from .jobs import (Handler, JobContext, Outcome, StopScope, answer_of, check_timeout, deadline_of,
                   execute)
from .storage import LocalStorage

# How long to wait for the scheduler when connecting.
CONNECT_TIMEOUT_SECONDS = 30.0

# A task that could not run to its end: every worker that ran it died, it was cancelled, or the
# connection to the scheduler was lost.
_CLUSTER_FAILURES = (KilledWorker, FutureCancelledError, CommClosedError)

_DOWNLOAD_PREFIX = f"{storage_module.SCHEME}://files/"
_UPLOAD_PREFIX = f"{storage_module.SCHEME}://upload/"


class DaskBackend:
    """Runs jobs and calls on the cluster of a scheduler address or a ``distributed.Client``."""

    def __init__(self, target: str | distributed.Client) -> None:
        if isinstance(target, str):
            try:
                self.client = distributed.Client(target, timeout=CONNECT_TIMEOUT_SECONDS,
                                                 set_as_default=False)
            except (OSError, TimeoutError) as exc:
                raise ClusterError(f"cannot reach the Dask scheduler at {target!r}: {exc}") from None
            self._owns_client = True
        else:
            self.client = target
            self._owns_client = False
        self.client.register_plugin(WorkerSetup(), name=WorkerSetup.name)

    def close(self) -> None:
        if self._owns_client:
            self.client.close()

    def submit(self, function: Any, *args: Any) -> distributed.Future:
        """Start ``function(*args)`` on a worker; every call is a task of its own."""
        return self.client.submit(function, *args, pure=False)

    def wait(self, future: distributed.Future) -> Any:
        """The result of ``future``; the task is cancelled and its jobs stopped if the caller is
        interrupted."""
        try:
            return future.result()
        except BaseException:
            if not future.done():
                self.cancel([future])
            raise

    def cancel(self, futures: list[distributed.Future]) -> None:
        """Cancel the tasks of ``futures`` and stop the jobs of those already running.

        Dask cannot end a task that runs: the workers stop its jobs (:func:`stoppable_task`),
        with every process they started, and the task then returns at once.
        """
        self.client.cancel(futures)
        with contextlib.suppress(Exception):  # a worker that is gone runs nothing
            self.client.run(_stop_tasks, [future.key for future in futures], on_error="ignore")

    def run_job(self, registry: Any, storage: LocalStorage, path: str, body: Any, *,
                timeout: float | None,
                error_mapping: Mapping[str, type[BaseException]] | None) -> Any:
        """Run one add-on job on a worker and return its answer, as ``jobs.run_job`` does here."""
        check_timeout(timeout)
        handler = registry.get(path)
        files = _stored_files(storage, body)
        try:
            outcome, uploads = self.wait(self.submit(_run_job_task, path, handler, body, files, timeout))
        except _CLUSTER_FAILURES as exc:
            raise AddonError(f"The add-on job {path!r} could not run on the cluster: {exc}") from exc
        try:
            for upload_url, fields, data in uploads:
                storage.upload(upload_url, fields, data)
        except StorageError as exc:
            if outcome[0] == "answer":
                outcome = ("error", exc)
        return answer_of(path, outcome, timeout=timeout, error_mapping=error_mapping)

    def run_analysis(self, job: Any) -> Any:
        """Run one analysis job on a worker with the worker's own configuration."""
        try:
            return self.wait(self.submit(_run_analysis_task, job))
        except _CLUSTER_FAILURES as exc:
            raise ExecutionError(f"the analysis could not run on the cluster: {exc}") from exc


class ClusterAnalysisWorker:
    """The analysis worker of a cluster: ``run(job)`` as the local worker's, on a Dask worker."""

    def __init__(self, backend: DaskBackend) -> None:
        self._backend = backend

    def run(self, job: Any) -> Any:
        return self._backend.run_analysis(job)


class WorkerSetup(distributed.WorkerPlugin):
    """Prepares each Dask worker for ondrel's tasks.

    The worker gets a private work folder (inside its Dask folder, removed with it) for the
    temporary files of its jobs: stored files, spreadsheet engines' profiles and workbooks,
    analysis job folders. Jobs its tasks start run on the worker itself, with its own
    spreadsheet engines, kept warm from one task to the next.
    """

    name = "ondrel"

    def setup(self, worker: distributed.Worker) -> None:
        from ondrel import cluster

        from .spreadsheet.libreoffice import get_pool

        cluster.use(None)
        self.folder = tempfile.mkdtemp(prefix="ondrel-", dir=worker.local_directory)
        os.environ["TMPDIR"] = self.folder  # for the programs jobs start, LibreOffice among them
        tempfile.tempdir = self.folder
        self.engines = get_pool()  # this worker's LibreOffices: started by its first jobs, then kept

    def teardown(self, worker: distributed.Worker) -> None:
        # A worker process ends without running exit handlers: stop what its jobs started.
        from .spreadsheet.workers import get_pool

        self.engines.close()
        get_pool().stop()
        shutil.rmtree(self.folder, ignore_errors=True)


# On the caller --------------------------------------------------------------------------------

def _stored_files(storage: LocalStorage, body: Any) -> dict[str, bytes | str]:
    """Every stored file the body names, by URL: its content, or why it cannot be read."""
    files: dict[str, bytes | str] = {}
    for url in _urls_in(body):
        if url not in files:
            try:
                files[url] = storage.read(url)
            except StorageError as exc:
                files[url] = str(exc)
    return files


def _urls_in(value: Any) -> list[str]:
    if isinstance(value, str):
        return [value] if value.startswith(_DOWNLOAD_PREFIX) else []
    if isinstance(value, Mapping):
        return [url for item in value.values() for url in _urls_in(item)]
    if isinstance(value, (list, tuple)):
        return [url for item in value for url in _urls_in(item)]
    return []


# On the worker --------------------------------------------------------------------------------

class _ShippedStorage:
    """The caller's storage as a job on a worker sees it: the files that came with the task;
    uploads are kept to go back with the outcome."""

    def __init__(self, files: dict[str, bytes | str]) -> None:
        self._files = files
        self.uploads: list[tuple[str, Any, bytes]] = []

    def read(self, url: str) -> bytes:
        content = self._files.get(url) if isinstance(url, str) else None
        if isinstance(content, bytes):
            return content
        if content is not None:
            raise StorageError(content)
        return LocalStorage().read(url)  # raises what the caller's storage would for it

    def upload(self, upload_url: str, fields: dict, data: Any) -> None:
        storage_module._key_of(upload_url, _UPLOAD_PREFIX, "upload")
        self.uploads.append((upload_url, fields, data if isinstance(data, bytes) else bytes(data)))


# The stop scopes of the tasks running on this worker, by task key.
_running: dict[Any, StopScope] = {}
_running_lock = threading.Lock()


@contextlib.contextmanager
def stoppable_task() -> Iterator[None]:
    """Run the block (a task's work, on a worker) in a stop scope that the caller can stop
    through :meth:`DaskBackend.cancel`."""
    key = distributed.get_worker().get_current_task()
    scope = StopScope()
    with _running_lock:
        _running[key] = scope
    try:
        with scope.entered():
            yield
    finally:
        with _running_lock:
            _running.pop(key, None)


def _stop_tasks(keys: list[Any]) -> None:
    """Stop the jobs of the tasks ``keys`` that run on this worker (run on every worker)."""
    with _running_lock:
        scopes = [_running[key] for key in keys if key in _running]
    for scope in scopes:
        scope.stop()


def _run_job_task(path: str, handler: Handler, body: Any, files: dict[str, bytes | str],
                  timeout: float | None) -> tuple[Outcome, list[tuple[str, Any, bytes]]]:
    storage = _ShippedStorage(files)
    job = JobContext(path, storage, deadline_of(timeout))  # type: ignore[arg-type]
    with stoppable_task():
        outcome = _sendable(path, execute(handler, body, job, timeout))
    return outcome, storage.uploads


def _sendable(path: str, outcome: Outcome) -> Outcome:
    """``outcome``, or the error the caller would get for it when it cannot travel back."""
    kind, value = outcome
    if kind == "timeout":
        return outcome
    try:
        dask_pickle.dumps(value)
    except Exception as exc:
        if kind == "answer":
            return ("error", AddonError(f"The add-on {path!r} answered with a value that cannot "
                                        f"be sent back from the cluster: {exc}"))
        try:
            answer_of(path, outcome, timeout=None, error_mapping=None)
        except AddonError as error:
            return ("error", AddonError(error.message))
    return outcome


def _run_analysis_task(job: Any) -> Any:
    from ondrel.external.python import LocalWorker

    with stoppable_task():
        return LocalWorker().run(job)


# ./dev cluster ---------------------------------------------------------------------------------

def serve(argv: list[str] | None = None) -> None:
    """Run a Dask scheduler and workers on this machine until interrupted (``./dev cluster``)."""
    import argparse
    import sys

    parser = argparse.ArgumentParser(prog="./dev cluster",
                                     description="A local Dask scheduler and workers for ondrel's jobs.")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default: 2)")
    parser.add_argument("--threads", type=int, default=1, help="threads of each worker (default: 1)")
    parser.add_argument("--port", type=int, default=8786, help="the scheduler's port (default: 8786)")
    options = parser.parse_args(sys.argv[1:] if argv is None else argv)

    def stop(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)  # stopped as by Ctrl-C: the workers close with the scheduler
    with distributed.LocalCluster(n_workers=options.workers, threads_per_worker=options.threads,
                                  scheduler_port=options.port, dashboard_address=":0",
                                  memory_limit=0) as cluster:
        print(f"Dask scheduler at {cluster.scheduler_address} with {options.workers} workers of "
              f"{options.threads} thread(s); Ctrl-C stops them.\n"
              f"Point a script at it:  ONDREL_CLUSTER={cluster.scheduler_address} python script.py",
              flush=True)
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            print("stopping the cluster", flush=True)
