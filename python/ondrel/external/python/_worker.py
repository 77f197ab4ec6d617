"""The local worker: runs one analysis job in a private folder and hands back its output files.

Layout of a job folder (created private, removed when the job ends, whatever the outcome)::

    ondrel-job-<pid>-XXXX/
        .owner                locked by the caller (process <pid>) while the job runs
        run/                  working directory: the input files, the script, the outputs
            _ondrel_script.py the job's script (a reserved name)
        stdout.log, stderr.log

A caller killed by a signal cannot remove its job folders; the next job made in the same
place removes those whose owner is gone, and kills the processes still running in them.

The script runs as the caller and may change anything in its folder, so after it has started
the worker reaches the folder only through handles opened before: the captured streams through
the files it opened for them, the outputs by name in the ``run/`` folder it opened, never
through a link and never anything but a regular file, in reads of bounded size.
"""

from __future__ import annotations

import contextlib
import errno
import logging
import ntpath
import os
import re
import secrets
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path

from ondrel._platform.jobs import stopped_by_scope
from ondrel._platform.storage import abandoned_folders, lock_owner_file
from ondrel.errors import ExecutionError

from ._config import WorkerConfig, load_worker_config

SCRIPT_NAME = "_ondrel_script.py"
JOB_FOLDER_PREFIX = "ondrel-job-"
NAME_MAX_BYTES = 255  # the longest file name of common file systems
_STDERR_TAIL_LINES = 20
_STDERR_TAIL_CHARS = 4000
_LOG_KEEP_BYTES = 1 << 20
_READ_CHUNK = 1 << 20
_LISTED_FILES = 20
_DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW
_NEW_FILE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
_LOG_FLAGS = os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
# O_NONBLOCK: opening a named pipe must not wait for a writer; fstat then refuses it.
_OUTPUT_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK

_clock: Callable[[], float] = time.monotonic
_log = logging.getLogger(__name__)


@dataclass(frozen=True)
class Job:
    """One analysis job as the worker receives it.

    Exactly one of ``script`` (the script's content) and ``script_key`` (a script of the
    worker's configuration) is set. ``timeout`` is in seconds; ``None`` waits without limit.
    """

    integration: str
    script: bytes | None
    script_key: str | None
    files: tuple[tuple[str, bytes], ...]
    output_filenames: tuple[str, ...]
    timeout: float | None


@dataclass(frozen=True)
class JobResult:
    """What a finished job hands back: the outputs by name and the script's captured streams."""

    outputs: dict[str, bytes]
    stdout: str
    stderr: str


def check_file_names(names: list[str], what: str) -> None:
    """Raise ``ValueError`` unless every name is a plain file name, each given once.

    A plain name is a non-empty text of at most 255 bytes (UTF-8) without a path separator
    (either kind), without "..", not absolute, without a drive and not the worker's reserved
    script name. Names that differ only in case count as repeats, since a worker's file system
    may not tell them apart.
    """
    seen: dict[str, str] = {}
    for name in names:
        if not isinstance(name, str):
            raise ValueError(f"{what}: a file name must be a text, not {type(name).__name__}")
        problem = _name_problem(name)
        if problem:
            raise ValueError(f"{what}: unsafe file name {name!r}: {problem}")
        folded = name.casefold()
        if folded in seen:
            raise ValueError(f"{what}: the file name {name!r} repeats {seen[folded]!r}")
        seen[folded] = name


def _name_problem(name: str) -> str:
    if not name:
        return "it is empty"
    if "\0" in name:
        return "it contains a NUL character"
    try:
        size = len(os.fsencode(name))
    except UnicodeEncodeError:
        return "it cannot be written as a file name (it holds a lone surrogate)"
    if size > NAME_MAX_BYTES:
        return f"it is {size} bytes long; file names are limited to {NAME_MAX_BYTES} bytes"
    if os.path.isabs(name) or ntpath.isabs(name) or ntpath.splitdrive(name)[0]:
        return "it is an absolute path"
    if "/" in name or "\\" in name or (os.altsep and os.altsep in name):
        return "it contains a path separator; give the bare file name"
    if ".." in name or name == ".":
        return "it contains '..' or names a folder"
    if name.casefold() == SCRIPT_NAME.casefold():
        return "the worker reserves it for the job's script"
    return ""


