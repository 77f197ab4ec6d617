"""The cell vocabulary: what Python sees, serialised forms, texts, the output-cell state machine."""

import inspect
import logging
import math
import random
import struct
import sys
import typing

import pytest

import ondrel.external.spreadsheet as ss
from ondrel.core import File

WARNING = "[EXCEL] WARNING: Type {} probably not supported for excel insertion."


def test_module_exports_logger_and_host_names():
    assert ss.__all__ == [
        "DirectInputCell", "DirectOutputCell", "InputCellRange", "NamedInputCell", "NamedOutputCell",
        "render_spreadsheet", "SpreadsheetCalculation", "SpreadsheetCalculationInput", "SpreadsheetResult",
        "SpreadsheetTemplate"]
    assert ss.logger is logging.getLogger("ondrel.external.spreadsheet")
    assert ss.File is File and ss.Union is typing.Union and ss.BinaryIO is typing.BinaryIO


@pytest.mark.parametrize("function, text, annotations", [
    (ss.stringify_value, "(value: 'Union[bool, int, str, float]') -> 'str'",
     {"value": "Union[bool, int, str, float]", "return": "str"}),
    (ss._list_of_lists_is_rectangular, "(data: 'List[list]') -> 'bool'", {"data": "List[list]", "return": "bool"}),
    (ss.NamedInputCell, "(name: 'str', value: 'Union[bool, int, str, float]')", None),
    (ss.NamedInputCell.serialize, "(self, convert_value_to_str: 'bool' = False) -> 'dict'", None),
    (ss.NamedInputCell.serialize_for_fill_spreadsheet, "(self) -> 'dict'", None),
    (ss.NamedOutputCell, "(name: 'str')", None),
    (ss.NamedOutputCell.result.fget, "(self) -> 'Any'", None),
    (ss.NamedOutputCell.result.fset, "(self, value: 'Any') -> 'None'", None),
    (ss.NamedOutputCell.equals, "(self, named_cell_result: 'dict') -> 'bool'", None),
    (ss.DirectInputCell, "(sheet_name: 'str', column: 'str', row: 'int', value: 'Union[bool, int, str, float]')",
     None),
    (ss.DirectInputCell.serialize, "(self, convert_value_to_str: 'bool' = False) -> 'dict'", None),
    (ss.DirectOutputCell, "(sheet_name: 'str', column: 'str', row: 'int')", None),
    (ss.DirectOutputCell.equals, "(self, direct_cell_result: 'dict') -> 'bool'", None),
    (ss.InputCellRange, "(sheet_name: 'str', left_column: 'str', top_row: 'int', "
                        "data: 'List[List[Union[float, str]]]')", None),
    (ss.InputCellRange.__repr__, "(self) -> 'str'", None),
])
def test_signatures_and_string_annotations(function, text, annotations):
    assert str(inspect.signature(function)) == text
    inspect.signature(function, eval_str=True)  # every name an annotation uses is bound in the module
    if annotations is not None:
        assert function.__annotations__ == annotations


def test_evaluated_annotations_are_the_typing_objects():
    signature = inspect.signature(ss.InputCellRange, eval_str=True)
    assert signature.parameters["data"].annotation == typing.List[typing.List[typing.Union[float, str]]]


def test_class_tree_docstrings_and_abstract_bases():
    assert ss.SpreadsheetCalculationInput.__mro__[1:4] == (ss.NamedInputCell, ss._NamedCellBaseClass, ss.ABC)
    assert ss.DirectOutputCell.__mro__[1:3] == (ss._DirectCellBaseClass, ss.ABC)
    assert ss.InputCellRange.__bases__ == (object,)
    assert ss.NamedInputCell.__doc__.strip() == "Class for defining a named cell in which a value must be inserted."
    assert ss.SpreadsheetCalculationInput.__doc__.strip() == (
        "This class is subclassed from NamedInputCell because the same functionality is needed.")
    assert "InputCellRange" in ss.DirectInputCell.__doc__
    for cls in (ss.NamedOutputCell, ss.DirectOutputCell):
        assert "Excel(" in cls.__doc__ and ".result" in cls.__doc__
    assert (ss.NamedInputCell.__module__, ss.NamedInputCell.serialize.__qualname__) == (
        "ondrel.external.spreadsheet", "NamedInputCell.serialize")
    assert "old workers only" in ss.DirectInputCell.serialize.__doc__
    for base in (ss._NamedCellBaseClass, ss._DirectCellBaseClass):
        assert base.__abstractmethods__ == {"serialize"}
        with pytest.raises(TypeError, match="abstract"):
            base("a", "b", 1) if base is ss._DirectCellBaseClass else base("a")


