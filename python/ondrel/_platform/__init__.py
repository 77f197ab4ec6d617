"""The embedded local platform: temporary storage and add-ons, on this machine.

Nothing here needs an account or a network. Files are kept in a private temporary folder
for the life of the process (a job's uploaded input only until the job ends); add-on jobs
run in a worker thread of this process (the spreadsheet add-ons read workbooks in worker
processes and drive LibreOffice Calc, kept warm in a local helper process when it can be),
or as tasks on a Dask cluster when one is configured (:mod:`ondrel.cluster`).

An application or a test swaps an add-on with :func:`register_addon` (which returns the
handler it replaces) or, for a block of code, :func:`addon_replaced`.
"""

from __future__ import annotations

import contextlib
import logging
import threading
import time
from collections.abc import Iterator, Mapping
from typing import Any

import ondrel.cluster

from .jobs import AddonRegistry, Handler, JobCancelled, JobContext, JobError, run_job
from .storage import LocalStorage

_log = logging.getLogger(__name__)

__all__ = [
    "Platform", "get_platform", "register_addon", "unregister_addon", "addon_replaced",
    "JobContext", "JobError", "JobCancelled", "Handler", "EVALUATE_SPREADSHEET", "FILL_SPREADSHEET",
    "RUN_EXCEL",
]

EVALUATE_SPREADSHEET = "evaluatespreadsheet/v3/jobs/"
FILL_SPREADSHEET = "fillspreadsheet/v2/jobs/"
RUN_EXCEL = "excelrunner/v1/jobs/"

_BUILTIN_ADDONS = {
    EVALUATE_SPREADSHEET: "ondrel._platform.spreadsheet.evaluate:evaluate_spreadsheet",
    FILL_SPREADSHEET: "ondrel._platform.spreadsheet.fill:fill_spreadsheet",
    RUN_EXCEL: "ondrel._platform.spreadsheet.excel:run_excel",
}


class Platform:
    """Storage and add-on registry of the embedded platform."""

    def __init__(self) -> None:
        self.storage = LocalStorage()
        self.addons = AddonRegistry(_BUILTIN_ADDONS)

    def run_job(self, path: str, body: Any, *, timeout: float | None,
                error_mapping: Mapping[str, type[BaseException]] | None = None) -> Any:
        """Run a job; when it ends, its uploaded input and an output slot left empty are removed."""
        if not isinstance(body, Mapping):
            body_urls = (None, None)
        else:
            body_urls = (body.get("download_url"), body.get("result_download_url"))
        cluster = ondrel.cluster.backend()  # a Dask cluster when one is configured
        where = "on the cluster" if cluster is not None else "here"
        _log.debug("job %s started %s (time-out %s s)", path, where, timeout)
        started = time.monotonic()
        try:
            with self.storage.claim(*body_urls):
                if cluster is not None:
                    answer = cluster.run_job(self.addons, self.storage, path, body, timeout=timeout,
                                             error_mapping=error_mapping)
                else:
                    answer = run_job(self.addons, self.storage, path, body, timeout=timeout,
                                     error_mapping=error_mapping)
        except BaseException as exc:
            _log.info("job %s failed %s after %.2f s: %s", path, where, time.monotonic() - started, exc)
            raise
        _log.info("job %s finished %s in %.2f s", path, where, time.monotonic() - started)
        return answer


_platform: Platform | None = None
_platform_lock = threading.Lock()


def get_platform() -> Platform:
    """The platform of this process, made on first use."""
    global _platform
    with _platform_lock:
        if _platform is None:
            _platform = Platform()
        return _platform


def register_addon(path: str, handler: Handler) -> Handler | None:
    """Serve endpoint ``path`` with ``handler(body, job)``; return the handler it replaces."""
    return get_platform().addons.register(path, handler)


def unregister_addon(path: str) -> Handler | None:
    """Stop serving ``path``; return the handler that served it."""
    return get_platform().addons.unregister(path)


@contextlib.contextmanager
def addon_replaced(path: str, handler: Handler) -> Iterator[None]:
    """Serve ``path`` with ``handler`` inside the block, then restore what was there."""
    previous = register_addon(path, handler)
    try:
        yield
    finally:
        if previous is None:
            unregister_addon(path)
        else:
            register_addon(path, previous)
