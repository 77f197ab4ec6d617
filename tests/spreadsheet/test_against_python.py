"""The compiled cells against plain Python classes written from the same description: random sequences of calls,
with odd values, attributes replaced or deleted after construction, give the same results, errors and log lines."""

import logging
from abc import ABC, abstractmethod

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import ondrel.external.spreadsheet as compiled

logger = logging.getLogger(compiled.__name__)


# ---- the oracle: the cells as Python code ------------------------------------------------------

def stringify_value(value):
    if type(value) not in (str, int, bool, float):
        logger.warning("[EXCEL] WARNING: Type " + str(type(value)) + " probably not supported for excel insertion.")
    return str(value)


def _list_of_lists_is_rectangular(data):
    width = None
    for row in data:
        if width is None:
            width = len(row)
        elif len(row) != width:
            return False
    return True


class _NamedCellBaseClass(ABC):
    def __init__(self, name):
        self.name = name

    @abstractmethod
    def serialize(self):
        ...


class NamedInputCell(_NamedCellBaseClass):
    def __init__(self, name, value):
        super().__init__(name)
        self.value = value
        self._stringified_value = stringify_value(value)

    def __repr__(self):
        return f"NamedInputCell(name={self.name!r}, value={self.value!r})"

    def serialize(self, convert_value_to_str=False):
        return {"name": self.name, "value": self._stringified_value if convert_value_to_str else self.value}

    def serialize_for_fill_spreadsheet(self):
        return {self.name: {"value": self.value}}


class SpreadsheetCalculationInput(NamedInputCell):
    pass


class NamedOutputCell(_NamedCellBaseClass):
    def __init__(self, name):
        super().__init__(name)
        self._result_value = None

    def __repr__(self):
        return f"NamedOutputCell(name={self.name!r})"

    @property
    def result(self):
        if self._result_value is None:
            raise RuntimeError("Result for direct output cell is not yet available, execute first.")
        return self._result_value

    @result.setter
    def result(self, value):
        if self._result_value is not None:
            raise AttributeError("Result value should only be set once")
        self._result_value = value

    def equals(self, named_cell_result):
        return bool(self.name == named_cell_result["name"])

    def serialize(self):
        return {"name": self.name}


class _DirectCellBaseClass(ABC):
    def __init__(self, sheet_name, column, row):
        self.sheet_name = sheet_name
        self.column = column
        self.row = row

    @abstractmethod
    def serialize(self):
        ...


class DirectInputCell(_DirectCellBaseClass):
    def __init__(self, sheet_name, column, row, value):
        super().__init__(sheet_name, column, row)
        self.value = value
        self._stringified_value = stringify_value(value)

    def __repr__(self):
        return (f"DirectInputCell(sheet_name={self.sheet_name!r}, column={self.column!r}, row={self.row!r}, "
                f"value={self.value!r})")

    def serialize(self, convert_value_to_str=False):
        return {"sheet_name": self.sheet_name, "row": self.row, "column": self.column,
                "value": stringify_value(self.value) if convert_value_to_str else self.value}


class DirectOutputCell(_DirectCellBaseClass):
    def __init__(self, sheet_name, column, row):
        super().__init__(sheet_name, column, row)
        self._result_value = None

    def __repr__(self):
        return f"DirectOutputCell(sheet_name={self.sheet_name!r}, column={self.column!r}, row={self.row!r})"

    result = NamedOutputCell.result

    def equals(self, direct_cell_result):
        return bool(self.sheet_name == direct_cell_result["sheet_name"] and self.row == direct_cell_result["row"]
                    and self.column == direct_cell_result["column"])

    def serialize(self):
        return {"sheet_name": self.sheet_name, "row": self.row, "column": self.column}


class InputCellRange:
    def __init__(self, sheet_name, left_column, top_row, data):
        if len(data) == 0 or len(data[0]) == 0:
            raise ValueError("data should be non-empty")
        if not _list_of_lists_is_rectangular(data):
            raise ValueError("data should be rectangular")
        self._sheet_name = sheet_name
        self._left_column = left_column
        self._top_row = top_row
        self._data = data

    def __repr__(self):
        return (f"InputCellRange(sheet_name={self._sheet_name!r}, left_column={self._left_column!r}, "
                f"top_row={self._top_row!r}, data=...)")

    def serialize(self):
        return {"top_left_cell": {"column": self._left_column, "row": self._top_row, "sheet_name": self._sheet_name},
                "data": self._data}


ORACLE = {cls.__name__: cls for cls in (NamedInputCell, SpreadsheetCalculationInput, NamedOutputCell,
                                        DirectInputCell, DirectOutputCell, InputCellRange)}


# ---- odd values ---------------------------------------------------------------------------------

class Text(str):
    def __str__(self):
        return "text:" + str.__str__(self)

    def __repr__(self):
        return "Text()"


class Whole(int):
    def __str__(self):
        return "whole"

    def __eq__(self, other):
        return isinstance(other, int) and int(self) + 1 == other

    __hash__ = int.__hash__


class Real(float):
    def __repr__(self):
        return "Real()"


class NoText:
    def __str__(self):
        raise LookupError("no text")

    __repr__ = __str__

    def _repr_pretty_(self, printer, cycle):  # how a failing example shows it
        printer.text("NoText()")

    def __eq__(self, other):
        raise ArithmeticError("not comparable")

    __hash__ = object.__hash__


