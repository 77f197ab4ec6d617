"""The Excel runner: an engineer's own workbook, input cells written, output cells filled."""

import io
import zipfile

import openpyxl
import pytest
from openpyxl.workbook.defined_name import DefinedName

from ondrel._platform import get_platform
from ondrel._platform.spreadsheet import libreoffice
from ondrel.core import File
from ondrel.errors import SpreadsheetError
from ondrel.external.excel import Excel
from ondrel.external.spreadsheet import (
    DirectInputCell, DirectOutputCell, InputCellRange, NamedInputCell, NamedOutputCell,
)

needs_soffice = pytest.mark.skipif(
    libreoffice.find_soffice() is None,
    reason="LibreOffice Calc ('soffice') is not installed: apt-get install libreoffice-calc-nogui",
)


@pytest.fixture(params=["warm", "cold"])
def engine(request, monkeypatch):
    """Run the test with the warm LibreOffice and with one soffice run per job."""
    if request.param == "warm" and libreoffice.find_uno_python() is None:
        pytest.skip("the warm LibreOffice needs the system Python's uno module (apt-get install python3-uno)")
    monkeypatch.setattr(libreoffice, "USE_WARM_PROCESS", request.param == "warm")


def beam_workbook(macro_enabled=False):
    """A workbook of its own layout: geometry on one sheet, loads and results on another."""
    book = openpyxl.Workbook()
    beam = book.active
    beam.title = "Beam data"
    beam["A2"], beam["B2"] = "span [m]", 4.0
    beam["A3"], beam["B3"] = "width [m]", 0.3
    beam["A4"], beam["B4"] = "grade", "C25/30"
    beam["D4"] = '=B4&" concrete"'
    loads = book.create_sheet("Loads")
    loads["A1"] = "loads [kN/m]"
    loads["F1"] = "=SUM(A2:C3)"
    loads["F2"] = "=F1*'Beam data'!B2^2/8"
    loads["G5"] = '=IF(F2>100,"fails","ok")'
    loads["G6"] = "=F2>100"
    loads["G7"] = "=1/'Beam data'!B3"
    book.defined_names["span"] = DefinedName("span", attr_text="'Beam data'!$B$2")
    book.defined_names["M_max"] = DefinedName("M_max", attr_text="Loads!$F$2")
    with io.BytesIO() as out:
        book.save(out)
        data = out.getvalue()
    return _as_xlsm(data) if macro_enabled else data


def _as_xlsm(data):
    """The workbook as an .xlsm file (the macro-enabled content type; no macros)."""
    source, out = zipfile.ZipFile(io.BytesIO(data)), io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as target:
        for part in source.infolist():
            content = source.read(part)
            if part.filename == "[Content_Types].xml":
                content = content.replace(b"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
                                          b"application/vnd.ms-excel.sheet.macroEnabled.main+xml")
                assert b"macroEnabled" in content
            target.writestr(part, content)
    return out.getvalue()


def beam_inputs():
    return [
        NamedInputCell("span", 6.0),
        DirectInputCell("Beam data", "B", 3, 0),
        DirectInputCell("Beam data", "b", 4, "C30/37"),
        InputCellRange("Loads", "A", 2, [[1, 2, 3], [4, 5, 6.5]]),
    ]


def beam_outputs():
    named = [NamedOutputCell("M_max")]
    direct = [DirectOutputCell("Loads", "F", 1), DirectOutputCell("Loads", "G", 5), DirectOutputCell("Loads", "g", 6),
              DirectOutputCell("Loads", "G", 7), DirectOutputCell("Beam data", "D", 4)]
    return named, direct