class LocalWorker:
    """Runs jobs on this machine, one private folder per job.

    The settings come from ``config``, or from the worker configuration file named by
    ``$ONDREL_WORKER_CONFIG`` (read when the worker is made) when not given.
    """

    def __init__(self, config: WorkerConfig | None = None) -> None:
        self.config = config if config is not None else load_worker_config()

    def run(self, job: Job) -> JobResult:
        """Run ``job`` and return its outputs; raise ``ExecutionError`` on any failure.

        The job's ``timeout`` covers all of it: writing the inputs, the script and collecting
        its outputs. The job folder is removed and every process left in the script's process
        group is killed, whatever the outcome.
        """
        started = _clock()
        try:
            result = self._run(job)
        except ExecutionError as exc:
            _log.info("analysis job (%s) failed after %.2f s: %s", job.integration, _clock() - started, exc)
            raise
        _log.info("analysis job (%s) finished in %.2f s, %d output file(s)", job.integration,
                  _clock() - started, len(result.outputs))
        return result

    def _run(self, job: Job) -> JobResult:
        deadline = _Deadline(job.timeout)
        try:
            check_file_names([name for name, _ in job.files], "input files")
            check_file_names(list(job.output_filenames), "output file names")
        except ValueError as exc:
            raise ExecutionError(f"job refused: {exc}") from None
        script = self._script_of(job)
        integration = self.config.command_for(job.integration)

        with _JobFolder(self.config) as folder:
            _log.debug("analysis job (%s) runs in %s", job.integration, folder.path)
            for name, data in job.files:
                folder.write(name, data)
            folder.write(SCRIPT_NAME, script)
            script_path = folder.run_path / SCRIPT_NAME
            command = self._command(integration.command, script_path)
            environment = self._environment(integration.environment, folder.path)
            returncode = self._run_process(command, folder, environment, job, deadline)
            stdout = _read_log(folder.stdout)
            stderr = _read_log(folder.stderr)
            if returncode is None:
                raise ExecutionError(
                    f"the analysis did not finish within {job.timeout:g} s and was stopped with "
                    f"every process it started; give execute() a longer timeout if it needs more "
                    f"time.{_tail(stderr)}"
                )
            if returncode != 0:
                raise ExecutionError(
                    f"the analysis script {_how_it_ended(returncode)}.{_tail(stderr)}"
                )
            try:
                outputs = self._collect(folder, job.output_filenames, deadline)
            except _OutOfTime:
                raise ExecutionError(
                    f"the analysis did not finish within {job.timeout:g} s: the time ran out "
                    f"while its output files were being collected; give execute() a longer "
                    f"timeout if it needs more time"
                ) from None
            return JobResult(outputs=outputs, stdout=stdout, stderr=stderr)

    def _script_of(self, job: Job) -> bytes:
        config = self.config
        if job.script_key is None:
            if config.only_configured_scripts:
                raise ExecutionError(
                    f"this worker runs only the scripts of {config.describe()}; it refuses a "
                    f"job that sends its own script. Pass script_key= with one of: "
                    f"{_key_list(config)}"
                )
            assert job.script is not None
            return job.script
        path = config.scripts.get(job.script_key)
        if path is None:
            raise ExecutionError(
                f"unknown script key {job.script_key!r}: {config.describe()} defines "
                f"{_key_list(config)}"
            )
        try:
            return path.read_bytes()
        except OSError as exc:
            raise ExecutionError(
                f"cannot read the script {str(path)!r} configured for the key "
                f"{job.script_key!r}: {exc.strerror or exc}"
            ) from None

    def _command(self, template: tuple[str, ...], script_path: Path) -> list[str]:
        values = {"python": self.config.python, "script": str(script_path)}
        command = [_fill(part, values) for part in template]
        if not any("{script}" in part for part in template):
            command.append(str(script_path))
        return command

    def _environment(self, extra: Mapping[str, str], root: Path) -> dict[str, str]:
        """A minimal environment: nothing of the caller's except what the settings pass."""
        environment = {
            "PATH": os.defpath,
            "LANG": "C.UTF-8",
            "PYTHONIOENCODING": "utf-8",
            "PYTHONDONTWRITEBYTECODE": "1",
            "HOME": str(root),
            "TMPDIR": str(root),
            "TEMP": str(root),
            "TMP": str(root),
        }
        for name in self.config.pass_environment:
            if name in os.environ:
                environment[name] = os.environ[name]
        environment.update(self.config.environment)
        environment.update(extra)
        return environment

    def _run_process(
        self, command: list[str], folder: _JobFolder, environment: dict[str, str], job: Job,
        deadline: _Deadline,
    ) -> int | None:
        """Run the command in its own session; the exit code, or None once the time is up."""
        try:
            process = subprocess.Popen(
                command, cwd=folder.run_path, env=environment, stdin=subprocess.DEVNULL,
                stdout=folder.stdout, stderr=folder.stderr, start_new_session=True,
            )
        except OSError as exc:
            raise ExecutionError(
                f"cannot start the {job.integration!r} integration with {command[0]!r}: "
                f"{exc.strerror or exc}; check the worker's 'python' or "
                f"integrations.{job.integration}.command setting"
            ) from None
        try:
            with stopped_by_scope(lambda: _kill_group(process)) as scope:
                returncode = process.wait(timeout=deadline.remaining())
            if scope is not None and scope.stopped:
                raise ExecutionError("the analysis was stopped with every process it started: the "
                                     "caller that ran it (a batch, or a task on a cluster) was interrupted")
            return returncode
        except subprocess.TimeoutExpired:
            return None
        finally:
            # Also on success: what the script left running must not outlive its folder.
            _kill_tree(process)

    def _collect(
        self, folder: _JobFolder, names: tuple[str, ...], deadline: _Deadline
    ) -> dict[str, bytes]:
        """The outputs, read by name in the run folder; all of them within ``max_output_bytes``."""
        limit = self.config.max_output_bytes
        outputs: dict[str, bytes] = {}
        left = limit
        for name in names:
            data = _read_output(folder.run, name, left, deadline)
            if data is None:
                raise ExecutionError(
                    f"the output files are larger than the {limit} bytes that the worker hands "
                    f"back for one job (setting 'max_output_bytes' of {self.config.describe()}); "
                    f"{name!r} goes past it"
                )
            outputs[name] = data
            left -= len(data)
        return outputs