@pytest.mark.parametrize("value, text, type_text", [
    ("x", "x", None), (3, "3", None), (True, "True", None), (1.5, "1.5", None),
    (None, "None", "<class 'NoneType'>"), ([1], "[1]", "<class 'list'>"),
    (type("MyInt", (int,), {})(4), "4", "<class '__main__.MyInt'>"),
])
def test_stringify_value_warns_by_exact_type(caplog, value, text, type_text):
    with caplog.at_level(logging.WARNING, logger="ondrel.external.spreadsheet"):
        assert ss.stringify_value(value) == text
    type_text = type_text and type_text.replace("__main__", type(value).__module__)
    expected = [] if type_text is None else [("ondrel.external.spreadsheet", logging.WARNING,
                                              WARNING.format(type_text))]
    assert caplog.record_tuples == expected


def test_stringify_value_writes_numbers_as_str_does():
    rng = random.Random(7)
    numbers = [0.0, -0.0, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 1.5e-05, 5e-324, 1.7976931348623157e308,
               0.1, 0.3, 1e22, -123.456, float("inf"), float("-inf"), float("nan"), 0, -1, 2**63 - 1, -2**63, 2**64,
               -10**40]
    numbers += [struct.unpack("d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(20000)]
    numbers += [round(rng.uniform(-1e6, 1e6), rng.randint(0, 8)) * 10.0 ** rng.randint(-20, 20) for _ in range(20000)]
    # Decimals of up to 17 digits at every scale, and the doubles next to them.
    decimals = [float(f"{rng.randint(0, 10 ** rng.randint(1, 17))}e{rng.randint(-30, 30)}") for _ in range(20000)]
    numbers += decimals + [math.nextafter(d, math.inf) for d in decimals[:5000]]
    # Integers on both sides of every width the conversion distinguishes, up to beyond 128 bits.
    edges = [2 ** 30, 2 ** 62, 2 ** 63, 2 ** 64, 10 ** 19, 10 ** 20, 10 ** 38, 2 ** 127, 2 ** 128]
    numbers += [sign * (edge + step) for edge in edges for step in (-2, -1, 0, 1) for sign in (1, -1)]
    numbers += [rng.getrandbits(rng.randint(1, 140)) * rng.choice((1, -1)) for _ in range(5000)]
    assert [ss.stringify_value(n) for n in numbers] == [str(n) for n in numbers]
    assert ss.stringify_value(True) is str(True) and ss.stringify_value(False) == "False"


def test_stringify_value_returns_a_text_unchanged_and_uses_the_module_logger(monkeypatch):
    text = "".join(["a", "b"])
    assert ss.stringify_value(text) is text
    messages = []
    monkeypatch.setattr(ss, "logger", type("L", (), {"warning": lambda self, m: messages.append(m)})())
    ss.stringify_value(None)
    assert messages == [WARNING.format("<class 'NoneType'>")]


def test_unsupported_values_are_logged_at_construction_and_at_each_direct_conversion(caplog):
    with caplog.at_level(logging.WARNING, logger="ondrel.external.spreadsheet"):
        named = ss.NamedInputCell("n", None)
        direct = ss.DirectInputCell("S", "A", 1, None)
        assert len(caplog.records) == 2
        named.serialize(True)
        direct.serialize(True)
    assert len(caplog.records) == 3


@pytest.mark.parametrize("data, expected", [
    ([], True), ([[1]], True), ([[1, 2], [3, 4]], True), ([[1], [2, 3]], False), ([[1, 2], [3]], False),
    (((1,), [2], "x"), True), (iter([[1], [2, 3], None]), False),  # stops at the first difference
])
def test_list_of_lists_is_rectangular(data, expected):
    assert ss._list_of_lists_is_rectangular(data) is expected


@pytest.mark.parametrize("data, message", [
    ([], "data should be non-empty"), ([[]], "data should be non-empty"),
    ([[1], []], "data should be rectangular"), ([[1, 2], [3]], "data should be rectangular"),
])
def test_input_cell_range_rejects_empty_and_ragged_data(data, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        ss.InputCellRange("Sheet1", "B", 3, data)


def test_input_cell_range_keeps_its_rows_and_serialises_them_as_they_are():
    data = [[1, 2, 3], [4, 5, 6], ["a", "b", "c"]]
    cell_range = ss.InputCellRange("Sheet1", "B", 3, data)
    assert list(vars(cell_range)) == ["_sheet_name", "_left_column", "_top_row", "_data"]
    serialized = cell_range.serialize()
    assert serialized == {"top_left_cell": {"column": "B", "row": 3, "sheet_name": "Sheet1"}, "data": data}
    assert list(serialized) == ["top_left_cell", "data"] and list(serialized["top_left_cell"]) == [
        "column", "row", "sheet_name"]
    assert serialized["data"] is data
    assert repr(cell_range) == "InputCellRange(sheet_name='Sheet1', left_column='B', top_row=3, data=...)"


@pytest.mark.parametrize("cell, args, expected", [
    (ss.NamedInputCell("a", 2), (), {"name": "a", "value": 2}),
    (ss.NamedInputCell("a", 2), (True,), {"name": "a", "value": "2"}),
    (ss.SpreadsheetCalculationInput("a", 2.5), ("yes",), {"name": "a", "value": "2.5"}),
    (ss.NamedOutputCell("o"), (), {"name": "o"}),
    (ss.DirectInputCell("S", "G", 3, True), (), {"sheet_name": "S", "row": 3, "column": "G", "value": True}),
    (ss.DirectInputCell("S", "G", 3, True), (1,), {"sheet_name": "S", "row": 3, "column": "G", "value": "True"}),
    (ss.DirectInputCell("S", "G", 3, True), (0,), {"sheet_name": "S", "row": 3, "column": "G", "value": True}),
    (ss.DirectOutputCell("S", "G", 3), (), {"sheet_name": "S", "row": 3, "column": "G"}),
])
def test_serialised_forms_and_key_orders(cell, args, expected):
    serialized = cell.serialize(*args)
    assert serialized == expected and list(serialized) == list(expected)
    assert type(serialized["value"] if "value" in serialized else "") is type(expected.get("value", ""))


def test_named_conversion_uses_the_stored_text_while_direct_converts_afresh():
    named, direct = ss.NamedInputCell("n", 1), ss.DirectInputCell("S", "A", 1, 1)
    named.value = direct.value = 2
    assert named.serialize(True)["value"] == "1" and direct.serialize(True)["value"] == "2"
    assert named.serialize()["value"] == 2
    assert ss.NamedInputCell("a", 2).serialize_for_fill_spreadsheet() == {"a": {"value": 2}}


@pytest.mark.parametrize("cell, text", [
    (ss.NamedInputCell("x", 1), "NamedInputCell(name='x', value=1)"),
    (ss.SpreadsheetCalculationInput("x", "v"), "NamedInputCell(name='x', value='v')"),
    (ss.NamedOutputCell("x"), "NamedOutputCell(name='x')"),
    (ss.DirectInputCell("Sheet", "G", 3, 1.5), "DirectInputCell(sheet_name='Sheet', column='G', row=3, value=1.5)"),
    (ss.DirectOutputCell("Sheet", "G", 3), "DirectOutputCell(sheet_name='Sheet', column='G', row=3)"),
])
def test_repr(cell, text):
    assert repr(cell) == text


@pytest.mark.parametrize("make", [lambda: ss.NamedOutputCell("n"), lambda: ss.DirectOutputCell("S", "A", 1)])
def test_output_cell_result_is_set_once(make):
    cell = make()
    with pytest.raises(RuntimeError, match=r"^Result for direct output cell is not yet available, execute first\.$"):
        cell.result
    cell.result = None  # None leaves the cell unset
    with pytest.raises(RuntimeError):
        cell.result
    cell.result = 5
    with pytest.raises(AttributeError, match="^Result value should only be set once$"):
        cell.result = 6
    assert cell.result == 5 and cell._result_value == 5


def test_named_equals_is_the_truth_of_the_name_comparison():
    class Loose:
        def __eq__(self, other):
            return 1

    assert ss.NamedOutputCell("n").equals({"name": "n"}) is True
    assert ss.NamedOutputCell("n").equals({"name": "N"}) is False
    assert ss.NamedOutputCell(Loose()).equals({"name": "anything"}) is True
    with pytest.raises(KeyError, match="name"):
        ss.NamedOutputCell("n").equals({})


@pytest.mark.parametrize("record, expected", [
    ({"sheet_name": "S", "row": 3, "column": "A"}, True),
    ({"sheet_name": "T"}, False),  # stops before row
    ({"sheet_name": "S", "row": "3"}, False),
    ({"sheet_name": "S", "row": 3, "column": "a"}, False),
])
def test_direct_equals_stops_at_the_first_difference(record, expected):
    assert ss.DirectOutputCell("S", "A", 3).equals(record) is expected


class Unequal:
    """Never equal, not even to itself, as NaN."""

    def __eq__(self, other):
        return False


class Incomparable:
    def __eq__(self, other):
        raise ArithmeticError("not comparable")


@pytest.mark.parametrize("make, key", [
    (lambda same: ss.NamedOutputCell(same), "name"),
    (lambda same: ss.DirectOutputCell(same, "A", 3), "sheet_name"),
    (lambda same: ss.DirectOutputCell("S", "A", same), "row"),
    (lambda same: ss.DirectOutputCell("S", same, 3), "column"),
], ids=["name", "sheet name", "row", "column"])
@pytest.mark.parametrize("same", [float("nan"), Unequal()], ids=["nan", "unequal"])
def test_equals_compares_the_very_same_object_with_eq_as_python_does(make, key, same):
    def record_of(cell):
        if key == "name":
            return {"name": cell.name}
        return {"sheet_name": cell.sheet_name, "row": cell.row, "column": cell.column}

    cell = make(same)
    assert cell.equals(record_of(cell)) is False  # same == same is False
    cell = make(Incomparable())
    with pytest.raises(ArithmeticError, match="not comparable"):
        cell.equals(record_of(cell))


def test_direct_equals_raises_for_a_missing_key():
    with pytest.raises(KeyError, match="row"):
        ss.DirectOutputCell("S", "A", 3).equals({"sheet_name": "S"})


def test_constructors_call_the_next_class_in_the_mro():
    calls = []

    class Mixin(ss._NamedCellBaseClass):
        def __init__(self, name):
            calls.append(name)
            super().__init__(name.upper())

    class Cell(ss.NamedInputCell, Mixin):
        pass

    cell = Cell("n", 1)
    assert calls == ["n"] and (cell.name, cell.value, cell._stringified_value) == ("N", 1, "1")
    assert list(vars(ss.DirectInputCell("S", "A", 1, 2))) == ["sheet_name", "column", "row", "value",
                                                              "_stringified_value"]


class DirectInputCell:  # the signatures of the module's own, for the interpreter's argument errors
    def __init__(self, sheet_name, column, row, value):
        pass

    def serialize(self, convert_value_to_str=False):
        pass


def stringify_value(value):
    pass


@pytest.mark.parametrize("call", [
    lambda m: m.stringify_value(),
    lambda m: m.stringify_value(1, 2),
    lambda m: m.stringify_value(1, value=2),
    lambda m: m.stringify_value(other=1),
    lambda m: m.DirectInputCell("S", "B", 1),
    lambda m: m.DirectInputCell("S", "B", 1, 2, 3),
    lambda m: m.DirectInputCell("S", "B", 1, 2).serialize(True, False),
    lambda m: m.DirectInputCell("S", "B", 1, 2).serialize(True, convert_value_to_str=False),
    lambda m: m.DirectInputCell.serialize(),
])
def test_arguments_are_bound_and_refused_as_python_does(call):
    with pytest.raises(TypeError) as expected:
        call(sys.modules[__name__])
    with pytest.raises(TypeError) as caught:
        call(ss)
    assert str(caught.value) == str(expected.value)


def test_arguments_by_position_keyword_and_default():
    cell = ss.DirectInputCell(row=3, sheet_name="S", column="B", value=1.5)
    address = {"sheet_name": "S", "row": 3, "column": "B"}
    assert cell.serialize() == cell.serialize(False) == cell.serialize(convert_value_to_str=0) == {**address, "value": 1.5}
    assert cell.serialize(True) == ss.DirectInputCell.serialize(cell, convert_value_to_str=1) == {**address, "value": "1.5"}
    assert ss.stringify_value(value=2.5) == ss.stringify_value(2.5) == "2.5"
