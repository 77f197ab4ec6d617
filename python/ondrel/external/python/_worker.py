"""The local worker: runs one analysis job in a private folder and hands back its output files.

Layout of a job folder (created private, removed when the job ends, whatever the outcome)::

    ondrel-job-XXXX/
        run/                  working directory: the input files, the script, the outputs
            _ondrel_script.py the job's script (a reserved name)
        stdout.log, stderr.log
"""

from __future__ import annotations

import contextlib
import ntpath
import os
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from ondrel.errors import ExecutionError

from ._config import WorkerConfig, load_worker_config

SCRIPT_NAME = "_ondrel_script.py"
_STDERR_TAIL_LINES = 20
_STDERR_TAIL_CHARS = 4000
_LOG_KEEP_BYTES = 1 << 20


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

    A plain name is a non-empty text without a path separator (either kind), without "..",
    not absolute, without a drive and not the worker's reserved script name. Names that
    differ only in case count as repeats, since a worker's file system may not tell them apart.
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
        """Run ``job`` and return its outputs; raise ``ExecutionError`` on any failure."""
        try:
            check_file_names([name for name, _ in job.files], "input files")
            check_file_names(list(job.output_filenames), "output file names")
        except ValueError as exc:
            raise ExecutionError(f"job refused: {exc}") from None
        script = self._script_of(job)
        integration = self.config.command_for(job.integration)

        root = Path(tempfile.mkdtemp(prefix="ondrel-job-", dir=self.config.jobs_folder))
        try:
            run_dir = root / "run"
            run_dir.mkdir(mode=0o700)
            for name, data in job.files:
                _write_new(run_dir / name, data)
            script_path = run_dir / SCRIPT_NAME
            _write_new(script_path, script)
            command = self._command(integration.command, script_path)
            environment = self._environment(integration.environment, root)
            with open(root / "stdout.log", "wb") as out, open(root / "stderr.log", "wb") as err:
                returncode = self._run_process(command, run_dir, environment, out, err, job)
            stdout = _read_log(root / "stdout.log")
            stderr = _read_log(root / "stderr.log")
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
            outputs = {name: _read_output(run_dir, name) for name in job.output_filenames}
            return JobResult(outputs=outputs, stdout=stdout, stderr=stderr)
        finally:
            _remove_tree(root)

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

    def _environment(self, extra: dict[str, str], root: Path) -> dict[str, str]:
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
        if os.name == "nt":  # The interpreter cannot start on Windows without it.
            environment["SYSTEMROOT"] = os.environ.get("SYSTEMROOT", r"C:\Windows")
        for name in self.config.pass_environment:
            if name in os.environ:
                environment[name] = os.environ[name]
        environment.update(self.config.environment)
        environment.update(extra)
        return environment

    def _run_process(self, command, cwd, environment, out, err, job: Job) -> int | None:
        """Run the command in its own process group; the exit code, or None after a timeout."""
        options: dict[str, object] = {}
        if os.name == "posix":
            options["start_new_session"] = True
        else:
            options["creationflags"] = subprocess.CREATE_NEW_PROCESS_GROUP
        try:
            process = subprocess.Popen(
                command, cwd=cwd, env=environment, stdin=subprocess.DEVNULL,
                stdout=out, stderr=err, **options,
            )
        except OSError as exc:
            raise ExecutionError(
                f"cannot start the {job.integration!r} integration with {command[0]!r}: "
                f"{exc.strerror or exc}; check the worker's 'python' or "
                f"integrations.{job.integration}.command setting"
            ) from None
        try:
            return process.wait(timeout=job.timeout)
        except subprocess.TimeoutExpired:
            return None
        finally:
            # Also on success: what the script left running must not outlive its folder.
            _kill_tree(process)


def _kill_tree(process: subprocess.Popen) -> None:
    if os.name == "posix":
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    elif process.poll() is None:
        subprocess.run(
            ["taskkill", "/F", "/T", "/PID", str(process.pid)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False,
        )
    if process.poll() is None:
        process.kill()
    process.wait()


def _write_new(path: Path, data: bytes) -> None:
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(
        os, "O_BINARY", 0
    )
    fd = os.open(path, flags, 0o600)
    with open(fd, "wb") as stream:
        stream.write(data)


def _read_output(run_dir: Path, name: str) -> bytes:
    path = run_dir / name
    flags = os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0)
    try:
        if path.is_symlink():
            raise ExecutionError(
                f"the output file {name!r} is a symbolic link; the worker collects only "
                f"regular files that the script wrote in its working folder"
            )
        fd = os.open(path, flags)
    except FileNotFoundError:
        present = sorted(p.name for p in run_dir.iterdir() if p.name != SCRIPT_NAME)
        raise ExecutionError(
            f"the analysis finished but did not produce the output file {name!r}; the script "
            f"must write it in its working folder. Files there: "
            f"{', '.join(present) if present else '(none)'}"
        ) from None
    except OSError as exc:
        raise ExecutionError(
            f"cannot read the output file {name!r}: {exc.strerror or exc}"
        ) from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise ExecutionError(
            f"the output {name!r} is not a regular file; the script must write a file of that name"
        )
    with open(fd, "rb") as stream:
        return stream.read()


def _read_log(path: Path) -> str:
    with open(path, "rb") as stream:
        size = stream.seek(0, os.SEEK_END)
        stream.seek(max(0, size - _LOG_KEEP_BYTES))
        return stream.read().decode("utf-8", errors="replace")


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


def _remove_tree(root: Path) -> None:
    try:
        shutil.rmtree(root)
        return
    except FileNotFoundError:
        return
    except OSError:
        pass
    # A script may have left folders it cannot enter or change; the job folder goes regardless.
    for dirpath, dirnames, _ in os.walk(root):
        for name in dirnames:
            path = os.path.join(dirpath, name)
            if not os.path.islink(path):
                with contextlib.suppress(OSError):
                    os.chmod(path, stat.S_IRWXU)
    for _ in range(3):
        try:
            shutil.rmtree(root)
            return
        except FileNotFoundError:
            return
        except OSError:
            time.sleep(0.1)  # Windows may still hold a handle of a process just killed.
    shutil.rmtree(root, ignore_errors=True)