@needs_soffice
@pytest.mark.parametrize("as_file", [True, False], ids=["File", "stream"])
def test_every_output_cell_holds_the_value_libreoffice_computes(engine, as_file):
    data = beam_workbook()
    named, direct = beam_outputs()
    excel = Excel(File.from_data(data) if as_file else io.BytesIO(data), input_cells=beam_inputs(),
                  output_cells=named, direct_output_cells=direct)
    excel.execute(timeout=120)
    # loads 21.5 kN/m over 6 m: 21.5 * 36 / 8; the zero width divides by zero.
    assert [cell.result for cell in named + direct] == [96.75, 21.5, "ok", False, "#DIV/0!", "C30/37 concrete"]
    filled = openpyxl.load_workbook(io.BytesIO(excel.filled_file.getvalue_binary()), data_only=True)
    assert (filled["Loads"]["F2"].value, filled["Beam data"]["B2"].value, filled["Loads"]["C3"].value) == (
        96.75, 6, 6.5)
    assert openpyxl.load_workbook(io.BytesIO(data))["Beam data"]["B2"].value == 4.0


@needs_soffice
def test_a_macro_enabled_workbook_runs_like_any_other():
    named, direct = beam_outputs()
    inputs = [NamedInputCell("span", 2), InputCellRange("Loads", "A", 2, [[1, 2, 3], [4, 5, 7]])]
    excel = Excel(File.from_data(beam_workbook(macro_enabled=True)), inputs, named, direct[:1])
    excel.execute(timeout=120)
    assert (named[0].result, direct[0].result) == (11, 22)


@needs_soffice
def test_text_stays_text_and_numbers_of_15_digits_come_back_exactly():
    values = ["=1+1", "#N/A", "_x0041_", "line\nbreak", 123_456_789_012_345, 0.1, -2.5e-300, True]
    outputs = [DirectOutputCell("Beam data", "H", row) for row in range(1, len(values) + 1)]
    inputs = [DirectInputCell("Beam data", "H", row, value) for row, value in enumerate(values, 1)]
    Excel(io.BytesIO(beam_workbook()), inputs, direct_output_cells=outputs).execute(timeout=120)
    assert [cell.result for cell in outputs] == values
    assert [type(cell.result) for cell in outputs] == [type(value) for value in values]


@pytest.fixture
def no_engine(monkeypatch):
    """Fail the test if LibreOffice is asked to run."""
    runs = []
    monkeypatch.setattr(libreoffice, "run", lambda work, job: runs.append(work))
    yield runs
    assert runs == []


@needs_soffice
@pytest.mark.parametrize("inputs, outputs, message", [
    ([NamedInputCell("length", 1)], [], "no defined name 'length' \\(its names: 'M_max', 'span'\\)"),
    ([], [NamedOutputCell("M_min")], "no defined name 'M_min'"),
    ([], [DirectOutputCell("Load", "F", 1)], "no sheet named 'Load' \\(its sheets: 'Beam data', 'Loads'\\)"),
    ([DirectInputCell("Beams", "B", 3, 1)], [], "no sheet named 'Beams'"),
    ([], [DirectOutputCell("Loads", "XFE", 1)], "Invalid column 'XFE' for direct output cell 1 on sheet 'Loads'"),
    ([], [DirectOutputCell("Loads", "A", 1_048_577)], "Invalid row 1048577 for direct output cell 1"),
    ([DirectInputCell("Loads", "A", 0, 1)], [], "Invalid row 0 for direct cell 1 on sheet 'Loads'"),
    ([InputCellRange("Loads", "XFD", 1, [[1, 2]])], [], "cell range 1 on sheet 'Loads' runs past the last row"),
    ([DirectInputCell("Loads", "B", 3, 1), DirectInputCell("Loads", "B", 3, 2)], [],
     "two equal direct cell addresses for address: \\('Loads', 3, 'B'\\)"),
    ([DirectInputCell("Loads", "B", 3, 1), DirectInputCell("Loads", "b", 3, 2)], [],
     "two equal direct cell addresses for address: \\('Loads', 3, 'b'\\)"),
    ([NamedInputCell("span", 1), NamedInputCell("span", 2)], [], "two equal named cells for name: span"),
    ([NamedInputCell("span", float("nan"))], [], "the named cell 'span': nan is not a finite number"),
    ([DirectInputCell("Loads", "B", 3, 2**53 + 1)], [], "cell Loads!B3: 9007199254740993 has more digits"),
    ([InputCellRange("Loads", "A", 2, [[1, [2]]])], [], "cell Loads!B2 of cell range 1: a value of type list"),
    ([NamedInputCell("span", "\ufffe")], [], "the named cell 'span': the text holds the character U\\+FFFE"),
])
def test_a_bad_cell_is_refused_naming_it_before_anything_runs(no_engine, inputs, outputs, message):
    named = [cell for cell in outputs if isinstance(cell, NamedOutputCell)] + [NamedOutputCell("M_max")]
    direct = [cell for cell in outputs if isinstance(cell, DirectOutputCell)] + [DirectOutputCell("Loads", "F", 1)]
    excel = Excel(File.from_data(beam_workbook()), inputs, named, direct)
    with pytest.raises(SpreadsheetError, match=message):
        excel.execute(timeout=120)
    for cell in named + direct:
        with pytest.raises(RuntimeError, match="not yet available"):
            cell.result
    with pytest.raises(RuntimeError, match="call execute\\(\\) first"):
        excel.filled_file


