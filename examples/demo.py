"""The main demonstration: what the SDK does on one machine, with no account.

1. Builds the header of an IDEA StatiCa RCS project and prints the dictionaries the writer uses.
2. Builds the beam of IDEA's own sample through OpenModel, writes the file RCS imports and section.svg.
3. Evaluates a reinforced-concrete beam workbook through the local spreadsheet add-on.
4. Runs a beam analysis script on the local analysis worker.

Every file it makes goes into the output folder (default: the current folder), and its absolute
path is printed.

    ./dev demo [output folder]          (or: python examples/demo.py [output folder])
"""

from __future__ import annotations

import datetime
import importlib.util
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent
sys.path.insert(0, str(EXAMPLES))


def section(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def project_header() -> None:
    from ondrel.external.idea_rcs import objects

    section("1. IDEA RCS project header")
    project = objects.ProjectData(
        name="Footbridge", number="2026-12", author="ondrel demo", date=datetime.date(2026, 12, 8),
        national_annex=objects.NationalAnnex.NO_ANNEX, design_working_life=100,
    )
    settings = objects.CodeSettings(theta=45, theta_min=21.8, theta_max=45,
                                    type_sls_calculation=objects.TypeSLSCalculation.BOTH)
    for name, obj in (("ProjectData", project), ("CodeSettings", settings)):
        print(f"{name}:")
        for key, value in obj._serialize().items():
            print(f"  {key:32} {value!r}")


def idea_beam(out: Path) -> None:
    section("2. IDEA RCS model of a beam, written as OpenModel XML")
    import idea_beam

    idea_beam.main(str(out / "beam.xml"))


def spreadsheet(out: Path) -> None:
    section("3. Spreadsheet evaluation on the local add-on (LibreOffice Calc)")
    import spreadsheet_demo

    spreadsheet_demo.main(out)


def analysis(out: Path) -> None:
    section("4. Analysis script on the local worker")
    import analysis_demo

    analysis_demo.main(out)


def main(argv: list[str]) -> None:
    out = (Path(argv[0]) if argv else Path.cwd()).resolve()
    out.mkdir(parents=True, exist_ok=True)
    project_header()
    if (EXAMPLES / "idea_beam.py").exists():
        idea_beam(out)
    if (EXAMPLES / "spreadsheet_demo.py").exists() and importlib.util.find_spec("ondrel.external.spreadsheet"):
        spreadsheet(out)
    analysis(out)


if __name__ == "__main__":
    from ondrel.errors import OndrelError

    try:
        main(sys.argv[1:])
    except OndrelError as error:  # a missing engine or a failed job: its message says what to do
        sys.exit(f"demo stopped: {error}")
