"""The evaluate and fill add-ons on real workbooks, recalculated by LibreOffice Calc."""

import datetime
import io
import os
import signal
import threading

import openpyxl
import pytest
from openpyxl.styles import Font
from openpyxl.workbook.defined_name import DefinedName

from ondrel._platform.spreadsheet import libreoffice
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


def _with_duplicate(title):
    book = calculation_book()
    book[title].append(["width" if title == "input" else "area", 1])
    return _bytes(book)


@needs_soffice
@pytest.mark.parametrize("data, inputs, message", [
    (b"not a workbook", {}, "not a readable .xlsx workbook"),
    (b"PK\x03\x04 broken zip", {}, "not a readable .xlsx workbook"),
    (_without_sheet("input"), {}, "no worksheet named 'input'"),
    (_without_sheet("output"), {}, "no worksheet named 'output'"),
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
