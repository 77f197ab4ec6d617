"""Recalculation with LibreOffice Calc run headless.

Two ways, the same result:

- Warm: one LibreOffice kept running and driven through its ``uno`` bridge by a small
  helper (:mod:`.calc_server`) under the system Python that has ``uno`` (Debian package
  ``python3-uno``). A job costs a few tenths of a second. It serves one job at a time; it is
  started on first use, restarted if it dies, and stopped when the process exits.
- Cold: ``soffice --convert-to xlsx``, one run per job (about 0.8 s), with a profile folder
  of its own: profiles are pooled in a private temporary folder, one job at a time per
  profile. Used when the warm helper cannot run, when it is busy with another job, or when it
  fails on a workbook.

Every profile sets ``OOXMLRecalcMode`` to "always", so every formula is recalculated on load
even when the file carries stale cached values. LibreOffice exits with 0 even when it fails,
so the output file is checked.
"""

from __future__ import annotations

import atexit
import contextlib
import json
import os
import secrets
import shutil
import signal
import subprocess
import tempfile
import threading
from collections.abc import Callable, Iterator
from pathlib import Path

from ondrel.errors import AddonError

from ..jobs import JobContext
from ..storage import private_folder

INSTALL_HINT = (
    "LibreOffice Calc is needed to recalculate spreadsheets on this machine but its command "
    "'soffice' was not found. Install it, for example on Debian or Ubuntu with "
    "'apt-get install --no-install-recommends libreoffice-calc-nogui' (or run ./dev, which "
    "installs it), then try again."
)

_FILTER = "xlsx:Calc MS Excel 2007 XML"

# 0 = always recalculate on load (LibreOffice ships 1 = never).
_PROFILE_SETTINGS = """<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="OOXMLRecalcMode" oor:op="fuse"><value>0</value></prop></item>
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="ODFRecalcMode" oor:op="fuse"><value>0</value></prop></item>
</oor:items>
"""


class EngineError(AddonError):
    """LibreOffice is missing or failed."""


def find_soffice() -> str | None:
    """The path of LibreOffice's ``soffice`` command, or None."""
    found = shutil.which("soffice") or shutil.which("libreoffice")
    if found:
        return found
    for candidate in ("/usr/lib/libreoffice/program/soffice", "/opt/libreoffice/program/soffice",
                      "/Applications/LibreOffice.app/Contents/MacOS/soffice"):
        if os.access(candidate, os.X_OK):
            return candidate
    return None


# Whether the warm helper may be used (tests turn it off to exercise the cold path).
USE_WARM_PROCESS = True

_HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "calc_server.py")
_SYSTEM_PYTHONS = ("/usr/bin/python3", "/usr/local/bin/python3")


def _clean_env(home: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "VIRTUAL_ENV", "DISPLAY")}
    env["HOME"] = home
    return env


_uno_python: str | None | bool = False  # False: not looked for yet


def find_uno_python() -> str | None:
    """A Python interpreter that can import LibreOffice's ``uno`` module, or None."""
    global _uno_python
    if _uno_python is False:
        found = None
        for candidate in _SYSTEM_PYTHONS:
            if not os.access(candidate, os.X_OK):
                continue
            try:
                # LibreOffice's bridge writes into $HOME/.config: a home of its own, removed after.
                with tempfile.TemporaryDirectory(prefix="ondrel-uno-probe-") as home:
                    probe = subprocess.run([candidate, "-c", "import uno"], env=_clean_env(home),
                                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, timeout=30)
            except (OSError, subprocess.TimeoutExpired):
                continue
            if probe.returncode == 0:
                found = candidate
                break
        _uno_python = found
    return _uno_python


def _write_profile(profile: str) -> None:
    os.makedirs(os.path.join(profile, "user"), exist_ok=True)
    Path(profile, "user", "registrymodifications.xcu").write_text(_PROFILE_SETTINGS, encoding="utf-8")


class _WarmCalc:
    """The warm helper process and its LibreOffice; used under the engine's warm lock."""

    def __init__(self) -> None:
        self._process: subprocess.Popen | None = None
        self._profile: str | None = None

    def _start(self, python: str, soffice: str, folder: str, job: JobContext) -> subprocess.Popen | None:
        if self._profile is None or not os.path.isdir(self._profile):
            self._profile = tempfile.mkdtemp(prefix="warm-profile-", dir=folder)
            _write_profile(self._profile)
        pipe = f"ondrel_calc_{os.getpid()}_{secrets.token_hex(6)}"
        with open(os.path.join(folder, "warm-calc.log"), "ab") as log:
            process = subprocess.Popen(
                [python, _HELPER, soffice, Path(self._profile).as_uri(), pipe],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log, env=_clean_env(self._profile),
                cwd=self._profile, start_new_session=True, text=True, encoding="utf-8",
            )
        job.watch_process(process)
        try:
            ready = process.stdout.readline()
        finally:
            job.unwatch_process(process)
        if ready.strip() != '{"ready": true}':
            self._dispose(process)
            job.check()
            return None
        self._process = process
        return process

    def recalculate(self, python: str, soffice: str, folder: str, source: str, target: str,
                    job: JobContext) -> bool:
        """Recalculate ``source`` into ``target``; False when the warm way failed."""
        process = self._process
        if process is None or process.poll() is not None:
            if process is not None:
                self._dispose(process)
                self._process = None
            process = self._start(python, soffice, folder, job)
            if process is None:
                return False
        job.watch_process(process)
        try:
            process.stdin.write(json.dumps({"source": source, "target": target}) + "\n")
            process.stdin.flush()
            reply = process.stdout.readline()
        except OSError:
            reply = ""
        finally:
            job.unwatch_process(process)
        try:
            answer = json.loads(reply) if reply else None
        except ValueError:
            answer = None
        if not isinstance(answer, dict):
            self._dispose(process)
            self._process = None
            job.check()
            return False
        return answer.get("ok") is True and os.path.isfile(target) and os.path.getsize(target) > 0

    def stop(self) -> None:
        process, self._process = self._process, None
        if process is None:
            return
        try:
            process.stdin.close()
            process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            pass
        self._dispose(process)

    def kill(self) -> None:
        process = self._process
        if process is not None and process.poll() is None:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass

    @staticmethod
    def _dispose(process: subprocess.Popen) -> None:
        if process.poll() is None:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                process.kill()
        for stream in (process.stdin, process.stdout):
            try:
                stream.close()
            except OSError:
                pass
        process.wait()