class _OutOfTime(Exception):
    """The job's time ran out after its script had ended."""


class _Deadline:
    """When a job's time runs out; never for a job without a time-out or with one longer than any
    wait can be (``threading.TIMEOUT_MAX``, centuries)."""

    def __init__(self, timeout: float | None) -> None:
        self._end = None if timeout is None or timeout > threading.TIMEOUT_MAX else _clock() + timeout

    def remaining(self) -> float | None:
        return None if self._end is None else max(0.0, self._end - _clock())

    def check(self) -> None:
        if self._end is not None and _clock() >= self._end:
            raise _OutOfTime


class _JobFolder:
    """A job's private folder, reached only through handles opened before the script starts.

    ``run`` is the handle of the working folder, ``stdout`` and ``stderr`` those of the files
    that receive the script's streams. Leaving the ``with`` block removes the folder.
    """

    def __init__(self, config: WorkerConfig) -> None:
        self.path = Path(_make_job_folder(config))
        self.run_path = self.path / "run"
        self._handles: list[int] = []
        try:
            self._root = os.open(self.path, _DIR_FLAGS)
        except BaseException:
            shutil.rmtree(self.path, ignore_errors=True)
            raise
        try:
            self._handles.append(lock_owner_file(self._root))  # held while the folder is in use
            os.mkdir("run", 0o700, dir_fd=self._root)
            self.run = self._open("run", _DIR_FLAGS)
            self.stdout = self._open("stdout.log", _LOG_FLAGS, 0o600)
            self.stderr = self._open("stderr.log", _LOG_FLAGS, 0o600)
        except BaseException:
            self.remove()
            raise

    def _open(self, name: str, flags: int, mode: int = 0o777) -> int:
        handle = os.open(name, flags, mode, dir_fd=self._root)
        self._handles.append(handle)
        return handle

    def write(self, name: str, data: bytes) -> None:
        """Write a new file ``name`` in the run folder (before the script starts)."""
        with open(os.open(name, _NEW_FILE_FLAGS, 0o600, dir_fd=self.run), "wb") as stream:
            stream.write(data)

    def remove(self) -> None:
        for handle in self._handles:
            os.close(handle)
        self._handles.clear()
        try:
            _remove_tree(self.path, self._root)
        finally:
            os.close(self._root)

    def __enter__(self) -> _JobFolder:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.remove()


