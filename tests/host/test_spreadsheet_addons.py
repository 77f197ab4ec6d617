"""The evaluate and fill add-ons on real workbooks, recalculated by LibreOffice Calc."""

import datetime
import io
import math
import os
import signal
import threading
import zipfile

import openpyxl
import pytest
from openpyxl.cell.rich_text import CellRichText, TextBlock
from openpyxl.cell.text import InlineFont
from openpyxl.styles import Font
from openpyxl.workbook.defined_name import DefinedName

from ondrel._platform.jobs import JobError
from ondrel._platform.spreadsheet import libreoffice
from ondrel._platform.spreadsheet import workbook as wb
from ondrel.api_v1 import API
from ondrel.core import File, _post_on_addon_endpoint
from ondrel.errors import AddonError, AddonTimeoutError, SpreadsheetError, StorageError

needs_soffice = pytest.mark.skipif(
    libreoffice.find_soffice() is None,
    reason="LibreOffice Calc ('soffice') is not installed: apt-get install libreoffice-calc-nogui",
)
needs_warm = pytest.mark.skipif(
    libreoffice.find_soffice() is None or libreoffice.find_uno_python() is None,
    reason="the warm LibreOffice needs 'soffice' and the system Python's uno module (apt-get install python3-uno)",
)
EVALUATE = "evaluatespreadsheet/v3/jobs/"
FILL = "fillspreadsheet/v2/jobs/"


class Templater(Exception):
    pass


class Invalid(Exception):
    pass


class WrongType(Exception):
    pass


FILL_ERRORS = {"TypeError": WrongType, "InvalidInputError": Invalid, "SpreadsheetTemplaterError": Templater}


@pytest.fixture(params=["warm", "cold"])
def engine(request, monkeypatch):
    """Run the test with the warm LibreOffice and with one soffice run per job."""
    if request.param == "warm" and libreoffice.find_uno_python() is None:
        pytest.skip("the warm LibreOffice needs the system Python's uno module (apt-get install python3-uno)")
    monkeypatch.setattr(libreoffice, "USE_WARM_PROCESS", request.param == "warm")
    return request.param


def _bytes(book):
    with io.BytesIO() as out:
        book.save(out)
        return out.getvalue()


def calculation_book(header=True):
    book = openpyxl.Workbook()
    inputs = book.active
    inputs.title = "input"
    rows = [("width", 0.3), ("height", 0.5), ("label", "B1"), ("grade", "C30/37"), ("load", 12.0)]
    first = 2 if header else 1
    cell = {name: f"input!B{first + i}" for i, (name, _) in enumerate(rows)}
    for row in ([("Parameter", "Value")] if header else []) + rows:
        inputs.append(row)
    table = book.create_sheet("table")
    for grade, fck in [("C25/30", 25), ("C30/37", 30), ("C35/45", 35)]:
        table.append([grade, fck])
    outputs = book.create_sheet("output")
    if header:
        outputs.append(["Result", "Value"])
    for row in [
        ("area", f"={cell['width']}*{cell['height']}"),
        ("class", f'=IF({cell['load']}>10,"heavy","light")'),
        ("total", "=SUM(table!B1:B3)"),
        ("fck", f"=VLOOKUP({cell['grade']},table!A1:B3,2,FALSE)"),
        ("root", f"=SQRT({cell['load']}*12)"),
        ("title", f'={cell['label']}&" / "&{cell['grade']}'),
        ("broken", f"=1/({cell['width']}-{cell['width']})"),
        ("empty", None),
        ("day", datetime.date(2024, 5, 17)),
    ]:
        outputs.append(row)
    return book


def _job(path, body_extra, data, mapping, timeout=60):
    api = API()
    with io.BytesIO(data) as stream:
        url = api._upload_temporary_file(stream)
    upload_url, fields, download_url = api._generate_temporary_file_urls()
    body = {"download_url": url, "result_upload_url": upload_url, "result_upload_fields": fields,
            "result_download_url": download_url, **body_extra}
    answer = _post_on_addon_endpoint(path, body, timeout=timeout, error_mapping=mapping)
    return answer, url, download_url


def evaluate(data, inputs, include_filled_file=False, timeout=60):
    return _job(EVALUATE, {"input": inputs, "include_filled_file": include_filled_file}, data,
                {"SpreadsheetEvaluatorError": SpreadsheetError}, timeout)


def fill(data, named=None, direct=(), ranges=()):
    return _job(FILL, {"named_cells": named or {}, "direct_cells": list(direct), "cell_ranges": list(ranges)},
                data, FILL_ERRORS)


@needs_soffice
@pytest.mark.parametrize("header", [True, False])
def test_evaluate_recalculates_every_formula_with_the_inputs(header, engine):
    answer, _, _ = evaluate(_bytes(calculation_book(header)), {"width": 0.4, "load": 3, "grade": "C35/45"})
    assert list(answer["output"]) == ["area", "class", "total", "fck", "root", "title", "broken", "empty", "day"]
    assert answer["output"] == {
        "area": pytest.approx(0.2), "class": "light", "total": 90, "fck": 35, "root": 6,
        "title": "B1 / C35/45", "broken": "#DIV/0!", "empty": None, "day": "2024-05-17",
    }


