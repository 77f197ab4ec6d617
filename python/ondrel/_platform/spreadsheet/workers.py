"""Workbook work of the spreadsheet add-ons, in kept worker processes that a time-out can kill.

Reading an uploaded workbook can take long and much memory, and a thread cannot be stopped: a
process can. So every step that parses a workbook with openpyxl runs here, one call at a time
per worker. A call takes an idle worker (or starts one, in under a second) and gives it back
when it answers (a call to a kept worker costs tens of microseconds); the job watches the worker while it works, so a job stopped at its
time-out kills it and nothing of the job keeps running. Workers are this interpreter run as
``python -m ondrel._platform.spreadsheet.workers``; each exits when its input closes, which is
when this process ends, however it ends.

Protocol: one JSON line per request, ``{"call": name, "args": [...]}``, and one per answer:
``{"answer": ...}``, ``{"job_error": [error_type, message]}`` for a :class:`JobError`, or
``{"failure": text}`` for anything else. Only the functions of :data:`FUNCTIONS` can be called.
"""

from __future__ import annotations

import atexit
import importlib
import json
import os
import subprocess
import sys
import threading
from typing import Any

from ondrel.errors import AddonError

from ..jobs import JobContext, JobError, close_process

FUNCTIONS = {
    "evaluate.layout": "ondrel._platform.spreadsheet.evaluate:layout",
    "fill.layout": "ondrel._platform.spreadsheet.fill:layout",
    "engine.prepare": "ondrel._platform.spreadsheet.libreoffice:prepare",
    "engine.results": "ondrel._platform.spreadsheet.libreoffice:results",
    "engine.exact_values": "ondrel._platform.spreadsheet.workbook:write_exact_values",
}

# Idle workers kept for the next calls; more run while more jobs run at once.
KEEP_IDLE = 2


class WorkerError(AddonError):
    """A workbook worker failed or ended without an answer."""


class WorkerPool:
    """Worker processes for :data:`FUNCTIONS`; thread-safe."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._idle: list[subprocess.Popen] = []
        atexit.register(self.stop)

    def call(self, job: JobContext, function: str, *args: Any) -> Any:
        """Run ``function(*args)`` in a worker, killed if ``job`` is stopped; return its answer."""
        request = json.dumps({"call": function, "args": args}) + "\n"
        job.check()
        process = self._take()
        job.watch_process(process)
        line = ""
        try:
            job.check()  # stopped while the worker started: it may have missed the kill
            process.stdin.write(request)
            process.stdin.flush()
            line = process.stdout.readline()
        except OSError:
            pass
        finally:
            job.unwatch_process(process)
            self._give_back(process, healthy=bool(line) and not job.cancelled)
        job.check()
        if not line:
            code = process.poll()
            raise WorkerError(f"The workbook worker ended without an answer (exit code {code}); the workbook "
                              f"may need more memory than this machine has")
        reply = json.loads(line)
        if "answer" in reply:
            return reply["answer"]
        if "job_error" in reply:
            raise JobError(*reply["job_error"])
        raise WorkerError(f"The workbook worker failed: {reply.get('failure')}")

    def pids(self) -> list[int]:
        """The process ids of the idle workers."""
        with self._lock:
            return [process.pid for process in self._idle]

    def stop(self) -> None:
        """End the idle workers (new ones start when needed)."""
        with self._lock:
            idle, self._idle = self._idle, []
        for process in idle:
            close_process(process)

    def _take(self) -> subprocess.Popen:
        with self._lock:
            while self._idle:
                process = self._idle.pop()
                if process.poll() is None:
                    return process
                close_process(process)
        return _start()

    def _give_back(self, process: subprocess.Popen, healthy: bool) -> None:
        if healthy and process.poll() is None:
            with self._lock:
                if len(self._idle) < KEEP_IDLE:
                    self._idle.append(process)
                    return
        close_process(process)


def _start() -> subprocess.Popen:
    import ondrel

    package_root = os.path.dirname(os.path.dirname(os.path.abspath(ondrel.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([package_root] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return subprocess.Popen(
        [sys.executable, "-m", "ondrel._platform.spreadsheet.workers"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
        start_new_session=True, text=True, encoding="utf-8",
    )


_pool: WorkerPool | None = None
_pool_lock = threading.Lock()


def get_pool() -> WorkerPool:
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = WorkerPool()
        return _pool


def call(job: JobContext, function: str, *args: Any) -> Any:
    """Run one of :data:`FUNCTIONS` in a worker of this process's pool."""
    return get_pool().call(job, function, *args)


# The worker ---------------------------------------------------------------------------------

def _serve() -> None:
    # Answers go to the pipe the pool reads; anything printed goes to stderr instead.
    answers = os.fdopen(os.dup(1), "w", encoding="utf-8")
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    functions: dict[str, Any] = {}
    for line in sys.stdin:
        try:
            request = json.loads(line)
            name = request["call"]
            if name not in functions:
                module_name, _, attribute = FUNCTIONS[name].partition(":")
                functions[name] = getattr(importlib.import_module(module_name), attribute)
            reply: dict[str, Any] = {"answer": functions[name](*request["args"])}
        except JobError as exc:
            reply = {"job_error": [exc.error_type, exc.message]}
        except Exception as exc:  # reported to the job, which fails with it
            reply = {"failure": f"{type(exc).__name__}: {exc}"}
        answers.write(json.dumps(reply) + "\n")
        answers.flush()


if __name__ == "__main__":
    _serve()
