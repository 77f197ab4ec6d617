"""Template filling against recording host doubles, and one real fill on the local platform."""

import gc
import inspect
import io
import random
import sys

import pytest

import ondrel.external.spreadsheet as ss
from ondrel._platform.spreadsheet import libreoffice
from ondrel.errors import SpreadsheetError

CELLS = "'List[Union[DirectInputCell, NamedInputCell, InputCellRange]]'"
BODY_KEYS = ["download_url", "result_upload_url", "result_upload_fields", "result_download_url", "named_cells",
             "direct_cells", "cell_ranges"]


@pytest.mark.parametrize("function, text", [
    (ss.render_spreadsheet, f"(template: 'BinaryIO', cells: {CELLS}) -> 'File'"),
    (ss._create_fill_spreadsheet_request_body, f"(template: 'BinaryIO', cells: {CELLS}) -> 'dict'"),
    (ss._call_fill_spreadsheet_addon, "(body: 'dict') -> 'str'"),
    (ss.SpreadsheetTemplate, f"(file: 'BytesIO', input_cells: {CELLS})"),
    (ss.SpreadsheetTemplate.from_path,
     f"(file_path: 'Union[str, bytes, os.PathLike]', input_cells: {CELLS}) -> 'SpreadsheetTemplate'"),
    (ss.SpreadsheetTemplate.render, "(self) -> 'SpreadsheetResult'"),
    (ss.SpreadsheetTemplate.result.fget, "(self) -> 'SpreadsheetResult'"),
])
def test_signatures(function, text):
    assert str(inspect.signature(function)) == text
    inspect.signature(function, eval_str=True)


def test_docstrings_carry_the_stated_sentences():
    assert "Prefer to use the function :func:`~.render_spreadsheet` instead." in ss.SpreadsheetTemplate.__doc__
    assert "e.g. A2" in ss.SpreadsheetTemplate.__doc__
    assert "with open(" in ss.render_spreadsheet.__doc__ and "'rb'" in ss.render_spreadsheet.__doc__
    assert "File object containing the rendered spreadsheet" in ss.render_spreadsheet.__doc__
    assert "SpreadsheetResult object of the filled template" in ss.SpreadsheetTemplate.render.__doc__


def test_body_holds_every_kind_of_cell_in_order(host, monkeypatch):
    class Error(Exception):
        pass

    monkeypatch.setattr(ss, "SpreadsheetError", Error)
    data = [[1, 2], [3, None]]
    template = io.BytesIO(b"template")
    template.seek(0, io.SEEK_END)
    cells = [ss.NamedInputCell("b", None), ss.DirectInputCell("S", "B", 3, 1), ss.InputCellRange("S", "C", 1, data),
             ss.SpreadsheetCalculationInput("a", "x"), ss.DirectInputCell("S", "b", 4, 2.5)]
    assert ss.render_spreadsheet(template, cells) is not None
    assert host.uploads == [(8, b"template")]
    assert host.events() == ["API", "upload", "slot", "post", "File.from_url"]
    _, path, body, kwargs = host.log[3]
    assert path == "fillspreadsheet/v2/jobs/" and list(body) == BODY_KEYS
    assert body["download_url"] == "url-1" and body["result_upload_fields"] == {"key": "k"}
    assert body["named_cells"] == {"b": {"value": None}, "a": {"value": "x"}} and list(body["named_cells"]) == ["b", "a"]
    assert body["direct_cells"] == [{"sheet_name": "S", "row": 3, "column": "B", "value": 1},
                                    {"sheet_name": "S", "row": 4, "column": "b", "value": 2.5}]
    assert body["cell_ranges"] == [{"top_left_cell": {"column": "C", "row": 1, "sheet_name": "S"}, "data": data}]
    assert body["cell_ranges"][0]["data"] is data
    assert kwargs == {"timeout": 60, "error_mapping": {"TypeError": Error, "InvalidInputError": Error,
                                                       "SpreadsheetTemplaterError": Error}}
    assert list(kwargs["error_mapping"]) == ["TypeError", "InvalidInputError", "SpreadsheetTemplaterError"]


def test_an_empty_cell_list_is_still_posted_and_the_answer_is_not_used(host):
    host.answer = "anything"
    rendered = ss.render_spreadsheet(io.BytesIO(b"t"), [])
    body = host.log[3][2]
    assert (body["named_cells"], body["direct_cells"], body["cell_ranges"]) == ({}, [], [])
    assert rendered.source == "download-url" and rendered.source_type is rendered.SourceType.URL
    assert ss._call_fill_spreadsheet_addon({"x": 1}) == "anything"