@needs_soffice
def test_evaluate_uploads_the_filled_file_and_removes_the_upload_it_read():
    original = _bytes(calculation_book())
    answer, url, download_url = evaluate(original, {"width": 2, "label": "=not a formula"}, include_filled_file=True)
    assert answer["output"]["area"] == 1 and answer["output"]["title"] == "=not a formula / C30/37"
    with pytest.raises(StorageError, match="No file is stored"):  # the job's upload ended with it
        File.from_url(url).getvalue_binary()
    filled = File.from_url(download_url).getvalue_binary()
    formulas = openpyxl.load_workbook(io.BytesIO(filled))
    values = openpyxl.load_workbook(io.BytesIO(filled), data_only=True)
    assert formulas["output"]["B2"].value == "=input!B2*input!B3" and values["output"]["B2"].value == 1
    assert formulas["input"]["B4"].data_type == "s" and values["input"]["B2"].value == 2


def _without_sheet(title):
    book = calculation_book()
    del book[title]
    return _bytes(book)


def with_chart_sheet(title):
    """The calculation workbook whose sheet ``title`` is a chart sheet of the table's grades."""
    from openpyxl.chart import BarChart, Reference

    book = calculation_book()
    index = book.sheetnames.index(title) if title in book.sheetnames else len(book.sheetnames)
    if title in book.sheetnames:
        del book[title]
    chart = BarChart()
    chart.add_data(Reference(book["table"], min_col=2, min_row=1, max_row=3))
    book.create_chartsheet(title, index).add_chart(chart)
    return _bytes(book)


def _with_duplicate(title):
    book = calculation_book()
    book[title].append(["width" if title == "input" else "area", 1])
    return _bytes(book)


@needs_soffice
@pytest.mark.parametrize("data, inputs, message", [
    (b"not a workbook", {}, "not a readable .xlsx workbook"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504), {}, "it is an .xls workbook, or an .xlsx one protected by a "
                                                        "password to open it; save it as .xlsx with no password"),
    (b"PK\x03\x04 broken zip", {}, "not a readable .xlsx workbook"),
    (_without_sheet("input"), {}, "no worksheet named 'input'"),
    (_without_sheet("output"), {}, "no worksheet named 'output'"),
    (with_chart_sheet("input"), {}, "The workbook's sheet 'input' is a chart sheet, which holds no cells"),
    (_bytes(calculation_book()), {"depth": 1}, "input 'depth' is not on the 'input' sheet"),
    (_with_duplicate("input"), {}, "'input' sheet has the name 'width' twice \\(rows 2 and 7\\)"),
    (_with_duplicate("output"), {}, "'output' sheet has the name 'area' twice"),
    (_bytes(calculation_book()), {"width": [1, 2]}, "input 'width' cannot be used: a value of type list"),
    (_bytes(calculation_book()), {"width": float("nan")}, "not a finite number"),
])
def test_evaluate_reports_bad_input_as_an_evaluator_error(data, inputs, message):
    with pytest.raises(SpreadsheetError, match=message):
        evaluate(data, inputs)


def template_book():
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Beam"
    sheet["A1"] = "Span"
    sheet["A1"].font = Font(bold=True)
    sheet["B1"] = 4.0
    sheet["C1"] = "=B1*2"
    sheet["E5"] = "=SUM(A3:C4)"
    sheet["B7"] = "unchanged"
    sheet.merge_cells("D7:E8")
    sheet["A10"] = CellRichText(["stress ", TextBlock(InlineFont(b=True), "f_yd"), " limit"])
    book.defined_names["span"] = DefinedName("span", attr_text="Beam!$B$1")
    book.defined_names["note"] = DefinedName("note", attr_text="Beam!$B$2")
    book.defined_names["area"] = DefinedName("area", attr_text="Beam!$A$3:$C$4")
    return book


@needs_soffice
def test_fill_places_every_kind_of_cell_keeps_the_template_and_recalculates(engine):
    answer, _, download_url = fill(
        _bytes(template_book()),
        named={"span": {"value": 6.5}, "note": {"value": "=B1"}},
        direct=[{"sheet_name": "Beam", "row": 9, "column": "b", "value": True}],
        ranges=[{"top_left_cell": {"column": "A", "row": 3, "sheet_name": "Beam"}, "data": [[1, 2, 3], [4, 5, 6]]}],
    )
    assert answer == {"result_download_url": download_url}
    filled = File.from_url(download_url).getvalue_binary()
    formulas = openpyxl.load_workbook(io.BytesIO(filled))
    values = openpyxl.load_workbook(io.BytesIO(filled), data_only=True)["Beam"]
    sheet = formulas["Beam"]
    assert (sheet["C1"].value, values["C1"].value, values["E5"].value) == ("=B1*2", 13, 21)
    assert (values["B1"].value, values["B2"].value, values["B9"].value, values["B7"].value) == (
        6.5, "=B1", True, "unchanged")
    assert sheet["A1"].font.bold and {"span", "note", "area"} <= set(formulas.defined_names)
    runs = openpyxl.load_workbook(io.BytesIO(filled), rich_text=True)["Beam"]["A10"].value
    assert [(str(run), getattr(run, "font", None) and run.font.b) for run in runs] == [
        ("stress ", False), ("f_yd", True), (" limit", False)]


