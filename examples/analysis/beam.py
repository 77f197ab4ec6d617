"""Simply supported beam under a uniform load: maximum moment, reaction and deflections.

Run it in a folder holding ``beam.json``; it blocks until done and writes ``results.json``
and ``deflections.csv`` there. Input keys (units in the names of the results):

    span    length between the supports, m
    load    uniform load, kN/m
    E       modulus of elasticity, MPa (N/mm^2)
    I       second moment of area, mm^4
    points  number of equal segments of the deflection table (optional, default 10)
"""

import csv
import json
import sys


def analyse(span: float, load: float, e_mpa: float, i_mm4: float, points: int = 10) -> dict:
    """Euler-Bernoulli results for a simply supported span under a uniform load."""
    w = load * 1e3  # N/m
    stiffness = e_mpa * 1e6 * i_mm4 * 1e-12  # N m^2
    deflections = []
    for i in range(points + 1):
        x = span * i / points
        v = w * x * (span**3 - 2 * span * x**2 + x**3) / (24 * stiffness)
        deflections.append((x, v * 1e3))
    return {
        "reaction_kN": load * span / 2,
        "max_moment_kNm": load * span**2 / 8,
        "max_deflection_mm": 5 * w * span**4 / (384 * stiffness) * 1e3,
        "deflection_ratio": f"L/{span / (5 * w * span**4 / (384 * stiffness)):.0f}",
        "deflections_mm": deflections,
    }


def main() -> int:
    with open("beam.json", encoding="utf-8") as stream:
        beam = json.load(stream)
    try:
        span, load, e_mpa, i_mm4 = (float(beam[key]) for key in ("span", "load", "E", "I"))
        points = int(beam.get("points", 10))
    except (KeyError, TypeError, ValueError) as exc:
        print(f"beam.json: need numbers span, load, E and I ({exc})", file=sys.stderr)
        return 2
    if min(span, e_mpa, i_mm4) <= 0 or points < 1:
        print("beam.json: span, E, I and points must be positive", file=sys.stderr)
        return 2
    results = analyse(span, load, e_mpa, i_mm4, points)
    table = results.pop("deflections_mm")
    with open("results.json", "w", encoding="utf-8") as stream:
        json.dump(results, stream, indent=2)
    with open("deflections.csv", "w", encoding="utf-8", newline="") as stream:
        writer = csv.writer(stream)
        writer.writerow(["x_m", "deflection_mm"])
        writer.writerows((f"{x:.3f}", f"{v:.3f}") for x, v in table)
    print(f"max moment {results['max_moment_kNm']:.2f} kNm, "
          f"max deflection {results['max_deflection_mm']:.2f} mm")
    return 0


if __name__ == "__main__":
    sys.exit(main())
