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