@needs_soffice
@pytest.mark.parametrize("named, direct, ranges, error, message", [
    ({"depth": {"value": 1}}, [], [], Templater, "no defined name 'depth' \\(its names: 'area', 'note', 'span'\\)"),
    ({"area": {"value": 1}}, [], [], Templater, "'area' does not refer to one cell"),
    ({}, [{"sheet_name": "Column", "row": 1, "column": "A", "value": 1}], [], Templater, "no sheet named 'Column'"),
    ({}, [{"sheet_name": "Beam", "row": 1, "column": "A1", "value": 1}], [], Invalid, "Invalid column 'A1'"),
    ({}, [{"sheet_name": "Beam", "row": 1, "column": "XFE", "value": 1}], [], Invalid, "Invalid column 'XFE'"),
    ({}, [{"sheet_name": "Beam", "row": 0, "column": "A", "value": 1}], [], Invalid, "Invalid row 0"),
    ({}, [{"sheet_name": "Beam", "row": "2", "column": "A", "value": 1}], [], Invalid, "Invalid row '2'"),
    ({}, [{"sheet_name": "Beam", "row": 8, "column": "E", "value": 1}], [], Invalid, "Beam!E8 lies inside a merged"),
    ({"span": {"value": [1]}}, [], [], WrongType, "the named cell 'span': a value of type list"),
    ({}, [{"sheet_name": "Beam", "row": 1, "column": "A", "value": {"a": 1}}], [], WrongType, "type dict"),
    ({}, [], [{"top_left_cell": {"column": "A", "row": 0, "sheet_name": "Beam"}, "data": [[1]]}], Invalid,
     "Invalid row 0 for cell range 1"),
    ({}, [], [{"top_left_cell": {"column": "A", "row": 1, "sheet_name": "Beam"}, "data": [[1, 2], [3]]}], Invalid,
     "must be rectangular"),
    ({}, [], [{"top_left_cell": {"column": "A", "row": 1, "sheet_name": "Beam"}, "data": [[1, object()]]}],
     WrongType, "Beam!B1 of cell range 1: a value of type object"),
])
def test_fill_reports_each_bad_input_under_its_error_name(named, direct, ranges, error, message):
    with pytest.raises(error, match=message):
        fill(_bytes(template_book()), named, direct, ranges)