@pytest.mark.parametrize("cells, error, message", [
    ([ss.DirectInputCell("Sheet1", "B", 3, 1), ss.DirectInputCell("Sheet1", "B", 3, 2)], SpreadsheetError,
     "There are two equal direct cell addresses for address: ('Sheet1', 3, 'B')"),
    ([ss.NamedInputCell("n", 1), ss.NamedInputCell("n", 2)], SpreadsheetError,
     "There are two equal named cells for name: n"),
    ([ss.NamedInputCell("n", 1), ss.SpreadsheetCalculationInput("n", 2)], SpreadsheetError,
     "There are two equal named cells for name: n"),
    ([ss.NamedInputCell("n", 1), ss.NamedOutputCell("o")], ValueError, "Undefined cell type"),
    ([ss.DirectOutputCell("S", "A", 1)], ValueError, "Undefined cell type"),
    (["A1"], ValueError, "Undefined cell type"),
    # Addresses compare as tuples do, also when the kinds of their parts differ.
    ([ss.DirectInputCell("S", "B", 3, 1), ss.DirectInputCell("S", "A", 2**70, 1), ss.DirectInputCell("S", "B", 3.0, 2)],
     SpreadsheetError, "There are two equal direct cell addresses for address: ('S', 3.0, 'B')"),
    ([ss.DirectInputCell("S", "B", 1, 1), ss.DirectInputCell("S", "B", True, 2)], SpreadsheetError,
     "There are two equal direct cell addresses for address: ('S', True, 'B')"),
    ([ss.DirectInputCell("Ш", "B", 1, 1), ss.DirectInputCell("S", "B", 1, 1), ss.DirectInputCell("Ш", "B", 1, 1)],
     SpreadsheetError, "There are two equal direct cell addresses for address: ('Ш', 1, 'B')"),
    ([ss.DirectInputCell("S", ["B"], 1, 1)], TypeError, "unhashable type: 'list'"),
    # Column letters name the same column in any case.
    ([ss.DirectInputCell("S", "B", 1, 1), ss.DirectInputCell("S", "b", 1, 2)], SpreadsheetError,
     "There are two equal direct cell addresses for address: ('S', 1, 'b')"),
    ([ss.DirectInputCell("S", "aB", 2.0, 1), ss.DirectInputCell("S", "Ab", 2, 2)], SpreadsheetError,
     "There are two equal direct cell addresses for address: ('S', 2, 'Ab')"),
])
def test_cells_are_checked_before_any_upload(host, cells, error, message):
    with pytest.raises(error) as caught:
        ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells)
    assert str(caught.value) == message and host.log == []


def test_many_distinct_addresses_pass(host):
    cells = [ss.DirectInputCell(f"S{i % 7}", chr(65 + i % 26), i // 26, i) for i in range(3000)]
    body = ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells + [ss.DirectInputCell("S", "A", 0.5, 1)])
    assert len(body["direct_cells"]) == 3001


def duplicate_message(addresses):
    """What the fill body says about the first address equal to an earlier one, as a set of tuples decides
    with ASCII column letters in upper case."""
    seen = set()
    for address in addresses:
        sheet, row, column = address
        key = (sheet, row, column.upper() if type(column) is str and column.isascii() else column)
        if key in seen:
            return f"There are two equal direct cell addresses for address: {address}"
        seen.add(key)
    return None


def check_addresses(addresses):
    cells = [ss.DirectInputCell(sheet, column, row, 0) for sheet, row, column in addresses]
    expected = duplicate_message(addresses)
    if expected is None:
        assert len(ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells)["direct_cells"]) == len(cells)
    else:
        with pytest.raises(SpreadsheetError) as caught:
            ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells)
        assert str(caught.value) == expected


