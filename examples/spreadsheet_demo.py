"""Evaluate the reinforced-concrete beam workbook on the local spreadsheet add-on and print the results.

The workbook (``examples/beam_calculation.xlsx``, made by ``examples/make_workbook.py``) follows the
workbook convention: an "input" sheet of names and values, an "output" sheet of names and formulas.
Two designs are evaluated: the workbook's own 4 bars of 20 mm, and 5 bars of 25 mm for a larger moment.

    python examples/spreadsheet_demo.py
"""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path
from typing import Any

from ondrel.external.spreadsheet import SpreadsheetCalculation, SpreadsheetCalculationInput

WORKBOOK = Path(__file__).resolve().parent / "beam_calculation.xlsx"

DESIGNS = {
    "4 bars of 20 mm, M_Ed 180 kNm": {"As": 1257, "M_Ed": 180},
    "5 bars of 25 mm, M_Ed 320 kNm": {"As": 2454, "M_Ed": 320},
}
SHOWN = ["d", "x", "M_Rd", "utilisation", "As_min", "verdict"]


def evaluate(values: Mapping[str, float]) -> dict[str, Any]:
    inputs = [SpreadsheetCalculationInput(name, value) for name, value in values.items()]
    calculation = SpreadsheetCalculation.from_path(WORKBOOK, inputs)
    return calculation.evaluate().values


def main() -> None:
    print(f"Workbook {WORKBOOK.name}, evaluated by LibreOffice Calc on this machine")
    for title, values in DESIGNS.items():
        results = evaluate(values)
        print(f"  {title}:")
        print("    inputs   " + ", ".join(f"{k} = {v}" for k, v in values.items()))
        print("    results  " + ", ".join(f"{k} = {results[k]}" for k in SHOWN))
        print(f"             {results['section']}")


if __name__ == "__main__":
    main()