@needs_soffice
def test_concurrent_jobs_each_get_their_own_answer():
    data = _bytes(calculation_book())
    answers = {}

    def run(width):
        answers[width] = evaluate(data, {"width": width, "height": 1})[0]["output"]["area"]

    threads = [threading.Thread(target=run, args=(w,)) for w in (1, 2, 3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert answers == {1: 1, 2: 2, 3: 3}


@needs_soffice
def test_a_libreoffice_run_past_the_timeout_is_stopped_and_the_next_job_works(monkeypatch):
    monkeypatch.setattr(libreoffice, "USE_WARM_PROCESS", False)
    data = _bytes(calculation_book())
    with pytest.raises(AddonTimeoutError, match="did not finish within 0.2 seconds"):
        evaluate(data, {}, timeout=0.2)
    assert evaluate(data, {"width": 1, "height": 3})[0]["output"]["area"] == 3


@needs_warm
def test_a_warm_libreoffice_that_died_is_started_again():
    libreoffice.configure(engines=1)
    try:
        data = _bytes(calculation_book())
        evaluate(data, {})
        engine = libreoffice.get_pool().engines[0]
        dead = engine.process
        os.killpg(dead.pid, signal.SIGKILL)
        dead.wait()
        assert evaluate(data, {"width": 2, "height": 2})[0]["output"]["area"] == 4
        assert engine.process is not dead and engine.process.poll() is None
    finally:
        libreoffice.configure()


def test_without_libreoffice_the_job_says_how_to_install_it(monkeypatch):
    monkeypatch.setattr(libreoffice, "find_soffice", lambda: None)
    with pytest.raises(AddonError, match="apt-get install --no-install-recommends libreoffice-calc-nogui"):
        evaluate(_bytes(calculation_book()), {})


# Values: nothing lost, nothing changed --------------------------------------------------------

def echo_book(names, *, extra_outputs=()):
    """Inputs in rows 1.. of 'input'; each comes back as '<name>_back', then the extra outputs."""
    book = openpyxl.Workbook()
    inputs = book.active
    inputs.title = "input"
    outputs = book.create_sheet("output")
    for row, name in enumerate(names, 1):
        inputs.append([name, 0])
        outputs.append([f"{name}_back", f"=input!B{row}"])
    for row in extra_outputs:
        outputs.append(list(row))
    return _bytes(book)


TEXTS = {
    "error_like": "#N/A", "division": "#DIV/0!", "formula_like": "=1+1", "lines": "a\nb\n\nc",
    "escape_like": "_x0041_ and _x000D_ stay", "tab": "\tindented", "longest": "x" * 32_767,
    "longest_escape_like": "_x0041_" * 4_681,
}


@needs_soffice
def test_evaluate_gives_back_every_text_exactly_and_as_text(engine):
    data = echo_book(TEXTS, extra_outputs=[("is_text", "=AND(ISTEXT(input!B1),ISTEXT(input!B2))"),
                                           ("lines_length", "=LEN(input!B4)")])
    output = evaluate(data, TEXTS)[0]["output"]
    assert output == {**{f"{name}_back": text for name, text in TEXTS.items()},
                      "is_text": True, "lines_length": len(TEXTS["lines"])}


@needs_soffice
def test_fill_keeps_every_text_exactly_and_as_text():
    direct = [{"sheet_name": "Beam", "column": "F", "row": row, "value": text}
              for row, text in enumerate(TEXTS.values(), 1)]
    _, _, download_url = fill(_bytes(template_book()), direct=direct,
                              named={"note": {"value": "#VALUE!"}})
    filled = File.from_url(download_url).getvalue_binary()
    values = openpyxl.load_workbook(io.BytesIO(filled), data_only=True)["Beam"]
    assert [values.cell(row=row, column=6).value for row in range(1, len(TEXTS) + 1)] == list(TEXTS.values())
    assert [values.cell(row=row, column=6).data_type for row in range(1, len(TEXTS) + 1)] == ["s"] * len(TEXTS)
    assert (values["B2"].value, values["B2"].data_type) == ("#VALUE!", "s")


REFUSED_TEXTS = [
    ("a\ufffeb", "U\\+FFFE at position 1"), ("\uffff", "U\\+FFFF at position 0"),
    ("lone \ud800", "U\\+D800 at position 5"), ("bell\x07", "U\\+0007"), ("\x00", "U\\+0000"),
    ("\x1b[0m", "U\\+001B"), ("a\r\nb", "carriage return \\(U\\+000D\\) at position 1"),
    ("x" * 32_768, "32,768 characters long; a spreadsheet cell holds at most 32,767"),
    ("\U0001f600" * 16_384, "32,768 characters long"),
    ("", "is empty, and a spreadsheet cell holds no empty text \\(LibreOffice leaves the cell blank\\); give None"),
]


@pytest.mark.parametrize("text, message", REFUSED_TEXTS)
def test_text_a_cell_cannot_carry_is_refused_naming_the_input_or_cell(text, message):
    with pytest.raises(SpreadsheetError, match=f"The input 'b' cannot be used: the text .*{message}"):
        evaluate(echo_book(["a", "b", "c"]), {"a": 1, "b": text, "c": 2})
    with pytest.raises(Invalid, match=f"Cannot fill cell Beam!F2: the text .*{message}"):
        fill(_bytes(template_book()), direct=[{"sheet_name": "Beam", "column": "F", "row": 2, "value": text}])
    with pytest.raises(Invalid, match=f"Cannot fill cell Beam!D2 of cell range 1: the text .*{message}"):
        fill(_bytes(template_book()),
             ranges=[{"top_left_cell": {"column": "C", "row": 1, "sheet_name": "Beam"}, "data": [[1, 2], [3, text]]}])


@needs_soffice
def test_a_sweep_over_numpy_numbers_gives_each_its_own_answer(engine):
    numpy = pytest.importorskip("numpy")
    from fractions import Fraction

    from ondrel.external.spreadsheet import SpreadsheetCalculation, SpreadsheetCalculationInput

    data = echo_book(["x", "y"], extra_outputs=[("sum", "=input!B1+input!B2")])
    answers = []
    for x, y in [*zip(numpy.arange(3), numpy.linspace(0.5, 1.5, 3)),
                 (numpy.float32(1.25), numpy.bool_(True)), (Fraction(1, 4), numpy.uint8(255))]:
        inputs = [SpreadsheetCalculationInput("x", x), SpreadsheetCalculationInput("y", y)]
        answers.append(SpreadsheetCalculation(File.from_data(data), inputs).evaluate().values)
    assert answers == [
        {"x_back": 0, "y_back": 0.5, "sum": 0.5}, {"x_back": 1, "y_back": 1, "sum": 2},
        {"x_back": 2, "y_back": 1.5, "sum": 3.5},
        {"x_back": 1.25, "y_back": True, "sum": 2.25},
        {"x_back": 0.25, "y_back": 255, "sum": 255.25},
    ]


@pytest.mark.parametrize("value, message", [
    (10**400, "too large for a spreadsheet cell"),
    (-(10**400), "too large for a spreadsheet cell"),
    (2**53 + 1, "9007199254740993 has more digits than a spreadsheet number keeps"),
    (__import__("fractions").Fraction(1, 3), "Fraction\\(1, 3\\) has no exact value as a spreadsheet number"),
    (__import__("decimal").Decimal("0.5"), "a value of type Decimal"),
    (1.7976931348623157e308, "1.7976931348623157e\\+308 is too large for a spreadsheet cell, whose numbers reach "
                             "±1.7976931348623153e\\+308 \\(LibreOffice reads a larger one as infinity\\)"),
    (-1.7976931348623155e308, "-1.7976931348623155e\\+308 is too large"),
    pytest.param(int(1.7976931348623157e308), "17976931348623157\\d+\\.\\.\\. is too large for a spreadsheet cell",
                 id="whole-double-max"),
])
def test_a_number_a_cell_cannot_hold_exactly_is_refused_naming_the_input(value, message):
    with pytest.raises(SpreadsheetError, match=f"The input 'b' cannot be used: .*{message}"):
        evaluate(echo_book(["a", "b"]), {"a": 1, "b": value})


@needs_soffice
def test_numbers_at_the_limits_come_back_as_a_saved_workbook_keeps_them(engine):
    data = echo_book(["largest", "smallest", "negative_zero", "whole", "widest_whole"],
                     extra_outputs=[("double_max", "=2^1023*(2-2^-52)"), ("lowest", "=-(2^1023*(2-2^-52))")])
    inputs = {"largest": 1.7976931348623153e308, "smallest": -5e-324, "negative_zero": -0.0, "whole": 2.0**53,
              "widest_whole": -9.9999999999999e16}
    output = evaluate(data, inputs)[0]["output"]
    assert output == {  # 15 significant digits, more where 15 would overflow
        "largest_back": 1.797693134862315e308, "smallest_back": -5e-324, "negative_zero_back": 0,
        "whole_back": 9007199254740990, "widest_whole_back": -99999999999999000,
        "double_max": 1.7976931348623157e308, "lowest": -1.7976931348623157e308}
    # whole numbers below 1e17 are saved without an exponent, and read as whole numbers
    assert [type(output[name]) for name in ("negative_zero_back", "whole_back", "widest_whole_back")] == [int] * 3


# Numbers LibreOffice would save with 15 significant digits (or without a zero's sign), and two it saves as they are.
EXACT_NUMBERS = [2**53 - 1, 0.1 + 0.2, 1 / 3, -1e-310, 123.0, 2.2250738585072014e-308, -0.0, 1e16 + 2]


def held(cells):
    """What each cell holds, with its kind and the sign of its value (a zero has one too)."""
    return [(cell.value, cell.data_type, math.copysign(1, cell.value)) for cell in cells]


def exactly(numbers):
    return [(number, "n", math.copysign(1, number)) for number in numbers]


@needs_soffice
def test_a_filled_template_holds_every_number_written_exactly(engine):
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Beam & loads"
    sheet["C1"] = f"=SUM(A1:A{len(EXACT_NUMBERS)})"
    book.create_sheet("Other")["C2"] = "=B2*3"
    book.defined_names["first"] = DefinedName("first", attr_text="'Beam & loads'!$A$1")
    book.defined_names["note"] = DefinedName("note", attr_text="'Beam & loads'!$A$9")
    # the named cells are written first: the range's number and text take their place
    _, _, download_url = fill(
        _bytes(book), named={"first": {"value": 1 / 3}, "note": {"value": 0.1 + 0.2}},
        direct=[{"sheet_name": "Other", "column": "B", "row": 2, "value": 0.1 + 0.2}],
        ranges=[{"top_left_cell": {"column": "A", "row": 1, "sheet_name": "Beam & loads"},
                 "data": [[number] for number in EXACT_NUMBERS] + [["text"]]}])
    filled = openpyxl.load_workbook(io.BytesIO(File.from_url(download_url).getvalue_binary()))
    sheet = filled["Beam & loads"]
    assert held([sheet.cell(row=row, column=1) for row in range(1, len(EXACT_NUMBERS) + 1)]) == exactly(EXACT_NUMBERS)
    assert held([filled["Other"]["B2"]]) == exactly([0.1 + 0.2])
    assert (sheet["A9"].value, sheet["C1"].value, filled["Other"]["C2"].value) == (
        "text", f"=SUM(A1:A{len(EXACT_NUMBERS)})", "=B2*3")


@needs_soffice
def test_the_filled_file_of_an_evaluation_holds_every_input_exactly(engine):
    names = [f"x{i}" for i in range(len(EXACT_NUMBERS))]
    data = echo_book(names + ["flag"], extra_outputs=[("sum", f"=SUM(input!B1:B{len(names)})")])
    answer, _, download_url = evaluate(data, {**dict(zip(names, EXACT_NUMBERS)), "flag": True},
                                       include_filled_file=True)
    assert answer["output"]["x1_back"] == 0.3  # results keep 15 significant digits
    filled = openpyxl.load_workbook(io.BytesIO(File.from_url(download_url).getvalue_binary()))
    assert held([filled["input"].cell(row=row, column=2) for row in range(1, len(names) + 1)]) == exactly(EXACT_NUMBERS)
    assert filled["output"].cell(row=len(names) + 2, column=2).value == f"=SUM(input!B1:B{len(names)})"
    assert filled["input"].cell(row=len(names) + 1, column=2).value is True  # a value, not a formula
    values = openpyxl.load_workbook(io.BytesIO(File.from_url(download_url).getvalue_binary()), data_only=True)
    assert values["input"].cell(row=len(names) + 1, column=2).value is True


ROUNDED_CELL = b'<c r="B2" t="n"><v>0.3</v></c>'
IGNORABLE = (b'<worksheet xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006" '
             b'xmlns:x14ac="http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac" mc:Ignorable="x14ac" ')


def saved_rounded(tmp_path, edit=lambda xml: xml):
    """A filled workbook holding 0.1 + 0.2 in Data!B2 as LibreOffice saves it ("0.3"), the XML of
    the sheet changed by ``edit``; and its parts, in order."""
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Data"
    sheet["B2"], sheet["C2"], sheet["D2"] = 0.3, "=B2", "text"
    book.create_sheet("Notes")["A1"] = 0.3
    path = tmp_path / "filled.xlsx"
    with zipfile.ZipFile(io.BytesIO(_bytes(book))) as source, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as target:
        for part in source.infolist():
            content = source.read(part)
            if part.filename == "xl/worksheets/sheet1.xml":
                assert ROUNDED_CELL in content and content.startswith(b"<worksheet ")
                content = edit(content.replace(b"<worksheet ", IGNORABLE, 1))
            target.writestr(part, content)
    return str(path)


def parts(path):
    with zipfile.ZipFile(path) as archive:
        return [(part.filename, archive.read(part)) for part in archive.infolist()]


def test_a_rounded_input_gets_its_digits_back_and_nothing_else_of_the_file_changes(tmp_path):
    path = saved_rounded(tmp_path)
    before = parts(path)
    wb.write_exact_values(path, [["Data", 2, 2, 0.1 + 0.2], ["Notes", 1, 1, 0.3]], "SpreadsheetError")
    sheet = "xl/worksheets/sheet1.xml"
    assert parts(path) == [(name, content.replace(ROUNDED_CELL, b'<c r="B2" t="n"><v>0.30000000000000004</v></c>')
                            if name == sheet else content) for name, content in before]


@pytest.mark.parametrize("edit, numbers, message", [
    (lambda xml: xml.replace(ROUNDED_CELL, b""), [["Data", 2, 2, 0.1 + 0.2]],
     "The filled workbook has no cell Data!B2 to hold its input 0.30000000000000004 exactly"),
    (lambda xml: xml.replace(ROUNDED_CELL, b'<c r="B2" t="s"><v>0</v></c>'), [["Data", 2, 2, 0.1 + 0.2]],
     "does not hold the input 0.30000000000000004 of Data!B2 as a number"),
    (lambda xml: xml.replace(ROUNDED_CELL, b'<c r="B2" t="n"/>'), [["Data", 2, 2, 0.1 + 0.2]],
     "does not hold the input 0.30000000000000004 of Data!B2 as a number"),
    (lambda xml: xml, [["Data", 2, 3, 2**53 - 1]], "does not hold the input 9007199254740991 of Data!C2 as a number"),
    (lambda xml: xml, [["Data", 2, 4, 1 / 3]], "does not hold the input 0.3333333333333333 of Data!D2 as a number"),
    (lambda xml: xml, [["Beam", 2, 2, 1 / 3]], "The filled workbook has no worksheet 'Beam'"),
    (lambda xml: xml, [["Data", 2, 2, True]], "does not hold the input True of Data!B2 as a boolean"),
    (lambda xml: xml.replace(ROUNDED_CELL, b'<c r="B2" t="b"><f>NOT(FALSE())</f><v>1</v></c>'),
     [["Data", 2, 2, True]], "does not hold the input True of Data!B2 as a boolean"),
])
def test_a_filled_file_that_cannot_take_an_input_exactly_fails_the_job_unchanged(tmp_path, edit, numbers, message):
    path = saved_rounded(tmp_path, edit)
    before = parts(path)
    with pytest.raises(JobError, match=message) as raised:
        wb.write_exact_values(path, numbers, "SpreadsheetError")
    assert raised.value.error_type == "SpreadsheetError" and parts(path) == before


def test_the_fill_add_on_refuses_a_direct_cell_given_twice_in_any_case():
    direct = [{"sheet_name": "Beam", "column": "B", "row": 9, "value": 1},
              {"sheet_name": "Beam", "column": "b", "row": 9, "value": 2}]
    with pytest.raises(Invalid, match="two equal direct cell addresses for address: \\('Beam', 9, 'b'\\)"):
        fill(_bytes(template_book()), direct=direct)


@needs_soffice
def test_a_template_with_a_chart_sheet_is_filled_but_its_chart_sheet_holds_no_cells(engine):
    data = with_chart_sheet("Chart")
    with pytest.raises(Templater, match="The template's sheet 'Chart' is a chart sheet, which holds no cells"):
        fill(data, direct=[{"sheet_name": "Chart", "column": "A", "row": 1, "value": 5}])
    _, _, download_url = fill(data, direct=[{"sheet_name": "input", "column": "B", "row": 2, "value": 2}])
    filled = openpyxl.load_workbook(io.BytesIO(File.from_url(download_url).getvalue_binary()), data_only=True)
    assert filled["output"]["B2"].value == 1 and "Chart" in filled.sheetnames  # LibreOffice has no chart sheets


@needs_soffice
def test_a_defined_name_on_a_sheet_whose_title_has_an_apostrophe_is_filled(engine):
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Engineer's beam"
    sheet["B1"], sheet["C1"] = 4, "=B1*2"
    book.defined_names["span"] = DefinedName("span", attr_text="'Engineer''s beam'!$B$1")
    _, _, download_url = fill(_bytes(book), named={"span": {"value": 6}})
    filled = openpyxl.load_workbook(io.BytesIO(File.from_url(download_url).getvalue_binary()), data_only=True)
    assert (filled["Engineer's beam"]["B1"].value, filled["Engineer's beam"]["C1"].value) == (6, 12)


def with_drawings_and_rules():
    """A workbook with a chart, an arrow shape labelled 'load path' beside it, and a drop-down list of
    grades in B1 kept as an Excel 2010 extension (as Excel writes one from another sheet)."""
    import zipfile

    from openpyxl.chart import BarChart, Reference

    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Beam"
    for value in (1, 2, 3):
        sheet.append([value])
    chart = BarChart()
    chart.add_data(Reference(sheet, min_col=1, min_row=1, max_row=3))
    sheet.add_chart(chart, "C2")
    grades = book.create_sheet("Grades")
    for grade in ("C25/30", "C30/37", "C35/45"):
        grades.append([grade])
    shape = (b'<twoCellAnchor><from><col>5</col><colOff>0</colOff><row>10</row><rowOff>0</rowOff></from><to>'
             b'<col>8</col><colOff>0</colOff><row>14</row><rowOff>0</rowOff></to><sp macro="" textlink=""><nvSpPr>'
             b'<cNvPr id="3" name="Arrow 1"/><cNvSpPr/></nvSpPr><spPr><a:xfrm><a:off x="0" y="0"/>'
             b'<a:ext cx="1000000" cy="500000"/></a:xfrm><a:prstGeom prst="rightArrow"><a:avLst/></a:prstGeom>'
             b'</spPr><txBody><a:bodyPr/><a:lstStyle/><a:p><a:r><a:t>load path</a:t></a:r></a:p></txBody></sp>'
             b'<clientData/></twoCellAnchor>')
    rules = (b'<extLst><ext uri="{CCE6A557-97BC-4b89-ADB6-D9C93CAAB3DF}" '
             b'xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main">'
             b'<x14:dataValidations count="1" xmlns:xm="http://schemas.microsoft.com/office/excel/2006/main">'
             b'<x14:dataValidation type="list">'
             b'<x14:formula1><xm:f>Grades!$A$1:$A$3</xm:f></x14:formula1><xm:sqref>B1</xm:sqref></x14:dataValidation>'
             b'</x14:dataValidations></ext></extLst>')
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(_bytes(book))) as source, zipfile.ZipFile(out, "w") as target:
        for item in source.infolist():
            content = source.read(item)
            if item.filename == "xl/drawings/drawing1.xml":
                content = content.replace(b"</wsDr>", shape + b"</wsDr>")
            elif item.filename == "xl/worksheets/sheet1.xml":
                content = content.replace(b"</worksheet>", rules + b"</worksheet>")
            target.writestr(item, content)
    return out.getvalue()


@needs_soffice
def test_a_filled_workbook_keeps_its_drawings_and_rules_or_the_job_says_it_cannot(engine):
    import zipfile

    direct = [{"sheet_name": "Beam", "column": "A", "row": 1, "value": 5}]
    if engine == "cold":  # openpyxl writes the cells, and keeps neither the shape nor the extension
        with pytest.raises(AddonError, match=r"The workbook holds 1 drawn object\(s\) \(shapes, text boxes or "
                                             r"pictures\) and data validation rules kept as an Excel 2010 extension "
                                             r"that the filled workbook would lose"):
            fill(with_drawings_and_rules(), direct=direct)
        return
    _, _, download_url = fill(with_drawings_and_rules(), direct=direct)
    with zipfile.ZipFile(io.BytesIO(File.from_url(download_url).getvalue_binary())) as filled:
        drawings = b"".join(filled.read(name) for name in filled.namelist() if name.startswith("xl/drawings/d"))
        assert b"load path" in drawings and any(name.startswith("xl/charts/") for name in filled.namelist())
    validation = openpyxl.load_workbook(io.BytesIO(File.from_url(download_url).getvalue_binary()))["Beam"]
    assert [(str(rule.sqref), rule.formula1) for rule in validation.data_validations.dataValidation] == [
        ("B1", "Grades!$A$1:$A$3")]


def array_book():
    """Inputs x, y, z whose values B1:B3 are one array formula, and a single-cell one in B4."""
    from openpyxl.worksheet.formula import ArrayFormula

    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "input"
    for name in "xyzw":
        sheet.append([name, 0])
    sheet["B1"] = ArrayFormula("B1:B3", "={1;2;3}")
    sheet["B4"] = ArrayFormula("B4", "=SUM({4;5})")
    book.create_sheet("output").append(["sum", "=SUM(input!B1:B4)"])
    return _bytes(book)


@needs_soffice
@pytest.mark.parametrize("name", ["x", "y"])
def test_a_cell_of_an_array_formula_is_refused_naming_it(name):
    row = "xy".index(name) + 1
    message = (f"lies inside the array formula over B1:B3, whose cells change only together; write to a cell "
               f"outside it, or make it an ordinary formula")
    with pytest.raises(SpreadsheetError, match=f"The input '{name}' cannot be used: its value cell input!B{row} "
                                               f"{message}"):
        evaluate(array_book(), {name: 50})
    with pytest.raises(Invalid, match=f"Cannot fill cell input!B{row}: it lies inside the array formula over "
                                      f"input!B1:B3, whose cells"):
        fill(array_book(), direct=[{"sheet_name": "input", "column": "B", "row": row, "value": 50}])
    assert evaluate(array_book(), {"w": 10})[0]["output"] == {"sum": 16}  # one cell's array formula is replaced


# Workbook layout ------------------------------------------------------------------------------

def layout_book(input_rows, output_rows):
    book = openpyxl.Workbook()
    book.active.title = "input"
    for row in input_rows:
        book["input"].append(list(row))
    outputs = book.create_sheet("output")
    for row in output_rows:
        outputs.append(list(row))
    return _bytes(book)


NORMAL_INPUTS = [("width", 2), ("height", 3)]
NORMAL_OUTPUTS = [("area", "=input!B1*input!B2")]


@pytest.mark.parametrize("inputs, outputs, message", [
    ([("width", 2), (7, 3)], NORMAL_OUTPUTS, "'input' sheet has the number 7 in column A of row 2"),
    (NORMAL_INPUTS, [("area", "=input!B1*input!B2"), ("=input!A1", "=input!B1")],
     "'output' sheet has a formula in column A of row 2"),
    ([(True, 1)], NORMAL_OUTPUTS, "the boolean True in column A of row 1"),
    ([("width", "height"), (2, 3)], NORMAL_OUTPUTS, "the number 2 in column A of row 2"),  # names across row 1
    ([("Name", "width", "height"), ("Value", 2, 3)], NORMAL_OUTPUTS, "reads 'Value' in column A of row 2"),
    ([("width", "height"), (None, 3)], NORMAL_OUTPUTS, "a value in B2 under its one name 'width'"),
])
def test_a_workbook_off_the_convention_is_refused_with_the_convention(inputs, outputs, message):
    with pytest.raises(SpreadsheetError, match=f"{message}.*names go down column A as text, each with its value in "
                                               f"column B"):
        evaluate(layout_book(inputs, outputs), {})


@needs_soffice
def test_headers_are_never_results_and_error_values_are_logged(caplog):
    data = layout_book([("Input name", "Value"), *NORMAL_INPUTS],
                       [("Output name", "Value"), ("area", "=input!B2*input!B3"), ("broken", "=1/0"),
                        ("wrong", '=1+"a"'), ("text", "#DIV/0! as text")])
    with caplog.at_level("WARNING", logger="ondrel.spreadsheet"):
        output = evaluate(data, {"width": 4})[0]["output"]
    assert output == {"area": 12, "broken": "#DIV/0!", "wrong": "#VALUE!", "text": "#DIV/0! as text"}
    assert [record.getMessage() for record in caplog.records] == [
        "The spreadsheet result 'broken' is the error value #DIV/0!",
        "The spreadsheet result 'wrong' is the error value #VALUE!",
    ]


@needs_soffice
def test_a_number_no_date_can_show_comes_back_as_the_number(engine, caplog):
    book = openpyxl.Workbook()
    book.active.title = "input"
    book["input"].append(["x", 1])
    outputs = book.create_sheet("output")
    for name, formula, number_format in [("past_9999", "=3000000*input!B1", "yyyy-mm-dd"),
                                         ("before_year_1", "=-700000*input!B1", "yyyy-mm-dd"),
                                         ("endless", "=1E10*input!B1", "[h]:mm"),
                                         ("day", "=45000*input!B1", "yyyy-mm-dd")]:
        outputs.append([name, formula])
        outputs.cell(row=outputs.max_row, column=2).number_format = number_format
    with caplog.at_level("WARNING", logger="ondrel.spreadsheet"):
        output = evaluate(_bytes(book), {"x": 1})[0]["output"]
    assert output == {"past_9999": 3000000, "before_year_1": -700000, "endless": 10_000_000_000, "day": "2023-03-15"}
    assert caplog.records == []  # no error value made up


# Bounded work, and a time-out that stops it ---------------------------------------------------

def with_big_sheet(rows, cells_per_row=10, compresslevel=6):
    """The calculation workbook with a sheet 'big' of ``rows`` rows of numbers, written in chunks."""
    import zipfile

    book = calculation_book()
    book.create_sheet("big")
    small = _bytes(book)
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(small)) as source, \
            zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=compresslevel) as target:
        big_part = f"xl/worksheets/sheet{len(book.sheetnames)}.xml"
        for item in source.infolist():
            if item.filename != big_part:
                target.writestr(item, source.read(item))
                continue
            with target.open(big_part, "w", force_zip64=True) as part:
                part.write(b'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>')
                chunk = 10_000
                for start in range(1, rows + 1, chunk):
                    part.write("".join(
                        f'<row r="{r}">' + '<c t="n"><v>1</v></c>' * cells_per_row + "</row>"
                        for r in range(start, min(start + chunk, rows + 1))).encode())
                part.write(b"</sheetData></worksheet>")
    return out.getvalue()


