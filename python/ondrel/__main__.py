"""``python -m ondrel``: what this installation has, and the demonstration.

    python -m ondrel info           versions, LibreOffice and its bridge, the worker, where jobs run, temporary files
    python -m ondrel demo [FOLDER]  run the main demonstration, writing its files into FOLDER
"""

from __future__ import annotations

import argparse
import os
import platform
import runpy
import subprocess
import sys
import tempfile
from importlib import metadata
from pathlib import Path

import ondrel

EXAMPLES = Path(__file__).resolve().parent / "examples"
_NAME_WIDTH = 27  # the facts' names in one column; their values begin after it


def _version(distribution: str) -> str:
    try:
        return metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return "not installed"


def _libreoffice() -> list[tuple[str, str]]:
    from ondrel._platform.spreadsheet.libreoffice import find_soffice, find_uno_python

    soffice = find_soffice()
    if soffice is None:
        return [("LibreOffice", "not found: spreadsheet jobs fail until it is installed "
                                "(apt-get install --no-install-recommends libreoffice-calc-nogui)")]
    try:
        with tempfile.TemporaryDirectory(prefix="ondrel-info-") as home:
            answer = subprocess.run([soffice, "--version"], capture_output=True, text=True, timeout=60,
                                    env={**os.environ, "HOME": home}, stdin=subprocess.DEVNULL)
        version = answer.stdout.strip().splitlines()[0] if answer.stdout.strip() else "version unknown"
    except (OSError, subprocess.SubprocessError):
        version = "version unknown"
    bridge = find_uno_python()
    return [
        ("LibreOffice", f"{soffice} ({version})"),
        ("its UNO bridge", f"found, through {bridge}: jobs run on warm engines" if bridge else
                           "not found: every job starts LibreOffice anew (apt-get install python3-uno)"),
    ]


def _worker() -> list[tuple[str, str]]:
    from ondrel.errors import ExecutionError
    from ondrel.external.python._config import CONFIG_ENV_VAR, load_worker_config

    try:
        config = load_worker_config()
    except ExecutionError as exc:
        return [("analysis worker", f"configuration error: {exc}")]
    rows = [("analysis worker", config.describe()), ("  scripts run by", config.python)]
    if config.source is not None:
        rows.append(("  only configured scripts", str(config.only_configured_scripts)))
        rows.append(("  configured scripts", ", ".join(sorted(config.scripts)) or "none"))
    rows.append(("  job folders in", str(config.jobs_folder or tempfile.gettempdir())))
    if config.source is None:
        rows.append(("  configure with", f"${CONFIG_ENV_VAR}=path/to/worker.toml (docs/analysis.md)"))
    return rows


def _cluster() -> str:
    import ondrel.cluster

    address = ondrel.cluster.address()
    if address is None:
        return f"this machine (${ondrel.cluster.ENV_VAR}=tcp://host:8786 sends them to a Dask cluster, docs/cluster.md)"
    return f"the Dask cluster at {address}"


def info() -> str:
    """The facts ``python -m ondrel info`` prints, one per line."""
    rows = [
        ("ondrel", f"{ondrel.__version__} ({Path(ondrel.__file__).parent})"),
        ("Python", f"{platform.python_version()} ({sys.executable})"),
        ("platform", f"{platform.system()} {platform.machine()}, {os.cpu_count()} cores"),
        ("openpyxl", _version("openpyxl")),
        *_libreoffice(),
        *_worker(),
        ("jobs run on", _cluster()),
        ("temporary files", f"{tempfile.gettempdir()} (set TMPDIR to move them)"),
    ]
    return "\n".join(f"{name:<{_NAME_WIDTH}}{value}" for name, value in rows)


def demo(folder: str | None) -> None:
    """Run the main demonstration shipped with the package."""
    script = EXAMPLES / "demo.py"
    if not script.is_file():
        raise SystemExit(f"ondrel: the demonstration is not installed with this package ({script} is missing)")
    sys.argv = [str(script), *([folder] if folder else [])]
    runpy.run_path(str(script), run_name="__main__")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m ondrel", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("info", help="versions, LibreOffice and its bridge, the worker, where jobs run, temporary files")
    run_demo = commands.add_parser("demo", help="run the main demonstration")
    run_demo.add_argument("folder", nargs="?", help="where the demonstration writes its files (default: here)")
    args = parser.parse_args(argv)
    if args.command == "info":
        print(info())
    else:
        demo(args.folder)


if __name__ == "__main__":
    main()