def _make_job_folder(config: WorkerConfig) -> str:
    """A new job folder ``ondrel-job-<pid>-XXXX``, after removing those whose owner is gone."""
    _remove_abandoned_job_folders(str(config.jobs_folder or tempfile.gettempdir()))
    try:
        return tempfile.mkdtemp(prefix=f"{JOB_FOLDER_PREFIX}{os.getpid()}-", dir=config.jobs_folder)
    except OSError as exc:
        if config.jobs_folder is None:
            raise ExecutionError(
                f"cannot make a job folder in the system temporary folder "
                f"{tempfile.gettempdir()!r}: {exc.strerror or exc}"
            ) from None
        if isinstance(exc, FileNotFoundError):
            reason = "it does not exist"
        elif isinstance(exc, NotADirectoryError):
            reason = "it is not a folder"
        else:
            reason = exc.strerror or str(exc)
        raise ExecutionError(
            f"cannot make a job folder: the 'jobs_folder' {str(config.jobs_folder)!r} of "
            f"{config.describe()} cannot hold one: {reason}"
        ) from None


def _remove_abandoned_job_folders(parent: str) -> None:
    """Remove the job folders in ``parent`` of callers that ended without removing them (killed
    by a signal, say), with the processes still running in them."""
    for path in abandoned_folders(JOB_FOLDER_PREFIX, parent):
        _kill_processes_in(path)
        with contextlib.suppress(OSError):  # another caller may be removing it too
            folder = os.open(path, _DIR_FLAGS)
            try:
                _remove_tree(Path(path), folder)
            finally:
                os.close(folder)
        _log.info("removed the job folder %s of a caller that has ended", path)


def _kill_processes_in(folder: str) -> None:
    """Kill the processes whose working folder lies in ``folder`` (where /proc tells)."""
    inside = os.path.realpath(folder) + os.sep
    try:
        entries = os.listdir("/proc")
    except OSError:
        return
    for entry in entries:
        if entry.isdigit():
            with contextlib.suppress(OSError):  # gone, or not ours to see
                if (os.readlink(f"/proc/{entry}/cwd") + os.sep).startswith(inside):
                    os.kill(int(entry), signal.SIGKILL)


def _kill_tree(process: subprocess.Popen[bytes]) -> None:
    _kill_group(process)
    if process.poll() is None:
        process.kill()
    process.wait()


def _kill_group(process: subprocess.Popen[bytes]) -> None:
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(process.pid, signal.SIGKILL)


def _read_output(run: int, name: str, limit: int, deadline: _Deadline) -> bytes | None:
    """The output file ``name`` in the folder ``run``, or None when it is over ``limit`` bytes.

    Only a regular file directly in that folder is read, never through a link, in pieces
    between which the job's deadline is checked.
    """
    try:
        handle = os.open(name, _OUTPUT_FLAGS, dir_fd=run)
    except FileNotFoundError:
        raise ExecutionError(
            f"the analysis finished but did not produce the output file {name!r}; the script "
            f"must write it in its working folder. Files there: {_listing(run)}"
        ) from None
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise ExecutionError(
                f"the output file {name!r} is a symbolic link; the worker collects only "
                f"regular files that the script wrote in its working folder"
            ) from None
        raise ExecutionError(
            f"cannot read the output file {name!r}: {exc.strerror or exc}"
        ) from None
    try:
        info = os.fstat(handle)
        if not stat.S_ISREG(info.st_mode):
            raise ExecutionError(
                f"the output {name!r} is not a regular file; the script must write a file of "
                f"that name"
            )
        if info.st_size > limit:
            return None
        pieces: list[bytes] = []
        size = 0
        while True:
            deadline.check()
            # One byte over the limit tells a file that still grows (a process that escaped).
            piece = os.read(handle, min(_READ_CHUNK, limit - size + 1))
            if not piece:
                return b"".join(pieces)
            size += len(piece)
            if size > limit:
                return None
            pieces.append(piece)
    finally:
        os.close(handle)


