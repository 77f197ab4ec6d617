"""SpreadsheetResult and SpreadsheetCalculation against recording host doubles, and one real evaluation."""

import inspect
import io

import pytest

import ondrel.external.spreadsheet as ss
from ondrel._platform.spreadsheet import libreoffice
from ondrel.errors import SpreadsheetError

from .conftest import FakeFile

RUN_FIRST = "^Run evaluate spreadsheet first before trying to get results\\.$"
Input = ss.SpreadsheetCalculationInput


@pytest.mark.parametrize("function, text", [
    (ss.SpreadsheetResult, "(*, values: 'dict' = None, file: 'File' = None)"),
    (ss.SpreadsheetResult.get_value, "(self, name: 'str') -> 'Any'"),
    (ss.SpreadsheetResult.file_content.fget, "(self) -> 'bytes'"),
    (ss.SpreadsheetCalculation, "(file: 'Union[BytesIO, File]', inputs: 'List[SpreadsheetCalculationInput]')"),
    (ss.SpreadsheetCalculation.from_path, "(file_path: 'Union[str, bytes, os.PathLike]', "
                                          "inputs: 'List[SpreadsheetCalculationInput]') -> 'SpreadsheetCalculation'"),
    (ss.SpreadsheetCalculation.file.fget, "(self) -> 'File'"),
    (ss.SpreadsheetCalculation.evaluate, "(self, include_filled_file: 'bool' = False) -> 'SpreadsheetResult'"),
    (ss.SpreadsheetCalculation.result.fget, "(self) -> 'SpreadsheetResult'"),
    (ss.SpreadsheetCalculation._create_request_body,
     "(self, inputs: 'List[SpreadsheetCalculationInput]', include_filled_file: 'bool') -> 'dict'"),
])
def test_signatures(function, text):
    assert str(inspect.signature(function)) == text
    inspect.signature(function, eval_str=True)


def test_docstrings_carry_the_stated_sentences():
    assert "Do not instantiate this class directly, it is created by the spreadsheet service." in (
        ss.SpreadsheetResult.__doc__)
    assert "macros" in ss.SpreadsheetCalculation.__doc__
    assert "Returns a File object of the to-be-calculated spreadsheet." in ss.SpreadsheetCalculation.file.__doc__
    assert "Returns a File object of the resulting filled-in spreadsheet." in ss.SpreadsheetResult.file.__doc__
    assert "v14.14.0" in ss.SpreadsheetCalculation.file.__doc__ and "v14.14.0" in ss.SpreadsheetResult.file.__doc__
    assert "input tab" in ss.SpreadsheetCalculation.evaluate.__doc__
    assert ss.SpreadsheetCalculation.file.fset is None and ss.SpreadsheetResult.values.fset is None


def test_result_accessors_and_their_errors():
    empty = ss.SpreadsheetResult()
    with pytest.raises(ValueError, match="^This result does not contain values$"):
        empty.values
    for read in (lambda: empty.file, lambda: empty.file_content):
        with pytest.raises(ValueError, match="^This result does not have a file$"):
            read()
    with pytest.raises(SpreadsheetError, match=RUN_FIRST):
        empty.get_value("a")
    values = {}
    assert ss.SpreadsheetResult(values=values).values is values
    assert ss.SpreadsheetResult(values={"a": None}).get_value("a") is None


def test_unknown_result_name_is_raised_from_the_key_error():
    with pytest.raises(SpreadsheetError, match="^Unknown cell: b$") as caught:
        ss.SpreadsheetResult(values={"a": 1}).get_value("b")
    error = caught.value
    assert isinstance(error.__cause__, KeyError) and error.__context__ is error.__cause__
    assert error.__suppress_context__ and error.__cause__.args == ("b",)


