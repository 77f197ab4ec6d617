"""Make examples/beam_calculation.xlsx: bending check of a rectangular reinforced-concrete beam.

The workbook follows the convention of the spreadsheet add-ons: a sheet "input" with a name
in column A and a value in column B on each row, and a sheet "output" with a result name in
column A and its formula in column B (columns C and D hold units and descriptions, which
the add-ons ignore; row 1 holds headers). Each input also has a workbook-wide defined name
("beam_b", "beam_h", ...), so the same file serves as a template for filling.

Method (EN 1992-1-1, rectangular stress block, fck <= 50 MPa, singly reinforced):
    d = h - a,  fcd = alpha_cc * fck / gamma_c,  fyd = fyk / gamma_s
    x = As * fyd / (0.8 * b * fcd),  z = d - 0.4 x,  M_Rd = As * fyd * z
    As,min = max(0.26 * fctm / fyk, 0.0013) * b * d,  fctm = 0.30 * fck^(2/3)

Run:  python examples/make_workbook.py [output path]
"""

import sys
from pathlib import Path

import openpyxl
from openpyxl.styles import Font
from openpyxl.workbook.defined_name import DefinedName

INPUTS = [
    # name, value, unit, description
    ("b", 300, "mm", "width of the beam"),
    ("h", 500, "mm", "overall depth of the beam"),
    ("a", 50, "mm", "distance from the tension face to the centre of the bars"),
    ("fck", 30, "MPa", "characteristic cylinder strength of the concrete"),
    ("fyk", 500, "MPa", "characteristic yield strength of the reinforcement"),
    ("As", 1257, "mm2", "area of the tension reinforcement (4 bars of 20 mm)"),
    ("M_Ed", 180, "kNm", "design bending moment"),
    ("alpha_cc", 1.0, "-", "coefficient for long-term effects on the concrete strength"),
    ("gamma_c", 1.5, "-", "partial factor of the concrete"),
    ("gamma_s", 1.15, "-", "partial factor of the reinforcement"),
]


def build() -> openpyxl.Workbook:
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "input"
    sheet.append(["Parameter", "Value", "Unit", "Description"])
    ref = {}
    for row, (name, value, unit, description) in enumerate(INPUTS, start=2):
        sheet.append([name, value, unit, description])
        ref[name] = f"input!$B${row}"
        book.defined_names[f"beam_{name}"] = DefinedName(f"beam_{name}", attr_text=ref[name])

    out = book.create_sheet("output")
    out.append(["Result", "Value", "Unit", "Description"])
    rows = {}

    def result(name, formula, unit, description):
        rows[name] = f"$B${out.max_row + 1}"
        out.append([name, formula.format(**ref, **rows), unit, description])

    result("d", "={h}-{a}", "mm", "effective depth")
    result("fcd", "={alpha_cc}*{fck}/{gamma_c}", "MPa", "design compressive strength of the concrete")
    result("fyd", "={fyk}/{gamma_s}", "MPa", "design yield strength of the reinforcement")
    result("x", "={As}*{fyd}/(0.8*{b}*{fcd})", "mm", "depth of the neutral axis")
    result("x_over_d", "=ROUND({x}/{d},3)", "-", "relative depth of the neutral axis (ductility limit 0.45)")
    result("z", "={d}-0.4*{x}", "mm", "lever arm")
    result("M_Rd", "=ROUND({As}*{fyd}*{z}/1000000,1)", "kNm", "design bending resistance")
    result("utilisation", "=ROUND({M_Ed}/{M_Rd},3)", "-", "M_Ed / M_Rd")
    result("fctm", "=0.3*{fck}^(2/3)", "MPa", "mean tensile strength of the concrete")
    result("As_min", "=ROUND(MAX(0.26*{fctm}/{fyk},0.0013)*{b}*{d},0)", "mm2", "minimum reinforcement")
    result("verdict", '=IF(AND({utilisation}<=1,{As}>={As_min},{x_over_d}<=0.45),"OK","NOT OK")', "-",
           "bending check")
    result("section", '="b x h = "&{b}&" x "&{h}&" mm, fck = "&{fck}&" MPa"', "-", "summary of the section")

    for ws in (sheet, out):
        for cell in ws[1]:
            cell.font = Font(bold=True)
        ws.column_dimensions["A"].width = 14
        ws.column_dimensions["B"].width = 12
        ws.column_dimensions["D"].width = 60
    return book


def main() -> None:
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("beam_calculation.xlsx")
    build().save(target)
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
