"""Spreadsheet engines: LibreOffice Calc run headless, behind one small interface.

A :class:`WorkbookJob` names a workbook (its bytes and their hash), the cells to write, the
cells to read and whether the filled, recalculated file is wanted; an engine runs it and gives
an :class:`Outcome`. Two engines give the same answers:

- Warm (:class:`WarmEngine`): a LibreOffice kept running with a private profile, driven by a
  small helper (:mod:`.calc_server`) under the system Python that has ``uno`` (Debian package
  ``python3-uno``); the jobs themselves run inside LibreOffice (:mod:`.calc_jobs`, Debian package
  ``libreoffice-script-provider-python``). It keeps recently used workbooks open by hash, so a
  job on a kept workbook writes, recalculates and reads cells with no file written or parsed,
  and puts the cells it wrote back afterwards. Engines are pooled per process
  (:class:`EnginePool`, one per core by default); a job takes a free one or waits for one. An
  engine that dies in any way is started again by the next job, and the interrupted job is run
  again once.
- Cold (:class:`ColdEngine`): the values written with openpyxl, then one ``soffice --convert-to
  xlsx`` run per job (about 1 s) with a pooled profile folder of its own, and the values read
  back with openpyxl, each step in a workbook worker (:mod:`.workers`). Used where the warm
  engine cannot run, and for a job the warm engine fails on (a workbook it cannot load, say),
  which then ends with the cold path's answer or message.

Every profile sets ``OOXMLRecalcMode`` to "always", so every formula is recalculated on load
even when the file carries stale cached values. LibreOffice exits with 0 even when it fails,
so the output file is checked.
"""

from __future__ import annotations

import atexit
import collections
import decimal
import json
import logging
import math
import os
import secrets
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from openpyxl.utils.cell import get_column_letter
from openpyxl.utils.datetime import CALENDAR_MAC_1904

from ondrel.errors import AddonError

from ..jobs import JobContext, JobError, close_process
from ..storage import private_folder
from . import workbook as wb
from . import workers

INSTALL_HINT = (
    "LibreOffice Calc is needed to recalculate spreadsheets on this machine but its command "
    "'soffice' was not found. Install it, for example on Debian or Ubuntu with "
    "'apt-get install --no-install-recommends libreoffice-calc-nogui' (or run ./dev, which "
    "installs it), then try again."
)

# Engines in the pool (default: one per core), and what each keeps open: at most this many
# workbooks, of at most this many megabytes of .xlsx files together.
ENGINES_VARIABLE = "ONDREL_SPREADSHEET_ENGINES"
KEEP_WORKBOOKS_VARIABLE = "ONDREL_SPREADSHEET_KEEP_WORKBOOKS"
KEEP_MEGABYTES_VARIABLE = "ONDREL_SPREADSHEET_KEEP_MB"
KEEP_WORKBOOKS = 8
KEEP_MEGABYTES = 64

_FILTER = "xlsx:Calc MS Excel 2007 XML"

# 0 = always recalculate on load (LibreOffice ships 1 = never).
_PROFILE_SETTINGS = """<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="OOXMLRecalcMode" oor:op="fuse"><value>0</value></prop></item>
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="ODFRecalcMode" oor:op="fuse"><value>0</value></prop></item>
</oor:items>
"""

# Whether the warm engines may be used (tests turn it off to exercise the cold path).
USE_WARM_PROCESS = True

_HERE = os.path.dirname(os.path.abspath(__file__))
_HELPER = os.path.join(_HERE, "calc_server.py")
_JOBS_SCRIPT = os.path.join(_HERE, "calc_jobs.py")
_SYSTEM_PYTHONS = ("/usr/bin/python3", "/usr/local/bin/python3")
_WAIT_SLICE = 0.2  # how often a job waiting for an engine looks whether it was stopped
_GONE_SECONDS = 10.0  # how long a stopped engine's processes may take to be gone


_log = logging.getLogger(__name__)


class EngineError(AddonError):
    """LibreOffice is missing or failed."""


class _EngineDied(Exception):
    """The warm engine died during a job."""


Address = tuple[str, int, int]  # sheet title, row, column (both from 1)


