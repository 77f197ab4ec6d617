"""Unusual uses of the cells and jobs, with plain Python as the oracle: the same errors, never a crash."""

import importlib
import io
import logging
import sys
import types
from unittest import mock

import pytest

import ondrel.external.spreadsheet as ss


@pytest.fixture(autouse=True)
def quiet_warnings():
    # Cells holding cells are values of an unsupported type: each one is logged.
    logging.getLogger(ss.__name__).disabled = True
    yield
    logging.getLogger(ss.__name__).disabled = False


def self_holding_cells():
    direct = ss.DirectInputCell("S", "A", 1, 0)
    direct.value = direct
    named = ss.NamedInputCell("n", 0)
    named.value = named
    output = ss.DirectOutputCell("S", "A", 1)
    output.row = output
    return [
        ("repr of a direct cell", lambda: repr(direct)),
        ("its text", lambda: direct.serialize(True)),
        ("a cell made of it", lambda: ss.DirectInputCell("S", "A", 1, direct)),
        ("repr of an output cell", lambda: repr(output)),
        ("repr of a named cell", lambda: repr(named)),
        ("a named cell made of it", lambda: ss.NamedInputCell("m", named)),
    ]


class TestRecursion:
    @pytest.mark.parametrize("case", range(6), ids=[label for label, _ in self_holding_cells()])
    def test_a_cell_holding_itself_raises_recursion_error(self, case):
        with pytest.raises(RecursionError):
            self_holding_cells()[case][1]()

    def test_even_with_a_recursion_limit_beyond_the_c_stack(self):
        cell = ss.DirectInputCell("S", "A", 1, 0)
        cell.value = cell
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(1_000_000)
        try:
            with pytest.raises(RecursionError):
                repr(cell)
        finally:
            sys.setrecursionlimit(limit)

    @pytest.mark.parametrize("cls", [ss.DirectInputCell, ss.NamedInputCell])
    def test_a_chain_deeper_than_the_limit_fails_as_python_does(self, cls):
        def make(value):
            return ss.DirectInputCell("S", "A", 1, value) if cls is ss.DirectInputCell else ss.NamedInputCell("n", value)

        # Linked after construction, so only the repr walks the chain.
        cells = [make(0) for _ in range(sys.getrecursionlimit() + 500)]
        for outer, inner in zip(cells[1:], cells):
            outer.value = inner
        with pytest.raises(RecursionError):
            repr(cells[-1])
        # A chain well within the limit prints in full, as Python prints it.
        assert repr(cells[50]).count(cls.__name__) == 51


class TestNamesLookedUpAtEachCall:
    def test_stringify_value_is_read_from_the_module(self):
        with mock.patch.object(ss, "stringify_value", lambda value: f"<{value}>"):
            named = ss.NamedInputCell("n", 1)
            direct = ss.DirectInputCell("S", "A", 1, 2)
            assert named._stringified_value == "<1>" and direct._stringified_value == "<2>"
            assert direct.serialize(True)["value"] == "<2>"
        assert ss.DirectInputCell("S", "A", 1, 2).serialize(True)["value"] == "2"

    def test_list_of_lists_is_rectangular_is_read_from_the_module(self):
        with mock.patch.object(ss, "_list_of_lists_is_rectangular", lambda data: 0):
            with pytest.raises(ValueError, match="data should be rectangular"):
                ss.InputCellRange("S", "A", 1, [[1]])
        with mock.patch.object(ss, "_list_of_lists_is_rectangular", lambda data: [1]):
            assert ss.InputCellRange("S", "A", 1, [[1], [2, 3]])._data == [[1], [2, 3]]


class TestFillBodyMergesAsDictUpdate:
    @staticmethod
    def body(serialised):
        class Cell(ss.NamedInputCell):
            def serialize_for_fill_spreadsheet(self):
                return serialised

        return ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), [Cell("n", 1)])

    @pytest.mark.parametrize("serialised", [
        [("n", {"value": 1})],
        iter([("n", {"value": 1})]),
        (["n", {"value": 1}],),
        types.MappingProxyType({"n": {"value": 1}}),
    ], ids=["list of pairs", "iterator", "tuple of lists", "mapping"])
    def test_pairs_and_mappings_are_merged(self, host, serialised):
        assert self.body(serialised)["named_cells"] == {"n": {"value": 1}}

    @pytest.mark.parametrize("serialised", [5, None, [("a", 1, 2)]])
    def test_anything_else_raises_what_dict_update_raises(self, host, serialised):
        with pytest.raises(Exception) as expected:
            {}.update(serialised)
        with pytest.raises(type(expected.value)) as raised:
            self.body(serialised)
        assert str(raised.value) == str(expected.value)
        assert type(raised.value) in (TypeError, ValueError)


