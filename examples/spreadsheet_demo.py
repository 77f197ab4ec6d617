"""Evaluate the reinforced-concrete beam workbook on the local spreadsheet add-on and print the results.

The workbook (``examples/beam_calculation.xlsx``, made by ``examples/make_workbook.py``) follows the
workbook convention: an "input" sheet of names and values, an "output" sheet of names and formulas.
Two designs are evaluated: the workbook's own 4 bars of 20 mm, and 5 bars of 25 mm for a larger moment.
The verdict is shown with the checks that decide it; each filled workbook is written to the output folder.

    python examples/spreadsheet_demo.py [output folder]
"""

from __future__ import annotations

import re
import sys
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from ondrel.external.spreadsheet import SpreadsheetCalculation, SpreadsheetCalculationInput

WORKBOOK = Path(__file__).resolve().parent / "beam_calculation.xlsx"

DESIGNS = {
    "4 bars of 20 mm, M_Ed 180 kNm": {"As": 1257, "M_Ed": 180},
    "5 bars of 25 mm, M_Ed 320 kNm": {"As": 2454, "M_Ed": 320},
}
SHOWN = ["d", "x", "M_Rd", "As_min"]
DUCTILITY_LIMIT = 0.45  # the x/d limit the workbook's verdict uses


def evaluate(values: Mapping[str, float], filled: Path | None = None) -> dict[str, Any]:
    """The workbook's results for ``values``; the filled workbook is written to ``filled`` when given."""
    inputs = [SpreadsheetCalculationInput(name, value) for name, value in values.items()]
    calculation = SpreadsheetCalculation.from_path(WORKBOOK, inputs)
    result = calculation.evaluate(include_filled_file=filled is not None)
    if filled is not None:
        filled.write_bytes(result.file_content)
    return result.values


def checks(values: Mapping[str, float], results: Mapping[str, Any]) -> list[tuple[str, bool]]:
    """The three checks behind the workbook's verdict, each as its text and whether it holds."""
    utilisation, x_over_d = results["utilisation"], results["x_over_d"]
    area, minimum = values.get("As", 1257), results["As_min"]
    return [
        (f"M_Ed/M_Rd = {utilisation:.3f} {'<=' if utilisation <= 1 else '>'} 1", utilisation <= 1),
        (f"As = {area} {'>=' if area >= minimum else '<'} As_min = {minimum} mm2", area >= minimum),
        (f"x/d = {x_over_d:.3f} {'<=' if x_over_d <= DUCTILITY_LIMIT else '>'} {DUCTILITY_LIMIT} (ductility)",
         x_over_d <= DUCTILITY_LIMIT),
    ]


def main(out: Path | None = None) -> None:
    print(f"Workbook {WORKBOOK.name}, evaluated by LibreOffice Calc on this machine")
    for title, values in DESIGNS.items():
        filled = None
        if out is not None:
            filled = out.resolve() / f"beam_calculation_{re.sub(r'[^0-9A-Za-z]+', '_', title).strip('_')}.xlsx"
        results = evaluate(values, filled)
        print(f"  {title}:")
        print("    inputs   " + ", ".join(f"{k} = {v}" for k, v in values.items()))
        print("    results  " + ", ".join(f"{k} = {results[k]}" for k in SHOWN))
        print(f"             {results['section']}")
        failed = [text for text, holds in checks(values, results) if not holds]
        print(f"    verdict  {results['verdict']}: " + ("; ".join(failed) if failed else
                                                         "; ".join(text for text, _ in checks(values, results))))
        if filled is not None:
            print(f"    filled workbook {filled}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else None)
