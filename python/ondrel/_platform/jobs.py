"""Add-on registry and job runner of the embedded platform.

An add-on handler is a callable ``handler(body, job) -> answer``: ``body`` is the request body
(treat it as read-only), ``job`` a :class:`JobContext` giving access to storage and to
cancellation. A handler reports an error meant for the caller by raising
:class:`JobError` with an error type name and a message; any other exception is a failure
of the add-on itself.
"""

from __future__ import annotations

import contextlib
import contextvars
import importlib
import math
import os
import signal
import subprocess
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

from ondrel.errors import AddonError, AddonNotFoundError, AddonTimeoutError, StorageError

from .storage import LocalStorage

Handler = Callable[[Any, "JobContext"], Any]

# How long a stopped job may take to wind down before the caller gets its time-out error.
_STOP_GRACE_SECONDS = 5.0


class JobError(Exception):
    """An error an add-on reports to the caller: a type name and a message."""

    def __init__(self, error_type: str, message: str) -> None:
        super().__init__(error_type, message)
        self.error_type = error_type
        self.message = message

    def __str__(self) -> str:
        return f"{self.error_type}: {self.message}"


class JobCancelled(Exception):
    """Raised inside a handler once its job has been stopped."""


class JobContext:
    """What a running handler may use: storage, its deadline, and cancellation."""

    def __init__(self, path: str, storage: LocalStorage, deadline: float | None) -> None:
        self.path = path
        self.storage = storage
        self.deadline = deadline
        self._cancelled = threading.Event()
        self._lock = threading.Lock()
        self._processes: list[subprocess.Popen] = []

    @property
    def cancelled(self) -> bool:
        return self._cancelled.is_set()

    def check(self) -> None:
        """Raise :class:`JobCancelled` if the job has been stopped."""
        if self._cancelled.is_set():
            raise JobCancelled(self.path)

    def remaining(self) -> float | None:
        """Seconds left before the deadline (None when the job has none)."""
        if self.deadline is None:
            return None
        return max(0.0, self.deadline - time.monotonic())

    def cancel(self) -> None:
        """Stop the job: later checks raise, and processes it started are killed."""
        self._cancelled.set()
        with self._lock:
            processes = list(self._processes)
        for process in processes:
            _kill_process_group(process)

    def fetch(self, url: str) -> bytes:
        """The content stored at ``url``."""
        self.check()
        return self.storage.read(url)

    def upload(self, upload_url: str, fields: dict, data: bytes) -> None:
        """Upload ``data`` to a result slot, unless the job has been stopped."""
        self.check()
        self.storage.upload(upload_url, fields, data)

    def run_process(self, args: Sequence[str], *, env: Mapping[str, str] | None = None,
                    cwd: str | None = None) -> subprocess.CompletedProcess:
        """Run a command to its end, killing it (and its children) if the job is stopped."""
        self.check()
        process = subprocess.Popen(
            list(args), env=dict(env) if env is not None else None, cwd=cwd,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True,
        )
        with self._lock:
            self._processes.append(process)
        try:
            if self._cancelled.is_set():
                _kill_process_group(process)
            stdout, stderr = process.communicate()
        finally:
            with self._lock:
                self._processes.remove(process)
            if process.poll() is None:
                _kill_process_group(process)
                process.wait()
        self.check()
        return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)

    def watch_process(self, process: subprocess.Popen) -> None:
        """Have ``process`` (started with its own session) killed if the job is stopped."""
        with self._lock:
            self._processes.append(process)

    def unwatch_process(self, process: subprocess.Popen) -> None:
        with self._lock:
            if process in self._processes:
                self._processes.remove(process)


def _kill_process_group(process: subprocess.Popen) -> None:
    if process.poll() is not None:
        return
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        try:
            process.kill()
        except ProcessLookupError:
            pass


def close_process(process: subprocess.Popen) -> None:
    """Kill a helper process (and its process group) if it still runs, close its pipes, reap it."""
    _kill_process_group(process)
    for stream in (process.stdin, process.stdout):
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass
    process.wait()