@needs_soffice
def test_an_empty_output_cell_fails_the_run_and_no_output_cell_is_set():
    before, empty = DirectOutputCell("Loads", "F", 1), DirectOutputCell("Loads", "Z", 99)
    excel = Excel(File.from_data(beam_workbook()), beam_inputs(), [NamedOutputCell("M_max")], [before, empty])
    with pytest.raises(SpreadsheetError, match="DirectOutputCell\\(sheet_name='Loads', column='Z', row=99\\) is "
                                               "empty after recalculation"):
        excel.execute(timeout=120)
    with pytest.raises(RuntimeError, match="not yet available"):
        before.result


@needs_soffice
def test_a_run_leaves_nothing_in_temporary_storage():
    storage = get_platform().storage
    before = set(storage.keys())
    output = DirectOutputCell("Loads", "F", 1)
    excel = Excel(File.from_data(beam_workbook()), beam_inputs(), direct_output_cells=[output])
    excel.execute(timeout=120)
    with pytest.raises(SpreadsheetError, match="is empty after recalculation"):
        Excel(File.from_data(beam_workbook()), direct_output_cells=[DirectOutputCell("Loads", "Z", 99)]).execute(120)
    assert set(storage.keys()) == before  # the filled workbook lives on as the run's own copy only
    assert output.result == 21.5 and excel.filled_file.getvalue_binary().startswith(b"PK")


def _set(cell):
    cell.result = 1
    return cell


@pytest.mark.parametrize("make, message", [
    (lambda cell: [cell, cell], "is given twice"),
    (lambda cell: [DirectOutputCell("Loads", "F", 1), _set(cell)], "already holds a result \\(1\\)"),
])
def test_output_cells_are_set_once(no_engine, make, message):
    cells = make(DirectOutputCell("Loads", "G", 5))
    with pytest.raises(SpreadsheetError, match=message):
        Excel(io.BytesIO(beam_workbook()), direct_output_cells=cells).execute()
    with pytest.raises(RuntimeError, match="not yet available"):
        cells[0].result


def test_macros_never_run_unless_asked_and_asking_is_refused_here(no_engine):
    output = NamedOutputCell("M_max")
    excel = Excel(io.BytesIO(beam_workbook(macro_enabled=True)), output_cells=[output], run_macros=True)
    with pytest.raises(SpreadsheetError, match="run_macros is not supported by this platform"):
        excel.execute()
    with pytest.raises(RuntimeError, match="not yet available"):
        output.result


@pytest.mark.parametrize("call, error, message", [
    (lambda: Excel(b"PK..."), TypeError, "a File or a binary stream"),
    (lambda: Excel(io.BytesIO(), output_cells=[DirectOutputCell("A", "B", 1)]).execute(), ValueError,
     "output_cells takes NamedOutputCell objects"),
    (lambda: Excel(io.BytesIO(), [NamedOutputCell("x")]).execute(), ValueError, "Undefined cell type"),
    (lambda: Excel(io.BytesIO(), run_macros="yes"), TypeError, "run_macros must be True or False"),
    (lambda: Excel(io.BytesIO()).execute(timeout=0), ValueError, "timeout must be a positive number"),
])
def test_wrong_arguments_are_refused_at_once(no_engine, call, error, message):
    with pytest.raises(error, match=message):
        call()