def test_a_zip_bomb_is_refused_from_its_directory_before_any_parsing(monkeypatch):
    from ondrel._platform.spreadsheet import workers

    bomb = with_big_sheet(rows=500_000, cells_per_row=12)  # about 1 MB, unpacking to 130 MB
    assert len(bomb) < 2_000_000
    monkeypatch.setattr(workers, "call", lambda *args: pytest.fail("the bomb reached a parser"))
    with pytest.raises(SpreadsheetError, match=r"unpacks to 1\d\d,\d{3},\d{3} bytes, more than the 100,000,000 "
                                               r"a spreadsheet job accepts"):
        evaluate(bomb, {})
    with pytest.raises(Templater, match="more than the 100,000,000 a spreadsheet job accepts"):
        fill(bomb)


def test_the_unzipped_size_limit_is_configurable(monkeypatch):
    from ondrel._platform.spreadsheet import workbook

    monkeypatch.setattr(workbook.LIMITS, "max_unzipped_bytes", 10_000)
    with pytest.raises(SpreadsheetError, match="more than the 10,000 a spreadsheet job accepts"):
        evaluate(_bytes(calculation_book()), {})
    monkeypatch.setenv("ONDREL_SPREADSHEET_MAX_UNZIPPED_BYTES", "250_000_000")
    assert workbook.Limits().max_unzipped_bytes == 250_000_000
    monkeypatch.setenv("ONDREL_SPREADSHEET_MAX_UNZIPPED_BYTES", "lots")
    with pytest.raises(ValueError, match="ONDREL_SPREADSHEET_MAX_UNZIPPED_BYTES must be a whole number"):
        workbook.Limits()