class StopScope:
    """The jobs started by a group of calls (a batch's), so that they can all be stopped at once.

    A call runs in the scope inside :meth:`entered`; a job it starts says how to stop itself with
    :func:`stopped_by_scope`, and is stopped when the scope is, at once if it already was.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._stopped = False
        self._stops: dict[object, Callable[[], None]] = {}

    @property
    def stopped(self) -> bool:
        return self._stopped

    def stop(self) -> None:
        """Stop every job running in the scope now, and every job started in it later."""
        with self._lock:
            self._stopped = True
            stops = list(self._stops.values())
            self._stops.clear()
        for stop in stops:
            stop()

    @contextlib.contextmanager
    def entered(self) -> Iterator[None]:
        """Run the block in this scope."""
        token = _scope.set(self)
        try:
            yield
        finally:
            _scope.reset(token)


_scope: contextvars.ContextVar[StopScope | None] = contextvars.ContextVar("ondrel_stop_scope", default=None)


@contextlib.contextmanager
def stopped_by_scope(stop: Callable[[], None]) -> Iterator[StopScope | None]:
    """Have ``stop()`` called if the scope this call runs in is stopped while the block runs.

    Yields the scope (None outside one), so that the block can tell a stop from a failure.
    """
    scope = _scope.get()
    if scope is None:
        yield None
        return
    key = object()
    with scope._lock:
        already = scope._stopped
        if not already:
            scope._stops[key] = stop
    if already:
        stop()
    try:
        yield scope
    finally:
        with scope._lock:
            scope._stops.pop(key, None)


class AddonRegistry:
    """Add-on handlers by endpoint path; built-in ones are imported on first use."""

    def __init__(self, builtins: Mapping[str, str] | None = None) -> None:
        self._lock = threading.Lock()
        self._handlers: dict[str, Handler | str] = dict(builtins or {})

    def register(self, path: str, handler: Handler) -> Handler | None:
        """Register ``handler`` for ``path``; return the handler it replaces, if any."""
        if not callable(handler):
            raise TypeError(f"An add-on handler must be callable, not {type(handler).__name__}")
        with self._lock:
            previous = self._handlers.get(path)
            self._handlers[path] = handler
        return self._resolve(path, previous) if isinstance(previous, str) else previous

    def unregister(self, path: str) -> Handler | None:
        """Remove the handler of ``path``; return it (None if there was none)."""
        with self._lock:
            previous = self._handlers.pop(path, None)
        return self._resolve(path, previous) if isinstance(previous, str) else previous

    def paths(self) -> list[str]:
        with self._lock:
            return sorted(self._handlers)

    def get(self, path: str) -> Handler:
        with self._lock:
            entry = self._handlers.get(path)
        if entry is None:
            known = ", ".join(repr(p) for p in self.paths()) or "none"
            raise AddonNotFoundError(
                f"No add-on is registered for the endpoint {path!r} (registered endpoints: {known})"
            )
        if isinstance(entry, str):
            handler = self._resolve(path, entry)
            with self._lock:
                if self._handlers.get(path) == entry:
                    self._handlers[path] = handler
            return handler
        return entry

    @staticmethod
    def _resolve(path: str, target: str) -> Handler:
        module_name, _, attribute = target.partition(":")
        try:
            return getattr(importlib.import_module(module_name), attribute)
        except (ImportError, AttributeError) as exc:
            raise AddonError(f"The add-on for {path!r} cannot be loaded: {exc}") from exc


def check_timeout(timeout: object) -> None:
    """Refuse a time-out that is not a positive, finite number of seconds (None: no limit)."""
    if timeout is not None:
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0 \
                or timeout == math.inf:
            raise ValueError(f"timeout must be a positive number of seconds or None, not {timeout!r}")


def deadline_of(timeout: float | None) -> float | None:
    """The ``time.monotonic()`` at which a job of ``timeout`` seconds runs out (None: never).

    A time-out longer than any wait can be (``threading.TIMEOUT_MAX``, centuries) never runs out.
    """
    if timeout is None or timeout > threading.TIMEOUT_MAX:
        return None
    return time.monotonic() + timeout


# What running a handler came to: ("answer", value), ("error", exception) or ("timeout", None).
Outcome = tuple[str, Any]


def execute(handler: Handler, body: Any, job: JobContext, timeout: float | None) -> Outcome:
    """Run ``handler(body, job)`` in a worker thread, stopping it after ``timeout`` seconds, or
    when the scope the call runs in is stopped (:class:`StopScope`)."""
    outcome: dict[str, Any] = {}
    ended = threading.Event()  # the handler returned, or the job was stopped with its scope

    def work() -> None:
        try:
            outcome["answer"] = handler(body, job)
        except BaseException as exc:  # handed to the calling thread
            outcome["error"] = exc
        finally:
            ended.set()

    def stop() -> None:
        job.cancel()
        ended.set()

    worker = threading.Thread(target=work, name=f"ondrel add-on job {job.path}", daemon=True)
    with stopped_by_scope(stop) as scope:
        worker.start()
        try:
            ended.wait(None if timeout is None else min(timeout, threading.TIMEOUT_MAX))
        except BaseException:
            job.cancel()
            raise
    if not outcome:  # still running
        job.cancel()
        worker.join(_STOP_GRACE_SECONDS)
        if scope is not None and scope.stopped:
            return ("error", AddonError(f"The add-on job {job.path!r} was stopped before it finished"))
        return ("timeout", None)
    if "error" in outcome:
        return ("error", outcome["error"])
    return ("answer", outcome["answer"])


def answer_of(path: str, outcome: Outcome, *, timeout: float | None,
              error_mapping: Mapping[str, type[BaseException]] | None) -> Any:
    """The answer of a job that ran to ``outcome``, or the error the caller gets for it."""
    kind, value = outcome
    if kind == "answer":
        return value
    if kind == "timeout":
        raise AddonTimeoutError(
            f"The add-on job {path!r} did not finish within {timeout:g} seconds and was stopped"
        )
    error = value
    if isinstance(error, JobError):
        mapped = (error_mapping or {}).get(error.error_type)
        if mapped is not None:
            raise mapped(error.message) from None
        raise AddonError(f"The add-on {path!r} reported {error.error_type}: {error.message}") from None
    if isinstance(error, AddonError):
        raise error
    if isinstance(error, StorageError):
        raise AddonError(f"The add-on {path!r} failed on storage: {error}") from error
    raise AddonError(f"The add-on {path!r} failed: {type(error).__name__}: {error}") from error


def run_job(registry: AddonRegistry, storage: LocalStorage, path: str, body: Any, *,
            timeout: float | None,
            error_mapping: Mapping[str, type[BaseException]] | None) -> Any:
    """Run one job in a worker thread and return its answer (see ``ondrel.core``)."""
    check_timeout(timeout)
    handler = registry.get(path)
    job = JobContext(path, storage, deadline_of(timeout))
    return answer_of(path, execute(handler, body, job, timeout), timeout=timeout,
                     error_mapping=error_mapping)
