"""The generic analysis runner: send a Python script with its input files to a worker.

:class:`PythonAnalysis` runs a script, with input files, on a worker and collects the output
files it writes. The default worker is local (:class:`LocalWorker`): each job gets a fresh
private folder, the script runs there with a minimal environment, and the folder is removed
afterwards. The worker configuration file named by ``$ONDREL_WORKER_CONFIG`` can offer
scripts by key, set the command of each integration and refuse scripts sent by jobs; see
``docs/analysis.md``.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import cast

import ondrel.cluster
from ondrel.core import File

from ._config import CONFIG_ENV_VAR, IntegrationConfig, WorkerConfig, load_worker_config
from ._worker import Job, JobResult, LocalWorker, check_file_names

__all__ = [
    "PythonAnalysis",
    "LocalWorker",
    "WorkerConfig",
    "IntegrationConfig",
    "load_worker_config",
    "CONFIG_ENV_VAR",
]


class PythonAnalysis:
    """A Python script run on a worker with input files, and the output files it writes.

    Usage::

        analysis = PythonAnalysis(
            script=File.from_path("beam.py"),
            files=[("beam.json", File.from_path("beam.json"))],
            output_filenames=["results.json"],
        )
        analysis.execute(timeout=60)
        results = analysis.get_output_file("results.json")

    :param script: the script to run (a :class:`~ondrel.core.File`, or the path of the script);
        it must block until the analysis is done and write its output files in its working folder.
    :param script_key: instead of ``script``: the key of a script defined in the worker's
        configuration file (required when the worker runs only configured scripts).
    :param files: the input files as (file name, :class:`~ondrel.core.File` or path) pairs; they
        are placed in the script's working folder under those names.
    :param output_filenames: the names of the files to collect after the script has ended.

    File names must be bare names (no folder, no "..", not absolute), each given once; an
    output may name an input file that the script rewrites. Failures while running raise
    :class:`ondrel.errors.ExecutionError`.
    """

    _integration = "python"

    def __init__(
        self,
        *,
        script: File | str | os.PathLike[str] | None = None,
        script_key: str | None = None,
        files: Sequence[tuple[str, File | str | os.PathLike[str]]] | None = None,
        output_filenames: Sequence[str] | None = None,
    ) -> None:
        if (script is None) == (script_key is None):
            raise ValueError(
                "give exactly one of script (a File holding the script) and script_key "
                "(the key of a script in the worker's configuration)"
            )
        if script is not None:
            script = _as_file(script, "script")
        if script_key is not None and (not isinstance(script_key, str) or not script_key):
            raise ValueError("script_key must be a non-empty text")
        self._script = script
        self._script_key = script_key
        self._files = _file_pairs(files)
        check_file_names([name for name, _ in self._files], "files")
        self._output_filenames = _names(output_filenames)
        check_file_names(list(self._output_filenames), "output_filenames")
        self._result: JobResult | None = None
        self._outputs: dict[str, File] = {}

    def execute(self, timeout: float | None = None) -> None:
        """Run the analysis on the worker and wait until it has finished.

        :param timeout: the longest time the job may run, in seconds; ``None`` waits without
            limit. A job that runs longer is stopped with every process it started.
        :raises ondrel.errors.ExecutionError: the job was refused, the script failed or ran out
            of time, or an output file was not produced; the message says which.
        """
        if timeout is not None:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise ValueError(f"timeout must be a number of seconds, not {timeout!r}")
            if not (timeout > 0 and timeout != math.inf):
                raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        self._result = None
        self._outputs = {}
        job = Job(
            integration=self._integration,
            script=None if self._script is None else self._script.getvalue_binary(),
            script_key=self._script_key,
            files=tuple((name, file.getvalue_binary()) for name, file in self._files),
            output_filenames=self._output_filenames,
            timeout=timeout,
        )
        result = self._make_worker().run(job)
        self._outputs = {name: File.from_data(data) for name, data in result.outputs.items()}
        self._result = result

    def get_output_file(self, filename: str) -> File:
        """The output file ``filename`` collected by the last successful :meth:`execute`."""
        if filename not in self._output_filenames:
            asked = ", ".join(repr(n) for n in self._output_filenames) or "none"
            raise ValueError(
                f"{filename!r} is not one of the output files asked for (output_filenames: {asked})"
            )
        if self._result is None:
            raise RuntimeError(
                "no output files yet: call execute() first (a failed execute() collects none)"
            )
        return self._outputs[filename]

    @property
    def stdout(self) -> str:
        """What the script wrote to standard output in the last successful :meth:`execute`.

        At most the last MiB is kept; a line at the start then says how many bytes were cut.
        """
        return self._last_run().stdout

    @property
    def stderr(self) -> str:
        """What the script wrote to standard error in the last successful :meth:`execute`.

        At most the last MiB is kept; a line at the start then says how many bytes were cut.
        """
        return self._last_run().stderr

    def _last_run(self) -> JobResult:
        if self._result is None:
            raise RuntimeError(
                "no run yet: call execute() first (a failed execute() keeps nothing)"
            )
        return self._result

    def _make_worker(self) -> LocalWorker:
        """The worker that runs the job: the local one, with the current configuration, or a
        Dask cluster's when one is configured (:mod:`ondrel.cluster`)."""
        cluster = ondrel.cluster.backend()
        if cluster is not None:
            from ondrel._platform.cluster import ClusterAnalysisWorker

            return ClusterAnalysisWorker(cluster)  # type: ignore[return-value]
        return LocalWorker()


def _is_file(value: object) -> bool:
    return isinstance(value, File) or callable(getattr(value, "getvalue_binary", None))


def _as_file(value: object, what: str) -> File:
    """``value`` as a File: a File as it is, a path as the file it names (which must exist)."""
    if isinstance(value, (str, os.PathLike)):
        path = os.fspath(value)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        if not os.path.isfile(path):
            raise ValueError(f"{what}: no file at {os.path.abspath(path)!r}")
        return File.from_path(path)
    if _is_file(value):
        return cast(File, value)
    raise ValueError(f"{what} must be a File or the path of a file, not {type(value).__name__}")


def _file_pairs(
    files: Sequence[tuple[str, File | str | os.PathLike[str]]] | None,
) -> tuple[tuple[str, File], ...]:
    if files is None:
        return ()
    if isinstance(files, (str, bytes)) or not isinstance(files, Sequence):
        raise ValueError("files must be a list of (file name, File) pairs")
    pairs = []
    for item in files:
        if not isinstance(item, (tuple, list)) or len(item) != 2:
            raise ValueError(f"files must be a list of (file name, File) pairs, got {item!r}")
        name, file = item
        pairs.append((name, _as_file(file, f"files: the content of {name!r}")))
    return tuple(pairs)


def _names(names: Sequence[str] | None) -> tuple[str, ...]:
    if names is None:
        return ()
    if isinstance(names, (str, bytes)) or not isinstance(names, Sequence):
        raise ValueError("output_filenames must be a list of file names")
    return tuple(names)

