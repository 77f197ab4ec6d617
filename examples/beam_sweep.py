"""Parametric sweep of the beam workbook: 360 designs of width, depth and bars, evaluated as one batch.

Every design (width b, overall depth h, a number of bars of one diameter) goes through the bending
check of ``examples/beam_calculation.xlsx`` for the same design moment. The results are written to
``beam_sweep.csv`` and, when matplotlib is installed (``pip install 'ondrel[plot]'``), to a chart of
utilisation against steel area, ``beam_sweep.png``, both in the output folder.

The designs run through ``ondrel.batch.map``: on this machine, or on a Dask cluster when
``ONDREL_CLUSTER`` names one (see docs/cluster.md), with nothing changed in the script.

    python examples/beam_sweep.py [output folder] [--first N]
"""

from __future__ import annotations

import argparse
import csv
import itertools
import math
import time
from pathlib import Path
from typing import Any

import ondrel.batch
import ondrel.cluster
from ondrel.external.spreadsheet import SpreadsheetCalculation, SpreadsheetCalculationInput

WORKBOOK = Path(__file__).resolve().parent / "beam_calculation.xlsx"

M_ED = 220  # kNm, the design moment every design is checked for
WIDTHS = [250, 300, 350, 400]  # mm
DEPTHS = [400, 450, 500, 550, 600, 650]  # mm
BARS = [(count, diameter) for diameter in (16, 20, 25) for count in (2, 3, 4, 5, 6)]  # (number, mm)
COVER_TO_LINK, LINK = 25, 10  # mm: the bars' centre lies at cover + link + half a bar from the face

COLUMNS = ["b", "h", "bars", "diameter", "As", "d", "M_Rd", "utilisation", "x_over_d", "As_min", "verdict"]


def designs() -> list[dict[str, Any]]:
    """Every combination of width, depth and bars, with the steel area and the bars' distance from the face."""
    return [
        {"b": b, "h": h, "bars": count, "diameter": diameter,
         "As": round(count * math.pi * diameter ** 2 / 4), "a": COVER_TO_LINK + LINK + diameter / 2}
        for b, h, (count, diameter) in itertools.product(WIDTHS, DEPTHS, BARS)
    ]


def check(design: dict[str, Any]) -> dict[str, Any]:
    """The workbook's bending check of one design."""
    inputs = [SpreadsheetCalculationInput(name, design[name]) for name in ("b", "h", "a", "As")]
    inputs.append(SpreadsheetCalculationInput("M_Ed", M_ED))
    results = SpreadsheetCalculation.from_path(WORKBOOK, inputs).evaluate().values
    return {**design, **{name: results[name] for name in ("d", "M_Rd", "utilisation", "x_over_d", "As_min",
                                                          "verdict")}}


def write_csv(rows: list[dict[str, Any]], path: Path) -> None:
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.DictWriter(out, fieldnames=COLUMNS, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows)


def write_chart(rows: list[dict[str, Any]], path: Path) -> bool:
    """Utilisation against steel area, one colour per depth; False when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    figure, axes = plt.subplots(figsize=(8, 5), layout="constrained")
    for h in DEPTHS:
        chosen = [row for row in rows if row["h"] == h]
        axes.scatter([row["As"] for row in chosen], [row["utilisation"] for row in chosen], s=14, label=f"h = {h} mm")
    axes.axhline(1.0, color="black", linewidth=1, linestyle="--")
    axes.set(xlabel="steel area As [mm²]", ylabel="utilisation M_Ed / M_Rd [-]",
             title=f"Bending check of {len(rows)} beam designs, M_Ed = {M_ED} kNm")
    axes.legend(title="overall depth", fontsize="small")
    figure.savefig(path, dpi=120)
    plt.close(figure)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?", type=Path, default=Path("."), help="output folder (default: here)")
    parser.add_argument("--first", type=int, help="check only the first N designs")
    arguments = parser.parse_args()
    out = arguments.out.resolve()
    out.mkdir(parents=True, exist_ok=True)

    chosen = designs()[:arguments.first]
    where = ondrel.cluster.address() or "this machine"
    print(f"Checking {len(chosen)} beam designs with {WORKBOOK.name} on {where}")
    started = time.monotonic()
    rows = ondrel.batch.map(check, chosen)
    print(f"  done in {time.monotonic() - started:.1f} s")

    write_csv(rows, out / "beam_sweep.csv")
    print(f"  results  {out / 'beam_sweep.csv'}")
    if write_chart(rows, out / "beam_sweep.png"):
        print(f"  chart    {out / 'beam_sweep.png'}")
    else:
        print("  no chart: matplotlib is not installed (pip install 'ondrel[plot]')")
    passing = [row for row in rows if row["verdict"] == "OK"]
    if passing:
        lightest = min(passing, key=lambda row: (row["b"] * row["h"], row["As"]))
        print(f"  {len(passing)} of {len(rows)} designs pass; the smallest section that passes: "
              f"b x h = {lightest['b']} x {lightest['h']} mm with {lightest['bars']} bars of {lightest['diameter']} mm "
              f"(utilisation {lightest['utilisation']})")
    else:
        print(f"  none of the {len(rows)} designs passes")


if __name__ == "__main__":
    main()
