"""The main demonstration writes everything it makes into the folder it is given, and says why a design fails."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.skipif(shutil.which("soffice") is None, reason="the demonstration evaluates a workbook with LibreOffice")
def test_demo_writes_every_output_into_its_folder_and_names_the_failing_check(tmp_path):
    out, cwd = tmp_path / "OUT", tmp_path / "cwd"
    cwd.mkdir()
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py"), str(out)], cwd=cwd,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    made = sorted(path.name for path in out.iterdir())
    assert {"beam.xml", "section.svg", "results.json", "deflections.csv"} <= set(made)
    assert sum(name.endswith(".xlsx") for name in made) == 2
    assert list(cwd.iterdir()) == []
    for name in made:
        assert str((out / name).resolve()) in run.stdout
    assert "verdict  NOT OK: x/d = 0.494 > 0.45" in run.stdout


def test_demo_without_libreoffice_stops_with_the_advice_and_no_traceback(tmp_path):
    # Hides every LibreOffice from the finder, so the demo's spreadsheet step cannot start an engine.
    script = ("import sys; import ondrel._platform.spreadsheet.libreoffice as lo; lo.find_soffice = lambda: None; "
              "from ondrel.__main__ import main; main(['demo', sys.argv[1]])")
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 1
    assert "Traceback" not in run.stderr
    assert run.stderr.startswith("demo stopped: ") and "'soffice' was not found. Install it" in run.stderr
    assert (tmp_path / "beam.xml").is_file()