def test_after_a_time_out_nothing_of_the_job_keeps_parsing(monkeypatch):
    from ondrel._platform.spreadsheet import workers

    started = []
    start = workers._start
    monkeypatch.setattr(workers, "_pool", workers.WorkerPool())
    monkeypatch.setattr(workers, "_start", lambda: started.append(start()) or started[-1])
    slow = with_big_sheet(rows=300_000)  # seconds of parsing, well within the size limit
    with pytest.raises(AddonTimeoutError, match="did not finish within 1 seconds and was stopped"):
        evaluate(slow, {}, timeout=1)
    assert [thread.name for thread in threading.enumerate() if thread.name.startswith("ondrel add-on job")] == []
    assert len(started) == 1 and started[0].poll() is not None  # the worker that was parsing is gone
    workers.get_pool().stop()


def test_looking_for_the_uno_bridge_leaves_nothing_in_the_temporary_folder(monkeypatch, tmp_path):
    import tempfile

    if not any(os.access(python, os.X_OK) for python in libreoffice._SYSTEM_PYTHONS):
        pytest.skip("no system Python to look for LibreOffice's uno module with")
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    monkeypatch.setattr(libreoffice, "_uno_python", False)
    libreoffice.find_uno_python()
    assert os.listdir(tmp_path) == []
