"""The compiled cells against plain Python classes written from the same description: random sequences of calls,
with odd values, attributes replaced or deleted after construction, give the same results, errors and log lines."""

import importlib.util
import logging
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import ondrel.external.spreadsheet as compiled

logger = logging.getLogger(compiled.__name__)


# ---- the oracle: the cells as plain Python, as the benchmarks compare against ----------------

def _plain_python_cells():
    spec = importlib.util.spec_from_file_location("plain_spreadsheet_cells",
                                                  Path(__file__).parents[2] / "bench" / "pure" / "spreadsheet_cells.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.logger = logger  # its warnings go where the compiled module's go
    return module


plain = _plain_python_cells()
stringify_value, _list_of_lists_is_rectangular = plain.stringify_value, plain._list_of_lists_is_rectangular
ORACLE = {name: getattr(plain, name) for name in ("NamedInputCell", "SpreadsheetCalculationInput", "NamedOutputCell",
                                                   "DirectInputCell", "DirectOutputCell", "InputCellRange")}


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