@dataclass(frozen=True)
class WorkbookJob:
    """What a job asks of an engine. ``writes`` are ``(sheet, row, column, value)`` with checked
    values, applied in order; ``reads`` are addresses whose recalculated values are wanted."""

    data: bytes
    digest: str
    writes: tuple[tuple[str, int, int, Any], ...]
    reads: tuple[Address, ...]
    export: bool
    filename: str = "workbook.xlsx"


@dataclass(frozen=True)
class Outcome:
    """The values read (as :func:`.workbook.result_value` gives them), the positions of those
    that are error values (such as #DIV/0!), and the exported file."""

    values: list[Any]
    errors: frozenset[int]
    file: bytes | None


_soffice: list[str] = []  # the command found last, checked again at each use


def find_soffice() -> str | None:
    """The path of LibreOffice's ``soffice`` command, or None."""
    if _soffice and os.access(_soffice[0], os.X_OK):
        return _soffice[0]
    _soffice.clear()
    found = shutil.which("soffice") or shutil.which("libreoffice")
    if not found:
        found = next((candidate for candidate in ("/usr/lib/libreoffice/program/soffice",
                                                  "/opt/libreoffice/program/soffice",
                                                  "/Applications/LibreOffice.app/Contents/MacOS/soffice")
                      if os.access(candidate, os.X_OK)), None)
    if found:
        _soffice.append(found)
    return found


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


