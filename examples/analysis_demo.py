"""Run a beam analysis script on the local analysis worker and print its results.

The script (``examples/analysis/beam.py``) is sent with its input ``beam.json``; the worker
runs it in a private folder and hands back ``results.json`` and ``deflections.csv``. The
girdex integration (``ondrel.external.girdex``) is used when it is installed; the generic
Python runner otherwise.

    python examples/analysis_demo.py [output folder]      (the outputs are saved there when given)
"""

from __future__ import annotations

import csv
import io
import json
import sys
from pathlib import Path
from typing import Any

from ondrel.core import File

from ondrel.external.python import PythonAnalysis

Analysis: type[PythonAnalysis]
try:
    from ondrel.external.girdex import GirdexAnalysis

    Analysis = GirdexAnalysis
except ImportError:
    Analysis = PythonAnalysis

SCRIPT = Path(__file__).resolve().parent / "analysis" / "beam.py"

# An IPE 300 in S235 steel over 6 m carrying 12 kN/m.
BEAM = {"span": 6.0, "load": 12.0, "E": 210000.0, "I": 8356e4, "points": 6}


OUTPUTS = ["results.json", "deflections.csv"]


def run_beam_analysis(
    beam: dict[str, float] = BEAM, timeout: float = 60, out: Path | None = None
) -> tuple[dict[str, Any], list[tuple[float, float]]]:
    """Run the beam script on the worker; return its results and its deflection table.

    With ``out``, the script's outputs are also written into that folder.
    """
    analysis = Analysis(
        script=File.from_path(SCRIPT),
        files=[("beam.json", File.from_data(json.dumps(beam)))],
        output_filenames=OUTPUTS,
    )
    analysis.execute(timeout=timeout)
    if out is not None:
        for name in OUTPUTS:
            (out / name).write_bytes(analysis.get_output_file(name).getvalue_binary())
    results = json.loads(analysis.get_output_file("results.json").getvalue())
    rows = csv.reader(io.StringIO(analysis.get_output_file("deflections.csv").getvalue()))
    next(rows)
    table = [(float(x), float(v)) for x, v in rows]
    return results, table


def main(out: Path | None = None) -> None:
    print(f"Beam analysis on the local worker ({Analysis.__module__}.{Analysis.__name__})")
    print(f"  span {BEAM['span']} m, load {BEAM['load']} kN/m, E {BEAM['E']:.0f} MPa, "
          f"I {BEAM['I']:.4g} mm^4")
    results, table = run_beam_analysis(out=out)
    print(f"  reaction        {results['reaction_kN']:8.2f} kN")
    print(f"  max moment      {results['max_moment_kNm']:8.2f} kNm")
    print(f"  max deflection  {results['max_deflection_mm']:8.2f} mm "
          f"({results['deflection_ratio']})")
    print("      x [m]   deflection [mm]")
    for x, v in table:
        print(f"  {x:9.3f}   {v:9.3f}")
    if out is not None:
        for name in OUTPUTS:
            print(f"  wrote {(out / name).resolve()}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else None)