def _listing(folder: int) -> str:
    names = sorted(name for name in os.listdir(folder) if name != SCRIPT_NAME)
    if not names:
        return "(none)"
    more = len(names) - _LISTED_FILES
    shown = ", ".join(names[:_LISTED_FILES])
    return f"{shown} and {more} more" if more > 0 else shown


def _read_log(handle: int) -> str:
    """The last ``_LOG_KEEP_BYTES`` of a captured stream, after a line that says what was cut."""
    size = os.fstat(handle).st_size
    start = max(0, size - _LOG_KEEP_BYTES)
    data = os.pread(handle, size - start, start)
    if start == 0:
        return data.decode("utf-8", errors="replace")
    # Begin at a character: skip the continuation bytes of one cut in two.
    skip = 0
    while skip < min(3, len(data)) and data[skip] & 0xC0 == 0x80:
        skip += 1
    data = data[skip:]
    return (
        f"[... {start + skip} bytes cut; the last {len(data)} bytes follow ...]\n"
        + data.decode("utf-8", errors="replace")
    )


def _tail(stderr: str) -> str:
    lines = stderr.rstrip().splitlines()[-_STDERR_TAIL_LINES:]
    text = "\n".join(lines)[-_STDERR_TAIL_CHARS:]
    return f" Last lines of its stderr:\n{text}" if text else " It wrote nothing to stderr."


def _how_it_ended(returncode: int) -> str:
    if returncode < 0:
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            name = f"signal {-returncode}"
        return f"was killed by {name}"
    return f"failed with exit code {returncode}"


def _key_list(config: WorkerConfig) -> str:
    return ", ".join(repr(k) for k in sorted(config.scripts)) or "no scripts"


def _fill(part: str, values: dict[str, str]) -> str:
    return re.sub(r"\{(python|script)\}", lambda match: values[match.group(1)], part)


def _remove_tree(path: Path, folder: int) -> None:
    """Remove the job folder ``path``, opened as ``folder``, with all that the script left in it.

    The content goes through the folder's handle, never through a link. The folder itself is
    removed by name only while the name still holds it: a script that moved it away leaves
    an empty folder there, and whatever it put at the name is not the worker's to remove.
    """
    with contextlib.suppress(OSError):
        _empty(folder)
    with contextlib.suppress(OSError):
        if os.path.samestat(os.fstat(folder), os.lstat(path)):
            os.rmdir(path)


def _empty(folder: int) -> None:
    """Remove everything in the folder opened as ``folder``, never through a link.

    Each folder in it is entered (unlocked first when the script locked it), its files removed
    and its own folders moved up into ``folder`` to be removed in turn: two descriptors open at
    a time however deep the tree, where a walk holds one per level and runs out of them.
    """
    os.fchmod(folder, stat.S_IRWXU)
    pending = os.listdir(folder)
    while pending:
        name = pending.pop()
        if not _is_folder(name, folder):
            os.unlink(name, dir_fd=folder)
            continue
        inner = _enter(name, folder)
        try:
            for entry in os.listdir(inner):
                if _is_folder(entry, inner):
                    os.chmod(entry, stat.S_IRWXU, dir_fd=inner)  # moving a folder writes its ".."
                    moved = f".ondrel-moved-{secrets.token_hex(8)}"
                    os.rename(entry, moved, src_dir_fd=inner, dst_dir_fd=folder)
                    pending.append(moved)
                else:
                    os.unlink(entry, dir_fd=inner)
        finally:
            os.close(inner)
        os.rmdir(name, dir_fd=folder)


def _is_folder(name: str, parent: int) -> bool:
    return stat.S_ISDIR(os.stat(name, dir_fd=parent, follow_symlinks=False).st_mode)


def _enter(name: str, parent: int) -> int:
    """Open the folder ``name`` of ``parent`` (not a link) with full access for its owner."""
    try:
        inner = os.open(name, _DIR_FLAGS, dir_fd=parent)
    except PermissionError:  # the script locked it
        os.chmod(name, stat.S_IRWXU, dir_fd=parent)
        inner = os.open(name, _DIR_FLAGS, dir_fd=parent)
    try:
        os.fchmod(inner, stat.S_IRWXU)
    except BaseException:
        os.close(inner)
        raise
    return inner