def _kill_group(process: subprocess.Popen) -> None:
    """Kill the process group ``process`` leads, even when ``process`` itself is gone: the
    LibreOffice it started would live on and take over the next start with its profile."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


# ---- the cold engine ---------------------------------------------------------------------------


class ColdEngine:
    """One ``soffice --convert-to`` run per job; thread-safe, one profile per running conversion."""

    def __init__(self, folder: str) -> None:
        self._folder = folder
        self._lock = threading.Lock()
        self._idle_profiles: list[str] = []

    def run(self, work: WorkbookJob, job: JobContext) -> Outcome:
        soffice = find_soffice()
        if soffice is None:
            raise EngineError(INSTALL_HINT)
        with tempfile.TemporaryDirectory(prefix="job-", dir=self._folder) as folder:
            upload = os.path.join(folder, "upload.xlsx")
            Path(upload).write_bytes(work.data)
            source = os.path.join(folder, "in", work.filename)
            os.makedirs(os.path.dirname(source))
            out_folder = os.path.join(folder, "out")
            os.makedirs(out_folder)
            formulas = workers.call(job, "engine.prepare", upload, source, work.writes, work.reads, work.export)
            os.unlink(upload)
            job.check()
            result = self._convert(soffice, source, out_folder, job)
            values, errors = [], []
            if work.reads:
                values, errors = workers.call(job, "engine.results", result, work.reads, formulas)
            return Outcome(values, frozenset(errors), _exported(result, work, job, converted=True) if work.export else None)

    def _take_profile(self) -> str:
        with self._lock:
            if self._idle_profiles:
                return self._idle_profiles.pop()
        profile = tempfile.mkdtemp(prefix="profile-", dir=self._folder)
        _write_profile(profile)
        return profile

    def _give_back(self, profile: str, healthy: bool) -> None:
        if healthy:
            with self._lock:
                if os.path.isdir(profile):
                    self._idle_profiles.append(profile)
                    return
        shutil.rmtree(profile, ignore_errors=True)

    def _convert(self, soffice: str, source: str, out_folder: str, job: JobContext) -> str:
        result = os.path.join(out_folder, Path(source).stem + ".xlsx")
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


def prepare(upload: str, source: str, writes: list, reads: list, export: bool) -> list[bool]:
    """In a workbook worker: write the values into the uploaded workbook and save it at
    ``source`` for recalculation; answer whether each cell to read holds a formula. A workbook
    to ``export`` with parts openpyxl would drop is refused."""
    book, lost = wb.load_to_save(upload, "SpreadsheetError")
    if export and lost:
        raise JobError("SpreadsheetError", f"The workbook holds {' and '.join(lost)} that the filled workbook would "
                                           f"lose: the spreadsheet engine used here, for want of LibreOffice's Python "
                                           f"bridge, writes the cells with openpyxl, which does not keep them. Install "
                                           f"the bridge (Debian, Ubuntu: apt-get install python3-uno) or remove them "
                                           f"from the workbook")
    for title, row, column, value in writes:
        where = f"{title}!{get_column_letter(column)}{row}"
        try:
            wb.write(book[title].cell(row=row, column=column), value, where)
        except wb.CellValueError as exc:
            raise JobError("SpreadsheetError", f"Cannot write {where}: {exc}") from None
    formulas = [book[title].cell(row=row, column=column).data_type == "f" for title, row, column in reads]
    wb.force_full_calculation(book)
    wb.save(book, source)
    return formulas


def results(path: str, reads: list, formulas: list) -> tuple[list, list]:
    """In a workbook worker: the values of the cells to read from the recalculated workbook at
    ``path``, and the positions of those that are error values."""
    book = wb.load_values(path)
    try:
        cells = [book[title].cell(row=row, column=column) for title, row, column in reads]
        date1904 = book.epoch == CALENDAR_MAC_1904
        return ([wb.result_value(cell, formula, date1904) for cell, formula in zip(cells, formulas)],
                [i for i, cell in enumerate(cells) if wb.is_error_value(cell)])
    finally:
        book.close()


def _exported(path: str, work: WorkbookJob, job: JobContext, *, converted: bool) -> bytes:
    """The filled workbook an engine exported to ``path``, every input in it as the job wrote it:
    LibreOffice saves 15 significant digits, so a longer number is written in again, and a
    ``converted`` workbook (the cold engine's) holds its booleans as formulas, which go."""
    changed = wb.values_saved_changed(work.writes, booleans=converted)
    if changed:
        workers.call(job, "engine.exact_values", path, changed, "SpreadsheetError")
    return Path(path).read_bytes()


# ---- the warm engine ---------------------------------------------------------------------------


def _cell_value(raw: list | None, date1904: bool) -> Any:
    """A cell as the warm engine read it, as the cold engine reads it from the saved file."""
    if raw is None:
        return None
    kind, value = raw[0], raw[1]
    if kind == "s":
        return value or None  # a formula's empty text is saved as no value
    if kind != "n":
        return value
    # A saved workbook keeps 15 significant digits, more where 15 would round past the largest
    # double, and writes a whole number below 1e17 without an exponent, which reads as an int.
    text = next((text for digits in (15, 16, 17) if math.isfinite(float(text := f"{value:.{digits}g}"))), repr(value))
    number = float(text)
    whole = number.is_integer() and abs(number) < 1e17
    return wb.number_result(int(decimal.Decimal(text)) if whole else number, raw[2], date1904)


class WarmEngine:
    """One LibreOffice with a private profile, the workbooks it keeps open, and its helper."""

    # Whether the jobs run inside LibreOffice (else over the bridge, as where LibreOffice has
    # no Python script provider; the same code, about five times slower per evaluation).
    run_in_office = True

    def __init__(self, python: str, soffice: str, folder: str) -> None:
        self._python = python
        self._soffice = soffice
        self._folder = tempfile.mkdtemp(prefix="engine-", dir=folder)
        self._profile = os.path.join(self._folder, "profile")
        self._process: subprocess.Popen | None = None
        self._requests = 0
        self.kept: frozenset[str] = frozenset()
        self.starts = 0
        self.in_office = False

    @property
    def process(self) -> subprocess.Popen | None:
        return self._process

    def _start(self, job: JobContext) -> subprocess.Popen:
        if not os.path.isdir(os.path.join(self._profile, "user")):
            _write_profile(self._profile)
        scripts = os.path.join(self._profile, "user", "Scripts", "python")
        if self.run_in_office:
            os.makedirs(scripts, exist_ok=True)
            shutil.copyfile(_JOBS_SCRIPT, os.path.join(scripts, "ondrel_calc_jobs.py"))
        else:
            shutil.rmtree(scripts, ignore_errors=True)
        pipe = f"ondrel_calc_{os.getpid()}_{secrets.token_hex(6)}"
        started = time.monotonic()
        _log.debug("starting LibreOffice for a spreadsheet engine in %s", self._folder)
        with open(os.path.join(self._folder, "calc.log"), "ab") as log:
            process = subprocess.Popen(
                [self._python, _HELPER, self._soffice, Path(self._profile).as_uri(), pipe],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log, env=_clean_env(self._profile),
                cwd=self._profile, start_new_session=True, text=True, encoding="utf-8",
            )
        self.starts += 1
        self.kept = frozenset()
        job.watch_process(process)
        try:
            ready = process.stdout.readline()
        finally:
            job.unwatch_process(process)
        try:
            answer = json.loads(ready)
        except ValueError:
            answer = None
        if not isinstance(answer, dict) or answer.get("ready") is not True:
            self._dispose(process)
            job.check()
            _log.warning("LibreOffice did not start for a spreadsheet engine (log: %s)",
                         os.path.join(self._folder, "calc.log"))
            raise _EngineDied("LibreOffice did not start")
        self.in_office = answer.get("in_office") is True
        self._process = process
        _log.info("spreadsheet engine %s in %.1f s (LibreOffice pid %d, jobs run %s)",
                  "started" if self.starts == 1 else f"restarted ({self.starts} starts)",
                  time.monotonic() - started, process.pid,
                  "inside LibreOffice" if self.in_office else "over the bridge")
        return process

    def run(self, work: WorkbookJob, job: JobContext, keep: tuple[int, int]) -> Outcome | None:
        """Run ``work``, keeping at most ``keep`` (workbooks, bytes) open; None when LibreOffice
        fails on the workbook (it cannot load it)."""
        process = self._process
        if process is None or process.poll() is not None:
            self.stop()
            process = self._start(job)
        self._requests += 1
        source = os.path.join(self._folder, f"source-{self._requests}.xlsx")
        target = os.path.join(self._folder, f"filled-{self._requests}.xlsx") if work.export else None
        request = {"digest": work.digest, "size": len(work.data), "keep": keep, "source": None,
                   "writes": work.writes, "reads": work.reads, "export": target}
        try:
            if work.digest not in self.kept:
                Path(source).write_bytes(work.data)
                request["source"] = source
            reply = self._ask(process, request, job)
            if reply.get("missing"):
                Path(source).write_bytes(work.data)
                request["source"] = source
                reply = self._ask(process, request, job)
            if "error" in reply:  # the cold engine gives the answer, or says what is wrong
                return None
            self.kept = frozenset(reply["kept"])
            date1904 = reply["date1904"] is True
            values = [_cell_value(raw, date1904) for raw in reply["values"]]
            errors = frozenset(i for i, raw in enumerate(reply["values"]) if raw is not None and raw[0] == "e")
            return Outcome(values, errors, _exported(target, work, job, converted=False) if target else None)
        finally:
            for path in (source, target):
                if path is not None and os.path.exists(path):
                    os.unlink(path)

    def _ask(self, process: subprocess.Popen, request: dict, job: JobContext) -> dict:
        job.watch_process(process)
        try:
            process.stdin.write(json.dumps(request) + "\n")
            process.stdin.flush()
            line = process.stdout.readline()
        except OSError:
            line = ""
        finally:
            job.unwatch_process(process)
        try:
            reply = json.loads(line) if line else None
        except ValueError:
            reply = None
        if not isinstance(reply, dict) or reply.get("dead"):
            self.stop()
            job.check()
            raise _EngineDied("LibreOffice died during the job")
        return reply

    def stop(self) -> None:
        """Stop the helper and its LibreOffice (the next job starts them again)."""
        process, self._process = self._process, None
        self.kept = frozenset()
        if process is None:
            return
        if process.poll() is None:
            try:
                process.stdin.close()
                process.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                pass
        self._dispose(process)

    def kill(self) -> None:
        process = self._process
        if process is not None:
            _kill_group(process)

    def remove(self) -> None:
        self.stop()
        shutil.rmtree(self._folder, ignore_errors=True)

    @staticmethod
    def _dispose(process: subprocess.Popen) -> None:
        _kill_group(process)
        close_process(process)
        deadline = time.monotonic() + _GONE_SECONDS
        while time.monotonic() < deadline:
            try:
                os.killpg(process.pid, 0)
            except (ProcessLookupError, PermissionError):
                return
            time.sleep(0.02)


# ---- the pool ----------------------------------------------------------------------------------


def _setting(variable: str, default: int) -> int:
    text = os.environ.get(variable)
    if text is None or not text.strip():
        return default
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise EngineError(f"{variable} must be a whole number of at least 1, not {text!r}")
    return value


class EnginePool:
    """The warm engines of this process, started as jobs need them, and the cold engine."""

    def __init__(self, size: int | None = None, keep_workbooks: int | None = None,
                 keep_megabytes: int | None = None) -> None:
        self.size = size or _setting(ENGINES_VARIABLE, os.cpu_count() or 1)
        keep_workbooks = keep_workbooks or _setting(KEEP_WORKBOOKS_VARIABLE, KEEP_WORKBOOKS)
        keep_megabytes = keep_megabytes or _setting(KEEP_MEGABYTES_VARIABLE, KEEP_MEGABYTES)
        self.keep = (keep_workbooks, keep_megabytes * 1024 * 1024)
        self.folder = private_folder("ondrel-calc-")
        self.cold = ColdEngine(self.folder)
        self._ready = threading.Condition()
        self.engines: list[WarmEngine] = []
        self._idle: collections.deque[WarmEngine] = collections.deque()  # least recently used first
        self._closed = False

    def run(self, work: WorkbookJob, job: JobContext) -> Outcome:
        """Run ``work`` on a warm engine (waiting for a free one), else on the cold engine."""
        soffice = find_soffice()
        if soffice is None:
            raise EngineError(INSTALL_HINT)
        python = find_uno_python() if USE_WARM_PROCESS else None
        if python is not None:
            engine = self._take(work.digest, python, soffice, job)
            try:
                for attempt in range(2):
                    try:
                        outcome = engine.run(work, job, self.keep)
                    except _EngineDied:
                        job.check()
                        continue  # started again by the next attempt or job
                    if outcome is not None:
                        return outcome
                    break
            finally:
                self._give_back(engine)
            job.check()
        return self.cold.run(work, job)

    def _take(self, digest: str, python: str, soffice: str, job: JobContext) -> WarmEngine:
        with self._ready:
            while True:
                job.check()
                if self._closed:
                    raise EngineError("The spreadsheet engines have been stopped")
                if self._idle:
                    engine = next((e for e in reversed(self._idle) if digest in e.kept), self._idle[-1])
                    self._idle.remove(engine)
                    return engine
                if len(self.engines) < self.size:
                    engine = WarmEngine(python, soffice, self.folder)
                    self.engines.append(engine)
                    return engine
                self._ready.wait(_WAIT_SLICE)

    def _give_back(self, engine: WarmEngine) -> None:
        with self._ready:
            if self._closed:
                engine.remove()
                return
            self._idle.append(engine)
            self._ready.notify()

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stop every engine and remove their folders (engines still busy are killed)."""
        with self._ready:
            self._closed = True
            idle, busy = list(self._idle), [e for e in self.engines if e not in self._idle]
            self._idle.clear()
            self._ready.notify_all()
        for engine in busy:  # at exit, a stopped job may never give its engine back
            engine.kill()
        for engine in idle:
            engine.remove()
        shutil.rmtree(self.folder, ignore_errors=True)


_pool: EnginePool | None = None
_pool_lock = threading.Lock()


def get_pool() -> EnginePool:
    """The engine pool of this process, made on first use and after it was closed."""
    global _pool
    with _pool_lock:
        if _pool is None or _pool.closed:
            _pool = EnginePool()
        return _pool


def configure(engines: int | None = None, keep_workbooks: int | None = None,
              keep_megabytes: int | None = None) -> None:
    """Stop the engines and use these settings from the next job on (None: the default, or the
    environment variable's value)."""
    global _pool
    for name, value in (("engines", engines), ("keep_workbooks", keep_workbooks),
                        ("keep_megabytes", keep_megabytes)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
            raise ValueError(f"{name} must be a whole number of at least 1, not {value!r}")
    with _pool_lock:
        previous, _pool = _pool, EnginePool(engines, keep_workbooks, keep_megabytes)
    if previous is not None:
        previous.close()


def run(work: WorkbookJob, job: JobContext) -> Outcome:
    """Run a workbook job on this process's engines."""
    return get_pool().run(work, job)


def in_worker(job: JobContext, function: str, data: bytes) -> Any:
    """Call a workbook worker's ``function`` with the path of a file holding ``data``."""
    with tempfile.TemporaryDirectory(prefix="job-", dir=get_pool().folder) as folder:
        upload = os.path.join(folder, "upload.xlsx")
        Path(upload).write_bytes(data)
        return workers.call(job, function, upload)


@atexit.register
def _shutdown() -> None:
    with _pool_lock:
        pool = _pool
    if pool is not None:
        pool.close()
