"""Recalculation with LibreOffice Calc run headless.

Each conversion runs ``soffice --convert-to xlsx`` with a profile folder of its own: profiles
are kept in a pool inside a private temporary folder, one job at a time per profile, and
reused by later jobs (a fresh profile costs about a tenth of a second more). Every profile
sets ``OOXMLRecalcMode`` to "always", so every formula is recalculated on load even when the
file carries stale cached values. LibreOffice exits with 0 even when it fails, so the output
file is checked.
"""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile
import threading
from pathlib import Path

from ondrel.errors import AddonError

from ..jobs import JobCancelled, JobContext

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


class LibreOfficeEngine:
    """Recalculates .xlsx files; thread-safe, one profile per running conversion."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._folder: str | None = None
        self._idle_profiles: list[str] = []

    def _ensure_folder(self) -> str:
        with self._lock:
            if self._folder is None or not os.path.isdir(self._folder):
                self._folder = tempfile.mkdtemp(prefix="ondrel-calc-")
                atexit.register(shutil.rmtree, self._folder, True)
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
        os.makedirs(os.path.join(profile, "user"))
        Path(profile, "user", "registrymodifications.xcu").write_text(_PROFILE_SETTINGS, encoding="utf-8")
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
            result = os.path.join(out_folder, Path(source).stem + ".xlsx")
            if not os.path.isfile(result) or os.path.getsize(result) == 0:
                detail = (completed.stderr or completed.stdout or b"").decode("utf-8", "replace").strip()
                detail = "; ".join(line for line in detail.splitlines() if "javaldx" not in line)
                raise EngineError(
                    f"LibreOffice did not produce the recalculated workbook (exit code "
                    f"{completed.returncode}{': ' + detail if detail else ''})"
                )
            healthy = True
            return result
        except JobCancelled:
            raise
        finally:
            self._give_back(profile, healthy)


_engine: LibreOfficeEngine | None = None
_engine_lock = threading.Lock()


def get_engine() -> LibreOfficeEngine:
    global _engine
    with _engine_lock:
        if _engine is None:
            _engine = LibreOfficeEngine()
        return _engine