class TestDirectAddresses:
    """Duplicate addresses are found as a set of (sheet_name, row, column) tuples finds them, whatever the rows."""

    @pytest.mark.parametrize("rows", [
        [0, 63, 64, 1, 127, 128, 63],
        [5, -1, 2**40, -(2**63), 2**63 - 1, 2**40],
        [-(2**63), 7, -(2**63)],
        [2**63 - 1, 1, 2**63 - 1],
        [70_000, 500_000, 3, 1_000_000, 500_000],  # rows far apart for so few cells
    ])
    def test_rows_of_one_pair(self, host, rows):
        check_addresses([("S", row, "A") for row in rows])

    def test_far_rows_when_the_room_for_rows_runs_short(self, host):
        # A few addresses have room for about 65,000 rows in all. Whichever pair comes first takes much
        # of it; rows of the other pair between the two far ones then take the rest, bit by bit.
        rows_between = [("S", 64 * word, "A") for word in (500, 900, 922, 950)]
        for far in ([("T", 64 * 100, "A"), ("S", 64 * 1000, "A")], [("S", 64 * 1000, "A"), ("T", 64 * 100, "A")]):
            check_addresses(far + rows_between + [("S", 64 * 1000, "A")])
            check_addresses(far + rows_between + [("T", 64 * 100, "A")])
            check_addresses(far + rows_between + [("S", 64 * 1000 + 1, "A"), ("S", 64 * 950 + 1, "A")])

    def test_equal_texts_in_distinct_objects_and_many_pairs(self, host):
        def fresh(text):
            return "".join(list(text))  # an equal str that is another object

        addresses = [(fresh(f"Sheet{i % 13}"), i // 40, fresh(f"C{i % 40}")) for i in range(2000)]
        check_addresses(addresses)
        check_addresses(addresses + [(fresh("Sheet7"), 3, fresh("C7")), ("Шит", 1, "A"), ("Шит", 1, "A")])
        check_addresses(addresses + [(fresh("Sheet11"), 49, fresh("C11"))])

    def test_random_addresses_against_a_set_of_tuples(self, host):
        class Text(str):
            pass

        generator = random.Random(20240501)
        rows = [0, 1, 2, 63, 64, 65, 1000, 65_535, 65_536, 1_048_576, -1, -64, 2**31, 2**62, 2**63 - 1, -(2**63),
                2**63, 2**64 + 5]
        texts = ["S", "T", "Ш", "A", "B", "AA", "b", "aA"]
        for trial in range(300):
            def part(choices):
                text = generator.choice(choices)
                return "".join(list(text)) if generator.random() < 0.3 else text

            addresses = []
            for _ in range(generator.randrange(1, 120)):
                row = generator.choice(rows) if generator.random() < 0.5 else generator.randrange(-200, 20_000)
                addresses.append((part(texts[:3]), row, part(texts[3:])))
            if trial % 5 == 0:  # an address of another kind, at some point, moves them all into a set
                unusual = [("S", 1.0, "A"), ("S", True, "B"), (Text("T"), 64, "AA"), ("Ш", 0.5, "A")]
                addresses.insert(generator.randrange(len(addresses) + 1), generator.choice(unusual))
            check_addresses(addresses)

    def test_texts_are_held_while_later_addresses_are_compared_with_them(self, host):
        first = ss.DirectInputCell("".join(["She", "et"]), "".join(["A", "B"]), 1, 1)

        class Dropping(ss.DirectInputCell):
            def serialize(self, convert_value_to_str=False):
                first.sheet_name = first.column = "elsewhere"  # the first texts now live only in the body
                return {}

        with pytest.raises(SpreadsheetError, match=r"address: \('Sheet', 1, 'AB'\)$"):
            ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), [
                first, Dropping("X", "A", 1, 1), Dropping("Y", "A", 1, 1), ss.DirectInputCell("Sheet", "AB", 1, 2)])