class LibreOfficeEngine:
    """Recalculates .xlsx files; thread-safe, one profile per running conversion."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._folder: str | None = None
        self._idle_profiles: list[str] = []
        self._warm = _WarmCalc()
        self._warm_lock = threading.Lock()
        atexit.register(self._shutdown)

    def _shutdown(self) -> None:
        self.stop()
        with self._lock:
            folder, self._folder = self._folder, None
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)

    def stop(self) -> None:
        """Stop the warm LibreOffice, if it runs (it starts again when needed)."""
        if self._warm_lock.acquire(timeout=10):
            try:
                self._warm.stop()
            finally:
                self._warm_lock.release()
        else:  # a job still holds it (at exit, a stopped job may never give it back)
            self._warm.kill()

    def _ensure_folder(self) -> str:
        with self._lock:
            if self._folder is None or not os.path.isdir(self._folder):
                self._folder = private_folder("ondrel-calc-")
                self._idle_profiles.clear()
            return self._folder

    def work_folder(self) -> tempfile.TemporaryDirectory:
        """A private folder for one job's files, removed when the job ends."""
        return tempfile.TemporaryDirectory(prefix="job-", dir=self._ensure_folder())

    def _take_profile(self) -> str:
        folder = self._ensure_folder()
        with self._lock:
            if self._idle_profiles:
                return self._idle_profiles.pop()
        profile = tempfile.mkdtemp(prefix="profile-", dir=folder)
        _write_profile(profile)
        return profile

    def _give_back(self, profile: str, healthy: bool) -> None:
        if healthy:
            with self._lock:
                if os.path.isdir(profile):
                    self._idle_profiles.append(profile)
                    return
        shutil.rmtree(profile, ignore_errors=True)

    def recalculate(self, source: str, out_folder: str, job: JobContext) -> str:
        """Recalculate ``source`` into ``out_folder``; return the path of the result."""
        soffice = find_soffice()
        if soffice is None:
            raise EngineError(INSTALL_HINT)
        result = os.path.join(out_folder, Path(source).stem + ".xlsx")
        python = find_uno_python() if USE_WARM_PROCESS else None
        if python is not None and self._warm_lock.acquire(blocking=False):
            try:
                folder = self._ensure_folder()
                if self._warm.recalculate(python, soffice, folder, source, result, job):
                    return result
            finally:
                self._warm_lock.release()
        job.check()
        if os.path.exists(result):  # left by a failed warm attempt
            os.unlink(result)
        return self._recalculate_cold(soffice, source, out_folder, result, job)

    def _recalculate_cold(self, soffice: str, source: str, out_folder: str, result: str,
                          job: JobContext) -> str:
        profile = self._take_profile()
        healthy = False
        try:
            env = dict(os.environ)
            env["HOME"] = profile
            env.pop("DISPLAY", None)
            args = [
                soffice, "--headless", "--invisible", "--norestore", "--nolockcheck", "--nologo",
                "--nodefault", "--nofirststartwizard",
                "-env:UserInstallation=" + Path(profile).as_uri(),
                "--convert-to", _FILTER, "--outdir", out_folder, source,
            ]
            completed = job.run_process(args, env=env, cwd=out_folder)
            if not os.path.isfile(result) or os.path.getsize(result) == 0:
                detail = (completed.stderr or completed.stdout or b"").decode("utf-8", "replace").strip()
                detail = "; ".join(line for line in detail.splitlines() if "javaldx" not in line)
                raise EngineError(
                    f"LibreOffice did not produce the recalculated workbook (exit code "
                    f"{completed.returncode}{': ' + detail if detail else ''})"
                )
            healthy = True
            return result
        finally:
            self._give_back(profile, healthy)


_engine: LibreOfficeEngine | None = None
_engine_lock = threading.Lock()


@contextlib.contextmanager
def recalculated(job: JobContext, filename: str, prepare: Callable[[str, str], None]) -> Iterator[str]:
    """Has ``prepare(folder, source)`` write the workbook to recalculate at ``source`` (``folder``
    is the job's private work folder), recalculates it and yields the path of the result, which
    lives until the block ends."""
    engine = get_engine()
    with engine.work_folder() as folder:
        source = os.path.join(folder, "in", filename)
        os.makedirs(os.path.dirname(source))
        out_folder = os.path.join(folder, "out")
        os.makedirs(out_folder)
        prepare(folder, source)
        job.check()
        yield engine.recalculate(source, out_folder, job)


def get_engine() -> LibreOfficeEngine:
    global _engine
    with _engine_lock:
        if _engine is None:
            _engine = LibreOfficeEngine()
        return _engine
