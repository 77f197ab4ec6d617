"""Where jobs run: on this machine (the default) or on a Dask cluster.

Set ``ONDREL_CLUSTER`` to a Dask scheduler's address (``tcp://host:8786``), or call
:func:`use` with it, and every add-on job (spreadsheet evaluate and fill) and every analysis
run of this process becomes a task on that cluster; :func:`ondrel.batch.map` runs its calls
there too. Answers, errors and time-outs are those of a run on this machine. Unset, jobs run
here, and nothing of Dask is imported. See ``docs/cluster.md``.

The cluster's workers need ``ondrel[cluster]`` installed; on each, a worker plugin keeps a
private work folder and the worker's own spreadsheet engines, and runs there the jobs its
tasks start.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from ondrel.errors import ClusterError

if TYPE_CHECKING:
    from ondrel._platform.cluster import DaskBackend

__all__ = ["ENV_VAR", "use", "using", "address", "disconnect"]

ENV_VAR = "ONDREL_CLUSTER"

_FROM_ENVIRONMENT = object()  # no choice made in code: follow $ONDREL_CLUSTER

_lock = threading.Lock()
_connect_lock = threading.Lock()  # one connection made at a time
_target: Any = _FROM_ENVIRONMENT
_backend: DaskBackend | None = None
_backend_target: Any = None


def use(target: Any = _FROM_ENVIRONMENT) -> None:
    """Choose where the jobs of this process run from now on.

    :param target: a Dask scheduler address (``"tcp://host:8786"``), a connected
        ``distributed.Client``, or ``None`` to run jobs on this machine whatever
        ``$ONDREL_CLUSTER`` says. Called without an argument, follow ``$ONDREL_CLUSTER`` again.

    The connection is made when the first job needs it.
    """
    if target is not _FROM_ENVIRONMENT and target is not None and not isinstance(target, str) \
            and not _is_client(target):
        raise TypeError(f"a cluster is given by its scheduler address or a distributed.Client, "
                        f"not {type(target).__name__}")
    if isinstance(target, str) and not target.strip():
        raise ValueError("the cluster's scheduler address is empty; give one such as 'tcp://host:8786'")
    global _target
    with _lock:
        _target = target


@contextlib.contextmanager
def using(target: Any) -> Iterator[None]:
    """Run the jobs of the block where :func:`use` would, then go back to the previous choice."""
    global _target
    with _lock:
        previous = _target
    use(target)
    try:
        yield
    finally:
        with _lock:
            _target = previous


def address() -> str | None:
    """The address of the scheduler jobs go to now, or None when they run on this machine."""
    target = _current_target()
    if target is None or isinstance(target, str):
        return target
    return target.scheduler.address


def disconnect() -> None:
    """Close the connection this module made to a cluster (the next job connects again).

    A ``distributed.Client`` given to :func:`use` is left open: it is the caller's.
    """
    global _backend, _backend_target
    with _connect_lock:
        made, _backend, _backend_target = _backend, None, None
    if made is not None:
        made.close()


def _current_target() -> Any:
    with _lock:
        target = _target
    if target is _FROM_ENVIRONMENT:
        target = os.environ.get(ENV_VAR, "").strip() or None
    return target


def backend() -> DaskBackend | None:
    """The cluster backend jobs go to now (connected on first use), or None to run them here."""
    global _backend, _backend_target
    target = _current_target()
    if target is None:
        return None
    with _connect_lock:
        if _backend is not None and (_backend_target is target or
                                     isinstance(target, str) and _backend_target == target):
            return _backend
        try:
            from ondrel._platform.cluster import DaskBackend
        except ImportError as exc:
            raise ClusterError(
                f"jobs are to run on the cluster at {target!r} but Dask's 'distributed' package "
                f"cannot be imported ({exc}); install it with pip install 'ondrel[cluster]'"
            ) from None
        stale, _backend, _backend_target = _backend, DaskBackend(target), target
    if stale is not None:
        stale.close()
    return _backend


def _is_client(value: object) -> bool:
    return any(cls.__name__ == "Client" and cls.__module__.startswith("distributed")
               for cls in type(value).__mro__)
