"""Many calls at once: :func:`map` runs a function over a list of items, here or on a cluster.

Usage::

    import ondrel.batch

    def utilisation(design):
        ...  # evaluate a workbook, run an analysis: any jobs
        return value

    results = ondrel.batch.map(utilisation, designs)

With no cluster configured the calls run in threads of this process (their jobs in the
platform's worker threads and spreadsheet engines). With one (``ONDREL_CLUSTER``, see
:mod:`ondrel.cluster`) every call is a task on the cluster: the function and its item travel
to a worker, and the jobs it starts run on that worker.
"""

from __future__ import annotations

import os
import sys
import threading
from collections.abc import Callable, Iterable
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any, TypeVar

import ondrel.cluster
from ondrel.errors import OndrelError

__all__ = ["map", "BatchError"]

T = TypeVar("T")
R = TypeVar("R")

# How many failures a BatchError's message lists; all of them are in ``failures``.
_LISTED_FAILURES = 10


class BatchError(OndrelError):
    """Some calls of a batch failed; the others' results are still here.

    :ivar failures: the failed items' indexes (in the list given to :func:`map`) mapped to
        the exception each raised, in index order.
    :ivar results: the result of every call in item order, ``None`` where the call failed.
    """

    def __init__(self, failures: dict[int, BaseException], results: list[Any]) -> None:
        listed = "; ".join(f"item {index}: {type(exc).__name__}: {exc}"
                           for index, exc in list(failures.items())[:_LISTED_FAILURES])
        more = len(failures) - _LISTED_FAILURES
        super().__init__(f"{len(failures)} of {len(results)} items failed: {listed}"
                         + (f"; and {more} more (see .failures)" if more > 0 else ""))
        self.failures = failures
        self.results = results

    def __reduce__(self) -> tuple:  # pickled (sent to another process) with what it was made from
        return (type(self), (self.failures, self.results))


def map(fn: Callable[[T], R], items: Iterable[T], *, workers: int | None = None,
        progress: bool | None = None) -> list[R]:
    """Run ``fn(item)`` for every item concurrently and return the results in item order.

    :param fn: the function to call; on a cluster it must be picklable (functions of a module
        and lambdas are) and its items and results too.
    :param items: the items, each passed to one call.
    :param workers: how many calls run at once; ``None``: as many as this machine has cores
        (on a cluster: as many as the cluster can take).
    :param progress: show a progress bar (tqdm) on standard error; ``None``: when standard
        error is a terminal.
    :raises BatchError: after every call has finished, when any failed; it holds each failed
        item's index and exception and the successful results.

    Interrupted (Ctrl-C) while calls run here, ``map`` starts no more calls, stops the
    analyses and add-on jobs the running calls started (each with every process it started),
    waits for those calls to return and raises the ``KeyboardInterrupt``.
    """
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a whole number from 1, or None, not {workers!r}")
    if not callable(fn):
        raise TypeError(f"fn must be callable, not {type(fn).__name__}")
    items = list(items)
    bar = _progress_bar(progress, len(items))
    results: list[Any] = [None] * len(items)
    failures: dict[int, BaseException] = {}

    def done(index: int, result: Any = None, error: BaseException | None = None) -> None:
        if error is None:
            results[index] = result
        else:
            failures[index] = error
        if bar is not None:
            bar.update(1)

    try:
        cluster = ondrel.cluster.backend()
        if cluster is None:
            _run_here(fn, items, workers, done)
        else:
            _run_on_cluster(cluster, fn, items, workers, done)
    finally:
        if bar is not None:
            bar.close()
    if failures:
        raise BatchError(dict(sorted(failures.items())), results)
    return results


def _run_here(fn: Callable, items: list, workers: int | None, done: Callable) -> None:
    from ondrel._platform.jobs import StopScope, stopped_by_scope

    count = workers if workers is not None else (os.process_cpu_count() or 1)
    lock = threading.Lock()
    # Stopped when the batch is interrupted, or the batch that runs this one (a call of it) is:
    # the jobs of the running calls end at once.
    scope = StopScope()

    def call(index: int) -> None:
        try:
            with scope.entered():
                result = fn(items[index])
        except Exception as exc:
            with lock:
                done(index, error=exc)
        else:
            with lock:
                done(index, result)

    with stopped_by_scope(scope.stop), ThreadPoolExecutor(max_workers=max(1, min(count, len(items))),
                                                          thread_name_prefix="ondrel batch") as pool:
        futures = [pool.submit(call, index) for index in range(len(items))]
        try:
            for future in futures:
                future.result()
        except BaseException:
            for future in futures:
                future.cancel()
            scope.stop()
            raise


def _run_on_cluster(cluster: Any, fn: Callable, items: list, workers: int | None,
                    done: Callable) -> None:
    import distributed

    limit = workers if workers is not None else len(items)
    running: dict[distributed.Future, int] = {}
    finished = distributed.as_completed(loop=cluster.client.loop)
    try:
        for index, item in enumerate(items):
            future = cluster.submit(_call, fn, item)
            running[future] = index
            finished.add(future)
            if len(running) >= limit:
                _collect(next(finished), running, done)
        for future in finished:
            _collect(future, running, done)
    except BaseException:
        cluster.cancel(list(running))
        raise


def _collect(future: Any, running: dict, done: Callable) -> None:
    """Hand the outcome of a future that ``as_completed`` gave to ``done``.

    Read with ``result()``, which waits: a result lost with its worker since is computed again,
    so the future's status at this moment is not its outcome.
    """
    try:
        result = future.result()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # the call's own exception, or its task's cancellation
        done(running.pop(future), error=error)
    else:
        done(running.pop(future), result)
    future.release()


def _call(fn: Callable[[T], R], item: T) -> R:
    """A call of a batch, as a task on a cluster's worker: its jobs stop if the batch is interrupted."""
    from ondrel._platform.cluster import stoppable_task

    with stoppable_task():
        return fn(item)


def _progress_bar(progress: bool | None, total: int) -> Any:
    asked = progress is True
    if progress is None:
        progress = sys.stderr is not None and sys.stderr.isatty()
    if not progress:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        if asked:
            raise ImportError("progress=True needs the package tqdm: pip install 'ondrel[cluster]'") from None
        return None
    return tqdm(total=total, file=sys.stderr, unit="item")