class Falsy:
    def __bool__(self):
        return False

    def __eq__(self, other):
        return Falsy()


plain = st.one_of(st.none(), st.booleans(), st.integers(), st.integers(min_value=2**60, max_value=2**130),
                  st.floats(), st.text(max_size=5), st.text(st.characters(codec="utf-16"), max_size=3),
                  st.sampled_from(["", "S", "A", "b", "\ud800", "x" * 300]))
odd = st.one_of(plain.map(lambda v: Text(str(v))), st.integers().map(Whole), st.floats(allow_nan=False).map(Real),
                st.builds(NoText), st.builds(Falsy), st.lists(plain, max_size=2), st.tuples(plain, plain),
                st.dictionaries(st.sampled_from(["name", "sheet_name", "row", "column"]), plain, max_size=4))
values = st.one_of(plain, odd)
rows = st.lists(st.lists(values, max_size=3), max_size=3)

ATTRIBUTES = ["name", "value", "_stringified_value", "_result_value", "sheet_name", "column", "row", "_sheet_name",
              "_left_column", "_top_row", "_data", "other"]

operations = st.one_of(
    st.tuples(st.just("new"), st.sampled_from(sorted(ORACLE)), st.lists(values, min_size=0, max_size=5)),
    st.tuples(st.just("new range"), values, values, values, st.one_of(rows, values)),
    st.tuples(st.just("set"), st.integers(0, 7), st.sampled_from(ATTRIBUTES), values),
    st.tuples(st.just("delete"), st.integers(0, 7), st.sampled_from(ATTRIBUTES)),
    st.tuples(st.just("call"), st.integers(0, 7), st.sampled_from(["serialize", "serialize_for_fill_spreadsheet",
                                                                    "__repr__", "equals", "get result"]),
              st.lists(values, max_size=2)),
    st.tuples(st.just("set result"), st.integers(0, 7), values),
    st.tuples(st.just("equals itself"), st.integers(0, 7)),
    st.tuples(st.just("function"), st.sampled_from(["stringify_value", "_list_of_lists_is_rectangular"]),
              st.one_of(values, rows)),
)


# ---- running a sequence on both ------------------------------------------------------------------

def outcome(call):
    """What a call gives, in a form both sides can be compared by: a result, or an error's type and text."""
    try:
        result = call()
    except RecursionError:
        raise
    except Exception as error:
        return "raised", type(error).__name__, str(error)
    return "returned", comparable(result)


def comparable(value):
    if isinstance(value, dict):
        return "dict", [(comparable(k), comparable(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value).__name__, [comparable(v) for v in value]
    if isinstance(value, NoText):
        return "NoText"
    if isinstance(value, float) and value != value:
        return type(value).__name__, "nan"
    return type(value).__name__, repr(value)


def run(steps, classes, functions):
    objects, seen = [], []
    for step in steps:
        kind = step[0]
        if kind == "new":
            cls = classes[step[1]]
            seen.append(outcome(lambda: objects.append(cls(*step[2]))))
        elif kind == "new range":
            seen.append(outcome(lambda: objects.append(classes["InputCellRange"](*step[1:]))))
        elif not objects and kind != "function":
            continue
        elif kind == "set":
            target = objects[step[1] % len(objects)]
            seen.append(outcome(lambda: setattr(target, step[2], step[3])))
        elif kind == "delete":
            target = objects[step[1] % len(objects)]
            seen.append(outcome(lambda: delattr(target, step[2])))
        elif kind == "call":
            target = objects[step[1] % len(objects)]
            if step[2] == "get result":
                seen.append(outcome(lambda: target.result))
            else:
                seen.append(outcome(lambda: getattr(target, step[2])(*step[3])))
        elif kind == "set result":
            target = objects[step[1] % len(objects)]
            seen.append(outcome(lambda: setattr(target, "result", step[2])))
        elif kind == "equals itself":  # a record holding the very objects of the cell's address
            target = objects[step[1] % len(objects)]
            record = {key: getattr(target, key) for key in ("name", "sheet_name", "row", "column")
                      if hasattr(target, key)}
            seen.append(outcome(lambda: target.equals(record)))
        elif kind == "function":
            seen.append(outcome(lambda: functions[step[1]](step[2])))
    return seen, [comparable(vars(o)) for o in objects]


class LogLines(logging.Handler):
    def __init__(self):
        super().__init__()
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


@pytest.fixture
def log_lines():
    handler = LogLines()
    logger.addHandler(handler)
    level, propagate = logger.level, logger.propagate
    logger.setLevel(logging.WARNING)
    logger.propagate = False
    yield handler.lines
    logger.removeHandler(handler)
    logger.setLevel(level)
    logger.propagate = propagate


@settings(max_examples=300, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(st.lists(operations, max_size=25))
def test_random_calls_give_what_the_python_classes_give(log_lines, steps):
    python_functions = {"stringify_value": stringify_value,
                        "_list_of_lists_is_rectangular": _list_of_lists_is_rectangular}
    compiled_classes = {name: getattr(compiled, name) for name in ORACLE}
    compiled_functions = {name: getattr(compiled, name) for name in python_functions}
    log_lines.clear()
    expected = run(steps, ORACLE, python_functions)
    expected_lines = list(log_lines)
    log_lines.clear()
    assert run(steps, compiled_classes, compiled_functions) == expected
    assert log_lines == expected_lines
