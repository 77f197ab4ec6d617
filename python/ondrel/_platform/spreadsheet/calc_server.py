"""A warm LibreOffice Calc that runs spreadsheet jobs on the workbooks it keeps open.

Run by the system Python that has LibreOffice's ``uno`` module (Debian: python3-uno), not by
the SDK's interpreter, and so imports nothing of the SDK:

    python3 calc_server.py SOFFICE PROFILE_URL PIPE_NAME

It starts ``soffice`` headless with the given profile, connects to it and answers one JSON line
on stdout for each JSON request line read from stdin (see :mod:`.calc_jobs` for both). The jobs
run inside LibreOffice through its Python script provider when the profile holds the script
(Debian: libreoffice-script-provider-python), else from here over the bridge, the same code
either way. The first line it writes is {"ready": true, "in_office": bool}. When LibreOffice dies
it answers {"error": ..., "dead": true} and exits; at the end of its input it stops LibreOffice
and exits.
"""

import json
import subprocess
import sys
import time

import uno

import calc_jobs

_START_SECONDS = 60
_SCRIPT = "vnd.sun.star.script:ondrel_calc_jobs.py$run?language=Python&location=user"


def _connect(pipe, office):
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
    deadline = time.monotonic() + _START_SECONDS
    while True:
        try:
            return resolver.resolve(f"uno:pipe,name={pipe};urp;StarOffice.ComponentContext")
        except Exception:
            if office.poll() is not None:
                raise RuntimeError(f"LibreOffice exited with code {office.returncode} while starting")
            if time.monotonic() > deadline:
                raise RuntimeError("LibreOffice did not start in time")
            time.sleep(0.05)


def _in_office_runner(context):
    """The job script run inside LibreOffice, or None when it has no Python script provider."""
    try:
        factory = context.ServiceManager.createInstanceWithContext(
            "com.sun.star.script.provider.MasterScriptProviderFactory", context)
        invoke = factory.createScriptProvider("").getScript(_SCRIPT).invoke
    except Exception:
        return None
    return lambda line: invoke((line,), (), ())[0]  # looked up once: each UNO lookup keeps memory


def _alive(desktop):
    try:
        desktop.getFrames()
        return True
    except Exception:
        return False


def main():
    soffice, profile_url, pipe = sys.argv[1:4]
    office = subprocess.Popen(
        [soffice, "--headless", "--invisible", "--norestore", "--nolockcheck", "--nologo",
         "--nodefault", "--nofirststartwizard", "-env:UserInstallation=" + profile_url,
         f"--accept=pipe,name={pipe};urp;StarOffice.ComponentContext"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    out = sys.stdout
    desktop = None
    try:
        context = _connect(pipe, office)
        desktop = context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context)
        runner = _in_office_runner(context)
        in_office = runner is not None
        if not in_office:
            runner = lambda line: calc_jobs.run(line, desktop)  # noqa: E731
        out.write(json.dumps({"ready": True, "in_office": in_office}) + "\n")
        out.flush()
        for line in sys.stdin:
            try:
                reply = runner(line)
            except Exception as exc:
                reply = json.dumps({"error": f"{type(exc).__name__}: {exc}"})
            if '"error"' in reply and not _alive(desktop):
                out.write(json.dumps({"error": "LibreOffice died", "dead": True}) + "\n")
                out.flush()
                return
            out.write(reply + "\n")
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