class TestChainedErrors:
    def test_an_unknown_result_holds_its_key_error_as_raise_from_does(self):
        def python_get_value(values, name):
            try:
                return values[name]
            except KeyError as e:
                raise ss.SpreadsheetError(f"Unknown cell: {name}") from e

        result = ss.SpreadsheetResult(values={"a": 1})
        errors = []
        for get_value in (result.get_value, lambda name: python_get_value({"a": 1}, name)):
            with pytest.raises(ss.SpreadsheetError) as raised:
                get_value("x")
            errors.append(raised.value)
            del raised
        compiled, python = errors
        assert str(compiled) == str(python)
        assert compiled.__cause__ is compiled.__context__ and type(compiled.__cause__) is KeyError
        assert compiled.__cause__.args == python.__cause__.args and compiled.__suppress_context__
        # Each error holds its cause and context with a reference of its own.
        assert sys.getrefcount(compiled.__cause__) == sys.getrefcount(python.__cause__)
        chained = compiled.__cause__
        del compiled, errors
        assert chained.args == ("x",)


@pytest.mark.parametrize("module, name", [("ondrel.api_v1", "API"), ("ondrel.core", "File"),
                                          ("ondrel.errors", "SpreadsheetError")])
def test_a_missing_host_name_raises_import_error(monkeypatch, module, name):
    stand_in = types.ModuleType(module)
    stand_in.__file__ = f"/nowhere/{module}.py"
    for attr, value in vars(importlib.import_module(module)).items():
        if attr != name and not attr.startswith("__"):
            setattr(stand_in, attr, value)
    monkeypatch.setitem(sys.modules, module, stand_in)
    monkeypatch.delitem(sys.modules, "ondrel.external.spreadsheet")
    with pytest.raises(ImportError) as raised:
        importlib.import_module("ondrel.external.spreadsheet")
    assert str(raised.value) == f"cannot import name '{name}' from '{module}' (/nowhere/{module}.py)"
    assert raised.value.name == module and raised.value.name_from == name


class NotAnError:
    def __init__(self, message):
        self.message = message


class TestRaisingWhatTheModuleNames:
    """The module raises SpreadsheetError as `raise SpreadsheetError(...)` does, whatever the name holds now."""

    @staticmethod
    def outcome(call):
        with pytest.raises(BaseException) as raised:
            call()
        error = raised.value
        return type(error), str(error), type(error.__cause__), type(error.__context__), error.__suppress_context__

    @pytest.mark.parametrize("stand_in", [
        NotAnError,
        mock.MagicMock(),
        lambda message: ValueError,  # a class: raise calls it
        lambda message: type("Odd", (ValueError,), {"__new__": lambda cls: 5}),
        lambda message: LookupError(message),
    ], ids=["not an exception", "mock", "exception class", "class making no exception", "another exception"])
    @pytest.mark.parametrize("case", ["unknown cell", "no values", "no result"])
    def test_a_stand_in_that_makes_no_exception_raises_type_error_as_python_does(self, monkeypatch, stand_in, case):
        def python_get_value(values, name):
            try:
                return values[name]
            except KeyError as e:
                raise ss.SpreadsheetError(f"Unknown cell: {name}") from e

        def python_before_evaluation():
            raise ss.SpreadsheetError("Run evaluate spreadsheet first before trying to get results.")

        compiled, python = {
            "unknown cell": (lambda: ss.SpreadsheetResult(values={"a": 1}).get_value("x"),
                             lambda: python_get_value({"a": 1}, "x")),
            "no values": (lambda: ss.SpreadsheetResult().get_value("x"), python_before_evaluation),
            "no result": (lambda: ss.SpreadsheetCalculation(io.BytesIO(b"t"), []).result, python_before_evaluation),
        }[case]
        monkeypatch.setattr(ss, "SpreadsheetError", stand_in)
        assert self.outcome(compiled) == self.outcome(python)

    @pytest.mark.parametrize("cells", [
        [ss.NamedInputCell("n", 1), ss.NamedInputCell("n", 2)],
        [ss.DirectInputCell("S", "A", 1, 1), ss.DirectInputCell("S", "A", 1, 2)],
    ], ids=["named", "direct"])
    def test_duplicate_cells_with_a_mocked_error_raise_type_error(self, host, cells):
        with mock.patch.object(ss, "SpreadsheetError"):
            with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
                ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells)


class TestCellKindsAsTheIsinstanceTests:
    @pytest.mark.parametrize("name", ["DirectInputCell", "NamedInputCell", "InputCellRange"])
    @pytest.mark.parametrize("stand_in", [5, mock.MagicMock()], ids=["number", "mock"])
    def test_a_name_bound_to_no_class_fails_only_where_isinstance_does(self, host, monkeypatch, name, stand_in):
        cells = {"DirectInputCell": ss.DirectInputCell("S", "A", 1, 1), "NamedInputCell": ss.NamedInputCell("n", 1),
                 "InputCellRange": ss.InputCellRange("S", "A", 1, [[1]])}
        monkeypatch.setattr(ss, name, stand_in)
        body = ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), [])
        assert (body["named_cells"], body["direct_cells"], body["cell_ranges"]) == ({}, [], [])
        # Each cell is tested in the body's order (direct, named, range) until one test holds or fails.
        for cell in cells.values():
            order = list(cells)
            tested = order[:order.index(type(cell).__name__) + 1]
            if name not in tested:
                ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), [cell])
                continue
            with pytest.raises(TypeError) as expected:
                isinstance(cell, stand_in)
            with pytest.raises(TypeError) as raised:
                ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), [cell])
            assert str(raised.value) == str(expected.value)
