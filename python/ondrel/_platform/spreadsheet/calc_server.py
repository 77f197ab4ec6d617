"""A warm LibreOffice Calc kept for recalculating workbooks, one job after another.

Run by the system Python that has LibreOffice's ``uno`` module (Debian: python3-uno), not by
the SDK's interpreter, and so imports nothing of the SDK:

    python3 calc_server.py SOFFICE PROFILE_URL PIPE_NAME

It starts ``soffice`` headless, connects to it and answers one JSON line on stdout for each
JSON request line {"source": path, "target": path} read from stdin: {"ok": true} once the
source has been loaded (macros never run, links never updated), recalculated and stored as
.xlsx at the target, or {"error": text}. The first line it writes is {"ready": true}. It
stops LibreOffice and exits at the end of its input.
"""

import json
import subprocess
import sys
import time

import uno
from com.sun.star.beans import PropertyValue

_FILTER = "Calc MS Excel 2007 XML"
_START_SECONDS = 60


def _props(**values):
    result = []
    for name, value in values.items():
        prop = PropertyValue()
        prop.Name = name
        prop.Value = value
        result.append(prop)
    return tuple(result)


def _connect(pipe, office):
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
    deadline = time.monotonic() + _START_SECONDS
    while True:
        try:
            context = resolver.resolve(f"uno:pipe,name={pipe};urp;StarOffice.ComponentContext")
            return context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context)
        except Exception:
            if office.poll() is not None:
                raise RuntimeError(f"LibreOffice exited with code {office.returncode} while starting")
            if time.monotonic() > deadline:
                raise RuntimeError("LibreOffice did not start in time")
            time.sleep(0.05)


def _recalculate(desktop, source, target):
    document = desktop.loadComponentFromURL(
        uno.systemPathToFileUrl(source), "_blank", 0,
        _props(Hidden=True, MacroExecutionMode=0, UpdateDocMode=0),
    )
    if document is None:
        raise RuntimeError("LibreOffice could not load the workbook")
    try:
        document.calculateAll()
        document.storeToURL(uno.systemPathToFileUrl(target), _props(FilterName=_FILTER, Overwrite=True))
    finally:
        document.close(True)


def main():
    soffice, profile_url, pipe = sys.argv[1:4]
    office = subprocess.Popen(
        [soffice, "--headless", "--invisible", "--norestore", "--nolockcheck", "--nologo",
         "--nodefault", "--nofirststartwizard", "-env:UserInstallation=" + profile_url,
         f"--accept=pipe,name={pipe};urp;StarOffice.ComponentContext"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    out = sys.stdout
    try:
        desktop = _connect(pipe, office)
        out.write(json.dumps({"ready": True}) + "\n")
        out.flush()
        for line in sys.stdin:
            try:
                request = json.loads(line)
                _recalculate(desktop, request["source"], request["target"])
                reply = {"ok": True}
            except Exception as exc:  # reported to the caller, which decides
                reply = {"error": f"{type(exc).__name__}: {exc}"}
            out.write(json.dumps(reply) + "\n")
            out.flush()
        try:
            desktop.terminate()
        except Exception:
            pass
    finally:
        try:
            office.wait(timeout=10)
        except subprocess.TimeoutExpired:
            office.kill()
            office.wait()


if __name__ == "__main__":
    main()