def test_result_keeps_the_copy_of_a_url_backed_file(host):
    url_file, data_file = FakeFile.from_url("u"), FakeFile.from_data(b"d")
    copied = ss.SpreadsheetResult(file=url_file)
    assert copied.file.source_type is FakeFile.SourceType.DATA and copied.file_content == b"content of b'copy of u'"
    assert ss.SpreadsheetResult(file=data_file).file is data_file
    assert host.events() == ["File.from_url", "File.from_data", "copy"]


def test_calculation_construction_and_file(host, tmp_path):
    url_file = FakeFile.from_url("u")
    assert ss.SpreadsheetCalculation(url_file, [])._file.source == b"copy of u"
    path_file = FakeFile.from_path("p")
    assert ss.SpreadsheetCalculation(path_file, []).file is path_file
    buffer = io.BytesIO(b"whole")
    buffer.seek(3)
    calculation = ss.SpreadsheetCalculation(buffer, ["i"])
    assert list(vars(calculation)) == ["_file", "_inputs", "_result"] and calculation._file is buffer
    assert calculation.file.source == b"whole" and calculation.file is not calculation.file
    with pytest.raises(NotImplementedError) as caught:
        ss.SpreadsheetCalculation("book.xlsx", []).file
    assert caught.value.args == ()


def test_from_path_makes_an_instance_of_the_calling_class(host):
    class Mine(ss.SpreadsheetCalculation):
        pass

    calculation = Mine.from_path("book.xlsx", inputs=[Input("a", 1)])
    assert type(calculation) is Mine and calculation._file.source == "book.xlsx"
    assert host.log == [("File.from_path", "book.xlsx")]


def test_evaluate_posts_the_body_and_wraps_the_answer(host, monkeypatch):
    class Error(Exception):
        pass

    monkeypatch.setattr(ss, "SpreadsheetError", Error)  # looked up at call time
    calculation = ss.SpreadsheetCalculation(FakeFile.from_path("p"), [Input("b", 2), Input("a", "x")])
    result = calculation.evaluate()
    assert host.events() == ["File.from_path", "API", "open", "upload", "close", "slot", "post"]
    assert host.uploads == [(0, b"content of p")]
    assert all(stream.closed for stream in calculation._file.streams)
    _, path, body, kwargs = host.log[-1]
    assert path == "evaluatespreadsheet/v3/jobs/"
    assert list(body) == ["download_url", "result_upload_url", "result_upload_fields", "result_download_url",
                          "input", "include_filled_file"]
    assert body == {"download_url": "url-1", "result_upload_url": "upload-url", "result_upload_fields": {"key": "k"},
                    "result_download_url": "download-url", "input": {"b": 2, "a": "x"},
                    "include_filled_file": False}
    assert list(body["input"]) == ["b", "a"]
    assert kwargs == {"timeout": 60, "error_mapping": {"SpreadsheetEvaluatorError": Error}}
    assert result is calculation.result and result.values == {"area": 0.15}
    with pytest.raises(ValueError, match="does not have a file"):
        result.file


def test_evaluate_with_the_filled_file_and_a_buffer(host):
    buffer = io.BytesIO(b"book")
    buffer.seek(2)
    result = ss.SpreadsheetCalculation(buffer, []).evaluate(include_filled_file=1)
    assert host.uploads == [(2, b"book")] and buffer.tell() == 2 and not buffer.closed
    assert host.events()[:4] == ["API", "upload", "slot", "post"]
    body = host.log[3][2]
    assert body["input"] == {} and body["include_filled_file"] == 1
    assert host.log[4:] == [("File.from_url", "download-url"), ("copy", "download-url")]
    assert result.file.source == b"copy of download-url"


def test_duplicate_names_are_refused_before_any_upload(host):
    calculation = ss.SpreadsheetCalculation(io.BytesIO(b""), [Input("x", 1), Input("y", 2), Input("x", 3)])
    with pytest.raises(SpreadsheetError, match="^There are two equal named cell input names for name: x$"):
        calculation.evaluate()
    assert host.log == []