class TestBodyDicts:
    """The dicts in the body are those that Python's own dict displays make of the same objects."""

    def test_direct_dicts_are_what_a_dict_display_of_the_attributes_makes(self, host):
        class Sub(ss.DirectInputCell):
            pass

        class Text(str):
            pass

        values = [1.5, 2, "x", True, None, [1], (1, [2]), (), 10**30, -0.0]
        cells = [ss.DirectInputCell("S", "A", row, value) for row, value in enumerate(values)]
        cells += [Sub("S", "B", 1, 1.5), ss.DirectInputCell(Text("S"), "C", 1, [1]),
                  ss.DirectInputCell("S", "C", 1.5, 2), ss.DirectInputCell("S", "C", 10**30, 3)]
        made = ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells)["direct_cells"]
        assert type(made) is list and gc.is_tracked(made) and len(made) == len(cells)
        for cell, entry in zip(cells, made):
            expected = {"sheet_name": cell.sheet_name, "row": cell.row, "column": cell.column, "value": cell.value}
            assert type(entry) is dict and entry == expected and list(entry) == list(expected)
            assert all(a is b for a, b in zip(entry.values(), expected.values()))
            assert gc.is_tracked(entry) == gc.is_tracked(expected)

    def test_named_entries_are_what_a_dict_display_of_the_value_makes(self, host):
        values = [1.5, "x", None, [1], (1, [2]), (), {"a": 1}]
        cells = [ss.NamedInputCell(f"n{i}", value) for i, value in enumerate(values)]
        made = ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells)["named_cells"]
        assert list(made) == [cell.name for cell in cells]
        for cell, entry in zip(cells, made.values()):
            expected = {"value": cell.value}
            assert type(entry) is dict and entry == expected and entry["value"] is cell.value
            assert gc.is_tracked(entry) == gc.is_tracked(expected)

    def test_a_failure_part_way_releases_what_was_made(self, host):
        value = float("1.25")
        cells = [ss.DirectInputCell("S", "A", row, value) for row in range(100)]
        held = sys.getrefcount(value)
        for last in (ss.DirectOutputCell("S", "A", 1), ss.DirectInputCell("S", "A", 5, 0)):
            with pytest.raises((ValueError, SpreadsheetError)):
                ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells + [last])
            assert sys.getrefcount(value) == held
        body = ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells)
        assert sys.getrefcount(value) == held + 100
        del body
        assert sys.getrefcount(value) == held


def test_cells_serialise_through_their_own_methods(host):
    class Tagged(ss.DirectInputCell):
        def serialize(self, convert_value_to_str=False):
            return {"tagged": self.value}

    body = ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), iter([Tagged("S", "A", 1, 5)]))
    assert body["direct_cells"] == [{"tagged": 5}]


def test_template_renders_and_keeps_its_last_result(host, monkeypatch):
    template = ss.SpreadsheetTemplate(io.BytesIO(b"t"), [ss.NamedInputCell("a", 1)])
    assert list(vars(template)) == ["_file", "_input_cells", "_result"]
    with pytest.raises(SpreadsheetError, match="^Render template first before trying to get results$"):
        template.result
    first = template.render()
    assert first is template.result and first.file.source == b"copy of download-url"
    host.answer = SpreadsheetError("templater says no")
    with pytest.raises(SpreadsheetError, match="templater says no"):
        template.render()
    assert template.result is first
    calls = []
    monkeypatch.setattr(ss, "render_spreadsheet", lambda *args: calls.append(args) or ss.File.from_data(b"r"))
    assert template.render().file.source == b"r" and calls == [(template._file, template._input_cells)]


def test_from_path_reads_the_whole_file_into_a_buffer(host, tmp_path):
    class Mine(ss.SpreadsheetTemplate):
        pass

    (tmp_path / "t.xlsx").write_bytes(b"template bytes")
    template = Mine.from_path(str(tmp_path / "t.xlsx"), input_cells=[])
    assert type(template) is Mine and template._file.tell() == 14
    template.render()
    assert host.uploads == [(14, b"template bytes")]
    with pytest.raises(FileNotFoundError):
        ss.SpreadsheetTemplate.from_path(tmp_path / "missing.xlsx", [])


@pytest.mark.skipif(libreoffice.find_soffice() is None,
                    reason="LibreOffice Calc ('soffice') is not installed: apt-get install libreoffice-calc-nogui")
def test_fill_end_to_end_on_the_local_platform(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    from openpyxl.workbook.defined_name import DefinedName

    book = openpyxl.Workbook()
    book.active.title = "Beam"
    book["Beam"]["D1"] = "=A1+B3"
    book.defined_names["span"] = DefinedName("span", attr_text="Beam!$A$1")
    book.save(tmp_path / "t.xlsx")
    template = ss.SpreadsheetTemplate.from_path(tmp_path / "t.xlsx", [
        ss.NamedInputCell("span", 4), ss.DirectInputCell("Beam", "A", 2, "text"),
        ss.InputCellRange("Beam", "B", 3, [[10, 20], [30, 40]])])
    filled = openpyxl.load_workbook(io.BytesIO(template.render().file_content), data_only=True)["Beam"]
    assert [filled[c].value for c in ("A1", "A2", "B3", "C4", "D1")] == [4, "text", 10, 40, 14]