@pytest.mark.parametrize("setup, error, match", [
    (lambda host: setattr(host, "answer", SpreadsheetError("add-on says no")), SpreadsheetError, "add-on says no"),
    (lambda host: setattr(host, "answer", {"values": {}}), KeyError, "output"),
    (lambda host: setattr(host, "slot", ("a", "b")), ValueError, r"not enough values to unpack \(expected 3, got 2\)"),
    (lambda host: setattr(host, "slot", ["a", "b", "c", "d"]), ValueError, r"too many values to unpack \(expected 3\)"),
    (lambda host: setattr(host, "upload_error", OSError("disk")), OSError, "disk"),
])
def test_a_failed_evaluation_keeps_the_previous_result(host, setup, error, match):
    calculation = ss.SpreadsheetCalculation(FakeFile.from_data(b"d"), [])
    first = calculation.evaluate()
    setup(host)
    with pytest.raises(error, match=match):
        calculation.evaluate()
    assert calculation.result is first
    assert all(stream.closed for stream in calculation._file.streams)


def test_the_upload_stream_is_closed_with_the_exception_details(host):
    host.upload_error = OSError("disk")
    calculation = ss.SpreadsheetCalculation(FakeFile.from_data(b"d"), [])
    with pytest.raises(OSError):
        calculation.evaluate()
    assert host.events()[-2:] == ["upload", "close after"] and host.log[-1] == ("close after", "OSError")


def test_a_context_manager_that_swallows_the_upload_error_leaves_no_url(host):
    class Swallowing(FakeFile):
        def open_binary(self):
            class Manager:
                def __enter__(self):
                    return io.BytesIO(b"")

                def __exit__(self, *details):
                    host.log.append(("exit", details[0]))
                    return True
            return Manager()

    host.upload_error = OSError("disk")
    with pytest.raises(UnboundLocalError):
        ss.SpreadsheetCalculation(Swallowing(FakeFile.SourceType.DATA, b""), []).evaluate()
    assert host.log[-1] == ("exit", OSError)


class Exitless:
    def __enter__(self):
        raise AssertionError("entered")


class Enterless:
    @property
    def __exit__(self):  # a lookup that fails: never made when __enter__ is missing
        raise LookupError("looked up")


@pytest.mark.parametrize("manager", [Exitless, Enterless])
def test_a_file_that_opens_no_context_manager_fails_as_a_with_statement_does(host, manager):
    class Opening(FakeFile):
        def open_binary(self):
            return manager()

    def python_with():
        with manager():
            pass

    with pytest.raises(TypeError) as expected:
        python_with()
    with pytest.raises(TypeError) as raised:
        ss.SpreadsheetCalculation(Opening(FakeFile.SourceType.DATA, b""), []).evaluate()
    assert str(raised.value) == str(expected.value)


def test_result_before_evaluate_and_unsupported_file_kinds(host):
    calculation = ss.SpreadsheetCalculation("book.xlsx", [Input("a", 1)])
    with pytest.raises(SpreadsheetError, match=RUN_FIRST):
        calculation.result
    with pytest.raises(NotImplementedError):
        calculation.evaluate()
    assert host.events() == ["API"]


@pytest.mark.skipif(libreoffice.find_soffice() is None,
                    reason="LibreOffice Calc ('soffice') is not installed: apt-get install libreoffice-calc-nogui")
def test_evaluate_end_to_end_on_the_local_platform(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    book.active.title = "input"
    for row in [("Parameter", "Value"), ("width", 0.3), ("height", 0.5)]:
        book["input"].append(row)
    book.create_sheet("output").append(["area", "=input!B2*input!B3"])
    book.save(tmp_path / "book.xlsx")
    calculation = ss.SpreadsheetCalculation.from_path(tmp_path / "book.xlsx", [Input("width", 2), Input("height", 3)])
    result = calculation.evaluate(include_filled_file=True)
    assert result.values == {"area": 6} and result.get_value("area") == 6
    filled = openpyxl.load_workbook(io.BytesIO(result.file_content), data_only=True)
    assert filled["input"]["B2"].value == 2
